"""Zarr stores both ways: every sample format and byte order back byte for
byte, IBM words that float32 cannot hold, irregular grids in any order, a
cluster doing the work, and conversions that fail leaving nothing behind."""
import os
import struct
import sys

import numpy as np
import pytest

import vondrel
from test_dask import pytestmark  # noqa: F401  (the release run only)
from test_real_data import DATA
from segyfiles import HEADER_FIELDS

zarr = pytest.importorskip("zarr")
dask = pytest.importorskip("dask")
from vondrel import _zarr  # noqa: E402

FORMAT_FILES = ["Format1msb", "Format2lsb", "Format3msb", "Format5lsb", "Format8msb", "Format16lsb"]
WIDTH = {1: 4, 2: 4, 3: 2, 5: 4, 8: 1, 16: 1}

# Field widths of the 240-byte SEG-Y trace header and the 400-byte binary
# header, by byte offset, for swapping files by hand (raw areas left out).
TRACE_WIDTHS = {**{at: struct.calcsize(code) for at, code in
                   (o for o in (__import__("segyfiles").OFFSETS[n] for n, _ in HEADER_FIELDS) if o[0] < 180)},
                **{at: 4 for at in (180, 184, 188, 192, 196, 204, 224)},
                **{at: 2 for at in (200, 202, 208, 210, 212, 214, 216, 218, 220, 222, 228, 230)}}
BINARY_WIDTHS = {0: 4, 4: 4, 8: 4, **{at: 2 for at in range(12, 60, 2)}, 60: 4, 64: 4, 68: 4, 72: 8, 80: 8,
                 88: 4, 92: 4, 96: 4, **{at: 2 for at in range(302, 312, 2)}, 312: 8, 320: 8, 328: 4}


def swapped(raw, order, width):
    """A SEG-Y file (no extended headers) in the other byte order, swapped
    field by field with the widths above, samples of `width` bytes each."""
    out = bytearray(raw)

    def flip(at, n):
        out[at:at + n] = raw[at:at + n][::-1]
    for at, n in BINARY_WIDTHS.items():
        flip(3200 + at, n)
    size = 240 + struct.unpack_from(order + "H", raw, 3220)[0] * width
    assert (len(raw) - 3600) % size == 0
    for pos in range(3600, len(raw), size):
        for at, n in TRACE_WIDTHS.items():
            flip(pos + at, n)
        for at in range(pos + 240, pos + size, width):
            flip(at, width)
    return bytes(out)


def round_trip(tmp_path, path, chunks=None, compressors="auto", **back):
    """(the store, the bytes written back) of path through a store."""
    store = tmp_path / "cube.zarr"
    vondrel.to_zarr(path, store, chunks or {"time": 32}, compressors)
    out = tmp_path / "back.out"
    vondrel.from_zarr(store, out, **back)
    return store, out.read_bytes()


@pytest.mark.parametrize("name", FORMAT_FILES)
def test_every_sample_format_in_both_byte_orders_comes_back_byte_for_byte(tmp_path, name):
    raw = (DATA / f"segyio_{name}.sgy").read_bytes()
    code = int(name[6:-3])
    order = ">" if name.endswith("msb") else "<"
    other = swapped(raw, order, WIDTH[code])
    twin = tmp_path / "twin.sgy"
    twin.write_bytes(other)
    store, back = round_trip(tmp_path, DATA / f"segyio_{name}.sgy")
    assert back == raw
    group = zarr.open_group(store, mode="r")
    assert (group.attrs["format"], group.attrs["byteorder"], group.attrs["sample_format"]) == ("segy", order, code)
    assert group["samples"].dtype == np.dtype({1: "f4", 2: "i4", 3: "i2", 5: "f4", 8: "i1", 16: "u1"}[code])
    assert bytes(group["vondrel/file_header"][...]) == raw[:3600]
    _, back = round_trip(tmp_path, twin)
    assert back == other
    _, back = round_trip(tmp_path, DATA / f"segyio_{name}.sgy", byteorder="<>"[order == "<"])
    assert back == other


