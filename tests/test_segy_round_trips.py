"""SEG-Y to SEG-Y on every path (vondrel convert, Writer, write) keeps every
header byte and the sample format; the sample interval by one rule; the
time of the first sample by the time scalar.  Outputs are checked against
struct parses of the real files of tests/data, never against the package."""
import io
import re
import struct
import subprocess
import warnings
from pathlib import Path

import numpy as np
import pytest

import vondrel
from vondrel import cli
from vondrel._stream import copy_traces
from segyfiles import HEADER_FIELDS
from test_cli import VONDREL
from test_segy_files import DATA, float32_bits, ibm_exact, ibm_word, pipe_of

# The binary file header (positions 3201-3600), field by field, unassigned areas as raw bytes.
BINARY = "3i2h4Hh3h14h3i2d3i200s2B5h2Qi68s"
FORMAT_FIELD, HNS_FIELD, NVSTXT_FIELD = 9, 7, 39    # where BINARY's values hold them
# The SEG-Y trace header: bytes 1-180 as in Seismic Unix, then the revision 1 fields and 8 unassigned bytes.
SHARED = "".join(code for name, code in HEADER_FIELDS[:HEADER_FIELDS.index(("d1", "f"))])
TRACE = SHARED + "5i2hi8hi2h8s"
assert struct.calcsize(">" + BINARY) == 400 and struct.calcsize(">" + TRACE) == 240
WIDTH = {1: 4, 2: 4, 3: 2, 5: 4, 8: 1, 16: 1}
STORED = {2: "i4", 3: "i2", 5: "f4", 8: "i1", 16: "u1"}


def parse(raw):
    """(order, text, binary values, extended headers, [(header values, sample words)]) of a SEG-Y file."""
    order = "<" if raw[3225] == 0 else ">"              # the format code's low byte
    binary = struct.unpack_from(order + BINARY, raw, 3200)
    code, ns, n_ext = binary[FORMAT_FIELD], binary[HNS_FIELD], binary[NVSTXT_FIELD]
    start = 3600 + 3200 * n_ext
    kind = order + ("u4" if code == 1 else STORED[code])
    size = 240 + ns * WIDTH[code]
    traces = [(struct.unpack_from(order + TRACE, raw, pos), np.frombuffer(raw, kind, ns, pos + 240).tolist())
              for pos in range(start, len(raw), size)]
    return order, raw[:3200], binary, raw[3600:start], traces


@pytest.mark.parametrize("name, args, code", [
    ("segyio_Format3msb.sgy", ["--byteorder", "little"], 3),
    ("segyio_Format16lsb.sgy", ["--byteorder", "big"], 16),
    ("segyio_small-lsb.sgy", ["--byteorder", "big"], 1),
    ("segyio_multi-text.sgy", ["--byteorder", "little"], 1),        # four extended textual headers
    ("segyio_delay-scalar.sgy", ["--byteorder", "little"], 1),      # an ASCII textual header
    ("segyio_small.sgy", ["--ieee"], 5),
    ("segyio_Format3msb.sgy", ["--ibm"], 1),
])
def test_convert_segy_to_segy_keeps_every_header_byte(name, args, code):
    raw = (DATA / name).read_bytes()
    done = subprocess.run([*VONDREL, "convert", "-", "-", "--to", "segy", *args], input=raw, capture_output=True,
                          timeout=60)
    assert (done.returncode, done.stderr) == (0, b"")
    order, text, binary, extended, traces = parse(raw)
    out_order, out_text, out_binary, out_extended, out_traces = parse(done.stdout)
    assert out_order == ("<" if "little" in args else ">" if "big" in args else order)
    assert out_text == text and out_extended == extended
    assert out_text[:4].decode("cp037" if text[0] == 0xC3 else "ascii") == "C 1 "
    assert out_binary[FORMAT_FIELD] == code
    assert out_binary[:FORMAT_FIELD] + out_binary[FORMAT_FIELD + 1:] == binary[:FORMAT_FIELD] + binary[FORMAT_FIELD + 1:]
    assert len(out_traces) == len(traces)
    assert [h for h, _ in out_traces] == [h for h, _ in traces]        # all 240 bytes, bytes 181-240 included
    words = {}
    for (_, got), (_, want) in zip(out_traces, traces):
        if code == binary[FORMAT_FIELD]:
            assert got == want
        elif code == 5:                                 # IBM words, exactly rounded into float32
            assert np.array(got, np.float32).view(np.uint32).tolist() == [float32_bits(*ibm_exact(w)) for w in want]
        else:                                           # int16 values as IBM words
            bits = np.array(want, np.float32).view(np.uint32).tolist()
            assert got == [words.setdefault(b, ibm_word(b)) for b in bits]


