"""SEG-Y benchmark: vondrel.read and vondrel.write on SEG-Y files of IBM
floats in big-endian order (the commonest real case), beside the I/O limits.

    ./dev run python3.13 bench/segy.py [--quick] [--repeat N]

The two shapes of bench/run.py.  Jobs: read into arrays (IBM conversion and
byte swap included) against one readinto of the file into a freshly
allocated buffer; write an open file (no fsync) against one write of the
file's bytes; segyio's figures for the same files where segyio is
installed.  Each job runs in a process of its own, the median of at least
five repetitions after a warm-up, the page cache warm; the jobs and their
limits take turns, round after round (five rounds), so that a ratio compares
figures taken moments apart on a shared machine: the ratio given is the
median of the rounds' ratios.  CPU time (user + system of the job's process,
every thread) stands beside the wall time.  Prints the table and puts it
into bench/results.md (between the SEG-Y markers); asserts nothing about
speed.
"""
import functools
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
import run  # noqa: E402  (the shapes, the machine record, warming, peak RSS)

BEGIN, END = "<!-- segy: bench/segy.py -->", "<!-- /segy -->"
TARGETS = {"read": ("limit_read_fresh", 0.9), "write": ("limit_write", 0.8)}
ROUNDS = 5


def make_file(directory, n, ns):
    """ref.sgy (IBM floats, big-endian) and rows.npy: samples of 21
    significant bits, which IBM floats hold exactly."""
    import vondrel

    rows = np.random.default_rng(7).standard_normal((n, ns), dtype=np.float32)
    rows = (rows.view(np.uint32) & np.uint32(0xFFFFFFF8)).view(np.float32)
    np.save(directory / "rows.npy", rows)
    headers = np.zeros(n, vondrel.header_dtype())
    headers["tracl"] = np.arange(1, n + 1)
    headers["dt"] = 4000
    vondrel.write(directory / "ref.sgy", (headers, rows), format="segy", sample_format=1, byteorder=">")


def jobs(directory):
    ref, out = directory / "ref.sgy", directory / "out.sgy"

    def rows():
        return np.load(directory / "rows.npy")

    def check_gather(g):
        assert g.format == "segy" and np.array_equal(g.samples, rows())

    def check_out(_):
        assert out.read_bytes() == ref.read_bytes(), "written file differs from the reference"

    def read(_):
        import vondrel
        return vondrel.read(ref)

    # What a write writes is read once per process: a fresh 330 MB source
    # before every repetition made the kernel's page allocation in the
    # timed write (of the job and of its limit alike) vary tenfold here.
    @functools.cache
    def source():
        import vondrel
        return vondrel.read(ref)

    @functools.cache
    def source_bytes():
        return ref.read_bytes()

    def gather():
        out.unlink(missing_ok=True)
        return source(), open(out, "wb")

    def write(state):
        import vondrel
        g, f = state
        vondrel.write(f, g, sample_format=1)
        f.close()

    def limit_read_fresh(_):
        buf = np.empty(ref.stat().st_size, np.uint8)      # fresh: its pages fault in as they fill
        with open(ref, "rb", buffering=0) as f:
            assert f.readinto(buf) == len(buf)
        return buf

    def file_bytes():
        out.unlink(missing_ok=True)
        return source_bytes(), open(out, "wb", buffering=0)

    def limit_write(state):
        data, f = state
        f.write(data)
        f.close()

    def segyio_read(_):
        import segyio
        with segyio.open(ref, ignore_geometry=True) as f:
            f.mmap()
            return segyio.tools.collect(f.trace[:]), [f.header[i] for i in range(0)]

    def check_segyio(result):
        assert np.array_equal(result[0], rows())

    table = {
        "read": (lambda: None, read, check_gather),
        "limit_read_fresh": (lambda: None, limit_read_fresh, lambda buf: None),
        "write": (gather, write, check_out),
        "limit_write": (file_bytes, limit_write, check_out),
    }
    if run.segyio_available():
        table["segyio_read"] = (lambda: None, segyio_read, check_segyio)
    return table


def child(args):
    prepare, job, check = jobs(Path(args.dir))[args.child]
    times, cpu, result = [], [], None
    for rep in range(args.repeat + 1):
        result = None
        state = prepare()
        start, start_cpu = time.perf_counter(), time.process_time()
        result = job(state)
        elapsed, used = time.perf_counter() - start, time.process_time() - start_cpu
        del state
        if rep:
            times.append(elapsed)
            cpu.append(used)
    peak = run.peak_rss_bytes()
    check(result)
    print(json.dumps({"times": times, "cpu": cpu, "peak_rss": peak}))


WHAT = {
    "read": "vondrel.read(path): headers + float32 samples",
    "limit_read_fresh": "one readinto into a fresh buffer",
    "write": "vondrel.write(open file, g, sample_format=1)",
    "limit_write": "one write of the file's bytes (no fsync)",
    "segyio_read": "segyio: mmap + collect(trace[:])",
}


