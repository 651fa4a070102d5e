"""Writing collections with to_file and to_stream: bytes, modes, failures."""
import gc
import io
import os
import re
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import vondrel.segy
from conftest import build_native
from segyfiles import collection_bytes, header, parse_collection, trace_bytes, write_collection
from vondrel.segy import SEGY, SEGYTrace, _FileTraceIterator, _MemoryTraceIterator

# The header a trace gets from SEGYTrace(data, dt) with no other keyword.
DEFAULTS = dict(
    nvs=1, nhs=1, duse=2, scalel=1, scalco=1, counit=1, wevel=1, swevel=1, muts=-1, mute=-1, gain=1,
    igc=1, igi=1, corr=1, sfs=1, sfe=120, slen=10000, styp=3, stae=10000, tatyp=1, afils=1, nofils=1,
    lcs=1, hcs=1, year=1970, d1=1.0, d2=1.0, unscale=1.0,
)
A = np.array([1.5, -2.0, 3.25], np.float32)
B = np.arange(5, dtype=np.float32) / 7
# SEGY([A, B], 4000, fldr=3), built independently of the module.
EXPECTED = (struct.pack("<i", 2)
            + header(3, **{**DEFAULTS, "dt": 4000, "ntr": 2, "fldr": 3}) + A.tobytes()
            + header(5, **{**DEFAULTS, "dt": 4000, "ntr": 2, "fldr": 3}) + B.tobytes())
NO_RECORD = r"^SEGYTrace holds no trace record\.$"


@pytest.fixture(scope="module")
def client():
    return build_native("collection_client")


def built():
    return SEGY([A, B], 4000, fldr=3)


def modes(coll):
    return coll.on_disk, coll.in_memory, coll.is_iterator


def source_memory(tmp_path, client):
    return built()


def source_loaded(tmp_path, client):
    path = tmp_path / "src.su"
    path.write_bytes(EXPECTED)
    return SEGY.from_file(path).to_memory()


def source_iterator(tmp_path, client):
    return client.wrap(SEGY, _MemoryTraceIterator(list(built())))


def source_file_iterator(tmp_path, client):
    path = tmp_path / "src.su"
    path.write_bytes(EXPECTED)
    return client.wrap(SEGY, _FileTraceIterator(path, 2))


def source_disk(tmp_path, client):
    path = tmp_path / "src.su"
    path.write_bytes(EXPECTED)
    return SEGY.from_file(path)


WRITABLE = [source_memory, source_loaded, source_iterator, source_file_iterator]


def test_expected_bytes_are_what_the_format_says():
    assert len(EXPECTED) == 4 + 252 + 260 == 516


@pytest.mark.parametrize("source", WRITABLE)
def test_to_file_writes_the_collection_file_and_goes_on_disk(tmp_path, client, source, fd_count):
    coll = source(tmp_path, client)
    target = tmp_path / "out.su"
    assert coll.to_file(target) is coll
    assert target.read_bytes() == EXPECTED
    assert modes(coll) == (True, False, False) and coll.n_traces == 2
    target.write_bytes(collection_bytes([[9.0], [8.0]]))
    assert [np.asarray(t).tolist() for t in coll] == [[9.0], [8.0]]


@pytest.mark.parametrize("source", WRITABLE + [source_disk])
def test_to_stream_writes_the_same_bytes(tmp_path, client, source, fd_count):
    coll = source(tmp_path, client)
    before = modes(coll)
    buf = io.BytesIO()
    assert coll.to_stream(buf) is None
    assert buf.getvalue() == EXPECTED
    assert modes(coll) == ((False, False, False) if before[2] else before)


@pytest.mark.parametrize("source", WRITABLE)
def test_to_file_on_an_open_binary_file(tmp_path, client, source, fd_count):
    target = tmp_path / "out.su"
    with open(target, "wb") as f:
        f.write(b"lead")
        coll = source(tmp_path, client).to_file(f)
        assert not f.closed
    assert target.read_bytes() == b"lead" + EXPECTED
    assert modes(coll) == (True, False, False)


def test_to_file_on_disk_returns_at_once(tmp_path, fd_count):
    coll = source_disk(tmp_path, None)
    target = tmp_path / "never.su"
    assert coll.to_file(target) is coll
    assert not target.exists()


def test_to_stream_on_disk_writes_the_announced_traces(tmp_path):
    path = write_collection(tmp_path, [[1.0], [2.0, 3.0], [4.0]], count=2)
    buf = io.BytesIO()
    SEGY.from_file(path).to_stream(buf)
    assert buf.getvalue() == collection_bytes([[1.0], [2.0, 3.0]])


