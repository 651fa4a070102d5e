"""The file-handle bridge vondrel._io, driven through a native client that
imports PyFile_Dup and PyFile_DupClose the way any native module does."""
import ctypes
import errno
import io
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import vondrel._io
from conftest import build_native, open_fds

client = build_native("bridge_client")

SIG_DUP = "__pyx_ctuple_FILE__ptr__and_7vondrel_3_io_vdl_off_t (PyObject *, char *)"
SIG_DUP_CLOSE = "int (PyObject *, FILE *, vdl_off_t)"
DATA = bytes(range(256)) * 64          # 16 KiB: more than one read-ahead buffer of io


def capsule_name(capsule):
    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype = ctypes.c_char_p
    get_name.argtypes = [ctypes.py_object]
    return get_name(capsule).decode()


def make_file(tmp_path, data=DATA):
    path = tmp_path / "data.bin"
    path.write_bytes(data)
    return path


# --- the published interface ------------------------------------------------

def test_capi_holds_exactly_the_two_operations_under_their_signatures():
    capi = vondrel._io.__pyx_capi__
    assert sorted(capi) == ["PyFile_Dup", "PyFile_DupClose"]
    assert capsule_name(capi["PyFile_Dup"]) == SIG_DUP
    assert capsule_name(capi["PyFile_DupClose"]) == SIG_DUP_CLOSE


# --- reading ------------------------------------------------------------------

@pytest.mark.parametrize("buffering", [0, -1, 100])
@pytest.mark.parametrize("start, count", [(0, 10), (10, 100), (5000, 11000), (100, 20000)])
def test_read_starts_at_logical_position_and_leaves_file_where_stream_stopped(
        tmp_path, fd_count, buffering, start, count):
    with open(make_file(tmp_path), "rb", buffering=buffering) as f:
        assert f.read(start) == DATA[:start]      # a buffered reader reads ahead here
        handle, ticket = client.dup(f, "rb")
        assert client.read(handle, count) == DATA[start:start + count]
        assert client.close(f, handle, ticket) == 0
        stop = min(start + count, len(DATA))
        assert f.tell() == stop
        assert f.read() == DATA[stop:]            # neither stale read-ahead nor bytes twice
        assert f.read() == b""


def test_read_skip_forward_like_the_file_iterator(tmp_path, fd_count):
    with open(make_file(tmp_path), "rb") as f:
        handle, ticket = client.dup(f, "rb")
        assert client.skip(handle, 4) == 0
        assert client.read(handle, 8) == DATA[4:12]
        client.close(f, handle, ticket)
        assert f.tell() == 12
        assert f.read(4) == DATA[12:16]


def test_read_past_the_end_leaves_file_at_its_end(tmp_path, fd_count):
    with open(make_file(tmp_path, b"abc"), "rb") as f:
        handle, ticket = client.dup(f, "rb")
        assert client.read(handle, 10) == b"abc"
        client.close(f, handle, ticket)
        assert f.tell() == 3
        assert f.read() == b""


def test_the_descriptor_lent_is_the_one_the_file_has_after_flush(tmp_path, fd_count):
    (tmp_path / "a").write_bytes(b"old!")
    (tmp_path / "b").write_bytes(b"new!")
    with open(tmp_path / "a", "rb", buffering=0) as a, open(tmp_path / "b", "rb", buffering=0) as b:
        class Reopened:
            """A file object whose descriptor changes while flush() runs, as when
            another thread closes it and the number is reused."""
            fd = a.fileno()

            def fileno(self):
                return self.fd

            def flush(self):
                self.fd = b.fileno()

            def tell(self):
                return 0

            def seek(self, *args):
                return 0

        f = Reopened()
        handle, ticket = client.dup(f, "rb")
        assert client.read(handle, 4) == b"new!"
        client.close(f, handle, ticket)


# --- writing ------------------------------------------------------------------

@pytest.mark.parametrize("buffering", [0, -1])
@pytest.mark.parametrize("size", [0, 5, 300_000])
def test_write_follows_unflushed_bytes_of_the_file_object(tmp_path, fd_count, buffering, size):
    body = bytes(i % 251 for i in range(size))
    path = tmp_path / "out.bin"
    with open(path, "wb", buffering=buffering) as f:
        f.write(b"head")                          # still in a buffered writer's buffer
        handle, ticket = client.dup(f, "wb")
        assert client.write(handle, body) == size
        assert client.close(f, handle, ticket) == 0
        assert f.tell() == 4 + size
        f.write(b"tail")
    assert path.read_bytes() == b"head" + body + b"tail"


