// The extension module `tarnex_self_play`: its initialisation and its two
// functions, play_training_game and play_test_game. Binds the arguments,
// reads the settings, runs a driver of the engine with the Python transport,
// and turns its result or failure into Python objects and exceptions.
#include "python_api/ref.hpp"  // Python.h comes first

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <limits>
#include <new>
#include <string>
#include <variant>

#include "python/arguments.hpp"
#include "python/config_reader.hpp"
#include "python/panic.hpp"
#include "python/results.hpp"
#include "python_api/convert.hpp"
#include "python_api/error.hpp"
#include "python_api/transport.hpp"
#include "simulation.hpp"

namespace {

using namespace tarnex::python;
namespace engine = tarnex::self_play;

constexpr std::array<const char*, 4> kTrainingParameters = {"id", "config", "inference_queue", "pipe"};
constexpr std::array<const char*, 4> kTestParameters = {"id", "model_queue", "baseline_queue", "pipe"};

// `id` as a signed 32-bit integer. A TypeError of the conversion becomes
// "argument 'id': <message>"; other errors (OverflowError beyond 64 bits)
// pass unchanged.
bool convert_id(PyObject* o, std::int32_t& out) {
    long value = 0;
    if (!as_long(o, value)) {
        if (!PyErr_Occurred() || PyErr_Occurred() != PyExc_TypeError) return false;
        PyError error = PyError::fetch();
        Ref message = Ref::steal(PyObject_Str(error.value()));
        if (!message) return false;
        PyError argument_error = PyError::make(PyExc_TypeError, "argument 'id': " + utf8_text(message.get()));
        if (PyObject* cause = PyException_GetCause(error.value())) {  // new reference
            PyException_SetCause(argument_error.value(), cause);
        }
        std::move(argument_error).restore();
        return false;
    }
    if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<std::int32_t>(value);
    return true;
}

// A driver's error text, raised as Exception with the text in quoted form.
PyObject* raise_driver_error(const std::string& text) {
    Ref message = unicode(engine::quoted(text));
    if (message) PyErr_SetObject(PyExc_Exception, message.get());
    return nullptr;
}

// Runs a game body; an internal fault of the engine (thrown) becomes
// PanicException with a report on standard error. Running out of memory
// aborts the process.
template <class Body>
PyObject* guarded(const char* where, Body&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "tarnex_self_play: out of memory in %s\n", where);
        std::abort();
    } catch (const std::exception& e) {
        raise_panic(where, e.what());
    } catch (...) {
        raise_panic(where, "unknown internal fault");
    }
    return nullptr;
}

using FastCallWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

PyObject* play_training_game(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    constexpr const char* kName = "play_training_game";
    std::array<PyObject*, 4> bound{};
    if (!bind_arguments(kName, kTrainingParameters, args, nargs, kwnames, bound)) return nullptr;
    std::int32_t id = 0;
    if (!convert_id(bound[0], id)) return nullptr;
    GilGuard gil;
    // The object arguments are held for the whole call.
    const Ref config_object = Ref::borrow(bound[1]);
    const Ref queue = Ref::borrow(bound[2]);
    const Ref pipe = Ref::borrow(bound[3]);
    return guarded(kName, [&]() -> PyObject* {
        auto read = read_config(config_object.get());
        if (const PyError* error = std::get_if<PyError>(&read)) {
            raise_panic(kName, "called `Result::unwrap()` on an `Err` value: " + error->detail());
            return nullptr;
        }
        const engine::Config config = std::get<engine::Config>(read);
        if (!prepare_transport()) return nullptr;
        PythonTransport transport(queue.get(), pipe.get());
        auto result = engine::training_game(id, config, transport, engine::thread_rng());
        if (!result) return raise_driver_error(result.error());
        return training_result_to_python(result.value()).release();
    });
}

PyObject* play_test_game(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    constexpr const char* kName = "play_test_game";
    std::array<PyObject*, 4> bound{};
    if (!bind_arguments(kName, kTestParameters, args, nargs, kwnames, bound)) return nullptr;
    std::int32_t id = 0;
    if (!convert_id(bound[0], id)) return nullptr;
    GilGuard gil;
    const Ref model_queue = Ref::borrow(bound[1]);
    const Ref baseline_queue = Ref::borrow(bound[2]);
    const Ref pipe = Ref::borrow(bound[3]);
    return guarded(kName, [&]() -> PyObject* {
        if (!prepare_transport()) return nullptr;
        // Both sides answer through the one pipe.
        PythonTransport model(model_queue.get(), pipe.get());
        PythonTransport baseline(baseline_queue.get(), pipe.get());
        auto result = engine::test_game(id, model, baseline, engine::thread_rng());
        if (!result) return raise_driver_error(result.error());
        return PyFloat_FromDouble(static_cast<double>(result.value()));
    });
}

