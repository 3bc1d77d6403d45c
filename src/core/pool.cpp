// Pool sizing from the environment and the one task arena of the process.
#include "core/pool.hpp"

#include <oneapi/tbb/task_arena.h>
#include <oneapi/tbb/task_group.h>
#include <sched.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

namespace tovrik::core {

namespace {

// A decimal integer, optionally with a leading '+'; anything else is ignored.
std::optional<std::size_t> parse_count(const char* s) {
    if (s == nullptr) return std::nullopt;
    std::string_view v(s);
    if (!v.empty() && v.front() == '+') v.remove_prefix(1);
    if (v.empty()) return std::nullopt;
    std::size_t n = 0;
    for (char ch : v) {
        if (ch < '0' || ch > '9') return std::nullopt;
        if (n > (SIZE_MAX - 9) / 10) return std::nullopt;
        n = n * 10 + std::size_t(ch - '0');
    }
    return n;
}

std::size_t processors() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        int n = CPU_COUNT(&set);
        if (n > 0) return std::size_t(n);
    }
    return 1;
}

}  // namespace

std::size_t pool_size_from_env() {
    if (auto n = parse_count(std::getenv("RAYON_NUM_THREADS"))) return *n > 0 ? *n : processors();
    if (auto n = parse_count(std::getenv("RAYON_RS_NUM_CPUS")); n && *n > 0) return *n;
    return processors();
}

namespace {

tbb::task_arena& arena() {
    static std::once_flag once;
    static std::unique_ptr<tbb::task_arena> a;
    std::call_once(once, [] {
        const std::size_t n = pool_size_from_env();
        const int cap = n > 4096 ? 4096 : int(n);
        // One slot is kept for the calling thread, which joins the work when it waits.
        a = std::make_unique<tbb::task_arena>(cap, 1);
    });
    return *a;
}

}  // namespace

void run_in_pool(const std::function<void()>& fn) { arena().execute(fn); }

struct PoolTasks::Impl {
    tbb::task_group group;
    bool pending = false;
};

PoolTasks::PoolTasks() : impl_(std::make_unique<Impl>()) {}

PoolTasks::~PoolTasks() {
    if (!impl_->pending) return;
    try {
        wait();
    } catch (...) {
        // the caller is already leaving with an error of its own
    }
}

void PoolTasks::run(std::function<void()> fn) {
    arena().execute([&] { impl_->group.run(std::move(fn)); });
    impl_->pending = true;
}

void PoolTasks::wait() {
    impl_->pending = false;
    arena().execute([&] { impl_->group.wait(); });
}

}  // namespace tovrik::core
