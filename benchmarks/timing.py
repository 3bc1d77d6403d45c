"""Timing helper shared by the benchmarks."""

import time


def best_of_interleaved(fns, repeat):
    """Best wall time of each function; runs are interleaved so all see the same machine state."""
    best = [float("inf")] * len(fns)
    for _ in range(repeat):
        for i, fn in enumerate(fns):
            t = time.perf_counter()
            out = fn()
            best[i] = min(best[i], time.perf_counter() - t)
            del out
    return best
