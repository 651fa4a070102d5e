"""SEG-Y files through vondrel.read and vondrel.write: real files checked
against an independent NumPy parse, IBM floats against an exact reference,
and files built here with struct."""
import fcntl
import io
import os
import struct
import threading
from fractions import Fraction
from pathlib import Path

import numpy as np
import pytest

import vondrel
from vondrel import _arrays

DATA = Path(__file__).resolve().parent / "data"


# ---- an exact reference for IBM floats ---------------------------------------------------

def ibm_exact(word):
    """(negative, |value|) of an IBM word, as an exact fraction."""
    e, f = (word >> 24) & 0x7F, word & 0xFFFFFF
    return bool(word >> 31), Fraction(f, 1 << 24) * Fraction(16) ** (e - 64)


def round_half_even(q):
    n = q.numerator // q.denominator
    r = q - n
    return n + 1 if r > Fraction(1, 2) or (r == Fraction(1, 2) and n & 1) else n


def float32_bits(negative, mag):
    """The binary32 nearest to mag (ties to even), as bits."""
    sign = 0x80000000 if negative else 0
    if mag == 0:
        return sign
    e = mag.numerator.bit_length() - mag.denominator.bit_length()
    e = e - 1 if Fraction(2) ** e > mag else e
    e = max(e, -126)
    n = round_half_even(mag / Fraction(2) ** (e - 23))
    if n == 1 << 24:
        n, e = n >> 1, e + 1
    if e > 127:
        return sign | 0x7F800000
    return sign | n if n < 1 << 23 else sign | (e + 127) << 23 | (n - (1 << 23))


def ibm_word(bits):
    """The IBM word nearest to the binary32 `bits` (ties to even)."""
    value = Fraction(float(np.uint32(bits).view(np.float32)))
    sign = 0x80000000 if bits >> 31 else 0
    mag = abs(value)
    if mag == 0:
        return sign
    q = 64
    while mag >= Fraction(16) ** (q - 64):
        q += 1
    while mag < Fraction(16) ** (q - 65):
        q -= 1
    n = round_half_even(mag / Fraction(16) ** (q - 64) * (1 << 24))
    if n == 1 << 24:
        n, q = 1 << 20, q + 1
    return sign | q << 24 | n


@pytest.fixture(params=[False, True], ids=["best", "portable"])
def kernels(request):
    """Runs a test with the best kernels of this CPU, then the portable ones."""
    name = _arrays._segy_kernels(request.param)
    yield name
    _arrays._segy_kernels(False)


def decode_ibm(words, big):
    raw = np.asarray(words, dtype=">u4" if big else "<u4").tobytes()
    out = np.empty(len(words), np.float32)
    _arrays._segy_decode(bytes(240) + raw, 1, len(words), 1, big, np.empty(240, np.uint8), out, True)
    return out.view(np.uint32)


def encode_ibm(values, big):
    dst = bytearray(240 + 4 * len(values))
    bad = _arrays._segy_encode(np.zeros(240, np.uint8), np.asarray(values, np.float32), 1, len(values), 1,
                               big, dst)
    return bad, np.frombuffer(dst, ">u4" if big else "<u4", offset=240)


FRACTIONS = [0, 1, 2, 3, 7, 8, 0xF, 0x10, 0xFF, 0x1000, 0xFFFFF, 0x100000, 0x100001, 0x7FFFFF, 0x800000,
             0x800001, 0xFFFFFE, 0xFFFFFF, 0x123456, 0xABCDEF]


@pytest.mark.parametrize("big", [True, False])
def test_ibm_decode_is_correctly_rounded_at_every_exponent(kernels, big):
    words = [s << 31 | e << 24 | f for s in (0, 1) for e in range(128) for f in FRACTIONS]
    expected = [float32_bits(*ibm_exact(w)) for w in words]
    assert decode_ibm(words, big).tolist() == expected


MANTISSAS = [*range(17), 0x400000, 0x400004, 0x40000C, 0x3FFFFC, *range(0x7FFFF0, 0x800000)]


