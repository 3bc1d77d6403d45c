// Seeded 64-bit hashing for the engine's hash tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace tovrik::core {

namespace detail {
inline std::uint64_t load64(const unsigned char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}
inline std::uint64_t load32(const unsigned char* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
// 64x64 -> 128 multiply folded back to 64 bits.
inline std::uint64_t fold_mul(std::uint64_t a, std::uint64_t b) {
    unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
    return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
}
inline constexpr std::uint64_t k_m0 = 0xa0761d6478bd642fULL;
inline constexpr std::uint64_t k_m1 = 0xe7037ed1a0b428dbULL;
inline constexpr std::uint64_t k_m2 = 0x8ebc6af09c88c6e3ULL;
}  // namespace detail

/// Hash of a byte string under a seed.
inline std::uint64_t hash_bytes(std::string_view s, std::uint64_t seed) {
    using namespace detail;
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    std::size_t n = s.size();
    std::uint64_t a, b;
    std::uint64_t h = seed ^ k_m0;
    if (n <= 16) {
        if (n >= 4) {
            a = (load32(p) << 32) | load32(p + ((n >> 3) << 2));
            b = (load32(p + n - 4) << 32) | load32(p + n - 4 - ((n >> 3) << 2));
        } else if (n > 0) {
            a = (std::uint64_t(p[0]) << 16) | (std::uint64_t(p[n >> 1]) << 8) | p[n - 1];
            b = 0;
        } else {
            a = b = 0;
        }
    } else {
        std::size_t i = n;
        while (i > 16) {
            h = fold_mul(load64(p) ^ k_m1, load64(p + 8) ^ h);
            p += 16;
            i -= 16;
        }
        a = load64(p + i - 16);
        b = load64(p + i - 8);
    }
    return fold_mul(k_m1 ^ n, fold_mul(a ^ k_m1, b ^ h) ^ k_m2);
}

/// Hash of an integer key under a seed.
inline std::uint64_t hash_u64(std::uint64_t v, std::uint64_t seed) {
    using namespace detail;
    return fold_mul(v ^ seed ^ k_m0, k_m1) ^ seed;
}

/// A fresh seed for one hash table: random per process, different per call.
std::uint64_t next_seed() noexcept;

}  // namespace tovrik::core
