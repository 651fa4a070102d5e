"""Many trace files as one Dask array of samples and one Dask dataframe of headers.

    samples, headers = vondrel.dask.read("survey/")      # a directory, a glob or a list
    stacked = samples.mean(axis=0).compute()             # any scheduler: threads, processes, a cluster
    vondrel.dask.write(samples * 2, headers, "out/")     # one file per chunk
    ds = vondrel.dask.to_xarray(samples, headers)        # labelled, samples still lazy

Planning reads only what it must of each file (its size and first header, a
collection's count, a SEG-Y file's binary header); every task then carries a
path and a range of whole traces, never an open file or a module object, so
the same graph runs on the threaded scheduler (the reader releases the GIL)
and on dask.distributed worker processes.  Dask (and pandas, for the headers)
are imported on first use: ImportError names them when they are missing.
"""
from __future__ import annotations

import glob
import os
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np

import vondrel
from vondrel import _columns, _dataset, _registry, _sinks
from vondrel._messages import HEADER_ROWS
from vondrel._optional import require

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped]
    import xarray
    from dask.array.core import Array
    from dask.dataframe.core import DataFrame

__all__ = ["Traces", "read", "write", "to_xarray"]

PathLike = str | os.PathLike[str]
# The files that each read made tasks of, by the token in its task names:
# write refuses to replace a file that its own graph still reads.
_READS: dict[str, tuple[str, ...]] = {}


class Traces(NamedTuple):
    """What read returns: the samples, (traces, ns) float32, and the headers,
    one row per trace, in the same order."""

    samples: Array
    headers: DataFrame


class Part(NamedTuple):
    """One task's share: whole traces [start, stop) of one file, read as
    `format` in `byteorder`; `first` is the first trace's row in the result;
    `ns` the samples per trace."""

    path: str
    format: str
    byteorder: str
    start: int
    stop: int
    first: int
    ns: int


def files(paths: PathLike | Iterable[PathLike]) -> list[str]:
    """The files that `paths` names: a list as it is, a directory's files
    (hidden ones left out) and a glob pattern's matches in name order."""
    if not isinstance(paths, (str, os.PathLike)):
        found = [os.fspath(p) for p in paths]
    else:
        pattern = os.fspath(paths)
        if os.path.isdir(pattern):
            found = sorted(e.path for e in os.scandir(pattern) if e.is_file() and not e.name.startswith("."))
        elif glob.has_magic(pattern):
            found = sorted(p for p in glob.glob(pattern) if os.path.isfile(p))
        else:
            found = [pattern]
    if not found:
        raise FileNotFoundError(f"no trace files in {os.fspath(paths)!r}" if isinstance(paths, (str, os.PathLike))
                                else "no trace files given")
    return found


