#include "error.hpp"

namespace tarnex::python {

PyError PyError::fetch() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return make(PyExc_SystemError, "error return without exception set");
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback == Py_None) {  // PyPy hands out None for "no traceback"
        Py_DECREF(traceback);
        traceback = nullptr;
    }
    PyError e;
    e.type_ = Ref::steal(type);
    e.value_ = Ref::steal(value);
    e.traceback_ = Ref::steal(traceback);
    if (!e.value_) {
        // Normalisation itself failed and left nothing usable behind.
        e.value_ = Ref::borrow(Py_None);
    }
    return e;
}

PyError PyError::make(PyObject* type, const std::string& message) {
    Ref text = unicode(message);
    if (!text) return fetch();
    PyErr_SetObject(type, text.get());
    return fetch();
}

PyError PyError::adopt(Ref type, Ref value, Ref traceback) {
    PyError e;
    e.type_ = std::move(type);
    e.value_ = std::move(value);
    e.traceback_ = std::move(traceback);
    return e;
}

void PyError::restore() && {
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

std::string PyError::display() const {
    std::string text = qualified_name(reinterpret_cast<PyObject*>(Py_TYPE(value_.get())));
    Ref s = Ref::steal(PyObject_Str(value_.get()));
    bool ok = false;
    std::string body;
    if (s) body = utf8_text(s.get(), &ok);
    if (!ok) {
        PyErr_Clear();
        body = "<exception str() failed>";
    }
    return text + ": " + body;
}

std::string PyError::detail() const {
    std::string text = "PyErr { type: " + repr_text(type_.get()) + ", value: " + repr_text(value_.get()) +
                       ", traceback: ";
    if (traceback_) {
        text += "Some(" + repr_text(traceback_.get()) + ")";
    } else {
        text += "None";
    }
    return text + " }";
}

std::string utf8_text(PyObject* str, bool* ok) {
    if (ok != nullptr) *ok = false;
    if (str == nullptr || !PyUnicode_Check(str)) return {};
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(str, &size)) {
        if (ok != nullptr) *ok = true;
        return std::string(data, static_cast<std::size_t>(size));
    }
    // Lone surrogates: pass them through the encoder, then replace every
    // invalid sequence when decoding.
    PyErr_Clear();
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    if (!bytes) {
        PyErr_Clear();
        return {};
    }
    Ref clean = Ref::steal(
        PyUnicode_DecodeUTF8(PyBytes_AsString(bytes.get()), PyBytes_Size(bytes.get()), "replace"));
    if (!clean) {
        PyErr_Clear();
        return {};
    }
    if (const char* data = PyUnicode_AsUTF8AndSize(clean.get(), &size)) {
        if (ok != nullptr) *ok = true;
        return std::string(data, static_cast<std::size_t>(size));
    }
    PyErr_Clear();
    return {};
}

std::string repr_text(PyObject* o) {
    Ref r = Ref::steal(PyObject_Repr(o));
    bool ok = false;
    std::string text;
    if (r) text = utf8_text(r.get(), &ok);
    if (ok) return text;
    PyErr_Clear();
    return "<unprintable " + qualified_name(reinterpret_cast<PyObject*>(Py_TYPE(o))) + " object>";
}

std::string qualified_name(PyObject* type) {
    Ref name = Ref::steal(PyObject_GetAttrString(type, "__qualname__"));
    bool ok = false;
    std::string text;
    if (name) text = utf8_text(name.get(), &ok);
    if (ok) return text;
    PyErr_Clear();
    if (PyType_Check(type)) return reinterpret_cast<PyTypeObject*>(type)->tp_name;
    return "<unknown>";
}

Ref unicode(const std::string& utf8) {
    return Ref::steal(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "replace"));
}

}  // namespace tarnex::python
