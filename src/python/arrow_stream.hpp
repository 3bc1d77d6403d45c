// Text columns held in Arrow memory, read through the Arrow C stream interface
// (`__arrow_c_stream__`) without making a Python object per cell.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "core/label.hpp"
#include "python/ref.hpp"

namespace tovrik::py::arrow {

// The ABI-stable structs of the Arrow C data and C stream interfaces.
struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    std::int64_t flags;
    std::int64_t n_children;
    ArrowSchema** children;
    ArrowSchema* dictionary;
    void (*release)(ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    std::int64_t length;
    std::int64_t null_count;
    std::int64_t offset;
    std::int64_t n_buffers;
    std::int64_t n_children;
    const void** buffers;
    ArrowArray** children;
    ArrowArray* dictionary;
    void (*release)(ArrowArray*);
    void* private_data;
};

struct ArrowArrayStream {
    int (*get_schema)(ArrowArrayStream*, ArrowSchema* out);
    int (*get_next)(ArrowArrayStream*, ArrowArray* out);
    const char* (*get_last_error)(ArrowArrayStream*);
    void (*release)(ArrowArrayStream*);
    void* private_data;
};

/// One chunk of a utf8 or large_utf8 array, owned until destroyed.
class TextChunk {
public:
    TextChunk(ArrowArray moved, bool large) noexcept : array_(moved), large_(large) {}
    TextChunk(TextChunk&& o) noexcept : array_(o.array_), large_(o.large_) { o.array_.release = nullptr; }
    TextChunk(const TextChunk&) = delete;
    TextChunk& operator=(const TextChunk&) = delete;
    TextChunk& operator=(TextChunk&&) = delete;
    ~TextChunk() {
        if (array_.release != nullptr) array_.release(&array_);
    }

    std::size_t size() const noexcept { return std::size_t(array_.length); }
    bool is_null(std::size_t i) const noexcept {
        const auto* bits = static_cast<const std::uint8_t*>(array_.buffers[0]);
        if (!has_nulls()) return false;
        const std::size_t at = std::size_t(array_.offset) + i;
        return ((bits[at >> 3] >> (at & 7)) & 1) == 0;
    }
    std::string_view text(std::size_t i) const noexcept {
        const std::int64_t b = offset(i), e = offset(i + 1);
        const char* data = static_cast<const char*>(array_.buffers[2]);
        if (data == nullptr) return {};  // only when every text is empty (checked on intake)
        return {data + b, std::size_t(e - b)};
    }
    /// Where text i starts in the data buffer (i == size(): where the last ends).
    std::int64_t offset(std::size_t i) const noexcept {
        const std::size_t at = std::size_t(array_.offset) + i;
        if (large_) return static_cast<const std::int64_t*>(array_.buffers[1])[at];
        return static_cast<const std::int32_t*>(array_.buffers[1])[at];
    }
    /// The data buffer (null when every text is empty).
    const char* data() const noexcept { return static_cast<const char*>(array_.buffers[2]); }
    /// The texts in place, for a chunk without nulls.
    core::PackedTexts packed() const noexcept {
        const auto at = std::size_t(array_.offset);
        const void* offsets = large_ ? static_cast<const void*>(static_cast<const std::int64_t*>(array_.buffers[1]) + at)
                                     : static_cast<const void*>(static_cast<const std::int32_t*>(array_.buffers[1]) + at);
        return {static_cast<const char*>(array_.buffers[2]), offsets, large_, size()};
    }
    bool has_nulls() const noexcept { return array_.null_count != 0 && array_.buffers[0] != nullptr; }
    /// Checks the offsets (non-negative, non-decreasing, pointing into a data
    /// buffer) and returns every byte the texts span, from the first offset to
    /// the last; nothing when the offsets are not sane.
    std::optional<std::string_view> checked_bytes() const noexcept;
    /// Whether every text starts at a character of the data (not within
    /// one): valid UTF-8 bytes as a whole are then valid text by text. Call
    /// after checked_bytes() said the offsets are in order.
    bool texts_start_at_characters() const noexcept;

private:
    ArrowArray array_;
    bool large_;
};

/// The chunks of an Arrow-backed text column, taken from `source` (an object
/// with `__arrow_c_stream__`, such as a pyarrow ChunkedArray). Nothing (and no
/// error pending) when the stream does not hold plain utf8 or large_utf8 text
/// in valid UTF-8 with `rows` cells in all; the caller then takes another road.
std::optional<std::vector<TextChunk>> read_text_chunks(PyObject* source, std::size_t rows);

}  // namespace tovrik::py::arrow
