"""Traces as labelled arrays: an xarray Dataset from a gather (Gather.to_xarray)
or from Dask's arrays (vondrel.dask.to_xarray), and back (vondrel.from_xarray).

The Dataset holds the variable `samples` on the dimensions `trace` and `time`.
`time` is the time of each sample from the start of its trace, in seconds;
every header field is a coordinate along `trace` (so `ds.sel(trace=ds.offset
> 1000)` selects traces); `delrt` (milliseconds) stays per trace, so the
absolute time of each sample is `ds.delrt / 1000 + ds.time`; sx, sy, gx and gy
also come scaled by scalco as sx_m, sy_m, gx_m, gy_m.  xarray is imported on
first use.
"""
from __future__ import annotations

from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

import numpy as np
from vondrel import _columns
from vondrel._optional import require

if TYPE_CHECKING:
    import xarray

    from vondrel._files import Gather

COORDINATES = ("sx", "sy", "gx", "gy")


def scaled(values: Any, scalar: Any) -> Any:
    """Coordinates times their scalar, SEG-Y's way: a positive scalar
    multiplies, a negative one divides by its magnitude, 0 leaves them."""
    s = np.asarray(scalar, dtype=np.float64)
    magnitude = np.where(s == 0, 1.0, np.abs(s))
    v = np.asarray(values, dtype=np.float64)
    return np.where(s < 0, v / magnitude, v * magnitude)


def dataset(samples: Any, columns: Mapping[str, Any], dt: float, attrs: Mapping[str, Any]) -> xarray.Dataset:
    """The Dataset of (traces, ns) samples (NumPy or Dask) with one
    coordinate along `trace` per column; `dt` in microseconds."""
    xr = require("xarray", "to_xarray")
    coords: dict[str, Any] = {
        "time": ("time", np.arange(samples.shape[1]) * dt / 1e6,
                 {"units": "s", "long_name": "time from trace start"}),
    }
    for name, values in columns.items():
        coords[name] = ("trace", values)
    if "delrt" in coords:
        coords["delrt"] += ({"units": "ms", "long_name": "delay of the first sample"},)
    if "scalco" in columns:
        for name in COORDINATES:
            if name in columns:
                coords[f"{name}_m"] = ("trace", scaled(columns[name], columns["scalco"]),
                                       {"long_name": f"{name} scaled by scalco"})
    ds: xarray.Dataset = xr.Dataset({"samples": (("trace", "time"), samples)}, coords=coords,
                                    attrs={"dt": dt, **attrs})
    return ds


def common_interval(dt: Any) -> float:
    """The sample interval, in microseconds, that every trace of `dt` (one
    interval per trace) has; ValueError when they differ."""
    dt = np.asarray(dt)
    if len(dt) and (dt != dt[0]).any():
        k = int(np.argmax(dt != dt[0]))
        raise ValueError(f"trace {k} has dt {dt[k]}, trace 0 has {dt[0]}: one time axis needs one dt")
    return float(dt[0]) if len(dt) else 0.0


def to_xarray(gather: Any) -> xarray.Dataset:
    """The gather as a Dataset (see the module's text); ValueError for a
    ragged gather (its samples are not one array) or one without one dt."""
    h = gather.headers
    columns = {name: h[name] for name in _columns.fields(h.dtype)}
    # A SEG-Y gather's interval is its binary header's: its trace headers may say 0.
    dt = gather.interval() if hasattr(gather, "interval") else h["dt"]
    return dataset(gather.samples, columns, common_interval(dt),
                   {"format": gather.format, "byteorder": gather.byteorder})


def from_xarray(ds: xarray.Dataset) -> Gather:
    """A Gather of a Dataset made as above (selections and computations on
    it included), for vondrel.write: header fields from the coordinates
    along `trace` of their names (0 where there is none), samples as
    (trace, time) float32, the format and byte order the dataset came from.
    ValueError when a coordinate holds a value that its header field cannot."""
    from vondrel._files import NATIVE, Gather

    samples = np.ascontiguousarray(ds["samples"].transpose("trace", "time").to_numpy(), dtype=np.float32)
    columns = {str(name): ds[name].to_numpy() for name in ds.coords if ds[name].dims == ("trace",)}
    fmt = str(ds.attrs.get("format", "su"))
    headers = _columns.records(columns, len(samples), _columns.header_dtype(fmt))
    offsets = np.arange(len(samples) + 1, dtype=np.int64) * samples.shape[1]
    return Gather(headers, samples.reshape(-1), offsets, fmt, str(ds.attrs.get("byteorder", NATIVE)))

