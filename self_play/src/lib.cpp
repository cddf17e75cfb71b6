#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include "simulation.hpp"
static PyModuleDef def = {PyModuleDef_HEAD_INIT, "tarnex_self_play", "", -1, nullptr, nullptr, nullptr, nullptr, nullptr};
PyMODINIT_FUNC PyInit_tarnex_self_play(void) { return PyModule_Create(&def); }