def test_stored_count_is_written_not_the_yield(client):
    traces = list(built())
    it = _MemoryTraceIterator(traces + [traces[0]])
    next(it)
    buf = io.BytesIO()
    client.wrap(SEGY, it).to_stream(buf)
    count, got = parse_collection(buf.getvalue())
    assert count == 3 and [h["ns"] for h, _ in got] == [5, 3]


def test_empty_collection_is_its_count(tmp_path):
    target = tmp_path / "empty.su"
    SEGY([], 4000).to_file(target)
    assert target.read_bytes() == b"\0\0\0\0"


def test_to_stream_to_a_path_and_to_a_descriptor(tmp_path, fd_count):
    built().to_stream(tmp_path / "p.su")
    assert (tmp_path / "p.su").read_bytes() == EXPECTED
    fd = os.open(tmp_path / "fd.su", os.O_WRONLY | os.O_CREAT)
    built().to_stream(fd)
    with pytest.raises(OSError):
        os.fstat(fd)  # closed by to_stream
    assert (tmp_path / "fd.su").read_bytes() == EXPECTED


class Nameless(io.BufferedWriter):
    @property
    def name(self):
        raise AttributeError("name")


class BadName(io.BufferedWriter):
    @property
    def name(self):
        raise ValueError("no name today")


def test_to_file_on_a_stream_without_name_leaves_no_mode(tmp_path, fd_count):
    with Nameless(io.FileIO(tmp_path / "n.su", "wb")) as f:
        coll = built().to_file(f)
    assert (tmp_path / "n.su").read_bytes() == EXPECTED
    assert modes(coll) == (False, False, False)


def test_to_file_name_error_propagates_before_writing(tmp_path, fd_count):
    coll = built()
    with BadName(io.FileIO(tmp_path / "n.su", "wb")) as f:
        with pytest.raises(ValueError, match=r"^no name today$"):
            coll.to_file(f)
    assert (tmp_path / "n.su").read_bytes() == b""
    assert modes(coll) == (False, True, False)


@pytest.mark.parametrize("method, arg, message", [
    ("to_file", 3, "expected str, bytes or os.PathLike object, not int"),
    ("to_file", None, "expected str, bytes or os.PathLike object, not NoneType"),
])
def test_to_file_refuses_what_fspath_refuses(method, arg, message, fd_count):
    coll = built()
    with pytest.raises(TypeError, match="^" + re.escape(message) + "$"):
        getattr(coll, method)(arg)
    assert modes(coll) == (False, True, False)