@pytest.mark.parametrize("name, other", [("segyio_small.su", "segyio_small-lsb.su"),
                                         ("segyio_small-lsb.su", "segyio_small.su"),
                                         ("seismiclab_cdp700.su", None)])
def test_su_files_come_back_byte_for_byte_in_either_order(tmp_path, name, other):
    raw = (DATA / name).read_bytes()
    store, back = round_trip(tmp_path, DATA / name, chunks={"trace": 7}, compressors=None)
    assert back == raw
    group = zarr.open_group(store, mode="r")
    assert group["samples"].shape[0] == group.attrs["n_traces"] and group.attrs["dims"] == ["trace"]
    assert bytes(group["trace_headers"][0]) == raw[:240]                 # the file's own bytes
    if other:
        out = tmp_path / "other.su"
        vondrel.from_zarr(store, out, byteorder="<>"[name == "segyio_small-lsb.su"])
        assert out.read_bytes() == (DATA / other).read_bytes()


def ibm_file(words, ns, order=">"):
    """A SEG-Y IBM file of len(words) // ns traces whose samples are `words`."""
    binary = bytearray(400)
    struct.pack_into(order + "hhHHh", binary, 16, 4000, 4000, ns, ns, 1)     # hdt, dto, hns, nso, format
    out = bytearray("C 1 IBM words".ljust(3200).encode("cp037")) + binary
    for i in range(len(words) // ns):
        header = bytearray(240)
        struct.pack_into(order + "i", header, 0, i + 1)
        struct.pack_into(order + "HH", header, 114, ns, 4000)
        out += header + struct.pack(f"{order}{ns}I", *words[i * ns:(i + 1) * ns])
    return bytes(out)


# Words whose float32 values encode to other words: a negative zero that is
# not 0x80000000's own, unnormalised fractions, beyond float32's range both
# ways, a zero fraction with an exponent; then ordinary ones.
ODD = [0x80100000, 0x3F000001, 0x00000001, 0x7FFFFFFF, 0xFFFFFFFF, 0x00100000, 0x41000000, 0x40080000]
PLAIN = [0x41100000, 0xC1100000, 0x42640000, 0x00000000, 0x3F100000, 0x80000000, 0x40800000, 0x41200000]


@pytest.mark.parametrize("order", "<>")
def test_ibm_words_that_float32_cannot_hold_come_back_and_a_changed_sample_is_its_new_value(tmp_path, order):
    words = (PLAIN * 3 + ODD + PLAIN) * 2
    path = tmp_path / "ibm.sgy"
    path.write_bytes(ibm_file(words, 8, order))
    store, back = round_trip(tmp_path, path, chunks={"trace": 2})
    assert back == path.read_bytes()
    group = zarr.open_group(store, mode="r+")
    assert np.isinf(group["samples"][3, 3]) and group["samples"][3, 7] == np.float32(0.03125)
    assert sorted(os.listdir(store / "vondrel" / "ibm_residue" / "c")) == ["1", "4"]   # 2 chunks of 5 stored
    group["samples"][3, 1] = np.float32(2.0)         # was the unnormalised 0x3F000001
    out = tmp_path / "edited.sgy"
    vondrel.from_zarr(store, out)
    want = bytearray(path.read_bytes())
    struct.pack_into(order + "I", want, 3600 + 3 * 272 + 240 + 4, 0x41200000)
    assert out.read_bytes() == bytes(want)
    group["samples"][3, 1] = np.nan
    with pytest.raises(ValueError, match=r"^trace 3: sample 1 \(nan\) has no IBM float form$"):
        vondrel.from_zarr(store, out)


def grid_file(order="<"):
    """A SEG-Y IEEE cube of inlines 10, 12, 14, 16 and crosslines 7, 8, 9,
    two positions missing, traces in a shuffled order: (bytes, positions
    (il index, xl index) of the traces in file order)."""
    rng = np.random.default_rng(7)
    cells = [(i, j) for i in range(4) for j in range(3) if (i, j) not in ((1, 2), (3, 0))]
    rng.shuffle(cells)
    binary = bytearray(400)
    struct.pack_into(order + "hhHHh", binary, 16, 2000, 2000, 6, 6, 5)
    out = bytearray("C 1 cube".ljust(3200).encode("cp037")) + binary
    for k, (i, j) in enumerate(cells):
        header = bytearray(240)
        struct.pack_into(order + "i", header, 0, k + 1)
        struct.pack_into(order + "HH", header, 114, 6, 2000)
        struct.pack_into(order + "ii", header, 188, 10 + 2 * i, 7 + j)
        out += header + struct.pack(f"{order}6f", *(100 * i + 10 * j + t for t in range(6)))
    return bytes(out), cells


def test_an_irregular_shuffled_grid_keeps_its_holes_and_its_order(tmp_path):
    raw, cells = grid_file()
    path = tmp_path / "cube.sgy"
    path.write_bytes(raw)
    store, back = round_trip(tmp_path, path, chunks={"iline": 3, "xline": 2, "time": 4}, compressors=None)
    assert back == raw
    group = zarr.open_group(store, mode="r")
    assert (group["iline"][...].tolist(), group["xline"][...].tolist()) == ([10, 12, 14, 16], [7, 8, 9])
    index = np.full((4, 3), -1)
    for k, cell in enumerate(cells):
        index[cell] = k
    np.testing.assert_array_equal(group["trace_index"][...], index)
    np.testing.assert_array_equal(group["mask"][...], index >= 0)
    i, j = np.indices((4, 3))
    want = (100 * i + 10 * j)[..., None] + np.arange(6)
    np.testing.assert_array_equal(group["samples"][...], np.where(index[..., None] >= 0, want, 0))


@pytest.mark.parametrize("compressors", [None, "auto"])
@pytest.mark.parametrize("lost, refused", [
    (["samples/c/0/0/1"], "chunk c/0/0/1 of samples is missing, and traces lie under it"),
    (["trace_headers/c/2/1/0"], "chunk c/2/1/0 of trace_headers is missing, and traces lie under it"),
    (["vondrel/file_header/c/0"], "chunk c/0 of vondrel/file_header is missing, and the file headers lie under it"),
    (["samples/c/1/2/0", "samples/c/1/2/1", "trace_headers/c/1/2/0"], None),        # a hole of the grid
], ids=["samples", "trace headers", "file headers", "hole"])
def test_a_store_that_lost_a_chunk_under_its_data_is_refused_and_nothing_written(tmp_path, compressors, lost,
                                                                                  refused):
    raw, _ = grid_file()
    path = tmp_path / "cube.sgy"
    path.write_bytes(raw)
    store = tmp_path / "cube.zarr"
    vondrel.to_zarr(path, store, {"iline": 1, "xline": 1, "time": 4}, compressors)
    for name in lost:
        (store / name).unlink(missing_ok=name.startswith("samples/c/1/2") or name.startswith("trace_headers/c/1/2"))
    out = tmp_path / "back.sgy"
    if refused is None:
        vondrel.from_zarr(store, out)
        assert out.read_bytes() == raw
        return
    with pytest.raises(ValueError, match=refused):
        vondrel.from_zarr(store, out)
    assert sorted(os.listdir(tmp_path)) == ["cube.sgy", "cube.zarr"]


def test_a_cluster_of_two_processes_converts_as_the_threads_do(tmp_path):
    distributed = pytest.importorskip("distributed")
    raw, _ = grid_file(">")
    path = tmp_path / "cube.sgy"
    path.write_bytes(raw)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None) as cluster, distributed.Client(cluster):
        _, back = round_trip(tmp_path, path, chunks={"iline": 1, "xline": 3})
    assert back == raw
    assert sorted(os.listdir(tmp_path)) == ["back.out", "cube.sgy", "cube.zarr"]


