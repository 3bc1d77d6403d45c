// The intake: classifies the object handed to encode/decode and turns it into a
// float64 matrix (plus the learnt code maps on the general path).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/columns.hpp"
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

/// The (rows, columns) of an input on the general path; a malformed `shape` is an internal error.
std::pair<std::uint64_t, std::uint64_t> read_shape(PyObject* obj);

/// Reads every cell of `obj` (of that shape): numbers go to `out`, each text
/// column to `sink`, which has finished with them on return. Returns which
/// columns hold text.
/// Columns flagged in `force_text` take every cell through str() from row 0,
/// numbers included, as if an earlier row had made them text.
std::vector<std::uint8_t> read_cells(PyObject* obj, bool is_frame, std::uint64_t rows, std::uint64_t cols,
                                     core::SendPtr out, core::TextColumnSink& sink,
                                     const std::vector<std::uint8_t>* force_text = nullptr);

/// The output handle on a fresh float64 matrix (one block, C or Fortran order).
core::SendPtr matrix_out(PyObject* matrix);

/// The kind of `obj` by its type name, with a DataFrame's column names; prints
/// the name and raises TypeError for anything else.
OUT classify(PyObject* obj);

/// Whether `obj` takes the float64 fast path, and its one copy.
bool is_float64_matrix(PyObject* obj);
Ref copy_float64(PyObject* src);

/// The UTF-8 text of a str, with each lone surrogate replaced by three U+FFFD.
/// Returns a view into the str itself when it is valid UTF-8; otherwise the text
/// is built in `spill` and the view points there.
std::string_view str_text(PyObject* s, std::string& spill);

}  // namespace tovrik::py
