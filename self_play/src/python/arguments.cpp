#include "arguments.hpp"

#include <vector>

#include "python_api/error.hpp"

namespace tarnex::python {

namespace {

bool type_error(const std::string& message) {
    Ref text = unicode(message);
    if (text) PyErr_SetObject(PyExc_TypeError, text.get());
    return false;
}

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'
std::string name_list(const std::vector<const char*>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i != 0) {
            if (names.size() > 2) text += ',';
            text += i + 1 == names.size() ? " and " : " ";
        }
        text += '\'';
        text += names[i];
        text += '\'';
    }
    return text;
}

}  // namespace

bool bind_arguments(const char* function, const char* const* names, std::size_t count, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** bound) {
    const std::string prefix = std::string(function) + "()";
    const std::size_t positional = static_cast<std::size_t>(nargs);
    for (std::size_t i = 0; i < count; ++i) bound[i] = i < positional ? args[i] : nullptr;

    const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) return type_error(prefix + " keywords must be strings");
        std::size_t i = 0;
        while (i < count && PyUnicode_CompareWithASCIIString(key, names[i]) != 0) ++i;
        if (i == count) return type_error(prefix + " got an unexpected keyword argument '" + utf8_text(key) + "'");
        if (bound[i] != nullptr) return type_error(prefix + " got multiple values for argument '" + names[i] + "'");
        bound[i] = args[positional + static_cast<std::size_t>(k)];
    }

    if (positional > count) {
        return type_error(prefix + " takes " + std::to_string(count) + " positional argument" + (count == 1 ? "" : "s") +
                          " but " + std::to_string(positional) + (positional == 1 ? " was" : " were") + " given");
    }
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < count; ++i) {
        if (bound[i] == nullptr) missing.push_back(names[i]);
    }
    if (!missing.empty()) {
        return type_error(prefix + " missing " + std::to_string(missing.size()) + " required positional argument" +
                          (missing.size() == 1 ? "" : "s") + ": " + name_list(missing));
    }
    return true;
}

}  // namespace tarnex::python
