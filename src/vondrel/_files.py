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

from vondrel import _arrays, _interval, _sinks

if TYPE_CHECKING:
    import xarray

    from vondrel._segyfile import BinaryHeader

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


def header_rows(headers: object) -> tuple[np.ndarray, bool]:
    """Header rows in any form the package hands out, as (n, 240) native-order
    bytes (a view where they already are, else a copy), and whether they are
    SEG-Y rows (bytes 181-240 the SEG-Y fields: a dtype with `cdpx`) rather
    than Seismic Unix ones.  Takes structured rows with the fields of either
    header in any order and layout (rows of header_dtype() in either byte
    order, the views of header(), whose unnamed ns comes back 0, SEG-Y rows,
    the packed rows NumPy makes of a list of them, 0-d arrays, np.void),
    copied field by field, and unnamed 240-byte rows, taken as they are as
    Seismic Unix rows."""
    a = np.asarray(headers)
    if a.ndim > 1:
        raise ValueError(f"header rows must be 1-D, not {a.ndim}-D")
    a = a.reshape(-1)
    names = a.dtype.names
    segy = bool(names) and "cdpx" in names
    if names:
        full = _segyfile.trace_header_dtype() if segy else header_dtype()
        if a.dtype != full:
            out = np.zeros(len(a), full)
            for name in names:
                if name not in full.names:
                    raise ValueError(f"{name!r} is no field of a {'SEG-Y' if segy else 'Seismic Unix'} trace header")
                out[name] = a[name]
            a = out
    elif a.dtype.itemsize != HEADER_SIZE:
        raise ValueError(f"a trace header is {HEADER_SIZE} bytes, not {a.dtype.itemsize}")
    return np.ascontiguousarray(a).view(np.uint8).reshape(len(a), HEADER_SIZE), segy


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
        n, ns, dt = len(self), self.ns, self.dt
        shape = [f"{n} traces"]
        if n:
            shape += ["ns varies" if ns is None else f"ns {ns}", "dt varies" if dt is None else f"dt {dt} us"]
        return (f"<vondrel.{type(self).__name__}: {', '.join(shape)}, {_FORMAT_NAMES.get(self.format, self.format)} "
                f"{_ORDER_NAMES[self.byteorder]}, samples {self._sample_format()}>")

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

    def interval(self) -> np.ndarray:
        """Each trace's sample interval in microseconds (a new uint16 array):
        the binary header's where a file has one that is not 0, otherwise the
        trace's own dt (see vondrel._interval)."""
        return _interval.intervals(0, self.headers["dt"])

    def to_xarray(self) -> xarray.Dataset:
        """The gather as an xarray Dataset: samples on the dimensions trace and
        time (seconds), every header field a coordinate along trace."""
        from vondrel._xarray import to_xarray
        return to_xarray(self)

    # What every gather answers, and what only a SEG-Y file has (None here;
    # SegyGather holds them).

    @property
    def text(self) -> str | None:
        """SEG-Y's textual file header; None for the other formats."""
        return None

    @property
    def extended_text(self) -> list[str] | None:
        """SEG-Y's extended textual headers; None for the other formats."""
        return None

    @property
    def binary(self) -> BinaryHeader | None:
        """SEG-Y's binary file header; None for the other formats."""
        return None

    @property
    def ns(self) -> int | None:
        """Samples per trace, when every trace has as many; None when they
        differ or there are no traces."""
        return _common(np.diff(self.offsets))

    @property
    def dt(self) -> int | None:
        """The sample interval in microseconds (see interval()), when every
        trace has the same; None when they differ or there are no traces."""
        return _common(self.interval())

    def interval(self) -> np.ndarray:
        """Each trace's sample interval in microseconds: its header's dt."""
        return self.headers["dt"].copy()

    @property
    def times(self) -> np.ndarray:
        """The time axis in seconds (float64, one value per sample): the
        delay of the first sample (delrt, milliseconds) plus k times the
        interval.  ValueError when the traces differ in ns, dt or delrt."""
        if not len(self):
            return np.zeros(0)
        axis = []
        for what, values in (("ns", np.diff(self.offsets)), ("dt", self.interval()),
                             ("delrt", self.headers["delrt"])):
            differ = np.flatnonzero(values != values[0])
            if len(differ):
                k = int(differ[0])
                raise ValueError(f"trace {k} has {what} {values[k]}, trace 0 has {values[0]}: "
                                 f"one time axis needs one {what}")
            axis.append(int(values[0]))
        ns, dt, delrt = axis
        return delrt / 1e3 + np.arange(ns) * (dt / 1e6)

    def _sample_format(self) -> str:
        """How the file stores the samples, for repr."""
        return "float32"


