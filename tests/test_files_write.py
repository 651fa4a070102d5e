"""vondrel.write, to_collection, from_collection and the header view:
round trips in either byte order and between arrays and trace objects."""
import gc
import io
import struct
import subprocess
import sys

import numpy as np
import pytest

import vondrel
from test_files_read import Unseekable, parse, ragged_bytes, su_trace
from test_real_data import DATA, FILES, to_little_endian
from vondrel.segy import SEGY, SEGYTrace


@pytest.mark.parametrize("name, order", [(f[0], f[1]) for f in FILES if f[1] == ">"])
def test_big_endian_files_write_back_identical_and_native_as_swapped_field_by_field(tmp_path, name, order):
    raw = (DATA / name).read_bytes()
    g = vondrel.read(DATA / name)
    vondrel.write(tmp_path / "same.su", g)
    vondrel.write(tmp_path / "native.su", g, byteorder="=")
    assert (tmp_path / "same.su").read_bytes() == raw
    assert (tmp_path / "native.su").read_bytes() == b"".join(to_little_endian(raw, order))


def test_the_segyio_twins_convert_into_each_other():
    big, little = (vondrel.read(DATA / n) for n in ("segyio_small.su", "segyio_small-lsb.su"))
    out = io.BytesIO()
    vondrel.write(out, big, byteorder="<")
    assert out.getvalue() == (DATA / "segyio_small-lsb.su").read_bytes()
    out = io.BytesIO()
    vondrel.write(out, little, byteorder=">")
    assert out.getvalue() == (DATA / "segyio_small.su").read_bytes()


@pytest.mark.parametrize("order", ["<", ">"])
@pytest.mark.parametrize("how", ["path", "file", "pipe"])
def test_a_collection_file_carries_its_count_in_the_order_of_its_traces(tmp_path, order, how):
    g = vondrel.read(io.BytesIO(ragged_bytes(">")))
    path = tmp_path / "c.col"
    if how == "path":
        vondrel.write(path, g, format="collection", byteorder=order)
    elif how == "file":
        with open(path, "wb") as f:
            f.write(b"HEAD")
            vondrel.write(f, g, format="collection", byteorder=order)
            f.write(b"TAIL")
    else:
        with open(path, "wb") as f:
            proc = subprocess.Popen(["cat"], stdin=subprocess.PIPE, stdout=f)
            vondrel.write(proc.stdin, g, format="collection", byteorder=order)
            proc.stdin.close()
            assert proc.wait() == 0
    raw = path.read_bytes()
    if how == "file":
        assert raw[:4] == b"HEAD" and raw[-4:] == b"TAIL"
        raw = raw[4:-4]
    assert raw == struct.pack(order + "i", 4) + ragged_bytes(order)


def test_a_write_error_is_raised_and_the_file_closed(fd_count):
    with pytest.raises(OSError) as caught:
        vondrel.write("/dev/full", vondrel.read(DATA / "segyio_small.su"))
    assert caught.value.errno == 28       # ENOSPC


def test_write_takes_ns_from_the_samples_and_refuses_a_header_that_disagrees(tmp_path):
    headers = np.zeros(3, dtype=vondrel.header_dtype())
    headers["tracl"] = [1, 2, 3]
    samples = np.arange(12, dtype=np.float32).reshape(3, 4)
    out = io.BytesIO()
    vondrel.write(out, (headers, samples))                          # ns 0: unset, filled in
    heads, rows = parse(out.getvalue(), "<")
    assert [h["ns"] for h in heads] == [4, 4, 4] and np.array_equal(rows, samples)
    headers["ns"] = [4, 5, 4]
    with pytest.raises(ValueError, match=r"^trace 1: its header says ns 5, its samples number 4$"):
        vondrel.write(io.BytesIO(), (headers, samples))
    headers["ns"] = 0
    with pytest.raises(ValueError, match=r"^The offsets do not describe the samples"):
        vondrel.write(io.BytesIO(), vondrel.Gather(headers, samples.ravel(), np.array([0, 4, 8, 13])))


def test_to_collection_shares_the_rows_and_copies_every_header_field_but_ns():
    g = vondrel.read(DATA / "seismiclab_cdp700.su")
    traces = list(g.to_collection())
    assert [t.ns for t in traces] == [1100] * 24
    assert all(np.shares_memory(np.asarray(t), g.samples[i]) for i, t in enumerate(traces))
    back = vondrel.from_collection(traces)
    assert back.headers.tobytes() == g.headers.tobytes()
    ragged = vondrel.read(io.BytesIO(ragged_bytes()))
    assert vondrel.from_collection(ragged.to_collection()).flat.tolist() == ragged.flat.tolist()


@pytest.mark.parametrize("mode", ["on disk", "in memory", "stream"])
def test_from_collection_reads_any_collection_mode(tmp_path, mode):
    path = tmp_path / "c.col"
    vondrel.write(path, vondrel.read(DATA / "seismiclab_small_stack.su"), format="collection", byteorder="=")
    with open(path, "rb") as f:
        c = {"on disk": SEGY.from_file(str(path)), "in memory": SEGY.from_file(str(path)).to_memory(),
             "stream": SEGY.from_file(io.BufferedReader(Unseekable(f.read())))}[mode]
    g = vondrel.from_collection(c)
    assert np.array_equal(g.samples, vondrel.read(path).samples)
    assert g.headers.tobytes() == vondrel.read(path).headers.tobytes()


def test_the_header_view_changes_the_trace_and_keeps_it_alive():
    t = SEGYTrace(np.arange(5, dtype=np.float32), 4000, tracl=9)
    before = sys.getrefcount(t)
    view = vondrel.header(t)
    assert (view.shape, view["tracl"], view["dt"], "ns" in view.dtype.names) == ((), 9, 4000, False)
    view["tracl"] = 12
    view["scalco"] = -100
    out = io.BytesIO()
    vondrel.write(out, vondrel.from_collection([t]), format="su")
    heads, _ = parse(out.getvalue(), "<")
    assert (heads[0]["tracl"], heads[0]["scalco"], heads[0]["ns"]) == (12, -100, 5)
    assert sys.getrefcount(t) == before + 1
    t.__init__(np.ones(3, dtype=np.float32), 2000)   # a new record: the view keeps the old one
    assert (t.ns, t.dt, view["dt"]) == (3, 2000, 4000)
    del t
    gc.collect()
    view["ntr"] = 3                       # still the record's own memory (the sanitizer run checks)
    assert view["ntr"] == 3 and view["tracl"] == 12


@pytest.mark.parametrize("order", ["<", ">"])
def test_files_larger_than_the_io_chunks_round_trip_byte_for_byte(tmp_path, order):
    # Traces of every length straddle the reader's and the writer's chunk
    # boundaries at every offset.
    rng = np.random.default_rng(5)
    raw = b"".join(su_trace(rng.standard_normal(k), order, tracl=i) for i, k in enumerate(rng.integers(0, 900, 900)))
    (tmp_path / "big.su").write_bytes(raw)
    g = vondrel.read(tmp_path / "big.su", byteorder=order)
    vondrel.write(tmp_path / "out.col", g, format="collection")
    assert (tmp_path / "out.col").read_bytes() == struct.pack(order + "i", 900) + raw
