"""Detection edge cases: files that read alike in both byte orders, cut
short, ragged yet of a size that one ns would tile, SEG-Y file headers that
lie, and traces= on every path.  Every file is built here with struct and
NumPy, and every answer is checked against what was built."""
import io
import os
import struct

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vondrel
from segyfiles import HEADER_FIELDS
from test_files_read import Unseekable
from test_segy_files import DATA, segy_file

CODES = "".join(code for _, code in HEADER_FIELDS) + "28s"


def su_trace(samples, order, **fields):
    """One trace in `order`, built with struct: ns from the samples, zeros
    in every field not given (the unassigned bytes too, as Seismic Unix
    leaves them)."""
    data = np.asarray(samples, dtype=order + "f4")
    values = {name: 0 for name, _ in HEADER_FIELDS}
    values.update(fields, ns=len(data))
    return struct.pack(order + CODES, *(values[name] for name, _ in HEADER_FIELDS), bytes(28)) + data.tobytes()


def plane(order, ns, dt, n=32):
    """Bytes as Seismic Unix writes `suplane nt=ns | sushw key=dt a=dt`:
    tracl 1 to n, trid 1, samples zero but for spikes of 1 on two dipping
    lines; and the samples."""
    rows = np.zeros((n, ns), np.float32)
    for i in range(n):
        rows[i, (40 + i) % ns] = rows[i, (100 + 2 * i) % ns] = 1.0
    return b"".join(su_trace(rows[i], order, tracl=i + 1, trid=1, dt=dt) for i in range(n)), rows


def sources(tmp_path, raw, name="f"):
    """The bytes as a path, a seekable file and a pipe stand-in."""
    path = tmp_path / name
    path.write_bytes(raw)
    return {"path": path, "file": io.BytesIO(raw), "pipe": io.BufferedReader(Unseekable(raw))}


@pytest.mark.parametrize("order", ["<", ">"])
@pytest.mark.parametrize("dt", [20000, 40000, 50000])
@pytest.mark.parametrize("ns", [257, 514])          # 0x0101, 0x0202: the same in either order
def test_sample_counts_that_read_alike_in_both_orders_follow_the_evidence(tmp_path, order, dt, ns):
    raw, rows = plane(order, ns, dt)
    for how, source in sources(tmp_path, raw).items():
        g = vondrel.read(source)
        assert (g.format, g.byteorder) == ("su", order), how
        assert g.headers["tracl"].tolist() == list(range(1, 33)) and set(g.headers["dt"].tolist()) == {dt}
        np.testing.assert_array_equal(g.samples, rows)
    assert vondrel.probe(tmp_path / "f") == ("su", order, 32, ns, dt)


@pytest.mark.parametrize("order", ["<", ">"])
@pytest.mark.parametrize("dt", [0, 4000])
def test_a_truncated_file_with_zero_runs_gives_the_complete_traces_of_its_own_reading(tmp_path, order, dt):
    raw, rows = plane(order, 64, dt)
    path = tmp_path / "cut.su"
    path.write_bytes(raw[:-100])
    name = {"<": "little", ">": "big"}[order]
    with pytest.raises(ValueError, match=rf"the closest, SU {name}-endian, breaks at trace 31 \(byte offset 15376\)"):
        vondrel.read(path)
    g = vondrel.read(path, partial=True)
    assert (g.format, g.byteorder, len(g)) == ("su", order, 31)
    assert g.headers["tracl"].tolist() == list(range(1, 32))
    np.testing.assert_array_equal(g.samples, rows[:31])


def test_a_reading_that_fails_plausibility_is_never_a_partial_read(tmp_path):
    # Every byte but ns is zero: both orders tile as much, and neither is
    # more plausible; no partial read picks one.
    raw = su_trace(np.zeros(257), "<") * 3
    path = tmp_path / "blank.su"
    path.write_bytes(raw[:-10])
    with pytest.raises(ValueError, match="no reading fits the data"):
        vondrel.read(path, partial=True)
    assert len(vondrel.read(path, partial=True, byteorder="<")) == 2


