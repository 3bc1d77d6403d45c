#include "python/arrow_stream.hpp"

#include <cstring>
#include <utility>

#include "core/text.hpp"
#include "python/errors.hpp"

namespace tovrik::py::arrow {

namespace {

struct SchemaOwner {
    ArrowSchema s{};
    ~SchemaOwner() {
        if (s.release != nullptr) s.release(&s);
    }
};

}  // namespace

std::optional<std::string_view> TextChunk::checked_bytes() const noexcept {
    if (array_.length == 0) return std::string_view{};
    const std::size_t begin = std::size_t(array_.offset), end = begin + size();
    auto span = [&](const auto* off) -> std::optional<std::pair<std::int64_t, std::int64_t>> {
        if (off[begin] < 0) return std::nullopt;
        for (std::size_t i = begin; i < end; ++i)
            if (off[i + 1] < off[i]) return std::nullopt;
        return std::pair<std::int64_t, std::int64_t>{off[begin], off[end]};
    };
    const auto s = large_ ? span(static_cast<const std::int64_t*>(array_.buffers[1]))
                          : span(static_cast<const std::int32_t*>(array_.buffers[1]));
    if (!s) return std::nullopt;
    const char* data = static_cast<const char*>(array_.buffers[2]);
    if (data == nullptr) {
        if (s->first != s->second) return std::nullopt;
        return std::string_view{};
    }
    return std::string_view{data + s->first, std::size_t(s->second - s->first)};
}

bool TextChunk::texts_start_at_characters() const noexcept {
    const char* data = static_cast<const char*>(array_.buffers[2]);
    const std::size_t n = size();
    if (data == nullptr || n == 0) return true;
    const std::int64_t end = offset(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t at = offset(i);
        if (at < end && (static_cast<unsigned char>(data[at]) & 0xC0) == 0x80) return false;
    }
    return true;
}

std::optional<std::vector<TextChunk>> read_text_chunks(PyObject* source, std::size_t rows) {
    Ref capsule = Ref::steal(PyObject_CallMethod(source, "__arrow_c_stream__", nullptr));
    if (!capsule) {
        // Not an Arrow stream after all (an older pyarrow): take the other road.
        if (!PyErr_ExceptionMatches(PyExc_AttributeError) && !PyErr_ExceptionMatches(PyExc_TypeError))
            throw PyError();
        PyErr_Clear();
        return std::nullopt;
    }
    auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule.get(), "arrow_array_stream"));
    if (stream == nullptr) throw PyError();
    if (stream->release == nullptr) return std::nullopt;

    SchemaOwner schema;
    if (stream->get_schema(stream, &schema.s) != 0 || schema.s.format == nullptr) return std::nullopt;
    const std::string_view format(schema.s.format);
    if ((format != "u" && format != "U") || schema.s.dictionary != nullptr || schema.s.n_children != 0)
        return std::nullopt;
    const bool large = format == "U";

    std::vector<TextChunk> chunks;
    std::size_t total = 0;
    for (;;) {
        ArrowArray a{};
        if (stream->get_next(stream, &a) != 0) return std::nullopt;
        if (a.release == nullptr) break;  // end of stream
        TextChunk chunk(a, large);
        if (a.length < 0 || a.offset < 0 || a.n_buffers != 3 || a.n_children != 0 || a.dictionary != nullptr)
            return std::nullopt;
        if (a.length != 0 && (a.buffers == nullptr || a.buffers[1] == nullptr)) return std::nullopt;
        total += std::size_t(a.length);
        if (total > rows) return std::nullopt;
        // Text that is not UTF-8 is left to the other road, which decides what
        // such bytes become.
        const auto bytes = chunk.checked_bytes();
        // Valid bytes as a whole are valid texts when no text starts inside a
        // character (which ASCII bytes cannot hold).
        bool ascii = false;
        if (!bytes || !core::valid_utf8_parallel(*bytes, &ascii) || (!ascii && !chunk.texts_start_at_characters()))
            return std::nullopt;
        chunks.push_back(std::move(chunk));
    }
    if (total != rows) return std::nullopt;
    return chunks;
}

}  // namespace tovrik::py::arrow
