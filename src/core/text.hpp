// Text helpers shared by the intake and the state codec: number text, UTF-8 checks, an arena.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tovrik::core {

/// Appends the text of a float: NaN, inf, -inf, or the shortest round-trip digits
/// written positionally (no exponent), with a minus sign for negative values and -0.
void append_float_text(std::string& out, double v);

/// Appends the text a pandas Timestamp prints as (str()) for a datetime64
/// value `v` counted in units of 10^-digits seconds (digits 0, 3, 6 or 9)
/// from the epoch: "YYYY-MM-DD HH:MM:SS", then ".ffffff" when it has
/// microseconds, ".fffffffff" when it has nanoseconds, and "+00:00" with
/// `utc`. False, and nothing appended, for a year outside 1 .. 9999.
bool append_stamp_text(std::string& out, std::int64_t v, unsigned digits, bool utc);

/// Where a byte string stops being valid UTF-8.
struct Utf8Error {
    std::size_t valid_up_to;
    std::optional<std::size_t> error_len;  // none: the text ends inside a sequence
};

/// Checks UTF-8; on failure reports the first bad sequence.
std::optional<Utf8Error> check_utf8(std::string_view s) noexcept;

/// Whether a byte string is valid UTF-8 (what check_utf8 finds no error in),
/// without saying where it is not: sixteen bytes at a time where the processor
/// can, else as check_utf8. With `ascii`, also whether every byte is ASCII.
bool valid_utf8(std::string_view s, bool* ascii = nullptr) noexcept;

/// valid_utf8() of a long byte string, its pieces checked on the pool.
bool valid_utf8_parallel(std::string_view s, bool* ascii = nullptr);

/// Stable storage for texts made during one intake; views into it stay valid
/// until the arena is destroyed.
class TextArena {
public:
    std::string_view add(std::string_view s);

private:
    static constexpr std::size_t k_chunk = 1 << 16;
    std::vector<std::unique_ptr<char[]>> chunks_;
    char* cur_ = nullptr;
    std::size_t left_ = 0;
};

// Equality of two texts of the same length. Inline word compares: most texts
// are short, and a libc call per row costs more than the compare itself.
/// Equality of two texts of the same length, `a` holding b.size() bytes.
inline bool same_text(const char* a, std::string_view b) {
    const char* p = b.data();
    const std::size_t n = b.size();
    auto w64 = [](const char* x) {
        std::uint64_t v;
        std::memcpy(&v, x, 8);
        return v;
    };
    auto w32 = [](const char* x) {
        std::uint32_t v;
        std::memcpy(&v, x, 4);
        return v;
    };
    if (n >= 8) {
        for (std::size_t i = 0; i + 8 < n; i += 8)
            if (w64(a + i) != w64(p + i)) return false;
        return w64(a + n - 8) == w64(p + n - 8);  // the last word, overlapping the one before
    }
    if (n >= 4) return w32(a) == w32(p) && w32(a + n - 4) == w32(p + n - 4);
    // 0 to 3 bytes: positions 0, n/2 and n-1 cover them all.
    return n == 0 || (a[0] == p[0] && a[n >> 1] == p[n >> 1] && a[n - 1] == p[n - 1]);
}

/// True for "nan", "NaN" and "<NA>", the texts that receive no code.
inline bool is_missing_text(std::string_view s) noexcept {
    return s == "nan" || s == "NaN" || s == "<NA>";
}

}  // namespace tovrik::core
