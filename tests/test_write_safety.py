"""Writes that destroy nothing: a writer refuses the file it is reading
(by its path, ./path, a symbolic or a hard link), a write that fails leaves
no file and an existing one untouched (no temporary file either), and a
sink that takes few bytes per call still receives every byte."""
import contextlib
import gc
import io
import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import vondrel
from vondrel import _sinks
from segyfiles import trace_bytes
from test_cli import VONDREL, run
from test_real_data import DATA

SAME = "refusing to write to {}: it is the same file as the input being read"
SOURCE = DATA / "seismiclab_cdp700.su"          # 24 big-endian traces of 1100 samples, dt 2000
PRECIOUS = b"an existing file that a failed write must not touch"


def same_file(name):
    return f"^{re.escape(SAME.format(name))}$"


@pytest.fixture
def source(tmp_path, monkeypatch):
    """in.su, a copy of SOURCE, in the working folder."""
    monkeypatch.chdir(tmp_path)
    return shutil.copy(SOURCE, tmp_path / "in.su")


def other_name(path, how):
    """Another name for `path` (in the working folder): itself, ./name, a
    symbolic link, a hard link."""
    if how in ("path", "stdin"):
        return str(path)
    if how == "dot":
        return f"./{path.name}"
    (os.symlink if how == "symlink" else os.link)(path, path.parent / "link.su")
    return str(path.parent / "link.su")


@pytest.mark.parametrize("how", ["path", "dot", "symlink", "hardlink"])
@pytest.mark.parametrize("writer", ["write", "Writer", "to_file", "convert"])
def test_a_writer_refuses_the_file_it_is_reading(source, how, writer):
    before = source.read_bytes()
    out = other_name(source, how)
    if writer == "convert":
        done = run("convert", "in.su", out, "--byteorder", "big", cwd=source.parent)
        assert (done.returncode, done.stdout) == (1, b"")
        assert done.stderr == f"vondrel convert: {SAME.format(out)}\n".encode()
    else:
        gather = vondrel.read(source)
        with vondrel.traces(source) as reader:
            next(reader)
            with pytest.raises(ValueError, match=same_file(out)):
                if writer == "to_file":
                    reader.to_file(out)
                else:
                    vondrel.write(out, gather) if writer == "write" else vondrel.Writer(out)
    assert source.read_bytes() == before
    assert sorted(os.listdir(source.parent)) == ["in.su", *(["link.su"] if "link" in how else [])]


def test_convert_refuses_the_file_its_standard_input_reads(source):
    with open(source, "rb") as stdin:
        done = subprocess.run([*VONDREL, "convert", "-", "in.su"], stdin=stdin, capture_output=True, timeout=60)
    assert (done.returncode, done.stderr) == (1, f"vondrel convert: {SAME.format('in.su')}\n".encode())
    assert source.read_bytes() == SOURCE.read_bytes()


def test_a_file_read_by_a_reader_of_a_file_object_is_refused_until_it_is_closed(source):
    with open(source, "rb") as f:
        reader = vondrel.traces(f)
        with pytest.raises(ValueError, match=same_file("in.su")):
            vondrel.Writer("in.su")
        reader.close()
    vondrel.write("in.su", vondrel.read(SOURCE))      # read into memory: rewritten through a new file
    assert source.read_bytes() == SOURCE.read_bytes() and os.listdir() == ["in.su"]


REPLACED = "refusing to read {}: it is the same file as the output being written"


@pytest.mark.parametrize("how", ["path", "dot", "symlink", "hardlink"])
@pytest.mark.parametrize("reader", ["traces", "read", "open"])
def test_a_reader_refuses_the_file_an_open_writer_will_replace(source, how, reader):
    out = other_name(source, how)
    with pytest.raises(ValueError, match=f"^{re.escape(REPLACED.format('in.su'))}$"):
        with vondrel.Writer(out, "su", ">") as w:
            for trace in getattr(vondrel, reader)("in.su"):
                w.write(trace)
    assert source.read_bytes() == SOURCE.read_bytes()
    assert sorted(os.listdir()) == ["in.su", *(["link.su"] if "link" in how else [])]
    with vondrel.Writer(out, "su", ">") as w:          # a writer that is closed holds nothing back
        pass
    with vondrel.open(out) as f:
        assert len(f) == 0


