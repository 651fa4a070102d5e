"""The vondrel xarray engine: the Dataset of vondrel.open(...).to_xarray(),
lazily, reading only the traces an index touches, found by xarray through
its entry point, and written out through xarray itself."""
import shutil
import struct
from importlib import metadata

import numpy as np
import pytest

import vondrel
from test_dask import make_survey, pytestmark  # noqa: F401  (the release run only)
from test_real_data import DATA
from test_zarr import grid_file

xr = pytest.importorskip("xarray")
from vondrel import _geometry, _handle  # noqa: E402


def cube_of(path, dims):
    """The samples of a file placed on the grid of its header fields
    `dims`, worked out with NumPy from vondrel.read (NaN where no trace)."""
    g = vondrel.read(path)
    places = [np.unique(g.headers[d], return_inverse=True) for d in dims]
    out = np.full((*(len(labels) for labels, _ in places), g.samples.shape[1]), np.nan, np.float32)
    out[tuple(where for _, where in places)] = g.samples
    return out


@pytest.fixture
def shuffled(tmp_path):
    path = tmp_path / "cube.sgy"
    path.write_bytes(grid_file()[0])
    return path


@pytest.mark.parametrize("chunks", [None, {"iline": 2, "xline": 2, "time": 4}])
@pytest.mark.parametrize("name, dims", [("segyio_small.sgy", ("iline", "xline")), ("shuffled", ("iline", "xline")),
                                        ("seismiclab_cdp700.su", ())])
def test_the_engine_gives_the_dataset_of_to_xarray_lazily_and_chunked(shuffled, name, dims, chunks):
    path = shuffled if name == "shuffled" else DATA / name
    ds = xr.open_dataset(path, engine="vondrel", chunks=chunks)
    assert ds.samples.chunks is None if chunks is None else ds.samples.chunks is not None
    with vondrel.open(path) as f:
        want = f.to_xarray()
    xr.testing.assert_identical(ds.load(), want.assign_attrs({k: ds.attrs[k] for k in set(ds.attrs) - set(want.attrs)}))
    samples = cube_of(path, dims) if dims else vondrel.read(path).samples
    np.testing.assert_array_equal(ds.samples.values, samples)
    pick = {ds.samples.dims[0]: [2, 0], ds.samples.dims[-1]: slice(3, 9)}
    np.testing.assert_array_equal(ds.samples.isel(pick).values, samples[[2, 0], ..., 3:9])


def test_an_index_reads_only_its_traces_and_a_header_field_on_first_use(monkeypatch, tmp_path):
    asked = []
    read, columns = _handle.Samples.read, _handle.Headers.__getitem__
    monkeypatch.setattr(_handle.Samples, "read", lambda s, sel=None, dtype=None: (asked.append(sel), read(s, sel, dtype))[1])
    monkeypatch.setattr(_handle.Headers, "__getitem__", lambda h, key: (asked.append(key), columns(h, key))[1])
    place = _geometry._arrays._h_place          # lines and cubes read on the handle pass through it
    monkeypatch.setattr(_geometry._arrays, "_h_place",
                        lambda *a: (asked.append(np.asarray(a[8])[np.asarray(a[8]) >= 0]), place(*a))[1])
    raw = bytearray((DATA / "segyio_small.sgy").read_bytes())
    want_cdpx = [3 * k - 40 for k in range(25)]
    for k, value in enumerate(want_cdpx):
        struct.pack_into(">i", raw, 3600 + k * (240 + 50 * 4) + 180, value)
    (tmp_path / "small.sgy").write_bytes(raw)
    ds = xr.open_dataset(tmp_path / "small.sgy", engine="vondrel")
    assert not any(isinstance(a, str) and a == "cdpx" for a in asked)
    assert not [a for a in asked if not isinstance(a, (str, list))]          # no samples, no whole headers
    asked.clear()
    line = ds.samples.sel(iline=3).values
    traces = np.concatenate([np.atleast_1d(np.arange(25)[a]) for a in asked])
    assert sorted(traces.tolist()) == list(range(10, 15)) and line.shape == (5, 50)
    asked.clear()
    inline = ds.sel(iline=3)
    assert (inline.cdpx.values.tolist(), asked) == ([want_cdpx[k] for k in range(10, 15)], [slice(10, 15)])
    assert inline.cdpy.shape == (5,) and inline.offset.values.shape == (5,) and len(asked) == 1   # one read, all fields
    asked.clear()
    assert ds.cdpx.values.reshape(-1).tolist() == want_cdpx and asked == [slice(0, 25)]


