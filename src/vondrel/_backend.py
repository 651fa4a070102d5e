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
the handle), and the header coordinates, indexed as the grid's trace
numbers in memory, read the headers of the traces they are asked for on
first use, once for all fields (see _Headers); their Variables (see
Variable) select by ints and slices, and chunk for Dask, in one step
each instead of xarray's general path per coordinate, and the Dataset
is put together directly (see dataset) rather than by xarray's merge of
some ninety coordinates, which open_mfdataset paid once a file.  Options
(open_dataset's keywords or backend_kwargs): `dims`, `format`,
`byteorder`, `ns`, `sample_format`, as vondrel.open takes them, and
`headers`: the header fields to make coordinates (names of the file's
layout; the grid's own keys are its dims whatever it says), for
open_mfdataset over many files, where xarray's concatenation costs a
few milliseconds per coordinate per file.
"""
from __future__ import annotations

import itertools
import os
import threading
from collections.abc import Iterable
from typing import Any

import numpy as np
import xarray as xr
from xarray.backends import BackendArray, BackendEntrypoint
from xarray.core import indexing

SUFFIXES = (".sgy", ".segy", ".su", ".col")
OPTIONS = ("dims", "format", "byteorder", "ns", "sample_format", "headers")


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
    grid position (-1: none; without geometry the file's own order)."""

    def __init__(self, f: Any, index: np.ndarray[Any, Any]) -> None:
        self.f, self.index = f, index
        self.shape: tuple[int, ...] = index.shape


class SamplesArray(BackendArray):
    """The samples of an open file, (grid..., ns) float32: an index reads
    the traces it touches, in file order, NaN where the grid has no trace."""

    def __init__(self, traces: _Traces, ns: int) -> None:
        self.traces = traces
        self.shape = (*traces.shape, ns)
        self.dtype = np.dtype(np.float32)

    def __getitem__(self, key: indexing.ExplicitIndexer) -> Any:
        return indexing.explicit_indexing_adapter(key, self.shape, indexing.IndexingSupport.OUTER, self._read)

    def _read(self, key: tuple[Any, ...]) -> np.ndarray[Any, Any]:
        from vondrel._geometry import read_positions

        *grid, time = key
        out = read_positions(self.traces.f, np.asarray(outer(self.traces.index, tuple(grid))), np.nan)
        return out[..., time]


class _Headers:
    """The header reader that every header coordinate of one Dataset shares.
    A selection of the grid reads the headers of its traces once, whole, for
    all the fields that ask for the same traces (an inline's coordinates
    read one inline of headers); a selection of more than ROWS traces reads
    the asking field's column of the whole file instead, kept for the next."""

    ROWS = 1 << 18

    def __init__(self, f: Any) -> None:
        self.f = f
        self.lock = threading.Lock()
        self.numbers: np.ndarray[Any, Any] | None = None       # the traces of the rows held
        self.rows: np.ndarray[Any, Any] | None = None
        self.columns: dict[str, np.ndarray[Any, Any]] = {}
        self.last: tuple[Any, ...] | None = None             # the last selection: numbers, key, result

    def pick(self, numbers: np.ndarray[Any, Any], key: tuple[Any, ...], column: HeaderColumn) -> HeaderColumn:
        """`column` indexed by `key` (ints and slices): the coordinates of one
        Dataset share their trace numbers, so one selection indexes them once
        for all."""
        last = self.last
        if last is None or last[0] is not numbers or last[1] != key:
            last = self.last = (numbers, key, np.asarray(numbers[key]))
        out = object.__new__(HeaderColumn)
        out.reader, out.name, out.numbers, out._dtype = self, column.name, last[2], column._dtype
        return out

    def values(self, name: str, numbers: np.ndarray[Any, Any], dtype: np.dtype[Any]) -> np.ndarray[Any, Any]:
        """Field `name` of the traces `numbers` (any shape; -1: none, 0 or
        NaN there)."""
        live = numbers >= 0
        fill = np.nan if dtype.kind == "f" else 0
        out = np.full(numbers.shape, fill, dtype)
        picked = numbers[live]
        with self.lock:
            column = self.columns.get(name)
            if column is None and picked.size > self.ROWS:
                column = self.columns[name] = np.asarray(self.f.headers[name], dtype=dtype)
            if column is not None:
                out[live] = column[picked]
                return out
            if self.numbers is None or self.numbers.shape != picked.shape or \
                    not np.array_equal(self.numbers, picked):
                first = int(picked[0]) if picked.size else 0
                consecutive = picked.size and int(picked[-1]) - first == picked.size - 1 and \
                    bool((np.diff(picked) == 1).all())
                self.rows = self.f.headers[first:first + picked.size] if consecutive else self.f.headers[picked]
                self.numbers = picked
            assert self.rows is not None
            out[live] = self.rows[name]
        return out


class HeaderColumn(indexing.ExplicitlyIndexedNDArrayMixin):
    """One header field on the grid, lazily: indexing it indexes the grid's
    trace numbers (held in memory) and nothing else; its values are read
    through the Dataset's shared reader when they are asked for."""

    __slots__ = ("reader", "name", "numbers", "_dtype")

    def __init__(self, reader: _Headers, name: str, numbers: np.ndarray[Any, Any], dtype: np.dtype[Any]) -> None:
        self.reader, self.name, self.numbers, self._dtype = reader, name, numbers, np.dtype(dtype)

    @property
    def array(self) -> np.ndarray[Any, Any]:
        return self.numbers

    @property
    def dtype(self) -> np.dtype[Any]:
        return self._dtype

    @property
    def shape(self) -> tuple[int, ...]:
        return self.numbers.shape      # type: ignore[no-any-return]

    def _like(self, numbers: Any) -> HeaderColumn:
        return HeaderColumn(self.reader, self.name, np.asarray(numbers), self._dtype)

    def __getitem__(self, indexer: indexing.ExplicitIndexer) -> HeaderColumn:
        return self._like(indexing.NumpyIndexingAdapter(self.numbers)[indexer])

    def _oindex_get(self, indexer: indexing.OuterIndexer) -> HeaderColumn:
        return self._like(indexing.NumpyIndexingAdapter(self.numbers).oindex[indexer])

    def _vindex_get(self, indexer: indexing.VectorizedIndexer) -> HeaderColumn:
        return self._like(indexing.NumpyIndexingAdapter(self.numbers).vindex[indexer])

    def transpose(self, order: Any) -> HeaderColumn:
        return self._like(self.numbers.transpose(order))

    def get_duck_array(self) -> np.ndarray[Any, Any]:
        return self.reader.values(self.name, self.numbers, self._dtype)

    def __array__(self, dtype: Any = None, copy: Any = None) -> np.ndarray[Any, Any]:
        return np.asarray(self.get_duck_array(), dtype=dtype)

    def __repr__(self) -> str:
        return f"HeaderColumn({self.name!r}, shape={self.shape})"


class Variable(xr.Variable):
    """A header coordinate's Variable: xarray's own, but a selection by
    integers and slices (an inline, a range of them: what sel and isel of
    the grid give) is worked out on the grid's trace numbers in one step,
    through the wrappers xarray put around the column, instead of
    xarray's general indexing path per coordinate.  Anything else, and
    any column already read into memory or chunked, takes xarray's path."""

    __slots__ = ()

    def isel(self, indexers: Any = None, missing_dims: Any = "raise", **indexers_kwargs: Any) -> Any:
        if indexers is not None and not indexers_kwargs and missing_dims == "raise":
            picked = _basic(self, indexers)
            if picked is not None:
                return picked
        return super().isel(indexers, missing_dims, **indexers_kwargs)

    def chunk(self, chunks: Any = {}, name: Any = None, lock: Any = None, inline_array: Any = None,  # noqa: B006
              chunked_array_type: Any = None, from_array_kwargs: Any = None, **chunks_kwargs: Any) -> Any:
        if not chunks_kwargs and isinstance(chunks, dict):
            made = _chunked(self, chunks, name, lock, inline_array, chunked_array_type, from_array_kwargs)
            if made is not None:
                return made
        return super().chunk(chunks, name, lock, inline_array, chunked_array_type, from_array_kwargs, **chunks_kwargs)


def _basic(var: Variable, indexers: Any) -> Variable | None:
    """`var` indexed by `indexers` (ints and slices by dim), or None where
    the key or the variable's data is not of the kind handled here.  The
    result is what xarray's own path gives: the same wrappers around a
    column of the picked trace numbers, the same attributes and encoding."""
    data = var._data
    cached = copied = None
    if type(data) is _Cached:
        cached, data = data, data.array
    if type(data) is _CopyOnWrite:
        copied, data = data, data.array
    if type(data) is not HeaderColumn:
        return None
    dims = var._dims
    key = []
    kept = []
    used = 0
    for d in dims:
        k = indexers.get(d, _ALL)
        used += k is not _ALL
        if type(k) is slice:
            kept.append(d)
        elif type(k) is int or (isinstance(k, np.integer) and k.dtype.kind in "iu"):
            k = int(k)
        else:
            return None
        key.append(k)
    if used != len(indexers):
        return None                     # a dim the variable does not have: xarray's path says so
    column: Any = data.reader.pick(data.numbers, tuple(key), data)
    if copied is not None:
        wrapped = object.__new__(_CopyOnWrite)
        wrapped.array, wrapped._copied = column, False
        column = wrapped
    if cached is not None:
        wrapped = object.__new__(_Cached)
        wrapped.array = column
        column = wrapped
    out = object.__new__(type(var))
    out._dims, out._data = tuple(kept), column
    attrs, encoding = var._attrs, var._encoding
    out._attrs = None if attrs is None else dict(attrs)
    out._encoding = None if encoding is None else dict(encoding)
    return out


_Cached, _CopyOnWrite = indexing.MemoryCachedArray, indexing.CopyOnWriteArray


_ALL = slice(None)


def _column_of(var: xr.Variable) -> HeaderColumn | None:
    data = var._data
    if type(data) is _Cached:
        data = data.array
    if type(data) is _CopyOnWrite:
        data = data.array
    return data if type(data) is HeaderColumn else None


def _chunked(var: Variable, chunks: dict[Any, Any], name: Any, lock: Any, inline_array: Any,
             chunked_array_type: Any, from_array_kwargs: Any) -> Variable | None:
    """`var` as a Dask array of `chunks` (by dim: a size, -1 or None for
    whole, or the sizes), as dask.array.from_array makes it under the name
    xarray gives (open_dataset's chunks: one per coordinate per file), in a
    fraction of its time: a task per chunk indexes the lazy column, so its
    values are still read when the chunk is computed.  None where anything
    asks for more (no name, a lock, another chunk manager, chunks by rule)."""
    if lock or inline_array or _column_of(var) is None:
        return None
    if from_array_kwargs:
        options = dict(from_array_kwargs)
        name = name or options.pop("name", None)
        if options.pop("lock", None) or options.pop("inline_array", None) or options:
            return None
    if not isinstance(name, str):
        return None
    manager, getter, array_type = _dask()
    if chunked_array_type is not None and chunked_array_type != "dask" and \
            not isinstance(chunked_array_type, manager):
        return None
    normal = []
    for dim, size in zip(var._dims, var.shape):
        sizes = _sizes(chunks.get(dim), size)
        if sizes is None:
            return None
        normal.append(sizes)
    original = f"original-{name}"
    graph: dict[Any, Any] = {original: indexing.ImplicitToExplicitIndexingAdapter(var._data, indexing.OuterIndexer)}
    if all(len(sizes) == 1 for sizes in normal):
        graph[(name, *(0,) * len(normal))] = (getter, original, tuple(slice(0, sizes[0]) for sizes in normal))
    else:
        bounds = [list(itertools.accumulate(sizes, initial=0)) for sizes in normal]
        for block in itertools.product(*(range(len(sizes)) for sizes in normal)):
            cut = tuple(slice(b[i], b[i + 1]) for b, i in zip(bounds, block))
            graph[(name, *block)] = (getter, original, cut)
    array = array_type(graph, name, chunks=tuple(normal), meta=np.empty((0,) * len(normal), var.dtype))
    return var._replace(data=array)


def _sizes(step: Any, size: int) -> tuple[int, ...] | None:
    """One dim's chunk sizes for a chunk request `step` on `size` elements
    (a size, -1 or None for whole, or the sizes); None for anything else."""
    if step is None:
        return (size,)
    if type(step) is int and (step == -1 or step > 0):
        if step == -1 or step >= size:
            return (size,)
        return (step,) * (size // step) + ((size % step,) if size % step else ())
    if type(step) is tuple and step and sum(step) == size and all(type(k) is int and k >= 0 for k in step):
        return step
    return None


_DASK: tuple[Any, Any, Any] | None = None


def _dask() -> tuple[Any, Any, Any]:
    """(xarray's DaskManager, Dask's getter, Dask's Array), imported on
    first use: Dask is optional."""
    global _DASK
    if _DASK is None:
        from dask.array.core import Array, getter
        from xarray.namedarray.daskmanager import DaskManager

        _DASK = (DaskManager, getter, Array)
    return _DASK


def attributes(f: Any) -> dict[str, Any]:
    """The file headers as attributes that NetCDF can hold: interval,
    format and byte order as to_xarray has them; for SEG-Y also the sample
    format, `text`, `extended_text`
    (the blocks joined by newlines) and each numeric binary header field as
    binary_<name>."""
    attrs: dict[str, Any] = {"dt": f.dt, "format": f.format, "byteorder": f.byteorder}
    from vondrel import _registry
    if _registry.get(f.format).file_headers:
        attrs["sample_format"] = int(f.sample_format)
        attrs["text"] = f.text
        attrs["extended_text"] = "\n".join(f.extended_text)
        binary = np.asarray(f.binary)
        for name in binary.dtype.names or ():
            if binary.dtype[name].kind in "iu":
                attrs[f"binary_{name}"] = int(binary[name])
            elif binary.dtype[name].kind == "f":
                attrs[f"binary_{name}"] = float(binary[name])
    return attrs


def open_file(f: Any, drop_variables: Iterable[str] | None = None,
              headers: Iterable[str] | None = None) -> xr.Dataset:
    """The lazy Dataset of an open file (see the module's text): every
    header field a coordinate, or those of `headers`."""
    from vondrel import _registry, _zarr
    from vondrel._geometry import time_axis

    drop = set(drop_variables or ())
    layout = _registry.header_dtype(f.format)
    fields = _header_fields(layout)
    if headers is not None:
        if isinstance(headers, str):
            raise TypeError(f"headers= takes a list of header field names, not the string {headers!r}")
        keep = set(headers)
        unknown = sorted(keep - {name for name, _ in fields})
        if unknown:
            from vondrel._messages import NO_FIELD

            title = _registry.get(f.format).title
            raise ValueError(f"{f.path}: headers=: " + NO_FIELD.format(name=unknown[0], title=title))
        fields = tuple(field for field in fields if field[0] in keep)
    dims = tuple(f.dims)
    n = len(f)
    index = np.asarray(f.trace_index, dtype=np.intp) if dims else np.arange(n, dtype=np.intp)
    grid = dims or ("trace",)
    labels = {d: np.asarray(f.coords[d]) for d in dims} if dims else {"trace": np.arange(n)}
    if f.ns is None:
        raise ValueError(f"{f.path}: the traces differ in ns: one Dataset needs one ns")
    ns = int(f.ns)
    traces = _Traces(f, index)
    delay, common = _zarr.delay_of(f, index)
    coords: dict[str, xr.Variable] = {d: xr.Variable(d, labels[d]) for d in grid}
    reader = _Headers(f)
    for name, dtype in fields:
        if name not in grid and name not in drop:
            coords[name] = Variable(grid, HeaderColumn(reader, name, index, dtype))
    coords["time"] = xr.Variable("time", time_axis(ns, float(f.dt or 0), delay),
                                 {"units": "s", "long_name": "time" if common else "time from trace start"})
    variables = {}
    if "samples" not in drop:
        variables["samples"] = xr.Variable((*grid, "time"), indexing.LazilyIndexedArray(SamplesArray(traces, ns)))
    return dataset(variables, coords, attributes(f))


_FIELDS: dict[np.dtype[Any], tuple[tuple[str, np.dtype[Any]], ...]] = {}


def _header_fields(layout: np.dtype[Any]) -> tuple[tuple[str, np.dtype[Any]], ...]:
    """(name, native dtype) of each numeric header field of a layout, in
    the layout's order: the same for every file of one format."""
    fields = _FIELDS.get(layout)
    if fields is None:
        from vondrel import _columns

        fields = _FIELDS[layout] = tuple((name, layout[name].newbyteorder("=")) for name in _columns.fields(layout)
                                         if layout[name].kind != "V")
    return fields


def dataset(data_vars: dict[str, xr.Variable], coords: dict[str, xr.Variable], attrs: dict[str, Any]) -> xr.Dataset:
    """xr.Dataset(data_vars, coords=coords, attrs=attrs) for Variables of
    consistent sizes, made directly: the same Dataset (the variables in the
    same order, each dimension coordinate indexed by a PandasIndex as
    xarray's default, the Variables kept as they are, header coordinates'
    Variable included) without xarray's merge of some ninety coordinates,
    which cost half a millisecond a file.  Where this xarray has no direct
    constructor, the Dataset is made the ordinary way."""
    construct = getattr(xr.Dataset, "_construct_direct", None)
    if construct is None:
        return xr.Dataset(data_vars, coords=coords, attrs=attrs)
    from xarray.indexes import PandasIndex

    variables: dict[str, xr.Variable] = dict(data_vars)
    indexes = {}
    for name, var in coords.items():
        if var.dims == (name,):
            dim = {name: var}
            index = indexes[name] = PandasIndex.from_variables(dim, options={})
            var = index.create_variables(dim)[name]
        variables[name] = var
    return construct(variables, set(coords), attrs=attrs, indexes=indexes)  # type: ignore[no-any-return]


class VondrelBackendEntrypoint(BackendEntrypoint):
    """xarray's entry point to trace files (SEG-Y, Seismic Unix, collection)."""

    description = "Open SEG-Y, Seismic Unix and collection trace files lazily with vondrel"
    url = "https://github.com/vondrel/vondrel"
    open_dataset_parameters = ("filename_or_obj", "drop_variables", *OPTIONS)

    def open_dataset(self, filename_or_obj: Any, *, drop_variables: Any = None, dims: Any = None,
                     format: str | None = None, byteorder: str | None = None, ns: int | None = None,
                     sample_format: int | None = None, headers: Iterable[str] | None = None) -> xr.Dataset:
        import vondrel

        if not isinstance(filename_or_obj, (str, os.PathLike)):
            raise TypeError(f"the vondrel engine opens paths, not {type(filename_or_obj).__name__}")
        given = {"dims": dims, "format": format, "byteorder": byteorder, "ns": ns, "sample_format": sample_format}
        f = vondrel.open(os.fspath(filename_or_obj), **{k: v for k, v in given.items() if v is not None})
        try:
            ds = open_file(f, drop_variables, headers)
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
        return _has_file_headers(path)


def _has_file_headers(path: str) -> bool:
    """Whether the file's first bytes read as the file headers of a format
    that has them (SEG-Y's textual and binary headers)."""
    from vondrel import _registry

    try:
        with open(path, "rb") as f:
            head = f.read(_registry.HEAD)
            size = os.fstat(f.fileno()).st_size
    except OSError:
        return False
    return any(f.file_headers_fit(head, size) for f in _registry.FORMATS)
