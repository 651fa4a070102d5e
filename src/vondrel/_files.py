"""Whole trace files as NumPy arrays: Seismic Unix files in either byte
order and collection files, read into a Gather and written back.

The policy lives here (what a file is, what to check, the Gather class);
the bytes move in the native module vondrel._arrays, without the
interpreter lock."""
from __future__ import annotations

import contextlib
import functools
import io
import os
import struct
import sys
from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING, NamedTuple

import numpy as np

from vondrel import _arrays

if TYPE_CHECKING:
    import xarray

__all__ = ["Gather", "Probe", "read", "write", "probe", "header_dtype", "header", "from_collection"]

HEADER_SIZE = 240
NATIVE = "<" if sys.byteorder == "little" else ">"
_ORDER_NAMES = {"<": "little-endian", ">": "big-endian"}
_FORMAT_NAMES = {"su": "SU", "collection": "collection", "segy": "SEG-Y"}

# The header fields in file order, with their NumPy kinds; `unass` is the
# unassigned tail, carried as raw bytes.
_FIELDS = (
    *[(n, "i4") for n in ("tracl", "tracr", "fldr", "tracf", "ep", "cdp", "cdpt")],
    *[(n, "i2") for n in ("trid", "nvs", "nhs", "duse")],
    *[(n, "i4") for n in ("offset", "gelev", "selev", "sdepth", "gdel", "sdel", "swdep", "gwdep")],
    *[(n, "i2") for n in ("scalel", "scalco")],
    *[(n, "i4") for n in ("sx", "sy", "gx", "gy")],
    *[(n, "i2") for n in ("counit", "wevel", "swevel", "sut", "gut", "sstat", "gstat", "tstat",
                          "laga", "lagb", "delrt", "muts", "mute")],
    ("ns", "u2"), ("dt", "u2"),
    *[(n, "i2") for n in ("gain", "igc", "igi", "corr", "sfs", "sfe", "slen", "styp", "stas", "stae",
                          "tatyp", "afilf", "afils", "nofilf", "nofils", "lcf", "hcf", "lcs", "hcs",
                          "year", "day", "hour", "minute", "sec", "timbas", "trwf", "grnors", "grnofr",
                          "grnlof", "gaps", "otrav")],
    *[(n, "f4") for n in ("d1", "f1", "d2", "f2", "ungpow", "unscale")],
    ("ntr", "i4"), ("mark", "i2"), ("shortpad", "i2"),
    ("unass", "V28"),
)
_OFFSETS = {}
_at = 0
for _name, _kind in _FIELDS:
    _OFFSETS[_name] = _at
    _at += np.dtype(_kind).itemsize
assert _at == HEADER_SIZE and _OFFSETS["ns"] == 114 and _OFFSETS["ntr"] == 204
del _at, _name, _kind


def _order(byteorder: str | None, default: str | None = None) -> str | None:
    """"<" or ">" for a byte order argument ("=" is this machine's), or the default for None."""
    if byteorder is None:
        return default
    if byteorder == "=":
        return NATIVE
    if byteorder in ("<", ">"):
        return byteorder
    raise ValueError(f"byteorder must be '<', '>' or '=', not {byteorder!r}")


@functools.cache
def _dtype(order: str, names: tuple[tuple[str, str], ...]) -> np.dtype:
    return np.dtype({"names": [n for n, _ in names],
                     "formats": [k if k.startswith("V") else order + k for _, k in names],
                     "offsets": [_OFFSETS[n] for n, _ in names], "itemsize": HEADER_SIZE})


def header_dtype(byteorder: str = "=") -> np.dtype:
    """The 240-byte trace header as a structured dtype: every field by its
    name at its byte offset, in the given byte order, and the 28 unassigned
    bytes as `unass`."""
    return _dtype(_order(byteorder), _FIELDS)


# What vondrel.header() shows: everything but ns, which only the samples set.
_VIEW_FIELDS = tuple(f for f in _FIELDS if f[0] != "ns")


def header(trace: object) -> np.ndarray:
    """A writable 0-d structured array over the header of one SEGYTrace:
    assigning a field changes the trace itself.  The view holds an export of
    the trace, so trace and record live as long as it does.  Bytes 114-115
    (ns) have no name: the samples decide it (read trace.ns)."""
    return np.ndarray((), dtype=_dtype(NATIVE, _VIEW_FIELDS), buffer=_arrays.header_bytes(trace))


