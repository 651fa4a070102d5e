"""Traces as labelled arrays: an xarray Dataset from a gather (Gather.to_xarray)
or from Dask's arrays (vondrel.dask.to_xarray), and back (vondrel.from_xarray).

The Dataset holds the variable `samples` on the dimensions `trace` and `time`.
`time` is the time of each sample from the start of its trace, in seconds
(the interval by vondrel._interval's rule); every header field is a
coordinate along `trace` (so `ds.sel(trace=ds.offset > 1000)` selects
traces); `delay` is the time of each trace's first sample in seconds (`delrt`,
scaled by SEG-Y's time scalar `scalt`), so the absolute time of each sample is
`ds.delay + ds.time`; sx, sy, gx and gy also come scaled by scalco as sx_m,
sy_m, gx_m, gy_m.  xarray is imported on first use.
"""
from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

from vondrel import _columns, _registry
from vondrel._dataset import COORDINATES, common_interval, dataset, scaled, to_xarray

__all__ = ["COORDINATES", "common_interval", "dataset", "from_xarray", "scaled", "to_xarray"]

if TYPE_CHECKING:
    import xarray

    from vondrel._files import Gather


def from_xarray(ds: xarray.Dataset) -> Gather:
    """A Gather of a Dataset made as above (selections and computations on
    it included), for vondrel.write: header fields from the coordinates
    along `trace` of their names (0 where there is none), samples as
    (trace, time) float32, the format and byte order the dataset came from.
    ValueError when a coordinate holds a value that its header field cannot.

    A Dataset on a grid (the xarray engine's, File.to_xarray's: `samples`
    on the grid's dims and `time`) gives its traces in the grid's order,
    the grid's labels as the header fields of its dims' names; a place of
    the grid that holds no trace (samples all NaN, every other header
    field 0, as those Datasets fill it) is left out, never written as a
    trace, and so it is where the grid's dims were stacked into `trace`."""
    import pandas

    import vondrel
    from vondrel._layout import NATIVE

    if "trace" not in ds["samples"].dims:
        ds = _traces_of_grid(ds)
    elif isinstance(ds.indexes.get("trace"), pandas.MultiIndex):        # a grid stacked into `trace`
        ds = _without_holes(ds.reset_index("trace"), list(ds.indexes["trace"].names))
    samples = np.ascontiguousarray(ds["samples"].transpose("trace", "time").to_numpy(), dtype=np.float32)
    columns = {str(name): ds[name].to_numpy() for name in ds.coords if ds[name].dims == ("trace",)}
    fmt = str(ds.attrs.get("format", "su"))
    headers = _columns.records(columns, len(samples), _registry.header_dtype(fmt))
    offsets = np.arange(len(samples) + 1, dtype=np.int64) * samples.shape[1]
    return vondrel.Gather(headers, samples.reshape(-1), offsets, fmt, str(ds.attrs.get("byteorder", NATIVE)),
                          _registry.title(fmt))


def _traces_of_grid(ds: xarray.Dataset) -> xarray.Dataset:
    """A Dataset on a grid as one on `trace`: its places in the grid's
    order (C order of the dims), the dims' labels as coordinates along
    `trace`, the places without a trace left out."""
    dims = [d for d in ds["samples"].dims if d != "time"]
    if "time" not in ds["samples"].dims or not dims:
        raise ValueError(f"from_xarray takes samples on `trace` (or a grid's dims) and `time`, "
                         f"not on {ds['samples'].dims}")
    return _without_holes(ds.stack(trace=dims).reset_index("trace"), dims)


def _without_holes(flat: xarray.Dataset, keys: list[Any]) -> xarray.Dataset:
    """A grid's places along `trace` (its labels `keys` among the
    coordinates) without those that hold no trace: samples all NaN, every
    other header field 0 (or NaN, as a grid fills a float field)."""
    fields = [name for name in flat.coords if flat[name].dims == ("trace",) and name not in keys]
    empty = np.isnan(flat["samples"].transpose("trace", "time").to_numpy()).all(axis=1)
    for name in fields:
        if empty.any():
            values = flat[name].to_numpy()
            empty &= (values == 0) | np.isnan(values) if values.dtype.kind == "f" else values == 0
    return flat.isel(trace=np.flatnonzero(~empty))
