// Writer and reader of the state record's byte form.
#include "core/state_codec.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>

#include "core/text.hpp"

namespace tovrik::core {

namespace {

// ---- writer ----

class Writer {
public:
    explicit Writer(std::uint8_t* p) : p_(p) {}
    void u8(std::uint8_t v) { *p_++ = v; }
    void u32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) *p_++ = std::uint8_t(v >> (8 * i));
    }
    void u64(std::uint64_t v) {
        for (int i = 0; i < 8; ++i) *p_++ = std::uint8_t(v >> (8 * i));
    }
    void text(std::string_view s) {
        u64(s.size());
        if (!s.empty()) std::memcpy(p_, s.data(), s.size());
        p_ += s.size();
    }

private:
    std::uint8_t* p_;
};

std::size_t info_size(const EncodingInfo& info) {
    std::size_t n = 8 + 8 * info.encoded_columns.size();
    n += 8;
    for (const auto& [col, map] : info.label_maps) {
        n += 16;
        for (const auto& [text, code] : map) n += 8 + text.size() + 1 + (code ? 8 : 0);
    }
    n += 8;
    for (const auto& [col, map] : info.reverse_maps) {
        n += 16;
        for (const auto& [code, text] : map) n += 16 + text.size();
    }
    return n;
}

// ---- reader ----

struct ReadError {
    std::string message;
};

// Room reserved ahead of reading, so that a huge declared count fails on the
// missing bytes rather than on memory.
constexpr std::size_t k_reserve_bytes = 1 << 20;

class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> b) : p_(b.data()), left_(b.size()) {}

    std::uint8_t u8() { return *take(1); }
    std::uint32_t u32() {
        const std::uint8_t* q = take(4);
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= std::uint32_t(q[i]) << (8 * i);
        return v;
    }
    std::uint64_t u64() {
        const std::uint8_t* q = take(8);
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v |= std::uint64_t(q[i]) << (8 * i);
        return v;
    }
    /// The next text, viewing the input bytes.
    std::string_view text() {
        const std::uint64_t len = u64();
        if (len > left_) throw ReadError{"io error: "};
        std::string_view s(reinterpret_cast<const char*>(p_), len);
        if (auto e = check_utf8(s)) {
            std::string m = "string is not valid utf8: ";
            if (e->error_len)
                m += "invalid utf-8 sequence of " + std::to_string(*e->error_len) +
                     " bytes from index " + std::to_string(e->valid_up_to);
            else
                m += "incomplete utf-8 byte sequence from index " + std::to_string(e->valid_up_to);
            throw ReadError{std::move(m)};
        }
        p_ += len;
        left_ -= len;
        return s;
    }
    bool option_tag() {
        const std::uint8_t t = u8();
        if (t > 1) throw ReadError{"tag for enum is not valid, found " + std::to_string(t)};
        return t == 1;
    }

private:
    const std::uint8_t* take(std::size_t n) {
        if (left_ < n) throw ReadError{"io error: unexpected end of file"};
        const std::uint8_t* q = p_;
        p_ += n;
        left_ -= n;
        return q;
    }
    const std::uint8_t* p_;
    std::size_t left_;
};

template <class Entry>
std::size_t bounded_reserve(std::uint64_t count) {
    return std::size_t(std::min<std::uint64_t>(count, k_reserve_bytes / sizeof(Entry)));
}

LabelMap read_label_map(Reader& r) {
    const std::uint64_t n = r.u64();
    LabelMap m;
    m.reserve(bounded_reserve<LabelMap::Entry>(n));
    for (std::uint64_t i = 0; i < n; ++i) {
        const std::string_view text = r.text();
        std::optional<std::uint64_t> code;
        if (r.option_tag()) code = r.u64();
        m.insert_or_assign(text, code);
    }
    return m;
}

