"""Gather.to_xarray and vondrel.from_xarray: a time axis, every header field
a coordinate, scaled coordinates, and the way back into a file."""
import numpy as np
import pytest

import vondrel
from test_dask import pytestmark  # noqa: F401  (the release run only)
from test_files_read import su_trace

pytest.importorskip("xarray")
NS, DT = 40, 2000
SX = [1234, -5678, 1, 0, 99999, -20]


def shot(tmp_path, scalco=-100):
    """Six big-endian SU traces, built with struct."""
    path = tmp_path / "shot.su"
    path.write_bytes(b"".join(su_trace(np.arange(NS) / 4 + i, ">", dt=DT, tracl=i + 1, offset=400 * i,
                                       delrt=-8 * i, scalco=scalco, sx=sx, gy=2 * sx) for i, sx in enumerate(SX)))
    return path


@pytest.mark.parametrize("scalco, scale", [(-100, lambda v: v / 100), (10, lambda v: v * 10), (0, lambda v: v)])
def test_the_dataset_has_a_time_axis_every_header_field_and_scaled_coordinates(tmp_path, scalco, scale):
    g = vondrel.read(shot(tmp_path, scalco))
    ds = g.to_xarray()
    np.testing.assert_allclose(ds.time, [k * 0.002 for k in range(NS)], rtol=1e-15)
    assert set(g.headers.dtype.names) < set(ds.coords) and ds.delrt.values.tolist() == [-8 * i for i in range(6)]
    assert (ds.sx_m.values.tolist(), ds.gy_m.values.tolist()) == ([scale(v) for v in SX], [scale(2 * v) for v in SX])
    assert ds.sel(trace=ds.offset > 1000).tracl.values.tolist() == [4, 5, 6]
    np.testing.assert_array_equal(ds.samples.isel(time=slice(0, 10)).mean("trace"), g.samples[:, :10].mean(axis=0))


def test_a_dataset_and_its_selections_write_back_through_from_xarray(tmp_path):
    path = shot(tmp_path)
    ds = vondrel.read(path).to_xarray()
    vondrel.write(tmp_path / "back.su", vondrel.from_xarray(ds))
    assert (tmp_path / "back.su").read_bytes() == path.read_bytes()
    vondrel.write(tmp_path / "far.su", vondrel.from_xarray(ds.sel(trace=ds.offset > 1000)))
    assert (tmp_path / "far.su").read_bytes() == path.read_bytes()[3 * (240 + 4 * NS):]
    ds = ds.assign_coords(offset=ds.offset.astype(np.int64) * 2**21)
    with pytest.raises(ValueError, match=r"^header field offset cannot hold 2516582400 \(int32\)$"):
        vondrel.from_xarray(ds)


def test_an_su_grid_goes_back_without_its_hole_whose_float_fields_are_nan(tmp_path):
    h = np.zeros(3, vondrel.header_dtype())
    h["dt"], h["ns"], h["fldr"], h["offset"], h["d1"] = 4000, 5, [1, 1, 2], [10, 20, 10], 1.5
    vondrel.write(tmp_path / "g.su", (h, np.arange(15, dtype=np.float32).reshape(3, 5)))
    with vondrel.open(tmp_path / "g.su", dims=("fldr", "offset")) as f:
        ds = f.to_xarray()
    assert np.isnan(ds.d1.values[1, 1])                          # the grid's hole: (fldr 2, offset 20)
    vondrel.write(tmp_path / "back.su", vondrel.from_xarray(ds))
    assert (tmp_path / "back.su").read_bytes() == (tmp_path / "g.su").read_bytes()
