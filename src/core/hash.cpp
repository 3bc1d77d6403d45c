// Per-table hash seeds: a per-process random key stepped by a counter.
#include "core/hash.hpp"

#include <atomic>
#include <random>

namespace tovrik::core {

namespace {
std::uint64_t process_key() {
    static const std::uint64_t key = [] {
        std::random_device rd;
        return (std::uint64_t(rd()) << 32) ^ rd() ^ 0x2545f4914f6cdd1dULL;
    }();
    return key;
}
std::atomic<std::uint64_t> g_counter{0};
}  // namespace

std::uint64_t next_seed() noexcept {
    std::uint64_t n = g_counter.fetch_add(1, std::memory_order_relaxed);
    return hash_u64(n, process_key());
}

}  // namespace tovrik::core
