"""Open-file benchmark: vondrel.open on a SEG-Y file of IBM floats
(big-endian) and on a native SU file, both shapes, beside segyio with mmap
where segyio is installed, and beside the read limit.

    ./dev run python3.13 bench/handle.py [--quick] [--repeat N]

Jobs, for each file:
  column     f.headers["offset"]: one field of every trace
             (segyio: f.attributes(offset)[:])
  columns3   f.headers[["sx", "gx", "cdp"]]: three fields in one call
             (segyio: three attributes calls)
  random     f.samples[i] for 10,000 random i (segyio: f.trace[i])
  mask       f.samples[mask] for a boolean mask of 10 % of the traces
             (limit_mask: one readinto of as many whole traces' bytes,
             contiguous, into a NumPy buffer of that size; NumPy, like
             f.samples' result, gets the same memory back every repetition,
             its pages already in place, so neither side pays for faulting
             fresh pages; limit_file: the whole file in 1 MB readinto calls
             into one buffer, what any reader of scattered short traces
             copies out of the page cache)
  open       vondrel.open(path) and close, per open (segyio: open with
             ignore_geometry=True, mmap, close)
  edit       f.headers["cdp", 17] = value on an "r+" handle, per edit
             (segyio: f.header[17][CDP] = value)
The handle (or segyio's file) is opened outside the timed part, anew for
every repetition, so that a column scan pays for mapping its pages.  Each
job runs in a process of its own, the median of at least five repetitions
after a warm-up, the page cache warm, and its result is checked.  Every
job is single-threaded, so ratios and targets compare the CPU time of the
process (user and system), which a busy machine disturbs far less than
wall time; both are printed.  Prints
the table and puts it into bench/results.md (between the handle markers);
asserts nothing about speed.
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
import run  # noqa: E402  (the shapes, warming, peak RSS)

BEGIN, END = "<!-- handle: bench/handle.py -->", "<!-- /handle -->"
RANDOM_READS = 10_000
OPENS, EDITS = 50, 200
# job -> (the figure it is held against, the least ratio asked for)
TARGETS = {"column": ("segyio_column", 1.0), "columns3": ("segyio_columns3", 1.5),
           "random": ("segyio_random", 1.0), "mask": ("limit_mask", 0.8)}
# jobs whose figure is per operation, with the time asked for (seconds)
PER_OP = {"open": 1e-3, "edit": 1e-3, "segyio_open": None, "segyio_edit": None}


def make_files(directory, n, ns):
    """ref.sgy (IBM floats, big-endian), ref.su (native order), and the
    values the jobs check against."""
    import vondrel

    rng = np.random.default_rng(11)
    rows = rng.standard_normal((n, ns), dtype=np.float32)
    rows = (rows.view(np.uint32) & np.uint32(0xFFFFFFF8)).view(np.float32)     # IBM holds them exactly
    headers = np.zeros(n, vondrel.header_dtype())
    headers["tracl"] = np.arange(1, n + 1)
    headers["cdp"] = np.arange(n) // 8
    headers["offset"] = rng.integers(-5000, 5000, n)
    headers["sx"] = rng.integers(0, 10 ** 6, n)
    headers["gx"] = rng.integers(0, 10 ** 6, n)
    headers["dt"] = 4000
    np.save(directory / "rows.npy", rows)
    np.save(directory / "columns.npy", np.stack([headers[k] for k in ("offset", "sx", "gx", "cdp")]))
    np.save(directory / "picks.npy", rng.integers(0, n, RANDOM_READS))
    np.save(directory / "mask.npy", rng.random(n) < 0.1)
    vondrel.write(directory / "ref.sgy", (headers, rows), format="segy", sample_format=1, byteorder=">")
    vondrel.write(directory / "ref.su", (headers, rows), format="su")


def jobs(directory, kind):
    """job -> (prepare, job, check) for the file of `kind` ("sgy" or "su")."""
    import vondrel

    path = directory / f"ref.{kind}"

    def load(name):
        return np.load(directory / f"{name}.npy")

    def handle(mode="r"):
        return lambda: vondrel.open(path, mode)

    def column(f):
        return f.headers["offset"]

    def columns3(f):
        return f.headers[["sx", "gx", "cdp"]]

    def check_column(result):
        assert np.array_equal(result, load("columns")[0])

    def check_columns3(result):
        c = load("columns")
        assert all(np.array_equal(result[k], c[i]) for i, k in ((1, "sx"), (2, "gx"), (3, "cdp")))

    def random_reads(state):
        f, picks = state
        out = None
        for i in picks:
            out = f.samples[i]
        return out, picks[-1]

    def check_random(result):
        trace, last = result
        assert np.array_equal(trace, load("rows")[last])

    def mask(state):
        f, m = state
        return f.samples[m]

    def check_mask(result):
        assert np.array_equal(result, load("rows")[load("mask")])

    def limit_mask(nbytes):
        buf = np.empty(nbytes, np.uint8)           # the memory of the repetition before, as f.samples gets it
        with open(path, "rb", buffering=0) as f:
            assert f.readinto(buf) == len(buf)
        return buf

    def limit_file(_):
        buf = bytearray(1 << 20)
        total = 0
        with open(path, "rb", buffering=0) as f:
            while got := f.readinto(buf):
                total += got
        return total

    def check_file(total):
        assert total == path.stat().st_size

    def opens(_):
        for _ in range(OPENS):
            vondrel.open(path).close()
        return OPENS

    def edits(f):
        value = int(f.headers["cdp", 17])
        for _ in range(EDITS):
            f.headers["cdp", 17] = value
        return EDITS

    def check_count(result):
        assert result in (OPENS, EDITS)

    def trace_bytes():
        with vondrel.open(path) as f:
            size = f.plan.trace_size
        return int(load("mask").sum()) * size

    table = {
        "column": (handle(), column, check_column),
        "columns3": (handle(), columns3, check_columns3),
        "random": (lambda: (vondrel.open(path), load("picks")), random_reads, check_random),
        "mask": (lambda: (vondrel.open(path), load("mask")), mask, check_mask),
        "limit_mask": (trace_bytes, limit_mask, lambda buf: None),
        "limit_file": (lambda: None, limit_file, check_file),
        "open": (lambda: None, opens, check_count),
        "edit": (handle("r+"), edits, check_count),
    }
    if kind == "sgy" and run.segyio_available():
        table.update(segyio_jobs(path, load, check_column, check_columns3, check_random, check_count))
    return table


def segyio_jobs(path, load, check_column, check_columns3, check_random, check_count):
    import segyio
    from segyio import TraceField as T

    def opened(mode="r"):
        def prepare():
            f = segyio.open(path, mode, ignore_geometry=True)
            f.mmap()
            return f
        return prepare

    def column(f):
        return f.attributes(T.offset)[:]

    def columns3(f):
        return {"sx": f.attributes(T.SourceX)[:], "gx": f.attributes(T.GroupX)[:], "cdp": f.attributes(T.CDP)[:]}

    def random_reads(state):
        f, picks = state
        out = None
        for i in picks:
            out = f.trace[int(i)]
        return out, picks[-1]

    def opens(_):
        for _ in range(OPENS):
            with segyio.open(path, ignore_geometry=True) as f:
                f.mmap()
        return OPENS

    def edits(f):
        value = f.header[17][T.CDP]
        for _ in range(EDITS):
            f.header[17][T.CDP] = value
        return EDITS

    return {
        "segyio_column": (opened(), column, check_column),
        "segyio_columns3": (opened(), columns3, check_columns3),
        "segyio_random": (lambda: (opened()(), load("picks")), random_reads, check_random),
        "segyio_open": (lambda: None, opens, check_count),
        "segyio_edit": (opened("r+"), edits, check_count),
    }


def child(args):
    prepare, job, check = jobs(Path(args.dir), args.kind)[args.child]
    times, cpus, result = [], [], None
    for rep in range(args.repeat + 1):
        result = None
        state = prepare()
        start, cpu = time.perf_counter(), time.process_time()
        result = job(state)
        elapsed, used = time.perf_counter() - start, time.process_time() - cpu
        del state
        if rep:
            times.append(elapsed)
            cpus.append(used)
    peak = run.peak_rss_bytes()
    check(result)
    print(json.dumps({"times": times, "cpu": cpus, "peak_rss": peak}))


WHAT = {
    "column": 'f.headers["offset"]: one field, every trace',
    "columns3": 'f.headers[["sx", "gx", "cdp"]]: three fields, one call',
    "random": f"f.samples[i], {RANDOM_READS:,} random i",
    "mask": "f.samples[mask], 10 % of the traces",
    "limit_mask": "one readinto of as many whole traces' bytes, contiguous",
    "limit_file": "the whole file, 1 MB readinto calls into one buffer",
    "open": "vondrel.open(path) + close, per open",
    "edit": 'f.headers["cdp", 17] = v in mode "r+", per edit',
    "segyio_column": "segyio (mmap): attributes(offset)[:]",
    "segyio_columns3": "segyio (mmap): three attributes(...)[:]",
    "segyio_random": f"segyio (mmap): f.trace[i], {RANDOM_READS:,} random i",
    "segyio_open": "segyio: open(ignore_geometry=True) + mmap + close, per open",
    "segyio_edit": "segyio (mmap, r+): f.header[17][CDP] = v, per edit",
}


def parent(args):
    scale = 10 if args.quick else 1
    build = run.ROOT / "build"
    build.mkdir(exist_ok=True)
    directory = Path(tempfile.mkdtemp(prefix="bench-handle-", dir=build))
    load_before = os.getloadavg()
    lines = []
    try:
        for shape, (n, ns) in run.SHAPES.items():
            n //= scale
            for old in directory.iterdir():
                old.unlink()
            make_files(directory, n, ns)
            for kind, what in (("sgy", "SEG-Y, IBM float, big-endian"), ("su", "SU, native order")):
                size = (directory / f"ref.{kind}").stat().st_size
                results = {}
                for job in jobs(directory, kind):
                    run.warm(directory / f"ref.{kind}")
                    cmd = [sys.executable, __file__, "--child", job, "--kind", kind, "--dir", str(directory),
                           "--repeat", str(args.repeat)]
                    done = subprocess.run(cmd, capture_output=True, text=True)
                    if done.returncode:
                        sys.stderr.write(done.stderr)
                        raise SystemExit(f"job {job} failed")
                    r = json.loads(done.stdout.strip().splitlines()[-1])
                    per = (OPENS if job.endswith("open") else EDITS) if job in PER_OP else 1
                    r["wall"] = statistics.median(r["times"]) / per
                    r["median"] = statistics.median(r["cpu"]) / per
                    results[job] = r
                    print(f"  {shape:5} {kind:3} {job:16} {r['median'] * 1e3:10.4f} ms CPU "
                          f"{r['wall'] * 1e3:10.4f} ms wall", flush=True)
                lines += [f"### {shape}: {n:,} traces x {ns:,} samples, {what}, file {size / 1e6:,.1f} MB", "",
                          "| job | what | median CPU ms | median wall ms | x figure | target |",
                          "|---|---|---:|---:|---:|---|"]
                for job, r in results.items():
                    ratio, target = "", ""
                    if job in TARGETS and TARGETS[job][0] in results:
                        other, goal = TARGETS[job]
                        x = results[other]["median"] / r["median"]
                        ratio = f"{x:.2f}"
                        target = f">= {goal} x {other}: {'met' if x >= goal else 'NOT met'}"
                    elif job in TARGETS:
                        target = f">= {TARGETS[job][1]} x {TARGETS[job][0]} (not run here)"
                    elif PER_OP.get(job):
                        limit = PER_OP[job]
                        target = f"< {limit * 1e3:g} ms: {'met' if r['median'] < limit else 'NOT met'}"
                    lines.append(f"| {job} | {WHAT[job]} | {r['median'] * 1e3:.4f} | {r['wall'] * 1e3:.4f} | {ratio} "
                                 f"| {target} |")
                lines.append("")
    finally:
        for old in directory.iterdir():
            old.unlink()
        directory.rmdir()
    if not run.segyio_available():
        lines.append("segyio is not installed here: no segyio figures, and the targets held against them "
                     "are not judged.")
    section = [BEGIN, "## The open-file handle", "",
               f"`./dev run python3.13 bench/handle.py{' --quick' if args.quick else ''}`: median of "
               f"{args.repeat} repetitions after a warm-up, one process per job, page cache warm. Ratios and "
               "targets compare CPU time (user and system) of the process: the jobs run on one thread (a column "
               "read over more than 64 MB of traces, read whole in large pieces, takes a second one, and its CPU "
               "time counts both), and on a shared machine wall time also counts the neighbours' work. The mask's limit reads as many bytes as "
               "the selected traces hold, but in one piece: scattered traces cost a system call a trace (long "
               "traces, batched 128 a call where Linux offers io_uring) or a pass over the file (short traces, "
               "limit_file). Load average (1, 5, 15 min) at the start "
               f"{', '.join(f'{x:.2f}' for x in load_before)}, at the end "
               f"{', '.join(f'{x:.2f}' for x in os.getloadavg())}.", ""]
    run.publish(args, BEGIN, END, section, lines)


def main():
    run.child_or_parent(__doc__, "a tenth of each shape; results.md is left alone", child, parent, extra=('--kind',))


if __name__ == "__main__":
    main()
