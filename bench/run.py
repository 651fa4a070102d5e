"""The benchmark suite: vondrel.segy beside hand-rolled NumPy and the raw I/O limit.

    ./dev run python3.13 bench/run.py [--quick] [--repeat N] [--only NAME,...]

Two shapes, many small traces and fewer large ones; for each, the jobs
W1 (build and write), W2 (load), W3 (stream), W4 (write a built
collection) and A (whole files to and from arrays with vondrel.read and
vondrel.write, native and byte-swapped), each next to the NumPy way a user
would hand-roll it (a structured dtype with fromfile/tofile) and to the
limit (one readinto or write of the same bytes, and memcpy).  Every figure is the median of at least
five repetitions after a warm-up, in a process of its own (so that its peak
RSS, VmHWM of /proc/self/status, is its own), with the page cache warm, and
every job's output is checked.  Prints the table and writes bench/results.md.
Prints figures, asserts nothing about speed.
"""
import argparse
import filecmp
import io
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(ROOT / "tests"))
from segyfiles import HEADER_FIELDS, header  # noqa: E402  (struct-built headers, independent of the module)

DT = 4000
SHAPES = {"small": (400_000, 16), "large": (40_000, 2_000)}
# Header keyword defaults of SEGYTrace, so that the NumPy baseline writes the same bytes.
HEADER_DEFAULTS = dict(
    nvs=1, nhs=1, duse=2, scalel=1, scalco=1, counit=1, wevel=1, swevel=1, muts=-1, mute=-1,
    gain=1, igc=1, igi=1, corr=1, sfs=1, sfe=120, slen=10000, styp=3, stae=10000, tatyp=1,
    afils=1, nofils=1, lcs=1, hcs=1, year=1970, d1=1.0, d2=1.0, unscale=1.0,
)
STREAM_CHUNK = 4 << 20        # bytes per fromfile call of the hand-rolled streaming reader


# ---- the child: one job, timed in a process of its own ---------------------------------


def record_dtype(ns):
    return np.dtype([("h", "V240"), ("d", "<f4", (ns,))])


def header_numpy(order):
    """The trace header as a NumPy dtype in `order`, from the tests' struct layout."""
    kinds = {"i": "i4", "h": "i2", "H": "u2", "f": "f4"}
    return np.dtype([(name, order + kinds[code]) for name, code in HEADER_FIELDS] + [("unass", "V28")])


def peak_rss_bytes():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmHWM in /proc/self/status")


def fsync_close(f):
    f.flush()
    os.fsync(f.fileno())
    f.close()


class Ctx:
    """What a job knows: the shape, the files, the expected values."""

    def __init__(self, args):
        self.n, self.ns = args.n, args.ns
        self.dir = Path(args.dir)
        self.ref = self.dir / "ref.su"            # the collection file SEGY(rows, DT) writes
        self.ref_be = self.dir / "ref-be.su"      # the same traces as a big-endian SU file
        self.rows_path = self.dir / "rows.npy"
        self.out = self.dir / "out.su"
        self.checksum = args.checksum
        self.dtype = record_dtype(self.ns)
        self._rows = None

    @property
    def rows(self):
        if self._rows is None:
            self._rows = np.load(self.rows_path)
        return self._rows

    def template(self):
        raw = header(self.ns, dt=DT, ntr=self.n, **HEADER_DEFAULTS)
        return np.frombuffer(raw, dtype="V240")[0]

    def numpy_records(self):
        records = np.empty(self.n, dtype=self.dtype)
        records["h"] = self.template()
        records["d"] = self.rows
        return records

    def count_bytes(self):
        return self.n.to_bytes(4, "little")

    def check_out_file(self, _result=None):
        assert filecmp.cmp(self.out, self.ref, shallow=False), "written file differs from the reference"

    def check_out_be(self, _result=None):
        assert filecmp.cmp(self.out, self.ref_be, shallow=False), "written file differs from the big-endian one"

    def check_bytes(self, data):
        got = np.frombuffer(data, dtype=np.uint8)
        want = np.fromfile(self.ref, dtype=np.uint8)
        assert got.shape == want.shape and np.array_equal(got, want), "written bytes differ"


def unlink_out(ctx):
    ctx.out.unlink(missing_ok=True)