def test_a_revision_2_file_changes_order_with_its_byte_order_constant(tmp_path):
    from test_segy_files import segy_file
    raw = segy_file([4] * 3, order="<", rev=2, trflag=1, bytord=0x01020304)
    assert raw[3296:3300] == bytes([4, 3, 2, 1])
    done = subprocess.run([*VONDREL, "convert", "-", "-", "--to", "segy", "--byteorder", "big"], input=raw,
                          capture_output=True, timeout=60)
    assert done.returncode == 0
    out = done.stdout
    assert out[3296:3300] == bytes([1, 2, 3, 4]) and out[3500] == 2
    assert [struct.unpack_from(">i", out, 3600 + 180 + 256 * i)[0] for i in range(3)] == [1000, 1001, 1002]


# The real SEG-Y files that test_format_contract does not hold (it runs the same round trips over
# the others): IBM floats from another writer, unsigned bytes, a delay scalar, extended textual
# headers, a textual header of its own.
SEGY_FILES = ["segyio_Format1msb.sgy", "segyio_Format16lsb.sgy", "segyio_delay-scalar.sgy", "segyio_multi-text.sgy",
              "segyio_text.sgy"]


@pytest.mark.parametrize("name", SEGY_FILES)
def test_read_then_write_is_byte_identical_on_every_path(name, tmp_path):
    raw = (DATA / name).read_bytes()
    out = io.BytesIO()
    vondrel.write(out, vondrel.read(DATA / name))               # no sample_format=: the file's own
    assert out.getvalue() == raw
    with pipe_of(raw) as stream:
        g = vondrel.read(stream)
    out = io.BytesIO()
    vondrel.write(out, g)
    assert out.getvalue() == raw
    path = tmp_path / "out.sgy"
    assert subprocess.run([*VONDREL, "convert", DATA / name, path, "--to", "segy"], timeout=60).returncode == 0
    assert path.read_bytes() == raw
    out = io.BytesIO()
    with vondrel.traces(DATA / name) as r, vondrel.Writer(out, "segy", like=r) as w:
        for trace in r:
            w.write(r.segy_header, trace)
    assert out.getvalue() == raw


@pytest.mark.parametrize("name, trace, sample, value, what", [
    ("segyio_Format3msb.sgy", 3, 7, 40000.0, "has no 16-bit integer form (format 3)"),
    ("segyio_Format3msb.sgy", 0, 0, 1.5, "has no 16-bit integer form (format 3)"),
    ("segyio_Format3msb.sgy", 2, 74, np.nan, "has no 16-bit integer form (format 3)"),
    ("segyio_Format8msb.sgy", 2, 1, 128.0, "has no 8-bit integer form (format 8)"),
    ("segyio_Format16lsb.sgy", 5, 0, -1.0, "has no unsigned 8-bit integer form (format 16)"),
    ("segyio_Format2lsb.sgy", 1, 2, 16777218.0,
     "lies beyond 2**24, where float32 holds integers inexactly, so its 32-bit integer form (format 2) is uncertain"),
])
def test_a_sample_the_stored_format_cannot_hold_is_refused_before_any_byte(name, trace, sample, value, what):
    g = vondrel.read(DATA / name)
    g.samples[trace, sample] = value
    out = io.BytesIO()
    message = re.escape(f"trace {trace}: sample {sample} ({value}) {what}; sample_format= chooses another format")
    with pytest.raises(ValueError, match=f"^{message}$"):
        vondrel.write(out, g)
    assert out.getvalue() == b""
    vondrel.write(out, g, sample_format=5)
    assert struct.unpack_from(g.byteorder + "h", out.getvalue(), 3224)[0] == 5
    sink = io.BytesIO()
    with vondrel.traces(DATA / name) as r, vondrel.Writer(sink, "segy", like=r) as w:
        for i, t in enumerate(r):
            samples = np.asarray(t).copy()
            if i == trace:
                samples[sample] = value
                with pytest.raises(ValueError, match=f"^<stream>: {message}$"):
                    w.write(r.segy_header, samples)
                break
            w.write(r.segy_header, samples)
        written = len(sink.getvalue())          # whole traces only; no file headers before a refused first one
        assert written == (3600 + trace * (240 + 75 * WIDTH[int(g.binary["format"])]) if trace else 0)


