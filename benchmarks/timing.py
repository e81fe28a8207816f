"""Timing shared by the benchmark scripts."""

import time


def best_of(runs, fn):
    """The shortest wall time of `runs` calls of fn(), s."""
    times = []
    for _ in range(runs):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)
