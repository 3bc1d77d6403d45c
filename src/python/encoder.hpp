// The Encoder type: instance layout, borrow flag and the type object.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/state.hpp"
#include "python/ref.hpp"

namespace tovrik::py {

struct EncoderObject {
    PyObject_HEAD
    core::EncoderState state;
    // 0 free, n shared borrows, all ones one exclusive borrow.
    std::atomic<std::uintptr_t> borrow;
};

/// The class object, created on first use and kept for the life of the process.
PyTypeObject* encoder_type();

}  // namespace tovrik::py
