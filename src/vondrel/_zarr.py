"""Zarr stores of trace files, both ways: a SEG-Y, SU or collection file as a
chunked cube (vondrel.to_zarr), and the file again from the store
(vondrel.from_zarr), byte for byte when nothing changed.

    vondrel.to_zarr("cube.sgy", "cube.zarr", chunks={"iline": 64, "xline": 64})
    vondrel.from_zarr("cube.zarr", "again.sgy")        # the same bytes as cube.sgy

The store (Zarr format 3, a directory) holds, beside each other:

    samples          (*dims, time)      the samples, chunked over the geometry's dims and time,
                                        in the type the file stores them (int16 stays int16;
                                        IBM floats as float32, see ibm_residue)
    trace_headers    (*dims, header_byte)   each trace's 240 header bytes exactly as the file
                                        holds them (the file's byte order); zeros where no trace
    trace_index      (*dims)            the trace's place in the file (0 is its first trace),
                                        -1 where the grid has no trace: the file's own order
    mask             (*dims)            True where a trace is (irregular grids have holes)
    time             (time)             seconds from the first sample of the first trace
    <dim>            (<dim>)            the labels of each dim (iline, xline, ... values)
    vondrel/file_header    the bytes in front of the first trace, as the file holds them
                           (SEG-Y: textual, binary and extended textual headers; a collection
                           file: its count; SU: none)
    vondrel/ibm_residue    IBM files only: (*dims, time) uint32, the bits by which an IBM
                           sample differs from the encoding of its float32 value (0 almost
                           everywhere: chunks of zeros are not stored)

`dims` are the file's geometry (vondrel.open's: iline and xline of a SEG-Y
cube, any header fields given as dims=), or `trace` alone for a file
without one.  The group's attributes say what the file was: `format`,
`byteorder`, `sample_format` (SEG-Y's code; 5 for SU and collection files,
float32), `ns`, `dt` (microseconds), `n_traces`, `dims`, and for SEG-Y the
decoded `text`, `extended_text` and `binary` header (fields by name), with
`vondrel_layout` naming this layout.  xarray's open_zarr reads the store
as a Dataset: `samples` on the dims and `time`, with `trace_index` and
`mask` as coordinates.

IBM floats.  Most IBM values are float32 values exactly, but not all: an
IBM word may be unnormalised, a negative zero, or beyond float32's range.
The store keeps float32 samples, which every reader can use, and for the
few words whose float32 value does not encode back to them, the residue:
the XOR of the stored word and the encoding of its float32 value.  Writing
back encodes each float32 sample and applies the residue where the sample
still decodes from the word it gives (so a sample changed in the store is
written as its new value), which makes SEG-Y -> Zarr -> SEG-Y exact.

Work in parallel.  Planning (the file's headers and one geometry scan, in
the calling process) makes a Dask graph whose tasks carry a path, a block
of the grid and the trace numbers under it, never an open file: one task
reads the traces of one block of chunks and writes those chunks whole (no
two tasks write one chunk); writing back, one task encodes the traces of
one block and writes them to their disjoint byte ranges of one preallocated
file.  The tasks run on whatever Dask scheduler is configured (the
threaded one by default; a dask.distributed Client when one is the default).
Every output goes to a temporary store or file beside its final name and is
renamed there when complete and synchronised to disk; a failed or
interrupted conversion waits for its running tasks and removes the
temporary output, so nothing is left under either name.  Zarr, numcodecs and
Dask are imported on first use (ImportError names them when missing).
"""
from __future__ import annotations

import contextlib
import functools
import itertools
import os
import secrets
import shutil
import sys
import threading
import warnings
from collections.abc import Iterator, Mapping
from typing import Any, NamedTuple

import numpy as np

from vondrel._messages import NO_FORM
from vondrel._optional import require
from vondrel._sinks import pwrite_all, replace

__all__ = ["to_zarr", "from_zarr"]

PathLike = str | os.PathLike[str]
LAYOUT = 1
HEADER = 240
NATIVE = "<" if sys.byteorder == "little" else ">"
CHUNK_BYTES = 16 << 20         # samples per chunk by default
PIECE = 1 << 20                # bytes of traces decoded at a time: they stay in the cache
NATIVE_PIECE = 512 << 10       # at most the same in one native call, where a read costs no Python


# ---- what a task needs to know -------------------------------------------------------


class Source(NamedTuple):
    """The file being stored, as its tasks see it: whole traces of
    `trace_size` bytes from byte `start`, `n` of them; `size` and `mtime_ns`
    as planned (a task refuses a file that changed)."""

    path: str
    format: str
    byteorder: str
    code: int
    ns: int
    start: int
    trace_size: int
    n: int
    size: int
    mtime_ns: int


class Target(NamedTuple):
    """The file being written back: its traces `trace_size` bytes each from
    byte `start` of the temporary file `path`, in `format` and `byteorder`
    (SEG-Y: sample format `code`), from the store at `store`, whose file
    was in `source_format` and `source_byteorder`; `residue` says whether
    its IBM residues apply."""

    path: str
    format: str
    byteorder: str
    code: int
    ns: int
    dt: int
    start: int
    trace_size: int
    source_format: str
    source_byteorder: str
    residue: bool
    store: str


def _format(name: str) -> Any:
    """The registry's format called `name`."""
    from vondrel import _registry
    return _registry.get(name)


def _width(code: int) -> int:
    from vondrel._layout import SAMPLE_FORMATS
    return SAMPLE_FORMATS[code][0]


def _stored_dtype(code: int) -> np.dtype[Any]:
    """The type a sample format's values are kept in (IBM floats: float32)."""
    from vondrel._layout import SAMPLE_FORMATS
    return np.dtype(NATIVE + SAMPLE_FORMATS[code][1])


@functools.cache
def header_dtype(format: str, byteorder: str = "=") -> np.dtype[Any]:
    """The 240-byte trace header of a format in `byteorder`."""
    from vondrel import _registry
    dtype = _registry.header_dtype(format)
    return dtype if byteorder in ("=", NATIVE) else dtype.newbyteorder(byteorder)


@functools.cache
def swap_order(dtype: np.dtype[Any]) -> np.ndarray[Any, np.dtype[np.intp]]:
    """The byte permutation that swaps every numeric field of a 240-byte
    header dtype (raw byte fields stay as they are): out[:, p] of header
    bytes in one order is the same header in the other."""
    perm = np.arange(dtype.itemsize)
    assert dtype.fields is not None
    for name, (field, offset, *_) in dtype.fields.items():
        if field.kind != "V" and field.itemsize > 1:
            perm[offset:offset + field.itemsize] = perm[offset:offset + field.itemsize][::-1]
    return perm


# ---- reading the file in a task ------------------------------------------------------

_SCRATCH = threading.local()


def scratch(name: str, shape: tuple[int, ...], dtype: Any, zero: bool = False) -> np.ndarray[Any, Any]:
    """A work array of this thread kept from one task to the next (by
    `name`; zeroed when `zero`): a worker converting many chunks then
    reuses memory it has touched, instead of faulting in fresh pages for
    every chunk (as a process whose allocator returns large blocks to the
    system at once would)."""
    cache = _SCRATCH.__dict__
    dtype = np.dtype(dtype)
    size = int(np.prod(shape)) * dtype.itemsize
    held = cache.get(name)
    if held is None or len(held) < size:
        held = cache[name] = np.empty(max(size, 1), np.uint8)
    out: np.ndarray[Any, Any] = held[:size].view(dtype).reshape(shape)
    if zero:
        out.fill(0)
    return out


