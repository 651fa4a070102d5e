import contextlib
import gc
import io
import os
import re
import subprocess
import sys
import textwrap
import types
import weakref
from pathlib import Path

import numpy as np
import pytest

import vondrel.segy as segy
from vondrel.segy import _FileTraceIterator, _isfileobject
from conftest import build_native, open_fds
from segyfiles import collection_bytes, header, trace_bytes, write_collection

HEADER_SHORT = r"^Unable to read trace header from file\.$"
SAMPLES_SHORT = r"^Unable to read expected number of trace samples\.$"
SAMPLES = [[1.5, -2.0, 3.25], [4.0, 5.0, 6.0, 7.0, 8.0], [9.0]]


def exact(text):
    return "^" + re.escape(text) + "$"


def samples_of(trace):
    return np.asarray(memoryview(trace)).tolist()


@pytest.fixture
def three(tmp_path):
    return write_collection(tmp_path, SAMPLES)


class FileIt(_FileTraceIterator):
    pass


class CloseFails(io.FileIO):
    """A file whose close() closes and then raises."""

    def close(self):
        super().close()
        raise OSError("close failed")


class NoFileno(io.BufferedReader):
    def fileno(self):
        raise io.UnsupportedOperation("fileno")


@pytest.fixture
def close_fails(monkeypatch):
    """Makes the iterator's own open() return a CloseFails (open is looked up in the module first)."""
    monkeypatch.setattr(segy, "open", lambda path, mode: CloseFails(path, mode), raising=False)


@contextlib.contextmanager
def unraisable():
    """Collects what reaches sys.unraisablehook inside the block."""
    seen, hook = [], sys.unraisablehook
    sys.unraisablehook = seen.append
    try:
        yield seen
    finally:
        sys.unraisablehook = hook


def run_child(script, cwd, fake_bridge=False):
    """Runs `script` in a new interpreter, optionally with the failing stand-in bridge as vondrel._io."""
    prelude = ""
    if fake_bridge:
        built = build_native("iters_fake_bridge").__file__
        prelude = textwrap.dedent(f"""
            import importlib.util, sys
            spec = importlib.util.spec_from_file_location("iters_fake_bridge", {built!r})
            bridge = importlib.util.module_from_spec(spec)
            spec.loader.exec_module(bridge)
            import vondrel
            sys.modules["vondrel._io"] = bridge
        """)
    return subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(script)], cwd=cwd,
                          capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize("cls", [_FileTraceIterator, FileIt])
@pytest.mark.parametrize("as_path", [str, os.fsencode, Path])
def test_path_yields_count_traces_and_closes_with_the_last(three, fd_count, cls, as_path):
    it = cls(as_path(three), 3)
    assert open_fds() > fd_count
    got = []
    for _ in range(3):
        assert open_fds() > fd_count
        got.append(next(it))
    assert open_fds() == fd_count
    assert [samples_of(t) for t in got] == SAMPLES
    assert [t.ns for t in got] == [3, 5, 1]
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(it)


def test_read_header_is_the_file_header(tmp_path):
    raw = collection_bytes([trace_bytes([1.0, 2.0], dt=4000, ntr=7, tracl=-5)])
    (tmp_path / "one.su").write_bytes(raw)
    trace = next(_FileTraceIterator(tmp_path / "one.su", 1))
    assert samples_of(trace) == [1.0, 2.0]
    assert (trace.ns, trace.dt, trace.ntr) == (2, 4000, 7)


def test_count_below_the_file_stops_early(three, fd_count):
    it = _FileTraceIterator(three, 2)
    assert [samples_of(t) for t in it] == SAMPLES[:2]
    assert open_fds() == fd_count


@pytest.mark.parametrize("count", [5, -1, 2.0 ** 31 - 1])
def test_count_beyond_the_file_ends_with_the_read_error(three, fd_count, count):
    it = _FileTraceIterator(three, count)
    assert [samples_of(next(it)) for _ in range(3)] == SAMPLES
    with pytest.raises(OSError, match=HEADER_SHORT):
        next(it)
    assert open_fds() == fd_count
    # the stream is gone: below the count, the iteration is over
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(it)


@pytest.mark.parametrize("raw, message", [
    (b"", HEADER_SHORT),
    (b"\1\0", HEADER_SHORT),
    (collection_bytes([]) + header(3)[:10], HEADER_SHORT),
    (collection_bytes([]) + trace_bytes([1.0, 2.0, 3.0])[:-4], SAMPLES_SHORT),
    (collection_bytes([]) + header(0x100) + bytes(1020), SAMPLES_SHORT),
])
def test_short_files_raise_and_release(tmp_path, fd_count, raw, message):
    path = tmp_path / "short.su"
    path.write_bytes(raw)
    it = _FileTraceIterator(path, 1)
    with pytest.raises(OSError, match=message):
        next(it)
    assert open_fds() == fd_count


