// The intake: classifies the object handed to encode/decode and turns it into a
// float64 matrix (plus the learnt code maps on the general path).
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/state.hpp"
#include "core/text.hpp"
#include "python/ref.hpp"

namespace tovrik::py {

/// The kind of the input, which is also the kind of the result.
struct OUT {
    bool is_frame = false;                  // DataFrameKind when true, ArrayKind otherwise
    std::vector<std::string> column_names;  // DataFrameKind only
};

struct IntakeResult {
    OUT kind;
    Ref matrix;  // a new float64 ndarray that nobody else has seen
    std::unique_ptr<core::EncodingInfo> info;  // null on the float64 fast path
};

/// Reads any Python object into an IntakeResult; throws on failure.
IntakeResult pyany_to_vec(PyObject* obj);

/// The general path: reads every cell through Python and encodes the text columns.
IntakeResult encode_object_array(PyObject* obj, OUT kind);

/// The UTF-8 text of a str, with each lone surrogate replaced by three U+FFFD.
/// Returns a view into the str itself when it is valid UTF-8; otherwise the text
/// is built in `spill` and the view points there.
std::string_view str_text(PyObject* s, std::string& spill);

}  // namespace tovrik::py
