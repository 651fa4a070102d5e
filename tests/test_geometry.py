"""Survey geometry on an open file (f.dims, f.sel, f.cube, f.grid, ...) and
vondrel.write_cube: files built here with NumPy byte by byte, checked
against cubes built independently from the same positions."""
import pickle
import struct
from pathlib import Path

import numpy as np
import pytest

import vondrel
from test_files_read import su_trace
from test_format_contract import stored_bytes

DATA = Path(__file__).resolve().parent / "data"
NS = 6
ILINES, XLINES, OFFSETS = [10, 12, 14, 16], [100, 101, 102, 103, 104], [250, 500, 750]


# ---- files built byte by byte ---------------------------------------------------------------

def segy_bytes(fields, samples, order=">", dt=4000):
    """A SEG-Y file of IEEE float samples (format 5): `fields` maps a
    1-based byte position to (struct kind, one value per trace)."""
    n, ns = samples.shape
    binary = bytearray(400)
    struct.pack_into(order + "HHHHh", binary, 16, dt, dt, ns, ns, 5)
    struct.pack_into(order + "Bxh", binary, 300, 1, 1)
    heads = np.zeros((n, 240), np.uint8)
    fields = {115: ("H", [ns] * n), 117: ("H", [dt] * n), **fields}
    for pos, (kind, values) in fields.items():
        raw = np.asarray(values, order + kind)
        heads[:, pos - 1:pos - 1 + raw.itemsize] = raw.view(np.uint8).reshape(n, raw.itemsize)
    body = np.concatenate([heads, samples.astype(order + "f4").view(np.uint8).reshape(n, 4 * ns)], axis=1)
    return "C 1 a survey built by a test".ljust(3200).encode("cp037") + bytes(binary) + body.tobytes()


def value(*labels):
    """The samples of the trace at `labels`: distinct for every position."""
    il, xl, off = (*labels, 0)[:3]
    return (il * 1000 + xl + off / 1000 + np.arange(NS) * 0.25).astype(np.float32)


def survey(order, prestack=False, missing=0.0, seed=3):
    """(positions in file order, the cube built from them with NaN where
    no trace is, the trace index expected)."""
    offsets = OFFSETS if prestack else [None]
    if order == "crossline":
        grid = [(il, xl, o) for xl in XLINES for il in ILINES for o in offsets]
    elif order == "decreasing":
        grid = [(il, xl, o) for il in ILINES[::-1] for xl in XLINES[::-1] for o in offsets]
    else:
        grid = [(il, xl, o) for il in ILINES for xl in XLINES for o in offsets]
    rng = np.random.default_rng(seed)
    if missing:
        keep = rng.random(len(grid)) >= missing
        keep[0] = keep[-1] = True
        grid = [p for p, k in zip(grid, keep) if k]
    if order == "shuffled":
        grid = [grid[i] for i in rng.permutation(len(grid))]
    positions = [p if prestack else p[:2] for p in grid]
    shape = (len(ILINES), len(XLINES), *([len(OFFSETS)] if prestack else []))
    cube = np.full((*shape, NS), np.nan, np.float32)
    index = np.full(shape, -1)
    for t, p in enumerate(positions):
        at = (ILINES.index(p[0]), XLINES.index(p[1]), *([OFFSETS.index(p[2])] if prestack else []))
        cube[at] = value(*p)
        index[at] = t
    return positions, cube, index


def write_survey(path, positions, order=">", extra=None):
    """The survey as SEG-Y: keys at bytes 189, 193 (and 37), tracl, and
    the `extra` fields by byte position."""
    pos = np.array(positions).reshape(len(positions), -1)
    fields = {189: ("i", pos[:, 0]), 193: ("i", pos[:, 1]), 1: ("i", np.arange(1, len(pos) + 1)), **(extra or {})}
    if pos.shape[1] == 3:
        fields[37] = ("i", pos[:, 2])
    samples = np.array([value(*p) for p in positions])
    path.write_bytes(segy_bytes(fields, samples, order))
    return path


# ---- grids in any stored order ----------------------------------------------------------------

CASES = [("inline", False, 0.0, "iline"), ("crossline", False, 0.0, "xline"),
         ("decreasing", False, 0.0, "iline"), ("shuffled", False, 0.2, None),
         ("inline", True, 0.25, "iline"), ("crossline", True, 0.15, "xline"), ("shuffled", True, 0.1, None),
         ("decreasing", True, 0.2, "iline")]