@pytest.mark.parametrize("big", [True, False])
def test_ibm_encode_is_correctly_rounded_and_refuses_non_finite(kernels, big):
    bits = [s << 31 | e << 23 | m for s in (0, 1) for e in range(255) for m in MANTISSAS]
    bad, words = encode_ibm(np.array(bits, np.uint32).view(np.float32), big)
    assert bad == -1
    assert words.tolist() == [ibm_word(b) for b in bits]
    # every normalised IBM value that binary32 holds comes back unchanged
    ibm = [w for w in words.tolist() if w & 0xFFFFFF]
    assert encode_ibm(decode_ibm(ibm, big).view(np.float32), big)[1].tolist() == ibm
    for special in (np.inf, -np.inf, np.nan):
        values = np.ones(2000, np.float32)
        values[1500] = special
        assert encode_ibm(values, big)[0] == 1500


# ---- files built here ------------------------------------------------------------------------

BINARY = {"hdt": ("h", 16), "hns": ("H", 20), "format": ("h", 24), "bytord": ("i", 96), "rev": ("B", 300),
          "trflag": ("h", 302), "nvstxt": ("h", 304), "maxtrh": ("h", 306), "ntrfile": ("Q", 312),
          "ntrailer": ("i", 328)}


def segy_file(ns_list, *, order=">", code=5, text=None, extended=(), ns_in_headers=True, **fields):
    """A SEG-Y file: EBCDIC text, a binary header of `fields`, traces of
    int16 (code 3) or 4-byte float samples numbered from 1."""
    binary = bytearray(400)
    fields = {"hdt": 2000, "hns": ns_list[0] if ns_list else 0, "format": code, **fields}
    for name, value in fields.items():
        kind, at = BINARY[name]
        struct.pack_into(order + kind, binary, at, value)
    out = bytearray((text or "C 1 built by a test".ljust(3200)).encode("cp037")) + binary
    for block in extended:
        out += block.ljust(3200).encode("cp037")
    value = 1
    for i, ns in enumerate(ns_list):
        header = bytearray(240)
        struct.pack_into(order + "i", header, 0, i + 1)
        struct.pack_into(order + "HH", header, 114, ns if ns_in_headers else 0, 2000)
        struct.pack_into(order + "i", header, 180, 1000 + i)
        out += header + struct.pack(f"{order}{ns}{'h' if code == 3 else 'f'}", *range(value, value + ns))
        value += ns
    return bytes(out)


