"""vondrel.traces and vondrel.Writer from Python: ragged files from a path
and a pipe, block reads that split traces, headers given as mappings or
rows."""
import io
import os
import struct
import subprocess

import numpy as np
import pytest

import vondrel
from segyfiles import header, trace_bytes
from test_files_read import Unseekable
from test_real_data import BIG, to_little_endian

RAGGED = [np.arange(n, dtype=np.float32) + 10 * n for n in (3, 5, 2)]


def to_big(little_trace):
    """A little-endian trace in big-endian order, field by field."""
    *values, unassigned = struct.unpack("<" + BIG + "28s", little_trace[:240])
    samples = np.frombuffer(little_trace, "<f4", offset=240)
    return struct.pack(">" + BIG + "28s", *values, unassigned) + samples.astype(">f4").tobytes()


def ragged_file(tmp_path):
    """Three big-endian traces of 3, 5 and 2 samples, tracl 1 to 3; and the
    same traces little-endian."""
    traces = [trace_bytes(s, tracl=i + 1, dt=4000) for i, s in enumerate(RAGGED)]
    path = tmp_path / "ragged.su"
    path.write_bytes(b"".join(map(to_big, traces)))
    return path, b"".join(traces)


def test_a_ragged_file_streams_from_a_path_and_from_a_pipe(tmp_path):
    path, little = ragged_file(tmp_path)
    on_disk = vondrel.traces(path)
    assert (on_disk.format, on_disk.byteorder, on_disk.n_traces, on_disk.ns) == ("su", ">", 3, None)
    assert [np.asarray(t).tolist() for t in on_disk] == [s.tolist() for s in RAGGED]
    with subprocess.Popen(["cat", str(path)], stdout=subprocess.PIPE) as cat:
        piped = vondrel.traces(cat.stdout)
        assert piped.n_traces is None
        block, got = bytearray(240 + 4 * 5), b""      # room for the longest trace only: every read splits
        while n := piped.readinto(block):
            got += bytes(block[:n])
    assert got == little and piped.index == 3


@pytest.mark.parametrize("sizes", [(3, 5, 2), (4, 4)], ids=["ragged", "one-ns"])
def test_readinto_refuses_a_buffer_too_small_for_the_next_trace(tmp_path, sizes):
    path = tmp_path / "small.su"
    path.write_bytes(b"".join(trace_bytes(np.zeros(n, np.float32)) for n in sizes))
    reader = vondrel.traces(path)
    assert reader.ns == (4 if len(set(sizes)) == 1 else None)
    size = 240 + 4 * sizes[0]
    with pytest.raises(ValueError, match=rf"^The buffer of 100 bytes cannot hold trace 0 \({size} bytes\)\.$"):
        reader.readinto(bytearray(100))
    reader.close()


class Overstating(Unseekable):
    """A file whose readinto, once `lie` is set, claims 1000 bytes more than it gave."""

    lie = False

    def readinto(self, b):
        return super().readinto(b) + 1000 * self.lie


def test_a_file_claiming_more_bytes_than_asked_for_is_an_error():
    raw = Overstating(b"".join(trace_bytes(np.zeros(n, np.float32)) for n in (3, 5, 2)) * 2000)
    reader = vondrel.traces(raw, byteorder="<")
    raw.lie = True
    with pytest.raises(OSError, match=r"^readinto\(\) returned an impossible byte count\.$"):
        list(reader)


@pytest.mark.parametrize("order", ["<", ">"])
@pytest.mark.parametrize("as_row", [False, True], ids=["mapping", "row"])
def test_writer_takes_a_header_and_samples(order, as_row):
    fields = {"tracl": 7, "offset": -250, "dt": 2000, "scalco": -100, "d1": 0.5}
    samples = np.array([1.5, -2.0, 3.25], dtype=np.float64)       # converted to float32
    head = fields
    if as_row:
        head = np.zeros((), vondrel.header_dtype(">"))
        for key, value in fields.items():
            head[key] = value
    out = io.BytesIO()
    with vondrel.Writer(out, "collection", order) as w:
        w.write(head, samples)
    raw = out.getvalue()
    want = header(3, **fields) + samples.astype("<f4").tobytes()
    assert struct.unpack(order + "i", raw[:4]) == (1,)
    assert (raw[4:] if order == "<" else to_little_endian(raw[4:], ">")[0]) == want


def test_the_file_opened_for_a_counted_source_is_closed_at_its_last_trace(tmp_path, fd_count):
    path, _ = ragged_file(tmp_path)
    reader = vondrel.traces(path)
    assert [t.ns for t in (next(reader), next(reader), next(reader))] == [3, 5, 2]
    assert len(os.listdir("/proc/self/fd")) == fd_count      # closed before StopIteration is asked for
    assert next(reader, None) is None


class Stalling(Unseekable):
    """A non-blocking pipe stand-in: its bytes up to `stall`, then None (no
    data now) on every read, as a raw non-blocking stream gives."""

    def __init__(self, data, stall):
        super().__init__(data[:stall])

    def readinto(self, b):
        return super().readinto(b) or None


def _su_data():
    return b"".join(trace_bytes(np.arange(50, dtype=np.float32) + i, tracl=i + 1, dt=4000) for i in range(4))


@pytest.mark.parametrize("stall", [10, 600], ids=["in-detection", "in-the-traces"])
@pytest.mark.parametrize("how", [
    lambda f: vondrel.read(f),
    lambda f: list(vondrel.traces(f, format="su", byteorder="<")),
    lambda f: vondrel.traces(f, format="su", byteorder="<").readinto(bytearray(1 << 16)),
], ids=["read", "traces", "readinto"])
def test_a_stream_with_no_data_ready_is_a_blocking_error_never_the_end(how, stall):
    with pytest.raises(BlockingIOError, match=r"^The stream has no data ready; use a blocking stream\.$"):
        how(Stalling(_su_data(), stall))


@pytest.mark.parametrize("stall", [1000, 3700, 6000], ids=["textual-header", "first-trace", "later-trace"])
@pytest.mark.parametrize("how", [
    lambda f: vondrel.read(f, format="segy"),
    lambda f: list(vondrel.traces(f, format="segy")),
], ids=["read", "traces"])
def test_a_segy_stream_with_no_data_ready_is_a_blocking_error(how, stall):
    with open(os.path.join(os.path.dirname(__file__), "data", "segyio_small.sgy"), "rb") as f:
        data = f.read()
    assert len(data) > stall
    with pytest.raises(BlockingIOError, match=r"^The stream has no data ready; use a blocking stream\.$"):
        how(Stalling(data, stall))