PyMethodDef g_functions[] = {
    {"play_training_game", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                               static_cast<FastCallWithKeywords>(play_training_game))),
     METH_FASTCALL | METH_KEYWORDS,
     "play_training_game(id, config, inference_queue, pipe)\n--\n\nWorks with Pytorch model to generate self-play data"},
    {"play_test_game", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                           static_cast<FastCallWithKeywords>(play_test_game))),
     METH_FASTCALL | METH_KEYWORDS, "play_test_game(id, model_queue, baseline_queue, pipe)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// m_size 0 (not -1): a repeated import calls the initialisation again, which
// hands back the one module object of the process.
PyModuleDef g_module_def = {PyModuleDef_HEAD_INIT, "tarnex_self_play", "", 0, nullptr,
                            nullptr,               nullptr,            nullptr, nullptr};
PyObject* g_module = nullptr;

// Old PyPy releases are known to break binary extensions: warn about them.
// Only PyPy's own version numbers mean anything here.
bool warn_if_old_pypy() {
    Ref sys = Ref::steal(PyImport_ImportModule("sys"));
    if (!sys) return false;
    Ref implementation = Ref::steal(PyObject_GetAttrString(sys.get(), "implementation"));
    if (!implementation) return false;
    Ref version = Ref::steal(PyObject_GetAttrString(implementation.get(), "version"));
    if (!version) return false;
    Ref name = Ref::steal(PyObject_GetAttrString(implementation.get(), "name"));
    if (!name) return false;
    Ref pypy = Ref::steal(PyUnicode_FromString("pypy"));
    if (!pypy) return false;
    const int is_pypy = PyObject_RichCompareBool(name.get(), pypy.get(), Py_EQ);
    if (is_pypy <= 0) return is_pypy == 0;
    Ref good = Ref::steal(Py_BuildValue("(iii)", 7, 3, 8));
    if (!good) return false;
    const int old = PyObject_RichCompareBool(version.get(), good.get(), Py_LT);
    if (old <= 0) return old == 0;
    Ref warnings = Ref::steal(PyImport_ImportModule("warnings"));
    if (!warnings) return false;
    Ref warn = Ref::steal(PyObject_GetAttrString(warnings.get(), "warn"));
    if (!warn) return false;
    Ref done = Ref::steal(PyObject_CallFunction(
        warn.get(), "s",
        "PyPy 3.7 versions older than 7.3.8 are known to have binary compatibility issues which may cause "
        "segfaults. Please upgrade."));
    return static_cast<bool>(done);
}

// Adds a function to the module: its __name__ is appended to __all__ (made
// on first use), then it is set as an attribute.
bool add_function(PyObject* module, PyMethodDef* def) {
    Ref module_name = Ref::steal(PyObject_GetAttrString(module, "__name__"));
    if (!module_name) return false;
    Ref function = Ref::steal(PyCFunction_NewEx(def, module, module_name.get()));
    if (!function) return false;
    Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return false;
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "__all__ of the module is not a list");
        return false;
    }
    if (PyList_Append(all.get(), name.get()) < 0) return false;
    return PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

}  // namespace

PyMODINIT_FUNC PyInit_tarnex_self_play(void) {
    if (!warn_if_old_pypy()) return nullptr;
    if (g_module != nullptr) {
        Py_INCREF(g_module);
        return g_module;
    }
    Ref module = Ref::steal(PyModule_Create(&g_module_def));
    if (!module) return nullptr;
    // PyPy leaves an empty docstring unset, so the module type's would show.
    Ref doc = Ref::steal(PyUnicode_FromString(""));
    if (!doc || PyObject_SetAttrString(module.get(), "__doc__", doc.get()) < 0) return nullptr;
    for (PyMethodDef* def = g_functions; def->ml_name != nullptr; ++def) {
        if (!add_function(module.get(), def)) return nullptr;
    }
    keep_once(g_module, Ref::borrow(module.get()));
    return module.release();
}
