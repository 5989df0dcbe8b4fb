// Error values become Python exceptions here and nowhere else: an Error with
// its context chain becomes a RuntimeError; a violated invariant becomes
// PanicException, which derives from BaseException so that an ordinary
// `except Exception` does not swallow a bug.
#include <cstring>

#include "binding.hpp"

namespace corpuswright::python {

PyObject* error(const Error& err) {
    std::string text = err.message();
    // Messages may quote input bytes (an element name of a damaged dump):
    // invalid UTF-8 is replaced rather than failing the error itself.
    Ref message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (!message) return nullptr;
    PyErr_SetObject(PyExc_RuntimeError, message.get());
    return nullptr;
}

PyObject* raise_error(const Error& err) {
    switch (err.kind()) {
        case ErrorKind::Invariant: return raise_panic(err.message());
        case ErrorKind::Conflict:
        case ErrorKind::Invalid: {
            Ref text(str_from(err.message()));
            if (text) PyErr_SetObject(PyExc_ValueError, text.get());
            return nullptr;
        }
        case ErrorKind::OutOfMemory: return PyErr_NoMemory();
        default: return error(err);
    }
}

PyObject* panic_type() {
    // Created once per process, on first need, while the lock is held.
    static PyObject* type = PyErr_NewExceptionWithDoc(
        "corpuswright.PanicException", "A violated internal invariant of corpuswright.", PyExc_BaseException, nullptr);
    return type;
}

void raise_current_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyObject* type = panic_type();
        if (type == nullptr) return;
        const char* what = e.what();
        PyObject* text = PyUnicode_DecodeUTF8(what, static_cast<Py_ssize_t>(std::strlen(what)), "replace");
        if (text == nullptr) return;
        PyErr_SetObject(type, text);
        Py_DECREF(text);
    } catch (...) {
        PyObject* type = panic_type();
        if (type != nullptr) PyErr_SetString(type, "unknown failure");
    }
}

PyObject* raise_panic(const std::string& message) {
    PyObject* type = panic_type();
    if (type == nullptr) return nullptr;
    Ref text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return nullptr;
    PyErr_SetObject(type, text.get());
    return nullptr;
}

}  // namespace corpuswright::python
