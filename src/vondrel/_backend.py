"""vondrel as an xarray backend engine: trace files opened lazily as Datasets.

    ds = xr.open_dataset("cube.sgy", engine="vondrel", chunks={"iline": 64})
    ds = xr.open_mfdataset("shots/*.su", engine="vondrel", combine="nested", concat_dim="trace")

The package registers this engine under the `xarray.backends` entry point,
so xarray finds it by name, and by file name (.sgy, .segy, .su, .col) or by
a SEG-Y file's own headers when no engine is named.  Opening reads the file
headers and the geometry's key columns (vondrel.open does); the Dataset is
the one vondrel.open(...).to_xarray() gives: the variable `samples`
(float32) on the geometry's dims and `time` (seconds), or on `trace` and
`time` without geometry, every other header field a coordinate, the file
headers in `attrs` as values that NetCDF can hold (`text` and
`extended_text` strings, the binary header's fields by name as numbers
with a `binary_` prefix).  Nothing else is read until it is used: an
index of `samples` reads only the traces it touches (outer indexing over
the handle), and each header coordinate reads its field's column on first
use.  Options (open_dataset's keywords or backend_kwargs): `dims`,
`format`, `byteorder`, `ns`, `sample_format`, as vondrel.open takes them.
"""
from __future__ import annotations

import os
import threading
from collections.abc import Iterable
from typing import Any

import numpy as np
import xarray as xr
from xarray.backends import BackendArray, BackendEntrypoint
from xarray.core import indexing

SUFFIXES = (".sgy", ".segy", ".su", ".col")
OPTIONS = ("dims", "format", "byteorder", "ns", "sample_format")


def outer(array: np.ndarray[Any, Any], key: tuple[Any, ...]) -> np.ndarray[Any, Any]:
    """`array` indexed by an outer key (an int, a slice or a 1-D integer
    array per leading axis): each axis on its own, ints dropping theirs."""
    axis = 0
    for k in key:
        if isinstance(k, (int, np.integer)):
            array = np.take(array, int(k), axis=axis)
        elif isinstance(k, slice):
            array = array[(slice(None),) * axis + (k,)]
            axis += 1
        else:
            array = np.take(array, np.asarray(k, dtype=np.intp), axis=axis)
            axis += 1
    return array


class _Traces:
    """The traces of an open file on the grid: the trace number at each
    grid position (None without geometry: the file's order)."""

    def __init__(self, f: Any, index: np.ndarray[Any, Any] | None) -> None:
        self.f, self.index = f, index
        self.shape: tuple[int, ...] = index.shape if index is not None else (len(f),)

    def numbers(self, key: tuple[Any, ...]) -> np.ndarray[Any, Any]:
        """The trace numbers (-1: none) under an outer key of the grid."""
        if self.index is None:
            return outer(np.arange(self.shape[0]), key)
        return outer(self.index, key)


class SamplesArray(BackendArray):
    """The samples of an open file, (grid..., ns) float32; reads only the
    traces an index touches, NaN where the grid has no trace."""

    def __init__(self, traces: _Traces, ns: int) -> None:
        self.traces = traces
        self.shape = (*traces.shape, ns)
        self.dtype = np.dtype(np.float32)

    def __getitem__(self, key: indexing.ExplicitIndexer) -> Any:
        return indexing.explicit_indexing_adapter(key, self.shape, indexing.IndexingSupport.OUTER, self._read)

    def _read(self, key: tuple[Any, ...]) -> np.ndarray[Any, Any]:
        *grid, time = key
        numbers = self.traces.numbers(tuple(grid))
        flat = numbers.reshape(-1)
        live = flat >= 0
        ids = flat[live]
        out = np.full((flat.size, self.shape[-1]), np.nan, np.float32)
        if ids.size:
            order = np.argsort(ids, kind="stable")
            rows = np.asarray(self.traces.f.samples[ids[order]], dtype=np.float32).reshape(ids.size, -1)
            block = np.empty_like(rows)
            block[order] = rows
            out[live] = block
        out = out.reshape(*numbers.shape, self.shape[-1])
        return out[..., time] if not isinstance(time, (int, np.integer)) else out[..., int(time)]


class HeaderArray(BackendArray):
    """One header field on the grid: the field's column, read from the file
    on first use (one scan), 0 (NaN for float fields) where no trace is."""

    def __init__(self, traces: _Traces, name: str, dtype: np.dtype[Any], lock: threading.Lock) -> None:
        self.traces, self.name = traces, name
        self.shape = traces.shape
        self.dtype = np.dtype(dtype).newbyteorder("=")
        self.lock = lock
        self.column: np.ndarray[Any, Any] | None = None

    def __getitem__(self, key: indexing.ExplicitIndexer) -> Any:
        return indexing.explicit_indexing_adapter(key, self.shape, indexing.IndexingSupport.OUTER, self._read)

    def _read(self, key: tuple[Any, ...]) -> np.ndarray[Any, Any]:
        with self.lock:
            if self.column is None:
                self.column = np.asarray(self.traces.f.headers[self.name]).astype(self.dtype, copy=False)
        numbers = self.traces.numbers(key)
        if self.traces.index is None:
            return self.column[key]
        fill = np.nan if self.dtype.kind == "f" else 0
        out = np.where(numbers >= 0, self.column[np.maximum(numbers, 0)], fill).astype(self.dtype)
        return out


