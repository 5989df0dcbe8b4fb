// The extension module `corpuswright._core`: multi-phase initialisation with
// no module state. Its execution step adds the class and the four dataset
// functions, appending each name to `__all__`, and registers the exit hook
// that stops calls still running; nothing else runs at import: no file is
// opened and no thread is started.
#include "binding.hpp"

namespace corpuswright::python {
namespace {

// Adds one attribute and appends its name to `__all__` (created when
// missing). Steals `value`.
int add_attribute(PyObject* module, const char* name, PyObject* value) {
    Ref owned(value);
    Ref all_name(PyUnicode_FromString("__all__"));
    if (!all_name) return -1;
    Ref all(PyObject_GetAttr(module, all_name.get()));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all || PyObject_SetAttr(module, all_name.get(), all.get()) < 0) return -1;
    }
    if (!PyList_Check(all.get())) {
        raise_cast_error(all.get(), "PyList", "__all__");
        return -1;
    }
    Ref attr_name(PyUnicode_FromString(name));
    if (!attr_name || PyList_Append(all.get(), attr_name.get()) < 0) return -1;
    return PyObject_SetAttr(module, attr_name.get(), owned.get());
}

PyObject* at_exit(PyObject*, PyObject*) {
    stop_calls_at_exit();
    Py_RETURN_NONE;
}

PyMethodDef at_exit_def = {"_stop_calls_at_exit", at_exit, METH_NOARGS, nullptr};

// Calls still running in daemon threads when the interpreter exits are
// stopped first (Released).
int register_at_exit(PyObject* module) {
    Ref atexit(PyImport_ImportModule("atexit"));
    if (!atexit) return -1;
    Ref fn(PyCFunction_NewEx(&at_exit_def, module, nullptr));
    if (!fn) return -1;
    Ref done(PyObject_CallMethod(atexit.get(), "register", "O", fn.get()));
    return done ? 0 : -1;
}

int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        raise_cast_error(module, "PyModule", "module");
        return -1;
    }
    PyObject* panic = panic_type();
    if (panic == nullptr) return -1;
    // Importable by name so that callers can catch it alone; not listed in
    // `__all__`, which names the module's callables.
    if (PyModule_AddObjectRef(module, "PanicException", panic) < 0) return -1;
    PyObject* type = wiki_converter_type();
    if (type == nullptr) return -1;
    if (add_attribute(module, "WikiConverter", Py_NewRef(type)) < 0) return -1;
    if (add_dataset_functions(module, add_attribute) < 0) return -1;
    return register_at_exit(module);
}

int guarded_exec_module(PyObject* module) noexcept {
    return guarded_entry<int>(-1, [&] { return exec_module(module); });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(guarded_exec_module)},
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_core", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace corpuswright::python

PyMODINIT_FUNC PyInit__core(void) { return PyModuleDef_Init(&corpuswright::python::module_def); }
