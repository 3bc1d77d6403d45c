// libFuzzer target for the state codec (read_state / state_size / write_state).
//
// A small independent reader below parses the same bytes into ordered std::maps and
// serves as the oracle: read_state must agree with it on success, on the error
// message, and on the content of what it read. A record that was read must then
// be written at exactly state_size bytes and read back to equal content; when no
// map of the input repeated a key, the written length is the number of bytes the
// input's record took (the input minus its trailing bytes).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/state_codec.hpp"

using namespace tovrik::core;

namespace {

// Content of a record, independent of map entry order.
struct Content {
    bool present = false;
    std::vector<std::uint64_t> columns;
    std::map<std::uint64_t, std::map<std::string, std::optional<std::uint64_t>>> labels;
    std::map<std::uint64_t, std::map<std::uint64_t, std::string>> reverse;
    bool operator==(const Content&) const = default;
};

struct Oracle {
    bool ok = false;
    std::string error;
    Content content;
    std::size_t consumed = 0;
    bool repeated_key = false;
};

// ---- the oracle reader ----

struct Fail {
    std::string message;
};

// Length of the first bad UTF-8 sequence at s[i] (0 if the text ends inside it).
std::size_t bad_utf8_at(const std::string& s, std::size_t i, bool& incomplete) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
    const unsigned char c = b(0);
    int extra;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c < 0x80) return 0;
    else if (c >= 0xC2 && c <= 0xDF) extra = 1;
    else if (c == 0xE0) extra = 2, lo = 0xA0;
    else if (c == 0xED) extra = 2, hi = 0x9F;
    else if (c >= 0xE1 && c <= 0xEF) extra = 2;
    else if (c == 0xF0) extra = 3, lo = 0x90;
    else if (c == 0xF4) extra = 3, hi = 0x8F;
    else if (c >= 0xF1 && c <= 0xF3) extra = 3;
    else return 1;
    for (int k = 1; k <= extra; ++k) {
        if (i + k >= s.size()) return incomplete = true, 1;
        if (b(k) < lo || b(k) > hi) return std::size_t(k);
        lo = 0x80, hi = 0xBF;
    }
    return 0;
}

std::size_t utf8_width(unsigned char c) {
    return c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
}

class OracleReader {
public:
    OracleReader(const std::uint8_t* p, std::size_t n) : p_(p), n_(n) {}
    std::size_t pos() const { return at_; }

    std::uint64_t le(int width) {
        if (n_ - at_ < std::size_t(width)) throw Fail{"io error: unexpected end of file"};
        std::uint64_t v = 0;
        for (int i = width - 1; i >= 0; --i) v = (v << 8) | p_[at_ + i];
        at_ += width;
        return v;
    }
    bool tag() {
        const auto t = le(1);
        if (t > 1) throw Fail{"tag for enum is not valid, found " + std::to_string(t)};
        return t == 1;
    }
    std::string text() {
        const std::uint64_t len = le(8);
        if (len > n_ - at_) throw Fail{"io error: "};
        std::string s(reinterpret_cast<const char*>(p_ + at_), len);
        at_ += len;
        for (std::size_t i = 0; i < s.size();) {
            bool incomplete = false;
            if (std::size_t bad = bad_utf8_at(s, i, incomplete)) {
                const std::string at = std::to_string(i);
                throw Fail{"string is not valid utf8: " +
                           (incomplete ? "incomplete utf-8 byte sequence from index " + at
                                       : "invalid utf-8 sequence of " + std::to_string(bad) +
                                             " bytes from index " + at)};
            }
            i += utf8_width(static_cast<unsigned char>(s[i]));
        }
        return s;
    }

private:
    const std::uint8_t* p_;
    std::size_t n_, at_ = 0;
};

