"""Quick start for vondrel.segy: build a synthetic shot gather, write it as a
collection file, open it lazily, stream it, load it and stack it into NumPy.

Run it with `./dev demo`.  The collection file goes to a temporary
directory that is removed at the end; `gather.png` (when matplotlib is
available) goes to the current directory, which for `./dev demo` is the
examples directory.
"""
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any, TypeVar

import numpy as np
import numpy.typing as npt

from vondrel.segy import SEGY

N_TRACES = 240     # receivers
N_SAMPLES = 1500   # samples per trace
DT_US = 2000       # sample interval in microseconds (2 ms)
SPACING_M = 12.5   # receiver spacing in metres
FREQ_HZ = 25.0     # peak frequency of the Ricker wavelet

# (zero-offset two-way time in s, RMS velocity in m/s, amplitude) of each reflector
REFLECTORS = [(0.40, 1600.0, 1.0), (0.85, 2100.0, -0.7), (1.40, 2600.0, 0.8), (2.10, 3200.0, 0.5)]


T = TypeVar("T")
Floats = npt.NDArray[np.floating[Any]]


def ricker(t: Floats, f: float) -> Floats:
    """The Ricker wavelet of peak frequency f at times t (seconds)."""
    a = (np.pi * f * t) ** 2
    wavelet: Floats = (1.0 - 2.0 * a) * np.exp(-a)
    return wavelet


def shot_gather() -> tuple[npt.NDArray[np.float32], Floats]:
    """A split-spread shot gather: one hyperbola per reflector, plus a little noise."""
    offsets = (np.arange(N_TRACES) - N_TRACES // 2) * SPACING_M
    t = np.arange(N_SAMPLES) * DT_US * 1e-6
    gather = np.zeros((N_TRACES, N_SAMPLES), np.float32)
    for t0, v, amp in REFLECTORS:
        tx = np.sqrt(t0 ** 2 + (offsets / v) ** 2)          # moveout time of each trace
        spread = t0 / tx                                    # a crude spherical divergence
        gather += (amp * spread[:, None] * ricker(t[None, :] - tx[:, None], FREQ_HZ)).astype(np.float32)
    gather += np.random.default_rng(7).normal(0.0, 0.02, gather.shape).astype(np.float32)
    return gather, offsets


def timed(label: str, timings: list[tuple[str, float]], fn: Callable[[], T]) -> T:
    start = time.perf_counter()
    result = fn()
    timings.append((label, time.perf_counter() - start))
    return result


def main() -> None:
    with tempfile.TemporaryDirectory() as tmp:
        run(Path(tmp) / "gather.su", Path.cwd())


def run(path: Path, out: Path) -> None:
    timings: list[tuple[str, float]] = []

    data, offsets = timed("synthesise", timings, shot_gather)
    # One SEGYTrace per row; the keywords become header values of every trace.
    collection = timed("build SEGY", timings, lambda: SEGY(data, DT_US, fldr=1001, ep=1, trid=1, counit=1))
    timed("to_file", timings, lambda: collection.to_file(path))

    lazy = timed("from_file", timings, lambda: SEGY.from_file(path))   # reads only the trace count
    peak = timed("stream", timings, lambda: max(float(np.abs(np.asarray(t)).max()) for t in lazy))

    loaded = timed("to_memory", timings, lambda: SEGY.from_file(path).to_memory())
    stacked = timed("stack", timings, lambda: np.stack([np.asarray(t) for t in loaded]))
    first = next(iter(loaded))

    assert np.array_equal(stacked, data)
    print(f"traces   {loaded.n_traces}")
    print(f"samples  {first.ns} per trace")
    print(f"dt       {first.dt} us")
    print(f"bytes    {path.stat().st_size} in {path}")
    print(f"peak     {peak:.3f} (absolute amplitude, streamed)")
    print(f"stacked  {stacked.shape} {stacked.dtype}, identical to the synthetic gather")
    for label, seconds in timings:
        print(f"  {label:<11}{seconds * 1e3:8.2f} ms")

    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no gather.png")
        return
    clip = np.percentile(np.abs(stacked), 99)
    fig, ax = plt.subplots(figsize=(7, 6))
    ax.imshow(stacked.T, aspect="auto", cmap="gray", vmin=-clip, vmax=clip,
              extent=(offsets[0], offsets[-1], N_SAMPLES * DT_US * 1e-3, 0))
    ax.set_xlabel("offset (m)")
    ax.set_ylabel("time (ms)")
    ax.set_title(f"Synthetic shot gather: {loaded.n_traces} traces, dt {first.dt} us")
    fig.tight_layout()
    png = out / "gather.png"
    fig.savefig(png, dpi=100)
    print(f"image    {png}")


if __name__ == "__main__":
    main()
