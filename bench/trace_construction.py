"""Per-call cost of building traces: prints figures, asserts nothing.

    ./dev run python3.13 bench/trace_construction.py
"""
import statistics
import time

import numpy as np

from vondrel.segy import SEGYTrace


def per_call(fn, n, repeat=5):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn(n)
        times.append(time.perf_counter() - start)
    return statistics.median(times) / n


def main():
    n = 200_000
    rows = np.random.default_rng(0).standard_normal((n, 16)).astype(np.float32)
    listed = [list(map(float, r)) for r in rows[:20_000]]

    def from_rows(k):
        for r in rows[:k]:
            SEGYTrace(r, 4000)

    def from_rows_with_keywords(k):
        for i, r in enumerate(rows[:k]):
            SEGYTrace(r, 4000, ntr=k, fldr=7, cdp=i, offset=25 * i, d1=0.004)

    def from_lists(k):
        for r in listed[:k]:
            SEGYTrace(r, 4000)

    def row_iteration_only(k):
        for r in rows[:k]:
            pass

    print(f"{'case':40} {'ns/call':>10} {'calls/s':>12}")
    for name, fn, k in [("row iteration alone", row_iteration_only, n),
                        ("float32 rows, dt only", from_rows, n),
                        ("float32 rows, five keywords", from_rows_with_keywords, n),
                        ("Python lists (numpy.require)", from_lists, len(listed))]:
        t = per_call(fn, k)
        print(f"{name:40} {t * 1e9:10.0f} {1 / t:12,.0f}")


if __name__ == "__main__":
    main()
