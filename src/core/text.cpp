// Number text, UTF-8 validation and the text arena.
#include "core/text.hpp"

#include <oneapi/tbb/parallel_for.h>

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstring>

#include "core/pool.hpp"

namespace tovrik::core {

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

bool valid_utf8(std::string_view s) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const unsigned char* const end = p + s.size();
    auto continuation = [](unsigned char b) { return (b & 0xC0) == 0x80; };
    while (p != end) {
        // ASCII runs, sixteen bytes at a time.
        while (end - p >= 16) {
            std::uint64_t a, b;
            std::memcpy(&a, p, 8);
            std::memcpy(&b, p + 8, 8);
            if ((a | b) & 0x8080808080808080ULL) break;
            p += 16;
        }
        if (p == end) break;
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
        } else if (c < 0xC2) {  // a continuation byte, or the lead of an overlong pair
            return false;
        } else if (c < 0xE0) {
            if (end - p < 2 || !continuation(p[1])) return false;
            p += 2;
        } else if (c < 0xF0) {
            // No overlong forms (E0 80..9F) and no surrogates (ED A0..BF).
            const unsigned char lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
            if (end - p < 3 || p[1] < lo || p[1] > hi || !continuation(p[2])) return false;
            p += 3;
        } else {
            // F0 90.. to F4 8F..: no overlong forms, nothing past U+10FFFF.
            const unsigned char lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
            if (c > 0xF4 || end - p < 4 || p[1] < lo || p[1] > hi || !continuation(p[2]) || !continuation(p[3]))
                return false;
            p += 4;
        }
    }
    return true;
}

bool valid_utf8_parallel(std::string_view s) {
    constexpr std::size_t piece = std::size_t(1) << 18;
    if (s.size() <= 2 * piece) return valid_utf8(s);
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
    std::atomic<bool> ok{true};
    run_in_pool([&] {
        tbb::parallel_for(std::size_t(0), pieces, [&](std::size_t i) {
            if (ok.load(std::memory_order_relaxed) && !valid_utf8(s.substr(cut[i], cut[i + 1] - cut[i])))
                ok.store(false, std::memory_order_relaxed);
        });
    });
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