def test_the_file_headers_are_attributes_that_netcdf_and_zarr_hold(tmp_path):
    raw = (DATA / "segyio_multi-text.sgy").read_bytes()
    ds = xr.open_dataset(DATA / "segyio_multi-text.sgy", engine="vondrel")
    assert ds.attrs["text"] == "\n".join(raw[i:i + 80].decode("cp037") for i in range(0, 3200, 80))
    blocks = [raw[k:k + 3200].decode("cp037") for k in range(3600, 3600 + 4 * 3200, 3200)]
    assert ds.attrs["extended_text"] == "\n".join("\n".join(b[i:i + 80] for i in range(0, 3200, 80)) for b in blocks)
    assert (ds.attrs["binary_hdt"], ds.attrs["binary_nvstxt"]) == struct.unpack_from(">h", raw, 3216) + (4,)
    ds.to_netcdf(tmp_path / "cube.nc", engine="scipy")
    xr.testing.assert_identical(xr.open_dataset(tmp_path / "cube.nc").load(), ds.load())
    ds.to_zarr(tmp_path / "cube.zarr", zarr_format=3, consolidated=False)
    xr.testing.assert_identical(xr.open_zarr(tmp_path / "cube.zarr", consolidated=False).load(), ds.load())


def test_xarray_finds_the_engine_by_entry_point_by_name_and_by_a_segy_files_headers(tmp_path):
    found = [e for e in metadata.entry_points(group="xarray.backends") if e.name == "vondrel"]
    assert [e.value for e in found] == ["vondrel._backend:VondrelBackendEntrypoint"]
    engine = xr.backends.list_engines()["vondrel"]
    shutil.copy(DATA / "segyio_small.sgy", tmp_path / "cube.dat")
    shutil.copy(DATA / "segyio_small.su", tmp_path / "shot.dat")
    assert [engine.guess_can_open(tmp_path / n) for n in ("a.SGY", "b.segy", "c.su", "cube.dat", "shot.dat")] == \
        [True, True, True, True, False]
    assert xr.open_dataset(tmp_path / "cube.dat").samples.dims == ("iline", "xline", "time")


def test_open_mfdataset_stacks_files_as_vondrel_dask_does(tmp_path, monkeypatch):
    import dask.array

    from vondrel import _backend

    paths = make_survey(tmp_path / "in")
    read = []
    values = _backend._Headers.values
    monkeypatch.setattr(_backend._Headers, "values", lambda self, *a: (read.append(a[0]), values(self, *a))[1])
    ds = xr.open_mfdataset(paths, engine="vondrel", combine="nested", concat_dim="trace", coords="minimal",
                           data_vars="minimal", compat="override")
    fields = [n for n in ds.coords if n not in ("trace", "time")]
    assert not read and {type(ds[n].data) for n in fields} == {dask.array.Array}       # lazy until computed
    assert all(ds[n].chunks == ((7, 12, 3),) for n in fields)
    eager = [xr.open_dataset(p, engine="vondrel").load() for p in paths]
    xr.testing.assert_identical(ds.compute(), xr.concat(eager, "trace", coords="minimal", data_vars="minimal",
                                                     compat="override"))
    assert read
    samples, headers = vondrel.dask.read(paths)
    np.testing.assert_array_equal(ds.samples.mean("trace").values, samples.mean(axis=0).compute())
    np.testing.assert_array_equal(ds.sx.values, headers.sx.compute().to_numpy())
    every = np.concatenate([vondrel.read(p).headers for p in paths])
    for name in every.dtype.names:
        if name in ds.coords:
            np.testing.assert_array_equal(ds[name].values, every[name], err_msg=name)
    np.testing.assert_array_equal(ds.isel(trace=slice(5, 12)).offset.values, every["offset"][5:12])


