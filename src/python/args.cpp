// Argument parsing shared by every callable of the module, so that all of
// them report argument errors with one set of messages, and argument
// conversions that add the "while processing" note naming the parameter.
#include <cstring>

#include "binding.hpp"

namespace corpuswright::python {
namespace {

std::string quoted_list(const std::vector<const char*>& names) {
    // 'a'; 'a' and 'b'; 'a', 'b', and 'c'
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) {
                out += " and ";
            } else if (i + 1 == names.size()) {
                out += ", and ";
            } else {
                out += ", ";
            }
        }
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}

void raise_too_many(const Signature& sig, Py_ssize_t given) {
    const char* verb = given == 1 ? "was" : "were";
    std::size_t total = sig.params.size();
    if (sig.required == total) {
        PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", sig.display_name, total,
                     given, verb);
    } else {
        PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                     sig.display_name, sig.required, total, given, verb);
    }
}

// Places one keyword argument; false with TypeError set when it names no
// parameter or repeats a positional one.
bool place_keyword(const Signature& sig, PyObject* key, PyObject* value, Py_ssize_t nargs,
                   std::vector<PyObject*>& out) {
    Py_ssize_t len = 0;
    const char* name = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &len) : nullptr;
    if (name == nullptr) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.display_name, key);
        return false;
    }
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        if (std::strlen(sig.params[i]) == static_cast<std::size_t>(len) && std::memcmp(sig.params[i], name, len) == 0) {
            if (static_cast<Py_ssize_t>(i) < nargs || out[i] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.display_name,
                             sig.params[i]);
                return false;
            }
            out[i] = value;
            return true;
        }
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%s'", sig.display_name, name);
    return false;
}

bool check_required(const Signature& sig, const std::vector<PyObject*>& out) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < sig.required; ++i) {
        if (out[i] == nullptr) missing.push_back(sig.params[i]);
    }
    if (missing.empty()) return true;
    std::string message = std::string(sig.display_name) + " missing " + std::to_string(missing.size()) +
                          " required positional " + (missing.size() == 1 ? "argument" : "arguments") + ": " +
                          quoted_list(missing);
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return false;
}

}  // namespace

bool parse_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::vector<PyObject*>& out) {
    out.assign(sig.params.size(), nullptr);
    if (nargs > static_cast<Py_ssize_t>(sig.params.size())) {
        raise_too_many(sig, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames != nullptr) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, out)) return false;
        }
    }
    return check_required(sig, out);
}

bool parse_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs, std::vector<PyObject*>& out) {
    out.assign(sig.params.size(), nullptr);
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > static_cast<Py_ssize_t>(sig.params.size())) {
        raise_too_many(sig, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs != nullptr) {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!place_keyword(sig, key, value, nargs, out)) return false;
        }
    }
    return check_required(sig, out);
}

void add_processing_note(const char* param) {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) return;
#else
    PyObject *type = nullptr, *exc = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &exc, &tb);
    if (type == nullptr) return;
    PyErr_NormalizeException(&type, &exc, &tb);
    if (tb != nullptr) PyException_SetTraceback(exc, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
#endif
    Ref note(PyUnicode_FromFormat("while processing '%s'", param));
    Ref name(PyUnicode_FromString("add_note"));
    if (note && name) {
        PyObject* call_args[] = {exc, note.get()};
        Ref result(PyObject_VectorcallMethod(name.get(), call_args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        if (!result) PyErr_Clear();  // the original error matters more than its note
    } else {
        PyErr_Clear();
    }
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc, PyException_GetTraceback(exc));
#endif
}

void raise_cast_error(PyObject* value, const char* expected, const char* param) {
    if (value == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    } else {
        Ref qualname(PyType_GetQualName(Py_TYPE(value)));
        if (qualname) {
            PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname.get(), expected);
        }
    }
    add_processing_note(param);
}

std::optional<std::string_view> utf8_arg(PyObject* value, const char* param) {
    if (!PyUnicode_Check(value)) {
        raise_cast_error(value, "str", param);
        return std::nullopt;
    }
    Py_ssize_t len = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &len);
    if (data == nullptr) {
        add_processing_note(param);
        return std::nullopt;
    }
    return std::string_view(data, static_cast<std::size_t>(len));
}

std::optional<std::string> path_arg(PyObject* value, const char* param) {
    Ref fspath(PyOS_FSPath(value));
    if (!fspath) {
        add_processing_note(param);
        return std::nullopt;
    }
    if (!PyUnicode_Check(fspath.get())) {
        raise_cast_error(fspath.get(), "str", param);
        return std::nullopt;
    }
    Ref encoded(PyUnicode_EncodeFSDefault(fspath.get()));
    if (!encoded) {
        add_processing_note(param);
        return std::nullopt;
    }
    const char* data = PyBytes_AsString(encoded.get());
    Py_ssize_t size = PyBytes_Size(encoded.get());
    std::string path(data, static_cast<std::size_t>(size));
    if (path.find('\0') != std::string::npos) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        add_processing_note(param);
        return std::nullopt;
    }
    return path;
}

std::optional<std::uint64_t> u64_arg(PyObject* value, const char* param, std::uint64_t fallback) {
    if (value == nullptr) return fallback;
    Ref index(PyNumber_Index(value));
    if (!index) {
        add_processing_note(param);
        return std::nullopt;
    }
    unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        add_processing_note(param);
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(v);
}

std::optional<std::uint64_t> positive_u64_arg(PyObject* value, const char* param, std::uint64_t fallback) {
    auto v = u64_arg(value, param, fallback);
    if (v && *v == 0) {
        PyErr_Format(PyExc_ValueError, "%s must be positive", param);
        add_processing_note(param);
        return std::nullopt;
    }
    return v;
}

bool optional_u64_arg(PyObject* value, const char* param, std::optional<std::uint64_t>& out) {
    out.reset();
    if (value == nullptr || value == Py_None) return true;
    auto v = u64_arg(value, param, 0);
    if (!v) return false;
    out = *v;
    return true;
}

PyObject* str_from(std::string_view s) {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* str_list(const std::vector<std::string>& items) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* s = str_from(items[i]);
        if (s == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);
    }
    return list.release();
}

}  // namespace corpuswright::python
