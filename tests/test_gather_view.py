"""What a gather tells about itself: its repr, ns, dt and time axis, and the
SEG-Y file headers that only a SEG-Y gather carries, checked against files
built here with struct and a real file parsed with struct."""
import io
import re
import struct
from pathlib import Path

import numpy as np
import pytest

import vondrel
from segyfiles import trace_bytes

DATA = Path(__file__).resolve().parent / "data"


def su_file(traces):
    """A little-endian SU file of (samples, header fields) pairs."""
    return b"".join(trace_bytes(np.asarray(samples, np.float32), **fields) for samples, fields in traces)


def segy_file(ns, n, *, hdt, trace_dt, delrt=0, code=5, rev=1, trflag=1):
    """A big-endian SEG-Y file of n traces of ns IEEE samples: EBCDIC text, a binary header
    that says hdt, ns, the format code, revision and fixed-length flag."""
    binary = bytearray(400)
    struct.pack_into(">hhHHh", binary, 16, hdt, hdt, ns, ns, code)
    struct.pack_into(">i", binary, 0, 77)
    struct.pack_into(">B", binary, 300, rev)
    struct.pack_into(">h", binary, 302, trflag)
    out = bytearray("C 1 built by a test".ljust(3200).encode("cp037")) + binary
    for i in range(n):
        header = bytearray(240)
        struct.pack_into(">i", header, 0, i + 1)
        struct.pack_into(">h", header, 108, delrt)
        struct.pack_into(">HH", header, 114, ns, trace_dt)
        out += header + np.arange(ns, dtype=">f4").tobytes()
    return bytes(out)


def small_sgy():
    return (DATA / "segyio_small.sgy").read_bytes()


# (file bytes, n, ns, dt, delrt in ms, the repr's format part)
CASES = {
    "SU": (su_file([([1, 2, 3], dict(dt=2500, delrt=40))] * 4), 4, 3, 2500, 40,
           "SU little-endian, samples float32"),
    "SEG-Y, interval of the binary header": (segy_file(6, 3, hdt=2000, trace_dt=0, delrt=-8), 3, 6, 2000, -8,
                                             "SEG-Y big-endian, samples IEEE float32 (format 5)"),
    "SEG-Y of variable length, interval of the traces": (segy_file(6, 3, hdt=0, trace_dt=1000, trflag=0), 3, 6,
                                                         1000, 0, "SEG-Y big-endian, samples IEEE float32 (format 5)"),
    "real SEG-Y": (small_sgy(), 25, 50, 4000, 0, "SEG-Y big-endian, samples IBM float (format 1)"),
}


@pytest.mark.parametrize("raw, n, ns, dt, delrt, described", CASES.values(), ids=CASES.keys())
def test_a_gather_tells_its_shape_interval_and_time_axis(raw, n, ns, dt, delrt, described):
    g = vondrel.read(io.BytesIO(raw))
    kind = "SegyGather" if g.format == "segy" else "Gather"
    assert repr(g) == f"<vondrel.{kind}: {n} traces, ns {ns}, dt {dt} us, {described}>"
    assert (g.ns, g.dt) == (ns, dt)
    expected = [delrt / 1000 + k * dt / 1e6 for k in range(ns)]
    assert g.times.dtype == np.float64 and np.allclose(g.times, expected, rtol=0, atol=1e-12)


@pytest.mark.parametrize("field, value, message", [
    ("ns", None, "trace 2 has ns 4, trace 0 has 3: one time axis needs one ns"),
    ("dt", 3000, "trace 2 has dt 3000, trace 0 has 2500: one time axis needs one dt"),
    ("delrt", 7, "trace 2 has delrt 7, trace 0 has 40: one time axis needs one delrt"),
])
def test_traces_that_differ_have_no_one_time_axis(field, value, message):
    traces = [([1, 2, 3], dict(dt=2500, delrt=40))] * 4
    traces[2] = ([1, 2, 3, 4], dict(dt=2500, delrt=40)) if field == "ns" else ([1, 2, 3], {**traces[0][1], field: value})
    g = vondrel.read(io.BytesIO(su_file(traces)))
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        g.times
    assert (g.ns is None, g.dt is None) == (field == "ns", field == "dt")
    if field in ("ns", "dt"):
        assert f"{field} varies" in repr(g)


def test_an_empty_gather_has_no_shape_and_an_empty_time_axis():
    g = vondrel.read(io.BytesIO(struct.pack("<i", 0)), format="collection")
    assert (repr(g), g.ns, g.dt, g.times.shape) == ("<vondrel.Gather: 0 traces, collection little-endian, "
                                                    "samples float32>", None, None, (0,))


# A few fields of the binary header: struct code and offset within its 400 bytes.
BINARY_FIELDS = {"jobid": (">i", 0), "hdt": (">h", 16), "dto": (">h", 18), "hns": (">H", 20), "nso": (">H", 22),
                 "format": (">h", 24), "mfeet": (">h", 54), "rev": (">B", 300), "trflag": (">h", 302),
                 "nvstxt": (">h", 304)}


@pytest.mark.parametrize("raw", [small_sgy(), segy_file(6, 3, hdt=2000, trace_dt=0)], ids=["real", "built"])
def test_the_binary_header_prints_every_field_by_name(raw):
    g = vondrel.read(io.BytesIO(raw))
    shown = dict(re.findall(r"(\w+)=([-\d.]+)", repr(g.binary)))
    assert repr(g.binary).startswith("BinaryHeader(") and str(g.binary) == repr(g.binary)
    for name, (code, at) in BINARY_FIELDS.items():
        assert shown[name] == str(struct.unpack_from(code, raw, 3200 + at)[0]), name
    # every named field but the unassigned bytes, in file order
    assert list(shown) == [n for n in g.binary.dtype.names if g.binary.dtype[n].kind != "V"]
    assert type(g.binary["hdt"]) is np.ndarray and int(g.binary["hdt"]) == int(shown["hdt"])


def test_only_a_segy_gather_carries_file_headers():
    su = vondrel.read(io.BytesIO(su_file([([1.0], dict(dt=4000))])))
    assert (su.text, su.binary, su.extended_text) == (None, None, None)
    segy = vondrel.read(io.BytesIO(segy_file(6, 3, hdt=2000, trace_dt=0)))
    assert segy.text.startswith("C 1 built by a test") and segy.extended_text == []
    assert int(segy.binary["jobid"]) == 77


@pytest.mark.parametrize("args, shown", [((), "SU little-endian"), (("collection", ">"), "collection big-endian")])
def test_a_gather_built_by_hand_names_its_format_as_read_ones_do(args, shown):
    headers = np.zeros(2, vondrel.header_dtype())
    headers["dt"] = 1000
    g = vondrel.Gather(headers, np.zeros(6, np.float32), np.array([0, 3, 6]), *args)
    assert repr(g) == f"<vondrel.Gather: 2 traces, ns 3, dt 1000 us, {shown}, samples float32>"