def _runs(ids: np.ndarray[Any, Any]) -> list[tuple[int, int]]:
    """[(a, b)] of sorted ids: ids[a:b] are consecutive numbers."""
    if not len(ids):
        return []
    cuts = (np.flatnonzero(np.diff(ids) != 1) + 1).tolist()
    return list(zip([0, *cuts], [*cuts, len(ids)]))


def _pread_into(fd: int, view: memoryview, offset: int, path: str, trace: int) -> None:
    got = 0
    while got < len(view):
        n = os.preadv(fd, [view[got:]], offset + got)
        if n == 0:
            raise ValueError(f"{path}: trace {trace} at byte offset {offset} is cut short: "
                             "the file changed after planning")
        got += n


def _open_source(src: Source) -> int:
    fd = os.open(src.path, os.O_RDONLY)
    st = os.fstat(fd)
    if (st.st_size, st.st_mtime_ns) != (src.size, src.mtime_ns):
        os.close(fd)
        raise ValueError(f"{src.path} changed after planning ({src.size} bytes were planned, "
                         f"it has {st.st_size} now)")
    return fd


def _decode(src: Source, raw: np.ndarray[Any, Any], k: int, samples: np.ndarray[Any, Any]) -> None:
    """Decodes k traces of raw file bytes into `samples` (k, ns), stored
    type: every format's traces are a 240-byte header and samples of its
    sample format (5, float32, for formats that store only that)."""
    from vondrel import _arrays
    _arrays._segy_decode(raw, k, src.ns, src.code, src.byteorder == ">", scratch("decoded headers", (k * HEADER,),
                         np.uint8), samples, False)


def ibm_words(values: np.ndarray[Any, Any]) -> np.ndarray[Any, np.dtype[np.float32]]:
    """The float32 values of IBM words (uint32), rounded as the native decoder rounds:
    each value is exact in float64, so one cast rounds it once."""
    w = values.astype(np.uint64)
    fraction = (w & 0xFFFFFF).astype(np.float64)
    exponent = ((w >> 24) & 0x7F).astype(np.int64) - 64
    magnitude = np.ldexp(fraction, 4 * exponent - 24)
    with np.errstate(over="ignore"):
        out = np.where(w >> 31 == 1, -magnitude, magnitude).astype(np.float32)
    return out


def _residue(src: Source, raw: np.ndarray[Any, Any], k: int, samples: np.ndarray[Any, Any],
             again: np.ndarray[Any, Any]) -> np.ndarray[Any, Any] | None:
    """For IBM samples: None when the float32 samples of k traces encode
    back to exactly the file's bytes, else the (k, ns) uint32 residue.
    `again` is scratch space for the k traces."""
    from vondrel import _arrays
    big = src.byteorder == ">"
    # Normalised words in float32's range are their values' encodings: one
    # pass over the words proves it for almost every piece of a real file.
    if _arrays._ibm_exact(raw, k, src.ns, big):
        return None
    rows = raw[:k * src.trace_size].reshape(k, src.trace_size)
    again = again[:k * src.trace_size].reshape(k, src.trace_size)
    # The encoder writes headers too: blank ones, then the file's bytes over them.
    blank = np.zeros(k, header_dtype(src.format))
    if _arrays._segy_encode(blank, samples, k, src.ns, 1, big, again) >= 0:
        # a word beyond float32's range decoded to an infinity: 0 stands for it
        clean = np.where(np.isfinite(samples), samples, np.float32(0))
        _arrays._segy_encode(blank, clean, k, src.ns, 1, big, again)
    again[:, :HEADER] = rows[:, :HEADER]
    word = np.uint64 if rows.size % 8 == 0 else np.uint8
    if np.array_equal(again.reshape(-1).view(word), rows.reshape(-1).view(word)):
        return None
    order = src.byteorder + "u4"
    r: np.ndarray[Any, Any] = (rows[:, HEADER:].view(order) ^ again[:, HEADER:].view(order)).astype(np.uint32)
    return r


class Stored(NamedTuple):
    """What a task stored: `traces` of them, and their delay in
    milliseconds (delrt, scalt applied) when every one has the same, else
    None."""

    traces: int
    delay: float | None


def block_delay(src: Source, flat_h: np.ndarray[Any, Any], live: np.ndarray[Any, Any] | None) -> float | None:
    """The delay (milliseconds, as delay_of reckons it) that every trace of
    a block has, from its header bytes `flat_h` ((k, 240), the file's byte
    order) at the rows `live` (None: every row), or None when they differ."""
    from vondrel._dataset import scaled

    dtype = header_dtype(src.format, src.byteorder)
    h = flat_h.view(dtype).reshape(-1)
    if live is not None:
        h = h[live]
    if not len(h):
        return None
    delrt = h["delrt"]
    scalt = h["scalt"] if "scalt" in (dtype.names or ()) else np.zeros(1, np.int16)
    if (delrt == delrt[0]).all() and (scalt == scalt[0]).all():
        return float(scaled(delrt[0], scalt[0]))
    delays = np.asarray(scaled(delrt, scalt), np.float64)
    return float(delays[0]) if (delays == delays[0]).all() else None


def store_block(src: Source, arrays: tuple[Any, Any, Any], root: str, block: tuple[slice, ...],
                traces: np.ndarray[Any, Any], fsync: bool = True, grid_arrays: tuple[Any, Any] | None = None) -> Stored:
    """Reads the traces under one block of the grid (`traces`: their numbers
    in the file, -1 where none) and writes the block's chunks of samples,
    headers and IBM residue whole, and of `grid_arrays` (trace_index and
    mask, when given) (a task).  Returns what it stored (the
    delay of its traces read on the way, so that planning need not scan for it)."""
    if not os.path.isdir(root):            # the conversion was given up
        return Stored(0, None)
    samples_z, headers_z, residue_z = arrays
    shape = traces.shape
    order = np.argsort(traces, axis=None, kind="stable")
    order = order[traces.reshape(-1)[order] >= 0]          # the live positions, in file order
    ids = traces.reshape(-1)[order]
    k = len(ids)
    direct = k == traces.size and bool((np.diff(order) == 1).all()) if k else False
    holes = k < traces.size                                 # zeros where the grid has no trace
    dtype = _stored_dtype(src.code)
    # A whole chunk of stored bytes whose traces lie in the file in its
    # order is written a piece at a time as each is decoded, while the piece
    # is in the cache: the chunk never passes through memory whole.
    streamed = _streamed_chunk(root, samples_z, block, src.ns) if direct else None
    samples = None if streamed else scratch("samples", (*shape, src.ns), dtype, holes)
    headers = scratch("headers", (*shape, HEADER), np.uint8, holes)
    flat_s = samples.reshape(-1, src.ns) if samples is not None else None
    flat_h = headers.reshape(-1, HEADER)
    residue = None
    if k:
        fd = _open_source(src)
        grid = tuple(samples_z.metadata.chunks[:-1])
        out_fd = None
        try:
            if streamed:
                out_fd = _create_chunk(streamed, None if grid == shape else int(np.prod(grid)) * src.ns
                                       * dtype.itemsize)
            if direct:
                residue = _store_in_order(src, fd, out_fd, ids, shape, grid, flat_s, flat_h, dtype)
            else:
                residue = _store_gathered(src, fd, ids, order, shape, flat_s, flat_h, dtype)
            if out_fd is not None and fsync:
                os.fsync(out_fd)
        finally:
            os.close(fd)
            if out_fd is not None:
                os.close(out_fd)
    if samples is not None:
        put(root, samples_z, block, samples, fsync)
    put(root, headers_z, block, headers, fsync)
    if residue is not None and residue_z is not None:
        put(root, residue_z, block, residue, fsync)
    if grid_arrays is not None:
        index_z, mask_z = grid_arrays
        # small files: synchronised with the metadata, all at once, at the end
        write_whole(root, index_z, traces, block)
        write_whole(root, mask_z, traces >= 0, block)
    return Stored(k, block_delay(src, flat_h, None if direct else order) if k else None)


