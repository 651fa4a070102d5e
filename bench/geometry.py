"""Geometry benchmark: a 3-D cube opened with vondrel.open and read as lines,
depth slices and whole cubes, beside the I/O limit and segyio.

    ./dev run python3.13 bench/geometry.py [--quick] [--repeat N]

Files: a cube of 300 inlines x 400 crosslines x 1,000 samples (a tenth of
the inlines with --quick) as SEG-Y, IBM floats big-endian, inline-sorted;
its native SU twin (keys fldr and cdp); and an irregular SEG-Y cube, the
same traces with 10 % of them missing, in shuffled order.  Jobs: opening
with geometry inference against one scan of the key columns on an open
handle; one inline, one crossline, one depth slice on an open handle; the
whole cube against one readinto of the file into a fresh buffer; the
irregular cube.  segyio's figures for the same files where segyio is
installed (it opens with mmap; it cannot open the irregular file as a
cube).  Each job runs in a process of its own, the median of at least five
repetitions after a warm-up, the page cache warm; the whole-cube jobs take
turns with their reference in that process, each ratio the median of the
rounds' ratios, so that the load of a shared machine weighs on both alike.  Prints the table and
puts it into bench/results.md (between the geometry markers); asserts
nothing about speed.
"""
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import run  # noqa: E402  (the machine record, warming, peak RSS)

BEGIN, END = "<!-- geometry: bench/geometry.py -->", "<!-- /geometry -->"
N_IL, N_XL, NS = 300, 400, 1000
IL0, XL0 = 1000, 2000
SAMPLE = 500
# Jobs that take turns with their reference in one process: job -> the reference.
PAIRED = {"cube": "limit_read_fresh", "su_cube": "su_limit_read_fresh", "irregular_cube": "cube",
          "cube_vs_segyio": "segyio_cube"}
# job -> (what it is measured against, the target ratio, what the target says)
TARGETS = {
    "open": ("scan_keys", 1 / 1.2, "at most 1.2 x the key-column scan"),
    "inline": ("segyio_inline", 1.0, ">= 1.0 x segyio"),
    "xline": ("segyio_xline", 1.0, ">= 1.0 x segyio"),
    "depth_slice": ("segyio_depth_slice", 1.0, ">= 1.0 x segyio"),
    "cube": ("limit_read_fresh", 0.8, ">= 0.8 x the fresh-buffer read"),
    "cube_vs_segyio": ("segyio_cube", 1.5, ">= 1.5 x segyio.tools.cube"),
    "irregular_cube": ("cube", 1 / 1.5, "within 1.5 x the regular cube"),
    "su_open": ("su_scan_keys", 1 / 1.2, "at most 1.2 x the key-column scan"),
    "su_cube": ("su_limit_read_fresh", 0.8, ">= 0.8 x the fresh-buffer read"),
}


