"""The contract that every format and byte order keeps: SU (little, big),
collection files (little, big) and SEG-Y in each sample format the package
writes (IBM 1, int32 2, int16 3, IEEE 5, int8 8), each in both byte orders.

One set of tests runs over every case: read against an independent parse,
byte-identical write back (vondrel.write, the Writer, `vondrel convert`),
subsets on a path, a file object and a pipe, headers only, truncation,
the stream reader, probe, the open-file handle with its r+ edits, and Dask.
Real files of tests/data where one exists in that format and order, else a
small file built here with NumPy and struct.  Every expected value comes
from those bytes parsed here, or from the arrays a file was built from,
never from the package reading its own output; what is particular to one
format stays in that format's own tests."""
import contextlib
import io
import os
import re
import struct
import sys
import threading
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pytest

import vondrel
from segyfiles import HEADER_FIELDS

DATA = Path(__file__).resolve().parent / "data"
# What messages call each format.
TITLES = {"su": "SU", "collection": "collection", "segy": "SEG-Y"}
NATIVE = "<" if sys.byteorder == "little" else ">"
ORDER_WORDS = {"<": "little", ">": "big"}


# ---- the header layouts, written out here -------------------------------------------------------

_KINDS = {"i": "i4", "h": "i2", "H": "u2", "f": "f4"}
_SU = [(name, _KINDS[code]) for name, code in HEADER_FIELDS] + [("unass", "V28")]
_FIRST_180 = _SU[:[name for name, _ in _SU].index("otrav") + 1]
# SEG-Y bytes 181-240, by their widths.
_SEGY = _FIRST_180 + [
    ("cdpx", "i4"), ("cdpy", "i4"), ("iline", "i4"), ("xline", "i4"), ("sp", "i4"), ("scalsp", "i2"),
    ("trunit", "i2"), ("tdcm", "i4"), ("tdcp", "i2"), ("tdunit", "i2"), ("devid", "i2"), ("scalt", "i2"),
    ("stype", "i2"), ("sedv", "i2"), ("sedxl", "i2"), ("sedil", "i2"), ("smeas", "i4"), ("smeasp", "i2"),
    ("smunit", "i2"), ("segyunass", "V8"),
]


def header_dtype(segy, order):
    fields = _SEGY if segy else _SU
    dtype = np.dtype([(name, kind if kind[0] == "V" else order + kind) for name, kind in fields])
    assert dtype.itemsize == 240
    return dtype


# byte offsets in a trace header (1-based positions minus one)
CDP, SCALCO, NS_AT = 20, 70, 114
assert header_dtype(False, "<").fields["cdp"][1] == CDP and header_dtype(True, "<").fields["scalco"][1] == SCALCO
assert header_dtype(True, "<").fields["cdpx"][1] == 180 and header_dtype(True, "<").fields["scalt"][1] == 214

# SEG-Y sample formats: code -> stored kind ("ibm": 4-byte IBM float words)
STORED = {1: "ibm", 2: "i4", 3: "i2", 5: "f4", 8: "i1"}


# ---- IBM floats, worked out here ----------------------------------------------------------------

def ibm_decode(words):
    """float32 values of IBM words (uint32): exact, as every IBM value in
    binary32's range has at most 24 significant bits."""
    w = words.astype(np.int64)
    sign = np.where(w >> 31, -1.0, 1.0)
    value = np.ldexp((w & 0xFFFFFF).astype(np.float64), (4 * (((w >> 24) & 0x7F) - 64) - 24).astype(np.int32))
    return (sign * value).astype(np.float32)