def test_header_with_256_samples_reads_1024_sample_bytes(tmp_path):
    data = np.arange(256, dtype="<f4")
    path = write_collection(tmp_path, [data, [7.0]])
    it = _FileTraceIterator(path, 2)
    assert samples_of(next(it)) == data.tolist()
    assert samples_of(next(it)) == [7.0]


def test_count_zero_keeps_the_file_until_dealoc(three, fd_count):
    it = _FileTraceIterator(three, 0)
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(it)
    assert open_fds() > fd_count
    assert it.__dealoc__() is None
    assert open_fds() == fd_count
    assert it.__dealoc__() is None


@pytest.mark.parametrize("after", [0, 1, 3])
def test_dealoc_releases_and_later_steps_stop(three, fd_count, after):
    it = _FileTraceIterator(three, 3)
    for _ in range(after):
        next(it)
    assert it.__dealoc__() is None
    assert open_fds() == fd_count
    assert it.__dealoc__() is None
    with pytest.raises(StopIteration):
        next(it)


def test_file_object_is_read_from_its_position_and_never_closed(three, fd_count):
    with open(three, "rb") as f:
        assert f.read(4) == b"\3\0\0\0"
        it = _FileTraceIterator(f, 2)
        assert [samples_of(t) for t in it] == SAMPLES[:2]
        assert not f.closed
        assert open_fds() == fd_count + 1
        f.seek(0)
        assert f.read(4) == b"\3\0\0\0"
    assert open_fds() == fd_count


def test_file_object_abandoned_or_dealoc_stays_open(three, fd_count):
    with open(three, "rb") as f:
        f.seek(4)
        it = _FileTraceIterator(f, 3)
        next(it)
        it.__dealoc__()
        assert not f.closed
        f.seek(4)
        it = _FileTraceIterator(f, 3)
        next(it)
        del it
        assert not f.closed
        assert open_fds() == fd_count + 1
    assert open_fds() == fd_count


def test_iterator_outliving_a_borrowed_file_closes_its_stream_quietly(three, fd_count):
    with unraisable() as seen:
        with open(three, "rb") as f:
            f.seek(4)
            it = _FileTraceIterator(f, 3)
            next(it)
        del it
        gc.collect()
    assert seen == [] and open_fds() == fd_count


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((), {}, TypeError, "__init__() takes exactly 2 positional arguments (0 given)"),
    (("x",), {}, TypeError, "__init__() takes exactly 2 positional arguments (1 given)"),
    (("x", 1, 2), {}, TypeError, "__init__() takes exactly 2 positional arguments (3 given)"),
    ((), {"file": "x"}, TypeError, "__init__() takes exactly 2 positional arguments (1 given)"),
    ((), {"n_traces": 1}, TypeError, "__init__() takes exactly 2 positional arguments (0 given)"),
    (("x",), {"n_traces": 1, "mode": "rb"}, TypeError, "__init__() got an unexpected keyword argument 'mode'"),
    (("x", 1), {"file": "x"}, TypeError, "__init__() got multiple values for keyword argument 'file'"),
    (("/nonexistent/x", "3"), {}, TypeError, "an integer is required"),
    (("/nonexistent/x", None), {}, TypeError, "an integer is required"),
    (("/nonexistent/x", 2 ** 31), {}, OverflowError, "value too large to convert to int"),
    (("/nonexistent/x", -2 ** 31 - 1), {}, OverflowError, "value too large to convert to int"),
    ((3, 1), {}, TypeError, "expected str, bytes or os.PathLike object, not int"),
    ((None, 1), {}, TypeError, "expected str, bytes or os.PathLike object, not NoneType"),
])
def test_construction_errors_open_nothing(fd_count, args, kwargs, error, message):
    with pytest.raises(error, match=exact(message)):
        _FileTraceIterator(*args, **kwargs)


def test_missing_path_raises_the_open_error(tmp_path, fd_count):
    with pytest.raises(FileNotFoundError):
        _FileTraceIterator(tmp_path / "missing.su", 1)


def test_count_truncates_a_float_and_takes_keywords(three):
    assert len(list(_FileTraceIterator(n_traces=2.9, file=three))) == 2


def test_path_goes_through_the_module_os_binding(three, monkeypatch):
    seen = []
    fake_os = types.SimpleNamespace(fspath=lambda p: seen.append(p) or os.fspath(p))
    monkeypatch.setattr(segy, "os", fake_os)
    it = _FileTraceIterator(Path(three), 1)
    assert seen == [Path(three)]
    next(it)