def test_an_interval_only_in_the_binary_header_survives_or_is_asked_for():
    g = vondrel.read(DATA / "segyio_small.sgy")
    raw = (DATA / "segyio_small.sgy").read_bytes()
    assert struct.unpack_from(">H", raw, 3216)[0] == 4000
    assert {struct.unpack_from(">H", raw, 3600 + 116 + 440 * i)[0] for i in range(25)} == {0}
    pair = (g.headers, g.samples)
    out = io.BytesIO()
    with pytest.raises(ValueError, match=r"^trace 0 has no sample interval \(dt 0, and 0 in the binary header\); "
                                         r"give dt= \(microseconds\)$"):
        vondrel.write(out, pair, format="segy")
    assert out.getvalue() == b""
    for data, options, want in ((pair, {"format": "segy", "dt": 4000}, 4000), (g, {}, 4000), (g, {"dt": 2000}, 2000)):
        out = io.BytesIO()
        vondrel.write(out, data, **options)
        assert struct.unpack_from(">H", out.getvalue(), 3216)[0] == want
    out = io.BytesIO()
    vondrel.write(out, g, format="su", byteorder=">")
    assert {struct.unpack_from(">H", out.getvalue(), 116 + 440 * i)[0] for i in range(25)} == {4000}
    with pytest.raises(ValueError, match=r"^dt must be a whole number of microseconds from 1 to 65535, not 70000$"):
        vondrel.write(io.BytesIO(), g, dt=70000)


def segy_bytes(hdt, trace_dt, order=">"):
    """A SEG-Y file of three 4-sample IEEE traces; binary and trace intervals as given."""
    binary = bytearray(400)
    struct.pack_into(order + "HHh", binary, 16, hdt, 0, 4)
    struct.pack_into(order + "h", binary, 24, 5)
    traces = b""
    for i in range(3):
        header = bytearray(240)
        struct.pack_into(order + "i", header, 0, i + 1)
        struct.pack_into(order + "HH", header, 114, 4, trace_dt)
        traces += header + struct.pack(order + "4f", *range(4))
    return "C 1 interval test".ljust(3200).encode("cp037") + bytes(binary) + traces


@pytest.mark.parametrize("hdt, trace_dt, interval", [(40000, 0, 40000), (40000, 1000, 40000), (0, 50000, 50000)])
def test_the_interval_is_the_unsigned_binary_one_else_the_traces_own(tmp_path, hdt, trace_dt, interval):
    path = tmp_path / "interval.sgy"
    path.write_bytes(segy_bytes(hdt, trace_dt))
    g = vondrel.read(path)
    assert g.interval().tolist() == [interval] * 3 and int(g.binary["hdt"]) == hdt
    assert vondrel.probe(path).dt == interval
    with pipe_of(path.read_bytes()) as stream:
        assert vondrel.probe(stream).dt == interval
    assert [t.dt for t in vondrel.traces(path)] == [interval] * 3
    done = subprocess.run([*VONDREL, "convert", "-", "-", "--byteorder", "big"], input=path.read_bytes(),
                          capture_output=True, timeout=60)
    assert [struct.unpack_from(">H", done.stdout, 116 + 256 * i)[0] for i in range(3)] == [interval] * 3
    out = io.BytesIO()
    vondrel.write(out, (g.headers, g.samples), format="segy", dt=interval)
    assert out.getvalue()[3216:3218] == struct.pack(">H", interval)


@pytest.mark.parametrize("delrt, scalt", [(10000, -10), (100, 10), (1000, 0)])
def test_the_time_axis_starts_at_delrt_scaled_by_scalt(tmp_path, monkeypatch, delrt, scalt):
    raw = bytearray((DATA / "segyio_delay-scalar.sgy").read_bytes())
    assert struct.unpack_from(">h", raw, 3600 + 108)[0] == 10000 and struct.unpack_from(">h", raw, 3600 + 214)[0] == -10
    struct.pack_into(">h", raw, 3600 + 108, delrt)
    struct.pack_into(">h", raw, 3600 + 214, scalt)
    path = tmp_path / "delay.sgy"
    path.write_bytes(raw)
    g = vondrel.read(path)
    pytest.importorskip("xarray")
    ds = g.to_xarray()
    assert ds.delay.values.tolist() == [1.0] and ds.time.values[-1] == pytest.approx(1.0)
    pytest.importorskip("matplotlib")
    from matplotlib.figure import Figure

    from vondrel import cli
    seen = []
    monkeypatch.setattr(Figure, "savefig", lambda fig, *a, **k: seen.append(fig.axes[0].get_ylim()))
    assert cli.main(["plot", str(path), "-o", str(tmp_path / "delay.png"), "-q"]) == 0
    assert min(seen[0]) == pytest.approx(1000, abs=4) and max(seen[0]) == pytest.approx(2000, abs=4)


