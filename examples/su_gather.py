"""A real Seismic Unix file into NumPy arrays: read a big-endian field gather
(24 traces of CDP 700, from the repository's test data) with vondrel.read,
print a few header values and draw the gather.

Run it with `./dev demo`.  `su_gather.png` (when matplotlib is available)
goes to the current directory, which for `./dev demo` is the examples
directory.
"""
from pathlib import Path

import numpy as np

import vondrel

DATA = Path(__file__).resolve().parent.parent / "tests" / "data" / "seismiclab_cdp700.su"


def main() -> None:
    g = vondrel.read(DATA)                   # format and byte order decided by the data
    h = g.headers                            # one row per trace, native order
    dt_ms = int(h["dt"][0]) / 1000
    print(f"file     {DATA.name}: {g.format}, {'big' if g.byteorder == '>' else 'little'}-endian")
    print(f"traces   {len(g)}, {g.samples.shape[1]} samples each, dt {dt_ms} ms")
    print(f"cdp      {sorted(set(h['cdp'].tolist()))}")
    print(f"offsets  {h['offset'].min()} .. {h['offset'].max()} m")
    print(f"fldr     {h['fldr'][:4].tolist()} ...")

    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no su_gather.png")
        return
    clip = float(np.percentile(np.abs(g.samples), 98))
    fig, ax = plt.subplots(figsize=(6, 6))
    ax.imshow(g.samples.T, aspect="auto", cmap="gray", vmin=-clip, vmax=clip,
              extent=(0.5, len(g) + 0.5, g.samples.shape[1] * dt_ms, 0))
    ax.set_xlabel("trace")
    ax.set_ylabel("time (ms)")
    ax.set_title(f"{DATA.name}: CDP {h['cdp'][0]}, {len(g)} traces")
    fig.tight_layout()
    png = Path.cwd() / "su_gather.png"
    fig.savefig(png, dpi=100)
    print(f"image    {png}")


if __name__ == "__main__":
    main()