@pytest.mark.parametrize("call, message", [
    (lambda c: c.to_file(), "to_file() takes exactly 1 positional argument (0 given)"),
    (lambda c: c.to_file("a", "b"), "to_file() takes exactly 1 positional argument (2 given)"),
    (lambda c: c.to_file("a", path="a"), "to_file() got an unexpected keyword argument 'path'"),
    (lambda c: c.to_file("a", filename="b"), "to_file() got multiple values for keyword argument 'filename'"),
    (lambda c: c.to_stream(), "to_stream() takes exactly 1 positional argument (0 given)"),
    (lambda c: c.to_stream(io.BytesIO(), filename="a"), "to_stream() got an unexpected keyword argument 'filename'"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError, match="^" + re.escape(message) + "$"):
        call(built())


def test_keywords_by_name(tmp_path):
    built().to_file(filename=tmp_path / "a.su")
    built().to_stream(stream=tmp_path / "b.su")
    assert (tmp_path / "a.su").read_bytes() == (tmp_path / "b.su").read_bytes() == EXPECTED


@pytest.mark.parametrize("method", ["to_file", "to_stream"])
@pytest.mark.parametrize("index", [0, 1])
@pytest.mark.parametrize("bad, exc, message", [
    (None, TypeError, r"^Cannot convert NoneType to vondrel\.segy\.SEGYTrace$"),
    (SEGYTrace.__new__(SEGYTrace), ValueError, NO_RECORD),
], ids=["None", "no-record"])
def test_a_bad_item_fails_the_write_and_leaves_the_fields(tmp_path, client, method, index, bad, exc, message,
                                                          fd_count):
    traces = list(built())
    coll = client.wrap(SEGY, _MemoryTraceIterator(traces))
    traces[index] = bad  # after the iterator's own check
    with pytest.raises(exc, match=message):
        getattr(coll, method)(tmp_path / "x.su")
    assert modes(coll) == (False, False, True) and coll.n_traces == 2


@pytest.mark.parametrize("method", ["to_file", "to_stream"])
def test_a_trace_without_record_in_memory_is_refused(tmp_path, client, method, fd_count):
    coll = client.wrap(SEGY, _MemoryTraceIterator([*built(), SEGYTrace.__new__(SEGYTrace)])).to_memory()
    with pytest.raises(ValueError, match=NO_RECORD):
        getattr(coll, method)(tmp_path / "x.su")
    assert modes(coll) == (False, True, False)


FULL = "/dev/full"


@pytest.mark.skipif(not os.path.exists(FULL), reason="no /dev/full")
@pytest.mark.parametrize("rows", [0, 2, 3000], ids=["count-only", "small", "large"])
@pytest.mark.parametrize("how", ["path", "file", "stream", "stream-file"])
def test_a_full_device_raises_and_changes_nothing(rows, how, fd_count):
    coll = SEGY(np.ones((rows, 250), np.float32), 4000) if rows else SEGY([], 4000)
    with pytest.raises(OSError):
        if how == "path":
            coll.to_file(FULL)
        elif how == "stream":
            coll.to_stream(FULL)
        else:
            with open(FULL, "wb", buffering=0) as f:
                getattr(coll, "to_file" if how == "file" else "to_stream")(f)
    assert modes(coll) == (False, True, False) and coll.n_traces == rows


@pytest.mark.skipif(not os.environ.get("VONDREL_SMALL_FS"), reason="no small file system")
def test_a_full_file_system_raises(fd_count):
    target = os.path.join(os.environ["VONDREL_SMALL_FS"], "big.su")
    coll = SEGY(np.ones((5000, 1000), np.float32), 4000)  # 21 MB
    try:
        with pytest.raises(OSError):
            coll.to_file(target)
        assert modes(coll) == (False, True, False)
    finally:
        if os.path.exists(target):
            os.unlink(target)


# ---- large collections: from the records to the file, as the stream would write them -----------
# to_file writes through a stdio stream that the bridge lends with a 256 KiB buffer; a large
# collection of large traces skips the copy into that buffer, but its bytes must reach the file
# in the same blocks, and a failing block must fail on behalf of the same piece (the count, a
# header, samples), or, when it is the last, at the stream's release.
BLOCK = 256 * 1024


def large(n, ns):
    """SEGY(rows, 4000, fldr=3) of n distinct traces of ns samples, and its file's bytes built
    independently of the module."""
    rows = (np.arange(n * ns, dtype=np.float32) / 7).reshape(n, ns)
    head = header(ns, **{**DEFAULTS, "dt": 4000, "ntr": n, "fldr": 3})
    return SEGY(rows, 4000, fldr=3), struct.pack("<i", n) + b"".join(head + row.tobytes() for row in rows)


def failing_piece(ns, at):
    """The message of the piece of a collection of traces of ns samples that holds byte `at`."""
    within = (at - 4) % (240 + 4 * ns) if at >= 4 else -1
    return (r"^Error writing trace count to file\.$" if within < 0 else
            r"^Error writing trace header to file\.$" if within < 240 else r"^Error writing trace data to file\.$")


def pipe_out(coll, reader_output):
    """coll.to_file(the write end of a pipe that a child process copies into reader_output)."""
    child = subprocess.Popen([sys.executable, "-c", "import shutil, sys; shutil.copyfileobj(sys.stdin.buffer, "
                              "sys.stdout.buffer)"], stdin=subprocess.PIPE, stdout=reader_output)
    try:
        with open(child.stdin.fileno(), "wb", buffering=0, closefd=False) as f:
            coll.to_file(f)
    finally:
        child.stdin.close()
        child.wait()


@pytest.mark.parametrize("n, ns", [(300, 980), (40, 8192), (20, 65535), (1500, 1100)])
@pytest.mark.parametrize("how", ["path", "after a lead", "append", "pipe"])
def test_a_large_collection_reaches_the_file_byte_for_byte(tmp_path, n, ns, how, fd_count):
    coll, expected = large(n, ns)
    target = tmp_path / "out.su"
    if how == "path":
        coll.to_file(target)
        assert target.read_bytes() == expected
    elif how == "after a lead":
        with open(target, "w+b") as f:
            f.write(b"lead")
            coll.to_file(f)
            assert f.tell() == 4 + len(expected)
            f.write(b"tail")
        assert target.read_bytes() == b"lead" + expected + b"tail"
    elif how == "append":
        target.write_bytes(b"old")
        with open(target, "ab", buffering=0) as f:
            coll.to_file(f)
        assert target.read_bytes() == b"old" + expected
    else:
        with open(target, "wb") as out:
            pipe_out(coll, out)
        assert target.read_bytes() == expected
    assert modes(coll) == (True, False, False)


@pytest.mark.skipif(not os.path.exists(FULL), reason="no /dev/full")
@pytest.mark.parametrize("ns", [980, 2000, 65535], ids=["header", "samples", "largest"])
@pytest.mark.parametrize("how", ["path", "file"])
def test_a_large_collection_fails_on_the_piece_the_stream_would_name(ns, how, fd_count):
    coll, _ = large(max(2, (1 << 20) // (4 * ns) + 1), ns)
    with pytest.raises(OSError, match=failing_piece(ns, BLOCK)) as caught:
        if how == "path":
            coll.to_file(FULL)
        else:
            with open(FULL, "wb", buffering=0) as f:
                coll.to_file(f)
    assert caught.value.errno is None
    assert modes(coll) == (False, True, False)


@pytest.mark.skipif(not os.environ.get("VONDREL_SMALL_FS"), reason="no small file system")
@pytest.mark.parametrize("n", [2037, 2100], ids=["ends in the first block that fails", "ends after it"])
def test_a_large_collection_on_a_full_file_system_fails_where_the_stream_would(n, fd_count):
    # The small file system holds 64 blocks: the 65th fails, at the stream's release when the
    # file ends in it, else on the piece that holds the first byte after it.
    target = os.path.join(os.environ["VONDREL_SMALL_FS"], "big.su")
    coll, _ = large(n, 2000)
    size = 4 + n * 8240
    capacity = os.statvfs(os.environ["VONDREL_SMALL_FS"]).f_bavail * os.statvfs(os.environ["VONDREL_SMALL_FS"]).f_frsize
    if capacity != 64 * BLOCK:
        pytest.skip(f"the small file system holds {capacity} bytes, not 64 blocks")
    try:
        with pytest.raises(OSError) as caught:
            coll.to_file(target)
        if size <= 65 * BLOCK:
            assert (caught.value.errno, caught.value.strerror) == (28, "No space left on device")
        else:
            assert caught.value.errno is None and re.match(failing_piece(2000, 65 * BLOCK), str(caught.value))
        assert os.path.getsize(target) == 64 * BLOCK
    finally:
        if os.path.exists(target):
            os.unlink(target)


def test_a_large_collection_stops_before_a_trace_whose_samples_went_missing(tmp_path, fd_count):
    segy_client = build_native("segy_client")
    coll, expected = large(400, 2000)
    traces = list(coll)
    broken, left = segy_client.from_trace(header(2000), np.ones(2000, np.float32).tobytes(), 0, 0, 2)
    left.detach_data()
    traces[300] = broken
    whole = _MemoryTraceIterator(traces).to_memory()
    target = tmp_path / "out.su"
    with pytest.raises(OSError, match=r"^Error writing trace data to file\.$"):
        whole.to_file(target)
    assert target.read_bytes() == expected[:4 + 300 * 8240]
    assert modes(whole) == (False, True, False)
    del whole, traces, broken
    del left


class FailingOs:
    fspath = staticmethod(os.fspath)

    @staticmethod
    def fsync(fd):
        raise OSError(5, "fsync refused")


def test_fsync_failure_raises_and_changes_nothing(tmp_path, monkeypatch, fd_count):
    monkeypatch.setattr(vondrel.segy, "os", FailingOs)
    coll = built()
    with pytest.raises(OSError, match=r"^\[Errno 5\] fsync refused$"):
        coll.to_file(tmp_path / "x.su")
    assert modes(coll) == (False, True, False)


def test_fsync_only_for_files_it_opened(tmp_path, monkeypatch):
    monkeypatch.setattr(vondrel.segy, "os", FailingOs)
    with open(tmp_path / "x.su", "wb") as f:
        built().to_file(f)
    assert (tmp_path / "x.su").read_bytes() == EXPECTED


class Recorder:
    def __init__(self, fail_on=None):
        self.calls, self.fail_on = [], fail_on

    def write(self, b):
        self.calls.append(("write", bytes(b)))
        if self.fail_on == "write" and len(self.calls) == 3:
            raise OSError("write refused")

    def flush(self):
        self.calls.append(("flush",))
        if self.fail_on == "flush":
            raise OSError("flush refused")


def test_to_stream_makes_two_writes_per_trace_then_one_flush():
    rec = Recorder()
    built().to_stream(rec)
    assert [c[0] for c in rec.calls] == ["write"] * 5 + ["flush"]
    assert b"".join(c[1] for c in rec.calls[:-1]) == EXPECTED
    assert all(type(c[1]) is bytes for c in rec.calls[:-1])


def test_to_stream_writes_a_trace_as_it_stood_when_its_first_write_came():
    trace = next(iter(SEGY([np.arange(1000)], 4000)))
    chunks, reuse = [], []

    class Reinitialising:
        def write(self, b):
            chunks.append(b)
            if len(chunks) == 2:
                trace.__init__([2.0], 1)  # releases the record being written ...
                reuse.append(SEGYTrace(np.full(1000, -1, np.float32), 1))   # ... for this one

        def flush(self):
            pass

    _MemoryTraceIterator([trace]).to_stream(Reinitialising())
    assert b"".join(chunks) == struct.pack("<i", 1) + trace_bytes(np.arange(1000), **DEFAULTS, dt=4000, ntr=1)


@pytest.mark.parametrize("fail_on, message", [("write", "write refused"), ("flush", "flush refused")])
def test_to_stream_errors_propagate(fail_on, message, client):
    coll = client.wrap(SEGY, _MemoryTraceIterator(list(built())))
    with pytest.raises(OSError, match="^" + message + "$"):
        coll.to_stream(Recorder(fail_on))
    assert modes(coll) == (False, False, True)


@pytest.mark.skipif(bool(os.environ.get("VONDREL_SANITIZERS")), reason="RSS is meaningless under sanitizers")
def test_streaming_a_large_file_keeps_one_trace_alive(tmp_path):
    ns, n = 1000, 75_000  # about 318 MB
    path = tmp_path / "large.su"
    block = b"".join(trace_bytes(np.full(ns, i, np.float32), tracl=i) for i in range(100))
    with open(path, "wb") as f:
        f.write(struct.pack("<i", n))
        for _ in range(n // 100):
            f.write(block)
    size = path.stat().st_size
    try:
        script = textwrap.dedent(f"""
            import os
            from vondrel.segy import SEGY
            coll = SEGY.from_file({str(path)!r})
            total = sum(t.ns for t in coll)
            coll.to_stream(os.devnull)
            # This process's own high-water mark (ru_maxrss would include
            # the parent's size at fork).
            with open("/proc/self/status") as status:
                hwm = next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
            print(total, hwm * 1024)
        """)
        out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
        total, peak = map(int, out.split())
        assert total == ns * n
        assert peak < size / 4, f"peak RSS {peak} for a file of {size} bytes"
    finally:
        path.unlink()


def cycle(tmp_path, client):
    """One round of every collection path, failures included."""
    target = tmp_path / "cycle.su"
    built().to_file(target)
    SEGY.from_file(target).to_memory().to_stream(io.BytesIO())
    SEGY.from_file(target).to_stream(io.BytesIO())
    _FileTraceIterator(target, 2).to_file(tmp_path / "again.su")
    _MemoryTraceIterator(list(built())).to_stream(io.BytesIO())
    with open(target, "rb") as f:
        list(SEGY.from_file(f))
    for bad in (lambda: built().to_file(FULL), lambda: built().to_stream(FULL),
                lambda: SEGY.from_file(write_collection(tmp_path, [[1.0]], count=2, name="short.su")).to_memory(),
                lambda: client.wrap(SEGY, _MemoryTraceIterator([SEGYTrace.__new__(SEGYTrace)])).to_file(target),
                lambda: SEGY([A, np.ones((2, 2))], 4000), lambda: SEGY.__new__(SEGY).to_memory()):
        try:
            bad()
        except (OSError, TypeError, ValueError):
            pass


@pytest.mark.skipif(not os.path.exists(FULL), reason="no /dev/full")
def test_repeated_cycles_leak_no_objects_and_no_descriptors(tmp_path, client, fd_count):
    for _ in range(20):
        cycle(tmp_path, client)
    gc.collect()
    objects = len(gc.get_objects())
    fds = len(os.listdir("/proc/self/fd"))
    holders = sys.getrefcount(A), sys.getrefcount(B)  # every built trace holds A or B
    for _ in range(200):
        cycle(tmp_path, client)
    gc.collect()
    assert len(os.listdir("/proc/self/fd")) == fds
    assert (sys.getrefcount(A), sys.getrefcount(B)) == holders
    assert len(gc.get_objects()) - objects < 50
