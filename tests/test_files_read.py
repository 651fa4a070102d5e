"""vondrel.read and vondrel.probe: SU files in either byte order and
collection files into arrays, detection, truncation, streams, subsets."""
import io
import os
import struct
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vondrel
from segyfiles import HEADER_FIELDS
from test_real_data import DATA, FILES

CODES = "".join(code for _, code in HEADER_FIELDS) + "28s"
NAMES = [n for n, _ in HEADER_FIELDS]


def su_trace(samples, order="<", **fields):
    """One trace in `order`, built with struct: ns from the samples."""
    data = np.asarray(samples, dtype=order + "f4")
    values = {n: 0 for n in NAMES}
    values.update(fields, ns=fields.get("ns", len(data)))
    return struct.pack(order + CODES, *(values[n] for n in NAMES), b"\x07" * 28) + data.tobytes()


def parse(raw, order):
    """(header dicts, sample arrays) of SU bytes, parsed with struct and NumPy."""
    heads, rows, pos = [], [], 0
    while pos < len(raw):
        values = struct.unpack(order + CODES, raw[pos:pos + 240])
        heads.append(dict(zip(NAMES + ["unass"], values)))
        rows.append(np.frombuffer(raw, order + "f4", heads[-1]["ns"], pos + 240))
        pos += 240 + 4 * heads[-1]["ns"]
    return heads, rows


@pytest.mark.parametrize("name, order, n, ns, dt", FILES, ids=[f[0] for f in FILES])
def test_real_files_read_as_a_struct_parse_says(name, order, n, ns, dt, fd_count):
    g = vondrel.read(DATA / name)
    heads, rows = parse((DATA / name).read_bytes(), order)
    assert (g.format, g.byteorder, g.samples.shape, g.samples.dtype) == ("su", order, (n, ns), np.float32)
    assert g.samples.flags.c_contiguous and g.headers.dtype.isnative or g.headers.dtype.byteorder == "|"
    for field in NAMES:
        assert g.headers[field].tolist() == [h[field] for h in heads], field
    assert [bytes(u) for u in g.headers["unass"]] == [h["unass"] for h in heads]
    np.testing.assert_array_equal(g.samples, np.array(rows))
    assert vondrel.probe(DATA / name) == (g.format, order, n, ns, dt)


@pytest.mark.parametrize("how", ["path", "file", "pipe"])
def test_a_collection_is_read_in_either_order_and_a_stream_left_after_it(tmp_path, how):
    traces = [su_trace(np.arange(3) + i, ">", tracl=i) for i in range(4)]
    raw = struct.pack(">i", 4) + b"".join(traces)
    path = tmp_path / "c.col"
    path.write_bytes(raw + b"TAIL")
    if how == "pipe":
        with subprocess.Popen(["cat", str(path)], stdout=subprocess.PIPE) as proc:
            g, rest = vondrel.read(proc.stdout, format="collection", byteorder=">"), proc.stdout.read()
    else:
        with open(path, "rb") as f:
            g = vondrel.read(path if how == "path" else f, format="collection")
            rest = f.read()
    assert (g.format, g.byteorder, g.headers["tracl"].tolist()) == ("collection", ">", [0, 1, 2, 3])
    assert g.samples.tolist() == [[i, i + 1, i + 2] for i in range(4)]
    assert rest == (b"TAIL" if how != "path" else raw + b"TAIL")


@pytest.mark.parametrize("raw, fmt", [(b"", "su"), (b"\0\0\0\0", "collection")])
def test_a_file_with_no_traces_reads_in_native_order(tmp_path, raw, fmt):
    (tmp_path / "e.su").write_bytes(raw)
    g = vondrel.read(tmp_path / "e.su")
    assert (g.format, g.byteorder, len(g), g.samples.shape, g.offsets.tolist()) == (fmt, "<", 0, (0, 0), [0])


def test_a_file_that_tiles_in_no_order_names_the_closest_reading(tmp_path):
    raw = su_trace([1.0] * 10, ">") * 3
    path = tmp_path / "cut.su"
    path.write_bytes(raw[:-7])
    with pytest.raises(ValueError, match=rf"^{path}: no reading fits the data; the closest, SU big-endian, breaks "
                                         r"at trace 2 \(byte offset 560\): the file ends 273 bytes into that trace$"):
        vondrel.read(path)
    with pytest.raises(ValueError, match="breaks at trace 2 \\(byte offset 560\\)"):
        vondrel.read(path, format="su", byteorder=">")
    g = vondrel.read(path, partial=True)
    assert (len(g), g.byteorder) == (2, ">")


@pytest.mark.parametrize("plausible", [True, False])
def test_an_ns_that_reads_alike_in_both_orders_is_decided_by_plausibility(tmp_path, plausible):
    # ns 257 is 0x0101: both orders tile; the samples and dt tell them apart
    # unless every byte but ns is zero.
    samples = np.linspace(-3, 3, 257) if plausible else np.zeros(257)
    path = tmp_path / "tie.su"
    path.write_bytes(su_trace(samples, ">", dt=4000 if plausible else 0, tracl=1 if plausible else 0) * 2)
    if plausible:
        assert vondrel.read(path).byteorder == ">"
    else:
        with pytest.raises(ValueError, match=r"read as SU little-endian and as SU big-endian alike; "
                                             r"format= and byteorder= decide$"):
            vondrel.read(path)
    assert vondrel.read(path, byteorder="<").byteorder == "<"


