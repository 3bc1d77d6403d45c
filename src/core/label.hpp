// Label assignment for one text column: dense codes in ascending byte order.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "core/state.hpp"

namespace tovrik::core {

/// Where the codes of one column go: element r lands at data[r * stride].
struct StridedOut {
    double* data;
    std::size_t stride;
};

struct ColumnCodes {
    LabelMap label_map;
    ReverseLabelMap reverse_map;
};

/// A column of texts laid out back to back, as in Arrow's utf8 and large_utf8
/// arrays: text i is data[offsets[i] .. offsets[i + 1]). The offsets are
/// non-negative and non-decreasing, and data holds at least offsets[size].
struct PackedTexts {
    const char* data;
    const void* offsets;  // size + 1 of them: std::int64_t when wide, else std::int32_t
    bool wide;
    std::size_t size;
};

/// Numbers the distinct texts of a column 0..k-1 in ascending byte order, leaving
/// "nan", "NaN" and "<NA>" without a code, and writes each row's code (NaN for
/// no code) to `out`. Must run inside the worker pool; touches no Python object.
ColumnCodes label_encode(std::span<const std::string_view> column, StridedOut out);
ColumnCodes label_encode(const PackedTexts& column, StridedOut out);
/// The same, taking the views over: they are let go (and `column` left
/// empty) once the column's distinct texts are copied out of them, before
/// those are sorted.
ColumnCodes label_encode(std::vector<std::string_view>&& column, StridedOut out);

/// The same result by sorting every row's text: slower, kept as the reference
/// that label_encode is checked against.
ColumnCodes label_encode_by_sort(std::span<const std::string_view> column, StridedOut out);

}  // namespace tovrik::core