// The texts of a column's reverse map are those of its label map in any state
// the engine writes: the two maps then share the label map's copy of each.
ReverseLabelMap read_reverse_map(Reader& r, const LabelMap* labels) {
    const std::uint64_t n = r.u64();
    std::shared_ptr<TextStore> texts = labels != nullptr ? labels->texts() : std::make_shared<TextStore>();
    std::vector<ReverseLabelMap::Entry> entries;
    entries.reserve(bounded_reserve<ReverseLabelMap::Entry>(n));
    FlatMap<std::uint64_t, std::size_t, U64Key> at;  // code -> its entry, for a code given twice
    for (std::uint64_t i = 0; i < n; ++i) {
        const std::uint64_t code = r.u64();
        const std::string_view text = r.text();
        const std::size_t j = labels != nullptr ? labels->find_index(text) : LabelMap::npos;
        const StoredText stored = j != LabelMap::npos ? labels->entry(j).first : texts->add(text);
        // As insert_or_assign: a repeated code keeps its place and takes the later text.
        if (const std::size_t* k = at.find(code)) {
            entries[*k].second = stored;
        } else {
            at.insert_or_assign(code, entries.size());
            entries.emplace_back(code, stored);
        }
    }
    ReverseLabelMap m;
    m.assign_distinct(std::move(entries), std::move(texts));
    return m;
}

template <class Map, class ReadValue>
void read_by_column(Reader& r, Map& out, ReadValue read_value) {
    const std::uint64_t n = r.u64();
    out.reserve(bounded_reserve<std::pair<std::uint64_t, LabelMap>>(n));
    for (std::uint64_t i = 0; i < n; ++i) {
        const std::uint64_t col = r.u64();
        out.insert_or_assign(col, read_value(r, col));
    }
}

std::unique_ptr<EncodingInfo> read_info(Reader& r) {
    auto info = std::make_unique<EncodingInfo>();
    const std::uint64_t n = r.u64();
    info->encoded_columns.reserve(bounded_reserve<std::uint64_t>(n));
    for (std::uint64_t i = 0; i < n; ++i) info->encoded_columns.push_back(r.u64());
    read_by_column(r, info->label_maps, [](Reader& rd, std::uint64_t) { return read_label_map(rd); });
    read_by_column(r, info->reverse_maps, [&](Reader& rd, std::uint64_t col) {
        return read_reverse_map(rd, info->label_maps.find(col));
    });
    return info;
}

}  // namespace

std::size_t state_size(const EncoderState& state) noexcept {
    return 1 + 4 + (state.encoding_info ? info_size(*state.encoding_info) : 0);
}

void write_state(const EncoderState& state, std::span<std::uint8_t> out) noexcept {
    Writer w(out.data());
    if (!state.encoding_info) {
        w.u8(0);
    } else {
        const EncodingInfo& info = *state.encoding_info;
        w.u8(1);
        w.u64(info.encoded_columns.size());
        for (std::uint64_t c : info.encoded_columns) w.u64(c);
        w.u64(info.label_maps.size());
        for (const auto& [col, map] : info.label_maps) {
            w.u64(col);
            w.u64(map.size());
            for (const auto& [text, code] : map) {
                w.text(text);
                if (code) {
                    w.u8(1);
                    w.u64(*code);
                } else {
                    w.u8(0);
                }
            }
        }
        w.u64(info.reverse_maps.size());
        for (const auto& [col, map] : info.reverse_maps) {
            w.u64(col);
            w.u64(map.size());
            for (const auto& [code, text] : map) {
                w.u64(code);
                w.text(text);
            }
        }
    }
    w.u32(static_cast<std::uint32_t>(state.encoding));
}

StateReadResult read_state(std::span<const std::uint8_t> bytes) {
    StateReadResult res;
    try {
        Reader r(bytes);
        std::unique_ptr<EncodingInfo> info;
        if (r.option_tag()) info = read_info(r);
        const std::uint32_t variant = r.u32();
        if (variant != 0)
            throw ReadError{"invalid value: integer `" + std::to_string(variant) +
                            "`, expected variant index 0 <= i < 1"};
        res.ok = true;
        res.encoding_info = std::move(info);
    } catch (ReadError& e) {
        res.error = std::move(e.message);
    }
    return res;
}

}  // namespace tovrik::core
