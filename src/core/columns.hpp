// The parallel column step: every text column label-encoded into the shared output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/state.hpp"

namespace tovrik::core {

/// Handle on the row-major output buffer. Tasks write disjoint cells through it.
struct SendPtr {
    double* ptr;
};

/// Column-wise copy of the input's texts. Numeric columns are written to the
/// output buffer while the cells are read, so only the texts are kept here.
struct ColumnStore {
    std::size_t n_rows = 0;
    std::size_t n_columns = 0;
    std::vector<std::uint8_t> is_text;
    std::vector<std::vector<std::string_view>> text_columns;
};

struct ColumnLabels {
    std::uint64_t column;
    LabelMap label_map;
    ReverseLabelMap reverse_map;
};

/// Label-encodes every text column of `store` on the worker pool, writing codes
/// into column c of the buffer. Returns one record per text column, ascending.
std::vector<ColumnLabels> encode_columns(const ColumnStore& store, SendPtr out);

/// Files the records of `encode_columns` into a new EncodingInfo.
EncodingInfo make_encoding_info(std::vector<ColumnLabels>&& labels);

}  // namespace tovrik::core