@pytest.mark.parametrize("fmt", ["su", "segy"])
@pytest.mark.parametrize("form", ["view", "su row", "su rows", "segy row", "segy_header", "mapping"])
def test_every_header_form_the_package_hands_out_is_taken_back(fmt, form):
    su_raw = (DATA / "seismiclab_cdp700.su").read_bytes()
    segy_raw = (DATA / "segyio_Format3msb.sgy").read_bytes()
    if form == "view":
        reader = vondrel.traces(DATA / "seismiclab_cdp700.su")
        header, source = vondrel.header(next(reader)), su_raw[:240]
    elif form in ("su row", "su rows"):
        rows = vondrel.read(DATA / "seismiclab_cdp700.su").headers
        header, source = (rows[0] if form == "su row" else rows[:1]), su_raw[:240]
    elif form == "segy row":
        header, source = vondrel.read(DATA / "segyio_Format3msb.sgy").headers[0], segy_raw[3600:3840]
    elif form == "segy_header":
        reader = vondrel.traces(DATA / "segyio_Format3msb.sgy")
        next(reader)
        header, source = reader.segy_header, segy_raw[3600:3840]
    else:
        header = {"tracl": 7, "offset": -250, "dt": 2000}
        source = struct.pack(">" + TRACE, *[{"tracl": 7, "offset": -250, "dt": 2000}.get(n, 0)
                                            for n, _ in HEADER_FIELDS[:71]], *[0] * 19, b"")
    out = io.BytesIO()
    with vondrel.Writer(out, fmt, ">") as w:
        w.write(header, np.arange(3, dtype=np.float32))
    raw = out.getvalue()[3600 if fmt == "segy" else 0:]
    got, want = struct.unpack_from(">" + SHARED, raw), list(struct.unpack_from(">" + SHARED, source))
    want[[n for n, _ in HEADER_FIELDS].index("ns")] = 3
    assert list(got) == want
    same_layout = (form.startswith("segy") and fmt == "segy") or (form in ("view", "su row", "su rows") and fmt == "su")
    assert raw[180:240] == (source[180:240] if same_layout else bytes(60))
    assert np.frombuffer(raw, ">f4", 3, 240).tolist() == [0.0, 1.0, 2.0]


def test_readinto_fills_whole_segy_headers_where_there_is_room():
    raw = (DATA / "segyio_small.sgy").read_bytes()
    with vondrel.traces(DATA / "seismiclab_cdp700.su") as r:
        with pytest.raises(ValueError, match=r": headers= takes the trace headers of a SEG-Y source; this one is su\.$"):
            r.readinto(bytearray(10**6), bytearray(240))
    with vondrel.traces(DATA / "segyio_small.sgy") as r:
        block, heads = bytearray(10**5), bytearray(3 * 240)
        assert r.readinto(block, heads) == 3 * (240 + 200) and r.index == 3
        fields = [struct.unpack(f"={TRACE}", heads[240 * i:240 * (i + 1)]) for i in range(3)]
        assert fields == [struct.unpack_from(f">{TRACE}", raw, 3600 + 440 * i) for i in range(3)]
        assert not any(block[180:240])                 # the SU trace keeps Seismic Unix's fields there: zero
        with pytest.raises(ValueError, match=r"^The headers buffer of 100 bytes cannot hold the header of trace 3\.$"):
            r.readinto(block, bytearray(100))


@pytest.mark.parametrize("dtype, code", [("f4", 5), ("f8", 6), ("i4", 2), ("i2", 3), ("i1", 8), ("i8", 9),
                                         ("u4", 10), ("u2", 11), ("u8", 12), ("u1", 16)])
