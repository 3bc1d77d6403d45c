// Pool sizing from the environment and the one task arena of the process.
#include "core/pool.hpp"

#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/task_arena.h>
#include <oneapi/tbb/task_group.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <utility>
#include <vector>
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

struct PoolTasks::Impl {
    tbb::task_group group;
    bool pending = false;
    std::exception_ptr error;  // a task's failure met while waiting before a fork
};

namespace {

// The pool, and the task groups that may have tasks running on it. Worker
// threads do not survive a fork: before one, the running tasks are finished
// and the workers joined, and the pool starts afresh on its next use, in the
// parent and in the child alike.
std::mutex g_lock;
std::unique_ptr<tbb::task_arena> g_arena;
std::unique_ptr<tbb::task_scheduler_handle> g_handle;
std::vector<PoolTasks::Impl*> g_pending;

void before_fork() {
    std::lock_guard<std::mutex> lock(g_lock);
    if (!g_arena || !g_arena->is_active()) return;
    for (PoolTasks::Impl* t : g_pending) {
        try {
            g_arena->execute([&] { t->group.wait(); });
        } catch (...) {
            t->error = std::current_exception();
        }
    }
    g_arena->terminate();
    // Fails (and leaves the workers be) while TBB is in use elsewhere in the process.
    if (g_handle) (void)tbb::finalize(*g_handle, std::nothrow);
    g_handle.reset();
}

tbb::task_arena& arena() {
    std::lock_guard<std::mutex> lock(g_lock);
    if (!g_arena) {
        const std::size_t n = pool_size_from_env();
        const int cap = n > 4096 ? 4096 : int(n);
        // One slot is kept for the calling thread, which joins the work when it waits.
        g_arena = std::make_unique<tbb::task_arena>(cap, 1);
        pthread_atfork(before_fork, nullptr, nullptr);
    }
    if (!g_arena->is_active()) {
        g_handle = std::make_unique<tbb::task_scheduler_handle>(tbb::attach{});
        g_arena->initialize();
    }
    return *g_arena;
}

void set_pending(PoolTasks::Impl* t, bool pending) {
    std::lock_guard<std::mutex> lock(g_lock);
    if (pending == t->pending) return;
    t->pending = pending;
    if (pending) g_pending.push_back(t);
    else g_pending.erase(std::find(g_pending.begin(), g_pending.end(), t));
}

}  // namespace

void run_in_pool(const std::function<void()>& fn) { arena().execute(fn); }

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
    tbb::task_arena& a = arena();
    set_pending(impl_.get(), true);
    a.execute([&] { impl_->group.run(std::move(fn)); });
}

void PoolTasks::wait() {
    arena().execute([&] { impl_->group.wait(); });
    set_pending(impl_.get(), false);
    if (impl_->error) std::rethrow_exception(std::exchange(impl_->error, nullptr));
}

}  // namespace tovrik::core
