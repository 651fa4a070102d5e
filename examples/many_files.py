"""Many files with Dask, labelled arrays with xarray: a directory of CMP
gathers in SU files (half of them big-endian, as SU files from other
packages often are) read as one Dask array, reduced on all cores, and the
near-offset traces stacked and drawn with xarray.

Run it with `./dev demo` (after the quick start).  The files go to a temporary directory that is removed at the end; `stack.png`
(when matplotlib is available) goes to the current directory.
"""
import tempfile
import time
from pathlib import Path

import numpy as np
import numpy.typing as npt

import vondrel
import vondrel.dask

N_FILES = 16         # CMP gathers, one file each
N_TRACES = 96        # offsets per gather
N_SAMPLES = 1000     # samples per trace
DT_US = 4000         # 4 ms
# (zero-offset two-way time in s, RMS velocity in m/s, amplitude) of each reflector
REFLECTORS = [(0.6, 1800.0, 1.0), (1.5, 2400.0, -0.6), (2.6, 3000.0, 0.5)]


def cmp_gather(cdp: int, offsets: npt.NDArray[np.float64]) -> npt.NDArray[np.float32]:
    """Hyperbolic reflections of a 20 Hz Ricker wavelet under noise."""
    t = np.arange(N_SAMPLES) * DT_US * 1e-6
    rows = np.zeros((len(offsets), N_SAMPLES))
    for t0, v, amp in REFLECTORS:
        tx = np.sqrt(t0 ** 2 + (offsets / v) ** 2)[:, None]
        a = (np.pi * 20.0 * (t[None, :] - tx)) ** 2
        rows += amp * (1.0 - 2.0 * a) * np.exp(-a)
    rows += np.random.default_rng(cdp).normal(0.0, 0.3, rows.shape)
    return rows.astype(np.float32)


def write_survey(directory: Path) -> None:
    """One SU file per CMP; the odd ones big-endian."""
    offsets = 50.0 + 25.0 * np.arange(N_TRACES)
    for k in range(N_FILES):
        headers: npt.NDArray[np.void] = np.zeros(N_TRACES, vondrel.header_dtype())
        headers["tracl"] = np.arange(1, N_TRACES + 1)
        headers["cdp"] = 1000 + k
        headers["offset"] = offsets
        headers["scalco"] = -100                      # coordinates in centimetres
        headers["sx"] = (k * 12.5 - offsets / 2) * 100
        headers["gx"] = (k * 12.5 + offsets / 2) * 100
        headers["dt"] = DT_US
        vondrel.write(directory / f"cdp{1000 + k}.su", (headers, cmp_gather(k, offsets)),
                      byteorder=">" if k % 2 else "<")


def main() -> None:
    with tempfile.TemporaryDirectory() as tmp:
        run(Path(tmp), Path.cwd())


def run(directory: Path, out: Path) -> None:
    write_survey(directory)
    samples, headers = vondrel.dask.read(directory)       # reads one header per file, nothing else
    print(f"{samples.numblocks[0]} chunks of {samples.shape[0]} traces x {samples.shape[1]} samples "
          f"from {N_FILES} files")

    start = time.perf_counter()
    # The graph holds paths and trace ranges only: with a dask.distributed
    # Client created first, the same call runs on its worker processes.
    peak = float(abs(samples).max().compute(scheduler="threads"))
    print(f"largest amplitude {peak:.2f}, found in {time.perf_counter() - start:.2f} s")

    ds = vondrel.dask.to_xarray(samples, headers)
    near = ds.sel(trace=ds.offset <= 600)                 # header values select traces
    stack = near.samples.mean("trace").compute()
    print(f"stacked {near.sizes['trace']} near-offset traces; strongest event at "
          f"{float(stack.time[abs(stack).argmax()]):.3f} s")
    vondrel.write(directory / "near.su", vondrel.from_xarray(near))      # back into a file
    print(f"wrote them to one file of {vondrel.probe(directory / 'near.su').n_traces} traces")
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no picture")
        return
    fig, ax = plt.subplots(figsize=(8, 3))
    stack.plot(ax=ax)
    ax.set_title(f"Near-offset stack of {N_FILES} CMP gathers")
    fig.tight_layout()
    fig.savefig(out / "stack.png", dpi=100)
    print(f"drew {out / 'stack.png'}")


if __name__ == "__main__":
    main()