@pytest.mark.parametrize("lengths", [[10] + [5] * 14, [10] * 5 + [5] * 14], ids=["reads-short", "overshoots"])
def test_a_ragged_file_whose_size_one_ns_would_tile_is_followed_to_its_end(tmp_path, lengths):
    raw = b"".join(su_trace(np.arange(k) + 100 * i, "<", tracl=i + 1, dt=4000) for i, k in enumerate(lengths))
    assert len(raw) % (240 + 4 * lengths[0]) == 0
    path = tmp_path / "ragged.su"
    path.write_bytes(raw)
    bounds = np.cumsum([0] + lengths).tolist()
    for source in sources(tmp_path, raw, "ragged.su").values():
        g = vondrel.read(source)
        assert g.offsets.tolist() == bounds and g.headers["tracl"].tolist() == list(range(1, len(lengths) + 1))
    assert vondrel.probe(path) == ("su", "<", len(lengths), None, 4000)
    reader = vondrel.traces(path)
    assert (reader.n_traces, reader.ns) == (len(lengths), None)
    assert [t.ns for t in reader] == lengths
    tail = vondrel.read(path, traces=slice(-3, None))
    assert tail.headers["tracl"].tolist() == [len(lengths) - 2, len(lengths) - 1, len(lengths)]
    assert tail.flat.tolist() == [v + 100 * i for i in range(len(lengths) - 3, len(lengths)) for v in range(5)]


def dead_segy(n=200, ns=500, cut=150):
    """A SEG-Y file of dead traces (zero samples) behind a textual header of
    blanks, cut short."""
    raw = bytearray(segy_file([ns] * n, text="C 1 CLIENT".ljust(3200)))
    for i in range(n):
        at = 3600 + i * (240 + 4 * ns) + 240
        raw[at:at + 4 * ns] = bytes(4 * ns)
    return bytes(raw[:-cut])


def test_a_truncated_segy_file_of_dead_traces_reads_as_segy():
    raw = dead_segy()
    with pytest.raises(ValueError, match=r"the closest, SEG-Y big-endian, breaks at trace 199 \(byte offset 449360\): "
                                         r"the file ends 2090 bytes into that trace \(the binary header's sample "
                                         r"count \(hns, bytes 3221-3222\) is 500; "):
        vondrel.read(io.BytesIO(raw))
    g = vondrel.read(io.BytesIO(raw), partial=True)
    assert (g.format, len(g), g.samples.shape) == ("segy", 199, (199, 500)) and not g.samples.any()
    assert g.headers["tracl"].tolist() == list(range(1, 200))


def with_first_trace(raw, offset, extra=b""):
    """A revision 2 file: bytes 3521-3528 say where the first trace is, and
    `extra` bytes sit before it."""
    raw = bytearray(raw)
    struct.pack_into(">Q", raw, 3520, offset)
    start = offset - len(extra)
    return bytes(raw[:start] + extra + raw[start:])


@pytest.mark.parametrize("n_extended, gap", [(1, 0), (2, 0), (1, 16), (0, 3200)])
def test_a_revision_2_first_trace_offset_says_where_the_traces_begin(n_extended, gap):
    blocks = [f"C 1 extended {k}" for k in range(n_extended)]
    raw = segy_file([4, 4], extended=blocks, nvstxt=n_extended, rev=2, trflag=1)
    raw = with_first_trace(raw, 3600 + 3200 * n_extended + gap, b"\xff" * gap)
    for source in (io.BytesIO(raw), io.BufferedReader(Unseekable(raw))):
        g = vondrel.read(source)
        assert g.samples.tolist() == [[1, 2, 3, 4], [5, 6, 7, 8]]
        assert [t.split("\n")[0].rstrip() for t in g.extended_text] == blocks
    assert [np.asarray(t).tolist() for t in vondrel.traces(io.BytesIO(raw))] == [[1, 2, 3, 4], [5, 6, 7, 8]]