def test_written_bytes_reach_the_file_when_the_stream_is_given_back(tmp_path, fd_count):
    path = tmp_path / "out.bin"
    with open(path, "wb") as f:
        handle, ticket = client.dup(f, "wb")
        for _ in range(1000):                     # 100 KiB of small writes stay buffered
            client.write(handle, b"0123456789" * 10)
        assert path.stat().st_size == 0
        client.close(f, handle, ticket)
        assert path.stat().st_size == 100_000


@pytest.mark.parametrize("mode", ["r+b", "rb+"])
def test_write_over_read_ahead_is_what_the_file_object_reads_next(tmp_path, fd_count, mode):
    path = make_file(tmp_path)
    with open(path, mode) as f:
        assert f.read(10) == DATA[:10]            # reads ahead over the region written below
        handle, ticket = client.dup(f, "wb")
        client.write(handle, b"X" * 20)
        client.close(f, handle, ticket)
        assert f.tell() == 30
        f.seek(0)
        assert f.read(40) == DATA[:10] + b"X" * 20 + DATA[30:40]


@pytest.mark.parametrize("rewind", [False, True])
def test_append_mode_file_object_appends(tmp_path, fd_count, rewind):
    path = make_file(tmp_path, b"old")
    with open(path, "ab") as f:
        if rewind:
            f.seek(0)                             # appends still go to the end
        handle, ticket = client.dup(f, "wb")
        client.write(handle, b"new")
        client.close(f, handle, ticket)
        assert f.tell() == 6
        f.write(b"!")
    assert path.read_bytes() == b"oldnew!"


def test_append_stream_mode_does_not_leave_the_file_object_appending(tmp_path, fd_count):
    path = make_file(tmp_path, b"0123456789")
    with open(path, "r+b") as f:
        f.seek(2)
        handle, ticket = client.dup(f, "ab")
        client.write(handle, b"end")
        client.close(f, handle, ticket)
        assert f.tell() == 13
        f.seek(0)
        f.write(b"AB")
    assert path.read_bytes() == b"AB23456789end"


# --- files that cannot seek ---------------------------------------------------

@pytest.mark.parametrize("buffering", [0, -1])
def test_write_to_pipe_keeps_order_and_loses_nothing(fd_count, buffering):
    r, w = os.pipe()
    with open(r, "rb") as reader, open(w, "wb", buffering=buffering) as writer:
        writer.write(b"head")
        handle, ticket = client.dup(writer, "wb")
        client.write(handle, b"body")
        assert client.close(writer, handle, ticket) == 0
        writer.write(b"tail")
        writer.close()
        assert reader.read() == b"headbodytail"


def test_read_from_unbuffered_pipe_takes_only_the_bytes_read(fd_count):
    r, w = os.pipe()
    with open(w, "wb", buffering=0) as writer:
        writer.write(b"abcdef")
    with open(r, "rb", buffering=0) as reader:
        handle, ticket = client.dup(reader, "rb")
        assert client.read(handle, 3) == b"abc"
        client.close(reader, handle, ticket)
        assert reader.read() == b"def"


# --- refusals and failures ----------------------------------------------------

def test_dev_full_raises_enospc_when_the_stream_is_given_back(fd_count):
    with open("/dev/full", "wb") as f:
        handle, ticket = client.dup(f, "wb")
        assert client.write(handle, b"x" * 100) == 100      # still in the stream's buffer
        with pytest.raises(OSError) as caught:
            client.close(f, handle, ticket)
        assert caught.value.errno == errno.ENOSPC
        assert type(caught.value) is OSError


def test_dev_full_unflushed_bytes_of_the_file_object_raise_before_lending(fd_count):
    f = open("/dev/full", "wb")
    f.write(b"x")
    with pytest.raises(OSError) as caught:
        client.dup(f, "wb")
    assert caught.value.errno == errno.ENOSPC
    with pytest.raises(OSError):
        f.close()                                 # the object still holds its byte


def text_file(tmp_path):
    return open(make_file(tmp_path), "r")


def closed_file(tmp_path):
    f = open(make_file(tmp_path), "rb")
    f.close()
    return f