def test_each_sample_type_is_written_in_its_own_format(dtype, code):
    samples = np.arange(12, dtype=dtype).reshape(3, 4)
    out = io.BytesIO()
    vondrel.write(out, (np.zeros(3, vondrel.header_dtype()), samples), format="segy", dt=1000)
    raw = out.getvalue()
    assert struct.unpack_from(">h", raw, 3224)[0] == code
    width = np.dtype(dtype).itemsize
    got = [np.frombuffer(raw, ">" + dtype, 4, 3600 + 240 + i * (240 + 4 * width)).tolist() for i in range(3)]
    assert got == samples.tolist()


def test_a_list_of_header_views_writes_back_as_the_file_was():
    raw = (DATA / "seismiclab_cdp700.su").read_bytes()
    reader = vondrel.traces(DATA / "seismiclab_cdp700.su")
    traces = [next(reader) for _ in range(3)]
    out = io.BytesIO()
    vondrel.write(out, ([vondrel.header(t) for t in traces], [np.asarray(t) for t in traces]), byteorder=">")
    assert out.getvalue() == raw[:3 * (240 + 4 * 1100)]


def test_a_writer_given_the_file_headers_one_by_one_writes_the_file_again():
    raw = (DATA / "segyio_multi-text.sgy").read_bytes()
    out = io.BytesIO()
    with vondrel.traces(DATA / "segyio_multi-text.sgy") as r:
        assert len(r.extended_text) == 4 and int(r.binary["nvstxt"]) == 4
        with vondrel.Writer(out, "segy", r.byteorder, sample_format=1, text=r.text, binary=r.binary,
                            extended_text=r.extended_text) as w:
            for trace in r:
                w.write(r.segy_header, trace)
    assert out.getvalue() == raw


# Sample formats whose values float32 does not always hold, with values it cannot.
WIDE = {2: ("i4", [2**24 + 1, -(2**31), 2**31 - 1]), 6: ("f8", [1 + 2**-40, 1e300, -5e-324]),
        9: ("i8", [2**53 + 1, -(2**63), 2**63 - 1]), 10: ("u4", [2**24 + 1, 2**32 - 1, 7]),
        12: ("u8", [2**64 - 1, 2**53 + 1, 3])}


def wide_file(code, order, n=5, ns=3):
    """A fixed-length SEG-Y file in sample format `code` whose samples float32 would round."""
    kind, values = WIDE[code]
    binary = bytearray(400)
    struct.pack_into(order + "hhHHh", binary, 16, 2000, 2000, ns, ns, code)
    struct.pack_into(order + "h", binary, 302, 1)
    out = bytearray("C 1 wide samples".ljust(3200).encode("cp037")) + binary
    for i in range(n):
        header = bytearray(240)
        struct.pack_into(order + "iiHH", header, 0, i + 1, i + 1, 0, 0)
        struct.pack_into(order + "HH", header, 114, ns, 2000)
        struct.pack_into(order + "i", header, 180, 900 + i)          # cdpx, a field after bytes 1-180
        out += header + np.array(values[:ns], dtype=order + kind).tobytes()
    return bytes(out)


@pytest.mark.parametrize("order", ["<", ">"])
@pytest.mark.parametrize("code", sorted(WIDE))
def test_segy_to_segy_never_rounds_samples_through_float32(tmp_path, code, order):
    raw = wide_file(code, order)
    source = tmp_path / "in.sgy"
    source.write_bytes(raw)
    out = tmp_path / "out.sgy"
    assert cli.main(["convert", str(source), str(out), "--to", "segy"]) == 0
    assert out.read_bytes() == raw
    if order == ">":                                      # a pipe in and out, in a process of its own
        done = subprocess.run([*VONDREL, "convert", "-", "-", "--to", "segy"], input=raw, capture_output=True,
                              timeout=60)
        assert (done.returncode, done.stderr, done.stdout == raw) == (0, b"", True)
    sink = io.BytesIO()
    with vondrel.traces(source) as r, vondrel.Writer(sink, "segy", like=r) as w:
        copy_traces(r, w)
    assert sink.getvalue() == raw
    other = "little" if order == ">" else "big"          # the other byte order: the same values, swapped
    assert cli.main(["convert", str(source), str(out), "--to", "segy", "--byteorder", other]) == 0
    swapped = out.read_bytes()
    kind = WIDE[code][0]
    back = "<" if order == ">" else ">"
    for i in range(5):
        at = 3600 + i * (240 + 3 * int(kind[1]))
        assert np.frombuffer(swapped, back + kind, 3, at + 240).tolist() == WIDE[code][1]
        assert struct.unpack_from(back + "i", swapped, at + 180)[0] == 900 + i