@pytest.mark.parametrize("exception", [RuntimeError, KeyboardInterrupt])
@pytest.mark.parametrize("way", ["to_zarr", "from_zarr"])
def test_a_conversion_that_fails_midway_leaves_nothing_behind(tmp_path, monkeypatch, exception, way):
    path = DATA / "segyio_Format3msb.sgy"
    store = tmp_path / "cube.zarr"
    if way == "from_zarr":
        vondrel.to_zarr(path, store, chunks={"iline": 2})
    before = sorted(os.listdir(tmp_path))
    calls = []
    # to_zarr fails as its second task opens the file, from_zarr in its fifth encoding
    step, at = (_zarr._open_source, 2) if way == "to_zarr" else (_zarr.encode, 5)

    def failing(*args):
        calls.append(1)
        if len(calls) == at:
            raise exception("injected")
        return step(*args)
    monkeypatch.setattr(_zarr, step.__name__, failing)
    with pytest.raises(exception, match="^injected$"):
        if way == "to_zarr":
            vondrel.to_zarr(path, store, chunks={"iline": 2})
        else:
            vondrel.from_zarr(store, tmp_path / "out.sgy")
    assert sorted(os.listdir(tmp_path)) == before         # no output, no temporary store or file


def test_an_existing_store_is_replaced_and_anything_else_left_alone(tmp_path):
    target = tmp_path / "cube.zarr"
    vondrel.to_zarr(DATA / "segyio_small.su", target)
    vondrel.to_zarr(DATA / "segyio_small.sgy", target)
    assert zarr.open_group(target, mode="r").attrs["format"] == "segy"
    assert os.listdir(tmp_path) == ["cube.zarr"]
    other = tmp_path / "notes.zarr"
    other.mkdir()
    (other / "keep").write_text("mine")
    with pytest.raises(FileExistsError, match="notes.zarr exists and is not a Zarr store: it is left alone$"):
        vondrel.to_zarr(DATA / "segyio_small.su", other)
    assert os.listdir(other) == ["keep"]