def attributes(f: Any) -> dict[str, Any]:
    """The file headers as attributes that NetCDF can hold: format, byte
    order, sample format and interval; for SEG-Y, `text`, `extended_text`
    (the blocks joined by newlines) and each numeric binary header field as
    binary_<name>."""
    attrs: dict[str, Any] = {"format": f.format, "byteorder": f.byteorder, "dt": float(f.dt)}
    if f.format == "segy":
        attrs["sample_format"] = int(f.sample_format)
        attrs["text"] = f.text
        extended = getattr(f, "extended_text", None)
        attrs["extended_text"] = "\n".join(extended or [])
        binary = np.asarray(f.binary)
        for name in binary.dtype.names or ():
            if binary.dtype[name].kind in "iu":
                attrs[f"binary_{name}"] = int(binary[name])
            elif binary.dtype[name].kind == "f":
                attrs[f"binary_{name}"] = float(binary[name])
    return attrs


def open_file(f: Any, drop_variables: Iterable[str] | None = None) -> xr.Dataset:
    """The lazy Dataset of an open file (see the module's text)."""
    from vondrel import _xarray, _zarr

    drop = set(drop_variables or ())
    dims = tuple(f.dims)
    traces = _Traces(f, np.asarray(f.trace_index, dtype=np.int64) if dims else None)
    grid = dims or ("trace",)
    ns = int(f.ns)
    index = traces.index
    live = index[index >= 0] if index is not None else np.arange(len(f))
    first = int(live.min()) if live.size else None
    delrt = scalt = 0
    if first is not None:
        head = f.headers[first]
        delrt = int(head["delrt"])
        scalt = int(head["scalt"]) if f.format == "segy" else 0
    coords: dict[str, Any] = {"time": ("time", _xarray.time_axis(ns, f.dt, delrt, scalt),
                                       {"units": "s", "long_name": "time"})}
    for d in dims:
        coords[d] = (d, np.asarray(f.coords[d]))
    lock = threading.Lock()
    layout = _zarr.header_dtype(f.format)
    assert layout.names is not None
    for name in layout.names:
        field = layout[name]
        if name in dims or name in drop or field.kind == "V" or field.shape:
            continue
        array = indexing.LazilyIndexedArray(HeaderArray(traces, name, field, lock))
        coords[name] = xr.Variable(grid, array)
    variables = {}
    if "samples" not in drop:
        variables["samples"] = xr.Variable((*grid, "time"), indexing.LazilyIndexedArray(SamplesArray(traces, ns)))
    ds = xr.Dataset(variables, coords=coords, attrs=attributes(f))
    return ds


class VondrelBackendEntrypoint(BackendEntrypoint):
    """xarray's entry point to trace files (SEG-Y, Seismic Unix, collection)."""

    description = "Open SEG-Y, Seismic Unix and collection trace files lazily with vondrel"
    url = "https://github.com/vondrel/vondrel"
    open_dataset_parameters = ("filename_or_obj", "drop_variables", *OPTIONS)

    def open_dataset(self, filename_or_obj: Any, *, drop_variables: Any = None, dims: Any = None,
                     format: str | None = None, byteorder: str | None = None, ns: int | None = None,
                     sample_format: int | None = None) -> xr.Dataset:
        import vondrel

        if not isinstance(filename_or_obj, (str, os.PathLike)):
            raise TypeError(f"the vondrel engine opens paths, not {type(filename_or_obj).__name__}")
        given = {"dims": dims, "format": format, "byteorder": byteorder, "ns": ns, "sample_format": sample_format}
        f = vondrel.open(os.fspath(filename_or_obj), **{k: v for k, v in given.items() if v is not None})
        try:
            ds = open_file(f, drop_variables)
        except BaseException:
            f.close()
            raise
        ds.set_close(f.close)
        return ds

    def guess_can_open(self, filename_or_obj: Any) -> bool:
        if not isinstance(filename_or_obj, (str, os.PathLike)):
            return False
        path = os.fspath(filename_or_obj)
        if path.lower().endswith(SUFFIXES):
            return True
        if not os.path.isfile(path):
            return False
        return _looks_like_segy(path)


def _looks_like_segy(path: str) -> bool:
    """Whether the file's first 3600 bytes read as SEG-Y file headers."""
    from vondrel import _segyfile

    try:
        with open(path, "rb") as f:
            head = f.read(_segyfile.HEAD_SIZE)
            size = os.fstat(f.fileno()).st_size
    except OSError:
        return False
    return bool(_segyfile.layouts(head, size))
