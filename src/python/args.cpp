// Argument binding: missing, unexpected, doubled and surplus arguments.
#include "python/args.hpp"

#include <string>

#include "python/errors.hpp"

namespace tovrik::py {

namespace {

std::string full_name(const char* method) { return std::string("Encoder.") + method + "()"; }

bool names_param(PyObject* key, const char* param) {
    return PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, param) == 0;
}

[[noreturn]] void raise_format(PyObject* type, const char* fmt, PyObject* arg) {
    PyErr_Format(type, fmt, arg);
    throw PyError();
}

[[noreturn]] void too_many(const char* method, const char* takes, Py_ssize_t given) {
    std::string msg = full_name(method) + " takes " + takes + " positional arguments but " +
                      std::to_string(given) + (given == 1 ? " was" : " were") + " given";
    raise(PyExc_TypeError, msg);
}

// Matches one keyword against the single parameter; `slot` is the value bound
// so far (positionally or by an earlier keyword).
void bind_keyword(const char* method, const char* param, PyObject* key, PyObject* value,
                  PyObject*& slot) {
    if (!names_param(key, param)) {
        std::string fmt = full_name(method) + " got an unexpected keyword argument '%S'";
        raise_format(PyExc_TypeError, fmt.c_str(), key);
    }
    if (slot != nullptr) {
        raise(PyExc_TypeError,
              full_name(method) + " got multiple values for argument '" + param + "'");
    }
    slot = value;
}

}  // namespace

PyObject* bind_one(const char* method, const char* param, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) {
    if (nargs > 1) too_many(method, "1", nargs);
    PyObject* slot = nargs == 1 ? args[0] : nullptr;
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < nkw; ++i)
            bind_keyword(method, param, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], slot);
    }
    if (slot == nullptr) {
        raise(PyExc_TypeError, full_name(method) + " missing 1 required positional argument: '" +
                                   param + "'");
    }
    return slot;
}

PyObject* bind_optional(const char* method, const char* param, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t nargs = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
    if (nargs > 1) too_many(method, "from 0 to 1", nargs);
    PyObject* slot = nargs == 1 ? PyTuple_GET_ITEM(args, 0) : nullptr;
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) bind_keyword(method, param, key, value, slot);
    }
    return slot;
}

void raise_with_note(const char* param) {
    PyError err;
    PyObject* exc = err.value();
    if (exc != nullptr) {
        Ref note = Ref::steal(PyUnicode_FromFormat("while processing '%s'", param));
        if (note) {
            Ref r = Ref::steal(PyObject_CallMethod(exc, "add_note", "O", note.get()));
        }
        // An interpreter without add_note simply gets no note.
        PyErr_Clear();
    }
    err.restore();
    throw PyError();
}

void expect_instance(PyObject* value, PyTypeObject* expected, const char* param) {
    if (PyObject_TypeCheck(value, expected)) return;
    if (value == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected->tp_name);
    } else {
        Ref qual = Ref::steal(PyType_GetQualName(Py_TYPE(value)));
        if (!qual) throw PyError();
        PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qual.get(),
                     expected->tp_name);
    }
    raise_with_note(param);
}

}  // namespace tovrik::py

