// The extension module's definition. Multi-phase initialisation; the module
// keeps no state of its own.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

int exec_module(PyObject* module) {
    PyObject* all = PyList_New(0);
    if (all == nullptr) return -1;
    if (PyModule_AddObject(module, "__all__", all) < 0) {
        Py_DECREF(all);
        return -1;
    }
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_core", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__core(void) { return PyModuleDef_Init(&module_def); }
