// Exception types and the one place where C++ exceptions become Python ones.
#include "python/errors.hpp"

#include <cstring>
#include <new>
#include <stdexcept>

namespace tovrik::py {

PyError::PyError() noexcept {
    PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
    PyErr_Fetch(&t, &v, &tb);
    if (t == nullptr) {
        t = Py_NewRef(PyExc_SystemError);
        v = PyUnicode_FromString("error return without exception set");
    }
    type_ = Ref::steal(t);
    value_ = Ref::steal(v);
    tb_ = Ref::steal(tb);
}

void PyError::restore() noexcept {
    PyErr_Restore(type_.release(), value_.release(), tb_.release());
}

PyObject* PyError::value() noexcept {
    PyObject *t = type_.release(), *v = value_.release(), *tb = tb_.release();
    PyErr_NormalizeException(&t, &v, &tb);
    if (tb != nullptr && v != nullptr) PyException_SetTraceback(v, tb);
    type_ = Ref::steal(t);
    value_ = Ref::steal(v);
    tb_ = Ref::steal(tb);
    return value_.get();
}

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PyError();
}

void raise(PyObject* type, const std::string& message) {
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), Py_ssize_t(message.size()), "replace");
    if (text != nullptr) {
        PyErr_SetObject(type, text);
        Py_DECREF(text);
    }
    throw PyError();
}

void absorb_error() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PyError();
    PyErr_Clear();
}

Panic panic_from_pending(const std::string& context) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PyError();
    PyError err;
    PyObject* v = err.value();
    std::string msg = context;
    if (v != nullptr) {
        Ref text = Ref::steal(PyObject_Str(v));
        const char* name = Py_TYPE(v)->tp_name;
        msg += ": ";
        msg += name;
        if (text) {
            Py_ssize_t n = 0;
            const char* s = PyUnicode_AsUTF8AndSize(text.get(), &n);
            if (s != nullptr && n > 0) {
                msg += ": ";
                msg.append(s, std::size_t(n));
            }
        }
        PyErr_Clear();
    }
    return Panic(std::move(msg), Ref::borrow(v));
}

namespace {
PyObject* g_panic_type = nullptr;  // one per process, never released
}

PyObject* panic_type() {
    if (g_panic_type == nullptr) {
        g_panic_type = PyErr_NewExceptionWithDoc(
            "tovrik.PanicException",
            "Raised when an internal consistency check of tovrik fails.",
            PyExc_BaseException, nullptr);
    }
    return g_panic_type;
}

void adopt_panic_type(PyObject* type) {
    Py_INCREF(type);
    Py_XSETREF(g_panic_type, type);
}

PyObject* translate_exception() noexcept {
    try {
        throw;
    } catch (PyError& e) {
        e.restore();
    } catch (Panic& e) {
        PyObject* type = panic_type();
        if (type == nullptr) return nullptr;
        Ref text = Ref::steal(PyUnicode_DecodeUTF8(e.what(), Py_ssize_t(std::strlen(e.what())), "replace"));
        if (!text) return nullptr;
        Ref value = Ref::steal(PyObject_CallOneArg(type, text.get()));
        if (!value) return nullptr;
        if (e.cause()) PyException_SetCause(value.get(), e.cause().release());
        PyErr_SetObject(type, value.get());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyObject* type = panic_type();
        if (type != nullptr) PyErr_SetString(type, e.what());
    } catch (...) {
        PyObject* type = panic_type();
        if (type != nullptr) PyErr_SetString(type, "unknown internal error");
    }
    return nullptr;
}

}  // namespace tovrik::py