@pytest.mark.parametrize("fails", ["create", "fchmod"])
def test_a_writer_that_fails_to_start_holds_no_reader_back(source, monkeypatch, fails):
    # While its error is still being handled (the traceback keeps the
    # half-made writer alive), the file it did not replace reads as before.
    from vondrel import _sinks

    def refuse(*args):
        raise OSError(28, "No space left on device")
    with monkeypatch.context() as m:
        if fails == "create":
            m.setattr(_sinks, "_create_beside", refuse)
        else:
            m.setattr(_sinks.os, "fchmod", refuse)
        try:
            vondrel.Writer("in.su", "su", ">")
        except OSError as e:
            held = e
    assert held.__traceback__ is not None and len(vondrel.read("in.su")) == len(vondrel.read(SOURCE))
    assert os.listdir() == ["in.su"]


@pytest.mark.skipif(bool(os.environ.get("VONDREL_SANITIZERS")) or hasattr(sys, "gettotalrefcount"),
                    reason="Dask over the package: the release run checks it")
@pytest.mark.parametrize("how", ["path", "symlink"])
def test_dask_write_refuses_the_files_its_graph_reads(tmp_path, how):
    vd = pytest.importorskip("vondrel.dask")
    pytest.importorskip("dask.dataframe")
    folder = tmp_path / "survey"
    folder.mkdir()
    for i in range(2):
        shutil.copy(SOURCE, folder / f"part-{i:05d}.su")
    samples, headers = vd.read(folder)
    out = folder if how == "path" else tmp_path / "link"
    if how == "symlink":
        out.symlink_to(folder)
    with pytest.raises(ValueError, match=same_file(os.path.join(out, "part-00000.su"))):
        vd.write(samples * 2, headers, out)
    assert [p.read_bytes() == SOURCE.read_bytes() for p in sorted(folder.iterdir())] == [True, True]


# ---- a failed write leaves nothing -------------------------------------------------------

def su_headers(n, dt, ns=0):
    headers = np.zeros(n, vondrel.header_dtype())
    headers["tracl"], headers["dt"], headers["ns"] = np.arange(1, n + 1), dt, ns
    return headers


def interrupted(traces, after):
    """The traces, with a KeyboardInterrupt after `after` of them."""
    for i, trace in enumerate(traces):
        if i == after:
            raise KeyboardInterrupt
        yield trace