# ---- the arrays ---------------------------------------------------------------------------


class Gather:
    """Traces as arrays: `headers` (one row per trace, native order), the
    samples back to back in `flat` with the n + 1 trace boundaries in
    `offsets`, and `samples`, the (n, ns) view when every trace has one ns.
    `format` and `byteorder` say what the file was."""

    __slots__ = ("headers", "flat", "offsets", "format", "byteorder", "_rows")

    def __init__(self, headers: np.ndarray, flat: np.ndarray | None, offsets: np.ndarray,
                 format: str = "su", byteorder: str = NATIVE) -> None:
        self.headers = headers
        self.flat = flat
        self.offsets = offsets
        self.format = format
        self.byteorder = byteorder
        self._rows: tuple[object, object, np.ndarray] | None = None   # (flat, offsets, samples) last made

    def __len__(self) -> int:
        return len(self.headers)

    def __repr__(self) -> str:
        return (f"<vondrel.Gather: {len(self)} traces, {_FORMAT_NAMES.get(self.format, self.format)} "
                f"{_ORDER_NAMES[self.byteorder]}>")

    @property
    def samples(self) -> np.ndarray:
        """The samples as an (n, ns) float32 array (a view of `flat`);
        ValueError when the traces differ in ns."""
        flat = self._flat()
        if self._rows is not None and self._rows[0] is flat and self._rows[1] is self.offsets:
            return self._rows[2]
        n = len(self.offsets) - 1
        if n == 0:
            return flat.reshape(0, 0)
        lengths = np.diff(self.offsets)
        differ = np.flatnonzero(lengths != lengths[0])
        if len(differ):
            i = int(differ[0])
            raise ValueError(f"trace {i} has {lengths[i]} samples where trace 0 has {lengths[0]}: "
                             "the traces differ in length; use .flat and .offsets")
        rows = flat.reshape(n, int(lengths[0]))
        self._rows = (flat, self.offsets, rows)
        return rows

    def _flat(self) -> np.ndarray:
        if self.flat is None:
            raise ValueError("the samples were not read (samples=False)")
        return self.flat

    def to_collection(self) -> object:
        """A SEGY in memory whose traces share the rows of `samples` (or the
        pieces of `flat`), with their headers copied from `headers`."""
        from vondrel.segy import SEGY

        flat = self._flat()
        lengths = np.diff(self.offsets)
        if len(lengths) and (lengths == lengths[0]).all():
            rows = self.samples
        else:
            rows = [flat[a:b] for a, b in zip(self.offsets[:-1].tolist(), self.offsets[1:].tolist())]
        collection = SEGY(rows, 0)
        _arrays.copy_headers(collection, np.ascontiguousarray(self._su_headers(), dtype=header_dtype()))
        return collection

    def _su_headers(self) -> np.ndarray:
        """The header rows in the Seismic Unix layout."""
        return self.headers

    def to_xarray(self) -> xarray.Dataset:
        """The gather as an xarray Dataset: samples on the dimensions trace and
        time (seconds), every header field a coordinate along trace."""
        from vondrel._xarray import to_xarray
        return to_xarray(self)


def _gather(blocks: tuple, format: str, byteorder: str) -> Gather:
    headers, flat, offsets = blocks[:3]
    return Gather(np.frombuffer(headers, dtype=header_dtype()),
                  None if flat is None else np.frombuffer(flat, dtype=np.float32),
                  np.frombuffer(offsets, dtype=np.int64), format, byteorder)


def from_collection(traces: object) -> Gather:
    """The headers and samples of every trace of a SEGY (any mode) or a
    trace iterator, as a Gather in native order."""
    disk = _arrays.on_disk(traces)
    if disk is None:
        return _gather(_arrays.gather(traces), "collection", NATIVE)
    # Read here what the collection's own iteration would read: from a path,
    # the traces after the count; from a stream, the traces from where it
    # stands (after the count that SEGY.from_file took).
    filename, n = disk
    start = 4 if isinstance(filename, (str, bytes, os.PathLike)) else 0
    with _Source(filename) as src:
        reading = _Reading("collection", NATIVE, start, n, None)
        src.head = src.head if src.size is not None else src.read_ahead(start)
        return _read_fit(src, _Fit(reading, True, n, start, "", 0.0, False, None), None, True, False)


# ---- sources --------------------------------------------------------------------------------