def ibm_encode(values):
    """IBM words (uint32) of float32 values that IBM holds exactly (asserted)."""
    v = np.asarray(values, np.float64).ravel()
    fraction, exponent = np.frexp(np.abs(v))           # |v| = fraction * 2**exponent, fraction in [0.5, 1)
    q = -((-exponent) // 4)                            # ceil(exponent / 4): |v| = F * 16**q, F in [1/16, 1)
    mantissa = np.ldexp(fraction, exponent - 4 * q + 24)
    assert (mantissa == np.round(mantissa)).all(), "values that IBM floats hold exactly"
    words = (np.signbit(v).astype(np.uint64) << 31) | ((q + 64).astype(np.uint64) << 24) | mantissa.astype(np.uint64)
    words[v == 0] = 0
    return words.astype(np.uint32).reshape(np.shape(values))


def stored_bytes(samples, code, order):
    """Samples (float32, values the format holds) in a SEG-Y sample format
    (None: SU's float32) and byte order."""
    kind = "f4" if code is None else STORED[code]
    if kind == "ibm":
        return ibm_encode(samples).astype(order + "u4").tobytes()
    return np.asarray(samples).astype(order + kind).tobytes()


def stored_size(code):
    return 4 if code is None else {"ibm": 4, "i4": 4, "i2": 2, "f4": 4, "i1": 1}[STORED[code]]


# ---- the cases ----------------------------------------------------------------------------------

@dataclass
class Case:
    id: str
    raw: bytes
    format: str
    byteorder: str
    head: int                    # bytes before the first trace
    code: int | None             # SEG-Y sample format
    dt: int                      # the file's interval, microseconds
    headers: np.ndarray          # (n,) in the file's byte order, the layout written out here
    samples: np.ndarray          # (n, ns) float32

    @property
    def n(self):
        return len(self.samples)

    @property
    def ns(self):
        return self.samples.shape[1]

    @property
    def trace_size(self):
        return 240 + self.ns * stored_size(self.code)

    def start(self, k):
        return self.head + k * self.trace_size

    @property
    def suffix(self):
        return ".sgy" if self.format == "segy" else ".su"


def parsed(id, name, format, order):
    """A case of a real file, parsed here with struct and NumPy."""
    raw = (DATA / name).read_bytes()
    if format == "segy":
        (hdt,), (hns,), (code,) = (struct.unpack_from(order + kind, raw, at)
                                   for kind, at in (("H", 3216), ("H", 3220), ("h", 3224)))
        head, segy = 3600, True
    else:
        ns, dt = struct.unpack_from(order + "HH", raw, NS_AT)
        hns, hdt, code, head, segy = ns, dt, None, 0, False
    kind = "f4" if code is None else STORED[code]
    record = np.dtype([("h", header_dtype(segy, order)), ("s", order + ("u4" if kind == "ibm" else kind), (hns,))])
    rows = np.frombuffer(raw, record, offset=head)
    assert head + rows.nbytes == len(raw)
    samples = ibm_decode(rows["s"]) if kind == "ibm" else rows["s"].astype(np.float32)
    dt = hdt or int(rows["h"]["dt"][0])
    return Case(id, raw, format, order, head, code, dt, rows["h"].copy(), samples)


def filled_headers(n, ns, segy, order, dt):
    h = np.zeros(n, header_dtype(segy, order))
    i = np.arange(n)
    h["tracl"], h["tracr"], h["fldr"] = i + 1, i + 1, 7
    h["cdp"], h["offset"], h["scalco"] = 500 + i // 2, -1250 + 100 * i, -100
    h["sx"], h["gx"] = 100_000 + 25 * i, 200_000 - 25 * i
    h["ns"], h["dt"] = ns, dt
    if segy:
        h["cdpx"], h["cdpy"], h["iline"], h["xline"] = 4_000_000 + i, -6_000_000 - i, 10 + i // 3, 20 + i % 3
        h["scalt"], h["sedv"] = -10, -3
        h["segyunass"] = np.void(b"tail!\0\0\x01")
    else:
        h["d1"], h["f1"] = 0.004, -0.5
        h["unass"] = np.void(b"unassigned bytes kept".ljust(28, b"\0"))
    return h


def built_samples(n, ns, code, seed):
    """float32 samples that the format holds exactly, none alike."""
    rng = np.random.default_rng(seed)
    if code in (None, 5):
        return rng.standard_normal((n, ns)).astype(np.float32) * np.float32(1000)
    if code == 1:       # 21 significant bits: IBM holds them whatever the exponent
        values = (rng.standard_normal((n, ns)) * 10.0 ** rng.integers(-20, 20, (n, ns))).astype(np.float32)
        return (values.view(np.uint32) & np.uint32(0xFFFFFFF8)).view(np.float32)
    low, high = {2: (-2**23, 2**23), 3: (-32768, 32768), 8: (-128, 128)}[code]
    values = rng.integers(low, high, (n, ns))
    if code == 2:
        values *= 2             # beyond int16, within float32's exact integers (|v| <= 2**24)
    return values.astype(np.float32)


def built(id, format, order, code=None, n=11, ns=37, dt=4000):
    """A case of a file built here from NumPy arrays."""
    segy = format == "segy"
    headers = filled_headers(n, ns, segy, order, dt)
    samples = built_samples(n, ns, code, len(id) * 31 + (code or 0))
    body = b"".join(headers[i].tobytes() + stored_bytes(samples[i], code, order) for i in range(n))
    if format == "su":
        return Case(id, body, format, order, 0, None, dt, headers, samples)
    if format == "collection":
        return Case(id, struct.pack(order + "i", n) + body, format, order, 4, None, dt, headers, samples)
    text = "".join(f"C{i + 1:2d} a file built by the format contract tests".ljust(80) for i in range(40))
    binary = bytearray(400)
    struct.pack_into(order + "H", binary, 16, dt)                  # bytes 3217-3218, the interval
    struct.pack_into(order + "H", binary, 20, ns)                  # 3221-3222, samples per trace
    struct.pack_into(order + "h", binary, 24, code)                # 3225-3226, the sample format
    struct.pack_into(order + "hh", binary, 300, 0, 1)              # revision 0, fixed length
    raw = text.encode("cp037") + bytes(binary) + body
    return Case(id, raw, format, order, 3600, code, dt, headers, samples)


def make_cases():
    return [
        parsed("su-little", "segyio_small-lsb.su", "su", "<"),
        parsed("su-big", "seismiclab_small_stack.su", "su", ">"),
        built("collection-little", "collection", "<"),
        built("collection-big", "collection", ">"),
        parsed("segy-ibm-big", "segyio_small.sgy", "segy", ">"),
        parsed("segy-ibm-little", "segyio_small-lsb.sgy", "segy", "<"),
        parsed("segy-int32-little", "segyio_Format2lsb.sgy", "segy", "<"),
        built("segy-int32-big", "segy", ">", 2),
        parsed("segy-int16-big", "segyio_Format3msb.sgy", "segy", ">"),
        built("segy-int16-little", "segy", "<", 3),
        parsed("segy-ieee-little", "segyio_Format5lsb.sgy", "segy", "<"),
        built("segy-ieee-big", "segy", ">", 5),
        parsed("segy-int8-big", "segyio_Format8msb.sgy", "segy", ">"),
        built("segy-int8-little", "segy", "<", 8),
    ]


CASES = make_cases()


@pytest.fixture(scope="module", params=CASES, ids=[c.id for c in CASES])
def case(request):
    return request.param


@pytest.fixture(scope="module")
def path_of(tmp_path_factory):
    """The path of a case's file, written once per module."""
    folder = tmp_path_factory.mktemp("contract")

    def path(case):
        p = folder / f"{case.id}{case.suffix}"
        if not p.exists():
            p.write_bytes(case.raw)
        return p
    return path


# ---- sources and checks -------------------------------------------------------------------------

def pipe_of(raw):
    """A real pipe that a thread fills with `raw`, then closes."""
    r, w = os.pipe()

    def fill():
        with open(w, "wb") as f:
            try:
                f.write(raw)
            except OSError:
                pass          # the reader stopped early
    threading.Thread(target=fill, daemon=True).start()
    return open(r, "rb")


SOURCES = ["path", "file", "pipe"]


def source(kind, case, path_of, raw=None):
    raw = case.raw if raw is None else raw
    if kind == "path":
        if raw is case.raw:
            return path_of(case)
        p = path_of(case).with_name(f"cut-{case.id}{case.suffix}")
        p.write_bytes(raw)
        return p
    return io.BytesIO(raw) if kind == "file" else pipe_of(raw)


def read_from(kind, case, path_of, raw=None, **kw):
    src = source(kind, case, path_of, raw)
    if kind == "pipe":
        with src:
            return vondrel.read(src, **kw)
    return vondrel.read(src, **kw)


def bits(samples):
    return np.ascontiguousarray(samples, np.float32).view(np.uint32)


def check_headers(case, got, rows):
    """Header rows (native order, the package's layout) against the case's:
    every field written out here by name, and every byte."""
    expected = case.headers[rows]
    assert len(got) == len(expected)
    for name in expected.dtype.names:
        if expected.dtype[name].kind != "V":
            np.testing.assert_array_equal(got[name], expected[name], err_msg=name)
    in_file_order = np.asarray(got).astype(got.dtype.newbyteorder(case.byteorder))
    assert in_file_order.tobytes() == expected.tobytes()


def check_gather(case, g, rows=slice(None), samples=True):
    check_headers(case, g.headers, rows)
    if samples:
        np.testing.assert_array_equal(bits(g.samples), bits(case.samples[rows]))
    else:
        assert g.flat is None


def selectors(n):
    """(traces=, the rows it selects) of every kind of selection."""
    mask = np.arange(n) % 3 == 1
    return [
        (slice(2, n - 3), list(range(2, n - 3))),
        (slice(n - 2, 1, -2), list(range(n - 2, 1, -2))),
        (slice(None, None, -1), list(range(n - 1, -1, -1))),
        (3, [3]),
        (-1, [n - 1]),
        ([n - 1, 0, 4], [n - 1, 0, 4]),
        (mask, list(np.flatnonzero(mask))),
    ]


# Known faults that the contract finds, for the lead to route.
# ---- the contract -------------------------------------------------------------------------------

class TestContract:
    @pytest.mark.parametrize("kind", SOURCES)
    def test_read_gives_the_parsed_headers_and_samples(self, case, path_of, kind):
        g = read_from(kind, case, path_of)
        assert (g.format, g.byteorder, len(g), g.ns, g.dt) == (case.format, case.byteorder, case.n, case.ns,
                                                                case.dt)
        check_gather(case, g)

    def test_probe(self, case, path_of):
        assert vondrel.probe(path_of(case)) == vondrel.Probe(case.format, case.byteorder, case.n, case.ns, case.dt)

    @pytest.mark.parametrize("kind", ["file", "path"])
    def test_write_back_is_byte_identical(self, case, path_of, tmp_path, kind):
        g = vondrel.read(path_of(case))
        if kind == "file":
            out = io.BytesIO()
            vondrel.write(out, g)
            assert out.getvalue() == case.raw
        else:
            vondrel.write(tmp_path / f"out{case.suffix}", g)
            assert (tmp_path / f"out{case.suffix}").read_bytes() == case.raw

    @pytest.mark.parametrize("kind", SOURCES)
    def test_a_gather_read_from_any_source_writes_back_byte_identical(self, case, path_of, kind):
        out = io.BytesIO()
        vondrel.write(out, read_from(kind, case, path_of))
        assert out.getvalue() == case.raw

    @pytest.mark.parametrize("how", ["traces", "blocks"])
    def test_the_writer_writes_the_stream_back_byte_identical(self, case, path_of, tmp_path, how):
        out = tmp_path / f"out{case.suffix}"
        with vondrel.traces(path_of(case)) as r:
            like = {"like": r} if r.format == "segy" else {}
            with vondrel.Writer(out, r.format, r.byteorder, **like) as w:
                if how == "traces":
                    for t in r:
                        w.write(r.segy_header, t) if r.format == "segy" else w.write(t)
                else:
                    block = bytearray(3 * (240 + 4 * case.ns) + 17)         # traces split across reads
                    heads = bytearray(240 * 3) if r.format == "segy" else None
                    while True:
                        before = r.index
                        n = r.readinto(block, heads) if heads is not None else r.readinto(block)
                        if not n:
                            break
                        k = r.index - before
                        w.write_block(memoryview(block)[:n], k,
                                      memoryview(heads)[:240 * k] if heads is not None else None)
        assert out.read_bytes() == case.raw

    def test_convert_writes_it_back_byte_identical(self, case, path_of, tmp_path):
        # in this process, for speed: test_cli runs the command as a process
        from vondrel import cli
        out = tmp_path / f"out{case.suffix}"
        assert cli.main(["convert", str(path_of(case)), str(out), "--to", case.format,
                         "--byteorder", ORDER_WORDS[case.byteorder], "-q"]) == 0
        assert out.read_bytes() == case.raw

    @pytest.mark.parametrize("kind", SOURCES)
    def test_subsets_are_the_rows_of_the_full_read(self, case, path_of, kind):
        for traces, rows in selectors(case.n):
            g = read_from(kind, case, path_of, traces=traces)
            assert (g.format, g.byteorder) == (case.format, case.byteorder)
            check_gather(case, g, rows)

    @pytest.mark.parametrize("kind", SOURCES)
    def test_headers_only(self, case, path_of, kind):
        check_gather(case, read_from(kind, case, path_of, samples=False), samples=False)
        check_gather(case, read_from(kind, case, path_of, samples=False, traces=slice(1, 4)), slice(1, 4), False)

    @pytest.mark.parametrize("kind", SOURCES)
    @pytest.mark.parametrize("where", ["middle", "last"])
    def test_truncation_names_the_trace_and_partial_keeps_the_whole_ones(self, case, path_of, kind, where):
        k = case.n // 2 if where == "middle" else case.n - 1
        cut = case.raw[:case.start(k) + 240 + 3]           # into trace k's samples
        kw = {}
        if case.format == "collection" and where == "middle" and kind != "pipe":
            # A count beyond what the file can hold is no reading detection
            # takes by itself (not even with partial=True): the error says
            # what the count and the file say, and how to read the traces.
            order = "little-endian" if case.byteorder == "<" else "big-endian"
            said = (f": no reading fits the data; read as a collection file ({order}) its count says {case.n} "
                    f"traces and the file holds {k} complete ones: use format='collection' with partial=True")
            for partial in (False, True):
                with pytest.raises(ValueError, match=re.escape(said) + "$"):
                    read_from(kind, case, path_of, cut, partial=partial)
            kw = {"format": "collection"}
        reading = f"{TITLES[case.format]} {'little' if case.byteorder == '<' else 'big'}-endian"
        with pytest.raises(ValueError, match=rf"\b{reading}\b.*\btrace {k}\b.*\bbyte offset {case.start(k)}\b"):
            read_from(kind, case, path_of, cut, **kw)
        g = read_from(kind, case, path_of, cut, partial=True, **kw)
        assert (g.format, g.byteorder) == (case.format, case.byteorder)
        check_gather(case, g, slice(0, k))

    @pytest.mark.parametrize("where", ["header", "samples"])
    def test_a_trace_cut_short_reads_as_one_text_from_read_and_the_stream_reader(self, case, where):
        k = case.n - 1
        into = 100 if where == "header" else 240 + 3
        cut = case.raw[:case.start(k) + into]
        order = "little-endian" if case.byteorder == "<" else "big-endian"
        said = (f"<stream>: {TITLES[case.format]} {order}: trace {k} at byte offset {case.start(k)} is cut short: "
                f"the data end {into} bytes into it")
        with pipe_of(cut) as src, vondrel.traces(src) as r:
            with pytest.raises(ValueError) as streamed:
                for _ in r:
                    pass
            assert r.index == k
        assert str(streamed.value) == said
        with pipe_of(cut) as src, pytest.raises(ValueError) as read:
            vondrel.read(src)
        if case.format == "segy":         # read says instead what sample count would tile the data
            said = said[:said.index(": the data end")] + " (the binary header's sample count"
            assert str(read.value).startswith(said)
        else:
            assert str(read.value) == said

    @pytest.mark.parametrize("kind", SOURCES)
    def test_the_stream_reader_gives_every_trace(self, case, path_of, kind):
        src = source(kind, case, path_of)
        with src if kind == "pipe" else contextlib.nullcontext(), vondrel.traces(src) as r:
            assert (r.format, r.byteorder) == (case.format, case.byteorder)
            # a stream's count is unknown, and so is its ns unless a file header says it
            assert (r.n_traces, r.ns) == ((None, case.ns if case.format == "segy" else None) if kind == "pipe"
                                          else (case.n, case.ns))
            rows, samples = [], []
            for t in r:
                assert t.ns == case.ns
                samples.append(np.array(t))
                if r.format == "segy":
                    rows.append(np.array(r.segy_header))
                else:
                    view = vondrel.header(t)
                    rows.append(view.copy())
            assert r.index == case.n
        np.testing.assert_array_equal(bits(np.stack(samples)), bits(case.samples))
        rows = np.stack(rows)
        if case.format == "segy":
            check_headers(case, rows, slice(None))
        else:
            for name in case.headers.dtype.names:
                if name != "ns":
                    assert rows[name].tobytes() == case.headers[name].astype(rows.dtype[name]).tobytes(), name

    @pytest.mark.parametrize("kind", SOURCES)
    def test_readinto_fills_whole_native_traces(self, case, path_of, kind):
        src = source(kind, case, path_of)
        size = 240 + 4 * case.ns
        got, heads_got = b"", b""
        with src if kind == "pipe" else contextlib.nullcontext(), vondrel.traces(src) as r:
            block = bytearray(2 * size + size // 2)
            heads = bytearray(480) if r.format == "segy" else None
            while n := (r.readinto(block, heads) if heads is not None else r.readinto(block)):
                assert n % size == 0
                got += bytes(block[:n])
                if heads is not None:
                    heads_got += bytes(heads[:240 * (n // size)])
        records = np.frombuffer(got, np.uint8).reshape(case.n, size)
        np.testing.assert_array_equal(records[:, 240:].copy().view(np.uint32), bits(case.samples))
        native = case.headers.astype(case.headers.dtype.newbyteorder(NATIVE))
        first = native.view(np.uint8).reshape(case.n, 240)
        if case.format == "segy":
            assert heads_got == native.tobytes()
            np.testing.assert_array_equal(records[:, :114], first[:, :114])
            np.testing.assert_array_equal(records[:, 118:180], first[:, 118:180])
        else:
            np.testing.assert_array_equal(records[:, :240], first)

    def test_the_handle_reads_as_read_does(self, case, path_of):
        with vondrel.open(path_of(case)) as f:
            assert (len(f), f.ns, f.dt, f.format, f.byteorder) == (case.n, case.ns, case.dt, case.format,
                                                                   case.byteorder)
            for name in ("tracl", "cdp", "offset", "scalco", "dt"):
                np.testing.assert_array_equal(f.headers[name], case.headers[name], err_msg=name)
            check_headers(case, f.headers[:], slice(None))
            for traces, rows in selectors(case.n):
                if not isinstance(traces, int):
                    np.testing.assert_array_equal(bits(f.samples[traces]), bits(case.samples[rows]))
            np.testing.assert_array_equal(bits(f.samples[3]), bits(case.samples[3]))
            check_gather(case, f.read(), slice(None))

    def test_an_r_plus_edit_changes_exactly_its_bytes(self, case, path_of, tmp_path):
        p = tmp_path / f"edit{case.suffix}"
        p.write_bytes(case.raw)
        k = int(np.argmax(case.samples.std(axis=1)))
        new = case.samples[k][::-1].copy()
        with vondrel.open(p, "r+") as f:
            f.headers["cdp", k] = 123_456
            f.headers["scalco", k] = -1000
            f.samples[k] = new
        expected = bytearray(case.raw)
        at = case.start(k)
        struct.pack_into(case.byteorder + "i", expected, at + CDP, 123_456)
        struct.pack_into(case.byteorder + "h", expected, at + SCALCO, -1000)
        expected[at + 240:at + case.trace_size] = stored_bytes(new, case.code, case.byteorder)
        assert p.read_bytes() == bytes(expected)

    @pytest.mark.skipif(bool(os.environ.get("VONDREL_SANITIZERS")) or hasattr(sys, "gettotalrefcount"),
                        reason="Dask over the package: the release run checks it (as test_dask)")
    def test_dask_reads_two_copies_as_one_array(self, case, path_of, tmp_path):
        vd = pytest.importorskip("vondrel.dask")
        pytest.importorskip("dask.dataframe")
        paths = [tmp_path / f"a{case.suffix}", tmp_path / f"b{case.suffix}"]
        for p in paths:
            p.write_bytes(case.raw)
        samples, headers = vd.read(paths, chunk_bytes=4 * case.trace_size)
        np.testing.assert_array_equal(bits(samples.compute()), bits(np.concatenate([case.samples] * 2)))
        np.testing.assert_array_equal(headers["cdp"].compute().to_numpy(),
                                      np.concatenate([case.headers["cdp"]] * 2))
