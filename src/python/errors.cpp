// Error values become Python exceptions here and nowhere else: an Error with
// its context chain becomes a RuntimeError; a violated invariant becomes
// PanicException, which derives from BaseException so that an ordinary
// `except Exception` does not swallow a bug.
#include "binding.hpp"

namespace corpuswright::python {

PyObject* error(const Error& err) {
    std::string text = err.message();
    Ref message(str_from(text));
    if (!message) return nullptr;
    PyErr_SetObject(PyExc_RuntimeError, message.get());
    return nullptr;
}

PyObject* panic_type() {
    // Created once per process, on first need, while the lock is held.
    static PyObject* type = PyErr_NewExceptionWithDoc(
        "corpuswright.PanicException", "A violated internal invariant of corpuswright.", PyExc_BaseException, nullptr);
    return type;
}

PyObject* raise_panic(const std::string& message) {
    PyObject* type = panic_type();
    if (type == nullptr) return nullptr;
    Ref text(str_from(message));
    if (!text) return nullptr;
    PyErr_SetObject(type, text.get());
    return nullptr;
}

}  // namespace corpuswright::python