@pytest.mark.parametrize("name", ["segyio_small.sgy", "shuffled", "seismiclab_cdp700.su", "survey"])
def test_headers_keeps_the_header_coordinates_it_names_with_the_files_values(shuffled, tmp_path, name):
    keep = ["offset", "sx", "fldr"] + (["iline"] if name.endswith("sgy") else [])   # a grid's key stays its dim
    if name == "survey":
        paths = make_survey(tmp_path / "in")
        opened = xr.open_mfdataset(paths, engine="vondrel", combine="nested", concat_dim="trace", coords="minimal",
                                   data_vars="minimal", compat="override", headers=keep)
        full = xr.concat([xr.open_dataset(p, engine="vondrel").load() for p in paths], "trace", coords="minimal",
                         data_vars="minimal", compat="override")
    else:
        path = shuffled if name == "shuffled" else DATA / name
        opened = xr.open_dataset(path, engine="vondrel", headers=keep)
        full = xr.open_dataset(path, engine="vondrel").load()
    gone = [n for n in full.coords if n not in keep and n not in full.dims]
    assert len(gone) > 60
    xr.testing.assert_identical(opened.load(), full.drop_vars(gone))


@pytest.mark.parametrize("headers, error, text", [
    (["offset", "nope"], ValueError, "headers=: no header field 'nope' in a"),
    ("offset", TypeError, "not the string 'offset'"),
])
def test_headers_refuses_what_is_not_a_list_of_the_layouts_fields(headers, error, text):
    with pytest.raises(error, match=text):
        xr.open_dataset(DATA / "segyio_small.sgy", engine="vondrel", headers=headers)


@pytest.mark.parametrize("chunks", [None, {"iline": 3, "xline": 2}])
def test_header_coordinates_under_every_kind_of_index_read_their_traces_values(shuffled, chunks):
    _, cells = grid_file()
    want = np.zeros((4, 3), np.int64)                     # tracl is the file's order + 1; 0 in the holes
    for k, cell in enumerate(cells):
        want[cell] = k + 1
    ds = xr.open_dataset(shuffled, engine="vondrel", chunks=chunks)
    points = {"iline": xr.DataArray([3, 0, 1, 3], dims="p"), "xline": xr.DataArray([2, 1, 2, 0], dims="p")}
    assert ds.tracl.isel(points).values.tolist() == want[[3, 0, 1, 3], [2, 1, 2, 0]].tolist()
    assert ds.tracl.isel(iline=[2, 0], xline=slice(1, 3)).values.tolist() == want[[2, 0], 1:3].tolist()
    assert ds.tracl.sel(iline=14).values.tolist() == want[2].tolist()
    assert ds.tracl.transpose("xline", "iline").values.tolist() == want.T.tolist()
    assert ds.isel(iline=1).tracl.values.tolist() == want[1].tolist() and ds.tracl.values.tolist() == want.tolist()


def grid_of(path, dims):
    """Every header field of a file placed on the grid of `dims` (as
    cube_of places the samples; 0 where no trace), or in file order."""
    h = vondrel.read(path).headers
    if not dims:
        return {name: h[name] for name in h.dtype.names}
    places = [np.unique(h[d], return_inverse=True) for d in dims]
    out = {}
    for name in h.dtype.names:
        out[name] = np.zeros(tuple(len(labels) for labels, _ in places), h.dtype[name].newbyteorder("="))
        out[name][tuple(where for _, where in places)] = h[name]
    return out