def plan(paths: list[str], chunk_bytes: int, format: str | None,
         byteorder: str | None) -> tuple[list[Part], int]:
    """(parts, ns) of the files: each file probed, its traces cut into
    parts of about chunk_bytes of samples.  ValueError, before anything is
    read in bulk, when a file is ragged or its ns or dt differ from the
    first file's."""
    if chunk_bytes < 1:
        raise ValueError(f"chunk_bytes must be positive, not {chunk_bytes}")
    parts: list[Part] = []
    first: Any = None
    rows = 0
    for path in paths:
        probe = vondrel.probe(path, format=format, byteorder=byteorder)
        if not probe.n_traces:
            continue
        if probe.ns is None:
            raise ValueError(f"{path}: its traces differ in length, and one array needs one ns")
        if first is None:
            first = (path, probe)
        for what in ("ns", "dt"):
            if getattr(probe, what) != getattr(first[1], what):
                raise ValueError(f"{path} has {what} {getattr(probe, what)}, {first[0]} has "
                                 f"{getattr(first[1], what)}: one array needs one {what}")
        per = max(1, chunk_bytes // max(1, 4 * probe.ns))
        for start in range(0, probe.n_traces, per):
            stop = min(probe.n_traces, start + per)
            parts.append(Part(path, probe.format, probe.byteorder, start, stop, rows, probe.ns))
            rows += stop - start
    if first is None:
        raise ValueError(f"no traces in {len(paths)} file{'s' if len(paths) != 1 else ''}: nothing to stack")
    return parts, first[1].ns


def read_part(part: Part, samples: bool) -> Any:
    """The gather of one part (headers only unless `samples`); ValueError
    when the file no longer holds the traces that planning found (as many,
    of as many samples)."""
    g = vondrel.read(part.path, format=part.format, byteorder=part.byteorder,
                     traces=slice(part.start, part.stop), samples=samples)
    if len(g.headers) != part.stop - part.start:
        raise ValueError(f"{part.path} changed after planning: traces {part.start} to {part.stop} "
                         f"were there, {len(g.headers)} are now")
    lengths = np.diff(g.offsets)
    if (lengths != part.ns).any():
        k = int(np.argmax(lengths != part.ns))
        raise ValueError(f"{part.path} changed after planning: its traces had {part.ns} samples, "
                         f"trace {part.start + k} has {int(lengths[k])} now")
    return g


def read_samples(part: Part) -> np.ndarray[Any, np.dtype[np.float32]]:
    """One chunk of the samples array (a task)."""
    samples: np.ndarray[Any, np.dtype[np.float32]] = read_part(part, True).samples
    return samples


def read_headers(part: Part, meta: pandas.DataFrame) -> pandas.DataFrame:
    """One partition of the headers dataframe (a task): the columns of
    `meta`, a field that this file's format lacks as 0.  ns and dt of a
    SEG-Y file are the effective ones (its trace headers may say 0), as in
    its conversion to SU.

    Imports dask.dataframe, not only pandas: a worker process that runs this
    then has it when the partitions are put together there, and the import
    keeps the query-planning warning out of the worker's output too."""
    require("dask.dataframe", "vondrel.dask")
    pd = require("pandas", "vondrel.dask")
    g = read_part(part, False)
    h = g.headers
    n = part.stop - part.start
    data = {name: _columns.table_column(h[name]) if name in h.dtype.names
            else np.full(n, b"", object) if meta[name].dtype == object else np.zeros(n, meta[name].dtype)
            for name in meta.columns[:-2]}
    if _registry.get(part.format).file_headers:      # the binary header's ns, not the traces'
        data["ns"] = np.full(n, part.ns, meta["ns"].dtype)
    data["dt"] = g.interval().astype(meta["dt"].dtype)        # the one rule: vondrel._interval
    data["path"] = np.full(n, part.path, dtype=object)
    data["trace"] = np.arange(part.start, part.stop, dtype=np.int64)
    return pd.DataFrame(data, index=pd.RangeIndex(part.first, part.first + n))


def header_meta(parts: list[Part]) -> pandas.DataFrame:
    """The empty dataframe that describes the headers: the fields of every
    format present, in the order of the first file's, then path and trace."""
    pd = require("pandas", "vondrel.dask")
    columns: dict[str, np.dtype[Any]] = {}
    for fmt in dict.fromkeys(p.format for p in parts):
        dtype = _registry.header_dtype(fmt)
        for name in _columns.fields(dtype):
            columns.setdefault(name, _columns.table_column(np.empty(0, dtype[name])).dtype)
    data = {name: np.empty(0, dt) for name, dt in columns.items()}
    data["path"] = np.empty(0, dtype=object)
    data["trace"] = np.empty(0, dtype=np.int64)
    return pd.DataFrame(data, index=pd.RangeIndex(0, 0))


def read(paths: PathLike | Iterable[PathLike], chunk_bytes: int = 64 * 2**20,
         format: str | None = None, byteorder: str | None = None) -> Traces:
    """The traces of many files as (samples, headers), both lazy.

    `paths` is a list, a glob pattern or a directory (its files, hidden ones
    left out, in name order).  `samples` stacks every file's traces along the
    first axis in chunks of whole traces, about `chunk_bytes` each, never two
    files in one chunk; `headers` has one column per header field plus `path`
    and `trace` (the trace's index in its file), indexed by row.  `format`
    and `byteorder` apply to every file; by default each file's are detected.
    ValueError before any computation when the files' ns or dt differ."""
    dask = require("dask", "vondrel.dask.read")
    da = require("dask.array", "vondrel.dask.read")
    dd = require("dask.dataframe", "vondrel.dask.read")
    names = files(paths)
    parts, ns = plan(names, chunk_bytes, format, byteorder)
    # The names of the tasks change with the files: a cluster never serves a stale result.
    stats = [(st.st_mtime_ns, st.st_size) for st in map(os.stat, names)]
    token = dask.base.tokenize(names, stats, parts)
    _READS[token] = tuple(names)
    name = f"vondrel-samples-{token}"
    graph = {(name, i, 0): (read_samples, part) for i, part in enumerate(parts)}
    samples = da.Array(graph, name, chunks=(tuple(p.stop - p.start for p in parts), (ns,)), dtype=np.float32)
    meta = header_meta(parts)
    divisions = [p.first for p in parts] + [parts[-1].first + parts[-1].stop - parts[-1].start - 1]
    headers = dd.from_delayed([dask.delayed(read_headers)(p, meta, dask_key_name=f"vondrel-headers-{token}-{i}")
                               for i, p in enumerate(parts)],
                              meta=meta, divisions=divisions, verify_meta=False)
    return Traces(samples, headers)


def write_part(path: str, headers: pandas.DataFrame, samples: np.ndarray[Any, Any], format: str,
               byteorder: str | None, options: dict[str, Any]) -> str:
    """Writes one file from one partition and its chunk (a task); its path."""
    if len(headers) != len(samples):
        raise ValueError(f"{path}: " + HEADER_ROWS.format(rows=len(headers), n=len(samples)))
    h = _columns.records({name: headers[name].to_numpy() for name in headers.columns},
                         len(samples), _registry.header_dtype(format))
    rows = np.ascontiguousarray(samples, dtype=np.float32)
    vondrel.write(path, (h, rows), format=format, byteorder=byteorder, **options)
    return path


def write(samples: Array, headers: DataFrame, directory: PathLike,
          format: str = "su", byteorder: str | None = None, **options: Any) -> list[str]:
    """Writes one file per chunk of `samples` (with the rows of `headers`
    that go with it) into `directory`, in parallel on the current scheduler,
    and returns their paths: part-00000.su, part-00001.su, ... (.sgy for
    SEG-Y).  `format`, `byteorder` and `options` go to vondrel.write.

    The headers' partitions must hold as many rows as the chunks of
    `samples` hold traces; when their counts of partitions and chunks
    differ, the samples are rechunked to the partitions.  A file that the
    graph reads (or a traces reader holds open) is never written over:
    ValueError before anything is computed.  Each file is written to a
    temporary file beside it and renamed when complete."""
    dask = require("dask", "vondrel.dask.write")
    suffix = _registry.get(format).suffix
    if samples.ndim != 2:
        raise ValueError(f"samples must be (traces, ns), not {samples.ndim}-dimensional")
    samples = samples.rechunk({1: -1})
    if samples.numblocks[0] != headers.npartitions:
        lengths = tuple(headers.map_partitions(len, enforce_metadata=False).compute())
        samples = samples.rechunk({0: lengths})
    paths = [os.path.join(os.fspath(directory), f"part-{i:05d}{suffix}")
             for i in range(headers.npartitions)]
    inputs = [name for graph in (samples.__dask_graph__(), headers.__dask_graph__())
              for layer in getattr(graph, "layers", graph)
              for name in _READS.get(_read_token(layer), ())]
    for path in paths:
        _sinks.refuse_input(path, inputs)
    os.makedirs(directory, exist_ok=True)
    tasks = [dask.delayed(write_part, pure=False)(path, h, s, format, byteorder, options)
             for path, h, s in zip(paths, headers.to_delayed(), samples.to_delayed()[:, 0])]
    return list(dask.compute(*tasks))


def _read_token(name: object) -> str:
    """The token of a read's task name ("vondrel-samples-TOKEN",
    "vondrel-headers-TOKEN-i"), or ""."""
    if isinstance(name, tuple) and name:
        name = name[0]
    parts = name.split("-") if isinstance(name, str) else []
    return parts[2] if len(parts) >= 3 and parts[0] == "vondrel" else ""


def to_xarray(samples: Array, headers: DataFrame,
              dt: float | None = None) -> xarray.Dataset:
    """The traces as an xarray Dataset (see vondrel.Gather.to_xarray): the
    samples stay a lazy Dask array; the headers are read (a header scan) to
    become coordinates, so that selections by header value work.  `dt` in
    microseconds; by default the headers' (ValueError when traces differ)."""
    frame = headers.compute()
    columns = {name: frame[name].to_numpy() for name in frame.columns}
    columns["file_trace"] = columns.pop("trace")
    return _dataset.dataset(samples, columns, _dataset.common_interval(columns["dt"]) if dt is None else dt, {})