def write_interrupted(monkeypatch, out, data, **options):
    """vondrel.write, with a KeyboardInterrupt after half of the traces have
    gone to the file."""
    real = vondrel._arrays.write

    def half_then_interrupt(dest, headers, flat, offsets, *rest):
        real(dest, headers, flat, offsets[:len(offsets) // 2 + 1], *rest)
        raise KeyboardInterrupt
    monkeypatch.setattr(vondrel._arrays, "write", half_then_interrupt)
    vondrel.write(out, data, **options)


def writer_of(out, traces, *args, **options):
    with vondrel.Writer(out, *args, **options) as w:
        for trace in traces:
            w.write(*trace) if isinstance(trace, tuple) else w.write(trace)


ONES = np.ones((3, 5), np.float32)
FAILURES = {
    "bare array": (TypeError, lambda out, mp: vondrel.write(out, ONES)),
    "bare array as SEG-Y": (TypeError, lambda out, mp: vondrel.write(out, ONES, format="segy")),
    "SEG-Y without an interval": (ValueError, lambda out, mp: vondrel.write(out, (su_headers(3, 0), ONES),
                                                                            format="segy")),
    "unknown sample format": (ValueError, lambda out, mp: vondrel.write(out, (su_headers(3, 4000), ONES),
                                                                        format="segy", sample_format=99)),
    "unknown format": (ValueError, lambda out, mp: vondrel.write(out, (su_headers(3, 4000), ONES), format="xyz")),
    "header disagrees": (ValueError, lambda out, mp: vondrel.write(out, (su_headers(3, 4000, ns=5), ONES[:, :4]))),
    "interrupted write": (KeyboardInterrupt, lambda out, mp: write_interrupted(mp, out, vondrel.read(SOURCE))),
    "Writer interrupted": (KeyboardInterrupt, lambda out, mp: writer_of(out, interrupted(vondrel.traces(SOURCE), 5))),
    "Writer: ragged SEG-Y": (ValueError, lambda out, mp: writer_of(
        out, [({"dt": 4000}, np.ones(3)), ({"dt": 4000}, np.ones(5))], "segy")),
    "Writer: SEG-Y without an interval": (ValueError, lambda out, mp: writer_of(out, [({"tracl": 1}, np.ones(3))],
                                                                                "segy")),
    "Writer: count wrong": (ValueError, lambda out, mp: writer_of(out, vondrel.traces(SOURCE), "collection",
                                                                  n_traces=25)),
}


def test_a_writer_dropped_unclosed_leaves_nothing_behind(tmp_path):
    w = vondrel.Writer(tmp_path / "out.su")
    w.write(next(vondrel.traces(SOURCE)))
    assert len(os.listdir(tmp_path)) == 1          # its temporary file
    with pytest.warns(ResourceWarning, match=r"out\.su: a write dropped before it was complete: nothing was written"):
        del w
        gc.collect()
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("existing", [False, True], ids=["new", "existing"])
@pytest.mark.parametrize("failure", FAILURES)
def test_a_failed_write_leaves_nothing_behind(tmp_path, monkeypatch, failure, existing):
    out = tmp_path / "out.su"
    if existing:
        out.write_bytes(PRECIOUS)
    kind, call = FAILURES[failure]
    with pytest.raises(kind):
        call(out, monkeypatch)
    assert os.listdir(tmp_path) == (["out.su"] if existing else [])
    assert not existing or out.read_bytes() == PRECIOUS


def ragged_su():
    return b"".join(trace_bytes(np.ones(n, np.float32), dt=4000) for n in (3, 5))


@pytest.mark.parametrize("existing", [False, True], ids=["new", "existing"])
@pytest.mark.parametrize("args, stdin, message", [
    ([], SOURCE.read_bytes()[:-10], b"vondrel convert: <stdin>: SU big-endian: trace 23 at byte offset 106720 is "
                                b"cut short: the data end 4630 bytes into it; --partial keeps the complete "
                                b"traces before it\n"),
    (["--to", "segy"], ragged_su(), b"vondrel convert: out.su: the traces of a SEG-Y file written here have one "
                                    b"ns, 3"),
    (["--to", "segy"], b"".join(trace_bytes(np.ones(3, np.float32), tracl=i) for i in (1, 2)),
     b"vondrel convert: out.su: trace 0 has no sample interval (dt 0, and 0 in the binary header)"),
], ids=["truncated stdin", "ragged SEG-Y", "SEG-Y without an interval"])
def test_a_failed_convert_leaves_nothing_behind(tmp_path, args, stdin, message, existing):
    out = tmp_path / "out.su"
    if existing:
        out.write_bytes(PRECIOUS)
    done = run("convert", "-", "out.su", *args, stdin=stdin, cwd=tmp_path)
    assert done.returncode == 1 and done.stderr.startswith(message) and done.stderr.count(b"\n") == 1
    assert os.listdir(tmp_path) == (["out.su"] if existing else [])
    assert not existing or out.read_bytes() == PRECIOUS


def interruptible(command, **options):
    """subprocess.Popen of a command that SIGINT interrupts, however this run
    was started: a shell without job control starts a background job with
    SIGINT ignored, an ignored signal stays ignored across exec, and a
    handled one starts at its default (which the interpreter replaces with
    KeyboardInterrupt).  So the command starts from a handled SIGINT here."""
    before = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        return subprocess.Popen(command, **options)
    finally:
        signal.signal(signal.SIGINT, before)


@pytest.mark.parametrize("to", ["su", "segy"])
def test_an_interrupted_convert_leaves_nothing_behind(tmp_path, to):
    # The first half of the input ends on a trace boundary: a convert that lost the interrupt would
    # reach the end of its input with nothing wrong in the data and replace out.su with half of it.
    (tmp_path / "out.su").write_bytes(PRECIOUS)
    raw = SOURCE.read_bytes()
    proc = interruptible([*VONDREL, "convert", "-", "out.su", "--format", "su", "--from-byteorder", "big",
                          "--to", to], stdin=subprocess.PIPE, stderr=subprocess.PIPE, cwd=tmp_path)
    proc.stdin.write(raw[:len(raw) // 2])          # detected, written in part, then waiting for more
    proc.stdin.flush()
    deadline = time.monotonic() + 30
    while len(os.listdir(tmp_path)) < 2 and time.monotonic() < deadline:
        time.sleep(0.02)
    assert len(os.listdir(tmp_path)) == 2, "the convert never started its output"
    proc.send_signal(signal.SIGINT)
    proc.stdin.close()
    with proc.stderr:
        assert (proc.wait(60), proc.stderr.read()) == (130, b"")
    assert os.listdir(tmp_path) == ["out.su"] and (tmp_path / "out.su").read_bytes() == PRECIOUS


@contextlib.contextmanager
def sigint_waiting():
    """A SIGINT sent to this thread while it holds SIGINT back: it waits
    there, arrived and not yet handled, until the block ends (where it is
    taken away unhandled)."""
    before = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        signal.pthread_kill(threading.get_ident(), signal.SIGINT)
        yield
    finally:
        signal.sigtimedwait({signal.SIGINT}, 0)
        signal.pthread_sigmask(signal.SIG_SETMASK, before)


@pytest.mark.parametrize("writer", ["write", "Writer"])
def test_no_path_is_replaced_while_an_interrupt_waits(tmp_path, writer):
    out = tmp_path / "out.su"
    out.write_bytes(PRECIOUS)
    gather = vondrel.read(SOURCE)
    with sigint_waiting(), pytest.raises(InterruptedError):
        if writer == "write":
            vondrel.write(out, gather)
        else:
            writer_of(out, vondrel.traces(SOURCE))
    assert os.listdir(tmp_path) == ["out.su"] and out.read_bytes() == PRECIOUS
    vondrel.write(out, gather)                     # and once it is handled, writes go on as before
    assert out.read_bytes() == SOURCE.read_bytes()


def tree(folder):
    """Every file under `folder`, by its path there, with its bytes."""
    return {str(p.relative_to(folder)): p.read_bytes() for p in sorted(folder.rglob("*")) if p.is_file()}


def swallowing(real):
    """`real`, where the interrupt arrives first and something on the way
    swallows its KeyboardInterrupt (as a __del__ does)."""
    def call(*args, **kwargs):
        try:
            signal.raise_signal(signal.SIGINT)
        except KeyboardInterrupt:
            pass
        return real(*args, **kwargs)
    return call


@pytest.mark.parametrize("out", ["out.su", "out.segy", "out.zarr"])
def test_a_convert_whose_interrupt_was_swallowed_still_ends_with_130(tmp_path, monkeypatch, out):
    from vondrel import cli
    monkeypatch.chdir(tmp_path)
    if out == "out.zarr":
        pytest.importorskip("zarr")
        pytest.importorskip("dask")
        from vondrel import _zarr
        assert cli.main(["convert", str(DATA / "seismiclab_gom_cdp_nmo.su"), out]) == 0     # another store
        old = tree(tmp_path / out)
        monkeypatch.setattr(_zarr, "_consolidate", swallowing(_zarr._consolidate))      # the last step before
    else:
        (tmp_path / out).write_bytes(PRECIOUS)
        monkeypatch.setattr(vondrel.Writer, "close", swallowing(vondrel.Writer.close))
    before = signal.signal(signal.SIGINT, signal.default_int_handler)     # (as interruptible says)
    try:
        status = cli.main(["convert", str(SOURCE), out, *(["--to", "segy"] if out == "out.segy" else [])])
        assert signal.getsignal(signal.SIGINT) is signal.default_int_handler      # put back
    finally:
        signal.signal(signal.SIGINT, before)
    assert status == 130 and os.listdir(tmp_path) == [out] and not _sinks._interrupted
    if out == "out.zarr":
        assert tree(tmp_path / out) == old
    else:
        assert (tmp_path / out).read_bytes() == PRECIOUS


@pytest.mark.parametrize("format", ["su", "segy"])
def test_an_interrupt_ends_a_write_that_waits_on_a_full_pipe(format):
    # Nobody reads the pipe: the write waits inside the native loop until the interrupt; the
    # drain after 20 s only ends a write that went on waiting, which then fails the test.
    r, w = os.pipe()
    main = threading.get_ident()
    def drain():
        while os.read(r, 1 << 20):
            pass
    drain = threading.Timer(20, drain)
    poke = threading.Timer(0.5, lambda: signal.pthread_kill(main, signal.SIGINT))
    gather = vondrel.read(SOURCE)
    before = signal.signal(signal.SIGINT, signal.default_int_handler)     # (as interruptible says)
    try:
        with open(w, "wb", buffering=0) as out:
            poke.start()
            drain.start()
            started = time.monotonic()
            with pytest.raises(KeyboardInterrupt):
                for _ in range(100):                   # 11 MB, more than a pipe holds
                    vondrel.write(out, gather, format=format)
            assert time.monotonic() - started < 10
    finally:
        signal.signal(signal.SIGINT, before)
        poke.cancel()
        drain.cancel()
        os.close(r)


def store(path, marker):
    os.makedirs(path / "c")
    (path / "c" / "0").write_text(marker)
    return path


@pytest.mark.parametrize("after, left", [(1, "old"), (2, "new")], ids=["old store moved aside", "new store in"])
def test_an_interrupt_between_the_renames_of_a_store_leaves_one_whole_store(tmp_path, monkeypatch, after, left):
    from vondrel import _zarr
    dest, tmp = store(tmp_path / "out.zarr", "old"), store(tmp_path / ".out.zarr.new", "new")
    done = []

    def replace(src, dst):
        _sinks.replace(src, dst)
        done.append(src)
        if len(done) == after:
            raise KeyboardInterrupt
    monkeypatch.setattr(_zarr, "replace", replace)
    with pytest.raises(KeyboardInterrupt):
        _zarr._replace_store(str(tmp), str(dest), False)
    assert (dest / "c" / "0").read_text() == left
    assert sorted(os.listdir(tmp_path)) == (["out.zarr"] if left == "new" else [".out.zarr.new", "out.zarr"])


@pytest.mark.skipif(not os.environ.get("VONDREL_SMALL_FS"), reason="no small file system")
def test_a_full_disk_leaves_the_existing_file_untouched():
    folder = os.path.join(os.environ["VONDREL_SMALL_FS"], "full")
    os.makedirs(folder, exist_ok=True)
    try:
        out = os.path.join(folder, "out.su")
        with open(out, "wb") as f:
            f.write(PRECIOUS)
        big = (su_headers(8000, 4000), np.ones((8000, 1000), np.float32))          # 33.9 MB: more than fits
        with pytest.raises(OSError) as caught:
            vondrel.write(out, big)
        assert caught.value.errno == 28         # ENOSPC
        assert os.listdir(folder) == ["out.su"]
        with open(out, "rb") as f:
            assert f.read() == PRECIOUS
    finally:
        shutil.rmtree(folder)


# ---- where the bytes go --------------------------------------------------------------------

class Trickle(io.RawIOBase):
    """A raw stream that takes at most 1,000 bytes per write(), or, when
    `full`, none (None: a non-blocking stream without room)."""

    def __init__(self, full=False):
        self.got, self.full = bytearray(), full

    def writable(self):
        return True

    def write(self, b):
        if self.full:
            return None
        n = min(len(b), 1000)
        self.got += memoryview(b)[:n]
        return n


SEGY = DATA / "segyio_small.sgy"
SINK_WRITES = {
    "Writer su": lambda sink: writer_of(sink, vondrel.traces(SOURCE), "su", ">"),
    "Writer collection": lambda sink: writer_of(sink, vondrel.traces(SOURCE), "collection", ">", n_traces=24),
    "Writer SEG-Y": lambda sink: writer_of(sink, vondrel.traces(SOURCE), "segy", sample_format=1),
    "write su": lambda sink: vondrel.write(sink, vondrel.read(SOURCE)),
    "write SEG-Y": lambda sink: vondrel.write(sink, vondrel.read(SEGY)),
}


@pytest.mark.parametrize("how", SINK_WRITES)
def test_a_raw_stream_that_takes_1000_bytes_a_call_receives_every_byte(how):
    whole = io.BytesIO()
    SINK_WRITES[how](whole)
    trickle = Trickle()
    SINK_WRITES[how](trickle)
    assert len(trickle.got) == len(whole.getvalue()) and trickle.got == whole.getvalue()
    if how.endswith("su"):
        assert whole.getvalue() == SOURCE.read_bytes()
    with pytest.raises(BlockingIOError):
        SINK_WRITES[how](Trickle(full=True))


def test_writer_close_flushes_a_file_it_was_given_and_leaves_it_open(tmp_path):
    out = tmp_path / "out.su"
    with open(out, "wb") as f:           # buffered: what close() does not flush is not in the file
        w = vondrel.Writer(f, "su", ">")
        for trace in vondrel.traces(SOURCE):
            w.write(trace)
        w.close()
        assert not f.closed and out.read_bytes() == SOURCE.read_bytes()


@pytest.mark.parametrize("how", ["write su", "Writer su"])
def test_a_path_is_synchronised_before_it_replaces_the_destination(tmp_path, monkeypatch, how):
    calls = []
    fsync, replace = os.fsync, vondrel._arrays.replace         # the rename that no interrupt gets past
    monkeypatch.setattr(os, "fsync", lambda fd: calls.append(("fsync", os.readlink(f"/proc/self/fd/{fd}")))
                        or fsync(fd))
    monkeypatch.setattr(vondrel._arrays, "replace", lambda a, b: calls.append(("replace", a)) or replace(a, b))
    SINK_WRITES[how](tmp_path / "out.su")
    temp = calls[1][1]
    assert calls == [("fsync", temp), ("replace", temp), ("fsync", os.path.realpath(tmp_path))]
    assert (tmp_path / "out.su").read_bytes() == SOURCE.read_bytes() and os.listdir(tmp_path) == ["out.su"]


def test_a_replaced_file_keeps_its_link_and_permissions_and_a_new_one_follows_the_umask(tmp_path):
    target = tmp_path / "data.su"
    target.write_bytes(PRECIOUS)
    target.chmod(0o604)
    link = tmp_path / "link.su"
    link.symlink_to(target)
    gather = vondrel.read(SOURCE)
    vondrel.write(link, gather)
    assert link.is_symlink() and target.read_bytes() == SOURCE.read_bytes()
    assert stat.S_IMODE(target.stat().st_mode) == 0o604
    old = os.umask(0o027)
    try:
        vondrel.write(tmp_path / "new.su", gather)
    finally:
        os.umask(old)
    assert stat.S_IMODE((tmp_path / "new.su").stat().st_mode) == 0o640
    assert sorted(os.listdir(tmp_path)) == ["data.su", "link.su", "new.su"]


def test_a_folder_that_is_not_there_is_named_by_the_destination(tmp_path):
    out = tmp_path / "missing" / "out.su"
    with pytest.raises(FileNotFoundError) as caught:
        vondrel.write(out, vondrel.read(SOURCE))
    assert caught.value.filename == str(out)


def test_a_named_pipe_is_written_as_a_stream_and_stays_a_pipe(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    with subprocess.Popen(["cat", str(fifo)], stdout=subprocess.PIPE) as cat:
        vondrel.write(fifo, vondrel.read(SOURCE))
        got = cat.stdout.read()
    assert got == SOURCE.read_bytes() and stat.S_ISFIFO(fifo.stat().st_mode)


@pytest.mark.parametrize("where", ["as the file is made", "as its file object is made"])
def test_an_interrupt_as_the_temporary_file_is_made_leaves_none(tmp_path, monkeypatch, where):
    from vondrel import _sinks
    real_open, real_fdopen = os.open, open

    def interrupted_open(path, *args, **kwargs):
        real_open(path, *args, **kwargs)                 # made, then the interrupt: its descriptor is lost
        raise KeyboardInterrupt

    def interrupted_fdopen(fd, *args, **kwargs):
        real_fdopen(fd, *args, **kwargs).close()         # made and lost: it closes its descriptor as it goes
        raise KeyboardInterrupt

    if where == "as the file is made":
        monkeypatch.setattr(_sinks.os, "open", interrupted_open)
    else:
        monkeypatch.setattr(_sinks, "open", interrupted_fdopen, raising=False)
    (tmp_path / "out.su").write_bytes(PRECIOUS)
    with pytest.raises(KeyboardInterrupt):
        _sinks.PathSink(tmp_path / "out.su")
    monkeypatch.undo()
    gc.collect()
    assert os.listdir(tmp_path) == ["out.su"] and (tmp_path / "out.su").read_bytes() == PRECIOUS