@pytest.mark.parametrize("cache", [True, False])
@pytest.mark.parametrize("name, dims", [("segyio_small.sgy", ("iline", "xline")), ("shuffled", ("iline", "xline")),
                                        ("seismiclab_cdp700.su", ())])
def test_header_coordinates_selected_by_ints_and_slices_hold_the_files_values(shuffled, name, dims, cache):
    path = shuffled if name == "shuffled" else DATA / name
    want = grid_of(path, dims)
    ds = xr.open_dataset(path, engine="vondrel", cache=cache)
    loaded = xr.open_dataset(path, engine="vondrel").load()
    first, *rest = ds.samples.dims[:-1]
    keys = [{first: 1}, {first: -1}, {first: np.int64(2)}, {first: slice(1, None, 2)}, {first: slice(None, None, -1)}]
    if rest:
        keys += [{first: 0, rest[0]: slice(None, None, -2)}, {rest[0]: np.int32(1)}, {first: 3, rest[0]: -1}]
    for key in keys:
        picked = ds.isel(key)
        where = tuple(key.get(d, slice(None)) for d in ds.samples.dims[:-1])
        for field in (n for n in ds.coords if n not in (*ds.samples.dims, "time")):
            np.testing.assert_array_equal(picked[field].values, want[field][where], err_msg=f"{field} {key}")
            assert picked[field].dims == ds.samples.isel(key)[field].dims
        xr.testing.assert_identical(ds.samples.isel(key).load(), loaded.samples.isel(key))
        xr.testing.assert_identical(ds.isel(key).load(), loaded.isel(key))


@pytest.mark.parametrize("chunks", [{"iline": 3}, {"iline": 2, "xline": 2}, {"iline": -1}, {"iline": "auto"}, 2])
def test_chunked_header_coordinates_are_dask_arrays_of_the_files_values(shuffled, chunks):
    import dask

    want = grid_of(shuffled, ("iline", "xline"))
    ds = xr.open_dataset(shuffled, engine="vondrel", chunks=chunks)
    fields = [n for n in ds.coords if n not in ("iline", "xline", "time")]
    names = {ds[n].data.name for n in fields}
    assert len(names) == len(fields)
    for field in fields:
        assert ds[field].chunks == ds.samples.chunks[:2], field
    with dask.config.set(scheduler="threads"):
        got = dask.compute(*(ds[n].data for n in fields))
    for field, values in zip(fields, got):
        np.testing.assert_array_equal(values, want[field], err_msg=field)
    np.testing.assert_array_equal(ds.chunk({"iline": 1}).tracl.isel(iline=2).values, want["tracl"][2])


def test_a_selection_goes_through_netcdf_and_zarr_with_its_header_values(shuffled, tmp_path):
    ds = xr.open_dataset(shuffled, engine="vondrel").isel(iline=slice(1, 4), xline=slice(None, None, -1))
    want = xr.open_dataset(shuffled, engine="vondrel").load().isel(iline=slice(1, 4), xline=slice(None, None, -1))
    ds.to_netcdf(tmp_path / "part.nc", engine="scipy")
    xr.testing.assert_identical(xr.open_dataset(tmp_path / "part.nc").load(), want)
    ds.to_zarr(tmp_path / "part.zarr", zarr_format=3, consolidated=False)
    xr.testing.assert_identical(xr.open_zarr(tmp_path / "part.zarr", consolidated=False).load(), want)