def buffered_pipe_reader(tmp_path):
    r, w = os.pipe()
    os.close(w)
    return open(r, "rb")


@pytest.mark.parametrize("make, exception, message", [
    (lambda tmp_path: io.BytesIO(b"abc"), io.UnsupportedOperation, "fileno"),
    (text_file, io.UnsupportedOperation, "A binary file object is required, not a text file."),
    (closed_file, ValueError, "I/O operation on closed file"),
    (buffered_pipe_reader, io.UnsupportedOperation,
     "Cannot read natively from a buffered file that cannot seek; open it with buffering=0."),
])
def test_file_objects_without_a_usable_descriptor_are_refused(
        tmp_path, fd_count, make, exception, message):
    f = make(tmp_path)
    try:
        with pytest.raises(exception, match=f"^{re.escape(message)}$"):
            client.dup(f, "rb")
    finally:
        f.close()


@pytest.mark.parametrize("file_mode, stream_mode", [("rb", "wb"), ("wb", "rb")])
def test_stream_mode_the_descriptor_does_not_allow_raises_einval(tmp_path, fd_count, file_mode,
                                                                 stream_mode):
    with open(make_file(tmp_path), file_mode) as f:
        with pytest.raises(OSError) as caught:
            client.dup(f, stream_mode)
        assert caught.value.errno == errno.EINVAL


NOT_LENT = "^The stream was not lent by PyFile_Dup or was already given back\\.$"


def test_a_stream_never_lent_is_refused(tmp_path, fd_count):
    with open(make_file(tmp_path), "rb") as f:
        with pytest.raises(ValueError, match=NOT_LENT):
            client.close_foreign(f)


def test_a_wrong_ticket_is_refused_and_leaves_the_stream_on_loan(tmp_path, fd_count):
    with open(make_file(tmp_path), "rb") as f:
        handle, ticket = client.dup(f, "rb")
        with pytest.raises(ValueError, match=NOT_LENT):
            client.close(f, handle, ticket + 1)
        assert client.read(handle, 4) == DATA[:4]
        client.close(f, handle, ticket)


def test_giving_back_again_never_closes_a_later_loan_on_the_same_address(tmp_path, fd_count):
    with open(make_file(tmp_path), "r+b") as f:
        first, first_ticket = client.dup(f, "rb")
        client.close(f, first, first_ticket)
        second, second_ticket = client.dup(f, "rb")     # stdio reuses the freed stream
        with pytest.raises(ValueError, match=NOT_LENT):
            client.close(f, first, first_ticket)
        assert client.read(second, 4) == DATA[:4]
        client.close(f, second, second_ticket)


def test_a_stream_given_back_while_the_interpreter_shuts_down(tmp_path):
    path = make_file(tmp_path)
    script = textwrap.dedent(f"""
        import os, sys
        sys.path.insert(0, {str(Path(__file__).parent)!r})
        from conftest import build_native

        class Holder:
            def __init__(self, f, client):
                self.f, self.close, self.write = f, client.close, os.write
                self.handle, self.ticket = client.dup(f, "rb")
                client.read(self.handle, 10)

            def __del__(self):
                self.close(self.f, self.handle, self.ticket)
                self.write(1, b"%d" % self.f.tell())
                self.f.close()

        holder = Holder(open({str(path)!r}, "rb"), build_native("bridge_client"))
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert (done.returncode, done.stderr, done.stdout) == (0, "", "10")


# --- resources ----------------------------------------------------------------

def test_many_loans_keep_descriptors_and_heap_flat(tmp_path):
    mallinfo2 = ctypes.CDLL(None).mallinfo2

    class MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
            "fordblks", "keepcost")]

    mallinfo2.restype = MallInfo2

    def heap_in_use():
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    path = make_file(tmp_path)

    def cycles(n):
        with open(path, "r+b") as f:
            for _ in range(n):
                handle, ticket = client.dup(f, "rb")
                client.read(handle, 100)
                client.close(f, handle, ticket)
                handle, ticket = client.dup(f, "wb")
                client.write(handle, b"x" * 100)
                client.close(f, handle, ticket)
                f.seek(0)

    cycles(10)
    fds, heap = open_fds(), heap_in_use()
    cycles(200)                                   # 400 leaked 256 KiB buffers would be 100 MiB
    assert open_fds() == fds
    assert heap_in_use() - heap < 4 << 20