def test_a_cut_short_wide_file_keeps_its_whole_traces_with_partial(tmp_path, capsys):
    raw = wide_file(6, ">")
    source = tmp_path / "in.sgy"
    source.write_bytes(raw[:-5])
    out = tmp_path / "out.sgy"
    assert cli.main(["convert", str(source), str(out), "--to", "segy"]) == 1 and not out.exists()
    capsys.readouterr()
    assert cli.main(["convert", str(source), str(out), "--to", "segy", "--partial"]) == 0
    assert out.read_bytes() == raw[:-(240 + 24)]
    assert "kept the 4 complete traces" in capsys.readouterr().err


@pytest.mark.parametrize("order", ["<", ">"])
def test_doubles_rounded_by_a_float32_read_are_not_written_back_as_they_were(tmp_path, order):
    raw = wide_file(6, order)
    with pytest.warns(vondrel.PrecisionWarning):
        g = vondrel.read(io.BytesIO(raw))
    assert g.samples.dtype == np.float32
    message = ('the samples were read as float32 from IEEE doubles (format 6), and some were rounded; writing '
               'them in format 6 would keep the rounding: read with dtype="stored" to keep every value, or give '
               'sample_format= to write these')
    target = tmp_path / "out.sgy"
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        vondrel.write(target, g)
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        vondrel.Writer(io.BytesIO(), "segy", like=g)
    assert not target.exists()
    vondrel.write(target, vondrel.read(io.BytesIO(raw), dtype="stored"))
    assert target.read_bytes() == raw
    vondrel.write(target, g, sample_format=6)             # asked for: float32's values, as doubles
    assert np.frombuffer(target.read_bytes(), order + "f8", 3, 3600 + 240).tolist() == [1.0, np.inf, -0.0]
    # doubles that float32 holds exactly go back as they were
    exact = bytearray(raw)
    for i in range(5):
        at = 3600 + i * (240 + 24) + 240
        exact[at:at + 24] = np.array([0.5, -3.0, 1e30], dtype=np.float32).astype(order + "f8").tobytes()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        vondrel.write(target, vondrel.read(io.BytesIO(bytes(exact))))
    assert target.read_bytes() == exact


def test_a_writer_like_a_reader_of_rounded_doubles_refuses_its_float32_traces(tmp_path):
    source = tmp_path / "in.sgy"
    source.write_bytes(wide_file(6, "<"))
    target = tmp_path / "out.sgy"
    with pytest.raises(ValueError, match=f"^{re.escape(str(target))}: the samples were read as float32 from IEEE"):
        with vondrel.traces(source) as r, vondrel.Writer(target, "segy", like=r) as w, \
                pytest.warns(vondrel.PrecisionWarning):
            for trace in r:
                w.write(r.segy_header, trace)
    assert not target.exists() and list(tmp_path.iterdir()) == [source]
    with vondrel.traces(source) as r, vondrel.Writer(target, "segy", like=r, sample_format=6) as w, \
            pytest.warns(vondrel.PrecisionWarning):
        for trace in r:
            w.write(r.segy_header, trace)           # asked for
    assert np.frombuffer(target.read_bytes(), "<f8", 3, 3600 + 240)[0] == 1.0


READERS = {
    "read": lambda p: vondrel.read(p).samples,
    "read traces=": lambda p: vondrel.read(p, traces=slice(None, None, -1)).samples[::-1],
    "File.samples[i]": lambda p: np.stack([vondrel.open(p).samples[i] for i in range(4)]),
    "File.samples[:]": lambda p: vondrel.open(p).samples[:],
    "File.cube": lambda p: vondrel.open(p).cube().reshape(4, -1),
    "File.depth_slice": lambda p: np.stack([vondrel.open(p).depth_slice(k).ravel() for k in range(3)], axis=1),
    "traces": lambda p: np.stack([np.asarray(t) for t in vondrel.traces(p)]),
    "xarray engine": lambda p: pytest.importorskip("xarray").open_dataset(p, engine="vondrel").samples.values
    .reshape(4, -1),
}