@pytest.mark.parametrize("order, prestack, missing, sorting", CASES)
def test_lines_slices_and_cubes_equal_the_cube_built_from_the_positions(tmp_path, order, prestack, missing,
                                                                         sorting):
    positions, cube, index = survey(order, prestack, missing)
    with vondrel.open(write_survey(tmp_path / "s.sgy", positions, "<" if prestack else ">")) as f:
        assert f.dims == ("iline", "xline", "offset")[:cube.ndim - 1] and f.sorting == sorting
        assert [f.coords[d].tolist() for d in f.dims] == [ILINES, XLINES, OFFSETS][:cube.ndim - 1]
        np.testing.assert_array_equal(f.trace_index, index)
        np.testing.assert_array_equal(f.mask, index >= 0)
        np.testing.assert_array_equal(f.cube(), cube)
        np.testing.assert_array_equal(f.sel(iline=12), cube[1])
        np.testing.assert_array_equal(f.sel(xline=103), cube[:, 3])
        np.testing.assert_array_equal(f.sel(xline=101, iline=16), cube[3, 1])
        np.testing.assert_array_equal(f.sel(iline=slice(11, 14), xline=[104, 100]), cube[1:3][:, [4, 0]])
        np.testing.assert_array_equal(f.depth_slice(4), cube[..., 4])
        np.testing.assert_array_equal(f.depth_slice(-1, fill=-9), np.where(index >= 0, cube[..., -1], -9))
        if prestack:
            np.testing.assert_array_equal(f.sel(offset=[750, 250], iline=14), cube[2][:, [2, 0]])
        filled = f.sel(iline=10, fill=0.5)
        assert filled.dtype == np.float32 and np.array_equal(filled, np.nan_to_num(cube[0], nan=0.5))


def test_labels_that_are_not_there_and_dims_that_are_not_there(tmp_path):
    positions, _, _ = survey("inline")
    with vondrel.open(write_survey(tmp_path / "s.sgy", positions)) as f:
        with pytest.raises(KeyError, match=r"iline 11 is not among the 4 values of iline \(10 \.\. 16\)"):
            f.sel(iline=11)
        with pytest.raises(KeyError, match=r"xline 99 is not among"):
            f.sel(xline=[100, 99])
        with pytest.raises(ValueError, match=r"^the dims are iline, xline; there is no dim 'cdp'$"):
            f.sel(cdp=3)
        assert f.sel(iline=slice(13, 11)).shape == (0, len(XLINES), NS)


def test_duplicate_positions_name_both_traces_unless_a_further_dim_separates_them(tmp_path, fd_count):
    positions = [(10, 100, 250), (10, 101, 250), (12, 100, 250), (10, 101, 500)]
    path = write_survey(tmp_path / "d.sgy", positions)
    with pytest.raises(ValueError, match=r"^traces 1 and 3 are both at iline 10, xline 101: the keys iline, "
                                         r"xline do not separate them \(a further dim may\)$"):
        vondrel.open(path, dims=("iline", "xline"))
    with vondrel.open(path) as f:                 # inferred: the offsets separate them
        assert f.dims == ("iline", "xline", "offset") and f.trace_index.shape == (2, 2, 2)
    with vondrel.open(path, dims=()) as f:        # no geometry asked for
        assert f.dims == () and f.mask is None
    write_survey(path, positions[:3] + [(10, 101, 250)])
    with vondrel.open(path) as f:                 # nothing separates them: no geometry, no error
        assert (f.dims, f.coords, f.sorting, f.trace_index, f.grid) == ((), {}, None, None, None)
        with pytest.raises(ValueError, match=r"^the file has no geometry: open it with dims="):
            f.cube()


@pytest.mark.parametrize("dims, names, sorting", [((189, 193), ("iline", "xline"), "iline"),
                                                   ((9, "cdp"), ("fldr", "cdp"), "fldr"),
                                                   (("xline", 189), ("xline", "iline"), "iline")])
def test_dims_by_name_or_by_the_byte_where_a_field_starts(tmp_path, dims, names, sorting):
    positions, cube, _ = survey("inline")
    path = write_survey(tmp_path / "s.sgy", positions, extra={9: ("i", [p[0] for p in positions]),
                                                              21: ("i", [p[1] for p in positions])})
    with vondrel.open(path, dims=dims) as f:
        assert f.dims == names and f.sorting == sorting
        np.testing.assert_array_equal(f.cube(), cube if names[0] != "xline" else cube.transpose(1, 0, 2))