def test_a_lying_count_is_a_truncation_not_an_allocation(tmp_path):
    path = tmp_path / "lie.col"
    path.write_bytes(struct.pack("<i", 2 ** 31 - 1) + su_trace([1.0, 2.0]))
    with pytest.raises(ValueError, match=r"the count says 2147483647 traces, and the file holds 1$"):
        vondrel.read(path, format="collection")
    # Named, the collection is read to its last whole trace; detection takes
    # no count that the file cannot hold for a collection.
    assert vondrel.read(path, format="collection", partial=True).samples.tolist() == [[1.0, 2.0]]
    with pytest.raises(ValueError, match="no reading fits the data"):
        vondrel.read(path, partial=True)


class Unseekable(io.RawIOBase):
    """A pipe stand-in: readable, not seekable, no descriptor."""

    def __init__(self, data):
        self.data = memoryview(data)

    def readable(self):
        return True

    def readinto(self, b):
        n = min(len(b), len(self.data))
        b[:n] = self.data[:n]
        self.data = self.data[n:]
        return n


def ragged_bytes(order="<"):
    return b"".join(su_trace(np.arange(k, dtype=float), order, tracl=k) for k in (3, 5, 5, 2))


@pytest.mark.parametrize("stream", [False, True])
def test_ragged_traces_come_back_flat_and_samples_names_the_first_that_differs(tmp_path, stream):
    path = tmp_path / "r.su"
    path.write_bytes(ragged_bytes(">"))
    g = vondrel.read(io.BufferedReader(Unseekable(path.read_bytes())) if stream else path, byteorder=">")
    assert g.offsets.tolist() == [0, 3, 8, 13, 15]
    assert g.flat.tolist() == [0, 1, 2, 0, 1, 2, 3, 4, 0, 1, 2, 3, 4, 0, 1]
    assert g.headers["tracl"].tolist() == [3, 5, 5, 2]
    with pytest.raises(ValueError, match=r"^trace 1 has 5 samples where trace 0 has 3: the traces differ"):
        g.samples
    if not stream:
        assert vondrel.probe(path) == ("su", ">", 4, None, 0)


@pytest.mark.parametrize("ns", [4, 600])      # a chunked read and a header-to-header scan
@pytest.mark.parametrize("traces", [slice(2, 5), range(1, 7, 2), slice(-2, None)])
def test_subsets_and_headers_only_match_the_full_read(tmp_path, ns, traces):
    path = tmp_path / "s.su"
    path.write_bytes(b"".join(su_trace(np.full(ns, i), ">", tracl=i) for i in range(7)))
    full = vondrel.read(path)
    part = vondrel.read(path, traces=traces)
    heads = vondrel.read(path, traces=traces, samples=False)
    rows = range(7)[traces if isinstance(traces, slice) else slice(traces.start, traces.stop, traces.step)]
    assert part.headers["tracl"].tolist() == heads.headers["tracl"].tolist() == list(rows)
    np.testing.assert_array_equal(part.samples, full.samples[list(rows)])
    assert heads.offsets.tolist() == [ns * i for i in range(len(rows) + 1)]
    with pytest.raises(ValueError, match=r"^the samples were not read \(samples=False\)$"):
        heads.samples


def test_import_vondrel_segy_loads_what_it_always_did():
    code = ("import sys; before = set(sys.modules); import {}; "
            "print(sorted(m for m in set(sys.modules) - before if m.startswith('vondrel') or m == 'numpy'))")
    run = lambda what: subprocess.run([sys.executable, "-c", code.format(what)], capture_output=True, text=True,
                                      check=True).stdout.strip()
    assert run("vondrel") == "['vondrel']"
    assert run("vondrel.segy") == "['numpy', 'vondrel', 'vondrel._io', 'vondrel.segy']"


def mutated_su():
    """SU bytes in either order with random ns and a random cut or splice."""
    traces = st.lists(st.tuples(st.integers(0, 40), st.sampled_from("<>")), min_size=0, max_size=5)

    def build(kinds, cut, junk):
        raw = b"".join(su_trace(np.arange(ns, dtype=float), order, tracl=i + 1) for i, (ns, order) in enumerate(kinds))
        return raw[:cut] + junk if cut is not None else raw
    return st.builds(build, traces, st.none() | st.integers(0, 2000), st.binary(max_size=300))


@settings(max_examples=int(os.environ.get("VONDREL_FUZZ_EXAMPLES") or 150), deadline=None)
@given(raw=mutated_su(), stream=st.booleans())
def test_any_bytes_read_back_exactly_or_raise_value_error(raw, stream):
    source = io.BufferedReader(Unseekable(raw)) if stream else io.BytesIO(raw)
    try:
        g = vondrel.read(source, partial=True)
    except ValueError:
        return
    out = io.BytesIO()
    vondrel.write(out, g, byteorder=g.byteorder)
    skip = 4 if g.format == "collection" else 0      # a partial read writes the count it found
    assert raw[skip:].startswith(out.getvalue()[skip:])