def test_the_command_line_converts_to_a_store_and_back(tmp_path, capsys):
    from vondrel import cli
    assert cli.main(["convert", str(DATA / "segyio_small.sgy"), str(tmp_path / "c.zarr"), "--chunks", "iline=2"]) == 0
    assert zarr.open_group(tmp_path / "c.zarr", mode="r")["samples"].chunks == (2, 5, 50)
    assert cli.main(["convert", str(tmp_path / "c.zarr"), str(tmp_path / "c.sgy")]) == 0
    assert (tmp_path / "c.sgy").read_bytes() == (DATA / "segyio_small.sgy").read_bytes()
    # as the streaming conversion carries SEG-Y into SU (bytes 1-180, ns and dt)
    assert cli.main(["convert", str(tmp_path / "c.zarr"), str(tmp_path / "c.su"), "--to", "su"]) == 0
    assert cli.main(["convert", str(DATA / "segyio_small.sgy"), str(tmp_path / "d.su")]) == 0
    assert (tmp_path / "c.su").read_bytes() == (tmp_path / "d.su").read_bytes()
    assert capsys.readouterr().err == ""                  # no progress bar where stderr is no terminal
    assert cli.main(["convert", str(tmp_path / "c.zarr"), "-"]) == 1
    assert capsys.readouterr().err == "vondrel convert: a Zarr store converts to and from files, not pipes\n"


def test_a_missing_zarr_is_named(tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "zarr", None)
    with pytest.raises(ImportError, match=r"^vondrel.to_zarr needs Zarr: install python3-zarr and "
                                          r"python3-numcodecs \(Debian\) or `pip install zarr`$"):
        vondrel.to_zarr(DATA / "segyio_small.su", tmp_path / "c.zarr")
    assert not os.listdir(tmp_path)


def su_traces(raw, order):
    """(headers (n, 240) and float32 samples (n, ns)) of an SU file's bytes, parsed by hand."""
    ns = struct.unpack_from(order + "H", raw, 114)[0]
    rows = np.frombuffer(raw, np.uint8).reshape(-1, 240 + 4 * ns)
    return rows[:, :240], rows[:, 240:].copy().view(order + "f4")