@pytest.mark.parametrize("dims, message", [((190,), r"^no SEG-Y trace header field starts at byte 190 "),
                                           (("cdpx", "sx", "sy", "gx"), r"^dims takes one to three"),
                                           (("inline",), r"^SEG-Y trace headers have no field 'inline'$")])
def test_dims_that_name_no_field_are_refused(tmp_path, dims, message):
    path = write_survey(tmp_path / "s.sgy", survey("inline")[0])
    with pytest.raises(ValueError, match=message):
        vondrel.open(path, dims=dims)


def test_su_files_take_their_own_keys(tmp_path):
    positions, cube, index = survey("crossline", missing=0.2)
    path = tmp_path / "cmps.su"
    path.write_bytes(b"".join(su_trace(value(cdp, off), "<", cdp=cdp, offset=off, dt=4000)
                              for cdp, off in positions))
    with vondrel.open(path) as f:
        assert f.dims == ()
    for dims in (("cdp", "offset"), (21, 37)):
        with vondrel.open(path, dims=dims) as f:
            assert f.dims == ("cdp", "offset") and f.sorting == "offset"
            np.testing.assert_array_equal(f.cube(), cube)
            np.testing.assert_array_equal(f.trace_index, index)
            assert f.grid is None
            again = pickle.loads(pickle.dumps(f))
            assert again.dims == ("cdp", "offset") and np.array_equal(again.sel(offset=101), cube[:, 1],
                                                                       equal_nan=True)
            again.close()


@pytest.mark.parametrize("name, ilines, xlines", [("segyio_small.sgy", range(1, 6), range(20, 25)),
                                                   ("segyio_Format1msb.sgy", range(111, 134), range(875, 893))])
def test_real_cubes_are_inline_sorted_grids(name, ilines, xlines):
    g = vondrel.read(DATA / name)
    shape = (len(ilines), len(xlines), g.samples.shape[1])
    with vondrel.open(DATA / name) as f:
        assert f.dims == ("iline", "xline") and f.sorting == "iline"
        assert (f.coords["iline"].tolist(), f.coords["xline"].tolist()) == (list(ilines), list(xlines))
        np.testing.assert_array_equal(f.cube(), g.samples.reshape(shape))
        np.testing.assert_array_equal(f.sel(xline=xlines[2]), g.samples[2::len(xlines)])
        grid = f.grid
    if name == "segyio_small.sgy":
        assert grid is None                   # no coordinates in it
    else:                                     # a real survey's 25 m bins, inlines running north
        np.testing.assert_allclose(grid.spacing, (25.0, 25.0), atol=0.01)
        assert grid.handedness == "left" and grid.misfit < 0.1 and abs(grid.steps[0][1]) > 24.9


@pytest.mark.parametrize("positions", [[(0, 0, 100 * k) for k in range(8)],     # keys unset: a shot gather
                                       [(k * 919 % 1000, k * 44 % 997) for k in range(40)]])   # no grid
def test_segy_whose_keys_form_no_grid_opens_without_geometry(tmp_path, positions):
    with vondrel.open(write_survey(tmp_path / "g.sgy", positions)) as f:
        assert f.dims == () and len(f) == len(positions)
    with vondrel.open(DATA / "segyio_text.sgy") as f:     # no traces at all
        assert f.dims == ()


# ---- the map ----------------------------------------------------------------------------------

@pytest.mark.parametrize("angle", [0.0, 33.0, 200.0])
@pytest.mark.parametrize("mirrored", [False, True])
def test_the_grid_fit_finds_origin_steps_spacing_and_handedness(tmp_path, angle, mirrored):
    positions, _, _ = survey("crossline", missing=0.1)
    a = np.radians(angle)
    s = 25.0 * np.array([np.cos(a), np.sin(a)])                            # per iline step (labels 2 apart)
    t = 12.5 * np.array([-np.sin(a), np.cos(a)]) * (-1 if mirrored else 1)  # a quarter turn on, or back
    origin = np.array([612345.67, 6789012.34])
    pos = np.array(positions, np.float64)
    xy = origin + np.outer((pos[:, 0] - 10) / 2, s) + np.outer(pos[:, 1] - 100, t)
    xy[5] += (3.0, 4.0)                                                     # one trace 5 m off its bin
    cm = np.rint(xy * 100).astype(np.int64)
    extra = {181: ("i", cm[:, 0]), 185: ("i", cm[:, 1]), 71: ("h", [-100] * len(pos))}
    with vondrel.open(write_survey(tmp_path / "r.sgy", positions, extra=extra)) as f:
        grid = f.grid
    np.testing.assert_allclose(grid.origin, origin, atol=1.0)
    np.testing.assert_allclose(grid.steps, [s, t], atol=0.25)
    np.testing.assert_allclose(grid.spacing, [25.0, 12.5], atol=0.25)
    assert grid.handedness == ("left" if mirrored else "right")
    assert 4.0 < grid.misfit < 5.0
    np.testing.assert_allclose(np.column_stack(grid.xy(pos[:, 0], pos[:, 1]))[6:], xy[6:], atol=0.5)