def _store_in_order(src: Source, fd: int, out_fd: int | None, ids: np.ndarray[Any, Any], shape: tuple[int, ...],
                    grid: tuple[int, ...], flat_s: np.ndarray[Any, Any] | None, flat_h: np.ndarray[Any, Any],
                    dtype: np.dtype[Any]) -> np.ndarray[Any, Any] | None:
    """Stores traces `ids` (ascending) that fill a block of `shape` traces
    in file order: one native call reads, converts and writes a piece at a
    time (headers into `flat_h`, samples into `flat_s` or, streamed, to the
    chunk file `out_fd`, whose chunk holds `grid` traces), without the
    interpreter lock.  A piece with unusual IBM words stops it; the residue
    of that piece is worked out here and the call resumes after it.
    Returns the block's residue, or None when none."""
    from vondrel import _arrays
    per = max(1, NATIVE_PIECE // src.trace_size)
    # A block smaller than its chunk (at an edge) lies in it row by row.
    row = shape[-1] if out_fd is not None and grid != shape else len(ids)
    rows = []
    for a0, b0 in _runs(ids):
        a = a0
        while a < b0:
            end = min(b0, (a // row + 1) * row)
            # pieces of equal size: no sliver of a few traces after a full piece
            b = a + -(-(end - a) // -(-(end - a) // per))
            rows.append((src.start + int(ids[a]) * src.trace_size, b - a, a))
            a = b
    pieces = np.array(rows, np.int64).reshape(-1, 3)
    at = pieces[:, 2]
    if row != len(ids):
        at = np.ravel_multi_index(np.unravel_index(at, shape), grid)
    pieces = np.column_stack([pieces, at]).astype(np.int64)
    raw = scratch("raw", (per * src.trace_size,), np.uint8)
    out = scratch("piece", (per, src.ns), dtype) if out_fd is not None else flat_s
    assert out is not None
    ibm = src.code == 1
    again = scratch("again", (per * src.trace_size,), np.uint8) if ibm else None
    residue = None
    done = 0
    while done < len(pieces):
        got, status = _arrays._store_pieces(fd, pieces[done:], src.ns, src.code, src.byteorder == ">", ibm, raw,
                                            flat_h, out, -1 if out_fd is None else out_fd)
        i = done + got
        if status == 2:
            raise ValueError(f"{src.path}: trace {int(ids[pieces[i, 2]])} at byte offset {int(pieces[i, 0])} is cut "
                             "short: the file changed after planning")
        if status == 1:
            assert again is not None
            m, a = int(pieces[i, 1]), int(pieces[i, 2])
            r = _residue(src, raw, m, out[:m] if out_fd is not None else out[a:a + m], again)
            if r is not None:
                if residue is None:
                    residue = np.zeros((*shape, src.ns), np.uint32)
                residue.reshape(-1, src.ns)[a:a + m] = r
        done = i + 1
    return residue


def _store_gathered(src: Source, fd: int, ids: np.ndarray[Any, Any], order: np.ndarray[Any, Any],
                    shape: tuple[int, ...], flat_s: np.ndarray[Any, Any] | None, flat_h: np.ndarray[Any, Any],
                    dtype: np.dtype[Any]) -> np.ndarray[Any, Any] | None:
    """Stores traces `ids` (ascending) whose places in the block are
    `order`: read and converted a piece at a time, then put in place.
    Returns the block's residue, or None when none."""
    assert flat_s is not None
    per = max(1, PIECE // src.trace_size)
    raw = scratch("raw", (per * src.trace_size,), np.uint8)
    again = scratch("again", (per * src.trace_size,), np.uint8) if src.code == 1 else None
    piece = scratch("piece", (per, src.ns), dtype)
    residue = None
    for a0, b0 in _runs(ids):
        for a in range(a0, b0, per):
            b = min(b0, a + per)
            m = b - a
            _pread_into(fd, memoryview(raw)[:m * src.trace_size], src.start + int(ids[a]) * src.trace_size,
                        src.path, int(ids[a]))
            rows = raw[:m * src.trace_size].reshape(m, src.trace_size)
            where = order[a:b]
            out = piece[:m]
            _decode(src, raw, m, out)
            flat_s[where] = out
            flat_h[where] = rows[:, :HEADER]
            if again is not None:
                r = _residue(src, raw, m, out, again)
                if r is not None:
                    if residue is None:
                        residue = np.zeros((*shape, src.ns), np.uint32)
                    residue.reshape(-1, src.ns)[where] = r
    return residue


def _streamed_chunk(root: str, array: Any, block: tuple[slice, ...], ns: int) -> str | None:
    """The path of the one chunk file of `array` that holds `block` (all of
    it, or its part inside the grid for a chunk at an edge) when it is
    stored as plain bytes whole along time; else None."""
    if array.metadata.chunks[-1] != ns or not _raw_chunks(array):
        return None
    chunks = array.metadata.chunks
    coords = (*(s.start // c for s, c in zip(block, chunks)), 0)
    return os.path.join(root, array.path, array.metadata.encode_chunk_key(coords))


def _create_chunk(path: str, size: int | None) -> int:
    """A new chunk file at `path`, open for writing; of `size` bytes of
    zeros (the fill value, which the traces then partly overwrite) when
    given."""
    _makedirs(os.path.dirname(path))
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o666)
    if size is not None:
        try:
            os.ftruncate(fd, size)
        except BaseException:
            os.close(fd)
            raise
    return fd


_MADE: set[str] = set()


def _makedirs(folder: str) -> None:
    """os.makedirs(folder, exist_ok=True), once per folder and process: a
    store's chunks share a few folders, and each call costs system calls."""
    if folder not in _MADE:
        os.makedirs(folder, exist_ok=True)
        if len(_MADE) > 100_000:           # a long-lived process: forget old stores' folders
            _MADE.clear()
        _MADE.add(folder)


def _raw_chunks(array: Any) -> bool:
    """Whether a chunk of `array` is stored as its bytes and nothing else
    (uncompressed, in this machine's order), so that it can be written
    without Zarr's copy."""
    codecs = array.metadata.codecs
    return len(codecs) == 1 and _raw_chunks_by(array, codecs[0])


def _raw_chunks_by(array: Any, codec: Any) -> bool:
    """Whether `codec`, the first of `array`'s, gives a chunk's bytes as they lie in memory here."""
    from zarr.codecs import BytesCodec

    if not isinstance(codec, BytesCodec):
        return False
    return array.dtype.itemsize == 1 or (codec.endian is not None and codec.endian.value == sys.byteorder)


def _chunk_ranges(array: Any, block: tuple[slice, ...]) -> list[range]:
    """The chunk coordinates of `array` under `block` (every chunk along the
    dims the block does not name)."""
    chunks = array.metadata.chunks
    ranges = []
    for axis, size in enumerate(array.shape):
        if axis < len(block):
            s = block[axis]
            ranges.append(range(s.start // chunks[axis], -(-s.stop // chunks[axis])))
        else:
            ranges.append(range(-(-size // chunks[axis])))
    return ranges


def put(root: str, array: Any, block: tuple[slice, ...], data: np.ndarray[Any, Any], fsync: bool) -> None:
    """Writes `data`, the whole chunks of `array` under `block`, into the
    store at `root`, and synchronises their files to disk when `fsync`.
    Chunks stored as plain bytes are written straight from `data` (an edge
    chunk padded with the fill value, as Zarr stores it); others through
    Zarr (a chunk of nothing but the fill value may then not be stored)."""
    if not _raw_chunks(array):
        array[block] = data
        if fsync:
            for coords in itertools.product(*_chunk_ranges(array, block)):
                path = os.path.join(root, array.path, array.metadata.encode_chunk_key(coords))
                try:
                    fd = os.open(path, os.O_RDONLY)
                except FileNotFoundError:
                    continue
                try:
                    os.fsync(fd)
                finally:
                    os.close(fd)
        return
    chunks = array.metadata.chunks
    origin = [s.start for s in block] + [0] * (array.ndim - len(block))
    for coords in itertools.product(*_chunk_ranges(array, block)):
        inside = tuple(slice(c * n - o, min((c + 1) * n, size) - o)
                       for c, n, o, size in zip(coords, chunks, origin, array.shape))
        part = data[inside]
        if part.shape != tuple(chunks):
            full = scratch("edge chunk", tuple(chunks), array.dtype)
            full.fill(array.metadata.fill_value)
            full[tuple(slice(0, k) for k in part.shape)] = part
            part = full
        part = np.ascontiguousarray(part, dtype=array.dtype)
        path = os.path.join(root, array.path, array.metadata.encode_chunk_key(coords))
        _makedirs(os.path.dirname(path))
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o666)
        try:
            view = memoryview(part.reshape(-1)).cast("B")
            while len(view):
                view = view[os.write(fd, view):]
            if fsync:
                os.fsync(fd)
        finally:
            os.close(fd)


def _encoder(array: Any) -> Any:
    """The function that gives a chunk's stored bytes from its values (an
    array of the chunk's shape) as Zarr's codecs would, for arrays stored
    as their bytes in this machine's order, uncompressed or by zstd; None
    for any other array."""
    from zarr.codecs import ZstdCodec

    codecs = array.metadata.codecs
    if not codecs or not _raw_chunks_by(array, codecs[0]) or len(codecs) > 2:
        return None
    if len(codecs) == 1:
        return lambda values: memoryview(np.ascontiguousarray(values).reshape(-1)).cast("B")
    if not isinstance(codecs[1], ZstdCodec):
        return None
    from numcodecs.zstd import Zstd
    zstd = Zstd.from_config({"level": codecs[1].level, "checksum": codecs[1].checksum})
    return lambda values: zstd.encode(np.ascontiguousarray(values).reshape(-1).view(np.uint8))


def write_whole(root: str, array: Any, data: np.ndarray[Any, Any], block: tuple[slice, ...] | None = None,
                fsync: bool = False) -> None:
    """Writes `data`, the whole chunks of `array` (created with
    write_empty_chunks False) under `block` (None: all of it), into the
    store at `root`: each chunk encoded as Zarr encodes it and written as
    one file, a chunk of nothing but the fill value not at all, as Zarr
    does; the same bytes as `array[block] = data` without Zarr's cost per
    chunk (a store of a big cube has thousands).  Arrays of other codecs go
    through Zarr.  The files are synchronised to disk when `fsync`."""
    block = block or tuple(slice(0, n) for n in array.shape)
    encode = _encoder(array)
    if encode is None:
        put(root, array, block, data, fsync)
        return
    chunks = array.metadata.chunks
    fill = array.metadata.fill_value
    for coords in itertools.product(*_chunk_ranges(array, block)):
        inside = tuple(slice(i * c - s.start, min((i + 1) * c, n) - s.start)
                       for i, c, n, s in zip(coords, chunks, array.shape, block))
        part = data[inside]
        if (part == fill).all():
            continue
        if part.shape != tuple(chunks):
            full = np.full(chunks, fill, array.dtype)
            full[tuple(slice(0, k) for k in part.shape)] = part
            part = full
        path = os.path.join(root, array.path, array.metadata.encode_chunk_key(coords))
        _makedirs(os.path.dirname(path))
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o666)
        try:
            pwrite_all(fd, encode(part.astype(array.dtype, copy=False)), 0)
            if fsync:
                os.fsync(fd)
        finally:
            os.close(fd)


def get(root: str, array: Any, block: tuple[slice, ...], name: str,
        live: np.ndarray[Any, Any] | None = None) -> np.ndarray[Any, Any]:
    """The part of `array` under `block` (whole along the dims the block
    does not name): chunks stored as plain bytes read straight into it
    (the fill value where a chunk is not stored), others through Zarr;
    into this thread's scratch array `name`.  With `live` (over the
    block's grid: where a trace is), a chunk not stored over a trace is
    ValueError: the store has lost it (see missing)."""
    chunks = array.metadata.chunks
    full = [*block, *(slice(0, n) for n in array.shape[len(block):])]
    raw = _raw_chunks(array)
    out = scratch(name, tuple(s.stop - s.start for s in full), array.dtype) if raw else None
    for coords in itertools.product(*_chunk_ranges(array, block)):
        lo = [c * n for c, n in zip(coords, chunks)]
        part = tuple(slice(max(a, s.start) - s.start, min(a + n, s.stop) - s.start)
                     for a, n, s in zip(lo, chunks, full))
        trim = tuple(slice(max(a, s.start) - a, min(a + n, s.stop) - a) for a, n, s in zip(lo, chunks, full))
        key = array.metadata.encode_chunk_key(coords)
        path = os.path.join(root, array.path, key)
        if not raw:
            if live is not None and not os.path.exists(path) and live[part[:live.ndim]].any():
                raise ValueError(missing(root, array, key))
            continue
        try:
            fd = os.open(path, os.O_RDONLY)
        except FileNotFoundError:
            if live is not None and live[part[:live.ndim]].any():
                raise ValueError(missing(root, array, key)) from None
            out[part] = array.metadata.fill_value
            continue
        try:
            target = out[part]
            whole = all(t.start == 0 and t.stop == n for t, n in zip(trim, chunks)) and target.flags.c_contiguous
            buf = target if whole else scratch("chunk", tuple(chunks), array.dtype)
            view = memoryview(buf.reshape(-1)).cast("B")
            got = 0
            while got < len(view):
                n = os.preadv(fd, [view[got:]], got)
                if n == 0:
                    raise ValueError(f"{path}: a chunk of {got} bytes, not {len(view)}")
                got += n
            if not whole:
                out[part] = buf[trim]
        finally:
            os.close(fd)
    return out if out is not None else np.asarray(array[block])


def missing(root: str, array: Any, key: str, held: str = "traces") -> str:
    """The message for a chunk that a store lacks where it must have one."""
    return (f"{root}: chunk {key} of {array.path} is missing, and {held} lie under it: the store is incomplete "
            "(copied in part?). vondrel.to_zarr stores every chunk of samples and trace_headers; Zarr itself leaves "
            "out a chunk that is all fill value unless write_empty_chunks is true")


# ---- planning -------------------------------------------------------------------------


class StorePlan(NamedTuple):
    """What planning found out about a file: its Source, the geometry
    (dims, their labels, and the grid of trace numbers), the bytes in front of
    the first trace, the sample interval (microseconds), and the attributes
    of the store (the traces' delay, for the time axis, is found by the
    tasks that read their headers)."""

    source: Source
    dims: tuple[str, ...]
    coords: dict[str, np.ndarray[Any, Any]]
    trace_index: np.ndarray[Any, Any]
    prefix: bytes
    dt: float
    attrs: dict[str, Any]


def _binary_attrs(binary: Any) -> dict[str, Any]:
    """The binary header's fields by name as plain numbers (raw byte fields left out)."""
    if binary is None:
        return {}
    binary = np.asarray(binary)
    names = binary.dtype.names or ()
    return {name: binary[name].item() for name in names if binary.dtype[name].kind in "iuf"}


def delay_of(f: Any, index: np.ndarray[Any, Any]) -> tuple[float, bool]:
    """(delay in milliseconds, whether every trace has it) of the traces of
    `index` (-1: none) of an open file: delrt, with scalt applied where the
    layout has it (SEG-Y), as to_xarray makes its time axis; 0 when the
    traces' delays differ.  Where `index` holds every trace and the scan
    for the file's geometry noted their delay, that is the answer."""
    from vondrel._geometry import delay_summary

    rows = index[index >= 0]
    if not len(rows):
        return 0.0, True
    noted = getattr(f, "_delay", None)
    if noted is not None and len(rows) == len(f):
        return noted  # type: ignore[no-any-return]
    names = [n for n in ("delrt", "scalt") if n in (header_dtype(f.format).names or ())]
    return delay_summary(f.headers[names][rows])


def plan_file(path: PathLike, *, format: str | None = None, byteorder: str | None = None, ns: int | None = None,
              sample_format: int | None = None, dims: Any = None) -> StorePlan:
    """Opens `path` with vondrel.open (the options as there) and plans its
    store; ValueError for files whose traces differ in length or that hold
    bytes after their last trace."""
    import vondrel

    name = os.fspath(path)
    with vondrel.open(name, format=format, byteorder=byteorder, ns=ns, sample_format=sample_format,
                      dims=dims) as f:
        p = f.plan
        if p.ns is None or p.trace_size is None:
            raise ValueError(f"{name}: its traces differ in length; a Zarr store holds traces of one length")
        grid_dims = tuple(f.dims)
        if grid_dims:
            index = np.asarray(f.trace_index, dtype=np.int64)
            coords = {d: np.asarray(f.coords[d]) for d in grid_dims}
        else:
            grid_dims, index, coords = ("trace",), np.arange(len(f), dtype=np.int64), {}
        fmt, order, n, code = p.format, p.byteorder, p.n_traces, p.sample_format
        st = os.fstat(f._fd)
        if p.end != st.st_size:
            raise ValueError(f"{name}: {st.st_size - p.end} bytes follow the last trace; a store keeps whole "
                             "files only")
        prefix = os.pread(f._fd, p.data_offset, 0)
        attrs: dict[str, Any] = {"vondrel_layout": LAYOUT, "format": fmt, "byteorder": order, "sample_format": code,
                                 "ns": p.ns, "dt": int(p.dt), "n_traces": n, "dims": list(grid_dims)}
        if _format(fmt).file_headers:
            attrs["text"] = f.text
            attrs["extended_text"] = list(f.extended_text)
            attrs["binary"] = _binary_attrs(f.binary)
    if len(prefix) != p.data_offset:
        raise ValueError(f"{name} changed while it was planned")
    source = Source(name, fmt, order, code, p.ns, p.data_offset, p.trace_size, n, st.st_size, st.st_mtime_ns)
    return StorePlan(source, grid_dims, coords, index, prefix, float(p.dt), attrs)


def chunking(chunks: Any, dims: tuple[str, ...], shape: tuple[int, ...], ns: int,
             itemsize: int) -> tuple[int, ...]:
    """The chunk shape of `samples` (the grid's dims, then time) from
    `chunks`: None (about 16 MB each, whole traces), a dict by dim name
    (`time` included; -1 or None: the whole dim; others by default), or a
    sequence with one size per dim and one for time."""
    names = (*dims, "time")
    full = (*shape, ns)
    if chunks is None or isinstance(chunks, Mapping):
        given = dict(chunks or {})
        unknown = set(given) - set(names)
        if unknown:
            raise ValueError(f"chunks names {', '.join(sorted(unknown))}, not among the dims "
                             f"{', '.join(names)}")
        out = [0] * len(names)
        for i, name in enumerate(names):
            if name in given:
                out[i] = full[i] if given[name] in (None, -1) else int(given[name])
        if not out[-1]:
            out[-1] = max(1, ns)
        free = [i for i in range(len(dims)) if not out[i]]
        if free:
            per = max(1, CHUNK_BYTES // max(1, itemsize * out[-1]
                                            * int(np.prod([out[i] for i in range(len(dims)) if out[i]]))))
            edge = max(1, int(round(per ** (1 / len(free)))))
            for i in free:
                out[i] = min(full[i], edge)
            # what the small dims leave goes to the others
            for i in free:
                rest = per // max(1, int(np.prod([out[j] for j in free if j != i])))
                out[i] = max(1, min(full[i], rest))
    else:
        out = [full[i] if c in (None, -1) else int(c) for i, c in enumerate(chunks)]
        if len(out) != len(names):
            raise ValueError(f"chunks has {len(out)} sizes for the {len(names)} dims {', '.join(names)}")
    for name, c in zip(names, out):
        if c < 1:
            raise ValueError(f"a chunk of {name} must hold at least 1, not {c}")
    return tuple(max(1, min(c, f)) if f else 1 for c, f in zip(out, full))


def blocks(shape: tuple[int, ...], chunks: tuple[int, ...]) -> Iterator[tuple[slice, ...]]:
    """The blocks of the grid that chunks of this shape tile, in C order."""
    for corner in itertools.product(*(range(0, s, c) for s, c in zip(shape, chunks))):
        yield tuple(slice(a, min(a + c, s)) for a, c, s in zip(corner, chunks, shape))


# ---- running a graph, and giving up cleanly ------------------------------------------


class _Progress:
    """A tqdm bar, one step per task: advanced by the local runner, or by
    Dask's local callbacks (`callback`) on Dask's other local schedulers."""

    def __init__(self, total: int, what: str) -> None:
        tqdm = require("tqdm", "a progress bar").tqdm
        self.bar = tqdm(total=total, desc=what, unit="chunk", leave=False, file=sys.stderr)
        self.lock = threading.Lock()

    def step(self) -> None:
        with self.lock:
            self.bar.update(1)

    @property
    def callback(self) -> Any:
        dask = require("dask", "vondrel's Zarr stores")
        return dask.callbacks.Callback(posttask=self._done)

    def _done(self, key: Any, result: Any, dsk: Any, state: Any, worker_id: Any) -> None:
        if isinstance(key, tuple) and str(key[0]).startswith("vondrel-"):
            self.step()

    def close(self) -> None:
        self.bar.close()


def graph(name: str, steps: list[Any]) -> list[Any]:
    """One Dask task per step (a callable of no arguments that carries what
    it needs), under keys of their own: Dask never looks inside the steps."""
    from dask.delayed import Delayed

    token = secrets.token_hex(8)
    return [Delayed((f"{name}-{token}", i), {(f"{name}-{token}", i): (step,)}) for i, step in enumerate(steps)]


def _distributed_client() -> Any:
    """The default dask.distributed Client when it is Dask's scheduler, else None."""
    dask = require("dask", "vondrel's Zarr stores")
    if dask.config.get("scheduler", None) not in ("dask.distributed", "distributed"):
        return None
    try:
        from distributed import default_client
        return default_client()
    except (ImportError, ValueError):
        return None


THREADED = ("threads", "threading")
SYNCHRONOUS = ("sync", "synchronous", "single-threaded")


def _run_local(steps: list[Any], workers: int, bar: _Progress | None) -> list[Any]:
    """The steps on a pool of `workers` threads (what Dask's threaded
    scheduler does with a graph of independent tasks, without building
    one: a conversion's fixed cost is then its own).  On a failure, or an
    interruption of the caller, the steps not started are cancelled and the
    running ones finish before the error is raised."""
    from concurrent.futures import FIRST_EXCEPTION, ThreadPoolExecutor, wait

    def one(step: Any) -> Any:
        out = step()
        if bar is not None:
            bar.step()
        return out
    pool = ThreadPoolExecutor(max(1, workers))
    try:
        futures = [pool.submit(one, step) for step in steps]
        wait(futures, return_when=FIRST_EXCEPTION)
        return [f.result() for f in futures]         # the first failure in step order is raised
    finally:
        pool.shutdown(wait=True, cancel_futures=True)     # nothing runs after this


def run(name: str, steps: list[Any], progress: str | None, scheduler: str | None = None) -> list[Any]:
    """Runs the steps (callables of no arguments, independent of each
    other) on the configured scheduler and returns their results: a
    dask.distributed Client's cluster when it is the default, threads of
    this process for Dask's threaded (the default) and synchronous
    schedulers, else a Dask graph (`name` its keys' prefix) on the
    scheduler named.  When any fails (or the caller is interrupted), waits
    until no step runs any more before raising, so that the caller may
    remove what they wrote."""
    dask = require("dask", "vondrel's Zarr stores")
    client = _distributed_client() if scheduler is None else None
    if client is not None:
        futures = client.compute(graph(name, steps))
        try:
            return list(client.gather(futures))
        except BaseException:
            client.cancel(futures)
            _wait_idle(client, {f.key for f in futures})
            raise
    chosen = scheduler or dask.config.get("scheduler", None) or "threads"
    bar = _Progress(len(steps), progress) if progress else None
    try:
        if chosen in THREADED or chosen in SYNCHRONOUS:
            workers = 1 if chosen in SYNCHRONOUS else dask.config.get("num_workers", None) or os.cpu_count() or 1
            return _run_local(steps, workers, bar)
        with bar.callback if bar else contextlib.nullcontext():
            return list(dask.compute(*graph(name, steps), scheduler=chosen))
    finally:
        if bar:
            bar.close()


def _wait_idle(client: Any, keys: set[Any], timeout: float = 300.0) -> None:
    """Waits until the cluster processes none of `keys` (cancelled tasks
    that were already running finish their step)."""
    import time
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        busy = client.processing()
        if not any(key in keys for tasks in busy.values() for key in tasks):
            return
        time.sleep(0.05)


def _temporary(dest: str) -> str:
    parent, base = os.path.split(os.path.abspath(dest))
    return os.path.join(parent, f".{base}.tmp-{os.getpid()}-{secrets.token_hex(4)}")


def _fsync(path: str) -> None:
    """Synchronises the file or folder `path` to disk."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _is_store(path: str) -> bool:
    return os.path.isfile(os.path.join(path, "zarr.json"))


# ---- SEG-Y or SU to Zarr -----------------------------------------------------------------


def to_zarr(source: PathLike, store: PathLike, chunks: Any = None, compressors: Any = "auto", *,
            dims: Any = None, format: str | None = None, byteorder: str | None = None, ns: int | None = None,
            sample_format: int | None = None, progress: bool = False, fsync: bool = True) -> None:
    """Writes the trace file `source` as the Zarr store `store` (a directory,
    replaced when it is a Zarr store already), laid out as this module's
    text says.  `chunks`: by dim name, or a size per dim (see chunking);
    `compressors` as zarr.create_array takes them ("auto": Zarr's default,
    None: uncompressed).  `dims`, `format`, `byteorder`, `ns` and
    `sample_format` open the file as vondrel.open does.  The work runs on
    the configured Dask scheduler; `progress` shows a bar on standard error
    (local schedulers).  Every file and folder of the store is synchronised
    to disk before the rename, unless `fsync` is False."""
    from vondrel._geometry import time_axis

    zarr = require("zarr", "vondrel.to_zarr")
    require("dask", "vondrel.to_zarr")
    dest = os.fspath(store)
    if os.path.exists(dest) and not _is_store(dest):
        raise FileExistsError(f"{dest} exists and is not a Zarr store: it is left alone")
    plan = plan_file(source, format=format, byteorder=byteorder, ns=ns, sample_format=sample_format, dims=dims)
    src = plan.source
    shape = plan.trace_index.shape
    dtype = _stored_dtype(src.code)
    chunk = chunking(chunks, plan.dims, shape, src.ns, dtype.itemsize)
    tmp = _temporary(dest)
    try:
        group = zarr.open_group(tmp, mode="w-", zarr_format=3, attributes=plan.attrs)
        grid = chunk[:-1]
        names = (*plan.dims, "time")
        kept = {"write_empty_chunks": True}
        samples = group.create_array("samples", shape=(*shape, src.ns), chunks=chunk, dtype=dtype, fill_value=0,
                                     dimension_names=names, compressors=compressors, config=kept,
                                     attributes={"coordinates": "trace_index mask",
                                                 "long_name": "samples as the file stores them",
                                                 "sample_format": src.code})
        headers = group.create_array("trace_headers", shape=(*shape, HEADER), chunks=(*grid, HEADER), dtype="u1",
                                     fill_value=0, dimension_names=(*plan.dims, "header_byte"),
                                     compressors=compressors, config=kept,
                                     attributes={"long_name": "trace header bytes as the file holds them",
                                                 "byteorder": src.byteorder, "format": src.format})
        sparse = {"write_empty_chunks": False}         # Zarr's default, said so: write_whole follows it
        index = group.create_array("trace_index", shape=shape, chunks=grid, dtype="i8", fill_value=-1,
                                   dimension_names=plan.dims, config=sparse,
                                   attributes={"long_name": "place of the trace in the file, -1: none"})
        mask = group.create_array("mask", shape=shape, chunks=grid, dtype="bool", fill_value=False,
                                  dimension_names=plan.dims, config=sparse, attributes={"long_name": "a trace is here"})
        time = group.create_array("time", shape=(src.ns,), chunks=(max(1, src.ns),), dtype="f8", fill_value=0.0,
                                  dimension_names=("time",), attributes={"units": "s"})
        for name, labels in plan.coords.items():
            label = group.create_array(name, shape=labels.shape, chunks=labels.shape or (1,), dtype=labels.dtype,
                                       fill_value=0, dimension_names=(name,))
            label[...] = labels
        own = group.create_group("vondrel")
        prefix = own.create_array("file_header", shape=(len(plan.prefix),), chunks=(max(1, len(plan.prefix)),),
                                  dtype="u1", fill_value=0, dimension_names=("byte",), compressors=None)
        if plan.prefix:
            prefix[...] = np.frombuffer(plan.prefix, np.uint8)
        residue = None
        if src.code == 1:
            residue = own.create_array("ibm_residue", shape=(*shape, src.ns), chunks=chunk, dtype="u4",
                                       fill_value=0, dimension_names=names,
                                       config={"write_empty_chunks": False})
        arrays = (samples, headers, residue)
        # each task writes its block's chunks of trace_index and mask too
        stored = run("vondrel-store", [functools.partial(store_block, src, arrays, tmp, block, plan.trace_index[block],
                                                         fsync, (index, mask)) for block in blocks(shape, grid)],
                     "to zarr" if progress else None)
        delays = {s.delay for s in stored if s.traces}
        time[...] = time_axis(src.ns, plan.dt, delays.pop() if len(delays) == 1 and None not in delays else 0.0)
        _consolidate(zarr, tmp)
        if fsync:
            # the tasks synchronised their chunks of samples, headers and residue; the rest is left
            synced = tuple(os.path.join(tmp, a.path, "c") + os.sep for a in arrays if a is not None)
            _fsync_all([path for here, _, files in os.walk(tmp) for path in (os.path.join(here, f) for f in files)
                        if not path.startswith(synced)] + [here for here, _, _ in os.walk(tmp)])
        _replace_store(tmp, dest, fsync)
    except BaseException:
        shutil.rmtree(tmp, ignore_errors=True)
        raise


def _fsync_all(paths: list[str]) -> None:
    """Synchronises the files and folders `paths` to disk, many at a time:
    the file system then commits them together, where one after the other
    each waits for a commit of its own (the most of a small store's time)."""
    from concurrent.futures import ThreadPoolExecutor
    with ThreadPoolExecutor(min(16, max(1, len(paths)))) as pool:
        list(pool.map(_fsync, paths))


_CONSOLIDATE = threading.Lock()


def _consolidate(zarr: Any, path: str) -> None:
    """Consolidates the store's metadata (one read opens it), without Zarr's
    warning that format 3 has no standard place for it yet."""
    with _CONSOLIDATE, warnings.catch_warnings():
        warnings.filterwarnings("ignore", message="Consolidated metadata is currently not part",
                                category=UserWarning)
        zarr.consolidate_metadata(path)


def _replace_store(tmp: str, dest: str, fsync: bool) -> None:
    """Puts the complete store `tmp` in place of `dest` (which is a store or
    nothing): a rename, the old store moved aside first and removed after."""
    # Neither rename happens once an interrupt has arrived; one that lands
    # between them puts the old store back.
    old = _temporary(dest) if os.path.exists(dest) else None
    try:
        if old is not None:
            replace(dest, old)
        replace(tmp, dest)
    except BaseException:
        if old is not None and os.path.lexists(old):
            if os.path.lexists(tmp):         # the new store never went in: the old one goes back
                os.rename(old, dest)
            else:                            # in already: the old one goes
                shutil.rmtree(old, ignore_errors=True)
        raise
    if fsync:
        _fsync(os.path.dirname(os.path.abspath(dest)))
    if old is not None:
        shutil.rmtree(old, ignore_errors=True)


# ---- Zarr to SEG-Y or SU -----------------------------------------------------------------


def open_store(store: PathLike) -> Any:
    """The root group of a store written by to_zarr; ValueError for any other."""
    zarr = require("zarr", "vondrel.from_zarr")
    path = os.fspath(store)
    if not _is_store(path):
        raise ValueError(f"{path} is not a Zarr store")
    group = zarr.open_group(path, mode="r", use_consolidated=False)
    if group.attrs.get("vondrel_layout") != LAYOUT:
        raise ValueError(f"{path} is a Zarr store that vondrel.to_zarr did not write (no vondrel_layout {LAYOUT})")
    return group


def _prefix_for(group: Any, target: Target, n: int) -> bytes:
    """The bytes in front of the first trace of the output: the output
    format's file headers, kept from the store's file where it had the same."""
    attrs = group.attrs
    like = None
    if _format(attrs["format"]).file_headers and _format(target.format).file_headers:
        kept = group["vondrel/file_header"]
        root = os.fspath(target.store)
        if kept.shape[0] and not os.path.exists(os.path.join(root, kept.path, kept.metadata.encode_chunk_key((0,)))):
            raise ValueError(missing(root, kept, kept.metadata.encode_chunk_key((0,)), "the file headers"))
        like = (bytes(np.asarray(kept[...], dtype=np.uint8)), attrs["byteorder"], attrs["sample_format"])
    return _format(target.format).encode_file_headers(n, target.byteorder, target.ns, target.dt, target.code, like)


def out_headers(target: Target, raw: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]:
    """The (k, 240) header bytes of the output from the stored ones (the
    source's format and byte order): as they are, swapped, or carried
    between the SEG-Y and SU layouts as vondrel.write carries them (bytes
    1-180 kept, the rest zero; ns and dt set)."""
    out_headed = _format(target.format).file_headers
    if header_dtype(target.source_format) == header_dtype(target.format):
        if target.byteorder == target.source_byteorder:
            return raw
        return raw[:, swap_order(header_dtype(target.source_format, target.source_byteorder))]
    native = raw if target.source_byteorder == NATIVE else \
        raw[:, swap_order(header_dtype(target.source_format, target.source_byteorder))]
    rows = np.zeros(len(raw), header_dtype(target.format))
    rows.view(np.uint8).reshape(-1, HEADER)[:, :180] = native[:, :180]
    rows["ns"] = target.ns
    if not out_headed:                  # no file header holds the interval: every trace does
        rows["dt"] = target.dt
    out = rows.view(np.uint8).reshape(-1, HEADER)
    if target.byteorder != NATIVE:
        out = out[:, swap_order(header_dtype(target.format))]
    return out


def _apply_residue(words: np.ndarray[Any, Any], samples: np.ndarray[Any, Any],
                   residue: np.ndarray[Any, Any]) -> None:
    """Puts back the stored IBM words where the samples are still the values
    those words decode to (native uint32 words, changed in place)."""
    at = np.nonzero(residue)
    candidate = words[at] ^ residue[at]
    same = ibm_words(candidate).view(np.uint32) == samples[at].view(np.uint32)
    words[tuple(i[same] for i in at)] = candidate[same]


def encode(target: Target, headers: np.ndarray[Any, Any], samples: np.ndarray[Any, Any],
           residue: np.ndarray[Any, Any] | None, ids: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]:
    """The output bytes of k traces: (k, trace_size) uint8.  ValueError
    naming the trace (its place in the file) when a sample has no form in
    the output's sample format."""
    k, ns = samples.shape
    out = scratch("encoded", (k, target.trace_size), np.uint8)
    from vondrel import _arrays
    code = target.code
    want = _stored_dtype(code)
    if samples.dtype != want:
        if code not in (1, 5):
            raise ValueError(f"sample_format={code} takes {want} samples, not {samples.dtype}")
        samples = samples.astype(np.float32)
    clean = samples
    if residue is not None and not np.isfinite(samples).all():
        # an IBM word beyond float32's range decodes to an infinity: the
        # residue carries it, so encode 0 there and let the residue decide
        lost = ~np.isfinite(samples) & (residue != 0)
        clean = np.where(lost, np.float32(0), samples)
    # Every format's traces are a 240-byte header and samples of its sample
    # format: one encoder for all (the headers it writes are replaced below).
    bad = _arrays._segy_encode(np.zeros(k, header_dtype(target.format)), np.ascontiguousarray(clean), k, ns, code,
                               target.byteorder == ">", out)
    if bad >= 0:
        i, j = divmod(bad, max(ns, 1))
        what = "IBM float" if code == 1 else f"format {code}"
        raise ValueError(NO_FORM.format(trace=int(ids[i]), sample=j, value=clean[i, j], what=what))
    if residue is not None and residue.any():
        word = target.byteorder + "u4"
        words = out[:, HEADER:].view(word).astype(np.uint32)
        _apply_residue(words, samples, residue)
        still = ~np.isfinite(samples) & (words == 0) & (residue != 0)
        if still.any():
            i, j = (int(v[0]) for v in np.nonzero(still))
            raise ValueError(NO_FORM.format(trace=int(ids[i]), sample=j, value=samples[i, j], what="IBM float"))
        out[:, HEADER:] = words.astype(word).view(np.uint8)
    out[:, :HEADER] = out_headers(target, headers)
    return out


def write_block(target: Target, arrays: tuple[Any, Any, Any], block: tuple[slice, ...],
                index: np.ndarray[Any, Any]) -> int:
    """Encodes the traces under one block of the grid and writes each run of
    them (consecutive in the file) to its byte range of the preallocated
    output, a cache-sized piece at a time (a task).  Returns the traces
    written."""
    flat = index.reshape(-1)
    live = np.flatnonzero(flat >= 0)
    if not len(live) or not os.path.exists(target.path):
        return 0
    samples_z, headers_z, residue_z = arrays
    rows = live[np.argsort(flat[live], kind="stable")]       # grid positions in file order
    ids = flat[rows]
    in_order = len(rows) == len(flat) and bool((np.diff(rows) == 1).all())
    alive = index >= 0
    samples = get(target.store, samples_z, block, "samples", alive).reshape(len(flat), -1)
    headers = get(target.store, headers_z, block, "headers", alive).reshape(len(flat), -1)
    residue = get(target.store, residue_z, block, "residue").reshape(len(flat), -1) \
        if residue_z is not None and target.residue else None
    if residue is not None and not residue.any():
        residue = None
    per = max(1, PIECE // target.trace_size)
    fd = os.open(target.path, os.O_WRONLY)
    try:
        for a0, b0 in _runs(ids):
            for a in range(a0, b0, per):
                b = min(b0, a + per)
                take: Any = slice(int(rows[a]), int(rows[a]) + b - a) if in_order else rows[a:b]
                out = encode(target, headers[take], samples[take], None if residue is None else residue[take],
                             ids[a:b])
                pwrite_all(fd, out.reshape(-1), target.start + int(ids[a]) * target.trace_size)
    finally:
        os.close(fd)
    return len(ids)


def from_zarr(store: PathLike, dest: PathLike, format: str | None = None, byteorder: str | None = None, *,
              sample_format: int | None = None, progress: bool = False, fsync: bool = True) -> None:
    """Writes the trace file that the store (written by to_zarr) holds to
    `dest`, in its traces' original order: by default in the format,
    byte order and sample format the store records, byte for byte the file
    it came from when nothing changed.  `format` ("segy", "su",
    "collection"), `byteorder` ("<", ">", "=") and `sample_format` (SEG-Y)
    say otherwise.  The work runs on the configured Dask scheduler, each task
    writing its traces' byte ranges of one preallocated temporary file,
    renamed to `dest` when complete (and synchronised to disk first,
    unless `fsync` is False)."""
    from vondrel import _layout, _registry

    require("dask", "vondrel.from_zarr")
    group = open_store(store)
    attrs = group.attrs
    src_format, src_order, src_code = attrs["format"], attrs["byteorder"], int(attrs["sample_format"])
    out_format = format or src_format
    choices = [repr(name) for name in _registry.names()]
    if out_format not in _registry.names():
        raise ValueError(f"format must be {', '.join(choices[:-1])} or {choices[-1]}, not {out_format!r}")
    out, src_fmt = _registry.get(out_format), _registry.get(src_format)
    # The byte order of the store's file where the two formats default alike, else the output's default.
    out_order = _layout.order(byteorder) or (src_order if out.native_default_order == src_fmt.native_default_order
                                              else out.default_byteorder)
    if len(out.sample_formats) > 1:
        code = sample_format if sample_format is not None else \
            src_code if src_code in out.sample_formats else out.sample_formats[0]
        if code not in out.sample_formats:
            raise ValueError(f"sample_format must be one of {sorted(out.sample_formats)}, not {code!r}")
    elif sample_format is not None:
        chooser = next(f for f in _registry.FORMATS if len(f.sample_formats) > 1)
        raise ValueError(f"sample_format is for {chooser.title} (format={chooser.name!r})")
    else:
        code = out.sample_formats[0]
    ns, dt = int(attrs["ns"]), int(attrs["dt"])
    index = np.asarray(group["trace_index"][...])
    n = int((index >= 0).sum())
    if not np.array_equal(np.sort(index[index >= 0]), np.arange(n)):
        raise ValueError(f"{os.fspath(store)}: its trace_index does not number the traces 0 to {n - 1} once each")
    if n != int(attrs["n_traces"]):
        raise ValueError(f"{os.fspath(store)}: {n} traces in trace_index, {attrs['n_traces']} in its attributes")
    if out.counted and n > 2 ** 31 - 1:
        raise ValueError(f"a {out.title} file holds at most {2 ** 31 - 1} traces, not {n}")
    width = _width(code)
    trace_size = HEADER + ns * width
    residue_z = group["vondrel/ibm_residue"] if "ibm_residue" in group["vondrel"] else None
    name = os.fspath(dest)
    tmp = _temporary(name)
    try:
        target0 = Target(tmp, out_format, out_order, code, ns, dt, 0, trace_size, src_format, src_order,
                         residue_z is not None and code == 1, os.fspath(store))
        prefix = _prefix_for(group, target0, n)
        target = target0._replace(start=len(prefix))
        fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
        try:
            os.ftruncate(fd, len(prefix) + n * trace_size)
            pwrite_all(fd, prefix, 0)
        finally:
            os.close(fd)
        samples_z = group["samples"]
        arrays = (samples_z, group["trace_headers"], residue_z)
        grid = tuple(samples_z.metadata.chunks[:-1])
        run("vondrel-write", [functools.partial(write_block, target, arrays, block, index[block])
                              for block in blocks(index.shape, grid)], "to file" if progress else None)
        if fsync:
            _fsync(tmp)
        replace(tmp, name)
        if fsync:
            _fsync(os.path.dirname(os.path.abspath(name)))
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(tmp)
        raise


def is_store_path(path: str) -> bool:
    """Whether a command-line name means a Zarr store: a .zarr suffix."""
    return os.path.basename(os.path.normpath(path)).lower().endswith(".zarr")