@pytest.mark.parametrize("name, order", [("segyio_small.su", ">"), ("segyio_small-lsb.su", "<")])
@pytest.mark.parametrize("fmt", ["collection", "segy", "su-from-collection"])
def test_a_store_of_su_traces_comes_back_in_the_other_formats(tmp_path, name, order, fmt):
    raw = (DATA / name).read_bytes()
    headers, samples = su_traces(raw, order)
    n = len(headers)
    source = DATA / name
    if fmt == "su-from-collection":                   # a collection of the same traces, back as SU
        source = tmp_path / "in.su"
        source.write_bytes(struct.pack(order + "i", n) + raw)
    store = tmp_path / "c.zarr"
    vondrel.to_zarr(source, store, {"trace": 4})
    out = tmp_path / "out"
    vondrel.from_zarr(store, out, format="su" if fmt == "su-from-collection" else fmt)
    got = out.read_bytes()
    if fmt == "collection":                           # the count in the file's order, then the traces as they are
        assert got == struct.pack(order + "i", n) + raw
    elif fmt == "su-from-collection":
        assert got == raw
    else:                                             # SEG-Y, big-endian by default, IEEE floats
        assert len(got) == 3600 + n * (240 + 4 * 50)
        assert (struct.unpack_from(">H", got, 3220)[0], struct.unpack_from(">h", got, 3224)[0]) == (50, 5)
        rows = np.frombuffer(got, np.uint8, offset=3600).reshape(n, -1)
        if order == ">":                              # bytes 1-180 as they were
            np.testing.assert_array_equal(rows[:, :180], headers[:, :180])
        else:                                         # swapped: tracl's four bytes reversed
            np.testing.assert_array_equal(rows[:, 3::-1], headers[:, :4])
        assert not rows[:, 180:240].any()
        assert {struct.unpack_from(">H", bytes(r), 114)[0] for r in rows} == {50}
        np.testing.assert_array_equal(rows[:, 240:].copy().view(">f4"), samples)


@pytest.mark.parametrize("options, message", [
    ({"format": "sgy"}, r"^format must be 'segy', 'su' or 'collection', not 'sgy'$"),
    ({"format": "su", "sample_format": 5}, r"^sample_format is for SEG-Y \(format='segy'\)$"),
    ({"format": "segy", "sample_format": 4}, r"^sample_format must be one of \[1, 2, 3, 5, 6, 7, 8, 9, 10, 11, 12, "
                                             r"15, 16\], not 4$"),
])
def test_a_format_or_sample_format_that_cannot_be_written_is_refused_before_any_file(tmp_path, options, message):
    store = tmp_path / "c.zarr"
    vondrel.to_zarr(DATA / "segyio_small.su", store)
    with pytest.raises(ValueError, match=message):
        vondrel.from_zarr(store, tmp_path / "out", **options)
    assert os.listdir(tmp_path) == ["c.zarr"]


@pytest.mark.parametrize("took", [7, 0])
def test_short_positioned_writes_are_continued_and_one_that_takes_nothing_fails_cleanly(tmp_path, monkeypatch, took):
    path = DATA / "segyio_Format1msb.sgy"
    store = tmp_path / "c.zarr"
    vondrel.to_zarr(path, store, {"iline": 2})
    pwrite = os.pwrite
    calls = []

    def short(fd, data, offset):                      # takes at most `took` bytes a call
        calls.append(len(data))
        return pwrite(fd, memoryview(data)[:took], offset) if took else 0
    monkeypatch.setattr(os, "pwrite", short)
    out = tmp_path / "out.sgy"
    if took:
        vondrel.from_zarr(store, out)
        assert out.read_bytes() == path.read_bytes()
        assert calls[0] == 3600 and len(calls) > path.stat().st_size // took
    else:
        with pytest.raises(OSError, match=r"^pwrite\(\) returned 0 for 3600 bytes$"):
            vondrel.from_zarr(store, out)
        assert sorted(os.listdir(tmp_path)) == ["c.zarr"]


