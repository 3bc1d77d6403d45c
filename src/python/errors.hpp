// The exceptions that carry failures through C++ code, and their translation
// into Python exceptions at each entry point.
#pragma once

#include <exception>
#include <string>

#include "python/ref.hpp"

namespace tovrik::py {

/// A Python exception, taken out of the interpreter's error indicator when thrown
/// and put back when translated.
class PyError : public std::exception {
public:
    /// Fetches the pending Python error; there must be one.
    PyError() noexcept;
    PyError(PyError&&) noexcept = default;
    const char* what() const noexcept override { return "Python exception"; }
    /// Puts the error back as the pending one.
    void restore() noexcept;
    /// The exception instance (normalised).
    PyObject* value() noexcept;

private:
    Ref type_, value_, tb_;
};

/// An internal invariant failed: raised as tovrik.PanicException.
class Panic : public std::exception {
public:
    explicit Panic(std::string message, Ref cause = {}) noexcept
        : message_(std::move(message)), cause_(std::move(cause)) {}
    Panic(Panic&&) noexcept = default;
    const char* what() const noexcept override { return message_.c_str(); }
    Ref& cause() noexcept { return cause_; }

private:
    std::string message_;
    Ref cause_;
};

/// Throws PyError when `p` is null, else takes over the new reference.
inline Ref check(PyObject* p) {
    if (p == nullptr) throw PyError();
    return Ref::steal(p);
}
/// Throws PyError when a C-API status is negative.
inline int check_status(int rc) {
    if (rc < 0) throw PyError();
    return rc;
}

/// Sets a Python exception of `type` and throws it.
[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise(PyObject* type, const std::string& message);

/// Discards the pending error when it is an ordinary Exception; anything else
/// (KeyboardInterrupt, SystemExit) is thrown on, so that it is never lost.
void absorb_error();

/// Builds a Panic whose cause is the pending Python error, with `context` and
/// the error's text as the message. An error that is not an Exception
/// (KeyboardInterrupt, SystemExit) is thrown on unchanged instead.
Panic panic_from_pending(const std::string& context);

/// The internal-error exception type; created once per process.
PyObject* panic_type();

/// Makes `type` the internal-error exception type of this module: a module
/// built beside tovrik raises tovrik's own.
void adopt_panic_type(PyObject* type);

/// Turns the exception being handled into the pending Python error. Call only
/// inside a catch block; returns nullptr for convenience.
PyObject* translate_exception() noexcept;

}  // namespace tovrik::py
