"""vondrel.open: a trace file held open for random access, header columns
at memory speed, and edits in place.

Header fields are read through a map of the file (read-only for "r",
shared and writable for "r+", where the system maps the file; positioned
reads otherwise): they are small and revisited, so their pages are faulted
in once per handle.  Samples, the bulk of a file, read once, come with
positioned reads straight into the result.  The bytes move in the native
module (vondrel._arrays) without the interpreter lock, so that threads
sharing one handle for reading use several cores.  Every result is a new
array: nothing handed out refers to the map, so a result outlives the
handle and never sees the file change under it.

A file that shrinks: before each access to the map the file's size is
taken (fstat), and an access to bytes the file no longer holds raises
OSError; a positioned read that comes back short says the same.  What
remains is the window between the check and an access to the map: a file
truncated by another process inside it makes the system kill this one
(SIGBUS), as it would any program that maps the file."""
from __future__ import annotations

import mmap
import os
import stat
import threading
from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from vondrel import _arrays, _geometry, _registry, _sinks
from vondrel._layout import (FORMAT_NAMES, NATIVE, SAMPLE_FORMAT_NAMES, SAMPLE_FORMATS, narrowed, narrowing_may_round,
                             warn_rounded)
from vondrel._messages import CANNOT_HOLD, CLOSED, DTYPE, NO_FIELD, NO_FORM
from vondrel._plan import HEADER_SIZE, Plan, plan

if TYPE_CHECKING:
    from vondrel._gather import Gather

__all__ = ["File", "open"]

# format code -> the NumPy type of its samples as stored (IBM floats as float32)
_STORED = {code: stored for code, (_, stored) in SAMPLE_FORMATS.items()}
_LAYOUT_FIELDS = ("ns",)       # header fields that say where the next trace begins
_READ_ONLY = "{path}: the handle is open for reading; open it with mode 'r+' to edit"
_OUT_OF_RANGE = "trace index {index} is out of range for {n} traces"
_SELECTOR = "traces are selected by an int, a slice, a sequence of ints or a boolean mask, not {what}"
_LAYOUT_FIELD = "header field {name} cannot be changed through the handle: it gives the traces' layout in the file"


def _not_random_access(name: str) -> ValueError:
    return ValueError(f"{name}: vondrel.open needs a regular file (random access); read a stream or a pipe "
                      "with vondrel.traces or vondrel.read")


def _open_descriptor(path: object, mode: str) -> tuple[str, int]:
    """(name, descriptor) of a regular file opened for `mode`; a pipe,
    device or directory is refused before anything blocks on it."""
    if not isinstance(path, (str, bytes, os.PathLike)):
        if hasattr(path, "read") or hasattr(path, "write"):
            raise TypeError("vondrel.open takes a path, not a file object; read a stream or a pipe with "
                            "vondrel.traces or vondrel.read")
        raise TypeError(f"vondrel.open takes a path, not {type(path).__name__}")
    name = os.fsdecode(path)
    flags = (os.O_RDWR if mode == "r+" else os.O_RDONLY) | os.O_CLOEXEC | os.O_NONBLOCK
    fd = os.open(path, flags)
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise _not_random_access(name)
        _sinks.refuse_output(fd, name)
        os.set_blocking(fd, True)
    except BaseException:
        os.close(fd)
        raise
    return name, fd