def test_a_segy_file_with_a_textual_header_of_nuls_is_recognised_on_a_pipe():
    raw = bytearray(segy_file([10] * 6, ns_in_headers=False))
    raw[:3200] = bytes(3200)
    g = vondrel.read(io.BufferedReader(Unseekable(bytes(raw))))
    assert (g.format, g.samples.shape, g.samples[5, 9]) == ("segy", (6, 10), 60.0)


def test_a_first_trace_offset_inside_the_file_headers_is_refused():
    raw = with_first_trace(segy_file([4, 4], extended=["C 1 more"], nvstxt=1, rev=2, trflag=1), 3600)
    with pytest.raises(ValueError, match=r"^<stream>: bytes 3201-3600 are a SEG-Y binary header \(big-endian\) whose "
                                         r"first-trace offset \(bytes 3521-3528\), 3600, lies inside the file "
                                         r"headers, which end at byte 6800$"):
        vondrel.read(io.BytesIO(raw))


@pytest.mark.parametrize("raw_text, encoding", [
    (b"SURVEY@EXAMPLE.ORG LINE 7".ljust(3200, b"\0"), "ascii"),      # NUL padded, more @ than blanks
    (b"@@@@ " + b"C 1 ASCII".ljust(3195, b"\0"), "ascii"),
    (("C 1 EBCDIC " + "@" * 40).ljust(3200).encode("cp037"), "cp037"),
    ("CLIENT  SURVEY".ljust(3200).encode("cp037"), "cp037"),
])
def test_the_textual_header_decodes_in_the_encoding_that_reads_all_of_it_as_text(raw_text, encoding):
    raw = bytearray(segy_file([4, 4]))
    raw[:3200] = raw_text
    g = vondrel.read(io.BytesIO(bytes(raw)))
    assert g.text.replace("\n", "") == raw_text.decode(encoding)
    out = io.BytesIO()
    vondrel.write(out, g)
    assert out.getvalue() == bytes(raw)


@pytest.mark.parametrize("lengths, trflag", [([4, 4, 4], 1), ([3, 5, 2], 0)])
def test_revision_1_stored_as_00_01_is_kept_on_write(lengths, trflag):
    raw = bytearray(segy_file(lengths, order="<", trflag=trflag))
    raw[3500:3502] = b"\x00\x01"              # 0x0100 little-endian: revision 1.0
    g = vondrel.read(io.BytesIO(bytes(raw)))
    assert g.offsets.tolist() == np.cumsum([0] + lengths).tolist()
    out = io.BytesIO()
    vondrel.write(out, g)
    assert out.getvalue()[3500:3502] == b"\x00\x01" and out.getvalue() == bytes(raw)


@pytest.mark.parametrize("lengths, ns", [([3, 5, 2], None), ([6, 6, 6, 6], 6)])
def test_probe_walks_the_headers_of_a_variable_length_segy_file(tmp_path, lengths, ns):
    path = tmp_path / "v.sgy"
    path.write_bytes(segy_file(lengths, rev=1, trflag=0, code=3))
    assert vondrel.probe(path) == ("segy", ">", len(lengths), ns, 2000)
    path.write_bytes(path.read_bytes()[:-1])
    with pytest.raises(ValueError, match=rf"trace {len(lengths) - 1} at byte offset \d+ is cut short$"):
        vondrel.probe(path)


SELECTIONS = [slice(None, None, -1), slice(-2, None), slice(5, 1, -2), range(4, 0, -2), 3, -1, np.int64(0)]


