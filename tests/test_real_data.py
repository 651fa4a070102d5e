"""Real Seismic Unix files (tests/data, see PROVENANCE.md) as collection files:
read back sample for sample against a NumPy parse, written back byte for byte."""
import io
import struct
from pathlib import Path

import numpy as np
import pytest

from segyfiles import HEADER_FIELDS, parse_collection
from tracebytes import header_of
from vondrel.segy import SEGY

DATA = Path(__file__).resolve().parent / "data"
BIG = "".join(code for _, code in HEADER_FIELDS)

# file name, byte order, traces, ns, dt
FILES = [
    ("segyio_small-lsb.su", "<", 25, 50, 0),
    ("segyio_small.su", ">", 25, 50, 0),
    ("obspy_1_first_trace.su", "<", 1, 8000, 250),
    ("seismiclab_gom_cdp_nmo.su", ">", 92, 1751, 4000),
    ("seismiclab_cdp700.su", ">", 24, 1100, 2000),
    ("seismiclab_data_with_noise.su", ">", 50, 501, 4000),
    ("seismiclab_syn_cmp.su", ">", 38, 522, 4000),
    ("seismiclab_small_stack.su", ">", 20, 200, 2000),
    ("seismiclab_min_phase_wavelet.su", ">", 1, 35, 4000),
]


def to_little_endian(raw, order):
    """The traces of an SU file in little-endian order: each named header
    field swapped at its own width, the unassigned area copied, each sample
    swapped as 4 bytes."""
    out, pos = [], 0
    while pos < len(raw):
        *values, unassigned = struct.unpack(order + BIG + "28s", raw[pos:pos + 240])
        ns = values[[n for n, _ in HEADER_FIELDS].index("ns")]
        samples = np.frombuffer(raw, dtype=order + "u4", count=ns, offset=pos + 240)
        out.append(struct.pack("<" + BIG + "28s", *values, unassigned) + samples.astype("<u4").tobytes())
        pos += 240 + 4 * ns
    assert pos == len(raw)
    return out


def collection_file(tmp_path, name, order):
    traces = to_little_endian((DATA / name).read_bytes(), order)
    path = tmp_path / (name + ".col")
    raw = struct.pack("<i", len(traces)) + b"".join(traces)
    path.write_bytes(raw)
    return path, raw


def test_the_conversion_turns_the_big_endian_twin_into_the_little_endian_one():
    big = to_little_endian((DATA / "segyio_small.su").read_bytes(), ">")
    assert b"".join(big) == (DATA / "segyio_small-lsb.su").read_bytes()


@pytest.mark.parametrize("name, order, n, ns, dt", FILES, ids=[f[0] for f in FILES])
def test_read_sample_for_sample(tmp_path, name, order, n, ns, dt, fd_count):
    path, raw = collection_file(tmp_path, name, order)
    count, expected = parse_collection(raw)
    assert count == n and len(expected) == n
    coll = SEGY.from_file(path)
    assert coll.n_traces == n
    got = 0
    for trace, (head, samples) in zip(coll, expected, strict=True):
        assert (trace.ns, trace.dt, trace.ntr) == (ns, dt, 0) == (head["ns"], head["dt"], head["ntr"])
        assert np.array_equal(np.asarray(trace).view("<u4"), samples.view("<u4"))
        assert header_of(trace)[212:] == head["unassigned"]
        got += 1
    assert got == n


@pytest.mark.parametrize("name, order, n, ns, dt", FILES, ids=[f[0] for f in FILES])
def test_written_back_byte_for_byte(tmp_path, name, order, n, ns, dt, fd_count):
    path, raw = collection_file(tmp_path, name, order)
    streamed = io.BytesIO()
    SEGY.from_file(path).to_stream(streamed)
    assert streamed.getvalue() == raw
    target = tmp_path / "copy.su"
    coll = SEGY.from_file(path).to_memory().to_file(target)
    assert target.read_bytes() == raw
    assert coll.on_disk and coll.n_traces == n


@pytest.mark.parametrize("name, order, n, ns, dt", FILES, ids=[f[0] for f in FILES])
def test_samples_rebuilt_into_a_collection(tmp_path, name, order, n, ns, dt):
    _, raw = collection_file(tmp_path, name, order)
    _, expected = parse_collection(raw)
    stacked = np.stack([s for _, s in expected]).astype(np.float32)
    buf = io.BytesIO()
    SEGY(stacked, dt).to_stream(buf)
    count, written = parse_collection(buf.getvalue())
    assert count == n
    for (head, samples), row in zip(written, stacked, strict=True):
        assert (head["ns"], head["dt"], head["ntr"]) == (ns, dt, n)
        assert np.array_equal(samples.view("<u4"), row.view("<u4"))


def test_a_big_endian_file_read_unconverted_fails(tmp_path, fd_count):
    raw = (DATA / "segyio_small.su").read_bytes()  # ns 50 misread as 12800
    path = tmp_path / "wrong.su"
    path.write_bytes(struct.pack("<i", 1000) + raw)
    with pytest.raises(OSError, match=r"^Unable to read expected number of trace samples\.$"):
        SEGY.from_file(path).to_memory()