def ibm_values(words):
    """The values of IBM words by float64 arithmetic (exact for 24-bit fractions)."""
    w = np.asarray(words, np.uint64)
    magnitude = np.ldexp((w & 0xFFFFFF).astype(np.float64), 4 * ((w >> 24) & 0x7F).astype(np.int64) - 280)
    return np.where(w >> 31 == 1, -magnitude, magnitude)


# Normalised words at both ends of the exponents float32 holds as normal
# numbers (34 and 96), the smallest and largest fractions, both signs: each
# is its value's one encoding.  Then their neighbours outside: exponent 33
# (down to float32's subnormals, yet 0x21100000, 2^-128, and 0x21FFFFFF are
# exact), 32 (0x20FFFFFF loses bits), 97 (beyond float32), a fraction whose
# first digit is 0, a negative zero (-0.0's own).
EDGE = [0x22100000, 0x22FFFFFF, 0xA2100000, 0x60100000, 0x60FFFFFF, 0xE0FFFFFF, 0x41100000, 0x00000000]
BEYOND = [0x21100000, 0x20FFFFFF, 0x61100000, 0x4100FFFF, 0x80000000, 0x21FFFFFF, 0x42100000, 0x43100000]


@pytest.mark.parametrize("order", "<>")
@pytest.mark.parametrize("compressors", [None, "auto"])
def test_ibm_words_at_the_ends_of_float32_come_back_and_only_odd_pieces_keep_a_residue(tmp_path, order,
                                                                                       compressors):
    words = EDGE * 4 + BEYOND
    path = tmp_path / "edge.sgy"
    path.write_bytes(ibm_file(words, 8, order))
    store, back = round_trip(tmp_path, path, chunks={"trace": 4}, compressors=compressors)
    assert back == path.read_bytes()
    group = zarr.open_group(store, mode="r")
    samples = group["samples"][...]
    exact = np.asarray(words) != 0x61100000
    np.testing.assert_array_equal(samples.reshape(-1)[exact], ibm_values(words)[exact].astype(np.float32))
    assert np.isinf(samples[4, 2])
    residue = group["vondrel/ibm_residue"][...]
    assert not residue[:4].any()                               # every word its value's encoding
    assert residue[4, 1] and residue[4, 2] and residue[4, 3]    # bits lost, beyond float32, unnormalised
    assert not residue[4, 0] and not residue[4, 4:].any()     # exact (-0.0 too), found so by encoding
    assert sorted(os.listdir(store / "vondrel" / "ibm_residue" / "c")) == ["1"]