class _Source:
    """Where bytes come from: a path (opened here, closed on every path), a
    binary file object or a stream.  `fd` is a descriptor for positioned
    reads when the object has one and can seek; `size` the bytes from the
    starting position to the end, when known."""

    def __init__(self, source: object) -> None:
        self.opened = None
        if isinstance(source, (str, bytes, os.PathLike)):
            self.name = os.fsdecode(source)
            self.opened = self.file = open(source, "rb", buffering=0)
        else:
            if isinstance(source, io.TextIOBase) or not hasattr(source, "read"):
                raise TypeError(f"a path or a binary file object is required, not {type(source).__name__}")
            self.file = source
            name = getattr(source, "name", None)
            self.name = name if isinstance(name, str) else "<stream>"
        self.fd: int | None = None
        self.start = 0
        self.size: int | None = None
        self.head = b""          # bytes read ahead from a stream
        with _closed_on_error(self.opened):
            self.seekable = _seekable(self.file)
            if self.seekable:
                self.start = self.file.tell()
                try:
                    self.fd = self.file.fileno()
                except (OSError, AttributeError, ValueError):
                    self.fd = None
                if self.fd is not None:
                    self.size = os.fstat(self.fd).st_size - self.start
                else:
                    self.size = self.file.seek(0, io.SEEK_END) - self.start
                    self.file.seek(self.start)

    def __enter__(self) -> _Source:
        return self

    def __exit__(self, *exc: object) -> None:
        if self.opened is not None:
            self.opened.close()

    def pread(self, offset: int, n: int) -> bytes:
        """Up to n bytes at `offset` from the start (seekable sources)."""
        if self.fd is not None:
            return os.pread(self.fd, n, self.start + offset)
        self.file.seek(self.start + offset)
        return self.file.read(n) or b""

    def read_ahead(self, n: int) -> bytes:
        """The first n bytes of a stream (fewer at its end), kept in `head`."""
        while len(self.head) < n:
            more = self.file.read(n - len(self.head))
            if not more:
                break
            self.head += more
        return self.head

    def scan(self, offset: int, swap: bool, limit: int) -> tuple[int, int, int]:
        """(complete traces, their end, their samples) walking the headers from `offset`."""
        if self.fd is not None:
            return _arrays.scan(self.fd, self.start + offset, self.size - offset, swap, limit)
        n = samples = 0
        pos = offset
        code = (">" if (NATIVE == "<") == swap else "<") + "H"
        while (limit < 0 or n < limit) and pos + HEADER_SIZE <= self.size:
            ns = struct.unpack(code, self.pread(pos + 114, 2))[0]
            if pos + HEADER_SIZE + 4 * ns > self.size:
                break
            pos += HEADER_SIZE + 4 * ns
            samples += ns
            n += 1
        return n, pos - offset, samples


def _seekable(f: object) -> bool:
    try:
        return bool(f.seekable())
    except (AttributeError, OSError, ValueError):
        return False


@contextlib.contextmanager
def _closed_on_error(opened: io.RawIOBase | None) -> Iterator[None]:
    """Closes `opened` (a file opened here, or None) when the block raises:
    a constructor that fails after opening returns no object to close it."""
    try:
        yield
    except BaseException:
        if opened is not None:
            opened.close()
        raise


# ---- what a file is -------------------------------------------------------------------------


class _Reading(NamedTuple):
    """One way to read the bytes: traces back to back from `start`, `count`
    of them when the format says so, the first with `ns` samples."""
    format: str
    byteorder: str
    start: int
    count: int | None
    ns: int | None


class _Fit(NamedTuple):
    """How a reading fits: `tiles` when the traces end exactly where the
    data does; else `traces` complete ones end at byte `end` and `why` says
    what breaks there.  `score` is its plausibility, for ties."""
    reading: _Reading
    tiles: bool
    traces: int | None
    end: int
    why: str
    score: float
    uniform: bool
    samples: int | None


def _describe(r: _Reading) -> str:
    return f"{_FORMAT_NAMES.get(r.format, r.format)} {_ORDER_NAMES[r.byteorder]}"