def parent(args):
    scale = 10 if args.quick else 1
    build = run.ROOT / "build"
    build.mkdir(exist_ok=True)
    directory = Path(tempfile.mkdtemp(prefix="bench-segy-", dir=build))
    load_before = os.getloadavg()[0]
    lines = []
    try:
        for shape, (n, ns) in run.SHAPES.items():
            n //= scale
            for old in directory.iterdir():
                old.unlink()
            make_file(directory, n, ns)
            size = (directory / "ref.sgy").stat().st_size
            table = jobs(directory)
            turns = {job: [] for job in table}
            for rnd in range(ROUNDS):
                for job in table:
                    if job.startswith("segyio") and rnd:
                        continue            # a peer's figure, not held against a limit: one round
                    run.warm(directory / "ref.sgy")
                    cmd = [sys.executable, __file__, "--child", job, "--dir", str(directory),
                           "--repeat", str(args.repeat)]
                    done = subprocess.run(cmd, capture_output=True, text=True)
                    if done.returncode:
                        sys.stderr.write(done.stderr)
                        raise SystemExit(f"job {job} failed")
                    r = json.loads(done.stdout.strip().splitlines()[-1])
                    turns[job].append({"median": statistics.median(r["times"]),
                                       "cpu": statistics.median(r["cpu"]), "peak_rss": r["peak_rss"]})
            results = {}
            for job, rs in turns.items():
                results[job] = {key: statistics.median(r[key] for r in rs) for key in ("median", "cpu")}
                results[job]["peak_rss"] = max(r["peak_rss"] for r in rs)
                limit = TARGETS.get(job, (None,))[0]
                if limit:
                    results[job]["ratios"] = [lr["median"] / r["median"] for r, lr in zip(rs, turns[limit])]
                    results[job]["cpu_ratio"] = statistics.median(lr["cpu"] / r["cpu"] for r, lr in zip(rs, turns[limit]))
                r = results[job]
                print(f"  {shape:5} {job:18} {r['median']:9.4f} s  cpu {r['cpu']:8.4f} s  "
                      f"{size / r['median'] / 1e6:8,.0f} MB/s  peak {r['peak_rss'] / 1e6:7,.0f} MB"
                      + (f"  x limit {statistics.median(r['ratios']):.2f}" if "ratios" in r else ""), flush=True)
            lines += [f"### {shape}: {n:,} traces x {ns:,} samples, IBM float big-endian, "
                      f"file {size / 1e6:,.1f} MB", "",
                      "| job | what | median s | CPU s | MB/s | peak RSS MB | x limit (rounds' median; lowest-highest) "
                      "| x limit in CPU time | target |", "|---|---|---:|---:|---:|---:|---:|---:|---|"]
            for job, r in results.items():
                limit, goal = TARGETS.get(job, (None, None))
                ratio = statistics.median(r["ratios"]) if limit else None
                spread = f" ({min(r['ratios']):.2f}-{max(r['ratios']):.2f})" if limit else ""
                target = f">= {goal} x {limit}: {'met' if ratio >= goal else 'NOT met'}" if limit else ""
                lines.append(f"| {job} | {WHAT[job]} | {r['median']:.4f} | {r['cpu']:.4f} "
                             f"| {size / r['median'] / 1e6:,.0f} | {r['peak_rss'] / 1e6:,.0f} "
                             f"| {f'{ratio:.2f}{spread}' if ratio else ''} "
                             f"| {f'{r['cpu_ratio']:.2f}' if ratio else ''} | {target} |")
            lines.append("")
    finally:
        for old in directory.iterdir():
            old.unlink()
        directory.rmdir()
    if not run.segyio_available():
        lines.append("segyio is not installed here: no segyio figures.")
    load_after = os.getloadavg()[0]
    section = [BEGIN, "## SEG-Y files", "",
               f"`./dev run python3.13 bench/segy.py{' --quick' if args.quick else ''}`: median of "
               f"{args.repeat} repetitions after a warm-up, one process per job, page cache warm; jobs and limits "
               f"in turn for {ROUNDS} rounds, each figure the median of the rounds' medians and each ratio the "
               "median of the rounds' ratios. CPU s: user + system time of the job's process (every thread).", "",
               f"Load average (1 min) before and after the run: {load_before:.1f} and {load_after:.1f} on "
               f"{os.cpu_count()} cores: other work on the machine shows in every figure, most in the jobs "
               "that share a run between two threads. The target is judged on wall time; the CPU ratio "
               "(the limit's CPU time over the job's) is what one core gives, the figure a job that splits its "
               "work between two threads reaches when the second core is taken by other work.", ""]
    run.publish(args, BEGIN, END, section, lines)


def main():
    run.child_or_parent(__doc__, "a tenth of each shape; results.md is left alone", child, parent)


if __name__ == "__main__":
    main()
