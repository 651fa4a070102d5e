"""Benchmark of `vondrel convert`: a big-endian SU file of about 1 GB to a
native-order collection file, beside a plain copy of the same file.

    ./dev run python3.13 bench/convert.py [--quick] [--repeat N] [--no-record]

The limit is a copy by a loop of 1 MB readinto and write calls (no fsync);
the job runs the installed `vondrel` command in a process of its own, whose
peak RSS (VmHWM at its exit) is its own.  Medians of --repeat runs after
a warm-up, page cache warm.  The pipeline job joins two `vondrel convert`
processes by a pipe (big-endian SU -> native SU -> collection on stdout, into
a file).  Prints the table and writes its section of bench/results.md.
Prints figures, asserts nothing about speed (every output is checked).
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import run  # noqa: E402  (warming, the plain copy, the results file)

NS = 1000
TARGET_RATIO = 0.5
TARGET_RSS = 64 << 20
BEGIN, END = "<!-- convert: begin -->", "<!-- convert: end -->"


def make_file(path, n, ns):
    """n big-endian SU traces of ns samples (tracl counting from 1, dt 2 ms),
    written in slabs."""
    rec = np.dtype([("h", "V240"), ("d", ">f4", (ns,))])
    hdr = np.dtype([("tracl", ">i4"), ("pad", "V110"), ("ns", ">u2"), ("dt", ">u2"), ("rest", "V122")])
    rng = np.random.default_rng(1)
    slab = 10_000
    with open(path, "wb") as f:
        for start in range(0, n, slab):
            k = min(slab, n - start)
            heads = np.zeros(k, hdr)
            heads["tracl"] = np.arange(start + 1, start + k + 1)
            heads["ns"], heads["dt"] = ns, 2000
            block = np.empty(k, rec)
            block["h"] = heads.view("V240")
            block["d"] = rng.standard_normal((k, ns), dtype=np.float32)
            block.tofile(f)


def places(need):
    """Where the files go, by name: $VONDREL_BENCH_DIR or the temporary
    directory (a disk's page cache), and a memory file system when one has
    room.  Writing a GB into a disk's page cache soon meets the kernel's
    write-back throttling, which can decide a figure: both are shown."""
    found = [("disk page cache", os.environ.get("VONDREL_BENCH_DIR") or tempfile.gettempdir())]
    shm = "/dev/shm"
    if os.path.isdir(shm) and shutil.disk_usage(shm).free > 2 * need:
        found.append(("memory file system", shm))
    return found


# Runs the command line's main() as the console script does, then reports
# the process's own peak RSS (VmHWM) on the descriptor its first argument
# names: ru_maxrss of a child can include the parent's pages from before the
# exec.
PEAK_WRAPPER = """
import os, sys
from vondrel.cli import main
status = main(sys.argv[2:])
with open("/proc/self/status") as f:
    peak = next(line.split()[1] for line in f if line.startswith("VmHWM:"))
os.write(int(sys.argv[1]), peak.encode())
sys.exit(status)
"""


def timed_child(args):
    """(seconds, peak RSS bytes) of one `vondrel ARGS` run in a process of its own."""
    read, write = os.pipe()
    t0 = time.perf_counter()
    proc = subprocess.Popen([sys.executable, "-c", PEAK_WRAPPER, str(write), *args], pass_fds=(write,))
    os.close(write)
    status = proc.wait()
    elapsed = time.perf_counter() - t0
    peak = os.read(read, 64)
    os.close(read)
    if status:
        raise RuntimeError(f"vondrel {args} exited with {status}")
    return elapsed, int(peak) * 1024


def check_collection(path, n):
    with open(path, "rb") as f:
        count = int.from_bytes(f.read(4), sys.byteorder)
        assert count == n, (count, n)
        rec = np.dtype([("h", "V240"), ("d", "=f4", (NS,))])
        first = np.fromfile(f, dtype=rec, count=1)
    hdr = np.frombuffer(first["h"].tobytes(), dtype=[("tracl", "=i4"), ("pad", "V110"), ("ns", "=u2")], count=1)
    assert hdr["tracl"][0] == 1 and hdr["ns"][0] == NS
    assert path.stat().st_size == 4 + n * (240 + 4 * NS)


def median_of(repeat, run):
    run()                                   # warm-up
    results = [run() for _ in range(repeat)]
    return statistics.median(r[0] for r in results), max(r[1] for r in results)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="a 100 MB file and 3 repetitions")
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--no-record", action="store_true", help="do not write bench/results.md")
    args = ap.parse_args()
    repeat = 3 if args.quick else args.repeat
    n = (100 if args.quick else 1000) * (1 << 20) // (240 + 4 * NS)
    vondrel = shutil.which("vondrel")
    if not vondrel:
        sys.exit("bench/convert.py: the vondrel command is not on the PATH (run it through ./dev run)")
    size = n * (240 + 4 * NS)
    mb = size / 1e6
    lines = [
        BEGIN,
        "## vondrel convert",
        "",
        f"`./dev run python3.13 bench/convert.py`: a big-endian SU file of {mb:.0f} MB ({n} traces of {NS} "
        f"samples) converted to a native-order collection file by the installed command, median of {repeat} "
        "after a warm-up, page cache warm, no fsync; the limit is a loop of 1 MB `readinto` and `write` calls "
        "over the same file into a new file, as the command writes. Startup is the same command on an empty "
        "file: the interpreter, NumPy and the package, paid once per run. Peak RSS is the command process's "
        "own (VmHWM at its exit).",
        "",
        "| files in | job | s | MB/s | x copy | peak RSS |",
        "|---|---|---:|---:|---:|---:|",
    ]
    targets = []
    load_before = os.getloadavg()[0]
    for place, where in places(size):
        work = Path(tempfile.mkdtemp(prefix="vondrel-convert-", dir=where))
        try:
            src, out, empty = work / "big.su", work / "out.su", work / "empty.su"
            make_file(src, n, NS)
            empty.write_bytes(b"")
            run.warm(src)

            def copy():
                out.unlink(missing_ok=True)          # as for convert: no old pages to truncate
                t0 = time.perf_counter()
                run.copy_loop(src, out)
                return time.perf_counter() - t0, 0

            def convert(source=src):
                out.unlink(missing_ok=True)
                return timed_child(["convert", "--quiet", str(source), str(out), "--to", "collection"])

            def pipeline():
                out.unlink(missing_ok=True)
                t0 = time.perf_counter()
                first = subprocess.Popen([vondrel, "convert", "--quiet", str(src), "-"], stdout=subprocess.PIPE)
                second = subprocess.Popen([vondrel, "convert", "--quiet", "-", str(out), "--to", "collection"],
                                          stdin=first.stdout)
                first.stdout.close()
                second.wait()
                first.wait()
                if second.returncode:
                    raise RuntimeError(f"the pipeline's second convert exited with {second.returncode}")
                return time.perf_counter() - t0, 0

            copy_s, _ = median_of(repeat, copy)
            conv_s, conv_rss = median_of(repeat, convert)
            check_collection(out, n)
            start_s, _ = median_of(repeat, lambda: convert(empty))
            pipe_s, _ = median_of(repeat, pipeline)
            check_collection(out, n)
        finally:
            shutil.rmtree(work, ignore_errors=True)
        for name, secs, rss in [
            ("copy: 1 MB readinto + write", copy_s, None),
            ("vondrel convert big-endian SU -> collection", conv_s, conv_rss),
            ("startup: the same command on an empty file", start_s, None),
            ("pipeline: convert - \\| convert - out --to collection", pipe_s, None),
        ]:
            rss_text = f"{rss / 2**20:.1f} MB" if rss else ""
            speed = f"{mb / secs:.0f}" if name[0] != "s" else ""
            ratio = f"{copy_s / secs:.2f}" if name[0] != "s" else ""
            lines.append(f"| {place} | {name} | {secs:.3f} | {speed} | {ratio} | {rss_text} |")
        targets += [
            f"| {place} | convert >= {TARGET_RATIO} x copy | {copy_s / conv_s:.2f} x "
            f"({copy_s / (conv_s - start_s):.2f} x after startup) | {'yes' if copy_s / conv_s >= TARGET_RATIO else 'no'} |",
            f"| {place} | convert peak RSS < 64 MB | {conv_rss / 2**20:.1f} MB | {'yes' if conv_rss < TARGET_RSS else 'no'} |",
        ]
    lines[4:4] = ["", f"Load average (1 min) before and after the run: {load_before:.1f} and {os.getloadavg()[0]:.1f} "
                      f"on {os.cpu_count()} cores: other work on the machine shows in every figure."]
    lines += ["", "| files in | target | reached | met |", "|---|---|---:|:---:|", *targets, END]
    text = "\n".join(lines)
    print(text)
    if not args.quick and not args.no_record:
        run.record_section(BEGIN, END, text + "\n")


if __name__ == "__main__":
    main()
