"""Many files with Dask: the mean trace of a directory of SU files.

    ./dev run python3.13 bench/many_files.py [--quick] [--repeat N]

32 files of 2,000 traces x 2,000 samples (--quick: 8 files of 500), page
cache warm.  Jobs: one thread calling vondrel.read on the files in turn and
adding up the mean trace (the baseline); the same mean from vondrel.dask.read
on the threaded scheduler with two workers, and on a dask.distributed
LocalCluster of two worker processes (started before the clock, not timed);
and, for the limit, one and two threads of plain readinto over the same files.
Every figure is the median of the repetitions after a warm-up; every mean is
checked against the baseline's.  Prints the table and writes its section of
bench/results.md (not with --quick).
"""
import argparse
import contextlib
import os
import shutil
import statistics
import sys
import tempfile
import threading
import time
from pathlib import Path

import numpy as np

import vondrel
import vondrel.dask

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import run  # noqa: E402  (warming, the plain copy, the results file)
SECTION = "## Many files with Dask"
BEGIN, END = "<!-- many files: bench/many_files.py -->", "<!-- /many files -->"
WORKERS = 2


def make_files(directory, n_files, n, ns):
    """n_files SU files of n traces x ns samples in native order; their paths."""
    rng = np.random.default_rng(3)
    headers = np.zeros(n, vondrel.header_dtype())
    headers["dt"] = 4000
    paths = []
    for k in range(n_files):
        headers["fldr"] = k
        paths.append(directory / f"shot{k:03d}.su")
        vondrel.write(paths[-1], (headers, rng.standard_normal((n, ns), dtype=np.float32)))
    return paths


def one_thread(paths, _):
    total = None
    count = 0
    for p in paths:
        samples = vondrel.read(p).samples
        part = samples.sum(axis=0, dtype=np.float64)
        total = part if total is None else total + part
        count += len(samples)
    return total / count


def dask_threads(paths, _):
    samples, _headers = vondrel.dask.read(paths)
    return samples.mean(axis=0, dtype=np.float64).compute(scheduler="threads", num_workers=WORKERS)


def dask_sync(paths, _):
    samples, _headers = vondrel.dask.read(paths)
    return samples.mean(axis=0, dtype=np.float64).compute(scheduler="sync")


def dask_cluster(paths, client):
    samples, _headers = vondrel.dask.read(paths)
    future = client.compute(samples.mean(axis=0, dtype=np.float64))
    try:
        return future.result()
    finally:
        future.release()


def cluster_overhead(paths, client):
    """The same reduction over one tiny chunk per file, read from nowhere:
    what the cluster costs a computation of this shape by itself."""
    import dask.array as da

    zeros = da.zeros((len(paths), 8), chunks=(1, 8), name=f"zeros-{time.perf_counter_ns()}")  # never cached
    future = client.compute(zeros.mean(axis=0, dtype=np.float64))
    try:
        future.result()
    finally:
        future.release()


def readinto_split(paths, threads):
    """Every file read with one readinto into a fresh buffer, by `threads` threads."""
    def work(mine):
        for p in mine:
            buf = bytearray(os.path.getsize(p))
            with open(p, "rb", buffering=0) as f:
                f.readinto(buf)
    pool = [threading.Thread(target=work, args=(paths[i::threads],)) for i in range(threads)]
    for t in pool:
        t.start()
    for t in pool:
        t.join()


JOBS = [
    ("one_thread", "one thread: vondrel.read each file in turn, sum", one_thread),
    ("dask_sync", "vondrel.dask.read, one thread (synchronous scheduler)", dask_sync),
    ("dask_threads", f"vondrel.dask.read, threaded scheduler, {WORKERS} workers", dask_threads),
    ("dask_cluster", f"vondrel.dask.read, LocalCluster of {WORKERS} processes", dask_cluster),
    ("dask_cluster_untrimmed", "the same, workers without MALLOC_TRIM_THRESHOLD_", dask_cluster),
    ("dask_cluster_overhead", "the same cluster, a tiny chunk per file and no reading", cluster_overhead),
    ("readinto_1", "limit: readinto of each file, one thread", lambda paths, _: readinto_split(paths, 1)),
    ("readinto_2", "limit: readinto of each file, two threads", lambda paths, _: readinto_split(paths, 2)),
]
# (job, what, at least this many times the baseline's throughput)
TARGETS = [("dask_threads", "threaded scheduler, 2 workers", 1.5), ("dask_cluster", "LocalCluster, 2 processes", 1.3)]

CLUSTER = """On one machine of two cores, the LocalCluster's two workers share the cores
with the scheduler and the client (one more event loop each), and every task
is a round trip of messages between them.  A task's read and reduction take
no longer in a worker than in the client (measured with Client.run: about
4 ms to read a file, 3 ms to sum it); the overhead row is the cluster's own
cost for a computation of this shape with nothing to read, and it is more than half of
what the cluster adds over the threaded scheduler.  That cost is per
computation, not per byte: over a survey of many gigabytes it amortises,
while these 527 MB take a single thread a fraction of a second.  The
MALLOC_TRIM_THRESHOLD_ row shows what the nannies' allocator setting costs."""

