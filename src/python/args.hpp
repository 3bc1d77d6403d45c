// Argument binding for the Encoder's methods, with the interpreter-style messages.
#pragma once

#include "python/ref.hpp"

namespace tovrik::py {

/// Binds the one required parameter `param` of a vector call to
/// Encoder.<method>(); throws PyError (TypeError) on a binding failure.
PyObject* bind_one(const char* method, const char* param, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames);

/// Binds the optional parameter `param` of Encoder.__new__ from an argument
/// tuple and keyword dict; returns nullptr when it is absent.
PyObject* bind_optional(const char* method, const char* param, PyObject* args, PyObject* kwargs);

/// Adds the note "while processing '<param>'" to the pending exception, then throws it.
[[noreturn]] void raise_with_note(const char* param);

/// Checks that `value` is an instance of `expected` (subclasses accepted) and
/// otherwise raises the conversion TypeError with the parameter note.
void expect_instance(PyObject* value, PyTypeObject* expected, const char* param);

}  // namespace tovrik::py