def jobs():
    """name -> (prepare(ctx) -> state, untimed; run(ctx, state) -> result, timed; check(ctx, result))."""
    from vondrel.segy import SEGY

    def rows(ctx):
        return ctx.rows

    def built(ctx):
        return SEGY(ctx.rows, DT)

    def records(ctx):
        return ctx.numpy_records()

    def open_out(ctx):
        unlink_out(ctx)
        return ctx.rows, open(ctx.out, "wb")

    def open_out_records(ctx):
        unlink_out(ctx)
        return ctx.numpy_records(), open(ctx.out, "wb")

    def ref_bytes(ctx):
        unlink_out(ctx)
        return np.fromfile(ctx.ref, dtype=np.uint8)

    def read_buffer(ctx):
        buf = np.empty(ctx.ref.stat().st_size, dtype=np.uint8)
        buf.fill(1)                       # fault the pages in: the limit is the copy alone
        return buf

    def copy_pair(ctx):
        src = np.fromfile(ctx.ref, dtype=np.uint8)
        dst = np.empty_like(src)
        dst.fill(1)
        return src, dst

    # -- W1
    def w1_build(ctx, a):
        return SEGY(a, DT)

    def check_w1_build(ctx, c):
        assert c.n_traces == ctx.n and c.in_memory
        traces = list(c)
        assert len(traces) == ctx.n
        for i in (0, ctx.n // 2, ctx.n - 1):
            t = traces[i]
            assert (t.ns, t.dt, t.ntr) == (ctx.ns, DT, ctx.n)
            assert np.shares_memory(np.asarray(t), ctx.rows[i])

    def w1_path(ctx, a):
        return SEGY(a, DT).to_file(str(ctx.out))

    def w1_object(ctx, state):
        a, f = state
        c = SEGY(a, DT).to_file(f)
        f.close()
        return c

    def np_w1_build(ctx, a):
        out = np.empty(ctx.n, dtype=ctx.dtype)
        out["h"] = ctx.template()
        out["d"] = a
        return out

    def check_np_build(ctx, out):
        assert out.tobytes() == ctx.ref.read_bytes()[4:]

    def np_w1_path(ctx, a):
        out = np_w1_build(ctx, a)
        f = open(ctx.out, "wb")
        f.write(ctx.count_bytes())
        out.tofile(f)
        fsync_close(f)

    def np_w1_object(ctx, state):
        a, f = state
        out = np_w1_build(ctx, a)
        f.write(ctx.count_bytes())
        out.tofile(f)
        f.close()

    # -- W2
    def w2_to_memory(ctx, _):
        return SEGY.from_file(str(ctx.ref)).to_memory()

    def check_w2_memory(ctx, c):
        assert c.in_memory and c.n_traces == ctx.n
        traces = list(c)
        assert len(traces) == ctx.n
        rows = np.load(ctx.rows_path, mmap_mode="r")
        for i in (0, ctx.n // 2, ctx.n - 1):
            assert np.array_equal(np.asarray(traces[i]), rows[i])

    def w2_array(ctx, _):
        c = SEGY.from_file(str(ctx.ref)).to_memory()
        return np.stack([np.asarray(t) for t in c])

    def check_array(ctx, a):
        assert a.flags.c_contiguous and np.array_equal(a, np.load(ctx.rows_path, mmap_mode="r"))

    def np_w2_records(ctx, _):
        with open(ctx.ref, "rb") as f:
            count = int.from_bytes(f.read(4), "little")
            return np.fromfile(f, dtype=ctx.dtype, count=count)

    def check_np_records(ctx, rec):
        assert rec.shape == (ctx.n,) and np.array_equal(rec["d"], np.load(ctx.rows_path, mmap_mode="r"))

    def np_w2_array(ctx, _):
        return np.ascontiguousarray(np_w2_records(ctx, None)["d"])

    def limit_read(ctx, buf):
        with open(ctx.ref, "rb", buffering=0) as f:
            got = f.readinto(buf)
        assert got == len(buf)
        return buf

    def chunk_buffer(ctx):
        buf = bytearray(1 << 20)
        return buf

    def limit_read_chunks(ctx, buf):
        total = 0
        with open(ctx.ref, "rb", buffering=0) as f:
            while got := f.readinto(buf):
                total += got
        return total

    def check_read_chunks(ctx, total):
        assert total == ctx.ref.stat().st_size

    def check_read(ctx, buf):
        ctx.check_bytes(buf)

    # -- W3
    def w3_memoryview(ctx, _):
        total = 0.0
        for t in SEGY.from_file(str(ctx.ref)):
            total += memoryview(t)[0]
        return total

    def w3_asarray(ctx, _):
        total = np.float64(0.0)             # float32 samples, added in double as memoryview's are
        asarray = np.asarray
        for t in SEGY.from_file(str(ctx.ref)):
            total += asarray(t)[0]
        return float(total)

    def check_sum(ctx, total):
        assert total == ctx.checksum, (total, ctx.checksum)

    def np_w3_chunks(ctx, _):
        total = 0.0
        chunk = max(1, STREAM_CHUNK // ctx.dtype.itemsize)
        with open(ctx.ref, "rb") as f:
            f.read(4)
            while True:
                rec = np.fromfile(f, dtype=ctx.dtype, count=chunk)
                if not len(rec):
                    break
                total += float(rec["d"][:, 0].sum(dtype=np.float64))
        return total

    def check_sum_close(ctx, total):
        assert abs(total - ctx.checksum) <= 1e-9 * max(1.0, abs(ctx.checksum)), (total, ctx.checksum)

    # -- W4
    def w4_to_file(ctx, c):
        unlink_out(ctx)
        return c.to_file(str(ctx.out))

    def prepare_w4_file(ctx):
        unlink_out(ctx)
        return SEGY(ctx.rows, DT)

    def prepare_np_w4_file(ctx):
        unlink_out(ctx)
        return ctx.numpy_records()

    def open_out_built(ctx):
        unlink_out(ctx)
        return SEGY(ctx.rows, DT), open(ctx.out, "wb")

    def w4_to_open_file(ctx, state):
        c, f = state
        c.to_file(f)
        f.close()
        return c

    def np_w4_to_open_file(ctx, state):
        out, f = state
        f.write(ctx.count_bytes())
        out.tofile(f)
        f.close()

    def w4_to_stream(ctx, c):
        b = io.BytesIO()
        c.to_stream(b)
        return b

    def check_stream(ctx, b):
        with b.getbuffer() as view:
            ctx.check_bytes(view)

    def np_w4_to_file(ctx, out):
        f = open(ctx.out, "wb")
        f.write(ctx.count_bytes())
        out.tofile(f)
        fsync_close(f)

    def np_w4_to_stream(ctx, out):
        b = io.BytesIO()
        b.write(ctx.count_bytes())
        b.write(out)
        return b

    def limit_write_path(ctx, data):
        f = open(ctx.out, "wb", buffering=0)
        f.write(data)
        os.fsync(f.fileno())
        f.close()

    def limit_write_object(ctx, data):
        with open(ctx.out, "wb", buffering=0) as f:
            f.write(data)

    def limit_memcpy(ctx, pair):
        src, dst = pair
        np.copyto(dst, src)
        return dst

    # -- A: whole files as arrays
    import vondrel

    def fresh_buffer(ctx):
        return ctx.ref.stat().st_size

    def limit_read_fresh(ctx, size):
        buf = np.empty(size, dtype=np.uint8)      # untouched: its pages fault in during the read
        with open(ctx.ref, "rb", buffering=0) as f:
            got = f.readinto(buf)
        assert got == size
        return buf

    def a_read(ctx, _):
        return vondrel.read(ctx.ref)

    def a_read_swapped(ctx, _):
        return vondrel.read(ctx.ref_be)

    def check_gather(ctx, g):
        assert g.samples.flags.c_contiguous and g.headers.flags.c_contiguous and len(g) == ctx.n
        assert np.array_equal(g.samples, np.load(ctx.rows_path, mmap_mode="r"))
        assert (g.headers["ns"] == ctx.ns).all() and (g.headers["ntr"] == ctx.n).all()

    def np_a_read(ctx, _):
        with open(ctx.ref, "rb") as f:
            f.read(4)
            rec = np.fromfile(f, dtype=[("h", header_numpy("<")), ("d", "<f4", (ctx.ns,))], count=ctx.n)
        return np.ascontiguousarray(rec["h"]), np.ascontiguousarray(rec["d"])

    def np_a_read_swapped(ctx, _):
        rec = np.fromfile(ctx.ref_be, dtype=[("h", header_numpy(">")), ("d", ">f4", (ctx.ns,))])
        return rec["h"].astype(header_numpy("<")), rec["d"].astype(np.float32)

    def check_np_pair(ctx, pair):
        headers, samples = pair
        assert np.array_equal(samples, np.load(ctx.rows_path, mmap_mode="r")) and (headers["ns"] == ctx.ns).all()

    def open_out_gather(ctx):
        unlink_out(ctx)
        return vondrel.read(ctx.ref), open(ctx.out, "wb")

    def a_write(ctx, state):
        g, f = state
        vondrel.write(f, g, format="collection", byteorder="<")
        f.close()

    def a_write_swapped(ctx, state):
        g, f = state
        vondrel.write(f, g, format="su", byteorder=">")
        f.close()

    def np_a_write(ctx, state):
        g, f = state
        rec = np.empty(ctx.n, dtype=[("h", header_numpy("<")), ("d", "<f4", (ctx.ns,))])
        rec["h"] = g.headers
        rec["d"] = g.samples
        f.write(ctx.count_bytes())
        rec.tofile(f)
        f.close()

    def nothing(ctx, _):
        return None

    def no_check(ctx, _):
        pass

    return {
        "interpreter": (lambda ctx: None, nothing, no_check),
        "w1_build": (rows, w1_build, check_w1_build),
        "w1_file_path": (lambda ctx: (unlink_out(ctx), ctx.rows)[1], w1_path, ctx_check_out),
        "w1_file_object": (open_out, w1_object, ctx_check_out),
        "np_w1_build": (rows, np_w1_build, check_np_build),
        "np_w1_file_path": (lambda ctx: (unlink_out(ctx), ctx.rows)[1], np_w1_path, ctx_check_out),
        "np_w1_file_object": (open_out, np_w1_object, ctx_check_out),
        "w2_to_memory": (lambda ctx: None, w2_to_memory, check_w2_memory),
        "w2_to_array": (lambda ctx: None, w2_array, check_array),
        "np_w2_fromfile": (lambda ctx: None, np_w2_records, check_np_records),
        "np_w2_to_array": (lambda ctx: None, np_w2_array, check_array),
        "w3_memoryview": (lambda ctx: None, w3_memoryview, check_sum),
        "w3_asarray": (lambda ctx: None, w3_asarray, check_sum),
        "np_w3_chunks": (lambda ctx: None, np_w3_chunks, check_sum_close),
        "w4_to_file": (prepare_w4_file, w4_to_file, ctx_check_out),
        "w4_to_stream": (built, w4_to_stream, check_stream),
        "np_w4_to_file": (prepare_np_w4_file, np_w4_to_file, ctx_check_out),
        "np_w4_to_stream": (records, np_w4_to_stream, check_stream),
        "w4_to_open_file": (open_out_built, w4_to_open_file, ctx_check_out),
        "np_w4_to_open_file": (open_out_records, np_w4_to_open_file, ctx_check_out),
        "limit_read": (read_buffer, limit_read, check_read),
        "limit_read_chunks": (chunk_buffer, limit_read_chunks, check_read_chunks),
        "limit_write_path": (ref_bytes, limit_write_path, ctx_check_out),
        "limit_write_object": (ref_bytes, limit_write_object, ctx_check_out),
        "limit_memcpy": (copy_pair, limit_memcpy, lambda ctx, dst: ctx.check_bytes(dst)),
        "a_read": (lambda ctx: None, a_read, check_gather),
        "np_a_read": (lambda ctx: None, np_a_read, check_np_pair),
        "a_read_swapped": (lambda ctx: None, a_read_swapped, check_gather),
        "np_a_read_swapped": (lambda ctx: None, np_a_read_swapped, check_np_pair),
        "a_write": (open_out_gather, a_write, ctx_check_out),
        "np_a_write": (open_out_gather, np_a_write, ctx_check_out),
        "a_write_swapped": (open_out_gather, a_write_swapped, lambda ctx, _: ctx.check_out_be()),
        "limit_read_fresh": (fresh_buffer, limit_read_fresh, check_read),
    }


def ctx_check_out(ctx, _result):
    ctx.check_out_file()


def child(args):
    ctx = Ctx(args)
    prepare, run, check = jobs()[args.job]
    times = []
    result = None
    for rep in range(args.repeat + 1):           # the first is the warm-up
        result = None                            # the previous result goes before the next is made
        state = prepare(ctx)
        start = time.perf_counter()
        result = run(ctx, state)
        elapsed = time.perf_counter() - start
        del state
        if rep:
            times.append(elapsed)
    peak = peak_rss_bytes()
    check(ctx, result)
    print(json.dumps({"job": args.job, "times": times, "peak_rss": peak}))


# ---- the parent: files, one child per job, the table ---------------------------------

# (job, what it is, figures it is compared with: (limit job, NumPy job))
TABLE = [
    ("W1", [
        ("w1_build", "SEGY(a, dt)", "limit_memcpy", "np_w1_build"),
        ("np_w1_build", "NumPy: structured array from a", "limit_memcpy", None),
        ("w1_file_path", "SEGY(a, dt).to_file(path), fsync", "limit_write_path", "np_w1_file_path"),
        ("np_w1_file_path", "NumPy: build + tofile(path), fsync", "limit_write_path", None),
        ("w1_file_object", "SEGY(a, dt).to_file(open file)", "limit_write_object", "np_w1_file_object"),
        ("np_w1_file_object", "NumPy: build + tofile(open file)", "limit_write_object", None),
    ]),
    ("W2", [
        ("w2_to_memory", "SEGY.from_file(p).to_memory()", "limit_read", "np_w2_fromfile"),
        ("np_w2_fromfile", "NumPy: fromfile(structured)", "limit_read", None),
        ("w2_to_array", "to_memory() + np.stack of the samples", "limit_read", "np_w2_to_array"),
        ("np_w2_to_array", "NumPy: fromfile + ascontiguousarray(d)", "limit_read", None),
    ]),
    ("W3", [
        ("w3_memoryview", "for t in from_file(p): memoryview(t)[0]", "limit_read", "np_w3_chunks"),
        ("w3_asarray", "for t in from_file(p): np.asarray(t)[0]", "limit_read", "np_w3_chunks"),
        ("np_w3_chunks", "NumPy: fromfile in 4 MB chunks", "limit_read", None),
    ]),
    ("W4", [
        ("w4_to_file", "built SEGY .to_file(path), fsync", "limit_write_path", "np_w4_to_file"),
        ("np_w4_to_file", "NumPy: tofile(path), fsync", "limit_write_path", None),
        ("w4_to_open_file", "built SEGY .to_file(open file)", "limit_write_object", "np_w4_to_open_file"),
        ("np_w4_to_open_file", "NumPy: tofile(open file)", "limit_write_object", None),
        ("w4_to_stream", "built SEGY .to_stream(BytesIO())", "limit_memcpy", "np_w4_to_stream"),
        ("np_w4_to_stream", "NumPy: BytesIO().write(records)", "limit_memcpy", None),
    ]),
    ("A", [
        ("a_read", "vondrel.read(p): headers + samples arrays", "limit_read_fresh", "np_a_read"),
        ("np_a_read", "NumPy: fromfile + two ascontiguousarray", "limit_read_fresh", None),
        ("a_read_swapped", "vondrel.read(big-endian SU file)", "limit_read_fresh", "np_a_read_swapped"),
        ("np_a_read_swapped", "NumPy: fromfile('>') + astype native", "limit_read_fresh", None),
        ("a_write", "vondrel.write(open file, g)", "limit_write_object", "np_a_write"),
        ("np_a_write", "NumPy: records from g + tofile", "limit_write_object", None),
        ("a_write_swapped", "vondrel.write(open file, g, byteorder='>')", "limit_write_object", "np_a_write"),
    ]),
    ("limits", [
        ("limit_read", "one readinto of the file (cached)", None, None),
        ("limit_read_fresh", "one readinto into a fresh buffer", None, None),
        ("limit_read_chunks", "readinto 1 MB at a time, one buffer", None, None),
        ("limit_write_object", "one write of the file bytes", None, None),
        ("limit_write_path", "one write + fsync", None, None),
        ("limit_memcpy", "memcpy of the file bytes", None, None),
        ("interpreter", "interpreter + numpy + vondrel.segy", None, None),
    ]),
]

# (shape, job, figure, target, what)
TARGETS = [
    ("large", "w1_file_object", "numpy", 0.9, "W1 to an open file >= 0.9 x NumPy tofile"),
    ("large", "w4_to_file", "numpy", 0.9, "W4 to_file >= 0.9 x NumPy tofile"),
    ("large", "w4_to_stream", "numpy", 0.9, "W4 to_stream >= 0.9 x NumPy to BytesIO"),
    ("large", "w2_to_memory", "limit", 0.5, "W2 to_memory >= 0.5 x read limit"),
    ("large", "w3_memoryview", "limit", 0.4, "W3 memoryview >= 0.4 x read limit"),
    ("small", "w2_to_memory", "traces", 3e6, "W2 to_memory >= 3 M traces/s"),
    ("small", "w3_memoryview", "traces", 2e6, "W3 memoryview >= 2 M traces/s"),
    ("small", "w1_build", "traces", 2e6, "W1 build >= 2 M rows/s"),
    ("small", "a_read", "fresh", 0.75, "A read >= 0.75 x fresh-buffer read"),
    ("large", "a_read", "fresh", 0.85, "A read >= 0.85 x fresh-buffer read"),
    ("small", "a_read_swapped", "fresh", 0.5, "A read, byte-swapped >= 0.5 x fresh-buffer read"),
    ("large", "a_read_swapped", "fresh", 0.5, "A read, byte-swapped >= 0.5 x fresh-buffer read"),
    ("small", "a_write", "write", 0.65, "A write to an open file >= 0.65 x one write"),
    ("large", "a_write", "write", 0.8, "A write to an open file >= 0.8 x one write"),
]


def make_files(directory, n, ns):
    """rows.npy (the 2-D float32 input) and ref.su (its collection file, built with NumPy)."""
    rows = np.random.default_rng(7).standard_normal((n, ns), dtype=np.float32)
    np.save(directory / "rows.npy", rows)
    records = np.empty(n, dtype=record_dtype(ns))
    records["h"] = np.frombuffer(header(ns, dt=DT, ntr=n, **HEADER_DEFAULTS), dtype="V240")[0]
    records["d"] = rows
    with open(directory / "ref.su", "wb") as f:
        f.write(n.to_bytes(4, "little"))
        records.tofile(f)
    big = np.empty(n, dtype=[("h", header_numpy(">")), ("d", ">f4", (ns,))])
    big["h"] = records["h"].view(header_numpy("<"))
    big["d"] = rows
    big.tofile(directory / "ref-be.su")
    checksum = 0.0
    for x in rows[:, 0].tolist():            # the order W3 adds them in
        checksum += x
    return checksum


def warm(path):
    with open(path, "rb", buffering=0) as f:
        while f.read(16 << 20):
            pass


def copy_loop(src, dst, chunk=1 << 20):
    """The plain copy that conversions are held against: `chunk` bytes at a
    time by readinto and write, unbuffered."""
    buf = bytearray(chunk)
    view = memoryview(buf)
    with open(src, "rb", buffering=0) as fin, open(dst, "wb", buffering=0) as fout:
        while n := fin.readinto(buf):
            fout.write(view[:n])


def segyio_available():
    try:
        import segyio  # noqa: F401
    except ImportError:
        return False
    return True


def record_section(begin, end, text):
    """Puts a benchmark's section (text, from its begin marker to its end
    marker and a newline) into results.md in place of the one there, or at
    the end."""
    path = HERE / "results.md"
    old = path.read_text() if path.exists() else ""
    if begin in old:
        path.write_text(old[:old.index(begin)] + text + old[old.index(end) + len(end):].lstrip("\n"))
    else:
        path.write_text(old.rstrip("\n") + "\n\n" + text)


def publish(args, begin, end, section, lines):
    """Prints a benchmark's section (the lines between its markers) and,
    unless the run was --quick, puts it into results.md."""
    text = "\n".join([*section, *lines, end]) + "\n"
    print(text)
    if not args.quick:
        record_section(begin, end, text)
        print(f"written to {HERE / 'results.md'}")


def child_or_parent(doc, quick_help, child, parent, extra=()):
    """The command line of a benchmark that runs each job in a child
    process of itself: --quick, --repeat (at least 5), and the hidden
    options a child is given (--child, --dir and `extra`)."""
    p = argparse.ArgumentParser(description=doc.splitlines()[0])
    p.add_argument("--quick", action="store_true", help=quick_help)
    p.add_argument("--repeat", type=int, default=5, help="timed repetitions per job (at least 5)")
    for name in ("--child", "--dir", *extra):
        p.add_argument(name, help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.repeat < 5:
        p.error("--repeat must be at least 5")
    child(args) if args.child else parent(args)


def run_child(job, n, ns, directory, checksum, repeat):
    cmd = [sys.executable, str(Path(__file__).resolve()), "--child", job, "--n", str(n), "--ns", str(ns),
           "--dir", str(directory), "--checksum", repr(checksum), "--repeat", str(repeat)]
    done = subprocess.run(cmd, capture_output=True, text=True)
    if done.returncode != 0:
        sys.stderr.write(done.stderr)
        raise SystemExit(f"job {job} failed")
    return json.loads(done.stdout.strip().splitlines()[-1])


def machine():
    """The machine and the versions, for the record (lscpu, or /proc/cpuinfo where lscpu cannot see /sys)."""
    cpu = {}
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
    except OSError:
        out = ""
    for line in out.splitlines():
        key, _, value = line.partition(":")
        cpu.setdefault(key.strip(), value.strip())
    if "Model name" not in cpu:
        with open("/proc/cpuinfo") as f:
            for line in f:
                key, _, value = line.partition(":")
                cpu.setdefault({"model name": "Model name"}.get(key.strip(), key.strip()), value.strip())

    mem = "?"
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemTotal:"):
                mem = f"{int(line.split()[1]) / 1024 / 1024:.1f} GiB"
    try:
        cxx = subprocess.run(["g++", "--version"], capture_output=True, text=True).stdout.splitlines()[0]
    except (OSError, IndexError):
        cxx = "?"
    return {
        "CPU": cpu.get("Model name", "?"),
        "cores": cpu.get("CPU(s)", str(os.cpu_count())),
        "memory": mem,
        "kernel": platform.release(),
        "Python": platform.python_version(),
        "NumPy": np.__version__,
        "compiler": cxx,
    }


def fmt_rate(x):
    return f"{x / 1e6:,.2f} M" if x >= 1e6 else f"{x / 1e3:,.1f} k"


# Jobs that move no file bytes: the interpreter alone, and building a collection
# that takes the rows in place.  A bytes-per-second figure (or a ratio to a copy
# limit) means nothing for them; nor does traces per second for the interpreter
# or for the limits, which handle bytes, not traces.
MOVES_NO_BYTES = {"interpreter", "w1_build"}


def rates(job, n, size, t):
    """(MB/s, traces/s) as shown for `job`, each empty where it means nothing."""
    mbps = "" if job in MOVES_NO_BYTES else f"{size / t / 1e6:,.0f}"
    traces = "" if job == "interpreter" or job.startswith("limit") else fmt_rate(n / t)
    return mbps, traces


def table(shape, n, ns, size, results):
    base = results["interpreter"]["peak_rss"]
    lines = [
        f"### {shape}: {n:,} traces x {ns:,} samples, file {size / 1e6:,.1f} MB",
        "",
        "| job | what | median s | spread | MB/s | traces/s | peak RSS MB (+ over interpreter) "
        "| x limit | x NumPy |",
        "|---|---|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for group, rows in TABLE:
        for job, what, limit, numpy_job in rows:
            r = results[job]
            t = r["median"]
            spread = (max(r["times"]) - min(r["times"])) / t if t else 0.0
            rate, traces = rates(job, n, size, t)
            vs_limit = f"{results[limit]['median'] / t:.2f}" if limit and job not in MOVES_NO_BYTES else ""
            vs_numpy = f"{results[numpy_job]['median'] / t:.2f}" if numpy_job else ""
            rss = r["peak_rss"]
            extra = f"{rss / 1e6:,.0f} (+{(rss - base) / 1e6:,.1f})"
            shown = f"{t:.4f}" if job != "interpreter" else ""
            if job == "interpreter":
                spread = 0.0
            lines.append(f"| {group} {job} | {what} | {shown} | {f"{spread * 100:.0f}%" if job != "interpreter" else ""} | {rate} | {traces} "
                         f"| {extra} | {vs_limit} | {vs_numpy} |")
    return lines


def target_lines(shapes, all_results):
    lines = ["| shape | target | reached | met |", "|---|---|---:|:---:|"]
    for shape, job, figure, goal, what in TARGETS:
        if shape not in all_results:
            continue
        results, (n, ns, size) = all_results[shape], shapes[shape]
        t = results[job]["median"]
        if figure == "numpy":
            numpy_job = next(nj for _, rows in TABLE for j, _, _, nj in rows if j == job)
            value = results[numpy_job]["median"] / t
            shown = f"{value:.2f} x NumPy"
        elif figure in ("fresh", "write"):
            limit = results["limit_read_fresh" if figure == "fresh" else "limit_write_object"]["median"]
            value = limit / t
            shown = f"{value:.2f} x limit"
        elif figure == "limit":
            value = results["limit_read"]["median"] / t
            shown = (f"{value:.2f} x limit ({results['limit_read_chunks']['median'] / t:.2f} x "
                     "chunked readinto)")
        else:
            value = n / t
            shown = f"{value / 1e6:.2f} M/s"
        lines.append(f"| {shape} | {what} | {shown} | {'yes' if value >= goal else 'no'} |")
    for shape, results in all_results.items():
        n, ns, size = shapes[shape]
        base = results["interpreter"]["peak_rss"]
        stream = results["w3_memoryview"]["peak_rss"] - base
        lines.append(f"| {shape} | W3 peak RSS within 10 MB of the interpreter's | +{stream / 1e6:.1f} MB "
                     f"| {'yes' if stream <= 10e6 else 'no'} |")
        arrays = results["a_read"]["peak_rss"] - base
        result = n * (240 + 4 * ns + 8)          # headers, samples, trace boundaries
        lines.append(f"| {shape} | A read peak <= its arrays + 16 MB ({(result + 16e6) / 1e6:,.1f} MB) "
                     f"| +{arrays / 1e6:,.1f} MB | {'yes' if arrays <= result + 16e6 else 'no'} |")
        held = results["w2_to_memory"]["peak_rss"] - base
        allowed = size + 400 * n
        lines.append(f"| {shape} | to_memory holds <= file + 400 B/trace ({allowed / 1e6:,.1f} MB) "
                     f"| +{held / 1e6:,.1f} MB | {'yes' if held <= allowed else 'no'} |")
    return lines


def parent(args):
    scale = 10 if args.quick else 1
    shapes = {name: (n // scale, ns) for name, (n, ns) in SHAPES.items()}
    wanted = set(args.only.split(",")) if args.only else None
    build = ROOT / "build"
    build.mkdir(exist_ok=True)
    info = machine()
    for k, v in info.items():
        print(f"{k:10} {v}")
    all_results, sizes = {}, {}
    directory = Path(tempfile.mkdtemp(prefix="bench-", dir=build))
    started = time.perf_counter()
    try:
        for shape, (n, ns) in shapes.items():
            for old in directory.iterdir():
                old.unlink()
            checksum = make_files(directory, n, ns)
            size = (directory / "ref.su").stat().st_size
            sizes[shape] = (n, ns, size)
            warm(directory / "ref.su")
            results = {}
            for _, rows in TABLE:
                for job, *_ in rows:
                    if wanted and job not in wanted and job not in ("interpreter",) \
                            and not job.startswith("limit"):
                        continue
                    for f in ("ref.su", "ref-be.su"):   # this machine pages out what has been cold for a while
                        warm(directory / f)
                    # Every job starts with nothing waiting to be written: the files just made, or a job
                    # before, would otherwise still be on their way to the disk while a job's fsync waits.
                    os.sync()
                    r = run_child(job, n, ns, directory, checksum, args.repeat)
                    r["median"] = statistics.median(r["times"])
                    results[job] = r
                    mbps, traces = rates(job, n, size, r["median"])
                    timed = "" if job == "interpreter" else f"{r['median']:9.4f} s"
                    print(f"  {shape:5} {job:20} {timed:>11}  {mbps:>9} {'MB/s' if mbps else '    '}"
                          f"  {traces:>10} {'traces/s' if traces else '        '}"
                          f"  peak {r['peak_rss'] / 1e6:7,.0f} MB", flush=True)
            all_results[shape] = results
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    if wanted:
        return
    lines = ["# vondrel.segy benchmark", "",
             f"`./dev run python3.13 bench/run.py{' --quick' if args.quick else ''}`: "
             f"median of {args.repeat} repetitions after a warm-up, one process per job, page cache warm, "
             "nothing waiting to be written to disk as a job starts (os.sync() before each). "
             "MB/s counts the collection file's bytes; x limit and x NumPy are ratios of medians "
             "(above 1: faster than the figure compared with). Peak RSS is the job process's VmHWM.",
             "", "## Machine", ""]
    lines += [f"- {k}: {v}" for k, v in info.items()]
    lines += ["", "## Targets", ""] + target_lines(sizes, all_results)
    lines += ["", "## Figures", ""]
    for shape, results in all_results.items():
        lines += table(shape, *sizes[shape], results) + [""]
    lines.append(f"Total run time {time.perf_counter() - started:.0f} s.")
    text = "\n".join(lines) + "\n"
    print()
    print(text)
    if not args.quick:
        results_md = HERE / "results.md"
        old = results_md.read_text() if results_md.exists() else ""
        kept = old.find("<!-- ")        # the sections of bench/segy.py and bench/many_files.py stay
        results_md.write_text(text + ("\n" + old[kept:] if kept >= 0 else ""))
        print(f"written to {results_md}")


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--quick", action="store_true", help="a tenth of each shape; results.md is left alone")
    p.add_argument("--repeat", type=int, default=5, help="timed repetitions per job (at least 5)")
    p.add_argument("--only", help="comma-separated jobs to run (with the limits and the interpreter)")
    p.add_argument("--child", help=argparse.SUPPRESS)
    p.add_argument("--n", type=int, help=argparse.SUPPRESS)
    p.add_argument("--ns", type=int, help=argparse.SUPPRESS)
    p.add_argument("--dir", help=argparse.SUPPRESS)
    p.add_argument("--checksum", type=float, help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.repeat < 5:
        p.error("--repeat must be at least 5")
    if args.child:
        args.job = args.child
        child(args)
    else:
        parent(args)


if __name__ == "__main__":
    main()