@pytest.mark.parametrize("fmt", ["su", "segy"])
@pytest.mark.parametrize("how", ["path", "file", "pipe"])
def test_traces_selects_alike_on_every_path(tmp_path, fmt, how):
    if fmt == "su":
        raw = b"".join(su_trace(np.full(4, i, np.float32), ">", tracl=i + 1, dt=4000) for i in range(7))
    else:
        raw = segy_file([4] * 7)
    for traces in SELECTIONS:
        g = vondrel.read(sources(tmp_path, raw)[how], traces=traces)
        as_slice = slice(traces.start, traces.stop, traces.step) if isinstance(traces, range) else traces
        rows = [range(7)[traces]] if isinstance(traces, (int, np.integer)) else range(7)[as_slice]
        assert g.headers["tracl"].tolist() == [i + 1 for i in rows], traces
        assert g.samples.shape == (len(rows), 4)
    with pytest.raises(IndexError, match=r"trace 7 is out of range"):
        vondrel.read(sources(tmp_path, raw)[how], traces=7)


@pytest.mark.parametrize("code", [0, 99])
def test_an_unknown_format_code_is_named_and_sample_format_reads_the_file(tmp_path, code):
    path = tmp_path / "code.sgy"
    path.write_bytes(segy_file([4, 4], code=code))
    message = (rf"^{path}: bytes 3201-3600 are a SEG-Y binary header \(big-endian\) with an unknown sample format "
               rf"code, {code} \(bytes 3225-3226\); sample_format= says which format the samples are in")
    with pytest.raises(ValueError, match=message + "$"):
        vondrel.read(path)
    with pytest.raises(ValueError, match=message + rf"; its binary header holds hdt 2000, hns 4(, format {code})? "
                                                   r"\(big-endian\)$"):
        vondrel.probe(path)
    assert vondrel.read(path, sample_format=5).samples.tolist() == [[1, 2, 3, 4], [5, 6, 7, 8]]
    assert vondrel.probe(path, sample_format=5) == ("segy", ">", 2, 4, 2000)
    assert [np.asarray(t).tolist() for t in vondrel.traces(path, sample_format=5)] == [[1, 2, 3, 4], [5, 6, 7, 8]]


@pytest.mark.parametrize("said, true, headers", [(49, 50, True), (51, 50, False), (0, 8, True)])
def test_a_lying_sample_count_is_named_and_ns_reads_the_file(tmp_path, said, true, headers):
    path = tmp_path / "hns.sgy"
    path.write_bytes(segy_file([true] * 10, hns=said, ns_in_headers=headers))
    message = (rf"^{path}: SEG-Y big-endian: the binary header's sample count \(hns, bytes 3221-3222\) is {said}, "
               rf"and traces of {said} samples do not tile the file; {true} samples per trace would, as the trace "
               rf"headers say \(ns={true} reads them so\)")
    for partial in (False, True):
        with pytest.raises(ValueError, match=message + "$"):
            vondrel.read(path, partial=partial)
    with pytest.raises(ValueError, match=message + r"; its binary header holds hdt 2000, (hns \d+, )?format 5 "
                                                   r"\(big-endian\)$"):
        vondrel.probe(path)
    pipe = io.BufferedReader(Unseekable(path.read_bytes()))
    if said:
        with pytest.raises(ValueError, match=rf"^<stream>: SEG-Y big-endian: trace \d+ at byte offset \d+ is cut short "
                                             rf"\(the binary header's sample count \(hns, bytes 3221-3222\) is "
                                             rf"{said}; {true} samples per trace would tile the data\)$"):
            vondrel.read(pipe)
    else:
        with pytest.raises(ValueError, match=r"^<stream>: SEG-Y big-endian: the binary header's sample count "
                                             r"\(hns, bytes 3221-3222\) is 0, and traces follow it; ns= gives their "
                                             r"sample count$"):
            vondrel.read(pipe, partial=True)
    g = vondrel.read(path, ns=true)
    assert g.samples.tolist() == np.arange(1, 10 * true + 1).reshape(10, true).tolist()
    assert vondrel.probe(path, ns=true) == ("segy", ">", 10, true, 2000)


