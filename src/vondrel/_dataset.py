"""Traces as labelled arrays, the leaf half: the xarray Dataset of a
gather's samples and header columns (Gather.to_xarray, vondrel.dask.to_xarray).
The layout of the Dataset is described in vondrel._xarray, the adapter that
also goes back (vondrel.from_xarray).  xarray is imported on first use."""
from __future__ import annotations

from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

import numpy as np

from vondrel import _columns, _interval
from vondrel._optional import require

if TYPE_CHECKING:
    import xarray

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
        coords["delrt"] += ({"units": "ms", "long_name": "delay of the first sample, before scalt"},)
        coords["delay"] = ("trace", _interval.delay_ms(columns["delrt"], columns.get("scalt")) / 1000,
                           {"units": "s", "long_name": "time of the first sample (delrt scaled by scalt)"})
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
    return dataset(gather.samples, columns, common_interval(gather.interval()),
                   {"format": gather.format, "byteorder": gather.byteorder})