def _plausibility(raw: bytes, order: str) -> float:
    """How much a header and the samples after it look like seismic data
    read in `order`: small trace numbers and coordinates, a sample interval
    below 32768 us, samples with ordinary float exponents (0 to 3; a trace
    with no samples shows no evidence)."""
    if len(raw) < HEADER_SIZE:
        return 0.0
    ints = np.concatenate([np.frombuffer(raw, order + "i4", 7, 0), np.frombuffer(raw, order + "i4", 8, 36),
                           np.frombuffer(raw, order + "i4", 4, 72)])
    score = float(np.mean(np.abs(ints.astype(np.int64)) < 2 ** 24))
    score += float(struct.unpack_from(order + "H", raw, 116)[0] < 32768)
    values = np.frombuffer(raw, order + "f4", (len(raw) - HEADER_SIZE) // 4, HEADER_SIZE)
    if len(values):
        with np.errstate(invalid="ignore"):      # a wrong-order reading meets signalling NaNs
            a = np.abs(values.astype(np.float64))
        score += float(np.mean((a == 0) | ((a > 1e-30) & (a < 1e30))))
    return score


class _TraceFormat:
    """A format whose data are traces back to back (SU, collection): it fits
    when the traces, each as long as its own ns says, end exactly at the end
    of the data."""
    name = ""

    def readings(self, head: bytes) -> list[_Reading]:
        raise NotImplementedError

    def first_ns(self, head: bytes, start: int, order: str) -> int | None:
        if len(head) < start + HEADER_SIZE:
            return None
        return struct.unpack_from(order + "H", head, start + 114)[0]

    def fit(self, src: _Source, head: bytes, r: _Reading, eof: bool, named: bool, scan: bool) -> _Fit:
        """The fit of reading `r` on `src` (`head`: its first bytes; `eof`:
        the stream ended within them; `named`: the caller named this
        format, so data may follow a collection's traces; `scan`: walk the
        headers of a file whose size does not tile with the first ns)."""
        swap = r.byteorder != NATIVE
        score = _plausibility(head[r.start:r.start + HEADER_SIZE + 4 * min(r.ns or 0, 256)], r.byteorder)

        def broke(traces: int, end: int, why: str) -> _Fit:
            return _Fit(r, False, traces, end, why, score, False, None)

        if r.count is not None and r.count < 0:
            return broke(0, r.start, f"the count {r.count} is negative")
        if src.size is None:
            return self._fit_stream(head, r, eof, named, score, broke)
        avail = src.size - r.start
        if r.count == 0 and (avail == 0 or named):
            return _Fit(r, True, 0, r.start, "", score, True, 0)
        if r.ns is None:
            if avail == 0 and not r.count:
                return _Fit(r, True, 0, r.start, "", score, True, 0)
            return broke(0, r.start, f"the file ends {avail} bytes into the first header")
        size = HEADER_SIZE + 4 * r.ns
        n = avail // size if r.count is None else r.count
        if n * size == avail:
            return _Fit(r, True, n, src.size, "", score, True, n * r.ns)
        if not scan:
            return broke(0, r.start, "not scanned")
        n, end, samples = src.scan(r.start, swap, -1 if r.count is None else r.count)
        end += r.start
        if end == src.size and (r.count is None or n == r.count):
            return _Fit(r, True, n, end, "", score, False, samples)
        if end < src.size and (r.count is None or n < r.count):
            return broke(n, end, f"the file ends {src.size - end} bytes into that trace")
        if end < src.size and n == r.count and named:
            return _Fit(r, True, n, end, "", score, False, samples)
        return broke(n, end, f"the count says {r.count} traces, and the file holds {n}")

    def _fit_stream(self, head: bytes, r: _Reading, eof: bool, named: bool, score: float, broke) -> _Fit:
        # Size unknown: the first trace must be whole and, unless the data
        # end right after it, the next header too.  What follows the last
        # trace of a collection is not looked at.
        if r.count == 0 and (named or (eof and len(head) == r.start)):
            return _Fit(r, True, 0, r.start, "", score, True, 0)
        if r.count == 0:
            return broke(0, r.start, "the count says 0 traces, and data follow")
        if r.ns is None:
            if eof and len(head) == r.start and r.count is None:
                return _Fit(r, True, 0, r.start, "", score, True, 0)
            return broke(0, r.start, f"the data end {len(head) - r.start} bytes into the first header")
        end = r.start + HEADER_SIZE + 4 * r.ns
        if len(head) < end:
            return broke(0, r.start, f"the data end {len(head) - r.start} bytes into that trace")
        if (r.count == 1 and named) or (eof and len(head) == end and r.count is None):
            return _Fit(r, True, 1, end, "", score, True, r.ns)
        if len(head) < end + HEADER_SIZE:
            return broke(1, end, f"the data end {len(head) - end} bytes into that trace")
        same = self.first_ns(head, end, r.byteorder) == r.ns
        return _Fit(r, True, None, end, "", score + 0.5 * same, True, None)

    def read_ahead(self, r: _Reading) -> int:
        """The bytes a stream must show to judge `r`: one trace and one
        header (no header after a collection's last trace)."""
        return r.start + (1 + (r.count != 1)) * HEADER_SIZE + 4 * (r.ns or 0)


class _SU(_TraceFormat):
    name = "su"

    def readings(self, head: bytes) -> list[_Reading]:
        return [_Reading("su", o, 0, None, self.first_ns(head, 0, o)) for o in "<>"]


class _Collection(_TraceFormat):
    name = "collection"

    def readings(self, head: bytes) -> list[_Reading]:
        if len(head) < 4:
            return []
        return [_Reading("collection", o, 4, struct.unpack_from(o + "i", head)[0], self.first_ns(head, 4, o))
                for o in "<>"]


# The formats detection tries, each answering whether the data tile and how
# plausibly.  A new format joins by adding its reader here.
FORMATS: list[_TraceFormat] = [_SU(), _Collection()]
# Bytes a seekable file shows detection: the count, a header, 256 samples;
# or SEG-Y's textual and binary file headers, which are longer.
_HEAD = max(4 + HEADER_SIZE + 1024, 3600)
# Detection picks the most plausible of several fitting readings only by this margin.
_MARGIN = 0.5


def _readings(formats: list[_TraceFormat], head: bytes, byteorder: str | None) -> list[tuple[_TraceFormat, _Reading]]:
    return [(f, r) for f in formats for r in f.readings(head) if byteorder is None or r.byteorder == byteorder]


def _detect(src: _Source, format: str | None, byteorder: str | None, partial: bool) -> _Fit:
    """The reading of `src` that fits (format= and byteorder= narrow the
    choice); ValueError when none does or when several do alike."""
    formats = [f for f in FORMATS if format is None or f.name == format]
    if not formats:
        raise ValueError(f"format must be one of {', '.join(repr(f.name) for f in FORMATS)}, not {format!r}")
    if src.size is not None:
        head = src.pread(0, _HEAD)
        eof = True
        if src.size == 0 and format in (None, "su"):
            return _Fit(_Reading("su", byteorder or NATIVE, 0, None, None), True, 0, 0, "", 0.0, True, 0)
    else:
        head = src.read_ahead(4 + HEADER_SIZE)
        need = max((f.read_ahead(r) for f, r in _readings(formats, head, byteorder)), default=0)
        head = src.read_ahead(need)
        eof = len(head) < need
    # The first header and the size decide; only when no reading tiles with
    # one ns are the headers walked (traces of different ns, or a break).
    readings = _readings(formats, head, byteorder)

    def fits_of(scan: bool) -> list[_Fit]:
        fits: list[_Fit] = []
        for f, r in readings:
            if r.format != "segy" and any(fit.tiles and fit.reading.format == "segy" for fit in fits):
                # A SEG-Y file may also tile as SU traces (of ns 0, when its
                # textual header is all zeros): its file headers decide, and no
                # other reading need be tried.
                break
            fits.append(f.fit(src, head, r, eof, format is not None, scan))
        return fits

    fits = fits_of(False)
    if not any(f.tiles for f in fits):
        fits = fits_of(True)
    ok = sorted((f for f in fits if f.tiles), key=lambda f: f.score, reverse=True)
    if len(ok) == 1 or (len(ok) > 1 and ok[0].score - ok[1].score >= _MARGIN):
        return ok[0]
    if ok and len({f.reading.format for f in ok}) == 1 and all(f.traces == 0 for f in ok):
        # No traces (a collection with count 0): the byte order changes nothing.
        return next((f for f in ok if f.reading.byteorder == NATIVE), ok[0])
    if ok:
        alike = " and as ".join(_describe(f.reading) for f in ok)
        raise ValueError(f"{src.name}: the data read as {alike} alike; format= and byteorder= decide")
    if not fits:
        raise ValueError(f"{src.name}: {len(head)} bytes hold no {format or 'trace'} data")
    closest = max(fits, key=lambda f: (f.end, f.score))
    if partial and closest.traces and [f.end for f in fits].count(closest.end) == 1:
        return closest
    raise ValueError(f"{src.name}: no reading fits the data; the closest, {_describe(closest.reading)}, "
                     f"breaks at trace {closest.traces} (byte offset {src.start + closest.end}): {closest.why}")


# ---- reading --------------------------------------------------------------------------------


class Probe(NamedTuple):
    """What a file holds, read from as little of it as can tell: `n_traces`
    None on a stream of unknown size, `ns` None when traces differ in ns."""
    format: str
    byteorder: str
    n_traces: int | None
    ns: int | None
    dt: int | None


def probe(source: object, *, format: str | None = None, byteorder: str | None = None) -> Probe:
    """Format, byte order, trace count, ns and dt of a file, from its first
    header and its size (a collection's count; a header scan when traces
    differ in ns).  A file object is put back where it stood; a stream keeps
    what was read ahead."""
    with _Source(source) as src:
        fit = _detect(src, format, _order(byteorder), False)
        r = fit.reading
        if r.format == "segy":
            return Probe("segy", r.byteorder, *_segyfile.probe_layout(src, fit))
        head = src.pread(r.start, HEADER_SIZE) if src.size is not None else src.head[r.start:]
        if src.seekable:
            src.file.seek(src.start)
        dt = struct.unpack_from(r.byteorder + "H", head, 116)[0] if len(head) >= HEADER_SIZE else None
        n = fit.traces if src.size is not None else r.count
        return Probe(r.format, r.byteorder, n, r.ns if fit.uniform else None, dt)


def _subset(traces: slice | range | None, n: int | None) -> tuple[int, int | None, int]:
    """(first, stop or None, step) of a trace selection over n traces (None: unknown)."""
    if traces is None:
        return 0, n, 1
    if isinstance(traces, range):
        traces = slice(traces.start, traces.stop, traces.step)
    if not isinstance(traces, slice):
        raise TypeError(f"traces must be a slice or a range, not {type(traces).__name__}")
    if n is not None:
        start, stop, step = traces.indices(n)
        if step < 0:
            raise ValueError("traces must select in file order (a positive step)")
        return start, max(start, stop), step
    step = 1 if traces.step is None else traces.step
    if (traces.start or 0) < 0 or (traces.stop or 0) < 0 or step < 1:
        raise ValueError("on a stream of unknown length, traces needs non-negative bounds and a positive step")
    return traces.start or 0, traces.stop, step


def read(source: object, *, format: str | None = None, byteorder: str | None = None,
         traces: slice | range | Sequence[int] | np.ndarray | None = None, samples: bool = True,
         partial: bool = False, dtype: str | None = None) -> Gather:
    """Reads a Seismic Unix file (either byte order) or a collection file
    into arrays.  Format and byte order are decided by the data, or given;
    `traces` selects a slice of traces, or any traces by a sequence of
    indices or a boolean mask (in the order given); `samples=False` reads
    headers only, `partial=True` returns the complete traces of a truncated
    file.
    SEG-Y files too: `dtype="stored"` keeps their samples in the type the
    file stores (IBM floats as float32); otherwise samples are float32."""
    if dtype not in (None, "float32", "stored"):
        raise ValueError(f"dtype must be 'float32' or 'stored', not {dtype!r}")
    if isinstance(traces, (list, tuple, np.ndarray)):
        from vondrel._handle import read_selected      # index sequences and masks: random access
        return read_selected(source, format, byteorder, traces, samples, partial, dtype)
    with _Source(source) as src:
        fit = _detect(src, format, _order(byteorder), partial)
        if fit.reading.format == "segy":
            return _segyfile.read_gather(src, fit, traces, samples, partial, dtype == "stored")
        return _read_fit(src, fit, traces, samples, partial)


def _read_fit(src: _Source, fit: _Fit, traces: slice | range | None, samples: bool, partial: bool) -> Gather:
    """Reads `src` as `fit` says, checking every trace on the way."""
    r = fit.reading
    swap = r.byteorder != NATIVE
    total = fit.traces if src.size is not None else r.count
    first, stop, step = _subset(traces, total)
    limit = -1 if stop is None else stop - first
    if src.size is not None:
        offset = r.start
        if first and fit.uniform and fit.tiles:
            offset += first * (HEADER_SIZE + 4 * r.ns)
        elif first:
            offset += src.scan(r.start, swap, first)[1]
        if fit.uniform and r.ns is not None:
            n = limit if limit >= 0 else (src.size - offset) // (HEADER_SIZE + 4 * r.ns)
            reserve = (n, n * r.ns)
        else:
            reserve = (fit.traces or 0, fit.samples or 0) if not first and limit < 0 else (0, 0)
        seek_headers = not samples and src.fd is not None and 4 * (r.ns or 0) >= 2048
        target = src.fd if src.fd is not None else src.file
        if src.fd is None:
            src.file.seek(src.start + offset)
        got = _arrays.read(target, src.start + offset, src.size - offset, limit, swap, samples,
                           seek_headers, *reserve, b"", r.ns if fit.uniform and r.ns is not None else -1)
    else:
        offset = r.start
        limit = -1 if stop is None and r.count is None else (stop if stop is not None else r.count)
        if r.count is not None:
            limit = min(limit, r.count)
        got = _arrays.read(src.file, 0, -1, limit, swap, samples, False, 0, 0,
                           memoryview(src.head)[r.start:], -1)
    n, complete_end, consumed = got[3:]
    expected = limit if limit >= 0 else None
    where = src.start + offset + complete_end
    if consumed > complete_end or (expected is not None and n < expected):
        if not partial:
            why = (f"the data end {consumed - complete_end} bytes into it" if consumed > complete_end
                   else f"{expected - n} of the traces asked for are missing")
            raise ValueError(f"{src.name}: {_describe(r)}: trace {first + n} at byte offset {where} is cut "
                             f"short: {why}")
    elif src.size is not None and offset + complete_end < src.size and limit < 0:
        raise ValueError(f"{src.name}: {_describe(r)}: the file changed while it was read")
    if src.seekable:
        src.file.seek(where)
    g = _gather(got, r.format, r.byteorder)
    if src.size is None and first:
        g = _select(g, slice(first, None))
    return _select(g, slice(None, None, step)) if step != 1 else g


def _select(g: Gather, rows: slice) -> Gather:
    """The traces of `rows` as a new Gather (copies)."""
    return Gather(*_take(g.headers, g.flat, g.offsets, rows), g.format, g.byteorder)


def _take(headers: np.ndarray, flat: np.ndarray | None, offsets: np.ndarray,
          rows: slice) -> tuple[np.ndarray, np.ndarray | None, np.ndarray]:
    """(headers, flat, offsets) of the traces of `rows`, copied, of traces
    held as header rows, samples back to back and their boundaries."""
    idx = np.arange(len(headers))[rows]
    new_offsets = np.zeros(len(idx) + 1, dtype=np.int64)
    np.cumsum(np.diff(offsets)[idx], out=new_offsets[1:])
    if flat is not None:
        flat = np.concatenate([flat[offsets[i]:offsets[i + 1]] for i in idx.tolist()]) if len(idx) \
            else flat[:0].copy()
    return headers[idx], flat, new_offsets


# ---- writing --------------------------------------------------------------------------------


class _Sink:
    """Where bytes go: a path (opened here, synchronised and closed), a
    binary file object (written where it stands) or a stream."""

    def __init__(self, dest: object) -> None:
        self.opened = None
        if isinstance(dest, (str, bytes, os.PathLike)):
            self.opened = self.file = open(dest, "wb", buffering=0)
        else:
            if isinstance(dest, io.TextIOBase) or not hasattr(dest, "write"):
                raise TypeError(f"a path or a binary file object is required, not {type(dest).__name__}")
            self.file = dest
        self.target: object = self.file
        self.pos: int | None = None
        try:
            fd = self.file.fileno()
        except (OSError, AttributeError, ValueError):
            return
        with _closed_on_error(self.opened):
            if hasattr(self.file, "flush"):
                self.file.flush()
            if _seekable(self.file):
                self.pos = self.file.tell()
                os.lseek(fd, self.pos, os.SEEK_SET)
        self.target = fd

    def __enter__(self) -> _Sink:
        return self

    def __exit__(self, kind: object, *exc: object) -> None:
        if self.opened is None:
            return
        try:
            if kind is None:
                os.fsync(self.opened.fileno())
        finally:
            self.opened.close()

    def done(self, written: int) -> None:
        if self.pos is not None and self.opened is None:
            self.file.seek(self.pos + written)


def _arrays_of(data: object) -> tuple[np.ndarray, np.ndarray, np.ndarray, str, str]:
    """(headers, flat, offsets, format, byteorder) of a Gather or a
    (headers, samples) pair, in the layout the writer takes."""
    if isinstance(data, Gather):
        return data._su_headers(), data._flat(), data.offsets, data.format, data.byteorder
    if not isinstance(data, tuple) or len(data) != 2:
        raise TypeError(f"data must be a Gather or a (headers, samples) pair, not {type(data).__name__}")
    headers, samples = data
    flat, offsets = _flat_of(samples, np.float32)
    return np.asarray(headers), flat, offsets, "su", NATIVE


def _flat_of(samples: object, dtype: type | None) -> tuple[np.ndarray, np.ndarray]:
    """(samples back to back, the n + 1 boundaries) of a 2-D array or a list
    of 1-D arrays, converted to `dtype` (None: their own type)."""
    if isinstance(samples, (list, tuple)):
        rows = [np.asarray(s, dtype=dtype).reshape(-1) for s in samples]
        flat = np.concatenate(rows) if rows else np.empty(0, dtype or np.float32)
        lengths = [len(s) for s in rows]
    else:
        samples = np.asarray(samples, dtype=dtype)
        if samples.ndim != 2:
            raise ValueError(f"samples must be 2-D (traces, ns) or a list of 1-D arrays, not {samples.ndim}-D")
        flat = samples.reshape(-1)
        lengths = [samples.shape[1]] * samples.shape[0]
    offsets = np.zeros(len(lengths) + 1, dtype=np.int64)
    np.cumsum(lengths, out=offsets[1:])
    return flat, offsets


def write(dest: object, data: object, *, format: str | None = None, byteorder: str | None = None,
          sample_format: int | None = None, text: str | bytes | None = None, revision: int = 1) -> None:
    """Writes a Gather, or a (headers, samples) pair, as an SU or collection
    file in either byte order: by default the data's own format and order
    ("su" and native order for bare arrays).  Each trace's ns comes from its
    samples; a header that says otherwise (other than 0, unset) is an error.

    As SEG-Y (format="segy", the default for data read from SEG-Y):
    revision 1, big-endian unless the data came from SEG-Y (its order) or
    `byteorder` says otherwise; `sample_format` 5 (IEEE float) for float32
    samples by default, 1 for IBM float; `text` the textual header;
    `revision=2` also writes the byte-order constant."""
    if format == "segy" or (format is None and getattr(data, "format", None) == "segy"):
        with _Sink(dest) as sink:
            sink.done(_segyfile.write_gather(sink.target, data, sample_format, _order(byteorder), text, revision))
        return
    if sample_format is not None or text is not None or revision != 1:
        raise ValueError("sample_format, text and revision are for SEG-Y (format='segy')")
    headers, flat, offsets, fmt, order = _arrays_of(data)
    fmt = format or fmt
    if fmt not in ("su", "collection"):
        raise ValueError(f"format must be 'su', 'collection' or 'segy', not {fmt!r}")
    order = _order(byteorder, order)
    n = len(offsets) - 1
    if headers.shape != (n,):
        raise ValueError(f"{len(headers)} header rows for {n} traces")
    native = header_dtype()
    if headers.dtype != native:
        headers = headers.astype(native)
    headers = np.ascontiguousarray(headers)
    flat = np.ascontiguousarray(flat, dtype=np.float32)
    offsets = np.ascontiguousarray(offsets, dtype=np.int64)
    too_long, wrong, all_set = _arrays.check_ns(headers, offsets)
    if too_long >= 0:
        raise ValueError(f"trace {too_long} has {offsets[too_long + 1] - offsets[too_long]} samples; "
                         "a trace holds at most 65535")
    if wrong >= 0:
        raise ValueError(f"trace {wrong}: its header says ns {headers['ns'][wrong]}, its samples number "
                         f"{offsets[wrong + 1] - offsets[wrong]}")
    if fmt == "collection" and n > 2 ** 31 - 1:
        raise ValueError(f"a collection file holds at most {2 ** 31 - 1} traces, not {n}")
    prefix = struct.pack(order + "i", n) if fmt == "collection" else b""
    with _Sink(dest) as sink:
        written = _arrays.write(sink.target, headers, flat, offsets, order != NATIVE, all_set, prefix)
        sink.done(written)


# SEG-Y joins the formats detection tries when its module loads (it needs
# the names above).
from vondrel import _segyfile  # noqa: E402
