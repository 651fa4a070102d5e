"""vondrel.open: the handle against vondrel.read and against files built
here with struct, on every format and byte order; edits in place checked
byte for byte; what the handle refuses; sharing, pickling, a file that
shrinks under the map; the edit and info --trace commands."""
import mmap
import os
import pickle
import shutil
import struct
import threading
from fractions import Fraction

import numpy as np
import pytest

import vondrel
from segyfiles import OFFSETS
from vondrel import _handle, cli

N, NS, DT = 7, 5, 2000

# (format, byte order, SEG-Y sample format code)
CASES = [("su", "<", 5), ("su", ">", 5), ("collection", "<", 5), ("collection", ">", 5),
         *[("segy", order, code) for code in (1, 5, 3) for order in "><"]]
IDS = [f"{f}-{'le' if o == '<' else 'be'}-{c}" for f, o, c in CASES]
SEGY_FIELDS = {"cdpx": (180, "i"), "cdpy": (184, "i"), "iline": (188, "i"), "xline": (192, "i")}


def ibm(value):
    """The 4 bytes (big-endian) of the IBM float nearest to the float32
    `value`, ties to even: an exact reference."""
    mag = abs(Fraction(float(np.float32(value))))
    sign = 0x80000000 if value < 0 else 0
    if mag == 0:
        return struct.pack(">I", sign)
    q = 64
    while mag >= Fraction(16) ** (q - 64):
        q += 1
    while mag < Fraction(16) ** (q - 65):
        q -= 1
    scaled = mag / Fraction(16) ** (q - 64) * (1 << 24)
    n, rest = divmod(scaled.numerator, scaled.denominator)
    if 2 * rest > scaled.denominator or (2 * rest == scaled.denominator and n & 1):
        n += 1
    if n == 1 << 24:
        n, q = 1 << 20, q + 1
    return struct.pack(">I", sign | q << 24 | n)


def sample_bytes(values, order, code):
    if code == 1:
        words = b"".join(ibm(v) for v in values)
        return words if order == ">" else b"".join(words[i:i + 4][::-1] for i in range(0, len(words), 4))
    return struct.pack(f"{order}{len(values)}{'h' if code == 3 else 'f'}", *values)


