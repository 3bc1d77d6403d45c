// Text helpers shared by the intake and the state codec: number text, UTF-8 checks, an arena.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tovrik::core {

/// Appends the text of a float: NaN, inf, -inf, or the shortest round-trip digits
/// written positionally (no exponent), with a minus sign for negative values and -0.
void append_float_text(std::string& out, double v);

/// Where a byte string stops being valid UTF-8.
struct Utf8Error {
    std::size_t valid_up_to;
    std::optional<std::size_t> error_len;  // none: the text ends inside a sequence
};

/// Checks UTF-8; on failure reports the first bad sequence.
std::optional<Utf8Error> check_utf8(std::string_view s) noexcept;

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

/// True for "nan", "NaN" and "<NA>", the texts that receive no code.
inline bool is_missing_text(std::string_view s) noexcept {
    return s == "nan" || s == "NaN" || s == "<NA>";
}

}  // namespace tovrik::core