def test_reinit_releases_what_the_first_init_took(three, tmp_path, fd_count):
    other = write_collection(tmp_path, [[5.0]], name="other.su")
    it = _FileTraceIterator(three, 3)
    it.__init__(other, 1)
    assert samples_of(next(it)) == [5.0]
    assert open_fds() == fd_count


@pytest.mark.parametrize("cls", [_FileTraceIterator, FileIt])
@pytest.mark.parametrize("steps", [0, 1, 2])
def test_abandoned_iterator_releases_stream_and_file(three, fd_count, cls, steps):
    it = cls(three, 3)
    for _ in range(steps):
        next(it)
    del it
    assert open_fds() == fd_count


def test_abandoned_iterator_in_a_cycle_is_released_by_the_collector(three, fd_count):
    it = FileIt(three, 3)
    next(it)
    it.loop = it
    alive = weakref.ref(it)
    del it
    gc.collect()
    assert alive() is None
    assert open_fds() == fd_count


def test_close_error_at_the_last_trace_propagates_and_drops_the_trace(three, fd_count, close_fails):
    with unraisable() as seen:
        it = _FileTraceIterator(three, 1)
        with pytest.raises(OSError, match=r"^close failed$"):
            next(it)
        assert open_fds() == fd_count
        with pytest.raises(StopIteration):
            next(it)
        assert not seen
        del it  # the file is still held as not closed: the finalizer tries once more
    assert [str(u.exc_value) for u in seen] == ["close failed"]


def test_close_error_after_a_read_error_wins_with_the_read_error_as_context(tmp_path, fd_count, close_fails):
    path = write_collection(tmp_path, [[1.0]], count=2)
    with unraisable() as seen:
        it = _FileTraceIterator(path, 2)
        next(it)
        with pytest.raises(OSError, match=r"^close failed$") as raised:
            next(it)
        assert isinstance(raised.value.__context__, OSError)
        assert str(raised.value.__context__) == "Unable to read trace header from file."
        assert open_fds() == fd_count
        del raised, it
        gc.collect()
    assert [str(u.exc_value) for u in seen] == ["close failed"]


class Count:
    def __init__(self, n):
        self.n = n

    def __int__(self):
        return self.n


def test_every_ending_keeps_reference_counts_flat(tmp_path, fd_count):
    path = str(write_collection(tmp_path, SAMPLES))
    short = str(write_collection(tmp_path, SAMPLES[:1], count=2, name="short.su"))
    missing = str(tmp_path / "missing.su")
    three, two = Count(3), Count(2)
    f = open(path, "rb")

    def endings():
        list(_FileTraceIterator(path, three))
        with pytest.raises(OSError):
            list(_FileTraceIterator(short, two))
        it = _FileTraceIterator(path, three)
        next(it)
        it.__dealoc__()
        next(_FileTraceIterator(path, three))
        f.seek(4)
        next(_FileTraceIterator(f, three))
        with pytest.raises(FileNotFoundError):
            _FileTraceIterator(missing, three)
        with pytest.raises(TypeError):
            _FileTraceIterator(path, "3")

    endings()
    objects = (path, short, missing, three, two, f)
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(100):
        endings()
    assert [sys.getrefcount(o) for o in objects] == before
    f.close()


def test_close_error_in_dealoc_propagates(three, fd_count, close_fails):
    with unraisable() as seen:
        it = _FileTraceIterator(three, 3)
        with pytest.raises(OSError, match=r"^close failed$"):
            it.__dealoc__()
        assert open_fds() == fd_count
        del it
    assert [str(u.exc_value) for u in seen] == ["close failed"]


def test_close_error_of_an_abandoned_iterator_is_unraisable(three, fd_count, close_fails):
    with unraisable() as seen:
        it = _FileTraceIterator(three, 3)
        next(it)
        del it
    assert open_fds() == fd_count
    assert [(type(u.exc_value), str(u.exc_value), type(u.object)) for u in seen] == [
        (OSError, "close failed", _FileTraceIterator)]


def test_abandoned_iterations_do_not_exhaust_descriptors(three):
    script = textwrap.dedent(f"""
        import resource
        resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64))
        from vondrel.segy import _FileTraceIterator
        path = {str(three)!r}
        with open(path, "rb") as f:
            for _ in range(10000):
                it = _FileTraceIterator(path, 3)
                next(it)
                f.seek(4)
                for _ in _FileTraceIterator(f, 3):
                    break
        print("done")
    """)
    done = run_child(script, three.parent)
    assert (done.returncode, done.stderr, done.stdout) == (0, "", "done\n")


