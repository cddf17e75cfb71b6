#include "transport.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "convert.hpp"

namespace tarnex::python {

namespace {

constexpr std::size_t kPlanes = 5;
constexpr std::size_t kSide = 20;

PyObject* g_put = nullptr;
PyObject* g_recv = nullptr;
PyObject* g_keys[2] = {nullptr, nullptr};  // the ints 0 and 1
PyObject* g_empty_args = nullptr;
PyObject* g_helper = nullptr;      // exchange()
PyObject* g_make_state = nullptr;  // make_state()

// ---------------------------------------------------------------------------
// Reading one reply item as a list of numbers.

// The checks made before an item is read: a str is refused, and the item must
// pass the interpreter's sequence check.
std::optional<PyError> check_item(PyObject* item) {
    if (PyUnicode_Check(item)) return PyError::make(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(item)) {
        std::string message = "'";
        message += qualified_name(reinterpret_cast<PyObject*>(Py_TYPE(item)));
        message += "' object cannot be converted to 'Sequence'";
        return PyError::make(PyExc_TypeError, message);
    }
    return std::nullopt;
}

// The most items a reply item may have: far above any real reply (400 policy
// entries, 4 values), so that a lazy or endless sequence (range(2**40))
// fails its evaluation after a moment instead of being read for hours.
constexpr std::size_t kMaxReplyItems = 1'000'000;

PyError too_many_items(std::size_t index) {
    return PyError::make(PyExc_ValueError, "reply[" + std::to_string(index) + "] has more than " +
                                               std::to_string(kMaxReplyItems) + " items");
}

// The most numbers room is made for before an item is read. A length that
// the item reports (its __len__) may be anything, so it only sizes the first
// reservation, up to this; the items read decide the size. A real reply has
// 400 policy entries and 4 values.
constexpr std::size_t kMaxReservedNumbers = 4096;

bool append_number(PyObject* o, std::vector<float>& out) {
    double d = 0.0;
    if (!as_double_fast(o, d)) return false;
    out.push_back(to_float(d));
    return true;
}

// Reads reply[index] by iteration, converting each element in turn, up to
// kMaxReplyItems of them. Exact lists and tuples are walked in place, exactly
// as their iterators would walk them (a list's length is read again at every
// step).
std::optional<PyError> read_numbers(PyObject* item, std::size_t index, std::vector<float>& out) {
    if (auto error = check_item(item)) return error;
    out.clear();
    if (PyList_CheckExact(item) || PyTuple_CheckExact(item)) {
        const bool list = PyList_CheckExact(item);
        auto size = [&] { return list ? PyList_GET_SIZE(item) : PyTuple_GET_SIZE(item); };
        out.reserve(static_cast<std::size_t>(size()));
        for (Py_ssize_t i = 0; i < size(); ++i) {
            if (static_cast<std::size_t>(i) == kMaxReplyItems) return too_many_items(index);
            PyObject* element = list ? PyList_GET_ITEM(item, i) : PyTuple_GET_ITEM(item, i);
            if (PyFloat_CheckExact(element)) {
                out.push_back(to_float(PyFloat_AS_DOUBLE(element)));
                continue;
            }
            // Converting may run Python code that changes the list.
            Ref held = Ref::borrow(element);
            if (!append_number(held.get(), out)) return PyError::fetch();
        }
        return std::nullopt;
    }
    const Py_ssize_t size = PySequence_Size(item);
    if (size < 0) {
        PyErr_Clear();  // the length only reserves room
    } else {
        out.reserve(std::min(static_cast<std::size_t>(size), kMaxReservedNumbers));
    }
    Ref iterator = Ref::steal(PyObject_GetIter(item));
    if (!iterator) return PyError::fetch();
    while (Ref element = Ref::steal(PyIter_Next(iterator.get()))) {
        if (out.size() == kMaxReplyItems) return too_many_items(index);
        if (!append_number(element.get(), out)) return PyError::fetch();
    }
    if (PyErr_Occurred()) return PyError::fetch();
    return std::nullopt;
}

// ---------------------------------------------------------------------------
// The direct way.

Ref build_planes(const BoardState& planes) {
    Ref outer = Ref::steal(PyList_New(kPlanes));
    if (!outer) return {};
    const bool* cell = planes.data();
    for (std::size_t k = 0; k < kPlanes; ++k) {
        Ref plane = Ref::steal(PyList_New(kSide));
        if (!plane) return {};
        for (std::size_t y = 0; y < kSide; ++y) {
            Ref row = Ref::steal(PyList_New(kSide));
            if (!row) return {};
            for (std::size_t x = 0; x < kSide; ++x, ++cell) {
                PyObject* b = *cell ? Py_True : Py_False;
                Py_INCREF(b);
                PyList_SET_ITEM(row.get(), static_cast<Py_ssize_t>(x), b);
            }
            PyList_SET_ITEM(plane.get(), static_cast<Py_ssize_t>(y), row.release());
        }
        PyList_SET_ITEM(outer.get(), static_cast<Py_ssize_t>(k), plane.release());
    }
    return outer;
}

// ---------------------------------------------------------------------------
// The helper way: Python functions compiled once inside the module.

// Called from the helper for every element that is not an exact float or int.
PyObject* helper_as_double(PyObject*, PyObject* o) {
    double d = 0.0;
    if (!as_double(o, d)) return nullptr;
    return PyFloat_FromDouble(d);
}

// Called from the helper for a reply item that is not an exact list or tuple:
// None if the item may be read, else the (type, value, None) of the error
// that refuses it.
PyObject* helper_check_item(PyObject*, PyObject* item) {
    std::optional<PyError> error = check_item(item);
    if (!error) Py_RETURN_NONE;
    return PyTuple_Pack(3, error->type(), error->value(), Py_None);
}

// Called from the helper when reply[index] goes on beyond kMaxReplyItems:
// the (type, value, None) of the error that ends the exchange.
PyObject* helper_too_many_items(PyObject*, PyObject* index) {
    const long i = PyLong_AsLong(index);
    if (i < 0) return nullptr;  // never called so
    PyError error = too_many_items(static_cast<std::size_t>(i));
    return PyTuple_Pack(3, error.type(), error.value(), Py_None);
}

PyMethodDef g_helper_methods[] = {
    {"_as_double", helper_as_double, METH_O, nullptr},
    {"_check_item", helper_check_item, METH_O, nullptr},
    {"_too_many_items", helper_too_many_items, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// The helper's state for one transport: an array of the 100 rows of the
// planes, each a 20-bit pattern (bit x = column x) that the C side writes
// before each exchange, and the array of numbers read from the last reply.
// Arrays keep their items in memory that does not move, so both sides share
// them by address instead of converting objects.
//
// A row is made by copying a tuple of booleans kept per pattern: PyPy's JIT
// compiles a branch for every cell value it meets when a row is built cell
// by cell, which on real positions costs ten times more than the copy. The
// kept tuples are immutable and few (a game shows a few thousand patterns);
// the store is emptied when it grows large.
//
// exchange() returns (address, policy count, value count) of the numbers read
// (the policy's then the values', as C doubles), or (type, value, traceback)
// of the exception that stopped it. An exception raised inside it carries a
// traceback entry for this function's own frame first; that entry is
// dropped, so the traceback is what it would be with the same calls made
// from C.
constexpr const char* kHelperSource = R"PY(
_rows = {}

def _new_row(pattern):
    if len(_rows) >= 8192:
        _rows.clear()
    row = _rows[pattern] = tuple([(pattern >> x) & 1 == 1 for x in range(20)])
    return row

def make_state():
    patterns = _array('I', [0] * 100)
    return [patterns, None], patterns.buffer_info()[0], patterns.itemsize

def exchange(queue, pipe, request_id, state):
    try:
        put = queue.put
        patterns = state[0]
        rows = _rows
        planes = []
        r = 0
        for k in range(5):
            plane = []
            for y in range(20):
                pattern = patterns[r]
                row = rows.get(pattern)
                if row is None:
                    row = _new_row(pattern)
                plane.append(list(row))
                r += 1
            planes.append(plane)
        put((request_id, planes))
        put = planes = None
        reply = pipe.recv()
        numbers = _array('d')
        state[1] = numbers
        append = numbers.append
        item = reply[0]
        if type(item) is not list and type(item) is not tuple:
            refused = _check_item(item)
            if refused is not None:
                return refused
        n = 0
        for x in item:
            if n == _MAX_ITEMS:
                return _too_many_items(0)
            n += 1
            t = type(x)
            append(x if t is float else float(x) if t is int else _as_double(x))
        x = None
        policy_count = len(numbers)
        item = reply[1]
        if type(item) is not list and type(item) is not tuple:
            refused = _check_item(item)
            if refused is not None:
                return refused
        n = 0
        for x in item:
            if n == _MAX_ITEMS:
                return _too_many_items(1)
            n += 1
            t = type(x)
            append(x if t is float else float(x) if t is int else _as_double(x))
        x = item = reply = None
        address, total = numbers.buffer_info()
        return address, policy_count, total - policy_count
    except BaseException as e:
        return type(e), e, e.__traceback__.tb_next
)PY";

bool make_helper() {
    Ref globals = Ref::steal(PyDict_New());
    if (!globals) return false;
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins || PyDict_SetItemString(globals.get(), "__builtins__", builtins.get()) < 0) return false;
    Ref array_module = Ref::steal(PyImport_ImportModule("array"));
    if (!array_module) return false;
    Ref array_type = Ref::steal(PyObject_GetAttrString(array_module.get(), "array"));
    if (!array_type || PyDict_SetItemString(globals.get(), "_array", array_type.get()) < 0) return false;
    Ref max_items = Ref::steal(PyLong_FromSize_t(kMaxReplyItems));
    if (!max_items || PyDict_SetItemString(globals.get(), "_MAX_ITEMS", max_items.get()) < 0) return false;
    for (PyMethodDef* def = g_helper_methods; def->ml_name != nullptr; ++def) {
        Ref function = Ref::steal(PyCFunction_NewEx(def, nullptr, nullptr));
        if (!function || PyDict_SetItemString(globals.get(), def->ml_name, function.get()) < 0) return false;
    }
    Ref code = Ref::steal(Py_CompileString(kHelperSource, "<tarnex_self_play exchange>", Py_file_input));
    if (!code) return false;
    Ref done = Ref::steal(PyEval_EvalCode(code.get(), globals.get(), globals.get()));
    if (!done) return false;
    PyObject* exchange = PyDict_GetItemString(globals.get(), "exchange");  // borrowed
    PyObject* make_state = PyDict_GetItemString(globals.get(), "make_state");
    if (exchange == nullptr || make_state == nullptr) {
        PyErr_SetString(PyExc_SystemError, "the exchange helper was not defined");
        return false;
    }
    if (g_helper == nullptr) {
        keep_once(g_make_state, Ref::borrow(make_state));
        keep_once(g_helper, Ref::borrow(exchange));
    }
    return true;
}

}  // namespace

bool prepare_transport() {
    if (!interned(g_put, "put") || !interned(g_recv, "recv")) return false;
    for (long k = 0; k < 2; ++k) {
        if (g_keys[k] == nullptr) {
            Ref key = Ref::steal(PyLong_FromLong(k));
            if (!key) return false;
            keep_once(g_keys[k], std::move(key));
        }
    }
    if (g_empty_args == nullptr) {
        Ref args = Ref::steal(PyTuple_New(0));
        if (!args) return false;
        keep_once(g_empty_args, std::move(args));
    }
    if (TARNEX_EXCHANGE_VIA_HELPER && g_helper == nullptr && !make_helper()) return false;
    return true;
}

PyObject* PythonTransport::id_object(std::int32_t id) {
    if (!id_ || id != id_value_) {
        id_ = Ref::steal(PyLong_FromLong(id));
        id_value_ = id;
    }
    return id_.get();
}

std::optional<PyError> PythonTransport::exchange(std::int32_t id, const BoardState& planes,
                                                 self_play::EvaluationReply& reply) {
    PyObject* id_obj = id_object(id);
    if (id_obj == nullptr) return PyError::fetch();
    if constexpr (TARNEX_EXCHANGE_VIA_HELPER) {
        return exchange_via_helper(id_obj, planes, reply);
    } else {
        return exchange_direct(id_obj, planes, reply);
    }
}

std::optional<PyError> PythonTransport::exchange_direct(PyObject* id, const BoardState& planes,
                                                        self_play::EvaluationReply& reply) {
    {
        Ref put = Ref::steal(PyObject_GetAttr(queue_, g_put));
        if (!put) return PyError::fetch();
        Ref planes_list = build_planes(planes);
        if (!planes_list) return PyError::fetch();
        Ref request = Ref::steal(PyTuple_Pack(2, id, planes_list.get()));
        if (!request) return PyError::fetch();
        planes_list.reset();
        Ref args = Ref::steal(PyTuple_Pack(1, request.get()));
        if (!args) return PyError::fetch();
        request.reset();
        Ref returned = Ref::steal(PyObject_Call(put.get(), args.get(), nullptr));
        if (!returned) return PyError::fetch();
    }
    Ref recv = Ref::steal(PyObject_GetAttr(pipe_, g_recv));
    if (!recv) return PyError::fetch();
    Ref answer = Ref::steal(PyObject_Call(recv.get(), g_empty_args, nullptr));
    if (!answer) return PyError::fetch();
    recv.reset();
    {
        Ref item = Ref::steal(PyObject_GetItem(answer.get(), g_keys[0]));
        if (!item) return PyError::fetch();
        if (auto error = read_numbers(item.get(), 0, reply.policy)) return error;
    }
    {
        Ref item = Ref::steal(PyObject_GetItem(answer.get(), g_keys[1]));
        if (!item) return PyError::fetch();
        if (auto error = read_numbers(item.get(), 1, reply.values)) return error;
    }
    return std::nullopt;
}

std::optional<PyError> PythonTransport::exchange_via_helper(PyObject* id, const BoardState& planes,
                                                            self_play::EvaluationReply& reply) {
    if (!helper_state_) {
        Ref made = Ref::steal(PyObject_CallNoArgs(g_make_state));
        if (!made) return PyError::fetch();
        void* address = PyLong_AsVoidPtr(PyTuple_GET_ITEM(made.get(), 1));
        if (address == nullptr) return PyError::fetch();
        if (PyLong_AsLong(PyTuple_GET_ITEM(made.get(), 2)) != static_cast<long>(sizeof(std::uint32_t))) {
            return PyError::make(PyExc_SystemError, "array('I') does not hold 32-bit items here");
        }
        helper_state_ = Ref::borrow(PyTuple_GET_ITEM(made.get(), 0));
        row_patterns_ = static_cast<std::uint32_t*>(address);
    }
    const bool* cell = planes.data();
    for (std::size_t row = 0; row < kPlanes * kSide; ++row) {
        std::uint32_t pattern = 0;
        for (std::size_t x = 0; x < kSide; ++x, ++cell) pattern |= static_cast<std::uint32_t>(*cell) << x;
        row_patterns_[row] = pattern;
    }
    Ref args = Ref::steal(PyTuple_Pack(4, queue_, pipe_, id, helper_state_.get()));
    if (!args) return PyError::fetch();
    Ref result = Ref::steal(PyObject_Call(g_helper, args.get(), nullptr));
    if (!result) return PyError::fetch();
    args.reset();
    PyObject* first = PyTuple_GET_ITEM(result.get(), 0);
    if (!PyLong_Check(first)) {
        // (type, value, traceback) of the exception that stopped the exchange.
        PyObject* traceback = PyTuple_GET_ITEM(result.get(), 2);
        return PyError::adopt(Ref::borrow(first), Ref::borrow(PyTuple_GET_ITEM(result.get(), 1)),
                              traceback == Py_None ? Ref() : Ref::borrow(traceback));
    }
    const auto* numbers = static_cast<const double*>(PyLong_AsVoidPtr(first));
    const Py_ssize_t policy_count = PyLong_AsSsize_t(PyTuple_GET_ITEM(result.get(), 1));
    const Py_ssize_t value_count = PyLong_AsSsize_t(PyTuple_GET_ITEM(result.get(), 2));
    if (PyErr_Occurred()) return PyError::fetch();
    // The numbers stay in the state's array until the next exchange.
    reply.policy.resize(static_cast<std::size_t>(policy_count));
    reply.values.resize(static_cast<std::size_t>(value_count));
    for (std::size_t i = 0; i < reply.policy.size(); ++i) reply.policy[i] = to_float(numbers[i]);
    numbers += policy_count;
    for (std::size_t i = 0; i < reply.values.size(); ++i) reply.values[i] = to_float(numbers[i]);
    return std::nullopt;
}

}  // namespace tarnex::python