@pytest.mark.parametrize("reader", sorted(READERS))
@pytest.mark.parametrize("code", sorted(WIDE))
def test_every_reader_says_when_float32_rounds_the_samples(tmp_path, code, reader):
    """Samples that float32 cannot hold are rounded by every float32 reader
    with a PrecisionWarning that names the file; values it holds exactly
    come back as they are, with no warning."""
    kind, values = WIDE[code]
    raw = bytearray(wide_file(code, ">", n=4))
    for i in range(4):                                   # a 2 x 2 survey: inlines 1-2, crosslines 5-6
        struct.pack_into(">ii", raw, 3600 + i * (240 + 3 * int(kind[1])) + 188, 1 + i // 2, 5 + i % 2)
    path = str(tmp_path / "wide.sgy")
    Path(path).write_bytes(bytes(raw))
    with np.errstate(over="ignore"):
        expected = np.tile(np.array(values, kind).astype(np.float32), (4, 1))
    message = f"{path}: some samples of sample format {code} were rounded as they were read as float32"
    with pytest.warns(vondrel.PrecisionWarning, match=f"^{re.escape(message)}"):
        assert np.array_equal(READERS[reader](path), expected)
    exact = np.array([3, 2**24 + 2, 0], kind)             # 2**24 + 2: float32 holds it
    for i in range(4):
        at = 3600 + i * (240 + 3 * int(kind[1])) + 240
        raw[at:at + exact.nbytes] = exact.astype(">" + kind).tobytes()
    Path(path).write_bytes(bytes(raw))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert np.array_equal(READERS[reader](path), np.tile(exact.astype(np.float32), (4, 1)))


def test_convert_to_su_says_once_that_float32_rounded_the_samples(tmp_path, capsys):
    source, out = tmp_path / "in.sgy", tmp_path / "out.su"
    source.write_bytes(wide_file(2, ">"))
    assert cli.main(["convert", str(source), str(out), "--to", "su"]) == 0
    assert capsys.readouterr().err == (f"vondrel convert: {source}: some samples of sample format 2 were rounded as "
                                       "they were read as float32; SEG-Y output (--to segy) keeps every value\n")
    assert np.array_equal(vondrel.read(out).samples[0], np.array(WIDE[2][1], np.float32))


# ---- every sample format through the bulk paths -------------------------------------------------

# code -> (bytes per sample, the NumPy kind that holds it, low, high)
FORMAT_BYTES = {1: (4, "ibm"), 2: (4, "i4"), 3: (2, "i2"), 5: (4, "f4"), 6: (8, "f8"), 7: (3, "i3"), 8: (1, "i1"),
                9: (8, "i8"), 10: (4, "u4"), 11: (2, "u2"), 12: (8, "u8"), 15: (3, "u3"), 16: (1, "u1")}


def format_values(code, count, seed):
    """Values format `code` holds, as the integers or floats NumPy keeps
    them in (IBM: float32 of 21 significant bits, which IBM holds at every
    exponent), the type's edges among them."""
    rng = np.random.default_rng(seed)
    kind = FORMAT_BYTES[code][1]
    if kind in ("ibm", "f4", "f8"):
        v = rng.standard_normal(count) * 10.0 ** rng.integers(-30, 30, count)
        v = v.astype(np.float32 if kind != "f8" else np.float64)
        if kind == "ibm":
            v = (v.view(np.uint32) & np.uint32(0xFFFFFFF8)).view(np.float32)
        return v
    bits = 24 if kind[1] == "3" else 8 * int(kind[1])
    low, high = (-(1 << (bits - 1)), (1 << (bits - 1)) - 1) if kind[0] == "i" else (0, (1 << bits) - 1)
    big_type = np.uint64 if kind == "u8" else np.int64
    v = rng.integers(low, high, count, dtype=big_type, endpoint=True)
    v[:2] = [low, high]
    return v


def format_bytes(values, code, order):
    """The bytes of `values` in format `code`, built here with NumPy and
    hand-made IBM words."""
    kind = FORMAT_BYTES[code][1]
    if kind == "ibm":
        d = np.abs(values.astype(np.float64))
        _, exp = np.frexp(d)
        q = (exp.astype(np.int64) + 3) >> 2
        fraction = np.ldexp(d, 24 - 4 * q).astype(np.int64)          # exact: 21 significant bits
        words = np.where(d == 0, 0, (q + 64) << 24 | fraction) | np.where(np.signbit(values), 1 << 31, 0)
        return words.astype(order + "u4").tobytes()
    if kind[1] == "3":
        four = values.astype(order + kind[0] + "4").view(np.uint8).reshape(-1, 4)
        return (four[:, 1:] if order == ">" else four[:, :3]).tobytes()
    return values.astype(order + kind).tobytes()


@pytest.mark.parametrize("n, ns", [(5, 7), (1500, 1100)], ids=["short-traces", "long-traces-two-threads"])
@pytest.mark.parametrize("order", [">", "<"], ids=["big-endian", "little-endian"])
@pytest.mark.parametrize("code", sorted(FORMAT_BYTES))
def test_every_sample_format_reads_and_writes_back_byte_for_byte(tmp_path, code, order, n, ns):
    width = FORMAT_BYTES[code][0]
    values = format_values(code, n * ns, seed=code * 7 + n)
    binary = bytearray(400)
    struct.pack_into(order + "H", binary, 16, 4000)                   # bytes 3217-3218, the interval
    struct.pack_into(order + "H", binary, 20, ns)                     # 3221-3222, samples per trace
    struct.pack_into(order + "h", binary, 24, code)                   # 3225-3226, the sample format
    struct.pack_into(order + "hh", binary, 300, 0, 1)                 # revision 0, fixed length
    headers = bytearray(240 * n)
    for i in range(n):
        struct.pack_into(order + "ii", headers, 240 * i, i + 1, 7 * i)
        struct.pack_into(order + "HH", headers, 240 * i + 114, ns, 4000)
        struct.pack_into(order + "ii", headers, 240 * i + 180, -i, i * i)
    body = format_bytes(values, code, order)
    row = ns * width
    raw = "C 1 every sample format".ljust(3200).encode("cp037") + bytes(binary) + b"".join(
        headers[240 * i:240 * (i + 1)] + body[row * i:row * (i + 1)] for i in range(n))
    path = tmp_path / "f.sgy"
    path.write_bytes(raw)
    for dtype in ("stored", None):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            g = vondrel.read(path, dtype=dtype)
        rounds = dtype is None and code in WIDE          # the type's edges among the values: float32 rounds them
        assert [type(w.message) for w in caught] == [vondrel.PrecisionWarning] * rounds
        assert g.samples.shape == (n, ns)
        expected = values.reshape(n, ns)
        if dtype is None:
            assert g.samples.dtype == np.float32
            expected = expected.astype(np.float32)
        assert np.array_equal(g.samples, expected)
        assert g.headers["tracl"].tolist() == list(range(1, n + 1))
        out = tmp_path / "out.sgy"
        if dtype == "stored" or width <= 2 or FORMAT_BYTES[code][1] in ("ibm", "f4"):   # float32 holds these
            vondrel.write(out, g)
            assert out.read_bytes() == raw
            buffer = io.BytesIO()
            vondrel.write(buffer, g)
            assert buffer.getvalue() == raw


@pytest.mark.parametrize("value", [np.nan, -np.inf])
def test_a_sample_ibm_floats_cannot_hold_leaves_a_file_object_untouched(tmp_path, value):
    n, ns = 20000, 100                  # 8 MB of samples: encoded in chunks, on two threads
    samples = np.ones((n, ns), np.float32)
    samples[n - 3, 17] = value
    headers = np.zeros(n, vondrel.header_dtype())
    pair = (headers, samples)
    message = re.escape(f"trace {n - 3}: sample 17 ({value}) has no IBM float form")
    (tmp_path / "middle.sgy").write_bytes(b"kept" * 8)
    middle = open(tmp_path / "middle.sgy", "r+b")
    middle.seek(4)
    for sink in (io.BytesIO(b"kept"), open(tmp_path / "open.sgy", "ab"), middle):   # nothing can be taken back, or all
        with sink:
            if sink is not middle:
                sink.write(b"kept")
            with pytest.raises(ValueError, match=f"^{message}$"):
                vondrel.write(sink, pair, format="segy", sample_format=1, dt=1000)
            assert sink.tell() == 4
    assert (tmp_path / "open.sgy").read_bytes() == b"kept"
    assert (tmp_path / "middle.sgy").read_bytes() == b"kept" * 8
    with pytest.raises(ValueError, match=f"^{message}$"):
        vondrel.write(tmp_path / "path.sgy", pair, format="segy", sample_format=1, dt=1000)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["middle.sgy", "open.sgy"]