def make_files(directory, n_il):
    """ref.sgy, ref.su, irregular.sgy and the expected cube (cube.npy):
    samples of 21 significant bits, which IBM floats hold exactly."""
    import vondrel
    from vondrel._segyfile import trace_header_dtype

    il, xl = IL0 + np.arange(n_il), XL0 + np.arange(N_XL)
    cube = np.random.default_rng(11).standard_normal((n_il, N_XL, NS), dtype=np.float32)
    cube = (cube.view(np.uint32) & np.uint32(0xFFFFFFF8)).view(np.float32)
    np.save(directory / "cube.npy", cube)
    vondrel.write_cube(directory / "ref.sgy", cube, coords={"iline": il, "xline": xl}, dt=4000, sample_format=1,
                       byteorder=">")
    vondrel.write_cube(directory / "ref.su", cube, coords={"fldr": il, "cdp": xl}, dt=4000, format="su")
    rng = np.random.default_rng(12)
    keep = np.flatnonzero(rng.random(n_il * N_XL) >= 0.1)
    order = keep[rng.permutation(len(keep))]
    headers = np.zeros(len(order), trace_header_dtype())
    headers["iline"], headers["xline"] = il[order // N_XL], xl[order % N_XL]
    headers["tracl"] = np.arange(1, len(order) + 1)
    headers["dt"] = 4000
    rows = cube.reshape(-1, NS)[order]
    vondrel.write(directory / "irregular.sgy", (headers, rows), format="segy", sample_format=1, byteorder=">")
    mask = np.zeros(n_il * N_XL, bool)
    mask[keep] = True
    np.save(directory / "mask.npy", mask.reshape(n_il, N_XL))


def jobs(directory):
    ref, su, irregular = directory / "ref.sgy", directory / "ref.su", directory / "irregular.sgy"

    def cube():
        return np.load(directory / "cube.npy", mmap_mode="r")

    def handle(path=ref, **options):
        def prepare():
            import vondrel
            f = vondrel.open(path, **options)
            f.dims                  # an open handle with its geometry, as segyio's
            return f
        return prepare

    def su_handle():
        return handle(su, dims=("fldr", "cdp"))()

    def segyio_file(path=ref):
        def prepare():
            import segyio
            f = segyio.open(path)
            f.mmap()
            return f
        return prepare

    def nothing():
        return None

    def open_infer(_):
        import vondrel
        f = vondrel.open(ref)
        assert f.dims == ("iline", "xline")        # inferred on first use
        return f

    def open_su(_):
        import vondrel
        return vondrel.open(su, dims=("fldr", "cdp"))

    def scan_keys(f):
        return f.headers[["iline", "xline"]]

    def su_scan_keys(f):
        return f.headers[["fldr", "cdp"]]

    def limit_read_fresh(path):
        def job(_):
            buf = np.empty(path.stat().st_size, np.uint8)      # fresh: its pages fault in as they fill
            with open(path, "rb", buffering=0) as f:
                assert f.readinto(buf) == len(buf)
            return buf
        return job

    def check(expected):
        def checker(result):
            assert np.array_equal(np.asarray(result), expected(), equal_nan=True), "wrong values"
        return checker

    def segyio_check(expected):
        def checker(result):
            got = np.asarray(result)
            assert np.array_equal(got.reshape(expected().shape), expected()), "segyio read other values"
        return checker

    i, x = cube().shape[0] // 2, N_XL // 2        # the middle inline and crossline
    INLINE, XLINE = IL0 + i, XL0 + x
    table = {
        "open": (nothing, open_infer, lambda f: f.close()),
        "scan_keys": (handle(dims=()), scan_keys, lambda h: None),
        "inline": (handle(), lambda f: f.sel(iline=INLINE), check(lambda: cube()[i])),
        "xline": (handle(), lambda f: f.sel(xline=XLINE), check(lambda: cube()[:, x])),
        "depth_slice": (handle(), lambda f: f.depth_slice(SAMPLE), check(lambda: cube()[..., SAMPLE])),
        "cube": (handle(), lambda f: f.cube(), check(cube)),
        "limit_read_fresh": (nothing, limit_read_fresh(ref), lambda buf: None),
        "irregular_cube": (handle(irregular), lambda f: f.cube(),
                           check(lambda: np.where(np.load(directory / "mask.npy")[..., None], cube(), np.nan))),
        "su_open": (nothing, open_su, lambda f: f.close()),
        "su_scan_keys": (handle(su, dims=()), su_scan_keys, lambda h: None),
        "su_inline": (su_handle, lambda f: f.sel(fldr=INLINE), check(lambda: cube()[i])),
        "su_xline": (su_handle, lambda f: f.sel(cdp=XLINE), check(lambda: cube()[:, x])),
        "su_depth_slice": (su_handle, lambda f: f.depth_slice(SAMPLE), check(lambda: cube()[..., SAMPLE])),
        "su_cube": (su_handle, lambda f: f.cube(), check(cube)),
        "su_limit_read_fresh": (nothing, limit_read_fresh(su), lambda buf: None),
    }
    if run.segyio_available():
        import segyio
        table.update({
            "segyio_open": (nothing, lambda _: segyio.open(ref), lambda f: f.close()),
            "segyio_inline": (segyio_file(), lambda f: f.iline[INLINE], segyio_check(lambda: cube()[i])),
            "segyio_xline": (segyio_file(), lambda f: f.xline[XLINE], segyio_check(lambda: cube()[:, x])),
            "segyio_depth_slice": (segyio_file(), lambda f: f.depth_slice[SAMPLE],
                                   segyio_check(lambda: cube()[..., SAMPLE])),
            "segyio_cube": (segyio_file(), lambda f: segyio.tools.cube(f), segyio_check(cube)),
            "cube_vs_segyio": (handle(), lambda f: f.cube(), check(cube)),
        })
    return table


def child(args):
    directory = Path(args.dir)
    table = jobs(directory)
    prepare, job, check = table[args.child]
    ref = PAIRED.get(args.child)
    turns = [(prepare, job)] + ([table[ref][:2]] if ref in table else [])
    times: list[list[float]] = [[] for _ in turns]
    cpu: list[float] = []
    result = None
    for rep in range(args.repeat + 1):
        for k, (prep, work) in enumerate(turns):
            if k == 0:
                result = None
            state = prep()
            start_cpu, start = time.process_time(), time.perf_counter()
            out = work(state)
            elapsed, used = time.perf_counter() - start, time.process_time() - start_cpu
            if rep:
                times[k].append(elapsed)
                if k == 0:
                    cpu.append(used)
            if k == 0:
                result = out
            if rep < args.repeat or k:
                for held in (state, out):      # handles let go of their maps now, not at the next collection
                    if hasattr(held, "close"):
                        held.close()
            del out
    peak = run.peak_rss_bytes()
    check(result)
    print(json.dumps({"times": times[0], "cpu": cpu, "ref_times": times[1] if len(times) > 1 else None,
                      "peak_rss": peak}))


WHAT = {
    "open": "vondrel.open(path).dims: geometry inferred from bytes 189/193 (and 37)",
    "scan_keys": "f.headers[['iline', 'xline']] on a fresh handle (dims=(): no geometry)",
    "inline": "f.sel(iline=the middle inline)",
    "xline": "f.sel(xline=the middle crossline)",
    "depth_slice": f"f.depth_slice({SAMPLE})",
    "cube": "f.cube()",
    "limit_read_fresh": "one readinto of the file into a fresh buffer",
    "irregular_cube": "f.cube() of the irregular file (10 % missing, shuffled)",
    "su_open": "vondrel.open(su, dims=('fldr', 'cdp'))",
    "su_scan_keys": "f.headers[['fldr', 'cdp']] on a fresh handle (dims=())",
    "su_inline": "f.sel(fldr=the middle one)",
    "su_xline": "f.sel(cdp=the middle one)",
    "su_depth_slice": f"f.depth_slice({SAMPLE})",
    "su_cube": "f.cube()",
    "su_limit_read_fresh": "one readinto of the SU file into a fresh buffer",
    "segyio_open": "segyio.open(path) (reads one line, trusts the count)",
    "segyio_inline": "segyio, mmap: f.iline[the middle inline]",
    "segyio_xline": "segyio, mmap: f.xline[the middle crossline]",
    "segyio_depth_slice": f"segyio, mmap: f.depth_slice[{SAMPLE}]",
    "segyio_cube": "segyio, mmap: segyio.tools.cube(f)",
    "cube_vs_segyio": "f.cube(), taking turns with segyio.tools.cube",
}


def parent(args):
    n_il = N_IL // (10 if args.quick else 1)
    build = run.ROOT / "build"
    build.mkdir(exist_ok=True)
    directory = Path(tempfile.mkdtemp(prefix="bench-geometry-", dir=build))
    results = {}
    load = [os.getloadavg()[0]]
    try:
        make_files(directory, n_il)
        sizes = {name: (directory / name).stat().st_size for name in ("ref.sgy", "ref.su", "irregular.sgy")}
        for job in jobs(directory):
            path = directory / ("ref.su" if job.startswith("su_") else
                                "irregular.sgy" if job.startswith("irregular") else "ref.sgy")
            run.warm(path)
            cmd = [sys.executable, __file__, "--child", job, "--dir", str(directory), "--repeat", str(args.repeat)]
            done = subprocess.run(cmd, capture_output=True, text=True)
            if done.returncode:
                sys.stderr.write(done.stderr)
                raise SystemExit(f"job {job} failed")
            r = json.loads(done.stdout.strip().splitlines()[-1])
            r["median"] = statistics.median(r["times"])
            results[job] = r
            load.append(os.getloadavg()[0])
            print(f"  {job:20} {r['median']:9.4f} s  peak {r['peak_rss'] / 1e6:7,.0f} MB", flush=True)
    finally:
        for old in directory.iterdir():
            old.unlink()
        directory.rmdir()
    lines = [f"Cube of {n_il} x {N_XL} x {NS} samples: SEG-Y IBM float big-endian {sizes['ref.sgy'] / 1e6:,.0f} MB "
             f"(inline-sorted), its native SU twin {sizes['ref.su'] / 1e6:,.0f} MB, the irregular SEG-Y cube "
             f"{sizes['irregular.sgy'] / 1e6:,.0f} MB.", "",
             "| job | what | median s | best s | median CPU s | peak RSS MB | x reference | target |",
             "|---|---|---:|---:|---:|---:|---:|---|"]
    for job, r in results.items():
        ref, goal, says = TARGETS.get(job, (None, None, ""))
        if r.get("ref_times"):            # took turns with its reference: the median of the rounds' ratios
            ratio = statistics.median(b / a for a, b in zip(r["times"], r["ref_times"]))
        else:
            ratio = results[ref]["median"] / r["median"] if ref in results else None
        target = f"{says}: {'met' if ratio >= goal else 'NOT met'}" if ratio is not None else \
            (f"{says}: no reference here" if ref else "")
        what = WHAT[job]
        lines.append(f"| {job} | {what} | {r['median']:.4f} | {min(r['times']):.4f} | {statistics.median(r['cpu']):.4f} | "
                     f"{r['peak_rss'] / 1e6:,.0f} | "
                     f"{f'{ratio:.2f}' if ratio is not None else ''} | {target} |")
    lines.append("")
    if not run.segyio_available():
        lines.append("segyio is not installed here: no segyio figures, and the targets set against segyio "
                     "are unmeasured.")
    section = [BEGIN, "## Geometry", "",
               f"`./dev run python3.13 bench/geometry.py{' --quick' if args.quick else ''}`: median of "
               f"{args.repeat} repetitions after a warm-up, one process per job, page cache warm; the x "
               "reference column is the reference's median over the job's (above 1: faster); for "
               f"{', '.join(PAIRED)}, which take turns with their reference in one process, the median of the "
               "rounds' ratios. Median CPU s: user + system time of the process, every thread. Load average "
               f"(1 min) during the run: {min(load):.1f} to {max(load):.1f} on {os.cpu_count()} cores.", ""]
    run.publish(args, BEGIN, END, section, lines)


def main():
    run.child_or_parent(__doc__, "a tenth of the inlines; results.md is left alone", child, parent)


if __name__ == "__main__":
    main()
