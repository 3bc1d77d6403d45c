// The process-wide worker pool.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

namespace tovrik::core {

/// Number of workers the pool is sized for: RAYON_NUM_THREADS when it holds a
/// decimal integer (0 selects the processor count), else RAYON_RS_NUM_CPUS when
/// it holds a positive one, else the processors available to the process.
std::size_t pool_size_from_env();

/// Runs `fn` inside the pool (created on first use, sized once) and waits for it
/// and every task it spawned. The calling thread takes part in the work.
void run_in_pool(const std::function<void()>& fn);

/// Tasks started on the pool while the caller goes on with other work.
class PoolTasks {
public:
    PoolTasks();
    /// Waits for every task; a task's exception is dropped here.
    ~PoolTasks();
    PoolTasks(const PoolTasks&) = delete;
    PoolTasks& operator=(const PoolTasks&) = delete;

    void run(std::function<void()> fn);
    /// Waits for every task, taking part in the work; rethrows a task's exception.
    void wait();

    struct Impl;  // defined where the pool is

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace tovrik::core