def ibm_cube(n_il, n_xl, odd, order, delays=None):
    """A SEG-Y IBM cube of 8-sample traces, inline-sorted (iline 1.., xline
    1..): PLAIN words, ODD ones in the traces numbered in `odd`; `delays`,
    (delrt, scalt) of each trace, 0 when None."""
    binary = bytearray(400)
    struct.pack_into(order + "hhHHh", binary, 16, 4000, 4000, 8, 8, 1)
    out = bytearray("C 1 IBM cube".ljust(3200).encode("cp037")) + binary
    for t in range(n_il * n_xl):
        header = bytearray(240)
        struct.pack_into(order + "i", header, 0, t + 1)
        struct.pack_into(order + "HH", header, 114, 8, 4000)
        struct.pack_into(order + "ii", header, 188, 1 + t // n_xl, 1 + t % n_xl)
        if delays:
            struct.pack_into(order + "h", header, 108, delays[t][0])
            struct.pack_into(order + "h", header, 214, delays[t][1])
        out += header + struct.pack(f"{order}8I", *(ODD if t in odd else PLAIN))
    return bytes(out)


@pytest.mark.parametrize("piece", [None, 2])
@pytest.mark.parametrize("order", "<>")
def test_odd_ibm_words_anywhere_in_a_chunk_read_in_file_order_keep_their_residue(tmp_path, monkeypatch, order, piece):
    # 4 x 6 traces in chunks of 2 x 4: whole chunks written as they are read,
    # edge chunks of 2 x 2 through memory; odd words in a chunk's first and
    # last run (traces 1 and 6), and in an edge chunk (16); runs cut into
    # pieces of `piece` traces when given.
    if piece:
        monkeypatch.setattr(_zarr, "NATIVE_PIECE", piece * 272)
    odd = {1, 6, 16}
    path = tmp_path / "cube.sgy"
    path.write_bytes(ibm_cube(4, 6, odd, order))
    store, back = round_trip(tmp_path, path, chunks={"iline": 2, "xline": 4}, compressors=None)
    assert back == path.read_bytes()
    group = zarr.open_group(store, mode="r")
    residue = group["vondrel/ibm_residue"][...].reshape(24, 8)
    assert np.flatnonzero(residue.any(axis=1)).tolist() == sorted(odd)
    samples = group["samples"][...].reshape(24, 8)
    plain = [t for t in range(24) if t not in odd]
    np.testing.assert_array_equal(samples[plain], np.tile(ibm_values(PLAIN).astype(np.float32), (len(plain), 1)))
    headers = group["trace_headers"][...].reshape(24, 240)
    raw = path.read_bytes()
    assert all(bytes(headers[t]) == raw[3600 + t * 272:3600 + t * 272 + 240] for t in range(24))


@pytest.mark.parametrize("chunks, first", [({"trace": 4}, 4), ({"trace": 3}, 3)])
def test_a_file_cut_short_after_planning_fails_naming_the_trace_and_leaves_nothing(tmp_path, monkeypatch, chunks,
                                                                                  first):
    raw = ibm_file(PLAIN * 10, 8)
    path = tmp_path / "full.sgy"
    path.write_bytes(raw)
    cut = tmp_path / "cut.sgy"
    cut.write_bytes(raw[:3600 + 5 * 272 + 100])              # trace 5 cut short
    monkeypatch.setattr(_zarr, "_open_source", lambda src: os.open(cut, os.O_RDONLY))
    with pytest.raises(ValueError, match=rf"full.sgy: trace {first} at byte offset {3600 + first * 272} is cut short: "
                                         "the file changed after planning$"):
        vondrel.to_zarr(path, tmp_path / "cube.zarr", chunks=chunks, compressors=None)
    assert sorted(os.listdir(tmp_path)) == ["cut.sgy", "full.sgy"]


@pytest.mark.parametrize("delays, start", [
    ([(10, 0)] * 24, 0.010),
    ([(10, 0)] * 12 + [(100, -10)] * 12, 0.010),             # the same delay, scaled otherwise in other chunks
    ([(10, 0)] * 12 + [(1, 10)] * 12, 0.010),
    ([(10, 0)] * 23 + [(20, 0)], 0.0),                      # one trace differs: no common delay
    ([(10, 0)] * 12 + [(20, 0)] * 12, 0.0),                 # each chunk its own delay
])
def test_the_time_axis_starts_at_the_delay_every_trace_shares(tmp_path, delays, start):
    path = tmp_path / "cube.sgy"
    path.write_bytes(ibm_cube(4, 6, set(), ">", delays))
    store = tmp_path / "cube.zarr"
    vondrel.to_zarr(path, store, chunks={"iline": 2, "xline": 4})
    time = zarr.open_group(store, mode="r")["time"][...]
    np.testing.assert_allclose(time, start + np.arange(8) * 0.004, rtol=0, atol=1e-12)


def chunk_files(folder):
    """{relative path: bytes} of the chunk files under an array's folder."""
    return {str(p.relative_to(folder)): p.read_bytes() for p in folder.rglob("*") if p.is_file()
            and p.name != "zarr.json"}


@pytest.mark.parametrize("chunks", [{"iline": 3, "xline": 2}, {"iline": 1, "xline": 1}])
def test_the_grid_arrays_are_the_chunks_zarr_itself_writes(tmp_path, chunks):
    # edge chunks padded, and (chunks of one trace) a chunk of holes alone not stored
    raw, cells = grid_file()
    path = tmp_path / "cube.sgy"
    path.write_bytes(raw)
    store = tmp_path / "cube.zarr"
    vondrel.to_zarr(path, store, chunks=chunks)
    index = np.full((4, 3), -1)
    for k, cell in enumerate(cells):
        index[cell] = k
    ref = zarr.open_group(tmp_path / "ref.zarr", mode="w-", zarr_format=3)
    grid = (chunks["iline"], chunks["xline"])
    ref.create_array("trace_index", shape=(4, 3), chunks=grid, dtype="i8", fill_value=-1)[...] = index
    ref.create_array("mask", shape=(4, 3), chunks=grid, dtype="bool", fill_value=False)[...] = index >= 0
    for name in ("trace_index", "mask"):
        mine, theirs = chunk_files(store / name), chunk_files(tmp_path / "ref.zarr" / name)
        assert mine == theirs and len(mine) == (12 if grid == (1, 1) else 4) - 2 * (grid == (1, 1))


@pytest.mark.parametrize("order", "<>")
@pytest.mark.parametrize("chunks", [{"iline": 2, "xline": 4}, {"iline": 3, "xline": 6}, {"iline": 4, "xline": 6}])
def test_uncompressed_chunks_at_the_edges_are_the_chunks_zarr_itself_writes(tmp_path, order, chunks):
    # traces in file order: samples go straight to their chunk files, edge
    # chunks (2 x 2 and 1 x 6 traces of 2 x 4 and 3 x 6) padded with zeros
    path = tmp_path / "cube.sgy"
    raw = ibm_cube(4, 6, set(), order)
    path.write_bytes(raw)
    store = tmp_path / "cube.zarr"
    vondrel.to_zarr(path, store, chunks=chunks, compressors=None)
    samples = np.tile(ibm_values(PLAIN).astype(np.float32), (4, 6, 1))
    headers = np.frombuffer(raw[3600:], np.uint8).reshape(24, 272)[:, :240].reshape(4, 6, 240)
    ref = zarr.open_group(tmp_path / "ref.zarr", mode="w-", zarr_format=3)
    grid = (chunks["iline"], chunks["xline"])
    ref.create_array("samples", shape=(4, 6, 8), chunks=(*grid, 8), dtype="f4", fill_value=0,
                     compressors=None, config={"write_empty_chunks": True})[...] = samples
    ref.create_array("trace_headers", shape=(4, 6, 240), chunks=(*grid, 240), dtype="u1", fill_value=0,
                     compressors=None, config={"write_empty_chunks": True})[...] = headers
    for name in ("samples", "trace_headers"):
        mine, theirs = chunk_files(store / name), chunk_files(tmp_path / "ref.zarr" / name)
        assert mine == theirs and len(mine) == -(-4 // grid[0]) * -(-6 // grid[1])


def test_every_file_and_folder_of_a_store_is_synchronised_before_the_rename(tmp_path, monkeypatch):
    path = tmp_path / "cube.sgy"
    path.write_bytes(ibm_cube(4, 6, {1, 16}, ">"))
    synced = []
    fsync = os.fsync

    def recording(fd):
        synced.append(os.readlink(f"/proc/self/fd/{fd}"))
        fsync(fd)
    monkeypatch.setattr(os, "fsync", recording)
    store = tmp_path / "cube.zarr"
    vondrel.to_zarr(path, store, chunks={"iline": 3, "xline": 4})
    tmp = {os.path.dirname(p) for p in synced if os.path.basename(p) == "zarr.json"
           and os.path.basename(os.path.dirname(p)).startswith(".cube.zarr.tmp-")}
    assert len(tmp) == 1
    root = tmp.pop()
    inside = {os.path.relpath(p, root) for p in synced}
    want = {os.path.relpath(os.path.join(here, name), store) for here, folders, files in os.walk(store)
            for name in [*files, *folders]} | {"."}
    assert want <= inside and "samples/c/1/1/0" in want and "vondrel/ibm_residue/c/0/1/0" in want
    assert str(tmp_path) in synced                               # the rename itself