def trace_fields(i, fmt):
    fields = {"tracl": i + 1, "cdp": 100 + i, "offset": (-1) ** i * 50 * i, "scalco": -100, "sx": 1000 * i,
              "gx": -7 * i, "dt": DT, "delrt": 3}
    if fmt == "segy":
        fields.update(cdpx=5000 + i, iline=10 + i // 3, xline=20 + i % 3)
    return fields


def default_samples(n=N, ns=NS, code=5):
    """Values every format holds exactly (whole numbers for int16)."""
    half = 0 if code == 3 else 2.5
    return [[(i + 1) * 10 - 3 * s - half * (s % 2) for s in range(ns)] for i in range(n)]


def build(fmt, order, code, fields=None, samples=None, fixed=True):
    """The bytes of a file: SU traces, a collection (count first) or SEG-Y
    (textual header in EBCDIC, binary header with interval, ns, format code,
    revision 1, fixed-length traces unless `fixed` is false)."""
    fields = fields or [trace_fields(i, fmt) for i in range(N)]
    samples = samples or default_samples(len(fields), code=code)
    out = bytearray()
    if fmt == "collection":
        out += struct.pack(order + "i", len(fields))
    if fmt == "segy":
        out += ("C 1 built by test_handle".ljust(80) * 40).encode("cp037")
        binary = bytearray(400)
        struct.pack_into(order + "hhHHh", binary, 16, DT, DT, len(samples[0]), len(samples[0]), code)
        binary[300] = 1
        struct.pack_into(order + "h", binary, 302, 1 if fixed else 0)
        out += binary
    for f, s in zip(fields, samples):
        header = bytearray(240)
        for name, value in {**f, "ns": len(s)}.items():
            at, kind = SEGY_FIELDS.get(name) or OFFSETS[name]
            struct.pack_into(order + kind, header, at, value)
        out += header + sample_bytes(s, order, code)
    return bytes(out)


@pytest.fixture(params=CASES, ids=IDS)
def case(request, tmp_path):
    fmt, order, code = request.param
    path = tmp_path / f"f.{'sgy' if fmt == 'segy' else 'su'}"
    path.write_bytes(build(fmt, order, code))
    return path, fmt, order, code


@pytest.fixture(params=["map", "pread"])
def engine(request, monkeypatch):
    """Runs a test on the map, then where the system maps nothing (positioned reads)."""
    if request.param == "pread":
        def refuse(*args, **kwargs):
            raise OSError("no map here")
        monkeypatch.setattr(mmap, "mmap", refuse)
    return request.param


SELECTORS = [3, -1, slice(None), slice(2, 6), slice(None, None, -2), [4, 0, 4, -7], np.array([6, 1]),
             np.arange(N) % 3 == 0, []]


def test_handle_reads_what_read_reads_by_every_selector(case, engine):
    path, fmt, order, code = case
    g = vondrel.read(path, format=fmt)
    stored = vondrel.read(path, format=fmt, dtype="stored")
    want = np.array(default_samples(code=code), np.float32)
    with vondrel.open(path, format=fmt) as f:
        assert (len(f), f.ns, f.dt, f.format, f.byteorder, f.sample_format) == (N, NS, DT, fmt, order, code)
        assert (f.text is None) == (fmt != "segy") and (f.binary is None) == (fmt != "segy")
        assert np.array_equal(f.samples[:], want)
        assert f.headers["cdp"].tolist() == [100 + i for i in range(N)]
        assert f.headers["cdp"].dtype == np.dtype("=i4") and f.headers["dt"].dtype == np.dtype("=u2")
        if fmt == "segy":
            assert f.headers["iline"].tolist() == [10 + i // 3 for i in range(N)]
        both = f.headers[["offset", "scalco"]]
        assert both.dtype.names == ("offset", "scalco")
        assert both["offset"].tolist() == g.headers["offset"].tolist() and set(both["scalco"]) == {-100}
        for sel in SELECTORS:
            rows = f.headers[sel]
            assert rows.dtype == g.headers.dtype and rows.tobytes() == g.headers[sel].tobytes()
            assert np.array_equal(f.samples[sel], g.samples[sel])
            assert np.array_equal(f.samples.read(sel, dtype="stored"), stored.samples[sel])
            assert np.array_equal(f.headers["offset", sel], g.headers["offset"][sel])
            sub = f.read(traces=sel) if not isinstance(sel, int) else f.read(traces=[sel])
            assert type(sub) is type(g) and sub.headers.tobytes() == g.headers[sel].tobytes()
            assert np.array_equal(sub.flat, g.samples[sel].ravel())
            if isinstance(sel, (list, np.ndarray)):
                by_read = vondrel.read(path, format=fmt, traces=sel)
                assert by_read.headers.tobytes() == sub.headers.tobytes()
                assert np.array_equal(by_read.samples, sub.samples)
                with open(path, "rb") as stream:       # a file object: the whole read, then selected
                    assert np.array_equal(vondrel.read(stream, format=fmt, traces=sel).samples, sub.samples)


# Samples that IBM floats must round (0.1, 1e-3, a float32 subnormal) or hold at the ends of float32's range.
EDITED = [0.1, -3.4028234663852886e38, 1e-3, float(np.float32(1e-40)), -1.5]


def test_edits_write_exactly_the_assigned_bytes(case, engine):
    path, fmt, order, code = case
    fields = [trace_fields(i, fmt) for i in range(N)]
    samples = default_samples(code=code)
    with vondrel.open(path, "r+", format=fmt) as f:
        f.headers["cdp"] = np.arange(N) + 7000
        f.headers["scalco", 2:4] = 10
        row = f.headers[5]
        row["sx"], row["gx"] = -123456, 99
        f.headers[5] = row
        f.headers[["offset", "delrt"], [1, 6]] = np.array([(11, 1), (66, 6)], [("offset", "i4"), ("delrt", "i2")])
        f.headers["sy", -1] = 2.0 ** 31 - 1                  # a float that is a whole number in range
        f.samples[np.arange(N) == 6] = np.full((1, NS), 4)
        f.samples[3] = EDITED if code != 3 else [1, -2, 300, -32768, 32767]
    for i, fl in enumerate(fields):
        fl["cdp"] = 7000 + i
    fields[2]["scalco"] = fields[3]["scalco"] = 10
    fields[5].update(sx=-123456, gx=99)
    fields[1].update(offset=11, delrt=1)
    fields[6].update(offset=66, delrt=6, sy=2 ** 31 - 1)
    samples[3] = EDITED if code != 3 else [1, -2, 300, -32768, 32767]
    samples[6] = [4] * NS
    assert path.read_bytes() == build(fmt, order, code, fields, samples)


@pytest.mark.parametrize("key, value", [
    ("scalco", 40000), ("cdp", 2 ** 31), ("dt", -1), ("cdp", 1.5), ("sx", np.array([0, 1, 2, 3, 4, 5, 2 ** 40])),
    ("d1", 1e39), ("ns", 5), ("cdp", [1, 2]), (("ns",), 5)])
def test_values_a_field_cannot_hold_change_nothing(tmp_path, key, value):
    path = tmp_path / "f.su"
    path.write_bytes(before := build("su", ">", 5))
    with vondrel.open(path, "r+") as f:
        with pytest.raises(ValueError, match=r"header field (\w+) |values"):
            if isinstance(key, tuple):
                row = f.headers[:]
                row["ns"] = value + 1
                f.headers[:] = row
            else:
                f.headers[key] = value
    assert path.read_bytes() == before


@pytest.mark.parametrize("code, value, message", [
    (3, 40000.0, "cannot hold 40000"), (3, 0.5, "whole numbers"), (1, np.inf, "no IBM float form"),
    (1, np.nan, "no IBM float form"), (5, 1e300, "cannot hold 1e\\+300")])
def test_samples_a_format_cannot_hold_change_nothing(tmp_path, code, value, message):
    path = tmp_path / "f.sgy"
    path.write_bytes(before := build("segy", ">", code))
    with vondrel.open(path, "r+") as f:
        with pytest.raises(ValueError, match=message):
            f.samples[1:3] = np.array([1.0, 2.0, 3.0, 4.0, value])
    assert path.read_bytes() == before


def test_closed_and_read_only_handles_refuse(tmp_path):
    path = tmp_path / "f.su"
    path.write_bytes(before := build("su", "<", 5))
    f = vondrel.open(path)
    with pytest.raises(ValueError, match="open it with mode 'r\\+' to edit"):
        f.headers["cdp"] = 1
    f.close()
    f.close()
    g = vondrel.open(path, "r+")
    g.close()
    for handle in (f, g):
        assert handle.closed
        with pytest.raises(ValueError, match="^the file handle is closed$"):
            handle.samples[0]
        with pytest.raises(ValueError, match="closed|mode 'r\\+'"):
            handle.headers["cdp"] = 1
        with pytest.raises(ValueError, match="^the file handle is closed$"):
            handle.flush()
    assert path.read_bytes() == before


def test_pickled_handle_reopens_with_its_options(tmp_path):
    path = tmp_path / "f.su"
    path.write_bytes(build("su", ">", 5))
    with vondrel.open(path, format="su", byteorder=">", dims=("cdp",)) as f:
        again = pickle.loads(pickle.dumps(f))
    with again:
        assert (again.path, again.mode, again.byteorder, again._dims_request) == (str(path), "r", ">", ("cdp",))
        assert np.array_equal(again.samples[:], np.array(default_samples(), np.float32))


def test_threads_sharing_a_handle_read_the_same(tmp_path):
    n, ns = 2000, 300
    rng = np.random.default_rng(5)
    data = rng.standard_normal((n, ns)).astype(np.float32)
    path = tmp_path / "big.su"
    path.write_bytes(build("su", ">", 5, [trace_fields(i, "su") for i in range(n)], data.tolist()))
    results = {}
    with vondrel.open(path) as f:
        def work(t):
            picks = np.random.default_rng(t).integers(0, n, 500)
            results[t] = (all(np.array_equal(f.samples[int(i)], data[i]) for i in picks[:100]),
                          np.array_equal(f.samples[picks], data[picks]),
                          f.headers["cdp"].tolist() == list(range(100, 100 + n)))
        threads = [threading.Thread(target=work, args=(t,)) for t in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    assert results == {t: (True, True, True) for t in range(4)}


def test_pipes_and_file_objects_are_refused_naming_the_readers(tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    with pytest.raises(ValueError, match=r"vondrel\.traces or vondrel\.read$"):
        vondrel.open(fifo)               # refused before anything waits for a writer
    with open(fifo.parent / "x", "wb") as stream, pytest.raises(TypeError, match="vondrel.traces or vondrel.read"):
        vondrel.open(stream)


def test_a_file_cut_short_under_the_map_raises(tmp_path):
    path = tmp_path / "f.sgy"
    path.write_bytes(build("segy", ">", 1))
    with vondrel.open(path) as f:
        assert f.samples[6].shape == (NS,)
        os.truncate(path, 3600 + 240 * 3)
        for touch in (lambda: f.samples[6], lambda: f.headers["cdp"], lambda: f.headers[0], lambda: f.read()):
            with pytest.raises(OSError, match="shrank under the open handle"):
                touch()


def test_traces_of_different_ns_and_a_segy_override(tmp_path, engine):
    lengths = [3, 5, 2, 5]
    samples = [[float(i * 10 + s) for s in range(k)] for i, k in enumerate(lengths)]
    path = tmp_path / "ragged.su"
    path.write_bytes(build("su", "<", 5, [trace_fields(i, "su") for i in range(4)], samples))
    with vondrel.open(path) as f:
        assert (len(f), f.ns) == (4, None)
        assert [f.samples[i].tolist() for i in range(4)] == samples
        assert np.array_equal(f.samples[[1, 3]], np.array([samples[1], samples[3]], np.float32))
        with pytest.raises(ValueError, match="differ in ns"):
            f.samples[:2]
        g = f.read(traces=[2, 0])
        assert g.flat.tolist() == samples[2] + samples[0] and g.offsets.tolist() == [0, 2, 5]
    # a trace whose header claims more samples than the file holds: refused, nothing allocated for it
    raw = bytearray(build("segy", "<", 5, [trace_fields(i, "segy") for i in range(4)], samples))
    raw[3500], raw[3502:3504] = 1, b"\0\0"          # revision 1, traces of their own length
    struct.pack_into("<H", raw, 3600 + 240 + 12 + 114, 65535)
    path = tmp_path / "claims.sgy"
    path.write_bytes(raw)
    with pytest.raises(ValueError, match="trace 1 at byte offset 3852 is cut short"):
        vondrel.open(path)
    # a SEG-Y binary header that lies about ns: ns= reads the file as it is
    raw = bytearray(build("segy", ">", 5))
    struct.pack_into(">H", raw, 3220, 9)
    path = tmp_path / "lies.sgy"
    path.write_bytes(raw)
    with pytest.raises(ValueError):
        vondrel.open(path)
    with vondrel.open(path, ns=NS) as f:
        assert np.array_equal(f.samples[:], np.array(default_samples(), np.float32))


def test_edit_command_sets_fields_as_sushw_counts(tmp_path, capsys):
    path = tmp_path / "f.sgy"
    path.write_bytes(before := build("segy", ">", 1))
    assert cli.main(["edit", str(path), "--set", "cdp=1001", "--set", "offset=100,10,1000,1,3", "--traces", "2:6"]) == 0
    assert capsys.readouterr().out == f"{path}: cdp, offset set on 4 traces\n"
    fields = [trace_fields(i, "segy") for i in range(N)]
    for itr, i in enumerate(range(2, 6)):
        fields[i]["cdp"] = 1001
        fields[i]["offset"] = 100 + 10 * ((itr + 1) % 3) + 1000 * ((itr + 1) // 3)
    assert path.read_bytes() == build("segy", ">", 1, fields)
    edited = path.read_bytes()
    assert cli.main(["edit", str(path), "--set", "cdp=5", "--set", "scalco=70000"]) == 1
    assert "scalco cannot hold 70000" in capsys.readouterr().err and path.read_bytes() == edited
    assert cli.main(["info", "--trace", "6", str(path)]) == 0
    dump = capsys.readouterr().out.split("trace 6 header:")[1]
    fields = {line.split()[1]: line.split()[2] for line in dump.splitlines() if line.strip()}
    assert (fields["cdp"], fields["iline"], fields["offset"]) == ("106", "12", "300")
    assert before != edited


@pytest.mark.parametrize("call, error", [
    (lambda a, src, out: a._h_fields(src, 0, 300, None, np.array([0, 4], np.int64), 4, ((0, 4, False, 0),), out, 4),
     IndexError),                                                   # an index past n
    (lambda a, src, out: a._h_fields(src, 900, 300, None, None, 4, ((0, 4, False, 0),), out, 4), ValueError),
    (lambda a, src, out: a._h_fields(src, 0, 300, None, None, 4, ((238, 4, False, 0),), out, 4), ValueError),
    (lambda a, src, out: a._h_rows(src, 0, 300, None, None, 5, None, bytearray(5 * 240)), ValueError),
    (lambda a, src, out: a._h_rows(src, 0, 300, None, None, 4, None, bytearray(240)), ValueError),
    (lambda a, src, out: a._h_put(src, 0, 300, np.array([0, 1190], np.int64), None, 2, 0, 20, bytes(40)),
     ValueError),                                                   # the last span ends past the data
    (lambda a, src, out: a._h_fields(src, 0, 300, np.array([0], np.int64), None, 2, ((0, 4, False, 0),), out, 4),
     ValueError),                                                   # an offsets table shorter than n
])
def test_native_calls_check_every_span_before_touching_it(call, error):
    from vondrel import _arrays
    src = bytearray(bytes(range(256)) * 4 + bytes(176))             # 1200 bytes: four traces of 300
    with pytest.raises(error):
        call(_arrays, src, np.zeros(4, np.int32))
    assert src == bytes(range(256)) * 4 + bytes(176)               # nothing written before the refusal


@pytest.mark.parametrize("order", "<>")
def test_segy_traces_of_their_own_length(tmp_path, order, engine):
    lengths = [4, 1, 6, 4]
    samples = [[i * 100 - s for s in range(k)] for i, k in enumerate(lengths)]
    fields = [trace_fields(i, "segy") for i in range(4)]
    path = tmp_path / "own.sgy"
    path.write_bytes(build("segy", order, 3, fields, samples, fixed=False))
    g = vondrel.read(path)
    with vondrel.open(path, "r+") as f:
        assert (len(f), f.ns, f.sample_format) == (4, None, 3)
        assert [f.samples[i].tolist() for i in range(4)] == samples
        assert f.samples.read([3, 0], dtype="stored").dtype == np.dtype("=i2")
        sub = f.read(traces=[2, 1, 2])
        assert sub.flat.tolist() == samples[2] + samples[1] + samples[2] and sub.offsets.tolist() == [0, 6, 7, 13]
        assert f.headers[:].tobytes() == g.headers.tobytes()
        f.samples[2] = np.arange(6) * -7
        f.headers["xline", 1:3] = [31, 32]
        with pytest.raises(ValueError, match="differ in ns; assign them one at a time"):
            f.samples[1:3] = 0
    samples[2] = [v * -7 for v in range(6)]
    fields[1]["xline"], fields[2]["xline"] = 31, 32
    assert path.read_bytes() == build("segy", order, 3, fields, samples, fixed=False)


def test_what_follows_a_collections_traces_stays_as_it_was(tmp_path):
    path = tmp_path / "c.su"
    tail = b"trailing bytes that no trace owns"
    path.write_bytes(build("collection", "<", 5) + tail)
    with vondrel.open(path, "r+", format="collection") as f:
        assert len(f) == N
        f.samples[-1] = 9.0
        f.headers["cdp"] = 1
    raw = path.read_bytes()
    assert raw.endswith(tail) and len(raw) == len(build("collection", "<", 5)) + len(tail)


def test_the_interval_follows_the_first_traces_own_and_raw_bytes_assign(tmp_path):
    path = tmp_path / "f.su"
    path.write_bytes(build("su", ">", 5))
    with vondrel.open(path, "r+") as f:
        f.headers["dt", 0] = 500
        f.headers["unass", 2] = b"raw"
        assert f.dt == 500 and bytes(f.headers["unass", 2]) == b"raw".ljust(28, b"\0")
        f.samples[1:3] = np.arange(NS)                      # one row for every trace selected
        with pytest.raises(ValueError, match="2 traces of 5 samples selected, and samples of shape \\(3,\\)"):
            f.samples[1:3] = [1, 2, 3]
    raw = path.read_bytes()
    assert struct.unpack_from(">H", raw, 116)[0] == 500
    assert raw[2 * (240 + 4 * NS) + 212:][:28] == b"raw".ljust(28, b"\0")
    assert np.array_equal(vondrel.read(path).samples[1:3], np.tile(np.arange(NS, dtype=np.float32), (2, 1)))
    sgy = tmp_path / "f.sgy"
    sgy.write_bytes(build("segy", ">", 5))
    with vondrel.open(sgy, "r+") as f:
        f.headers["dt", 0] = 500
        assert f.dt == DT                                   # the binary header's interval holds


@pytest.mark.parametrize("raw", [b"", struct.pack("<i", 0)], ids=["empty", "no-traces"])
def test_files_without_traces_open(tmp_path, raw):
    path = tmp_path / "none.su"
    path.write_bytes(raw)
    with vondrel.open(path, format="collection" if raw else None) as f:
        assert (len(f), f.samples[:].size, len(f.headers["cdp"]), len(f.read().headers)) == (0, 0, 0, 0)
        with pytest.raises(IndexError, match="out of range for 0 traces"):
            f.samples[0]


def test_edit_command_refuses_pipes_and_bad_values_and_takes_index_lists(tmp_path, capsys):
    path = tmp_path / "f.su"
    path.write_bytes(before := build("su", "<", 5))
    assert cli.main(["edit", str(path), "--set", "cdp=1.5"]) == 1
    assert "cdp cannot hold 1.5" in capsys.readouterr().err
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    assert cli.main(["edit", str(fifo), "--set", "cdp=1"]) == 1
    assert capsys.readouterr().err.endswith("read a stream or a pipe with vondrel.traces or vondrel.read\n")
    assert path.read_bytes() == before
    assert cli.main(["edit", str(path), "--set", "gx=-5", "--traces", "6,0"]) == 0
    fields = [trace_fields(i, "su") for i in range(N)]
    fields[0]["gx"] = fields[6]["gx"] = -5
    assert path.read_bytes() == build("su", "<", 5, fields)


@pytest.mark.parametrize("code, order", [(5, "<"), (5, ">"), (1, ">")])
@pytest.mark.parametrize("picked, cut, where", [
    (6, 4, 100),             # a few reads: one pread each; the file ends inside trace 8's header
    (150, 12, 240 + 4),      # batched: inside trace 24's samples, in the first batch
    (150, 130, 0),           # the file ends where trace 260 would start, in the second batch
])
def test_a_short_read_inside_a_batch_names_its_trace_and_keeps_the_ones_before(tmp_path, code, order, picked,
                                                                            cut, where):
    from vondrel import _arrays
    ns = 4200                                        # traces farther apart than a read reads through
    size = 240 + 4 * ns
    word = {v: ibm(v) if code == 1 else struct.pack(order + "f", v) for v in range(16)}
    path = tmp_path / "f.su"
    path.write_bytes(b"".join(bytes(240) + word[i % 16] * ns for i in range(300)))
    index = np.arange(0, 2 * picked, 2, dtype=np.int64)
    os.truncate(path, index[cut] * size + where)
    out = np.full(picked * ns, -1, np.float32)
    fd = os.open(path, os.O_RDONLY)
    try:
        with pytest.raises(OSError, match=rf"the file ends inside trace {index[cut]} \(byte offset "
                                          rf"{index[cut] * size}\)"):
            _arrays._h_psamples(fd, 0, size, None, index, 300, ns, code, order == ">", True, out)
    finally:
        os.close(fd)
    whole = out[:cut * ns].reshape(cut, ns)
    assert np.array_equal(whole, np.repeat(index[:cut] % 16, ns).reshape(cut, ns).astype(np.float32))


@pytest.mark.parametrize("shared", [False, True])
@pytest.mark.parametrize("order", "<>")
def test_headers_of_many_small_traces_read_in_pieces_match_the_bytes(tmp_path, monkeypatch, order, shared):
    # over 4 MB of traces of about a page each: their headers are read with the
    # traces between them, a megabyte at a time, not through the map; `shared`:
    # each read split between two threads, as a big file's are
    if shared:
        monkeypatch.setattr(_handle, "_BULK_SHARED", 1)
    n, ns = 1300, 1000
    rec = np.dtype([("tracl", order + "i4"), ("pad", "V16"), ("cdp", order + "i4"), ("rest", "V90"),
                    ("ns", order + "u2"), ("dt", order + "u2"), ("more", "V70"), ("iline", order + "i4"),
                    ("xline", order + "i4"), ("tail", "V44"), ("d", order + "f4", (ns,))])
    traces = np.zeros(n, rec)
    traces["tracl"] = np.arange(1, n + 1)
    traces["cdp"] = np.arange(n) * 7 - 3000
    traces["ns"], traces["dt"] = ns, 2000
    traces["iline"], traces["xline"] = 100 + np.arange(n) // 50, np.arange(n) % 50
    binary = bytearray(400)
    struct.pack_into(order + "hhHHh", binary, 16, 2000, 2000, ns, ns, 5)
    path = tmp_path / "many.sgy"
    path.write_bytes(b"\x40" * 3200 + bytes(binary) + traces.tobytes())
    with vondrel.open(path) as f:
        assert len(f) * f._plan.trace_size >= 4 << 20 and f._bulk(f._where(None))
        assert f.headers["cdp"].tolist() == traces["cdp"].tolist()
        pair = f.headers[["iline", "xline"]][5:1299]
        assert (pair["iline"] == traces["iline"][5:1299]).all() and (pair["xline"] == traces["xline"][5:1299]).all()
        rows = f.headers[:]
        assert rows["tracl"].tolist() == list(range(1, n + 1)) and (rows["dt"] == 2000).all()
        assert f.dims == ("iline", "xline") and f.coords["xline"].tolist() == list(range(50))
        os.truncate(path, 3600 + 240 * 3)
        with pytest.raises(OSError, match="shrank under the open handle"):
            f.headers["cdp"]