@pytest.mark.parametrize("delays, start, name", [
    ([(250, -10)] * 6, 0.025, "time"),                        # delrt 250, scalt -10: 25 ms for every trace
    ([(0, 0)] * 5 + [(4, 0)], 0.0, "time from trace start"),  # one trace differs
])
def test_opening_a_cube_reads_its_headers_once_and_its_time_axis_holds_the_delay(tmp_path, monkeypatch, delays,
                                                                                  start, name):
    from test_zarr import ibm_cube

    path = tmp_path / "cube.sgy"
    path.write_bytes(ibm_cube(2, 3, (), ">", delays))
    reads = []
    columns = _handle.Headers.__getitem__
    monkeypatch.setattr(_handle.Headers, "__getitem__", lambda h, key: (reads.append(key), columns(h, key))[1])
    ds = xr.open_dataset(path, engine="vondrel")
    assert len(reads) == 1 and dict(ds.sizes) == {"iline": 2, "xline": 3, "time": 8}      # one pass over the file
    assert (ds.time.values[0], ds.time.attrs["long_name"]) == (pytest.approx(start), name)
    from vondrel import _backend

    with vondrel.open(path, "r+") as f:                         # an edit of delrt is seen by the next Dataset
        assert f.dims == ("iline", "xline")                     # the scan has noted the delay
        f.headers["delrt"] = 500
        f.headers["scalt"] = 0
        assert _backend.open_file(f).time.values[0] == f.to_xarray().time.values[0] == pytest.approx(0.5)


@pytest.mark.parametrize("stacked", [False, True], ids=["grid", "stacked"])
@pytest.mark.parametrize("pick", [{}, {"iline": [12, 16]}, {"xline": slice(8, 9)}], ids=["all", "inlines", "crosslines"])
def test_a_grid_goes_back_to_its_traces_and_no_hole_becomes_one(shuffled, tmp_path, pick, stacked):
    ds = xr.open_dataset(shuffled, engine="vondrel").sel(pick)
    if stacked:
        ds = ds.stack(trace=("iline", "xline"))
    vondrel.write(tmp_path / "back.sgy", vondrel.from_xarray(ds), byteorder="<", sample_format=5)
    raw = shuffled.read_bytes()
    size = 240 + 6 * 4
    traces = {raw[at:at + 4]: raw[at:at + size] for at in range(3600, len(raw), size)}   # by tracl
    back = (tmp_path / "back.sgy").read_bytes()
    got = [back[at:at + size] for at in range(3600, len(back), size)]
    lines = [(struct.unpack_from("<ii", t, 188)) for t in got]
    want = sorted((il, xl) for il, xl in (struct.unpack_from("<ii", t, 188) for t in traces.values())
                  if il in ds.iline.values and xl in ds.xline.values)
    assert lines == want                                    # the grid's order, the holes left out
    assert all(t == traces[t[:4]] for t in got)             # every trace as the file holds it


@pytest.mark.parametrize("drop", [None, ["samples", "offset"]])
@pytest.mark.parametrize("name", ["segyio_small.sgy", "shuffled", "seismiclab_cdp700.su"])
def test_the_engines_direct_dataset_is_the_one_xarray_builds(shuffled, monkeypatch, name, drop):
    from vondrel import _backend

    made = []
    direct = _backend.dataset
    monkeypatch.setattr(_backend, "dataset", lambda v, c, a: made.append((direct(v, c, a), xr.Dataset(v, coords=c, attrs=a)))
                        or made[-1][0])
    path = shuffled if name == "shuffled" else DATA / name
    _backend.VondrelBackendEntrypoint().open_dataset(path, drop_variables=drop).close()
    ((ours, theirs),) = made
    xr.testing.assert_identical(ours, theirs)
    assert list(ours.variables) == list(theirs.variables) and dict(ours.sizes) == dict(theirs.sizes)
    assert list(ours.sizes) == list(theirs.sizes) and set(ours.coords) == set(theirs.coords)
    assert {k: type(v) for k, v in ours.variables.items()} == {k: type(v) for k, v in theirs.variables.items()}
    assert {k: type(v._data) for k, v in ours.variables.items()} == {k: type(v._data) for k, v in theirs.variables.items()}
    assert set(ours.xindexes) == set(theirs.xindexes) == set(ours.samples.dims if drop is None else ours.sizes)
    for k, index in ours.xindexes.items():
        assert type(index) is type(theirs.xindexes[k]) and index.equals(theirs.xindexes[k])
        assert ours[k].dtype == theirs[k].dtype and ours[k].attrs == theirs[k].attrs
    assert ours.encoding == theirs.encoding