def _word_kinds(dtype: np.dtype) -> bytes:
    """For each 4-byte word of a 240-byte header, how its byte order
    changes: 4 one 4-byte field, 2 two 2-byte fields, 1 raw bytes."""
    kinds = bytearray(HEADER_SIZE // 4)
    for name in dtype.names:
        field, at = dtype.fields[name][:2]
        width = 1 if field.kind == "V" else field.itemsize
        for word in range(at // 4, (at + field.itemsize + 3) // 4):
            kinds[word] = width
    return bytes(kinds)

# Consecutive traces of at most _BULK_STRIDE bytes, _BULK_MIN bytes of them
# or more, have their headers read in pieces of _BULK_BYTES (see File._bulk).
_BULK_STRIDE = 16 << 10
_BULK_MIN = 4 << 20
_BULK_BYTES = 1 << 20
# From this many bytes of traces on, a bulk read is shared with a second thread.
_BULK_SHARED = 64 << 20


class _Where:
    """The traces of a selection as the native functions take them: (base,
    stride, offsets, index, n); `k` the count, `single` for an int, and
    either `index` (the traces, in the order selected) or `first` (the
    first of k consecutive traces)."""
    __slots__ = ("args", "k", "single", "index", "first")

    def __init__(self, args: tuple, k: int, single: bool, index: np.ndarray | None, first: int = 0) -> None:
        self.args, self.k, self.single, self.index, self.first = args, k, single, index, first

    def trace(self, j: int) -> int:
        return int(self.index[j]) if self.index is not None else self.first + j


def index_array(sel: Any, n: int) -> np.ndarray:
    """An int64 index array (0 .. n-1) of an index sequence or a mask."""
    a = np.asarray(sel)
    if a.dtype == bool:
        if a.shape != (n,):
            raise IndexError(f"a boolean mask selects from {n} traces, not {a.shape}")
        return np.flatnonzero(a).astype(np.int64, copy=False)
    if a.size == 0:
        return np.empty(0, np.int64)
    if a.ndim != 1 or a.dtype.kind not in "iu":
        raise IndexError(_SELECTOR.format(what=f"{a.dtype} of shape {a.shape}"))
    a = a.astype(np.int64)
    bad = (a < -n) | (a >= n)
    if bad.any():
        raise IndexError(_OUT_OF_RANGE.format(index=int(a[bad][0]), n=n))
    return np.where(a < 0, a + n, a)


class File(_geometry.Surveyed):
    """A trace file held open: `vondrel.open(path, mode)`.

    `len(f)` traces of `f.ns` samples (None when the traces differ), `f.dt`
    microseconds; `f.format`, `f.byteorder`, `f.sample_format` (SEG-Y's
    code; 5 for SU and collection files); SEG-Y's `f.text`, `f.binary`
    and `f.extended_text` (None, None, () otherwise).  `f.headers` and
    `f.samples` select traces by an int, a slice, a sequence of ints or a
    boolean mask, in the order given; `f.read(traces=...)` gives a Gather.
    In mode "r+" the same selections assign, in the file's byte order and
    sample format, writing exactly the bytes assigned.  Safe to share
    between threads for reading; pickles as its path and options.  A
    handle dropped without close() is closed as its last reference goes;
    a view kept (`f.headers`, `f.samples`) keeps it open."""

    def __init__(self, path: str | os.PathLike[str], mode: str = "r", *, format: str | None = None,
                 byteorder: str | None = None, ns: int | None = None, sample_format: int | None = None,
                 dims: Any = None) -> None:
        if mode not in ("r", "r+"):
            raise ValueError(f"mode must be 'r' or 'r+', not {mode!r}")
        self._closed = True
        self._map: mmap.mmap | None = None
        name, fd = _open_descriptor(path, mode)
        self._fd = fd
        try:
            size = os.fstat(fd).st_size
            if size:
                try:
                    self._map = mmap.mmap(fd, 0, access=mmap.ACCESS_WRITE if mode == "r+" else mmap.ACCESS_READ)
                except (OSError, ValueError):
                    self._map = None          # a file system that does not map: positioned reads
            self._plan = plan(path, format, byteorder, ns, sample_format, fd=fd, buffer=self._map)
        except BaseException:
            if self._map is not None:
                self._map.close()
            os.close(fd)
            raise
        self.path = name
        self.mode = mode
        self._options = {"format": format, "byteorder": byteorder, "ns": ns, "sample_format": sample_format,
                         "dims": dims}
        self._dims_request = dims
        self._write_lock = threading.Lock()
        self._closed = False
        _geometry.attach(self, dims)

    # ---- what the file is -------------------------------------------------------------

    # The views are made on each use and hold the handle, never the other
    # way round: nothing the handle holds refers back to it, so that a handle
    # dropped without close() is closed at once (by reference counting, not
    # at the collector's next pass), while a view kept keeps it open.

    @property
    def headers(self) -> Headers:
        """The trace headers, by field and by trace (see Headers)."""
        return Headers(self)

    @property
    def samples(self) -> Samples:
        """The samples, by trace (see Samples)."""
        return Samples(self)

    def __len__(self) -> int:
        return self._plan.n_traces

    @property
    def ns(self) -> int | None:
        return self._plan.ns

    @property
    def dt(self) -> int:
        return self._plan.dt

    @property
    def format(self) -> str:
        return self._plan.format

    @property
    def byteorder(self) -> str:
        return self._plan.byteorder

    @property
    def sample_format(self) -> int:
        return self._plan.sample_format

    @property
    def text(self) -> str | None:
        return self._plan.text

    @property
    def binary(self) -> np.ndarray | None:
        """SEG-Y's binary header, a read-only 0-d structured array in native
        order (the handle does not change the file headers)."""
        return self._plan.binary

    @property
    def extended_text(self) -> tuple[str, ...]:
        return self._plan.extended_text

    @property
    def plan(self) -> Plan:
        """Where the traces lie: the handle's plan of the file."""
        return self._plan

    @property
    def closed(self) -> bool:
        return self._closed

    def __repr__(self) -> str:
        p = self._plan
        ns = f"ns {p.ns}" if p.ns is not None else "ns varying" if p.n_traces else "no ns"
        state = "closed" if self._closed else f"mode {self.mode!r}"
        traces = f"{p.n_traces} trace{'' if p.n_traces == 1 else 's'}"
        samples = f"{SAMPLE_FORMAT_NAMES.get(p.sample_format, 'format')} ({p.sample_format})"
        return (f"<vondrel.File {self.path!r}: {traces}, {ns}, dt {p.dt} us, "
                f"{_registry.get(p.format).describe(p.byteorder)}, {samples}, {state}>")

    # ---- life -------------------------------------------------------------------------

    def __enter__(self) -> File:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def flush(self) -> None:
        """Writes the edits through to the file (the map synchronised, the
        descriptor fsynced); nothing to do in mode "r"."""
        if self._closed:
            raise ValueError(CLOSED)
        if self.mode == "r+":
            if self._map is not None:
                self._map.flush()
            os.fsync(self._fd)

    def close(self) -> None:
        """Flushes and fsyncs the edits (mode "r+"), then lets the file go.
        Closing twice does nothing."""
        if self._closed:
            return
        try:
            if self.mode == "r+":
                self.flush()
        finally:
            self._closed = True
            try:
                if self._map is not None:
                    self._map.close()
            finally:
                os.close(self._fd)

    def __del__(self) -> None:
        if not getattr(self, "_closed", True):
            self.close()

    def __reduce__(self) -> tuple[Any, ...]:
        return (_reopen, (self.path, self.mode, self._options))

    # ---- bytes ------------------------------------------------------------------------

    def _live(self) -> None:
        """Raises unless the handle is open and the file still holds every
        byte of its traces (a map read past the end of a shrunk file would
        kill the process)."""
        if self._closed:
            raise ValueError(CLOSED)
        size = os.fstat(self._fd).st_size
        if size < self._plan.end:
            raise OSError(f"{self.path}: the file shrank under the open handle: {size} bytes, where its "
                          f"traces need {self._plan.end}")

    def _editable(self) -> None:
        """Raises unless the handle is open for editing (mode "r+")."""
        if self._closed:
            raise ValueError(CLOSED)
        if self.mode != "r+":
            raise ValueError(_READ_ONLY.format(path=self.path))

    def _where(self, sel: Any) -> _Where:
        """The traces that `sel` (int, slice, range, index sequence, mask;
        None: all) selects."""
        p = self._plan
        n = p.n_traces
        offsets = p.trace_offsets
        if sel is None:
            return _Where((p.data_offset, p.trace_size or 0, offsets, None, n), n, False, None)
        if isinstance(sel, (int, np.integer)) and not isinstance(sel, bool):
            i = int(sel)
            if not -n <= i < n:
                raise IndexError(_OUT_OF_RANGE.format(index=i, n=n))
            i %= n
            if offsets is None:
                return _Where((p.data_offset + i * p.trace_size, p.trace_size, None, None, 1), 1, True, None, i)
            return _Where((0, 0, offsets[i:i + 2], None, 1), 1, True, None, i)
        if isinstance(sel, range):
            sel = slice(sel.start, sel.stop, sel.step)
        if isinstance(sel, slice):
            start, stop, step = sel.indices(n)
            if step == 1:
                k = max(0, stop - start)
                if offsets is None:
                    return _Where((p.data_offset + start * (p.trace_size or 0), p.trace_size or 0, None, None, k), k,
                                  False, None, start)
                return _Where((0, 0, offsets[start:start + k + 1], None, k), k, False, None, start)
            index = np.arange(start, stop, step, dtype=np.int64)
        elif isinstance(sel, (str, bytes)):
            raise IndexError(_SELECTOR.format(what=type(sel).__name__))
        else:
            index = index_array(sel, n)
        return _Where((p.data_offset, p.trace_size or 0, offsets, index, n), len(index), False, index)

    def _ns_of(self, where: _Where) -> np.ndarray:
        """The sample counts of the selected traces (traces that differ in ns)."""
        p = self._plan
        assert p.trace_offsets is not None
        sizes = (np.diff(p.trace_offsets) - HEADER_SIZE) // p.width
        if where.index is not None:
            return sizes[where.index]
        return sizes[where.first:where.first + where.k]

    def _fields(self, names: Sequence[str], where: _Where, out: np.ndarray, places: Sequence[int]) -> None:
        """Gathers fields `names` of the selected traces into `out` (a
        column, or a structured array whose fields sit at `places`)."""
        p = self._plan
        swap = p.byteorder != NATIVE
        dtype = p.header_dtype
        fields = []
        for name, place in zip(names, places):
            field, at = dtype.fields[name][:2]
            fields.append((at, field.itemsize, swap and field.kind != "V", place))
        row = out.dtype.itemsize
        self._live()
        if self._bulk(where):
            def part(lo: int, hi: int) -> None:
                for j, m, staged in self._blocks(where, lo, hi):
                    _arrays._h_fields(staged, 0, where.args[1], None, None, m, tuple(fields), out[j:j + m], row)
            self._shared(where, part)
            return
        if self._map is not None:
            _arrays._h_fields(self._map, *where.args, tuple(fields), out, row)
            return
        end = max(s[0] + s[1] for s in fields)
        staged = bytearray(where.k * end)
        _arrays._h_pread(self._fd, *where.args, 0, end, staged)
        _arrays._h_fields(staged, 0, end, None, None, where.k, tuple(fields), out, row)

    def _bulk(self, where: _Where) -> bool:
        """Whether the headers of a selection are better read with the
        traces between them: many consecutive traces of a few kB each, whose
        headers sit about one to a page.  Reading them through the map then
        costs a page fault a trace; one positioned read of a megabyte of
        traces costs a copy, four to five times less (and the disk reads
        every page of such traces either way)."""
        base, stride, offsets, index, _ = where.args
        return offsets is None and index is None and 0 < stride <= _BULK_STRIDE and where.k * stride >= _BULK_MIN

    def _shared(self, where: _Where, part: Any) -> None:
        """Runs part(lo, hi) over the selection's traces lo .. hi-1, all of
        them: on this thread, or for a long bulk read half on a second one
        (the reads and the native conversions release the interpreter
        lock, so a planning scan of a big file takes two cores where it has
        them).  The first failure is raised once both halves have stopped."""
        k = where.k
        if k < 2 or k * where.args[1] < _BULK_SHARED:
            part(0, k)
            return
        from concurrent.futures import ThreadPoolExecutor
        with ThreadPoolExecutor(1) as pool:
            other = pool.submit(part, k // 2, k)
            part(0, k // 2)             # raising, the pool still waits for the other half
            other.result()

    def _blocks(self, where: _Where, lo: int = 0, hi: int | None = None) -> Iterator[tuple[int, int, bytearray]]:
        """(j, m, staged): the selection's consecutive traces j .. j+m-1
        (from lo to hi, by default all) read whole into `staged` (one
        buffer, reused) by positioned reads."""
        base, stride = where.args[0], where.args[1]
        hi = where.k if hi is None else hi
        per = max(1, _BULK_BYTES // stride)
        staged = bytearray(max(1, min(per, hi - lo)) * stride)
        view = memoryview(staged)
        for j in range(lo, hi, per):
            m = min(per, hi - j)
            want, got = m * stride, 0
            while got < want:
                n = os.preadv(self._fd, [view[got:want]], base + j * stride + got)
                if n == 0:
                    self._live()          # a shrunk file says so in the handle's words
                    raise OSError(f"{self.path}: trace {where.trace(j + got // stride)} at byte offset "
                                  f"{base + (j + got // stride) * stride} is cut short: the file changed "
                                  "after it was opened")
                got += n
            yield j, m, staged

    def _rows(self, where: _Where) -> np.ndarray:
        p = self._plan
        out = np.empty(where.k, p.header_dtype)
        kinds = _word_kinds(p.header_dtype) if p.byteorder != NATIVE else None
        self._live()
        if self._bulk(where):
            for j, m, staged in self._blocks(where):
                _arrays._h_rows(staged, 0, where.args[1], None, None, m, kinds, out[j:j + m])
        elif self._map is not None:
            _arrays._h_rows(self._map, *where.args, kinds, out)
        else:
            staged = bytearray(where.k * HEADER_SIZE)
            _arrays._h_pread(self._fd, *where.args, 0, HEADER_SIZE, staged)
            _arrays._h_rows(staged, 0, HEADER_SIZE, None, None, where.k, kinds, out)
        return out

    def _samples(self, where: _Where, stored: bool) -> tuple[np.ndarray, np.ndarray | None]:
        """(flat samples of the selected traces back to back, their n + 1
        boundaries, or None when every trace has the file's one ns).

        Samples come with positioned reads, not through the map: they are
        the bulk of a file and are read once, so a read that copies them
        straight into the result beats faulting the file's pages into this
        process, and a file cut short is a short read, never a SIGBUS."""
        p = self._plan
        # float32 of values it may hold inexactly: read as stored, then narrowed
        narrow = not stored and narrowing_may_round(p.sample_format)
        stored = stored or narrow
        item = np.dtype(NATIVE + _STORED[p.sample_format]) if stored else np.dtype(np.float32)
        big = p.byteorder == ">"
        if p.ns is not None:
            flat = np.empty(where.k * p.ns, item)
            bounds = None
            ns = p.ns
        else:
            counts = self._ns_of(where)
            bounds = np.zeros(where.k + 1, np.int64)
            np.cumsum(counts, out=bounds[1:])
            flat = np.empty(int(bounds[-1]), item)
            ns = -1
        if self._closed:
            raise ValueError(CLOSED)
        try:
            _arrays._h_psamples(self._fd, *where.args, ns, p.sample_format, big, not stored, flat)
        except OSError:
            self._live()          # a file cut short says so in the handle's words
            raise
        if narrow:
            flat, rounded = narrowed(flat)
            if rounded:
                warn_rounded(self.path, p.sample_format)
        return flat, bounds

    def _put(self, where: _Where, at: int, width: int, data: bytes | np.ndarray) -> None:
        """Writes `width` bytes a trace (data: k * width, in the file's order)
        at `at` bytes into each selected trace."""
        self._editable()
        with self._write_lock:
            self._live()
            self._delay = None             # the traces' delay that a scan noted (see _geometry) may change
            if self._map is not None:
                _arrays._h_put(self._map, *where.args, at, width, data)
            else:
                _arrays._h_pwrite(self._fd, *where.args, at, width, data)

    def _refresh_dt(self) -> None:
        """After a header edit: the interval, where it is the first trace's."""
        p = self._plan
        if p.dt_from_trace and p.n_traces:
            dt = int(self._column("dt", self._where(0))[0])
            if dt != p.dt:
                import dataclasses
                self._plan = dataclasses.replace(p, dt=dt)

    def _column(self, name: str, where: _Where) -> np.ndarray:
        dtype = self._plan.header_dtype
        if name not in dtype.names:
            raise KeyError(NO_FIELD.format(name=name, title=_registry.get(self.format).title))
        out = np.empty(where.k, dtype.fields[name][0])
        self._fields((name,), where, out, (0,))
        return out

    # ---- whole traces -----------------------------------------------------------------

    def read(self, traces: Any = None, *, samples: bool = True, dtype: str | None = None) -> Gather:
        """The selected traces (all by default; any selector of `f.samples`)
        as a Gather, as vondrel.read gives it: a SegyGather for SEG-Y.
        `samples=False` reads the headers only; `dtype="stored"` keeps the
        samples in the type the file stores."""
        if dtype not in (None, "float32", "stored"):
            raise ValueError(DTYPE.format(dtype=dtype))
        p = self._plan
        where = self._where(traces)
        if where.single:
            where = self._where([int(traces)])
        headers = self._rows(where)
        if samples:
            flat, bounds = self._samples(where, dtype == "stored")
            if bounds is None:
                bounds = np.arange(where.k + 1, dtype=np.int64) * p.ns
        else:
            flat = None
            bounds = np.zeros(where.k + 1, np.int64)
            np.cumsum(self._ns_of(where) if self.ns is None else np.full(where.k, self.ns), out=bounds[1:])
        return _registry.get(p.format).gather(headers, flat, bounds, p.byteorder, p.layout)


def _reopen(path: str, mode: str, options: dict[str, Any]) -> File:
    return File(path, mode, **options)


class Headers:
    """The trace headers of an open file, by field and by trace.

    `h[name]` one field of every trace, `h[[names]]` several (a structured
    array), `h[sel]` whole headers (a structured array in the file's header
    layout, native order), `h[name, sel]` and `h[[names], sel]` of some
    traces.  In mode "r+" each form assigns: a scalar or one value per
    trace for a field, header rows for whole headers."""
    __slots__ = ("_file",)

    def __init__(self, file: File) -> None:
        self._file = file

    def __len__(self) -> int:
        return len(self._file)

    @property
    def dtype(self) -> np.dtype:
        """The native-order dtype of one whole header."""
        return self._file._plan.header_dtype

    def keys(self) -> tuple[str, ...]:
        return tuple(self.dtype.names)

    def _split(self, key: Any) -> tuple[list[str] | str | None, Any]:
        """(a field name, a list of names or None, trace selection) of a key."""
        if _is_names(key):
            return list(key), None
        if isinstance(key, tuple) and len(key) == 2 and (isinstance(key[0], str) or _is_names(key[0])):
            return (key[0] if isinstance(key[0], str) else list(key[0])), key[1]
        if isinstance(key, str):
            return key, None
        return None, key

    def _check_names(self, names: list[str]) -> None:
        dtype = self.dtype
        for name in names:
            if name not in dtype.names:
                raise KeyError(NO_FIELD.format(name=name, title=_registry.get(self._file.format).title))

    def __getitem__(self, key: Any) -> Any:
        f = self._file
        names, sel = self._split(key)
        where = f._where(sel)
        if names is None:
            rows = f._rows(where)
            return rows[0] if where.single else rows
        if isinstance(names, str):
            out = f._column(names, where)
            return out[0] if where.single else out
        self._check_names(names)
        dtype = self.dtype
        packed = np.dtype([(name, dtype.fields[name][0]) for name in names])
        out = np.empty(where.k, packed)
        f._fields(names, where, out, [packed.fields[name][1] for name in names])
        return out[0] if where.single else out

    def __setitem__(self, key: Any, value: Any) -> None:
        f = self._file
        f._editable()
        names, sel = self._split(key)
        where = f._where(sel)
        if names is None:
            self._put_rows(where, value)
        elif isinstance(names, str):
            self._put_field(names, where, value)
        else:
            self._check_names(names)
            value = np.asarray(value)
            if value.dtype.names is None:
                raise TypeError("several fields take a structured array (or a record) with those fields")
            checked = [(name, self._encoded(name, value[name], where.k)) for name in names]
            for name, raw in checked:
                at, width = self.dtype.fields[name][1], self.dtype.fields[name][0].itemsize
                f._put(where, at, width, raw)
        f._refresh_dt()

    def _encoded(self, name: str, value: Any, k: int) -> np.ndarray:
        """`value` (a scalar or k values) as field `name` in the file's byte
        order; ValueError naming the field for a value it cannot hold."""
        if name in _LAYOUT_FIELDS:
            raise ValueError(_LAYOUT_FIELD.format(name=name))
        field = self.dtype.fields[name][0]
        order = self._file.byteorder
        a = np.asarray(value)
        if a.shape not in ((), (k,), (1,)):
            raise ValueError(f"header field {name}: {k} traces selected, and {a.shape[0] if a.ndim else 1} "
                             f"values of shape {a.shape} given")
        if field.kind == "V":
            if a.dtype.kind == "V" and a.dtype.itemsize == field.itemsize:
                out = a.astype(field)
            elif a.dtype.kind == "S" and a.dtype.itemsize <= field.itemsize:
                out = a.astype(f"S{field.itemsize}").view(field)
            else:
                raise ValueError(f"header field {name} holds {field.itemsize} raw bytes, not {a.dtype}")
        elif field.kind in "iu":
            if a.dtype.kind not in "biuf":
                raise ValueError(f"header field {name} holds integers, not {a.dtype}")
            if a.dtype.kind == "f":
                bad = ~np.isfinite(a) | (a != np.trunc(a))
                if bad.any():
                    raise ValueError(CANNOT_HOLD.format(name=name, value=a[bad].flat[0], kind=field.name))
            info = np.iinfo(field)
            if a.size:
                low, high = a.min().item(), a.max().item()
                if low < info.min or high > info.max:
                    raise ValueError(CANNOT_HOLD.format(name=name, value=low if low < info.min else high,
                                                        kind=field.name))
            out = a.astype(field)
        else:
            if a.dtype.kind not in "biuf":
                raise ValueError(f"header field {name} holds floats, not {a.dtype}")
            with np.errstate(over="ignore"):
                out = a.astype(field)
            overflow = np.isinf(out) & np.isfinite(a)
            if overflow.any():
                raise ValueError(CANNOT_HOLD.format(name=name, value=a[overflow].flat[0], kind=field.name))
        out = np.ascontiguousarray(np.broadcast_to(out.reshape(-1) if out.ndim else out, (k,)))
        if field.kind != "V" and order != NATIVE:
            out = out.byteswap()
        return out

    def _put_field(self, name: str, where: _Where, value: Any) -> None:
        self._check_names([name])
        raw = self._encoded(name, value, where.k)
        at, width = self.dtype.fields[name][1], self.dtype.fields[name][0].itemsize
        self._file._put(where, at, width, raw)

    def _put_rows(self, where: _Where, value: Any) -> None:
        f = self._file
        dtype = self.dtype
        rows = np.asarray(value)
        if rows.dtype.names != dtype.names or rows.dtype.itemsize != HEADER_SIZE:
            raise ValueError(f"whole headers take rows of the file's header dtype (f.headers.dtype, "
                             f"{_registry.get(f.format).title} fields), not {rows.dtype}")
        if rows.shape not in ((), (where.k,), (1,)):
            raise ValueError(f"{where.k} traces selected, and {rows.shape} header rows given")
        rows = np.ascontiguousarray(np.broadcast_to(rows.reshape(-1) if rows.ndim else rows, (where.k,)))
        file_dtype = dtype.newbyteorder(f.byteorder) if f.byteorder != NATIVE else dtype
        raw = rows.astype(file_dtype)
        for name in _LAYOUT_FIELDS:
            now = f._column(name, where)
            changed = now != rows[name]
            if changed.any():
                j = int(np.flatnonzero(changed)[0])
                raise ValueError(_LAYOUT_FIELD.format(name=name) + f" (row {j} says {rows[name][j]}, the file {now[j]})")
        f._put(where, 0, HEADER_SIZE, raw)


def _is_names(key: Any) -> bool:
    return isinstance(key, (list, tuple)) and len(key) > 0 and all(isinstance(k, str) for k in key)


class Samples:
    """The samples of an open file, by trace.

    `s[i]` one trace (ns,), `s[sel]` (k, ns) in the order selected, float32
    whatever the file stores; `s.read(sel, dtype="stored")` keeps the type
    the file stores (IBM floats as float32).  In mode "r+", `s[sel] = values`
    encodes in the file's sample format and byte order (IBM floats
    correctly rounded); a value the format cannot hold is a ValueError
    before anything is written."""
    __slots__ = ("_file",)

    def __init__(self, file: File) -> None:
        self._file = file

    def __len__(self) -> int:
        return len(self._file)

    def __getitem__(self, sel: Any) -> np.ndarray:
        f = self._file
        p = f._plan
        if isinstance(sel, (int, np.integer)) and not isinstance(sel, bool) and p.trace_size is not None \
                and -p.n_traces <= sel < p.n_traces and not f._closed and not narrowing_may_round(p.sample_format):
            # one trace of a file of one trace size: the common case, kept short
            out = np.empty(p.ns, np.float32)
            try:
                _arrays._h_psamples(f._fd, p.data_offset + int(sel) % p.n_traces * p.trace_size, p.trace_size, None,
                                    None, 1, p.ns, p.sample_format, p.byteorder == ">", True, out)
            except OSError:
                f._live()
                raise
            return out
        return self.read(sel)

    def read(self, sel: Any = None, dtype: str | None = None) -> np.ndarray:
        """The samples of the traces of `sel` (all by default): (ns,) for an
        int, else (k, ns); float32, or with dtype="stored" the stored type."""
        if dtype not in (None, "float32", "stored"):
            raise ValueError(DTYPE.format(dtype=dtype))
        f = self._file
        where = f._where(sel)
        flat, bounds = f._samples(where, dtype == "stored")
        if where.single:
            return flat
        if f.ns is not None:
            return flat.reshape(where.k, f.ns)
        assert bounds is not None
        lengths = np.diff(bounds)
        if len(lengths) and (lengths != lengths[0]).any():
            j = int(np.flatnonzero(lengths != lengths[0])[0])
            raise ValueError(f"{f.path}: the selected traces differ in ns ({lengths[0]} and {lengths[j]}); "
                             "read them with f.read(traces=...), whose .flat and .offsets hold any lengths")
        return flat.reshape(where.k, int(lengths[0]) if len(lengths) else 0)

    def __setitem__(self, sel: Any, value: Any) -> None:
        f = self._file
        p = f._plan
        f._editable()
        where = f._where(sel)
        if p.ns is not None:
            ns = p.ns
        else:
            counts = f._ns_of(where)
            if len(counts) and (counts != counts[0]).any():
                raise ValueError(f"{f.path}: the selected traces differ in ns; assign them one at a time")
            ns = int(counts[0]) if len(counts) else 0
        stored = np.dtype(NATIVE + _STORED[p.sample_format])
        a = np.asarray(value)
        want = (ns,) if where.single else (where.k, ns)
        try:
            a = np.broadcast_to(a, want)
        except ValueError:
            raise ValueError(f"{where.k} traces of {ns} samples selected, and samples of shape {a.shape} "
                             "given") from None
        values = _stored_values(a, stored, p.sample_format)
        raw = np.empty(values.size * p.width, np.uint8)
        bad = _arrays._h_encode(values, values.size, p.sample_format, p.byteorder == ">", raw)
        if bad >= 0:
            j, s = divmod(bad, max(ns, 1))
            trace = where.trace(j)
            raise ValueError(NO_FORM.format(trace=trace, sample=s, value=values.flat[bad],
                                            what=FORMAT_NAMES[p.sample_format]))
        f._put(where, HEADER_SIZE, ns * p.width, raw)


def _stored_values(a: np.ndarray, stored: np.dtype, code: int) -> np.ndarray:
    """Samples as the contiguous array of the format's stored type;
    ValueError for a value that the type cannot hold (an integer format
    takes whole numbers in its range only; a float too large for float32
    has no float32 form)."""
    if a.dtype.kind not in "biuf":
        raise ValueError(f"samples are numbers, not {a.dtype}")
    if stored.kind in "iu":
        if a.dtype.kind == "f":
            bad = ~np.isfinite(a) | (a != np.trunc(a))
            if bad.any():
                raise ValueError(f"sample format {code} holds whole numbers, not {a[bad].flat[0]}")
        info = np.iinfo(stored)
        if code in (7, 15):           # 24-bit integers
            lo, hi = (-(1 << 23), (1 << 23) - 1) if code == 7 else (0, (1 << 24) - 1)
        else:
            lo, hi = info.min, info.max
        if a.size:
            low, high = a.min().item(), a.max().item()
            if low < lo or high > hi:
                v = low if low < lo else high
                raise ValueError(f"sample format {code} cannot hold {v}")
        return np.ascontiguousarray(a, dtype=stored)
    with np.errstate(over="ignore"):
        out = np.ascontiguousarray(a, dtype=stored)
    overflow = np.isinf(out) & np.isfinite(a)
    if overflow.any():
        raise ValueError(f"sample format {code} cannot hold {a[overflow].flat[0]}")
    return out


def open(path: str | os.PathLike[str], mode: str = "r", *, format: str | None = None,
         byteorder: str | None = None, ns: int | None = None, sample_format: int | None = None,
         dims: Any = None) -> File:
    """Opens a trace file (SU in either byte order, a collection file, or
    SEG-Y) for random access: mode "r" (read) or "r+" (read and edit in
    place).  `format=` and `byteorder=` decide where detection cannot, as in
    vondrel.read; `ns=` and `sample_format=` override a SEG-Y binary
    header's.  Streams and pipes are refused: read them with vondrel.traces
    or vondrel.read."""
    return File(path, mode, format=format, byteorder=byteorder, ns=ns, sample_format=sample_format, dims=dims)