Oracle oracle_read(const std::uint8_t* data, std::size_t size) {
    Oracle o;
    OracleReader r(data, size);
    // Inserts with "a later equal key replaces the value" and notes the repeat.
    const auto put = [&](auto& map, auto key, auto value) {
        o.repeated_key |= map.count(key) != 0;
        map[key] = std::move(value);
    };
    try {
        Content& c = o.content;
        c.present = r.tag();
        if (c.present) {
            for (std::uint64_t n = r.le(8); n > 0; --n) c.columns.push_back(r.le(8));
            for (std::uint64_t n = r.le(8); n > 0; --n) {
                const std::uint64_t col = r.le(8);
                std::map<std::string, std::optional<std::uint64_t>> m;
                for (std::uint64_t k = r.le(8); k > 0; --k) {
                    std::string text = r.text();
                    std::optional<std::uint64_t> code;
                    if (r.tag()) code = r.le(8);
                    put(m, std::move(text), code);
                }
                put(c.labels, col, std::move(m));
            }
            for (std::uint64_t n = r.le(8); n > 0; --n) {
                const std::uint64_t col = r.le(8);
                std::map<std::uint64_t, std::string> m;
                for (std::uint64_t k = r.le(8); k > 0; --k) {
                    const std::uint64_t code = r.le(8);
                    put(m, code, r.text());
                }
                put(c.reverse, col, std::move(m));
            }
        }
        if (const auto v = r.le(4); v != 0)
            throw Fail{"invalid value: integer `" + std::to_string(v) +
                       "`, expected variant index 0 <= i < 1"};
        o.ok = true;
        o.consumed = r.pos();
    } catch (Fail& f) {
        o.error = std::move(f.message);
    }
    return o;
}

// ---- the codec's result, as content ----

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "state_codec_fuzzer: %s\n", what);
    std::abort();
}

#define CHECK(cond) \
    do {            \
        if (!(cond)) die(#cond); \
    } while (0)

// Every entry must be found again through the map's hash index, and the map
// must hold no key twice.
template <class Map, class Out>
void collect(const Map& map, Out& out) {
    for (const auto& [k, v] : map) {
        const auto found = map.find(k);
        if constexpr (std::is_pointer_v<decltype(found)>) {
            CHECK(found == &v);
        } else {  // a map that hands out views: the same bytes
            CHECK(found && std::string_view(*found).data() == std::string_view(v).data() &&
                  found->size() == v.size());
        }
        out.emplace(k, typename Out::mapped_type{});
    }
    CHECK(out.size() == map.size());
}

Content content_of(const EncodingInfo* info) {
    Content c;
    if (!info) return c;
    c.present = true;
    c.columns = info->encoded_columns;
    collect(info->label_maps, c.labels);
    for (const auto& [col, map] : info->label_maps) {
        auto& m = c.labels[col];
        collect(map, m);
        for (const auto& [text, code] : map) m[std::string(std::string_view(text))] = code;
    }
    collect(info->reverse_maps, c.reverse);
    for (const auto& [col, map] : info->reverse_maps) {
        auto& m = c.reverse[col];
        collect(map, m);
        for (const auto& [code, text] : map) m[code] = text;
    }
    return c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Oracle want = oracle_read(data, size);
    StateReadResult got = read_state(std::span<const std::uint8_t>(data, size));
    CHECK(got.ok == want.ok);
    if (!got.ok) {
        CHECK(got.error == want.error);
        CHECK(got.encoding_info == nullptr);
        return 0;
    }
    const Content content = content_of(got.encoding_info.get());
    CHECK(content == want.content);

    // Write it back: exact size, re-read to equal content.
    EncoderState state{std::move(got.encoding_info), StringEncoding::Label};
    const std::size_t n = state_size(state);
    std::vector<std::uint8_t> out(n);  // exact size: ASan catches any overrun
    write_state(state, out);
    const Oracle again = oracle_read(out.data(), out.size());
    CHECK(again.ok && again.consumed == n && !again.repeated_key);
    CHECK(again.content == content);
    StateReadResult reread = read_state(out);
    CHECK(reread.ok && content_of(reread.encoding_info.get()) == content);
    if (!want.repeated_key) CHECK(n == want.consumed);
    return 0;
}