@pytest.mark.parametrize("said", [49, 51])
def test_a_lying_sample_count_is_refuted_by_the_headers_that_follow(tmp_path, said):
    # segyio's small file: no ns and no trace numbers in its trace headers;
    # at a wrong size, the headers after the first begin with samples.
    raw = bytearray((DATA / "segyio_small.sgy").read_bytes())
    struct.pack_into(">H", raw, 3220, said)
    path = tmp_path / "hns.sgy"
    path.write_bytes(raw)
    for partial in (False, True):
        with pytest.raises(ValueError, match=rf"the binary header's sample count \(hns, bytes 3221-3222\) is {said}, "
                                             r"and traces of \d+ samples do not tile the file; 50 samples per trace"):
            vondrel.read(path, partial=partial)
    assert vondrel.read(path, ns=50).samples.tobytes() == vondrel.read(DATA / "segyio_small.sgy").samples.tobytes()


def test_a_file_cut_short_keeps_its_sample_count_though_another_tiles_it(tmp_path):
    # 24 traces of 440 bytes and a header: 10,800 bytes, which traces of 48
    # samples (432 bytes) would tile; the headers that follow say 50.
    raw = (DATA / "segyio_small.sgy").read_bytes()[:3600 + 24 * 440 + 240]
    path = tmp_path / "cut.sgy"
    path.write_bytes(raw)
    with pytest.raises(ValueError, match=r"breaks at trace 24 .*\(the binary header's sample count \(hns, bytes "
                                         r"3221-3222\) is 50; 48 samples per trace would tile it\)$"):
        vondrel.read(path)
    g = vondrel.read(path, partial=True)
    assert g.samples.tobytes() == vondrel.read(DATA / "segyio_small.sgy").samples[:24].tobytes()


def test_overrides_are_for_segy_files(tmp_path):
    path = tmp_path / "p.su"
    path.write_bytes(plane("<", 8, 4000)[0])
    with pytest.raises(ValueError, match=r"ns= and sample_format= are for SEG-Y files \(format='segy'\), "
                                         r"not format='su'$"):
        vondrel.read(path, format="su", ns=8)
    with pytest.raises(ValueError, match="bytes hold no segy data"):
        vondrel.read(path, ns=8)


@st.composite
def mutated_segy(draw):
    """A SEG-Y file with a binary header field overwritten, bytes changed
    or the file cut."""
    raw = bytearray(segy_file([draw(st.sampled_from([1, 4, 7]))] * draw(st.integers(0, 4)),
                              code=draw(st.sampled_from([1, 2, 3, 5, 8])), order=draw(st.sampled_from("<>")),
                              rev=draw(st.sampled_from([0, 1, 2])), trflag=draw(st.sampled_from([0, 1])),
                              nvstxt=draw(st.sampled_from([0, -1, 1]))))
    for _ in range(draw(st.integers(1, 3))):
        kind = draw(st.sampled_from(["field", "bytes", "cut"]))
        if kind == "field":
            at = 3200 + draw(st.sampled_from([16, 20, 24, 96, 300, 302, 304, 312, 320]))
            raw[at:at + 8] = draw(st.binary(min_size=8, max_size=8))
        elif kind == "bytes" and raw:
            at = draw(st.integers(0, len(raw) - 1))
            chunk = draw(st.binary(min_size=1, max_size=4))
            raw[at:at + len(chunk)] = chunk
        elif raw:
            del raw[draw(st.integers(0, len(raw) - 1)):]
    return bytes(raw)


@settings(max_examples=int(os.environ.get("VONDREL_FUZZ_EXAMPLES") or 150), deadline=None)
@given(raw=mutated_segy(), stream=st.booleans(), partial=st.booleans(),
       traces=st.sampled_from([None, slice(None, None, -1), 0, -1]))
def test_lying_segy_headers_give_a_reading_or_a_value_error(raw, stream, partial, traces):
    def source():
        return io.BufferedReader(Unseekable(raw)) if stream else io.BytesIO(raw)
    for call in (lambda: vondrel.read(source(), partial=partial, traces=traces), lambda: vondrel.probe(source())):
        try:
            call()
        except (ValueError, IndexError):
            pass