def _common(values: np.ndarray) -> int | None:
    """The value every trace has, or None when they differ or there are none."""
    if not len(values) or (values != values[0]).any():
        return None
    return int(values[0])


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
        return _read_fit(src, _Fit(reading, True, n, start, "", 0.0, False, None, True), None, True, False)


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

    def scan(self, offset: int, swap: bool, limit: int, width: int = 4) -> tuple[int, int, int, int]:
        """(complete traces, their end, their samples, the index of the first
        trace whose ns differs from the first's or -1) walking the headers
        from `offset`; `width` is the bytes of one sample."""
        if self.fd is not None:
            return _arrays.scan(self.fd, self.start + offset, self.size - offset, swap, limit, width)
        n = samples = 0
        other = first = -1
        pos = offset
        code = (">" if (NATIVE == "<") == swap else "<") + "H"
        while (limit < 0 or n < limit) and pos + HEADER_SIZE <= self.size:
            ns = struct.unpack(code, self.pread(pos + 114, 2))[0]
            if pos + HEADER_SIZE + width * ns > self.size:
                break
            if first < 0:
                first = ns
            elif other < 0 and ns != first:
                other = n
            pos += HEADER_SIZE + width * ns
            samples += ns
            n += 1
        return n, pos - offset, samples, other


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
    what breaks there.  `score` is its plausibility (at or below -_MARGIN
    the data refute it).  `walked` when the headers were walked to the end,
    so that `traces`, `uniform` and `samples` are the file's own and not a
    guess from the first header and the size."""
    reading: _Reading
    tiles: bool
    traces: int | None
    end: int
    why: str
    score: float
    uniform: bool
    samples: int | None
    walked: bool = False


class _Overrides(NamedTuple):
    """What the caller says a SEG-Y file's binary header should have said:
    the samples per trace and the sample format code (None: the header's)."""
    ns: int | None = None
    sample_format: int | None = None


def _describe(r: _Reading) -> str:
    return f"{_FORMAT_NAMES.get(r.format, r.format)} {_ORDER_NAMES[r.byteorder]}"


# Header fields that plausibility weighs, by kind.  ns and dt are no
# evidence of the byte order: ns reads alike in both orders wherever the
# question arises, and a dt may be any number.
def _columns(kind: str) -> list[int]:
    return [_OFFSETS[n] for n, k in _FIELDS if k == kind and n not in ("ns", "dt")]


_INT_COLUMNS = {kind: np.add.outer(_columns(kind), np.arange(int(kind[1]))) for kind in ("i4", "i2")}
_FLOAT_COLUMNS = np.add.outer(_columns("f4"), np.arange(4))
_SEQUENCES = np.add.outer([_OFFSETS[n] for n in ("tracl", "tracr", "fldr", "ep", "cdp")], np.arange(4))
# The traces, and the samples of each, that plausibility looks at.
_EVIDENCE_TRACES = 8
_EVIDENCE_SAMPLES = 256
# A score for a reading that the data rule out.
_REFUTED = -1000.0
# Detection picks the most plausible of several fitting readings only by
# this margin; a reading at or below minus this margin is refuted.
_MARGIN = 2.0


def _bits(values: np.ndarray) -> np.ndarray:
    """The significant bits of each |value| (0 for 0)."""
    return np.frexp(np.abs(values.astype(np.float64)))[1]


def _ordinary(words: np.ndarray) -> np.ndarray:
    """Whether each float32, given as its bits, is zero or of an ordinary
    magnitude (1e-18 to 1e18): a wrong byte order puts the low mantissa
    bits in the exponent, which makes most values tiny, huge or NaN."""
    exponent = (words >> 23) & 0xFF
    return ((words & 0x7FFFFFFF) == 0) | ((exponent >= 67) & (exponent <= 187))


def _float_votes(raw: bytes | np.ndarray, order: str, other: str) -> tuple[int, int]:
    """(floats ordinary in `order` only, floats ordinary in `other` only)."""
    here, there = _ordinary(np.frombuffer(raw, order + "u4")), _ordinary(np.frombuffer(raw, other + "u4"))
    return int(np.count_nonzero(here & ~there)), int(np.count_nonzero(there & ~here))


def _plausibility(traces: list[bytes], order: str) -> float:
    """How much the first traces of a reading (each its header and its first
    samples' bytes) look like seismic data in byte order `order` rather than
    in the other, in votes.  A header integer votes for the order in which
    it is far smaller (by 4 bits or more) than with its bytes swapped; a
    trace number sequence (tracl, tracr, fldr, ep, cdp) whose steps are far
    smaller in one order casts two votes; a header float votes for the order
    in which it alone has an ordinary exponent; the samples' exponents do
    the same, weighing up to 8 votes in all.  Zeros and byte palindromes
    are no evidence either way.  A trace of ns 0 costs 4 votes: Seismic
    Unix writes none."""
    heads = [t[:HEADER_SIZE] for t in traces if len(t) >= HEADER_SIZE]
    if not heads:
        return 0.0
    other = ">" if order == "<" else "<"
    block = np.frombuffer(b"".join(heads), np.uint8).reshape(len(heads), HEADER_SIZE)
    votes = 0
    for kind, columns in _INT_COLUMNS.items():
        raw = np.ascontiguousarray(block[:, columns])
        here, there = _bits(raw.view(order + kind)), _bits(raw.view(other + kind))
        votes += int(np.count_nonzero(here + 4 <= there)) - int(np.count_nonzero(there + 4 <= here))
    if len(heads) > 1:
        raw = np.ascontiguousarray(block[:, _SEQUENCES])
        steps = [_bits(np.diff(raw.view(o + "i4")[..., 0].astype(np.int64), axis=0)).max(axis=0)
                 for o in (order, other)]
        votes += 2 * (int(np.count_nonzero(steps[0] + 4 <= steps[1]))
                      - int(np.count_nonzero(steps[1] + 4 <= steps[0])))
    good, bad = _float_votes(np.ascontiguousarray(block[:, _FLOAT_COLUMNS]).tobytes(), order, other)
    votes += good - bad
    ns = np.ascontiguousarray(block[:, 114:116]).view(order + "u2")
    votes -= 4 * int(np.count_nonzero(ns == 0))
    data = b"".join(t[HEADER_SIZE:HEADER_SIZE + (len(t) - HEADER_SIZE) // 4 * 4] for t in traces)
    good, bad = _float_votes(data, order, other)
    return votes + 8 * (good - bad) / max(good + bad, 16)


def _first_traces(src: _Source, head: bytes, r: _Reading) -> list[bytes]:
    """The first traces of reading `r`, walked by their own ns: each its
    header and the bytes of up to _EVIDENCE_SAMPLES samples (on a stream,
    as far as `head` reaches)."""
    out: list[bytes] = []
    pos = r.start
    limit = _EVIDENCE_TRACES if r.count is None else min(_EVIDENCE_TRACES, max(r.count, 0))
    want = HEADER_SIZE + 4 * _EVIDENCE_SAMPLES
    while len(out) < limit:
        if src.size is not None:
            raw = src.pread(pos, want) if pos + HEADER_SIZE <= src.size else b""
        else:
            raw = head[pos:pos + want]
        if len(raw) < HEADER_SIZE:
            break
        ns = struct.unpack_from(r.byteorder + "H", raw, 114)[0]
        out.append(raw[:HEADER_SIZE + 4 * min(ns, _EVIDENCE_SAMPLES)])
        pos += HEADER_SIZE + 4 * ns
    return out


class _TraceFormat:
    """A format whose data are traces back to back (SU, collection): it fits
    when the traces, each as long as its own ns says, end exactly at the end
    of the data."""
    name = ""

    def readings(self, head: bytes, overrides: _Overrides) -> list[_Reading]:
        raise NotImplementedError

    def claims(self, head: bytes) -> bool:
        """Whether the first bytes are this format's beyond doubt, so that no
        other format is tried."""
        return False

    def head_size(self, head: bytes) -> int:
        """The bytes of a stream that recognising this format needs, judging
        by its first `head`."""
        return 0

    def diagnose(self, src: _Source, head: bytes, byteorder: str | None, named: bool) -> str | None:
        """What is wrong with a file whose first bytes are this format's but
        that no reading of it fits, naming the field; None to say nothing."""
        return None

    def first_ns(self, head: bytes, start: int, order: str) -> int | None:
        if len(head) < start + HEADER_SIZE:
            return None
        return struct.unpack_from(order + "H", head, start + 114)[0]

    def fit(self, src: _Source, head: bytes, r: _Reading, eof: bool, named: bool, scan: bool,
            overrides: _Overrides) -> _Fit | None:
        """The fit of reading `r` on `src` (`head`: its first bytes; `eof`:
        the stream ended within them; `named`: the caller named this
        format, so data may follow a collection's traces; `scan`: walk the
        headers instead of guessing from the first ns and the size).  None
        when the reading is no candidate at all (a collection's count that
        the file cannot hold)."""
        swap = r.byteorder != NATIVE
        # Plausibility is weighed where it may count: for a reading that
        # tiles, and for every reading once the headers are walked.  A guess
        # that does not tile is left to the walk.
        if r.ns == 0 and (src.size is None or src.size > r.start + HEADER_SIZE) and not r.count == 1:
            score = _REFUTED          # traces of no samples, one after another: not seismic data
        elif not scan and src.size is not None and not self._guess_tiles(src.size, r, named):
            score = 0.0
        else:
            score = _plausibility(_first_traces(src, head, r), r.byteorder)

        def broke(traces: int, end: int, why: str, walked: bool = True) -> _Fit:
            return _Fit(r, False, traces, end, why, score, False, None, walked)

        if r.count is not None and r.count < 0:
            return broke(0, r.start, f"the count {r.count} is negative")
        if src.size is None:
            return self._fit_stream(head, r, eof, named, score, broke)
        avail = src.size - r.start
        if r.count is not None and not named and r.count > avail // HEADER_SIZE + 1:
            return None
        if r.count == 0 and (avail == 0 or named):
            return _Fit(r, True, 0, r.start, "", score, True, 0, True)
        if r.ns is None:
            if avail == 0 and not r.count:
                return _Fit(r, True, 0, r.start, "", score, True, 0, True)
            return broke(0, r.start, f"the file ends {avail} bytes into the first header")
        if not scan:
            size = HEADER_SIZE + 4 * r.ns
            n = avail // size if r.count is None else r.count
            if n * size == avail:
                return _Fit(r, True, n, src.size, "", score, True, n * r.ns, False)
            why = "its first trace has no samples" if r.ns == 0 else f"traces of {r.ns} samples do not tile the file"
            return broke(0, r.start, why, False)
        n, end, samples, other = src.scan(r.start, swap, -1 if r.count is None else r.count)
        end += r.start
        if end == src.size and (r.count is None or n == r.count):
            return _Fit(r, True, n, end, "", score, other < 0, samples, True)
        if end < src.size and (r.count is None or n < r.count):
            return broke(n, end, f"the file ends {src.size - end} bytes into that trace")
        if end < src.size and n == r.count and named:
            return _Fit(r, True, n, end, "", score, other < 0, samples, True)
        return broke(n, end, f"the count says {r.count} traces, and the file holds {n}")

    @staticmethod
    def _guess_tiles(size: int, r: _Reading, named: bool) -> bool:
        """Whether the first ns and the size (or the count) make `r` tile a
        file of `size` bytes, without walking its headers."""
        avail = size - r.start
        if r.count is not None and r.count < 0:
            return False
        if r.count == 0 and (avail == 0 or named):
            return True
        if r.ns is None:
            return avail == 0 and not r.count
        trace = HEADER_SIZE + 4 * r.ns
        return (avail // trace if r.count is None else r.count) * trace == avail

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
        # The next header with the same ns is one vote more.
        return _Fit(r, True, None, end, "", score + (self.first_ns(head, end, r.byteorder) == r.ns), True, None)

    def read_ahead(self, r: _Reading) -> int:
        """The bytes a stream must show to judge `r`: one trace and one
        header (no header after a collection's last trace)."""
        return r.start + (1 + (r.count != 1)) * HEADER_SIZE + 4 * (r.ns or 0)


class _SU(_TraceFormat):
    name = "su"

    def readings(self, head: bytes, overrides: _Overrides) -> list[_Reading]:
        return [_Reading("su", o, 0, None, self.first_ns(head, 0, o)) for o in "<>"]


class _Collection(_TraceFormat):
    name = "collection"

    def readings(self, head: bytes, overrides: _Overrides) -> list[_Reading]:
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


def _readings(formats: list[_TraceFormat], head: bytes, byteorder: str | None,
              overrides: _Overrides) -> list[tuple[_TraceFormat, _Reading]]:
    return [(f, r) for f in formats for r in f.readings(head, overrides)
            if byteorder is None or r.byteorder == byteorder]


def _detect(src: _Source, format: str | None, byteorder: str | None, partial: bool, walk: bool = False,
            overrides: _Overrides = _Overrides()) -> _Fit:
    """The reading of `src` that fits (format= and byteorder= narrow the
    choice); ValueError when none does or when several do alike.  The first
    header and the size may decide a reading whose traces all have the
    first one's ns; with `walk` (and whenever no such guess holds) the
    headers of a seekable file are walked to its end, and the walk decides."""
    formats = [f for f in FORMATS if format is None or f.name == format]
    if not formats:
        raise ValueError(f"format must be one of {', '.join(repr(f.name) for f in FORMATS)}, not {format!r}")
    named = format is not None
    if src.size is not None:
        head = src.pread(0, _HEAD)
        eof = True
        if src.size == 0 and format in (None, "su"):
            return _Fit(_Reading("su", byteorder or NATIVE, 0, None, None), True, 0, 0, "", 0.0, True, 0, True)
    else:
        head = src.read_ahead(4 + HEADER_SIZE)
        need = max((f.read_ahead(r) for f, r in _readings(formats, head, byteorder, overrides)), default=0)
        head = src.read_ahead(max([need, *(f.head_size(head) for f in formats)]))
        eof = len(head) < need
    if not named:
        # A SEG-Y file's textual header is no SU trace: when the first bytes
        # are a format's beyond doubt, no other format is tried.
        formats = [f for f in formats if f.claims(head)][:1] or formats
    readings = _readings(formats, head, byteorder, overrides)
    decided = named and byteorder is not None

    def candidate(f: _Fit) -> bool:
        # Evidence of the byte order does not overrule the caller's; a
        # format that the data rule out (_REFUTED) falls all the same.
        if byteorder is not None:
            return decided or f.score > _REFUTED
        return f.score > -_MARGIN

    def fit_of(f: _TraceFormat, r: _Reading, scan: bool) -> _Fit | None:
        return f.fit(src, head, r, eof, named, scan, overrides)

    entries: list[tuple[_TraceFormat, _Reading, _Fit]] = []
    for f, r in readings:
        if r.format != "segy" and any(fit.tiles and fit.reading.format == "segy" for _, _, fit in entries):
            # A SEG-Y file may also tile as SU traces (of ns 0, when its
            # textual header is all zeros): its file headers decide, and no
            # other reading need be tried.
            break
        fit = fit_of(f, r, False)
        if fit is not None:
            entries.append((f, r, fit))

    def walked(confirm: bool) -> list[tuple[_TraceFormat, _Reading, _Fit]]:
        # The guesses walked: with `confirm` those that tile, else all but
        # those that the data refute anyway.
        out = []
        for f, r, fit in entries:
            if fit.walked or not (fit.tiles and candidate(fit) if confirm else decided or fit.score > _REFUTED):
                out.append((f, r, fit))
            elif (again := fit_of(f, r, True)) is not None:
                out.append((f, r, again))
        return out

    if walk:
        entries = walked(True)
    if not any(fit.tiles and candidate(fit) for _, _, fit in entries):
        entries = walked(False)
    fits = [fit for _, _, fit in entries]
    ok = sorted((f for f in fits if f.tiles and candidate(f)), key=lambda f: f.score, reverse=True)
    if len(ok) == 1 or (len(ok) > 1 and ok[0].score - ok[1].score >= _MARGIN):
        return ok[0]
    if ok and len({f.reading.format for f in ok}) == 1 and all(f.traces == 0 for f in ok):
        # No traces (a collection with count 0): the byte order changes nothing.
        return next((f for f in ok if f.reading.byteorder == NATIVE), ok[0])
    if ok:
        alike = " and as ".join(_describe(f.reading) for f in ok)
        raise ValueError(f"{src.name}: the data read as {alike} alike; format= and byteorder= decide")
    if not any(f.reading.format == "segy" for f in fits):
        for f in formats:
            why = f.diagnose(src, head, byteorder, named)
            if why:
                raise ValueError(f"{src.name}: {why}")
    if not fits:
        raise ValueError(f"{src.name}: {len(head)} bytes hold no {format or 'trace'} data")
    # The closest reading tiles the most complete traces of the readings
    # that the data do not refute; a partial read takes it only when no
    # other reading comes as close as plausibly.
    closest = max(fits, key=lambda f: (candidate(f), f.traces or 0, f.score))
    rivals = [f for f in fits if f is not closest and candidate(f) and (f.traces or 0) == (closest.traces or 0)
              and closest.score - f.score < _MARGIN]
    if partial and candidate(closest) and closest.traces and not rivals:
        return closest
    if closest.reading.format == "segy" and closest.score == _REFUTED:
        # A binary header that the trace headers contradict: no reading of it comes close.
        raise ValueError(f"{src.name}: {_describe(closest.reading)}: {closest.why}")
    raise ValueError(f"{src.name}: no reading fits the data; the closest, {_describe(closest.reading)}, "
                     f"breaks at trace {closest.traces} (byte offset {src.start + closest.end}): {closest.why}")


# ---- reading --------------------------------------------------------------------------------


class Probe(NamedTuple):
    """What a file holds: `n_traces` None on a stream of unknown size (or
    a SEG-Y file whose traces each say their length, on a stream), `ns` None
    when traces differ in ns."""
    format: str
    byteorder: str
    n_traces: int | None
    ns: int | None
    dt: int | None


def _overrides(format: str | None, ns: int | None, sample_format: int | None) -> tuple[str | None, _Overrides]:
    """(the format to detect, the SEG-Y overrides) of a call's arguments:
    ns= and sample_format= speak of SEG-Y files only."""
    if ns is None and sample_format is None:
        return format, _Overrides()
    if format not in (None, "segy"):
        raise ValueError(f"ns= and sample_format= are for SEG-Y files (format='segy'), not format={format!r}")
    if ns is not None and (isinstance(ns, bool) or not isinstance(ns, int) or not 0 < ns < 65536):
        raise ValueError(f"ns must be a sample count from 1 to 65535, not {ns!r}")
    codes = _segyfile.SAMPLE_FORMATS
    if sample_format is not None and sample_format not in codes:
        raise ValueError(f"sample_format must be one of {sorted(codes)}, not {sample_format!r}")
    return "segy", _Overrides(ns, sample_format)


def probe(source: object, *, format: str | None = None, byteorder: str | None = None, ns: int | None = None,
          sample_format: int | None = None) -> Probe:
    """Format, byte order, trace count, ns and dt of a file.  On a path or
    a seekable file the headers are walked to the end (reading each ns
    only), so that the count and ns are the file's own; a stream shows its
    first trace.  `ns=` and `sample_format=` stand in for a SEG-Y binary
    header's sample count and format code.  A SEG-Y file that does not tile
    raises its diagnosis with what its binary header holds.  A file object
    is put back where it stood; a stream keeps what was read ahead."""
    format, overrides = _overrides(format, ns, sample_format)
    with _Source(source) as src:
        try:
            fit = _detect(src, format, _order(byteorder), False, src.size is not None, overrides)
        except ValueError as e:
            shown = _segyfile.describe_binary(src)
            if shown:
                raise ValueError(f"{e}; its binary header holds {shown}") from None
            raise
        r = fit.reading
        if r.format == "segy":
            return Probe("segy", r.byteorder, *_segyfile.probe_layout(src, fit, overrides))
        head = src.pread(r.start, HEADER_SIZE) if src.size is not None else src.head[r.start:]
        if src.seekable:
            src.file.seek(src.start)
        dt = _interval.interval(0, struct.unpack_from(r.byteorder + "H", head, 116)[0]) \
            if len(head) >= HEADER_SIZE else None
        n = fit.traces if src.size is not None else r.count
        return Probe(r.format, r.byteorder, n, r.ns if fit.uniform else None, dt)


def _selection(traces: object) -> tuple[slice | None, int | None]:
    """`traces` as a slice (None: every trace), and the index when it was
    one int, which selects that trace as a list of one.  The one meaning of
    traces= on every path: Python's slicing of range(n)."""
    if traces is None:
        return None, None
    if isinstance(traces, (int, np.integer)) and not isinstance(traces, bool):
        i = int(traces)
        return slice(i, i + 1 if i != -1 else None), i
    if isinstance(traces, range):
        return slice(traces.start, traces.stop, traces.step), None
    if isinstance(traces, slice):
        range(0)[traces]            # a zero step or bounds that are no integers raise here
        return traces, None
    raise TypeError(f"traces must be an int, a slice or a range, not {type(traces).__name__}")


def _prefix(sel: slice | None) -> int | None:
    """How many traces from the first a stream must give to select `sel`
    without knowing its length, or None when it takes them all."""
    if sel is None:
        return None
    start, stop, step = sel.start or 0, sel.stop, 1 if sel.step is None else sel.step
    if step > 0 and start >= 0 and stop is not None and stop >= 0:
        return stop
    return None


def _picked(name: str, index: int | None, n: int | None, picked: int) -> None:
    """IndexError when one trace was asked for and the file has none such."""
    if index is not None and not picked:
        holds = "" if n is None else f": the file holds {n} trace{'s' if n != 1 else ''}"
        raise IndexError(f"{name}: trace {index} is out of range{holds}")


def read(source: object, *, format: str | None = None, byteorder: str | None = None,
         traces: int | slice | range | Sequence[int] | np.ndarray | None = None, samples: bool = True,
         partial: bool = False, dtype: str | None = None, ns: int | None = None,
         sample_format: int | None = None) -> Gather:
    """Reads a Seismic Unix file (either byte order) or a collection file
    into arrays.  Format and byte order are decided by the data, or given;
    `traces` selects traces as Python indexes range(n) (an int selects one,
    a slice or a range any, reversed too), or any traces by a sequence of
    indices or a boolean mask (in the order given); `samples=False` reads
    headers only, `partial=True` returns the complete traces of a truncated
    file.
    SEG-Y files too: `dtype="stored"` keeps their samples in the type the
    file stores (IBM floats as float32); otherwise samples are float32.
    `ns=` and `sample_format=` stand in for what a SEG-Y binary header says
    of the samples per trace and their format code, when it says wrong."""
    if dtype not in (None, "float32", "stored"):
        raise ValueError(f"dtype must be 'float32' or 'stored', not {dtype!r}")
    if isinstance(traces, (list, tuple, np.ndarray)):
        from vondrel._handle import read_selected      # index sequences and masks: random access
        return read_selected(source, format, byteorder, traces, samples, partial, dtype, ns, sample_format)
    format, overrides = _overrides(format, ns, sample_format)
    sel, index = _selection(traces)
    order = _order(byteorder)
    with _Source(source) as src:
        fit = _detect(src, format, order, partial, False, overrides)
        try:
            return _read_detected(src, fit, sel, index, samples, partial, dtype == "stored", overrides)
        except _Unconfirmed:
            # The guess from the first header and the size was wrong: walk
            # the headers, and let the walk decide.
            fit = _detect(src, format, order, partial, True, overrides)
            return _read_detected(src, fit, sel, index, samples, partial, dtype == "stored", overrides)


class _Unconfirmed(Exception):
    """The data of a reading guessed from its first header and the size
    disagree with the guess."""


def _read_detected(src: _Source, fit: _Fit, sel: slice | None, index: int | None, samples: bool, partial: bool,
                   stored: bool, overrides: _Overrides) -> Gather:
    if fit.reading.format == "segy":
        return _segyfile.read_gather(src, fit, sel, index, samples, partial, stored, overrides)
    return _read_fit(src, fit, sel, samples, partial, index)


def _read_fit(src: _Source, fit: _Fit, sel: slice | None, samples: bool, partial: bool,
              index: int | None = None) -> Gather:
    """Reads `src` as `fit` says, checking every trace on the way; the
    traces of `sel` (None: all) in its order.  _Unconfirmed when a fit
    guessed from the first header and the size turns out wrong."""
    r = fit.reading
    swap = r.byteorder != NATIVE
    guessed = not fit.walked and src.size is not None
    if src.size is not None:
        rows = range(fit.traces or 0)[sel] if sel is not None else None
        lo = min(rows[0], rows[-1]) if rows else 0
        hi = max(rows[0], rows[-1]) + 1 if rows else 0
        if rows is None:
            limit = -1 if r.count is None else (fit.traces or 0)
        else:
            limit = hi - lo
        offset = r.start
        if lo and fit.uniform and r.ns is not None:
            offset += lo * (HEADER_SIZE + 4 * r.ns)
        elif lo:
            offset += src.scan(r.start, swap, lo)[1]
        if fit.uniform and r.ns is not None:
            n = limit if limit >= 0 else (src.size - offset) // (HEADER_SIZE + 4 * r.ns)
            reserve = (n, n * r.ns)
        else:
            reserve = (fit.traces or 0, fit.samples or 0) if not lo and limit < 0 else (0, 0)
        seek_headers = not samples and src.fd is not None and 4 * (r.ns or 0) >= 2048
        target = src.fd if src.fd is not None else src.file
        if src.fd is None:
            src.file.seek(src.start + offset)
        got = _arrays.read(target, src.start + offset, src.size - offset, limit, swap, samples,
                           seek_headers, *reserve, b"", r.ns if fit.uniform and r.ns is not None else -1)
    else:
        rows, lo, offset = None, 0, r.start
        stop = _prefix(sel)
        limit = -1 if stop is None else stop
        if r.count is not None:
            limit = r.count if limit < 0 else min(limit, r.count)
        got = _arrays.read(src.file, 0, -1, limit, swap, samples, False, 0, 0,
                           memoryview(src.head)[r.start:], -1)
    n, complete_end, consumed = got[3:]
    # The traces that must be there: all those asked for of a file of known
    # length or count; on a stream without a count, a selection past the
    # end selects fewer, as slicing does.
    expected = limit if limit >= 0 and (src.size is not None or r.count is not None) else None
    where = src.start + offset + complete_end
    cut = consumed > complete_end or (expected is not None and n < expected)
    if guessed and (cut or (rows is not None and fit.uniform and n and
                            (np.frombuffer(got[0], header_dtype())["ns"] != r.ns).any())):
        raise _Unconfirmed
    if cut:
        if not partial:
            why = (f"the data end {consumed - complete_end} bytes into it" if consumed > complete_end
                   else f"{expected - n} of the traces asked for are missing")
            raise ValueError(f"{src.name}: {_describe(r)}: trace {lo + n} at byte offset {where} is cut "
                             f"short: {why}")
    elif src.size is not None and offset + complete_end < src.size and limit < 0:
        raise ValueError(f"{src.name}: {_describe(r)}: the file changed while it was read")
    if src.seekable:
        src.file.seek(where)
    g = _gather(got, r.format, r.byteorder)
    if sel is None:
        return g
    if src.size is None:
        picked = range(n)[sel]
        _picked(src.name, index, n, len(picked))
        return g if picked == range(n) else _select(g, np.asarray(picked, dtype=np.intp))
    _picked(src.name, index, fit.traces or 0, len(rows))
    wanted = np.asarray(rows, dtype=np.intp) - lo
    if len(wanted) == n and (len(wanted) == 0 or (wanted == np.arange(n)).all()):
        return g
    return _select(g, wanted[wanted < n])


def _select(g: Gather, rows: slice | np.ndarray) -> Gather:
    """The traces of `rows` as a new Gather (copies)."""
    return Gather(*_take(g.headers, g.flat, g.offsets, rows), g.format, g.byteorder)


def _take(headers: np.ndarray, flat: np.ndarray | None, offsets: np.ndarray,
          rows: slice | np.ndarray) -> tuple[np.ndarray, np.ndarray | None, np.ndarray]:
    """(headers, flat, offsets) of the traces of `rows` (a slice or
    indexes, in any order), copied, of traces held as header rows, samples
    back to back and their boundaries."""
    idx = np.arange(len(headers))[rows]
    new_offsets = np.zeros(len(idx) + 1, dtype=np.int64)
    np.cumsum(np.diff(offsets)[idx], out=new_offsets[1:])
    if flat is not None:
        flat = np.concatenate([flat[offsets[i]:offsets[i + 1]] for i in idx.tolist()]) if len(idx) \
            else flat[:0].copy()
    return headers[idx], flat, new_offsets


# ---- writing --------------------------------------------------------------------------------


class _Sink:
    """Where bytes go: a path (a temporary file beside it, renamed over it
    when the block ends without an error, removed when it raises), a binary
    file object (written where it stands) or a stream.  `target` is a
    descriptor, or an object whose write() takes every byte or raises."""

    def __init__(self, dest: object) -> None:
        self.path: _sinks.PathSink | None = None
        if isinstance(dest, (str, bytes, os.PathLike)):
            self.path = _sinks.PathSink(dest)
            self.file = self.path.file
        else:
            if isinstance(dest, io.TextIOBase) or not hasattr(dest, "write"):
                raise TypeError(f"a path or a binary file object is required, not {type(dest).__name__}")
            self.file = dest
        self.target: object = _sinks.WholeWrites(self.file)
        self.pos: int | None = None
        try:
            fd = self.file.fileno()
        except (OSError, AttributeError, ValueError):
            return
        try:
            if hasattr(self.file, "flush"):
                self.file.flush()
            if _seekable(self.file):
                self.pos = self.file.tell()
                os.lseek(fd, self.pos, os.SEEK_SET)
        except BaseException:
            if self.path is not None:
                self.path.discard()
            raise
        self.target = fd

    def __enter__(self) -> _Sink:
        return self

    def __exit__(self, kind: object, *exc: object) -> None:
        if self.path is not None:
            self.path.__exit__(kind)

    def done(self, written: int) -> None:
        if self.pos is not None and self.path is None:
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


def _refuse_no_interval(data: object) -> None:
    """ValueError, before anything is created, when SEG-Y written from
    `data` (a Gather or a (headers, samples) pair) would have no sample
    interval: a SEG-Y gather's interval (its binary header's, else its
    traces'), or trace 0's dt, is 0."""
    if isinstance(data, Gather):
        headers = data.headers
    elif isinstance(data, tuple) and len(data) == 2:
        headers = np.asarray(data[0])
    else:
        return                      # write_gather names what it takes
    if not len(headers):
        return
    interval = getattr(data, "interval", None)
    if interval is not None:
        dt = int(interval()[0])
    elif headers.dtype.names and "dt" in headers.dtype.names:
        dt = int(headers["dt"][0])
    elif headers.dtype.itemsize == HEADER_SIZE:      # rows of raw header bytes
        dt = int(np.ascontiguousarray(headers[:1]).view(np.uint8)[116:118].view(np.uint16)[0])
    else:
        return                      # write_gather names what it takes
    _segyfile.refuse_no_interval(0, np.array([dt]))


def check_interval(dt: object) -> int:
    """A dt= argument: a whole number of microseconds from 1 to 65535."""
    if isinstance(dt, bool) or not isinstance(dt, (int, np.integer)) or not 0 < dt < 65536:
        raise ValueError(f"dt must be a whole number of microseconds from 1 to 65535, not {dt!r}")
    return int(dt)


def write(dest: object, data: object, *, format: str | None = None, byteorder: str | None = None,
          sample_format: int | None = None, text: str | bytes | None = None, revision: int = 1,
          dt: int | None = None) -> None:
    """Writes a Gather, or a (headers, samples) pair, as an SU or collection
    file in either byte order: by default the data's own format and order
    ("su" and native order for bare arrays).  Each trace's ns comes from its
    samples; a header that says otherwise (other than 0, unset) is an error.
    `dt` (microseconds) is the sample interval: by default the data's own
    (vondrel._interval's rule); given, it goes into every trace header of
    an SU or collection file and into the binary header of SEG-Y.

    As SEG-Y (format="segy", the default for data read from SEG-Y):
    revision 1, big-endian unless the data came from SEG-Y (its order) or
    `byteorder` says otherwise; the samples in the format the data came in
    (data read from SEG-Y), else the one of their type (5, IEEE float, for
    float32), unless `sample_format` says otherwise (1 for IBM float);
    `text` the textual header; `revision=2` also writes the byte-order
    constant; `dt` (microseconds) the interval.

    A path is written to a temporary file beside it, renamed over it when
    complete and synchronised: a write that fails leaves no file and an
    existing one as it was.  A file that a `traces` reader is reading is
    refused as a destination."""
    if dt is not None:
        dt = check_interval(dt)
    if format == "segy" or (format is None and getattr(data, "format", None) == "segy"):
        if isinstance(data, np.ndarray):
            raise TypeError(f"data must be a Gather or a (headers, samples) pair, not {type(data).__name__}")
        if not isinstance(data, (Gather, tuple)):
            data = from_collection(data)             # a SEGY collection or a trace iterator
        if dt is None:
            _refuse_no_interval(data)
        with _Sink(dest) as sink:
            sink.done(_segyfile.write_gather(sink.target, data, sample_format, _order(byteorder), text, revision,
                                             dt))
        return
    if sample_format is not None or text is not None or revision != 1:
        raise ValueError("sample_format, text and revision are for SEG-Y (format='segy')")
    headers, flat, offsets, fmt, order = _arrays_of(data)
    fmt = format or fmt
    if fmt not in ("su", "collection"):
        raise ValueError(f"format must be 'su', 'collection' or 'segy', not {fmt!r}")
    order = _order(byteorder, order)
    n = len(offsets) - 1
    if np.ndim(headers) != 1 or len(headers) != n:
        raise ValueError(f"{np.size(headers)} header rows for {n} traces")
    rows, segy = header_rows(headers)
    if segy or dt is not None:
        rows = rows.copy() if np.may_share_memory(rows, headers) else rows
        if segy:
            rows[:, 180:] = 0             # Seismic Unix has other fields there
    headers = rows.view(header_dtype()).reshape(n)
    if dt is not None:
        headers["dt"] = dt
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
