// Module definition shared by the three extension modules: multi-phase
// initialisation that imports NumPy's C API once per interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <numpy/arrayobject.h>

namespace crv::py {

inline int import_numpy(PyObject *) {
    // import_array() returns NULL on failure in this function's context.
    if (PyArray_ImportNumPyAPI() < 0) return -1;
    return 0;
}

}  // namespace crv::py

// Defines PyInit_<name> for a module whose functions are `methods`.
#if PY_VERSION_HEX >= 0x030C0000
#define CRV_MODULE_SLOT_INTERP {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define CRV_MODULE_SLOT_INTERP
#endif

#define CRV_DEFINE_MODULE(name, doc, methods)                                 \
    static PyModuleDef_Slot name##_slots[] = {                               \
        {Py_mod_exec, reinterpret_cast<void *>(crv::py::import_numpy)},      \
        CRV_MODULE_SLOT_INTERP                                               \
        {0, nullptr}};                                                       \
    static PyModuleDef name##_def = {PyModuleDef_HEAD_INIT, #name, doc, 0,   \
                                     methods, name##_slots, nullptr,         \
                                     nullptr, nullptr};                      \
    PyMODINIT_FUNC PyInit_##name(void) { return PyModuleDef_Init(&name##_def); }
