#define PY_SSIZE_T_CLEAN
#include <Python.h>
static PyModuleDef def = {PyModuleDef_HEAD_INIT, "_rules", "", -1, nullptr, nullptr, nullptr, nullptr, nullptr};
PyMODINIT_FUNC PyInit__rules(void) { return PyModule_Create(&def); }