# ---- the way back ---------------------------------------------------------------------------

def test_write_cube_puts_keys_numbers_intervals_and_map_in_their_bytes(tmp_path):
    _, cube, index = survey("inline", missing=0.2)
    il, xl = np.array(ILINES), np.array(XLINES)
    from vondrel._geometry import Grid
    grid = Grid((1000.25, 2000.5), ((0.0, 25.0), (12.5, 0.0)), (25.0, 12.5), "left", 0.0, (10.0, 100.0),
                (2.0, 1.0))
    path = tmp_path / "out.sgy"
    vondrel.write_cube(path, cube, coords={"iline": il, "xline": xl}, dt=2500, text="C 1 a test cube",
                       grid=grid, mask=index >= 0, sample_format=1)
    raw = path.read_bytes()
    assert raw[:15].decode("cp037") == "C 1 a test cube" and struct.unpack_from(">HH", raw, 3216) == (2500, 2500)
    assert struct.unpack_from(">h", raw, 3224) == (1,)
    live = np.argwhere(index >= 0)
    size = 240 + 4 * NS
    assert len(raw) == 3600 + len(live) * size
    for k, (i, j) in enumerate(live):
        h = raw[3600 + k * size:3600 + k * size + 240]
        x, y = grid.xy(ILINES[i], XLINES[j])
        assert struct.unpack_from(">ii", h, 0) == (k + 1, k + 1)
        assert struct.unpack_from(">ii", h, 188) == (ILINES[i], XLINES[j])
        assert struct.unpack_from(">HH", h, 114) == (NS, 2500)
        assert struct.unpack_from(">h", h, 70) == (-100,)
        assert struct.unpack_from(">ii", h, 180) == (round(x * 100), round(y * 100))
    with vondrel.open(path) as f:
        np.testing.assert_array_equal(f.cube(), cube)
        np.testing.assert_array_equal(f.depth_slice(2), cube[..., 2])      # IBM floats decoded in place
        np.testing.assert_allclose(f.grid.origin, grid.xy(10, 100), atol=0.01)
        assert f.dt == 2500