SCALING = """What N machines would do: the work is independent per file (each task reads
whole traces of one file and reduces them; only the partial sums, ns numbers
each, cross the network), so a cluster of N machines reading files from their
own disks scales close to N times the one-machine figure, less the scheduler's
overhead of a few hundred microseconds per task (negligible at 64 MB chunks).
Reading from shared storage instead, the ceiling is the storage's aggregate
bandwidth: once N machines together ask for more than the file system
delivers, more machines add nothing, and the figure to compare with is the
storage's throughput, not the cores'.  The one serial step is planning: the
client probes every file (its first header and size, a few hundred bytes),
milliseconds for thousands of files on a local disk, one round trip each on
a network file system."""


@contextlib.contextmanager
def cluster(job):
    """A started LocalCluster's client for the cluster jobs (None for the
    others).  Dask's nannies start workers with MALLOC_TRIM_THRESHOLD_ set,
    which also fixes glibc's mmap threshold at 128 kB: every chunk's array
    is then fresh pages, faulted in one by one; `untrimmed` leaves glibc to
    its own policy, as in any other process."""
    if not job.startswith("dask_cluster"):
        yield None
        return
    import dask
    from distributed import Client, LocalCluster

    environ = "distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_"
    with dask.config.set({environ: None} if job.endswith("untrimmed") else {}), \
            LocalCluster(n_workers=WORKERS, threads_per_worker=1, processes=True, host="127.0.0.1",
                         dashboard_address=None) as local, Client(local) as client:
        client.run(lambda: __import__("vondrel.dask"))      # the workers' imports are start-up too
        yield client


def time_jobs(paths, repeat):
    want = one_thread(paths, None)
    results = {}
    for job, _, fn in JOBS:
        times = []
        with cluster(job) as client:
            for rep in range(repeat + 1):               # the first is the warm-up
                start = time.perf_counter()
                got = fn(paths, client)
                elapsed = time.perf_counter() - start
                if got is not None:
                    np.testing.assert_allclose(got, want, rtol=1e-9, atol=1e-12)
                if rep:
                    times.append(elapsed)
        results[job] = times
        print(f"  {job:24} {statistics.median(times):8.4f} s", flush=True)
    return results


def section(results, n_files, n, ns, size, repeat, load):
    base = statistics.median(results["one_thread"])
    lines = [SECTION, "", f"Load average (1 min) before and after the run: {load[0]:.1f} and {load[1]:.1f} on "
             f"{os.cpu_count()} cores; figures taken while other work shares the cores undersell the "
             "parallel jobs.", "",
             f"`./dev run python3.13 bench/many_files.py`: the mean trace of {n_files} SU files of {n:,} traces x "
             f"{ns:,} samples ({size / 1e6:,.0f} MB in all, page cache warm), median of {repeat} repetitions "
             "after a warm-up; the cluster is started before the clock. x one thread is the ratio of "
             "throughputs (above 1: faster than one thread calling vondrel.read on the files in turn). "
             "dask.distributed's nannies start workers with MALLOC_TRIM_THRESHOLD_=65536, which also fixes "
             "glibc's mmap threshold at 128 kB, so that every chunk's arrays are fresh pages faulted in one by "
             "one; the untrimmed cluster leaves glibc its own policy, as in the other jobs' process.", "",
             "| job | what | median s | spread | MB/s | x one thread |", "|---|---|---:|---:|---:|---:|"]
    for job, what, _ in JOBS:
        t = statistics.median(results[job])
        spread = (max(results[job]) - min(results[job])) / t
        lines.append(f"| {job} | {what} | {t:.4f} | {spread * 100:.0f}% | {size / t / 1e6:,.0f} | {base / t:.2f} |")
    lines += ["", "| target | reached | met |", "|---|---:|:---:|"]
    for job, what, goal in TARGETS:
        ratio = base / statistics.median(results[job])
        lines.append(f"| {what} >= {goal} x one thread | {ratio:.2f} x | {'yes' if ratio >= goal else 'no'} |")
    return "\n".join(lines + ["", CLUSTER, "", SCALING, ""])


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--quick", action="store_true", help="8 files of 500 traces; results.md is left alone")
    p.add_argument("--repeat", type=int, default=5, help="timed repetitions per job")
    args = p.parse_args()
    n_files, n, ns = (8, 500, 2000) if args.quick else (32, 2000, 2000)
    directory = Path(tempfile.mkdtemp(prefix="bench-many-", dir=HERE.parent / "build"))
    try:
        paths = make_files(directory, n_files, n, ns)
        size = sum(p.stat().st_size for p in paths)
        before = os.getloadavg()[0]
        results = time_jobs(paths, args.repeat)
        load = (before, os.getloadavg()[0])
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    text = section(results, n_files, n, ns, size, args.repeat, load)
    print()
    print(text)
    if not args.quick:
        run.record_section(BEGIN, END, BEGIN + "\n" + text + END + "\n")
        print(f"written to {HERE / 'results.md'}")


if __name__ == "__main__":
    sys.exit(main())
