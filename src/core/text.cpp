// Number text, UTF-8 validation and the text arena.
#include "core/text.hpp"

#include <oneapi/tbb/parallel_for.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstring>

#include "core/pool.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tovrik::core {

bool append_stamp_text(std::string& out, std::int64_t v, unsigned digits, bool utc) {
    std::int64_t per_second = 1;
    for (unsigned i = 0; i < digits; ++i) per_second *= 10;
    // Floor division: a value before the epoch counts back from its second.
    std::int64_t secs = v / per_second, part = v % per_second;
    if (part < 0) {
        part += per_second;
        secs -= 1;
    }
    const std::int64_t nanos = part * (1'000'000'000 / per_second);
    std::int64_t days = secs / 86'400, in_day = secs % 86'400;
    if (in_day < 0) {
        in_day += 86'400;
        days -= 1;
    }
    // The proleptic Gregorian date of a day count (eras of 400 years).
    const std::int64_t z = days + 719'468;
    const std::int64_t era = (z >= 0 ? z : z - 146'096) / 146'097;
    const std::int64_t doe = z - era * 146'097;
    const std::int64_t yoe = (doe - doe / 1'460 + doe / 36'524 - doe / 146'096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = yoe + era * 400 + (month <= 2);
    if (year < 1 || year > 9999) return false;
    char buf[40];
    char* p = buf;
    auto put = [&p](std::int64_t x, int width) {
        for (int i = width - 1; i >= 0; --i, x /= 10) p[i] = char('0' + x % 10);
        p += width;
    };
    put(year, 4);
    *p++ = '-';
    put(month, 2);
    *p++ = '-';
    put(day, 2);
    *p++ = ' ';
    put(in_day / 3'600, 2);
    *p++ = ':';
    put(in_day / 60 % 60, 2);
    *p++ = ':';
    put(in_day % 60, 2);
    if (nanos % 1'000 != 0) {
        *p++ = '.';
        put(nanos, 9);
    } else if (nanos != 0) {
        *p++ = '.';
        put(nanos / 1'000, 6);
    }
    if (utc) {
        std::memcpy(p, "+00:00", 6);
        p += 6;
    }
    out.append(buf, std::size_t(p - buf));
    return true;
}

void append_float_text(std::string& out, double v) {
    if (std::isnan(v)) {
        out += "NaN";
        return;
    }
    if (std::isinf(v)) {
        out += v < 0 ? "-inf" : "inf";
        return;
    }
    // Shortest round-trip digits come from the scientific form ("d.ddde+XX");
    // they are then written positionally, padded with zeros, never with an exponent.
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    std::string_view sci(buf, std::size_t(r.ptr - buf));
    if (sci.front() == '-') {
        out += '-';
        sci.remove_prefix(1);
    }
    const std::size_t e_at = sci.find('e');
    std::string digits;
    for (char ch : sci.substr(0, e_at))
        if (ch != '.') digits += ch;
    int exp = 0;
    std::from_chars(sci.data() + e_at + 1 + (sci[e_at + 1] == '+'), sci.data() + sci.size(), exp);
    // digits d0 d1 ... dn stand for d0.d1...dn x 10^exp.
    const long point = long(exp) + 1;  // digits before the decimal point
    if (point <= 0) {
        out += "0.";
        out.append(std::size_t(-point), '0');
        out += digits;
    } else if (std::size_t(point) >= digits.size()) {
        out += digits;
        out.append(std::size_t(point) - digits.size(), '0');
    } else {
        out.append(digits, 0, std::size_t(point));
        out += '.';
        out.append(digits, std::size_t(point));
    }
}

std::optional<Utf8Error> check_utf8(std::string_view s) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    std::size_t i = 0;
    while (i < n) {
        // ASCII run, eight bytes at a time.
        while (i + 8 <= n) {
            std::uint64_t w;
            std::memcpy(&w, p + i, 8);
            if (w & 0x8080808080808080ULL) break;
            i += 8;
        }
        if (i >= n) break;
        unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t need;
        unsigned char lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            need = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            need = 2;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            need = 3;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            return Utf8Error{i, 1};
        }
        // The second byte has a narrowed range; the rest are plain continuations.
        for (std::size_t k = 1; k <= need; ++k) {
            if (i + k >= n) return Utf8Error{i, std::nullopt};
            unsigned char b = p[i + k];
            unsigned char l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
            if (b < l || b > h) return Utf8Error{i, k};
        }
        i += need + 1;
    }
    return std::nullopt;
}

namespace {

#if defined(__x86_64__)
// Sixteen bytes at a time: each byte's error classes are looked up by the high
// and low nibble of the byte before it and the high nibble of its own (three
// table lookups), and must agree with whether the bytes two and three before
// it start a three- or four-byte character. Every rule of well-formed UTF-8
// (no overlong forms, no surrogates, nothing past U+10FFFF, continuation bytes
// exactly where a character needs them) is one bit of the classes.
struct Utf8Tables {
    __m128i byte_1_high, byte_1_low, byte_2_high, low_nibble, incomplete_at;
};
struct Utf8Blocks {
    __m128i error, prev, prev_incomplete;
};

__attribute__((target("ssse3"))) inline void utf8_block(__m128i in, const Utf8Tables& t, Utf8Blocks& b) noexcept {
    if (_mm_movemask_epi8(in) == 0) {  // ASCII: only an unfinished character before it is wrong
        b.error = _mm_or_si128(b.error, b.prev_incomplete);
    } else {
        const __m128i prev1 = _mm_alignr_epi8(in, b.prev, 15);
        const __m128i hi1 = _mm_and_si128(_mm_srli_epi16(prev1, 4), t.low_nibble);
        const __m128i lo1 = _mm_and_si128(prev1, t.low_nibble);
        const __m128i hi2 = _mm_and_si128(_mm_srli_epi16(in, 4), t.low_nibble);
        const __m128i special =
            _mm_and_si128(_mm_and_si128(_mm_shuffle_epi8(t.byte_1_high, hi1), _mm_shuffle_epi8(t.byte_1_low, lo1)),
                          _mm_shuffle_epi8(t.byte_2_high, hi2));
        const __m128i prev2 = _mm_alignr_epi8(in, b.prev, 14), prev3 = _mm_alignr_epi8(in, b.prev, 13);
        const __m128i third = _mm_subs_epu8(prev2, _mm_set1_epi8(char(0xE0 - 0x80)));
        const __m128i fourth = _mm_subs_epu8(prev3, _mm_set1_epi8(char(0xF0 - 0x80)));
        const __m128i must23 = _mm_and_si128(_mm_or_si128(third, fourth), _mm_set1_epi8(char(0x80)));
        b.error = _mm_or_si128(b.error, _mm_xor_si128(must23, special));
        b.prev_incomplete = _mm_subs_epu8(in, t.incomplete_at);
    }
    b.prev = in;
}

__attribute__((target("ssse3"))) bool valid_utf8_ssse3(std::string_view s, bool& ascii) noexcept {
    constexpr std::uint8_t too_short = 1 << 0;  // a lead or ASCII byte where a continuation belongs
    constexpr std::uint8_t too_long = 1 << 1;   // a continuation after an ASCII byte
    constexpr std::uint8_t overlong_3 = 1 << 2; // E0 80..9F
    constexpr std::uint8_t too_large = 1 << 3;  // F4 90..BF, F5..FF
    constexpr std::uint8_t surrogate = 1 << 4;  // ED A0..BF
    constexpr std::uint8_t overlong_2 = 1 << 5; // C0, C1
    constexpr std::uint8_t too_large_1000 = 1 << 6;
    constexpr std::uint8_t overlong_4 = 1 << 6; // F0 80..8F
    constexpr std::uint8_t two_conts = 1 << 7;  // a continuation after a continuation
    constexpr std::uint8_t carry = too_short | too_long | two_conts;
    auto table = [](std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d, std::uint8_t e, std::uint8_t f,
                    std::uint8_t g, std::uint8_t h, std::uint8_t i, std::uint8_t j, std::uint8_t k, std::uint8_t l,
                    std::uint8_t m, std::uint8_t n, std::uint8_t o, std::uint8_t p) {
        return _mm_setr_epi8(char(a), char(b), char(c), char(d), char(e), char(f), char(g), char(h), char(i),
                             char(j), char(k), char(l), char(m), char(n), char(o), char(p));
    };
    // By the high nibble of the byte before.
    const __m128i byte_1_high = table(
        too_long, too_long, too_long, too_long, too_long, too_long, too_long, too_long,
        two_conts, two_conts, two_conts, two_conts,
        too_short | overlong_2, too_short, too_short | overlong_3 | surrogate,
        too_short | too_large | too_large_1000 | overlong_4);
    // By the low nibble of the byte before.
    const __m128i byte_1_low = table(
        carry | overlong_3 | overlong_2 | overlong_4, carry | overlong_2, carry, carry, carry | too_large,
        carry | too_large | too_large_1000, carry | too_large | too_large_1000, carry | too_large | too_large_1000,
        carry | too_large | too_large_1000, carry | too_large | too_large_1000, carry | too_large | too_large_1000,
        carry | too_large | too_large_1000, carry | too_large | too_large_1000,
        carry | too_large | too_large_1000 | surrogate, carry | too_large | too_large_1000,
        carry | too_large | too_large_1000);
    // By the high nibble of the byte itself.
    const __m128i byte_2_high = table(
        too_short, too_short, too_short, too_short, too_short, too_short, too_short, too_short,
        too_long | overlong_2 | two_conts | overlong_3 | too_large_1000 | overlong_4,
        too_long | overlong_2 | two_conts | overlong_3 | too_large,
        too_long | overlong_2 | two_conts | surrogate | too_large,
        too_long | overlong_2 | two_conts | surrogate | too_large, too_short, too_short, too_short, too_short);
    const __m128i low_nibble = _mm_set1_epi8(0x0F);
    // A block whose last bytes start a character that goes on past it.
    const __m128i incomplete_at = table(255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,
                                        0xF0 - 1, 0xE0 - 1, 0xC0 - 1);
    const Utf8Tables t{byte_1_high, byte_1_low, byte_2_high, low_nibble, incomplete_at};
    Utf8Blocks b{_mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128()};
    const char* p = s.data();
    std::size_t n = s.size();
    __m128i high = _mm_setzero_si128();  // any byte past ASCII
    for (; n >= 16; p += 16, n -= 16) {
        const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        high = _mm_or_si128(high, in);
        utf8_block(in, t, b);
        if ((n & 0xFFF) < 16 && _mm_movemask_epi8(_mm_cmpeq_epi8(b.error, _mm_setzero_si128())) != 0xFFFF)
            return false;
    }
    if (n != 0) {
        alignas(16) char tail[16] = {};  // zeros: ASCII, so an unfinished character before them is wrong
        std::memcpy(tail, p, n);
        const __m128i in = _mm_load_si128(reinterpret_cast<const __m128i*>(tail));
        high = _mm_or_si128(high, in);
        utf8_block(in, t, b);
    }
    ascii = _mm_movemask_epi8(high) == 0;
    b.error = _mm_or_si128(b.error, b.prev_incomplete);
    return _mm_movemask_epi8(_mm_cmpeq_epi8(b.error, _mm_setzero_si128())) == 0xFFFF;
}

bool has_ssse3() noexcept {
    static const bool yes = __builtin_cpu_supports("ssse3");
    return yes;
}
#endif

}  // namespace

bool valid_utf8(std::string_view s, bool* ascii) noexcept {
#if defined(__x86_64__)
    if (s.size() >= 16 && has_ssse3()) {
        bool all_ascii;
        const bool ok = valid_utf8_ssse3(s, all_ascii);
        if (ascii != nullptr) *ascii = ok && all_ascii;
        return ok;
    }
#endif
    // Short texts, and processors without SSSE3: the check that says where.
    const bool ok = !check_utf8(s).has_value();
    if (ascii != nullptr)
        *ascii = ok && std::all_of(s.begin(), s.end(), [](char ch) { return (static_cast<unsigned char>(ch) & 0x80) == 0; });
    return ok;
}

bool valid_utf8_parallel(std::string_view s, bool* ascii) {
    constexpr std::size_t piece = std::size_t(1) << 18;
    if (s.size() <= 2 * piece) return valid_utf8(s, ascii);
    // Pieces are cut just before a byte that starts a character: each piece is
    // then valid exactly when its part of the whole is. (No such byte among
    // the four after a cut: four continuation bytes in a row, never valid.)
    const std::size_t pieces = (s.size() + piece - 1) / piece;
    std::vector<std::size_t> cut(pieces + 1, s.size());
    cut[0] = 0;
    for (std::size_t i = 1; i < pieces; ++i) {
        std::size_t at = i * piece;
        const std::size_t stop = at + 4;
        while (at < stop && at < s.size() && (static_cast<unsigned char>(s[at]) & 0xC0) == 0x80) ++at;
        if (at == stop) return false;
        cut[i] = at;
    }
    std::atomic<bool> ok{true}, all_ascii{true};
    run_in_pool([&] {
        tbb::parallel_for(std::size_t(0), pieces, [&](std::size_t i) {
            bool piece_ascii = false;
            if (ok.load(std::memory_order_relaxed) && !valid_utf8(s.substr(cut[i], cut[i + 1] - cut[i]), &piece_ascii))
                ok.store(false, std::memory_order_relaxed);
            if (!piece_ascii) all_ascii.store(false, std::memory_order_relaxed);
        });
    });
    if (ascii != nullptr) *ascii = ok.load() && all_ascii.load();
    return ok.load();
}

std::string_view TextArena::add(std::string_view s) {
    if (s.empty()) return {};
    if (s.size() > k_chunk / 4) {
        chunks_.emplace_back(new char[s.size()]);
        std::memcpy(chunks_.back().get(), s.data(), s.size());
        return {chunks_.back().get(), s.size()};
    }
    if (s.size() > left_) {
        chunks_.emplace_back(new char[k_chunk]);
        cur_ = chunks_.back().get();
        left_ = k_chunk;
    }
    char* at = cur_;
    std::memcpy(at, s.data(), s.size());
    cur_ += s.size();
    left_ -= s.size();
    return {at, s.size()};
}

}  // namespace tovrik::core