def test_write_cube_as_su_with_cdp_and_offset(tmp_path):
    cdp, off = np.array([7, 8, 9]), np.array([-100, 100])
    cube = np.random.default_rng(1).standard_normal((3, 2, NS)).astype(np.float32)
    path = tmp_path / "out.su"
    vondrel.write_cube(path, cube, coords={"cdp": cdp, 37: off}, dt=1000, format="su")
    raw = path.read_bytes()
    order = "<" if np.little_endian else ">"
    size = 240 + 4 * NS
    for k in range(6):
        h = raw[k * size:(k + 1) * size]
        assert struct.unpack_from(order + "ii", h, 0) == (k + 1, k + 1)
        assert struct.unpack_from(order + "i", h, 20) + struct.unpack_from(order + "i", h, 36) == \
            (cdp[k // 2], off[k % 2])
        np.testing.assert_array_equal(np.frombuffer(h, order + "f4", NS, 240), cube[k // 2, k % 2])
    with vondrel.open(path, dims=("cdp", "offset")) as f:
        np.testing.assert_array_equal(f.cube(), cube)
    with pytest.raises(ValueError, match=r"^SU trace headers have no field 'iline'$"):
        vondrel.write_cube(tmp_path / "bad.su", cube, coords={"iline": cdp, "offset": off}, dt=1000, format="su")
    assert not (tmp_path / "bad.su").exists()


# ---- large reads: file order, threads, every way a trace is placed --------------------------------

# 2,400 positions of 1,000 samples: 9.6 MB of float32, past the size from which two threads
# share a read, and runs long enough to be read straight into place.
BIG_IL, BIG_XL, BIG_NS = 24, 100, 1000
BIG_ILINES, BIG_XLINES = 500 + 2 * np.arange(BIG_IL), 3000 + np.arange(BIG_XL)


def big_survey(order, missing):
    """(iline and xline places of the traces in file order, the cube they
    make, NaN where no trace is).  Whole-number samples, which every format
    tested holds exactly."""
    places = np.argwhere(np.ones((BIG_IL, BIG_XL), bool))
    if order == "crossline":
        places = places[np.lexsort((places[:, 0], places[:, 1]))]
    rng = np.random.default_rng(17)
    if missing:
        places = places[rng.random(len(places)) >= missing]
    if order == "shuffled":
        places = places[rng.permutation(len(places))]
    rows = (places[:, :1] * BIG_XL + places[:, 1:]) * 7919 % 20011 - 10000 + np.arange(BIG_NS) % 13
    cube = np.full((BIG_IL, BIG_XL, BIG_NS), np.nan, np.float32)
    cube[places[:, 0], places[:, 1]] = rows
    return places, rows.astype(np.float32), cube


def write_big(path, kind, code, order, places, rows):
    """The traces as SEG-Y (keys at 189 and 193, sample format `code`) or
    SU (keys fldr and cdp, float32), built with NumPy in byte order `order`."""
    n = len(rows)
    heads = np.zeros((n, 240), np.uint8)
    keys = (189, 193) if kind == "segy" else (9, 21)
    for pos, values in zip(keys, (BIG_ILINES[places[:, 0]], BIG_XLINES[places[:, 1]])):
        heads[:, pos - 1:pos + 3] = values.astype(order + "i4").view(np.uint8).reshape(n, 4)
    heads[:, 114:116] = np.full(n, BIG_NS, order + "u2").view(np.uint8).reshape(n, 2)
    heads[:, 116:118] = np.full(n, 2000, order + "u2").view(np.uint8).reshape(n, 2)
    body = np.frombuffer(stored_bytes(rows, code, order), np.uint8).reshape(n, -1)
    traces = np.concatenate([heads, body], axis=1).tobytes()
    if kind == "su":
        path.write_bytes(traces)
        return path
    binary = bytearray(400)
    struct.pack_into(order + "HHHHh", binary, 16, 2000, 2000, BIG_NS, BIG_NS, code)
    struct.pack_into(order + "Bxh", binary, 300, 1, 1)
    path.write_bytes("C 1 a large survey built by a test".ljust(3200).encode("cp037") + bytes(binary) + traces)
    return path


def open_big(path, kind):
    return vondrel.open(path) if kind == "segy" else vondrel.open(path, dims=("fldr", "cdp"))


FORMS = [("segy", 1, ">"), ("segy", 5, "<"), ("segy", 5, ">"), ("segy", 3, "<"), ("su", None, "<"),
         ("su", None, ">")]


@pytest.mark.parametrize("order, missing", [("shuffled", 0.1), ("crossline", 0.0), ("inline", 0.05)])
@pytest.mark.parametrize("kind, code, byteorder", FORMS)
def test_large_cubes_and_lines_in_any_file_order_and_format(tmp_path, kind, code, byteorder, order, missing):
    places, rows, cube = big_survey(order, missing)
    path = write_big(tmp_path / f"big.{kind}", kind, code, byteorder, places, rows)
    d0, d1 = ("iline", "xline") if kind == "segy" else ("fldr", "cdp")
    with open_big(path, kind) as f:
        assert f.dims == (d0, d1) and f.mask.sum() == len(rows)
        got = f.cube()
        assert got.dtype == np.float32 and got.flags.c_contiguous and got.flags.writeable
        np.testing.assert_array_equal(got, cube)
        np.testing.assert_array_equal(f.cube(fill=-0.5), np.nan_to_num(cube, nan=-0.5))
        x = BIG_XLINES
        np.testing.assert_array_equal(f.sel(**{d1: [x[7], x[2], x[7]]}), cube[:, [7, 2, 7]])
        np.testing.assert_array_equal(f.sel(**{d1: x[::2]}), cube[:, ::2])
        np.testing.assert_array_equal(f.sel(**{d0: [BIG_ILINES[5]] * 2}), cube[[5, 5]])
        np.testing.assert_array_equal(f.sel(**{d0: slice(BIG_ILINES[3], BIG_ILINES[9])}), cube[3:10])
        np.testing.assert_array_equal(f.sel(**{d0: BIG_ILINES[4], d1: x[-1]}), cube[4, -1])


@pytest.mark.parametrize("kind, code, byteorder", [("segy", 1, ">"), ("segy", 5, "<"), ("su", None, "<")])
@pytest.mark.parametrize("order", ["inline", "shuffled"])
@pytest.mark.parametrize("kept", [0.3, 0.95])
def test_a_file_cut_short_under_the_handle_fails_the_cube_in_the_handles_words(tmp_path, fd_count, kind, code,
                                                                              byteorder, order, kept):
    places, rows, _ = big_survey(order, 0.0)
    path = write_big(tmp_path / f"big.{kind}", kind, code, byteorder, places, rows)
    with open_big(path, kind) as f:
        size = path.stat().st_size
        with open(path, "r+b") as cut:
            cut.truncate(int(size * kept))
        with pytest.raises(OSError, match=r": the file shrank under the open handle: \d+ bytes, where its traces need "
                                          f"{size}$"):
            f.cube()
    with pytest.raises(ValueError, match=r"^the file handle is closed$"):
        f.cube()


# ---- labelled arrays ----------------------------------------------------------------------------

def test_to_xarray_eager_and_lazy_read_the_same_and_lazy_reads_only_a_chunks_traces(tmp_path, monkeypatch):
    xr = pytest.importorskip("xarray")
    pytest.importorskip("dask.array")
    from vondrel import _geometry
    positions, cube, index = survey("shuffled", missing=0.2)
    n = len(positions)
    path = write_survey(tmp_path / "s.sgy", positions, extra={109: ("h", [10000] * n), 215: ("h", [-10] * n),
                                                              21: ("i", np.arange(n) + 500)})
    with vondrel.open(path) as f:
        eager = f.to_xarray()
        lazy = f.to_xarray(chunks={"iline": 2, "xline": 3})
        assert isinstance(eager, xr.Dataset) and eager.samples.dims == ("iline", "xline", "time")
        np.testing.assert_allclose(eager.time, 1.0 + np.arange(NS) * 0.004)   # delrt 10000 ms / 10
        np.testing.assert_array_equal(eager.samples, cube)
        np.testing.assert_array_equal(eager.cdp, np.where(index >= 0, index + 500, 0))
        assert lazy.samples.data.chunks == ((2, 2), (3, 2), (NS,))
        seen = []
        real = _geometry._arrays._h_place          # every trace a chunk reads passes through it
        monkeypatch.setattr(_geometry._arrays, "_h_place",
                            lambda *a: seen.extend(t for t in np.asarray(a[8]).tolist() if t >= 0) or real(*a))
        block = lazy.samples.data.blocks[1, 0].compute()
        np.testing.assert_array_equal(block, cube[2:4, 0:3])
        assert sorted(seen) == sorted(i for i in index[2:4, 0:3].ravel().tolist() if i >= 0)
        np.testing.assert_array_equal(lazy.samples.sel(iline=14).values, cube[2])
    g = vondrel.read(DATA / "segyio_small.su")
    with vondrel.open(DATA / "segyio_small.su") as f:      # no geometry: the traces on one dim
        ds = f.to_xarray(chunks={"trace": 10})
        assert ds.samples.dims == ("trace", "time") and ds.tracl.values.tolist() == g.headers["tracl"].tolist()
        np.testing.assert_array_equal(ds.samples.values, g.samples)


# ---- the command line -----------------------------------------------------------------------

def test_info_reports_the_geometry_and_plot_draws_a_line(tmp_path):
    pytest.importorskip("matplotlib")
    from vondrel import cli
    import io
    import contextlib
    positions, _, _ = survey("crossline", missing=0.2)
    path = write_survey(tmp_path / "s.sgy", positions)
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        assert cli.main(["info", str(path)]) == 0
    text = out.getvalue()
    holes = len(ILINES) * len(XLINES) - len(positions)
    assert "  geometry  iline, xline (xline-sorted)" in text
    assert "    iline  10 .. 16 step 2 (4)" in text and "    xline  100 .. 104 step 1 (5)" in text
    assert f"    {holes} of 20 positions have no trace" in text
    for args in (["--iline", "12"], ["--xline", "101"], ["--depth-slice", "3"]):
        png = tmp_path / "p.png"
        assert cli.main(["plot", str(path), "-o", str(png), *args]) == 0
        assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
        png.unlink()