def test_zero_textual_header_reads_as_segy_though_it_tiles_as_su(tmp_path):
    path = tmp_path / "zeros.sgy"
    raw = bytearray(segy_file([10] * 6, ns_in_headers=False))
    raw[:3200] = bytes(3200)
    raw[3600 + 40 + 240:] = bytes(len(raw) - 3880)     # zero samples after the first trace's first ten
    path.write_bytes(raw)
    assert vondrel.read(path, format="su", byteorder="<").samples.shape == (len(raw) // 240, 0)
    g = vondrel.read(path)
    assert (g.format, g.byteorder, g.samples.shape, g.text[:3]) == ("segy", ">", (6, 10), "\0\0\0")
    assert g.samples[0].tolist() == list(range(1, 11))


def test_extended_textual_headers_by_count_and_by_end_stanza(tmp_path):
    counted = segy_file([2], extended=["C 1 first", "C 1 second"], nvstxt=2)
    stanza = segy_file([2], extended=["C 1 more text", "((  seg: endTEXt  ))"], nvstxt=-1, rev=1, trflag=1)
    for raw, expected in ((counted, ["C 1 first", "C 1 second"]), (stanza, ["C 1 more text", "((  seg: endTEXt  ))"])):
        g = vondrel.read(io.BytesIO(raw))
        assert [t.split("\n")[0].rstrip() for t in g.extended_text] == expected
        assert [len(t) for t in g.extended_text] == [40 * 81 - 1] * 2
        assert g.samples.tolist() == [[1.0, 2.0]]
    g = vondrel.read(DATA / "segyio_multi-text.sgy")
    assert len(g.extended_text) == 4 and g.samples.shape == (1, 1)


@pytest.mark.parametrize("fields, feature", [
    ({"maxtrh": 1}, "additional 240-byte trace headers"),
    ({"ntrfile": 3}, "64-bit trace counts"),
    ({"ntrailer": 1}, "data trailers"),
])
def test_revision_2_features_are_refused_by_name(fields, feature):
    raw = segy_file([4, 4, 4], rev=2, trflag=1, **fields)
    with pytest.raises(ValueError, match=f"SEG-Y revision 2 {feature} are not supported"):
        vondrel.read(io.BytesIO(raw))


def test_format_4_is_refused_by_name():
    with pytest.raises(ValueError, match=r"fixed point with gain \(format 4\) is not supported"):
        vondrel.read(io.BytesIO(segy_file([4], code=4)))


def test_variable_length_traces_follow_each_header_and_write_back(tmp_path):
    raw = segy_file([3, 5, 2], rev=1, trflag=0, code=3)
    g = vondrel.read(io.BytesIO(raw), dtype="stored")
    assert g.flat.dtype == np.int16 and g.flat.tolist() == list(range(1, 11))
    assert g.offsets.tolist() == [0, 3, 8, 10]
    with pytest.raises(ValueError, match="trace 1 has 5 samples"):
        g.samples
    out = io.BytesIO()
    vondrel.write(out, g)
    assert out.getvalue() == raw


@pytest.mark.parametrize("ns", [4, 1000, 1100], ids=["chunked", "seek-per-trace", "read-in-place"])
@pytest.mark.parametrize("source", ["file", "pipe", "path"])
def test_trace_subsets_and_header_only_reads(ns, source, tmp_path):
    raw = segy_file([ns] * 7)
    (tmp_path / "f.sgy").write_bytes(raw)
    full = vondrel.read(io.BytesIO(raw))
    for traces in (slice(1, 6, 2), slice(2, 5), slice(5, 6)):
        rows = list(range(7)[traces])
        for samples in (True, False):
            opened = {"pipe": pipe_of, "file": io.BytesIO}.get(source, lambda _: open(tmp_path / "f.sgy", "rb"))
            with opened(raw) as f:
                sub = vondrel.read(f, traces=traces, samples=samples)
            assert sub.headers.tobytes() == full.headers[rows].tobytes()
            assert sub.offsets.tolist() == [ns * i for i in range(len(rows) + 1)]
            if samples:
                np.testing.assert_array_equal(sub.samples, full.samples[rows])
            else:
                assert sub.flat is None


@pytest.mark.parametrize("ns, n, claimed", [(4, 5, 2), (1100, 5, 2), (2000, 600, 2), (2000, 600, 700)],
                         ids=["chunked", "read-in-place", "two-threads-second-half", "two-threads-first-half"])
def test_a_file_that_ends_early_inside_a_run_names_the_first_missing_trace(tmp_path, monkeypatch, ns, n, claimed):
    """The descriptor's size says `claimed` traces more than the file holds
    (a file cut while it is read): the error names the first trace that is
    missing, wherever the run is split."""
    path = tmp_path / "cut.sgy"
    path.write_bytes(segy_file([ns] * n))
    real = os.fstat

    def fstat(fd):
        st = real(fd)
        if (st.st_dev, st.st_ino) != (real_st.st_dev, real_st.st_ino):
            return st
        return os.stat_result((*st[:6], st.st_size + claimed * (240 + 4 * ns), *st[7:]))
    real_st = os.stat(path)
    monkeypatch.setattr(os, "fstat", fstat)
    with pytest.raises(ValueError, match=rf"^{path}: SEG-Y big-endian: trace {n} at byte offset "
                                         rf"{3600 + n * (240 + 4 * ns)} is cut short$"):
        vondrel.read(path, partial=True)


@pytest.mark.parametrize("count", [1, 20_000], ids=["one-thread", "two-threads"])
def test_a_failed_descriptor_read_raises_oserror(tmp_path, count):
    fd = os.open(tmp_path, os.O_RDONLY)          # a directory: every read fails
    try:
        with pytest.raises(IsADirectoryError):
            _arrays._segy_read(fd, 0, count, 1, 4, 5, True, np.empty(count * 240, np.uint8), None, True)
    finally:
        os.close(fd)


class _FailingSink:
    """A binary stream that takes `room` bytes, then fails."""

    def __init__(self, room):
        self.room, self.got = room, 0

    def write(self, data):
        if self.got + len(data) > self.room:
            raise OSError("no room")
        self.got += len(data)
        return len(data)


@pytest.mark.parametrize("n", [3, 700], ids=["one-thread", "encoded-ahead"])
@pytest.mark.parametrize("fault", ["full pipe", "stream fails", "nan"])
def test_failed_writes_raise_and_a_path_is_left_untouched(tmp_path, n, fault):
    samples = np.ones((n, 2000), np.float32)
    headers = np.zeros(n, vondrel.header_dtype())
    headers["dt"] = 2000
    if fault == "nan":
        samples[n - 2, 7] = np.nan
        dest = tmp_path / "out.sgy"
        dest.write_bytes(b"precious")
        with pytest.raises(ValueError, match=rf"^trace {n - 2}: sample 7 \(nan\) has no IBM float form$"):
            vondrel.write(dest, (headers, samples), format="segy", sample_format=1)
        assert os.listdir(tmp_path) == ["out.sgy"] and dest.read_bytes() == b"precious"
        return
    if fault == "stream fails":
        with pytest.raises(OSError, match="^no room$"):
            vondrel.write(_FailingSink(3600 + 2 * 8240 * (n // 3)), (headers, samples), format="segy",
                          sample_format=1)
        return
    r, w = os.pipe()                        # a non-blocking pipe of one page: the file headers fit, no trace does
    fcntl.fcntl(w, fcntl.F_SETPIPE_SZ, 4096)
    os.set_blocking(w, False)
    with open(r, "rb") as reader, open(w, "wb") as f:
        with pytest.raises(BlockingIOError):
            vondrel.write(f, (headers, samples), format="segy", sample_format=1)
        os.set_blocking(r, False)
        assert len(reader.read(3600)) == 3600       # the file headers went first


# ---- real files -------------------------------------------------------------------------------

def f3_samples():
    """The int16 samples of the Format3 file, parsed with NumPy alone."""
    rec = np.dtype([("h", "V240"), ("s", ">i2", (75,))])
    return np.frombuffer((DATA / "segyio_Format3msb.sgy").read_bytes(), rec, offset=3600)["s"].astype(np.int64)


@pytest.mark.parametrize("name, order, code, stored", [
    ("Format1msb", ">", 1, "float32"), ("Format2lsb", "<", 2, "int32"), ("Format3msb", ">", 3, "int16"),
    ("Format5lsb", "<", 5, "float32"), ("Format8msb", ">", 8, "int8"), ("Format16lsb", "<", 16, "uint8"),
])
def test_format_files_hold_one_survey(name, order, code, stored):
    path = DATA / f"segyio_{name}.sgy"
    expected = f3_samples()
    if code in (8, 16):
        expected = expected % 256
        expected = np.where(expected > 127, expected - 256, expected) if code == 8 else expected
    g = vondrel.read(path)
    assert (g.format, g.byteorder, int(g.binary["format"]), int(g.binary["hns"])) == ("segy", order, code, 75)
    np.testing.assert_array_equal(g.samples, expected.astype(np.float32))
    raw = path.read_bytes()
    first = [struct.unpack_from(order + "iHHi", raw, 3600 + at) for at in (0, 112, 114, 180)]
    assert g.headers[0]["tracl"] == first[0][0] and g.headers[0]["cdpx"] == first[3][0]
    assert g.headers["ns"].tolist() == [462] * 414          # raw, as the file says
    s = vondrel.read(path, dtype="stored")
    assert s.samples.dtype == np.dtype(stored)
    np.testing.assert_array_equal(s.samples, expected)
    out = io.BytesIO()
    vondrel.write(out, s, sample_format=code)
    assert out.getvalue() == raw
    assert vondrel.probe(path) == vondrel.Probe("segy", order, 414, 75, 4000)


def pipe_of(raw):
    r, w = os.pipe()
    threading.Thread(target=lambda: (os.write(w, raw), os.close(w)), daemon=True).start()
    return open(r, "rb")


@pytest.mark.parametrize("text", ["ebcdic", "nuls", "extended"])
@pytest.mark.parametrize("format", [None, "segy"])
def test_a_pipe_is_read_as_segy_whether_the_format_is_named_or_not(text, format):
    raw = bytearray(segy_file([10] * 6, order="<", ns_in_headers=False,
                              extended=["C 1 more"] if text == "extended" else (), nvstxt=int(text == "extended")))
    if text == "nuls":
        raw[:3200] = bytes(3200)
    expected = np.arange(1, 61, dtype=np.float32).reshape(6, 10)
    with pipe_of(bytes(raw)) as stream:
        g = vondrel.read(stream, format=format)
    assert (g.format, g.byteorder) == ("segy", "<")
    np.testing.assert_array_equal(g.samples, expected)
    with pipe_of(bytes(raw)) as stream:
        np.testing.assert_array_equal([np.asarray(t) for t in vondrel.traces(stream, format=format)], expected)
    with pipe_of(bytes(raw)) as stream:
        g = vondrel.read(stream, format=format, traces=slice(None, None, -1))
    np.testing.assert_array_equal(g.samples, expected[::-1])


@pytest.mark.parametrize("name", ["segyio_small.sgy", "segyio_small-lsb.sgy"])
def test_small_written_back_as_ibm_is_byte_identical(name):
    raw = (DATA / name).read_bytes()
    with pipe_of(raw) as stream:
        g = vondrel.read(stream)
    assert g.headers["ns"].tolist() == [0] * 25 and g.samples.shape == (25, 50)
    out = io.BytesIO()
    vondrel.write(out, g, sample_format=1)
    assert out.getvalue() == raw


def test_ieee_and_ibm_round_trips(tmp_path):
    g = vondrel.read(DATA / "segyio_small.sgy")
    path = tmp_path / "ieee.sgy"
    vondrel.write(path, g, sample_format=5)
    back = vondrel.read(path)
    assert (int(back.binary["format"]), back.byteorder) == (5, ">")
    assert back.headers.tobytes() == g.headers.tobytes() and back.text == g.text
    np.testing.assert_array_equal(back.samples, g.samples)
    rng = np.random.default_rng(7)
    samples = (rng.standard_normal((3, 40)) * 10.0 ** rng.integers(-30, 30, (3, 40))).astype(np.float32)
    vondrel.write(path, (np.zeros(3, vondrel.header_dtype()), samples), format="segy", sample_format=1,
                  byteorder="<", text="C 1 ibm test", dt=2000)
    back = vondrel.read(path)
    assert back.byteorder == "<" and back.text.startswith("C 1 ibm test ")
    expected = [float32_bits(*ibm_exact(ibm_word(b))) for b in samples.view(np.uint32).ravel().tolist()]
    assert back.samples.view(np.uint32).ravel().tolist() == expected
    with pytest.raises(ValueError, match=r"^trace 2: sample 5 \(inf\) has no IBM float form$"):
        samples[2, 5] = np.inf
        vondrel.write(io.BytesIO(), (np.zeros(3, vondrel.header_dtype()), samples), format="segy",
                      sample_format=1, dt=2000)


def test_files_of_many_chunks_round_trip_through_the_overlapped_reads_and_writes(tmp_path):
    rng = np.random.default_rng(3)
    samples = rng.standard_normal((700, 2000)).astype(np.float32)
    samples = (samples.view(np.uint32) & np.uint32(0xFFFFFFF8)).view(np.float32)   # 21 bits: IBM-exact
    headers = np.zeros(700, vondrel.header_dtype())
    headers["tracl"], headers["dt"] = np.arange(700), 2000
    path = tmp_path / "big.sgy"
    vondrel.write(path, (headers, samples), format="segy", sample_format=1, dt=1000)
    g = vondrel.read(path)
    np.testing.assert_array_equal(g.samples, samples)
    assert g.headers["tracl"].tolist() == list(range(700))
    out = io.BytesIO()
    vondrel.write(out, g, sample_format=1)
    identical = out.getvalue() == path.read_bytes()     # (no diff of megabytes on failure)
    assert identical


def test_revision_2_write_carries_the_byte_order_constant():
    out = io.BytesIO()
    vondrel.write(out, vondrel.read(DATA / "segyio_small.sgy"), byteorder="<", revision=2)
    raw = out.getvalue()
    assert raw[3296:3300] == bytes([4, 3, 2, 1]) and raw[3500] == 2
    assert vondrel.read(io.BytesIO(raw)).byteorder == "<"


def test_segy_to_su_carries_bytes_1_to_180_and_fills_ns_and_dt():
    g = vondrel.read(DATA / "segyio_Format1msb.sgy")
    out = io.BytesIO()
    vondrel.write(out, g, format="su", byteorder="<")
    su = np.frombuffer(out.getvalue(), np.dtype([("h", "V240"), ("s", "<f4", (75,))]))
    rows = np.frombuffer(out.getvalue(), np.uint8).reshape(414, 540)[:, :240]
    segy = g.headers.view(np.uint8).reshape(414, 240)
    same = np.r_[0:114, 118:180]
    np.testing.assert_array_equal(rows[:, same], segy[:, same])
    assert not rows[:, 180:].any()
    ns_dt = rows[:, 114:118].copy().view("<u2")
    assert ns_dt.tolist() == [[75, 4000]] * 414
    np.testing.assert_array_equal(su["s"], g.samples)
    collection = g.to_collection()
    trace = next(iter(collection))
    assert (trace.ns, trace.dt) == (75, 4000)
    out = io.BytesIO()
    vondrel.write(out, collection, format="segy")
    back = vondrel.read(io.BytesIO(out.getvalue()))
    np.testing.assert_array_equal(back.samples, g.samples)
    assert (back.headers["cdp"] == g.headers["cdp"]).all() and not back.headers["cdpx"].any()
    assert (int(back.binary["hdt"]), int(back.binary["hns"])) == (4000, 75)


def test_ascii_textual_header_is_decoded():
    g = vondrel.read(DATA / "segyio_delay-scalar.sgy")
    assert g.text.split("\n")[0].startswith("C 1 ") and len(g.text.split("\n")) == 40
    assert vondrel.read(DATA / "segyio_text.sgy").samples.shape == (0, 0)


@pytest.mark.parametrize("mode", ["wb", "ab", "r+b"])
@pytest.mark.parametrize("trace", [0, 126, 127, 1500, 1999])
def test_a_native_write_stops_at_the_chunk_of_a_bad_value_on_either_thread(tmp_path, trace, mode):
    """The bulk writer alone (vondrel.write checks first): chunks of 127
    traces of 2,000 samples are encoded by two threads; the first bad value
    is reported, and exactly the chunks before its own are in the file, as
    a clean write has them, with the descriptor just after them, wherever
    the file stood: at its end, opened for appending, or in its middle."""
    n, ns = 2000, 2000
    before = b"kept" * 4 if mode != "wb" else b""
    after = b"tail" * 3 if mode == "r+b" else b""   # overwritten only as far as the written chunks reach
    samples = np.random.default_rng(trace).standard_normal((n, ns)).astype(np.float32)
    headers = np.random.default_rng(n).integers(0, 256, (n, 240), np.uint8)
    clean, broken = tmp_path / "clean", tmp_path / "broken"
    with open(clean, "wb") as f:
        assert _arrays._segy_write(f.fileno(), headers, samples, n, ns, 1, True) == -1
    samples[trace, 3] = np.nan
    samples[-1, -1] = np.inf                    # a later bad value is never the one reported
    broken.write_bytes(before + after)
    with open(broken, mode) as f:
        f.seek(len(before))
        at = _arrays._segy_write(f.fileno(), headers, samples, n, ns, 1, True)
        written = trace // 127 * 127 * (240 + 4 * ns)
        assert os.lseek(f.fileno(), 0, os.SEEK_CUR) == len(before) + written
    assert at == trace * ns + 3
    assert broken.read_bytes() == before + clean.read_bytes()[:written] + after[written:]


@pytest.mark.parametrize("mode", ["wb", "ab", "r+b"])
def test_a_long_write_lands_where_the_file_stands(tmp_path, mode):
    """A write of several megabytes (two threads) to a file at its end,
    opened for appending, or in its middle gives the bytes of a write to a
    stream, and leaves the file object just after them."""
    n, ns = 3000, 500
    pair = (np.zeros(n, vondrel.header_dtype()), np.random.default_rng(1).standard_normal((n, ns), np.float32))
    pair[0]["tracl"] = np.arange(n)
    expected = io.BytesIO()
    vondrel.write(expected, pair, format="segy", sample_format=1, dt=1000)
    before = b"kept" * 4 if mode != "wb" else b""
    after = b"tail" * 3 if mode == "r+b" else b""       # shorter than what is written over it
    path = tmp_path / "out.sgy"
    path.write_bytes(before + after)
    with open(path, mode) as f:
        f.seek(len(before))
        vondrel.write(f, pair, format="segy", sample_format=1, dt=1000)
        assert f.tell() == len(before) + len(expected.getvalue())
        f.write(b"!")
    assert path.read_bytes() == before + expected.getvalue() + b"!"