@pytest.mark.parametrize("opener, expected", [
    (lambda p: open(p, "rb"), True),
    (lambda p: open(p, "rb", buffering=0), True),
    (lambda p: open(p, "wb"), True),
    (lambda p: open(p, "ab"), True),
    (lambda p: open(p, "r+b"), False),
    (lambda p: open(p, "r"), False),
    (lambda p: io.BytesIO(b"abc"), False),
    (lambda p: NoFileno(io.FileIO(p)), False),
    (lambda p: p, False),
])
def test_isfileobject(three, opener, expected):
    f = opener(three)
    try:
        assert _isfileobject(f) is expected
        assert _isfileobject(f=f) is expected
    finally:
        if hasattr(f, "close"):
            f.close()


@pytest.mark.parametrize("buffering", [0, -1])
def test_isfileobject_on_a_closed_file_raises(three, buffering):
    f = open(three, "rb", buffering=buffering)
    f.close()
    with pytest.raises(ValueError):
        _isfileobject(f)


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "_isfileobject() takes exactly 1 positional argument (0 given)"),
    ((1, 2), {}, "_isfileobject() takes exactly 1 positional argument (2 given)"),
    ((1,), {"f": 1}, "_isfileobject() got multiple values for keyword argument 'f'"),
    ((), {"g": 1}, "_isfileobject() takes exactly 1 positional argument (0 given)"),
    ((1,), {"g": 1}, "_isfileobject() got an unexpected keyword argument 'g'"),
])
def test_isfileobject_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError, match=exact(message)):
        _isfileobject(*args, **kwargs)


def test_isfileobject_looks_up_the_module_io_binding(monkeypatch):
    class Fake(io.BytesIO):
        def fileno(self):
            return 0

    monkeypatch.setattr(segy, "io", types.SimpleNamespace(FileIO=Fake, BufferedReader=int, BufferedWriter=int))
    assert _isfileobject(Fake()) is True
    with open(__file__, "rb", buffering=0) as f:
        assert _isfileobject(f) is False


# The bridge failing on purpose, in a child interpreter (the module loads once per process).
BRIDGE_PRELUDE = """
import os, sys
from vondrel.segy import _FileTraceIterator
def fds():
    return len(os.listdir("/proc/self/fd"))
def fails(step, message):
    try:
        step()
    except OSError as e:
        assert str(e) == message, e
        return e
    raise AssertionError("no error")
seen = []
sys.unraisablehook = seen.append
path = "traces.su"
before = fds()
"""

BRIDGE_SCENARIOS = {
    "dup fails: the opened file is closed": """
        bridge.fail(1, 0)
        fails(lambda: _FileTraceIterator(path, 3), "fake dup failure")
        assert fds() == before
    """,
    "dup fails: a caller's file is left open": """
        with open(path, "rb") as f:
            bridge.fail(1, 0)
            fails(lambda: _FileTraceIterator(f, 3), "fake dup failure")
            assert not f.closed and f.read(4) == b"\\3\\0\\0\\0"
        assert fds() == before
    """,
    "give-back fails at the last trace: stream released, file kept for __dealoc__": """
        it = _FileTraceIterator(path, 1)
        bridge.fail(0, 1)
        fails(lambda: next(it), "fake close failure")
        assert fds() > before and bridge.held() == 0
        assert it.__dealoc__() is None
        assert fds() == before and bridge.held() == 0
        try:
            next(it)
        except StopIteration:
            pass
    """,
    "give-back fails after a read error: its error wins, the finalizer releases": """
        it = _FileTraceIterator(path, 5)
        for _ in range(3):
            next(it)
        bridge.fail(0, 1)
        e = fails(lambda: next(it), "fake close failure")
        assert str(e.__context__) == "Unable to read trace header from file."
        del it, e
        assert fds() == before and bridge.held() == 0 and not seen
    """,
    "give-back fails in the finalizer: reported, stream and file closed anyway": """
        it = _FileTraceIterator(path, 3)
        next(it)
        bridge.fail(0, 1)
        del it
        assert fds() == before
        assert [str(u.exc_value) for u in seen] == ["fake close failure"]
    """,
    "give-back fails in the collector's finalizer: a caller's file stays usable": """
        import gc
        class It(_FileTraceIterator):
            pass
        with open(path, "rb") as f:
            f.seek(4)
            it = It(f, 3)
            next(it)
            it.loop = it
            bridge.fail(0, 1)
            del it
            gc.collect()
            assert fds() == before + 1 and not f.closed
            f.seek(0)
            assert f.read(4) == b"\\3\\0\\0\\0"
        assert fds() == before
        assert [str(u.exc_value) for u in seen] == ["fake close failure"]
    """,
}


@pytest.mark.parametrize("scenario", BRIDGE_SCENARIOS)
def test_bridge_failures_release_everything(three, scenario):
    script = BRIDGE_PRELUDE + textwrap.dedent(BRIDGE_SCENARIOS[scenario]) + "print('done')\n"
    done = run_child(script, three.parent, fake_bridge=True)
    assert (done.returncode, done.stderr, done.stdout) == (0, "", "done\n")
