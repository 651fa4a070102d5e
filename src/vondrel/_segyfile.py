"""SEG-Y files: the textual, binary and extended headers, detection, and the
traces read into arrays and written back (revision 1, and revision 2's
byte-order constant and sample formats).  The front door is vondrel.read
and vondrel.write; this module holds what is particular to SEG-Y."""
from __future__ import annotations

import os
import re
import struct
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any

import numpy as np

from vondrel import _arrays, _bulk, _interval, _sinks
from vondrel._detection import REFUTED, Fit, Overrides, Reading, TraceFormat, TraceWriter, picked
from vondrel._gather import Gather
from vondrel._messages import CUT_SHORT, HEADER_ROWS, NO_FORM, NOT_A_GATHER
from vondrel._sources import Sink, read_into, read_some, readinto_some
from vondrel._layout import (BINARY_FIELDS, BINARY_SIZE, BYTEORDER_CONSTANT, FORMAT_NAMES, FORMAT_OF_TYPE,
                             HEAD_SIZE, HEADER_SIZE, NATIVE, ORDER_NAMES, REFUSED_FORMATS, SAMPLE_FORMAT_NAMES,
                             SAMPLE_FORMATS, TEXT_SIZE, TRACE_HEADER_SIZE, BinaryHeader, binary_dtype, byte_rows,
                             check_sample_format,
                             flat_of, header_dtype, header_rows, in_order, narrowed, narrowing_may_round,
                             order, swapped, take, trace_header_dtype, warn_rounded)

CHUNK = 1 << 20                   # bytes of traces per read or write: stays in the cache


# ---- textual headers ----------------------------------------------------------------

# Bytes that textual headers are made of, in each encoding: blanks, letters,
# digits and punctuation (and NUL, which real files pad with).
_EBCDIC_TEXT = bytes([0, 0x40, *range(0x4A, 0x51), *range(0x5A, 0x62), *range(0x6A, 0x70), *range(0x79, 0x80),
                      *range(0x81, 0x8A), *range(0x91, 0x9A), *range(0xA1, 0xAA), *range(0xC0, 0xCA),
                      *range(0xD0, 0xDA), 0xE0, *range(0xE2, 0xEA), *range(0xF0, 0xFA)])
_ASCII_TEXT = bytes([0, 0x0A, 0x0D, *range(0x20, 0x7F)])
_END_TEXT = "((seg:endtext))"


def text_encoding(raw: bytes) -> str | None:
    """'cp037' (EBCDIC) or 'ascii' for a textual header: the encoding in
    which more of its bytes are printable text (NUL pads either; EBCDIC,
    the standard's, where they read alike), or None when neither reads at
    least 80% of them as text."""
    ebcdic = len(raw) - len(raw.translate(None, _EBCDIC_TEXT))
    ascii_ = len(raw) - len(raw.translate(None, _ASCII_TEXT))
    if max(ebcdic, ascii_) * 5 < len(raw) * 4:
        return None
    return "ascii" if ascii_ > ebcdic else "cp037"


def is_text_header(raw: bytes) -> bool:
    """Whether the bytes are a textual header beyond doubt: at least 95% of
    them text or NUL padding in one encoding, and a tenth of them text other
    than NUL.  Trace data never are: their headers hold counts and
    intervals as binary numbers."""
    encoding = text_encoding(raw)
    if encoding is None:
        return False
    text = len(raw) - len(raw.translate(None, _ASCII_TEXT if encoding == "ascii" else _EBCDIC_TEXT))
    return text * 20 >= len(raw) * 19 and (text - raw.count(0)) * 10 >= len(raw)


def decode_text(raw: bytes) -> str:
    """A 3200-byte textual header as 40 lines of 80 characters joined by
    newlines."""
    text = raw.decode("cp037" if text_encoding(raw) != "ascii" else "latin-1")
    return "\n".join(text[i:i + 80] for i in range(0, len(text), 80))


def encode_text(text: str | bytes, encoding: str = "cp037") -> bytes:
    """3200 bytes for a textual header: a str of at most 40 lines of at most
    80 characters (or of at most 3200 characters without line breaks), each
    line padded with blanks; bytes of exactly 3200 are taken as they are."""
    if isinstance(text, (bytes, bytearray, memoryview)):
        raw = bytes(text)
        if len(raw) != TEXT_SIZE:
            raise ValueError(f"A textual header is {TEXT_SIZE} bytes, not {len(raw)}.")
        return raw
    if not isinstance(text, str):
        raise TypeError(f"text must be str or bytes, not {type(text).__name__}")
    lines = text.split("\n") if "\n" in text else [text[i:i + 80] for i in range(0, len(text), 80)]
    if len(lines) > 40 or any(len(line) > 80 for line in lines):
        raise ValueError("A textual header holds at most 40 lines of at most 80 characters.")
    padded = "".join(line.ljust(80) for line in lines).ljust(TEXT_SIZE)
    try:
        return padded.encode(encoding)
    except UnicodeEncodeError as e:
        raise ValueError(f"The textual header cannot hold {e.object[e.start]!r} in {encoding}.") from None


def default_text(sample_format: int, byteorder: str) -> str:
    order = "big-endian" if byteorder == ">" else "little-endian"
    kind = "IBM float" if sample_format == 1 else f"sample format {sample_format}"
    lines = [f"C{i:2d}" for i in range(1, 41)]
    lines[0] += " written by vondrel"
    lines[1] += f" {kind}, {order}"
    lines[38] = "C39 SEG Y REV1"
    lines[39] = "C40 END TEXTUAL HEADER"
    return "\n".join(lines)


def is_end_text(block_text: str) -> bool:
    """Whether an extended textual header opens with ((SEG: EndText)), in any
    case and with any blanks."""
    return re.sub(r"[\s\x00]", "", block_text).lower().startswith(_END_TEXT)


# ---- the binary header and what it says ----------------------------------------------

def revision_of(binary: np.ndarray) -> int:
    """The revision's major number: byte 3501, or 3502 where a file wrote
    the 16-bit 0x0001 (some do)."""
    major, minor = int(binary["rev"]), int(binary["revmin"])
    if major == 0 and minor in (1, 2):
        return minor
    return major


def new_binary(dt: int) -> np.ndarray:
    """A revision 1 binary header (native order) of traces `dt` microseconds
    apart: every writer's start where no file headers are given."""
    binary = np.zeros((), binary_dtype())
    binary["hdt"] = binary["dto"] = dt
    binary["rev"], binary["revmin"] = 1, 0
    return binary


def encoded_headers(text: bytes, binary: np.ndarray, extended: list[bytes], byteorder: str) -> bytes:
    """The file headers as a file holds them: the textual header (3200
    bytes), the binary header (native order) in `byteorder`, the extended
    textual headers."""
    return bytes(text + in_order(binary, byteorder) + b"".join(extended))


class Layout:
    """What the headers say about the traces of a SEG-Y file; `ns` and
    `code` stand in for the binary header's sample count and format code
    where the caller says so."""

    def __init__(self, byteorder: str, raw_text: bytes, raw_binary: bytes, ns: int | None = None,
                 code: int | None = None) -> None:
        self.byteorder = byteorder
        self.raw_text = raw_text
        self.binary = swapped(np.frombuffer(raw_binary, dtype=binary_dtype(byteorder)).reshape(()), byteorder)
        self.code = int(self.binary["format"]) if code is None else code
        self.revision = revision_of(self.binary)
        self.n_extended = int(self.binary["nvstxt"])
        self.raw_extended: list[bytes] = []
        # Revision 1 or later with the fixed-length flag at 0: each trace
        # header's ns counts; otherwise the binary header's (or the caller's).
        variable = ns is None and self.revision >= 1 and int(self.binary["trflag"]) == 0
        self.ns = None if variable else int(self.binary["hns"]) if ns is None else ns
        self.ns_given = ns is not None
        self.dt = int(self.binary["hdt"])        # unsigned: 32,768 us and more are intervals too
        # Revision 2 says where the first trace begins (0: right after the
        # extended textual headers).
        self.first_trace = int(self.binary["trstart"]) if self.revision >= 2 else 0

    @property
    def width(self) -> int:
        return SAMPLE_FORMATS[self.code][0] if self.code in SAMPLE_FORMATS else 4

    @property
    def headers_end(self) -> int:
        """Where the file headers end (known once the extended headers are read)."""
        return HEAD_SIZE + TEXT_SIZE * len(self.raw_extended)

    @property
    def start(self) -> int:
        """Where the first trace begins (known once the extended headers are read)."""
        return max(self.first_trace, self.headers_end)

    @property
    def start_guess(self) -> int:
        """Where the first trace begins by the binary header (the first
        possible place when the count of extended headers is unknown)."""
        return max(self.first_trace, self.headers_guess)

    @property
    def headers_guess(self) -> int:
        """Where the file headers end by the binary header's count of
        extended textual headers (at the earliest, when it is unknown)."""
        return HEAD_SIZE + TEXT_SIZE * max(self.n_extended, 1 if self.n_extended < 0 else 0)

    def trace_size(self, ns: int | None = None) -> int:
        return TRACE_HEADER_SIZE + (self.ns if ns is None else ns) * self.width

    def refusal(self) -> str | None:
        """A message that names what this module does not read, or None."""
        b = self.binary
        if self.code in REFUSED_FORMATS:
            return f"SEG-Y {REFUSED_FORMATS[self.code]} is not supported."
        if self.code not in SAMPLE_FORMATS:
            return f"SEG-Y sample format code {self.code} is unknown."
        if self.n_extended < -1:
            return f"The count of extended textual headers, {self.n_extended}, is impossible."
        if self.first_trace and self.first_trace < self.headers_end:
            return (f"The first-trace offset (bytes 3521-3528), {self.first_trace}, lies inside the file "
                    f"headers, which end at byte {self.headers_end}.")
        if self.revision >= 2:
            features = []
            if int(b["maxtrh"]) > 0:
                features.append("additional 240-byte trace headers")
            if int(b["xhns"]) and int(b["xhns"]) != int(b["hns"]):
                features.append("extended (32-bit) sample counts")
            if int(b["ntrfile"]):
                features.append("64-bit trace counts")
            if int(b["ntrailer"]):
                features.append("data trailers")
            if features:
                return f"SEG-Y revision 2 {', '.join(features)} are not supported."
        return None

    def valid(self) -> bool:
        """Whether the binary header describes traces: a format code that
        this module knows (or refuses by name), a possible count of extended
        textual headers, and a first-trace offset past the binary header."""
        return ((self.code in SAMPLE_FORMATS or self.code in REFUSED_FORMATS) and self.n_extended >= -1
                and (not self.first_trace or self.first_trace >= self.headers_guess))

    def starts(self, size: int) -> list[int] | range:
        """Where the first trace may begin in a file of `size` bytes."""
        if self.first_trace or self.n_extended >= 0:
            return [self.start_guess]
        return range(HEAD_SIZE + TEXT_SIZE, size + 1, TEXT_SIZE)

    def tiles(self, size: int, ns: int | None = None) -> bool:
        """Whether traces of this layout (of `ns` samples if given) fill a
        file of `size` bytes exactly."""
        starts = [start for start in self.starts(size) if start <= size]
        if not starts:
            return False
        ns = self.ns if ns is None else ns
        if ns is None:
            return True
        if ns == 0:                 # traces of no samples are none: a header that says 0 says nothing
            return size in starts
        trace = self.trace_size(ns)
        return any((size - start) % trace == 0 for start in starts)

    def plausible(self, size: int | None) -> int:
        """How well this reading tiles a file of `size` bytes (None: unknown):
        0 it does not, 1 it may, 2 its byte-order constant also says so."""
        if not self.valid():
            return 0
        if size is not None and not self.tiles(size):
            return 0
        constant = int(self.binary["bytord"])
        if constant == BYTEORDER_CONSTANT:
            return 2
        if constant == int.from_bytes(BYTEORDER_CONSTANT.to_bytes(4, "big"), "little"):
            return 0
        return 1

    def tiling_ns(self, size: int) -> int | None:
        """The sample count nearest to the binary header's with which fixed
        length traces fill a file of `size` bytes exactly, or None."""
        starts = [start for start in self.starts(size) if start < size]
        if not starts or self.code not in SAMPLE_FORMATS:
            return None
        counts = np.arange(1, 65536, dtype=np.int64)
        fits = np.zeros(len(counts), bool)
        for start in starts[:64]:
            fits |= (size - start) % (TRACE_HEADER_SIZE + counts * self.width) == 0
        if not fits.any():
            return None
        ns = int(self.binary["hns"])
        found = counts[fits]
        return int(found[np.argmin(np.abs(found - ns))])

    def shown(self) -> str:
        """The binary header's fields that are not zero, by name."""
        names = [name for name, kind, _ in BINARY_FIELDS if not kind.startswith("V")]
        return ", ".join(f"{name} {self.binary[name].item()}" for name in names if self.binary[name]) or "zeros"


def layouts(head: bytes, size: int | None, byteorder: str | None = None, ns: int | None = None,
            code: int | None = None) -> list[tuple[int, Layout]]:
    """The readings of a file's first 3600 bytes as SEG-Y, best first: a list
    of (plausibility, Layout) with plausibility above 0.  Empty when the
    first 3200 bytes are not text or the binary header fits no order."""
    if len(head) < HEAD_SIZE or text_encoding(bytes(head[:TEXT_SIZE])) is None:
        return []
    found = []
    for order in (byteorder,) if byteorder else (">", "<"):
        layout = Layout(order, bytes(head[:TEXT_SIZE]), bytes(head[TEXT_SIZE:HEAD_SIZE]), ns, code)
        score = layout.plausible(size)
        if score:
            found.append((score, layout))
    found.sort(key=lambda item: -item[0])
    if len(found) == 2 and found[0][0] > found[1][0]:
        found = found[:1]
    return found


def likely_order(raw_binary: bytes) -> str:
    """The byte order in which a binary header's numbers look most like a
    binary header's (its byte-order constant, else a small format code, sample count and interval),
    big-endian where they read alike."""
    constant = raw_binary[96:100]
    if constant in (b"\x01\x02\x03\x04", b"\x04\x03\x02\x01"):
        return ">" if constant == b"\x01\x02\x03\x04" else "<"
    for at in (24, 20, 16):
        big, little = struct.unpack_from(">H", raw_binary, at)[0], struct.unpack_from("<H", raw_binary, at)[0]
        if big != little:
            return ">" if big < little else "<"
    return ">"



# ---- reading -----------------------------------------------------------------------

class Truncated(Exception):
    """The file ends inside trace `index`, which starts at byte `offset`;
    `size` is where the data end, when a stream showed it."""

    def __init__(self, index: int, offset: int, size: int | None = None) -> None:
        super().__init__(index, offset)
        self.index, self.offset, self.size = index, offset, size


def read_extended(layout: Layout, f: Any, name: str) -> None:
    """Reads the extended textual headers from f (standing at byte 3600) into
    layout.raw_extended."""
    count = layout.n_extended
    while count != 0:
        raw = read_some(f, TEXT_SIZE)
        if len(raw) < TEXT_SIZE:
            raise ValueError(f"{name}: extended textual header {len(layout.raw_extended)} is cut short "
                             f"at byte {layout.start + len(raw)}.")
        layout.raw_extended.append(raw)
        count -= 1
        if count < 0 and is_end_text(decode_text(raw)):
            break


class Traces:
    """The result of a read: native header rows, the samples back to back and
    the n + 1 trace boundaries; `truncated` the break that partial=True
    stepped over, or None."""

    def __init__(self, headers: np.ndarray, flat: np.ndarray | None, offsets: np.ndarray,
                 truncated: tuple[int, int] | None = None) -> None:
        self.headers, self.flat, self.offsets, self.truncated = headers, flat, offsets, truncated


def _decode(layout: Layout, src: Any, count: int, ns: int, headers: Any, samples: Any, stored: bool) -> None:
    _arrays._segy_decode(src, count, ns, layout.code, layout.byteorder == ">", headers, samples, not stored)


def _sample_type(layout: Layout, stored: bool) -> np.dtype:
    return np.dtype(NATIVE + SAMPLE_FORMATS[layout.code][1]) if stored else np.dtype(np.float32)


def read_traces(layout: Layout, f: Any, size: int | None, traces: slice | None = None, samples: bool = True,
                partial: bool = False, stored: bool = False) -> Traces:
    """Reads the traces of a SEG-Y file from f, which stands at the first of
    them; `size` is the file's size, or None for a stream.  Raises Truncated
    (unless partial) when the data ends inside a trace."""
    if layout.ns is None:
        return _read_variable(layout, f, size, traces, samples, partial, stored)
    trace_size = layout.trace_size()
    if size is None:
        return _select(_read_stream(layout, f, samples, partial, stored), traces, layout.ns)
    n_all, rest = divmod(size - layout.start, trace_size)
    truncated = None
    if rest:
        if not partial:
            raise Truncated(n_all, layout.start + n_all * trace_size)
        truncated = (n_all, layout.start + n_all * trace_size)
    index = range(n_all) if traces is None else range(n_all)[traces]
    ascending = index if index.step > 0 else index[::-1]
    k = len(index)
    headers = np.empty(k, trace_header_dtype())
    flat = np.empty(k * layout.ns, _sample_type(layout, stored)) if samples else None
    got = _bulk.read_segy_run(f, ascending, trace_size, layout.ns, layout.code, layout.byteorder == ">",
                              byte_rows(headers), flat, stored) if k else None
    if got is not None and got < k:
        raise Truncated(ascending[got], layout.start + ascending[got] * trace_size)
    if k and got is None:
        if ascending.step == 1 and (samples or trace_size <= 16 * TRACE_HEADER_SIZE):
            f.seek(ascending[0] * trace_size, os.SEEK_CUR)
            _read_run(layout, f, ascending[0], k, headers, flat, stored)
        else:
            _read_each(layout, f, ascending, headers, flat, stored)
    if index.step < 0:
        headers = headers[::-1].copy()
        flat = flat.reshape(k, layout.ns)[::-1].ravel() if flat is not None else None
    offsets = np.arange(k + 1, dtype=np.int64) * layout.ns
    return Traces(headers, flat, offsets, truncated)


def _read_run(layout: Layout, f: Any, first_index: int, k: int, headers: np.ndarray, flat: np.ndarray | None,
              stored: bool) -> None:
    """Reads k whole traces from trace `first_index` on, a cache-sized chunk
    at a time; Truncated when the file has shrunk since its size was taken."""
    trace_size, ns = layout.trace_size(), layout.ns
    per_chunk = max(1, CHUNK // trace_size)
    rows = byte_rows(headers)
    out = flat.reshape(len(headers), ns) if flat is not None else None
    sizes = [min(per_chunk, k - first) * trace_size for first in range(0, k, per_chunk)]
    with _ReadAhead(f, sizes, k * trace_size > 4 * CHUNK) as chunks:
        for first, (view, got) in zip(range(0, k, per_chunk), chunks):
            m = len(view) // trace_size
            if got < len(view):
                at = first_index + first + got // trace_size
                raise Truncated(at, layout.start + at * trace_size)
            _decode(layout, view, m, ns, rows[first:first + m], out[first:first + m] if out is not None else None,
                    stored)


class _ReadAhead:
    """The chunks of `sizes` bytes read from f in turn, as (view, bytes
    read); on a second thread one chunk ahead when `threaded`, so that
    reading and converting (both without the interpreter lock) overlap.  A
    view stays valid until the next one is taken."""

    def __init__(self, f: Any, sizes: list[int], threaded: bool) -> None:
        self.f, self.sizes = f, sizes
        self.bufs = [bytearray(max(sizes, default=0)) for _ in range(2 if threaded else 1)]
        self.pool = ThreadPoolExecutor(1) if threaded else None
        self.pending: Future[tuple[memoryview, int]] | None = None

    def _fill(self, k: int) -> tuple[memoryview, int]:
        view = memoryview(self.bufs[k % len(self.bufs)])[:self.sizes[k]]
        return view, read_into(self.f, view)

    def __iter__(self) -> Any:
        for k in range(len(self.sizes)):
            if self.pool is None:
                yield self._fill(k)
                continue
            current = self.pending.result() if self.pending else self._fill(k)
            self.pending = self.pool.submit(self._fill, k + 1) if k + 1 < len(self.sizes) else None
            yield current

    def __enter__(self) -> _ReadAhead:
        return self

    def __exit__(self, *exc: object) -> None:
        if self.pool is not None:
            self.pool.shutdown()       # waits for a read still in flight
            if self.pending is not None and not exc[0]:
                self.pending.result()


def _read_each(layout: Layout, f: Any, ascending: range, headers: np.ndarray, flat: np.ndarray | None,
               stored: bool) -> None:
    """Reads the traces of `ascending` one by one, seeking between them (or
    only their headers when flat is None)."""
    trace_size, ns = layout.trace_size(), layout.ns
    want = trace_size if flat is not None else TRACE_HEADER_SIZE
    buf = memoryview(bytearray(want))
    rows = byte_rows(headers)
    out = flat.reshape(len(headers), ns) if flat is not None else None
    base = f.tell()
    for j, i in enumerate(ascending):
        f.seek(base + i * trace_size)
        if read_into(f, buf) < len(buf):
            raise Truncated(i, layout.start + i * trace_size)
        _decode(layout, buf, 1, ns if flat is not None else 0, rows[j:j + 1],
                out[j:j + 1] if out is not None else None, stored)


def _read_stream(layout: Layout, f: Any, samples: bool, partial: bool, stored: bool) -> Traces:
    """Reads fixed-length traces from a stream of unknown size to its end."""
    trace_size, ns = layout.trace_size(), layout.ns
    per_chunk = max(1, CHUNK // trace_size)
    buf = memoryview(bytearray(per_chunk * trace_size))
    parts_h, parts_s, n = [], [], 0
    sample_type = _sample_type(layout, stored)
    while True:
        got = read_into(f, buf)
        m = got // trace_size
        h = np.empty(m, trace_header_dtype())
        s = np.empty((m, ns), sample_type) if samples else None
        _decode(layout, buf[:m * trace_size], m, ns, byte_rows(h), s, stored)
        parts_h.append(h)
        if samples:
            parts_s.append(s.ravel())
        n += m
        if got < len(buf):
            break
    truncated = None
    if got % trace_size:
        if not partial:
            raise Truncated(n, layout.start + n * trace_size, layout.start + n * trace_size + got % trace_size)
        truncated = (n, layout.start + n * trace_size)
    headers = np.concatenate(parts_h)
    flat = np.concatenate(parts_s) if samples else None
    return Traces(headers, flat, np.arange(n + 1, dtype=np.int64) * ns, truncated)


def _select(result: Traces, traces: slice | None, ns: int) -> Traces:
    """The traces of `traces` (Python's slicing of range(n), reversed too)
    out of a read of fixed-length traces, copied."""
    if traces is None:
        return result
    rows = np.asarray(range(len(result.headers))[traces], dtype=np.intp)
    flat = result.flat
    if flat is not None:
        flat = flat.reshape(len(result.headers), ns)[rows].ravel()
    return Traces(result.headers[rows], flat, np.arange(len(rows) + 1, dtype=np.int64) * ns, result.truncated)


def _read_variable(layout: Layout, f: Any, size: int | None, traces: slice | None, samples: bool, partial: bool,
                   stored: bool) -> Traces:
    """Traces that each hold their own sample count: the whole rest of the
    file is read, walked, then converted."""
    data = read_some(f) if size is None else read_some(f, size - layout.start)
    big = layout.byteorder == ">"
    n, used, n_samples = _arrays._segy_walk(data, layout.code, big)
    truncated = None
    if used < len(data):
        if not partial:
            raise Truncated(n, layout.start + used)
        truncated = (n, layout.start + used)
    headers = np.empty(n, trace_header_dtype())
    flat = np.empty(n_samples, _sample_type(layout, stored))
    _decode(layout, data, n, -1, byte_rows(headers), flat, stored)
    offsets = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(headers["ns"], out=offsets[1:])
    if traces is None:
        return Traces(headers, flat if samples else None, offsets, truncated)
    return Traces(*take(headers, flat if samples else None, offsets, traces), truncated)


# ---- the front door: detection, the Gather, read, probe, write ---------------------------

class SegyFormat(TraceFormat):
    """SEG-Y as one of the formats detection tries: it fits when bytes
    3201-3600 hold a plausible binary header and the traces after the
    headers tile the rest of the file.  It comes first in the registry and
    is decisive: once it tiles, no later format is tried (a SEG-Y file may
    also tile as SU traces of ns 0), and a textual header beyond doubt
    claims the file for SEG-Y, whether its traces tile or not."""
    name = "segy"
    decisive = True
    overridable = True
    title = "SEG-Y"
    suffix = ".sgy"
    file_headers = True
    native_default_order = False
    default_byteorder = ">"
    head_bytes = HEAD_SIZE          # the textual and binary file headers
    # Every code it can store; IEEE float (5), as SU stores, when none is asked.
    sample_formats = (5, *(code for code in SAMPLE_FORMATS if code != 5))

    def shown_headers(self, src: Any) -> str | None:
        return describe_binary(src)

    def header_dtype(self) -> np.dtype:
        return trace_header_dtype()

    def file_headers_fit(self, head: bytes, size: int) -> bool:
        return bool(layouts(head, size))

    def gather(self, headers: Any, flat: Any, offsets: Any, byteorder: str, file_headers: Any = None) -> SegyGather:
        return SegyGather(headers, flat, offsets, file_headers)

    def overridden(self, src: Any, byteorder: str | None, overrides: Overrides) -> tuple[str, int, int | None, Layout]:
        """The reading of src's file headers with the binary header's sample
        count and format code replaced by the ones given: in the byte order
        whose binary header makes sense once they stand."""
        head = src.pread(0, HEAD_SIZE)
        if len(head) < HEAD_SIZE or text_encoding(head[:TEXT_SIZE]) is None:
            raise ValueError(f"{src.name}: no SEG-Y file headers (3,600 bytes, a textual header first) to override")
        orders = (byteorder,) if byteorder else (">", "<")
        readings = [Layout(o, head[:TEXT_SIZE], head[TEXT_SIZE:]) for o in orders]
        for layout in readings:
            if overrides.ns is not None:
                layout.ns = overrides.ns
            if overrides.sample_format is not None:
                layout.code = overrides.sample_format
        layout = sorted(readings, key=lambda layout: -layout.plausible(src.size))[0]
        if not layout.plausible(src.size):
            ns = overrides.ns
            raise ValueError(f"{src.name}: the traces do not tile the file with "
                             f"{'ns=' + str(ns) if ns is not None else 'the binary header'}'s sample count")
        _refuse(layout, src.name)
        src.file.seek(HEAD_SIZE)
        read_extended(layout, src.file, src.name)
        return layout.byteorder, layout.start, layout.ns, layout

    def plan_headers(self, file_headers: Any) -> tuple[int, str | None, Any, tuple[str, ...]]:
        layout = file_headers
        binary = layout.binary.copy()
        binary.flags.writeable = False
        return (int(layout.binary["hdt"]) & 0xFFFF, decode_text(layout.raw_text), binary,
                tuple(decode_text(raw) for raw in layout.raw_extended))

    def sample_width(self, file_headers: Any) -> tuple[int, int]:
        return file_headers.code, file_headers.width

    def encode_file_headers(self, n: int, byteorder: str, ns: int, dt: int, code: int,
                            like: tuple[bytes, str, int] | None = None) -> bytes:
        """The textual and binary headers (and the extended ones of `like`):
        those of `like` as they are where the byte order and the sample
        format stay, with the format code changed where it does not; else a
        revision 1 binary header of traces of one length and the textual
        header that says what wrote the file."""
        if like is not None:
            raw, like_order, like_code = like
            if byteorder == like_order and code == like_code:
                return raw
            binary = swapped(np.frombuffer(raw[TEXT_SIZE:HEAD_SIZE], binary_dtype(like_order)).reshape(()), like_order)
            binary["format"] = code
            return raw[:TEXT_SIZE] + in_order(binary, byteorder) + raw[HEAD_SIZE:]
        binary = new_binary(dt)
        binary["hns"], binary["format"], binary["trflag"] = ns, code, 1
        return encoded_headers(encode_text(default_text(code, byteorder)), binary, [], byteorder)

    def read(self, src: Any, fit: Fit, sel: slice | None, index: int | None, samples: bool, partial: bool,
             stored: bool, overrides: Overrides) -> SegyGather:
        return read_gather(src, fit, sel, index, samples, partial, stored, overrides)

    def probe(self, src: Any, fit: Fit, overrides: Overrides) -> tuple[int | None, int | None, int | None]:
        return probe_layout(src, fit, overrides)

    def write(self, dest: object, data: object, byteorder: str | None, dt: int | None,
              sample_format: int | None, text: str | bytes | None, revision: int) -> None:
        if isinstance(data, np.ndarray):
            raise TypeError(NOT_A_GATHER.format(kind=type(data).__name__))
        if dt is None:
            _refuse_no_interval(data)
        with Sink(dest) as sink:
            sink.done(write_gather(sink.target, data, sample_format, order(byteorder), text, revision, dt,
                                   disposable=sink.takes_back))

    def open_plan(self, src: Any, fit: Fit) -> tuple[int, int | None, int | None, Any]:
        """The file headers read: the count follows from the size."""
        layout, _ = open_layout(src, fit.reading.byteorder)
        return layout.start, None, layout.ns, layout

    def trace_writer(self, byteorder: str | None, options: dict[str, Any]) -> SegyTraceWriter:
        return SegyTraceWriter(byteorder, options)

    def stream_plan(self, src: Any, fit: Fit, overrides: Overrides) -> tuple[Any, ...]:
        """The file headers read, the source left at its first trace.  The
        dt that every converted trace gets is the binary header's interval
        (0: each trace keeps its own)."""
        layout, f = open_layout(src, fit.reading.byteorder, overrides)
        head = bytes(f.head) if isinstance(f, _Ahead) else b""
        fixed = layout.ns is not None
        count = (src.size - layout.start) // layout.trace_size() if fixed and src.size is not None else -1
        return (head, self.name, layout.byteorder, layout.ns if fixed else -1, count, src.start + layout.start,
                layout.code, _interval.interval(layout.dt, 0), decode_text(layout.raw_text),
                [decode_text(raw) for raw in layout.raw_extended], layout.binary, layout)

    def readings(self, head: bytes, overrides: Overrides) -> list[Reading]:
        return [Reading(self.name, layout.byteorder, layout.start_guess, None, layout.ns)
                for _, layout in layouts(head, None, None, *overrides)]

    def claims(self, head: bytes) -> bool:
        return len(head) >= HEAD_SIZE and is_text_header(bytes(head[:TEXT_SIZE]))

    def head_size(self, head: bytes) -> int:
        return HEAD_SIZE if text_encoding(bytes(head[:HEADER_SIZE])) else 0

    def read_ahead(self, r: Reading) -> int:
        return HEAD_SIZE

    def diagnose(self, src: Any, head: bytes, byteorder: str | None, named: bool) -> str | None:
        if not self.claims(head):
            return None
        raw = bytes(head[TEXT_SIZE:HEAD_SIZE])
        order = byteorder or likely_order(raw)
        layout = Layout(order, bytes(head[:TEXT_SIZE]), raw)
        where = f"bytes 3201-3600 are a SEG-Y binary header ({ORDER_NAMES[order]})"
        if layout.code not in SAMPLE_FORMATS and layout.code not in REFUSED_FORMATS:
            return (f"{where} with an unknown sample format code, {layout.code} (bytes 3225-3226); "
                    "sample_format= says which format the samples are in")
        if layout.n_extended < -1:
            return (f"{where} whose count of extended textual headers (bytes 3505-3506), {layout.n_extended}, "
                    "is impossible")
        if layout.first_trace and layout.first_trace < layout.headers_guess:
            return (f"{where} whose first-trace offset (bytes 3521-3528), {layout.first_trace}, lies inside "
                    f"the file headers, which end at byte {layout.headers_guess}")
        return None

    def fit(self, src: Any, head: bytes, r: Reading, eof: bool, named: bool = False, scan: bool = True,
            overrides: Overrides = Overrides()) -> Fit:
        if len(head) < HEAD_SIZE:
            return Fit(r, False, 0, 0, f"the data end {len(head)} bytes into the SEG-Y file headers", 0.0,
                        True, None)
        layout = Layout(r.byteorder, bytes(head[:TEXT_SIZE]), bytes(head[TEXT_SIZE:HEAD_SIZE]), *overrides)
        score = float(layout.plausible(None))
        if src.size is None:
            return Fit(r, True, None, layout.start_guess, "", score, layout.ns is not None, None)
        if layout.tiles(src.size):
            traces = samples = None
            end = layout.start_guess
            if layout.ns is not None and (layout.n_extended >= 0 or layout.first_trace):
                traces = (src.size - layout.start_guess) // layout.trace_size()
                samples = traces * layout.ns
                end = src.size
            return Fit(r, True, traces, end, "", score, layout.ns is not None, samples, True)
        start = layout.start_guess
        if layout.ns is None or layout.code not in SAMPLE_FORMATS or start > src.size:
            return Fit(r, False, 0, start, "the file ends inside its file headers" if start > src.size else
                        "the traces do not tile the file after the headers", score, layout.ns is not None, None, True)
        traces = (src.size - start) // layout.trace_size()
        end = start + traces * layout.trace_size()
        field = "the ns= given" if layout.ns_given else "the binary header's sample count (hns, bytes 3221-3222)"
        ns = layout.tiling_ns(src.size)
        if ns is not None and self._confirmed(src, layout, ns):
            # The binary header lies, and the trace headers tell the truth:
            # no partial read of traces of the wrong size.
            why = (f"{field} is {layout.ns}, and traces of {layout.ns} samples do not tile the file; {ns} "
                   f"samples per trace would, as the trace headers say (ns={ns} reads them so)")
            return Fit(r, False, traces, end, why, REFUTED, True, None, True)
        hint = f"{ns} samples per trace would tile it" if ns is not None else "no sample count would tile it"
        why = f"the file ends {src.size - end} bytes into that trace ({field} is {layout.ns}; {hint})"
        return Fit(r, False, traces, end, why, score, True, None, True)

    @staticmethod
    def _confirmed(src: Any, layout: Layout, ns: int) -> bool:
        """Whether the trace headers say that the traces hold `ns` samples:
        the first says so in bytes 115-116, or the trace numbers (tracl,
        tracr) count on from the first trace to the next by that size and not
        by the binary header's."""
        start = layout.start_guess
        first = src.pread(start, TRACE_HEADER_SIZE)
        if len(first) < TRACE_HEADER_SIZE:
            return False
        if struct.unpack_from(layout.byteorder + "H", first, 114)[0] == ns:
            return True

        def counts_on(size: int) -> bool:
            following = src.pread(start + size, 8)
            if len(following) < 8:
                return False
            pairs = zip(struct.unpack_from(layout.byteorder + "ii", first),
                        struct.unpack_from(layout.byteorder + "ii", following))
            return any(a and b == a + 1 for a, b in pairs)
        if counts_on(layout.trace_size(ns)) and not counts_on(layout.trace_size()):
            return True
        # The headers that follow at the binary header's size, when that is
        # wrong, begin with the last samples of the trace before (and, for
        # a size off by other than 4 bytes, no field where it belongs):
        # their words are far larger than those of real headers.
        stated, tiling = (_header_bits(src, start, layout.trace_size(n), layout.byteorder) for n in (None, ns))
        return stated is not None and tiling is not None and stated >= tiling + _HEADER_BITS_MARGIN


# Bits by which the trace headers after the first, at one trace size, must
# outweigh (on average) those at another for the headers to refute that
# size: about one word of samples read as a header field.
_HEADER_BITS_MARGIN = 24
_FOLLOWING = 4


def _header_bits(src: Any, start: int, size: int, byteorder: str) -> int | None:
    """The significant bits of the 60 words of a trace header, on average
    over the headers after the first (up to _FOLLOWING of them), for traces
    of `size` bytes from `start`; None when the file holds none of them."""
    heads = [src.pread(start + k * size, TRACE_HEADER_SIZE) for k in range(1, _FOLLOWING + 1)]
    heads = [h for h in heads if len(h) == TRACE_HEADER_SIZE]
    if not heads:
        return None
    words = np.frombuffer(b"".join(heads), byteorder + "i4").astype(np.int64)
    return int(np.frexp(np.abs(words).astype(np.float64))[1].sum()) // len(heads)


class SegyGather(Gather):
    """A Gather read from a SEG-Y file: also its textual header (`text`),
    extended textual headers (`extended_text`) and binary header (`binary`,
    a 0-d structured array in native order).  `headers` are SEG-Y trace
    headers, with ns and dt as the file wrote them."""

    __slots__ = ("text", "extended_text", "binary", "_layout", "_rounded")
    text: str
    extended_text: list[str]
    binary: BinaryHeader

    def __init__(self, headers: np.ndarray, flat: np.ndarray | None, offsets: np.ndarray, layout: Layout) -> None:
        super().__init__(headers, flat, offsets, SegyFormat.name, layout.byteorder, SegyFormat.title)
        self._layout = layout
        self._rounded = False     # float32 samples that differ from the file's values
        self.text = decode_text(layout.raw_text)
        self.extended_text = [decode_text(raw) for raw in layout.raw_extended]
        self.binary = layout.binary.view(BinaryHeader)

    def interval(self) -> np.ndarray:
        """Each trace's sample interval in microseconds (a new uint16 array):
        the binary header's where it is not 0, else the trace's own dt."""
        return _interval.intervals(int(self.binary["hdt"]), self.headers["dt"])

    def _su_headers(self) -> np.ndarray:
        """The trace headers in the Seismic Unix layout: bytes 1-180 as they
        are, ns and dt from the samples and the interval; the SEG-Y fields
        of bytes 181-240 stay behind (in `headers`)."""
        su = np.zeros(len(self.headers), header_dtype())
        byte_rows(su)[:, :180] = byte_rows(self.headers)[:, :180]
        lengths = np.diff(self.offsets)
        if len(lengths) and lengths.max() > 65535:
            i = int(np.flatnonzero(lengths > 65535)[0])
            raise ValueError(f"trace {i} has {lengths[i]} samples; a trace holds at most 65535")
        su["ns"] = lengths
        su["dt"] = self.interval()
        return su


    def _sample_format(self) -> str:
        return f"{SAMPLE_FORMAT_NAMES[self._layout.code]} (format {self._layout.code})"

    def _taken(self, rows: slice | np.ndarray) -> SegyGather:
        """The traces of `rows` with the file headers as the file holds them (copies)."""
        return SegyGather(*take(self.headers, self.flat, self.offsets, rows), self._layout)


# What each sample format code stores, for a gather's repr.


class _Ahead:
    """A stream read from its first bytes again: those read ahead during
    detection, then the stream itself."""

    def __init__(self, head: bytes, file: Any) -> None:
        self.head, self.file = memoryview(head), file

    def readinto(self, view: memoryview) -> int:
        if len(self.head):
            n = min(len(view), len(self.head))
            view[:n] = self.head[:n]
            self.head = self.head[n:]
            return n
        return readinto_some(self.file, view)

    def read(self, n: int | None = -1) -> bytes:
        out = bytearray()
        if n is None or n < 0:
            out += self.head
            self.head = self.head[len(self.head):]
            while True:
                more = read_some(self.file, CHUNK)
                if not more:
                    return bytes(out)
                out += more
        while len(out) < n:
            part = bytearray(n - len(out))
            got = self.readinto(memoryview(part))
            if not got:
                break
            out += part[:got]
        return bytes(out)


def _refuse(layout: Layout, name: str) -> None:
    why = layout.refusal()
    if why:
        raise ValueError(f"{name}: {why}")


def open_layout(src: Any, byteorder: str, overrides: Overrides = Overrides()) -> tuple[Layout, Any]:
    """The Layout of src (SEG-Y in `byteorder`, with the caller's
    overrides), its extended textual headers read, and the stream that
    stands at the first trace."""
    if src.size is not None:
        src.file.seek(src.start)
        f = src.file
    else:
        f = _Ahead(src.head, src.file)
    head = read_some(f, HEAD_SIZE)
    if len(head) < HEAD_SIZE:
        raise ValueError(f"{src.name}: {len(head)} bytes hold no SEG-Y file headers ({HEAD_SIZE} bytes)")
    layout = Layout(byteorder, head[:TEXT_SIZE], head[TEXT_SIZE:], *overrides)
    _refuse(layout, src.name)
    read_extended(layout, f, src.name)
    _refuse(layout, src.name)       # now that the first trace's offset is known
    gap = layout.start - layout.headers_end
    if gap and src.size is not None:
        f.seek(gap, os.SEEK_CUR)
    while gap > 0 and src.size is None:         # a stream: the bytes before the first trace, a chunk at a time
        skipped = len(read_some(f, min(gap, CHUNK)))
        if not skipped:
            raise ValueError(f"{src.name}: the data end before the first trace, at byte {layout.start}")
        gap -= skipped
    return layout, f


def read_gather(src: Any, fit: Fit, traces: slice | None, index: int | None, samples: bool, partial: bool,
                stored: bool, overrides: Overrides = Overrides()) -> SegyGather:
    """Reads the SEG-Y file of `src` (detected as `fit`) into a SegyGather:
    the traces of `traces` (a slice of range(n), or None for all; `index`
    the one trace asked for, if so)."""
    layout, f = open_layout(src, fit.reading.byteorder, overrides)
    if layout.ns == 0 and src.size is None and read_some(f, 1):
        # Traces of no samples are none: on a stream, nothing said so before.
        raise ValueError(f"{src.name}: SEG-Y {ORDER_NAMES[layout.byteorder]}: the binary header's sample "
                         "count (hns, bytes 3221-3222) is 0, and traces follow it; ns= gives their sample count")
    # float32 cannot hold every 32- or 64-bit integer or 64-bit float: they are
    # read whole, and narrowing that rounded any says so, and the gather
    # remembers it (write refuses to keep them)
    wide = samples and not stored and layout.code in SAMPLE_FORMATS and narrowing_may_round(layout.code)
    try:
        result = read_traces(layout, f, src.size, traces, samples, partial, stored or wide)
    except Truncated as t:
        hint = ""
        if t.size is not None and layout.ns is not None:
            # Where a stream ends was not known before: say what count would tile it.
            ns = layout.tiling_ns(t.size)
            field = "the ns= given" if layout.ns_given else "the binary header's sample count (hns, bytes 3221-3222)"
            hint = (f" ({field} is {layout.ns}; " +
                    (f"{ns} samples per trace would tile the data)" if ns else "no sample count would tile the data)"))
        what = f"SEG-Y {ORDER_NAMES[layout.byteorder]}"
        raise ValueError(CUT_SHORT.format(name=src.name, what=what, index=t.index, offset=src.start + t.offset)
                         + hint) from None
    picked(src.name, index, fit.traces, len(result.headers))
    flat = result.flat
    if wide:
        flat, rounded = narrowed(result.flat)
        if rounded:
            warn_rounded(src.name, layout.code)
    g = SegyGather(result.headers, flat, result.offsets, layout)
    if wide:
        g._rounded = rounded
    if src.seekable and traces is None:
        # a stream is left where the data ended
        used = len(result.headers) * HEADER_SIZE + int(result.offsets[-1]) * layout.width
        src.file.seek(src.start + layout.start + used)
    return g


def probe_layout(src: Any, fit: Fit, overrides: Overrides = Overrides()) -> tuple[int | None, int | None, int]:
    """(n_traces, ns, dt) of a SEG-Y file from its headers alone: traces of
    a fixed length counted by the size, those that each say their own
    length walked header to header (on a stream: unknown); dt the binary
    header's, or the first trace's where that is 0."""
    layout, f = open_layout(src, fit.reading.byteorder, overrides)
    dt = layout.dt
    if not dt:
        first = read_some(f, TRACE_HEADER_SIZE)
        if len(first) == TRACE_HEADER_SIZE:
            dt = _interval.interval(0, int.from_bytes(first[116:118], "big" if layout.byteorder == ">" else "little"))
    n = None
    ns = layout.ns
    if src.size is not None and layout.ns is not None:
        n = (src.size - layout.start) // layout.trace_size()
    elif src.size is not None:
        n, end, _, other = src.scan(layout.start, layout.byteorder != NATIVE, -1, layout.width)
        if layout.start + end != src.size:
            raise ValueError(CUT_SHORT.format(name=src.name, what=f"SEG-Y {ORDER_NAMES[layout.byteorder]}", index=n,
                                              offset=src.start + layout.start + end))
        if n and other < 0:
            ns = struct.unpack(layout.byteorder + "H", src.pread(layout.start + 114, 2))[0]
    if src.seekable:
        src.file.seek(src.start)
    return n, ns, dt


def describe_binary(src: Any) -> str | None:
    """The fields of a binary header by name, when the file begins with a
    textual header beyond doubt; else None."""
    head = src.pread(0, HEAD_SIZE) if src.size is not None else bytes(src.head[:HEAD_SIZE])
    if len(head) < HEAD_SIZE or not is_text_header(head[:TEXT_SIZE]):
        return None
    order = likely_order(head[TEXT_SIZE:])
    return f"{Layout(order, head[:TEXT_SIZE], head[TEXT_SIZE:]).shown()} ({ORDER_NAMES[order]})"


def _stored_code(dtype: np.dtype) -> int:
    code = FORMAT_OF_TYPE.get(np.dtype(dtype).str[1:])
    if code is None:
        raise ValueError(f"SEG-Y stores no samples of type {np.dtype(dtype)}")
    return code




def _segy_headers(headers: Any, n: int) -> np.ndarray:
    """Native SEG-Y trace header rows of header rows in any form the package
    hands out (a view where they already are, else a copy): SEG-Y rows
    whole; Seismic Unix rows give bytes 1-180, the rest zero (Seismic Unix's
    own fields there mean something else)."""
    rows, segy = header_rows(headers)
    if len(rows) != n:
        raise ValueError(HEADER_ROWS.format(rows=len(rows), n=n))
    if not segy:
        rows = rows.copy() if np.may_share_memory(rows, headers) else rows
        rows[:, 180:] = 0
    return rows.view(trace_header_dtype()).reshape(n)


def _integer_bounds(code: int) -> tuple[int, int]:
    """[low, high) of the integers that format `code` holds."""
    bits = 8 * SAMPLE_FORMATS[code][0]
    if SAMPLE_FORMATS[code][1][0] == "i":
        return -(1 << (bits - 1)), 1 << (bits - 1)
    return 0, 1 << bits


def stored_samples(flat: np.ndarray, offsets: np.ndarray, code: int, prefix: str = "", first: int = 0) -> np.ndarray:
    """The samples `flat` (traces from the boundaries `offsets`) in the type
    that format `code` stores, contiguous.  Floats go to float formats as
    IEEE arithmetic rounds them; integer formats take only the values they
    hold exactly: ValueError (its text after `prefix`) naming the trace, the
    sample and sample_format= for a fraction, a value out of range, an
    infinity or NaN, and, from float32, a magnitude beyond 2**24 for the
    formats wider than 24 bits (float32 holds the integers there inexactly:
    the value may already have been rounded).  Messages count the traces
    from `first`."""
    stored = np.dtype(NATIVE + SAMPLE_FORMATS[code][1])
    if flat.dtype == stored:
        return np.ascontiguousarray(flat)
    if flat.dtype.kind not in "biuf":
        raise ValueError(f"{prefix}SEG-Y stores no samples of type {flat.dtype}")
    if stored.kind == "f":
        out = np.ascontiguousarray(flat, dtype=stored)
        if code == 1:
            refuse_non_finite(out, offsets, prefix, first, flat)
        return out
    low, high = _integer_bounds(code)
    inexact = flat.dtype == np.float32 and SAMPLE_FORMATS[code][0] > 3
    if flat.dtype.kind == "f":
        with np.errstate(invalid="ignore"):
            ok = (flat >= low) & (flat < high) & (np.floor(flat) == flat)
            if inexact:
                ok &= np.abs(flat) <= 1 << 24
    elif flat.dtype.kind == "b":
        ok = np.ones(len(flat), bool)
    else:
        info = np.iinfo(flat.dtype)
        ok = (flat >= max(low, info.min)) & (flat <= min(high - 1, info.max))
    if not ok.all():
        i, k = _where(offsets, int(np.argmin(ok)))
        value = flat[int(offsets[i]) + k]
        what = f"{FORMAT_NAMES[code]} form (format {code})"
        if inexact and np.isfinite(value) and low <= value < high and np.floor(value) == value:
            why = f"lies beyond 2**24, where float32 holds integers inexactly, so its {what} is uncertain"
        else:
            why = f"has no {what}"
        raise ValueError(f"{prefix}trace {first + i}: sample {k} ({value}) {why}; sample_format= chooses another format")
    return flat.astype(stored)


def refuse_non_finite(samples: np.ndarray, offsets: np.ndarray, prefix: str = "", first: int = 0,
                      given: np.ndarray | None = None) -> None:
    """ValueError naming the first infinity or NaN of float32 `samples`
    (traces from the boundaries `offsets`), which IBM floats cannot hold;
    the message shows the value as `given` (the samples before float32)."""
    bad = _arrays._non_finite(samples)
    if bad >= 0:
        i, k = _where(offsets, bad)
        value = (samples if given is None else given)[int(offsets[i]) + k]
        raise ValueError(prefix + NO_FORM.format(trace=first + i, sample=k, value=value, what=FORMAT_NAMES[1]))


def _where(offsets: np.ndarray, at: int) -> tuple[int, int]:
    """(trace, sample in it) of the sample at `at` of traces back to back."""
    i = int(np.searchsorted(offsets, at, "right")) - 1
    return i, at - int(offsets[i])


def _samples_of(data: Any) -> tuple[np.ndarray, np.ndarray]:
    """(flat samples in their own type, offsets) of a Gather or of the
    samples half of a pair."""
    if isinstance(data, Gather):
        return data._flat(), np.asarray(data.offsets)
    return flat_of(data, None)


def _write_all(target: Any, data: Any) -> None:
    """Writes all of `data` to a descriptor or a binary file object (the
    package's one rule for short writes: vondrel._sinks.write_all)."""
    _sinks.write_all(target, data)


def _first_interval(trace_dt: np.ndarray) -> int:
    """The first non-zero dt of the traces, or 0."""
    set_ = np.flatnonzero(trace_dt)
    return int(trace_dt[set_[0]]) if len(set_) else 0


def refuse_no_interval(binary_dt: int, trace_dt: np.ndarray, prefix: str = "", first: int = 0) -> None:
    """ValueError when a trace would have no sample interval: 0 in the
    binary header and in its own dt (traces counted from `first`)."""
    if not binary_dt and len(trace_dt) and not trace_dt.all():
        i = first + int(np.argmin(trace_dt != 0))
        raise ValueError(f"{prefix}trace {i} has no sample interval (dt 0, and 0 in the binary header); "
                         "give dt= (microseconds)")


def refuse_rounded(gather: Any, flat: np.ndarray | None = None, prefix: str = "") -> None:
    """ValueError for a gather read as float32 from values (32- or 64-bit
    integers, 64-bit floats) that narrowing rounded, about to be written back in their sample format: the
    file would lose the values float32 could not hold."""
    if getattr(gather, "_rounded", False) and (flat is None or flat.dtype == np.float32):
        # (a gather read as float32, or a traces reader that handed out such traces)
        code = gather._layout.code
        raise ValueError(f"{prefix}the samples were read as float32 from {FORMAT_NAMES[code]}s (format {code}), and some "
                         f"were rounded; writing them in format {code} would keep the rounding: read with "
                         f'dtype="stored" to keep every value, or give sample_format= to write these')


def write_gather(target: Any, data: Any, sample_format: int | None, byteorder: str | None,
                 text: str | bytes | None, revision: int, dt: int | None = None, disposable: bool = False) -> int:
    """Writes `data` (a Gather, or a (headers, samples) pair) as SEG-Y to
    `target` (a descriptor or a binary file object); `dt` (microseconds)
    the binary header's interval instead of the data's own.  Everything is
    checked before the first byte is written, but where `target` is
    `disposable` (what an error takes back: a temporary file, a regular file
    written at its end): there a float32 sample that IBM floats cannot hold
    is found while encoding.  Returns
    the bytes written."""
    if not isinstance(data, (Gather, tuple)):
        raise TypeError(NOT_A_GATHER.format(kind=type(data).__name__))
    if isinstance(data, Gather):
        headers, (flat, offsets) = data.headers, _samples_of(data)
    elif len(data) == 2:
        headers, (flat, offsets) = data[0], _samples_of(data[1])
    else:
        raise TypeError(f"data must be a Gather, a (headers, samples) pair or a collection, not a {len(data)}-tuple")
    source = data._layout if isinstance(data, SegyGather) else None
    n = len(offsets) - 1
    lengths = np.diff(offsets)
    uniform = n == 0 or bool((lengths == lengths[0]).all())
    ns = int(lengths[0]) if n else 0
    if lengths.size and lengths.max() > 65535:
        raise ValueError(f"trace {int(np.argmax(lengths > 65535))} has more than 65535 samples")
    order = byteorder or (source.byteorder if source else ">")
    if revision not in (1, 2):
        raise ValueError(f"revision must be 1 or 2, not {revision!r}")

    # Data read from SEG-Y keep their sample format; other data the one of their type.
    if sample_format is not None:
        code = sample_format
    else:
        refuse_rounded(data, flat)
        code = source.code if source is not None else _stored_code(flat.dtype)
    check_sample_format(code)
    if code == 1 and flat.dtype == np.float32 and not disposable:
        # the native encoder meets a bad value only once the bytes before it
        # are out: where they cannot be taken back, it is looked for first
        refuse_non_finite(np.ascontiguousarray(flat), offsets)
    flat = stored_samples(flat, offsets, code)
    rows = _segy_headers(headers, n)

    if source is None:
        binary = new_binary(dt if dt is not None else _first_interval(rows["dt"]))
        raw_text = encode_text(text if text is not None else default_text(code, order))
        raw_extended = []
    else:
        binary = data.binary.copy()
        if dt is not None:
            binary["hdt"] = dt
        encoding = text_encoding(source.raw_text) or "cp037"
        raw_text = source.raw_text if text is None and data.text == decode_text(source.raw_text) \
            else encode_text(text if text is not None else data.text, encoding)
        raw_extended = [raw if t == decode_text(raw) else encode_text(t, encoding)
                        for raw, t in zip(source.raw_extended, data.extended_text)]
        raw_extended += [encode_text(t, encoding) for t in data.extended_text[len(source.raw_extended):]]
        if int(binary["nvstxt"]) >= 0:
            binary["nvstxt"] = len(raw_extended)
    refuse_no_interval(int(binary["hdt"]), rows["dt"])
    binary["format"] = code
    if revision == 2:
        binary["rev"], binary["revmin"] = 2, 0
        binary["bytord"] = BYTEORDER_CONSTANT
    if uniform and (n or source is None):        # no traces: a file's own count stays
        binary["hns"] = ns
    if source is None or not uniform:
        binary["trflag"] = 1 if uniform else 0
        if revision_of(binary) < 1 and (not uniform or source is None):
            binary["rev"], binary["revmin"] = 1, 0
    # A trace header's ns is kept as the file wrote it (0, or a wrong value,
    # in real files) only where readers take the count from the binary
    # header, and the count is unchanged.
    by_binary = revision_of(binary) == 0 or int(binary["trflag"]) == 1
    if source is None or not (by_binary and source.ns == ns and uniform):
        rows = rows.copy() if np.may_share_memory(rows, headers) else rows
        rows["ns"] = lengths

    big = order == ">"
    head = encoded_headers(raw_text, binary, raw_extended, order)
    _write_all(target, head)
    written = len(head)
    width = SAMPLE_FORMATS[code][0]
    runs = [(0, n)] if uniform else [(i, 1) for i in range(n)]
    header_bytes = byte_rows(rows)
    for first, count in runs:
        trace_ns = int(lengths[first]) if count else 0
        part = flat[offsets[first]:offsets[first + count]]
        bad = _arrays._segy_write(target, header_bytes[first:first + count], part, count, trace_ns, code, big)
        if bad >= 0:
            i = first + bad // max(trace_ns, 1)
            raise ValueError(f"trace {i}: sample {bad % max(trace_ns, 1)} ({part[bad]}) has no "
                             f"{'IBM float' if code == 1 else f'format {code}'} form")
        written += count * (HEADER_SIZE + trace_ns * width)
    return written


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
    refuse_no_interval(0, np.array([dt]))


class SegyTraceWriter(TraceWriter):
    """A SEG-Y file written one trace at a time (vondrel.Writer): the file
    headers decided up front (every argument checked when the writer is
    made), written once the first trace gives the sample count; the traces
    of one ns after them, their headers whole where given, their samples
    encoded."""
    whole = True

    def __init__(self, byteorder: str | None, options: dict[str, Any]) -> None:
        like, binary, extended_text = options["like"], options["binary"], options["extended_text"]
        text, dt, sample_format = options["text"], options["dt"], options["sample_format"]
        layout = getattr(like, "_layout", None) if like is not None else None
        if like is not None and layout is None:
            raise ValueError(f"like must be a SEG-Y source (a vondrel.traces reader or a gather read from "
                             f"SEG-Y), not {type(like).__name__} of another format.")
        if sample_format is None and layout is not None:
            refuse_rounded(like)
        # a reader of 64-bit floats: its float32 traces may not be written back as if they were the file's
        self.watch = like if sample_format is None and layout is not None else None
        code = sample_format if sample_format is not None else layout.code if layout is not None else 5
        self.code = check_sample_format(code)
        self.dt = None if dt is None else _interval.check_interval(dt)
        encoding = (text_encoding(layout.raw_text) or "cp037") if layout is not None else "cp037"
        if layout is not None:
            # a gather's text may have been changed since it was read: the raw bytes only where it was not
            text = text if text is not None or like.text == decode_text(layout.raw_text) else like.text
            if extended_text is None and like.extended_text != [decode_text(r) for r in layout.raw_extended]:
                extended_text = like.extended_text
        self.text = None if text is None else encode_text(text, encoding)
        if self.text is None and layout is not None:
            self.text = layout.raw_text
        if extended_text is not None:
            self.extended = [encode_text(t, encoding) for t in extended_text]
        else:
            self.extended = list(layout.raw_extended) if layout is not None else []
        self.binary: Any = None
        if binary is not None:
            self.binary = np.zeros((), binary_dtype())
            if isinstance(binary, (np.ndarray, np.void)):
                given = np.asarray(binary).reshape(())
                if given.dtype.names != self.binary.dtype.names:
                    raise ValueError("binary must be a binary header (a 0-d array of its dtype) or a mapping "
                                     "of its fields.")
                self.binary[...] = given
            else:
                for key, value in binary.items():
                    self.binary[key] = value
        elif layout is not None:
            self.binary = layout.binary.copy()
        self.byteorder = order(byteorder, layout.byteorder if layout is not None else ">")
        self.ns: int | None = None
        self.set_ns = True
        self.interval = 0
        self.aborted = False

    def file_headers(self, ns: int, first_dt: int) -> bytes:
        """The bytes before the first trace, for traces of `ns` samples, the
        first of which says `first_dt`."""
        given_ns = None
        if self.binary is not None:
            binary = self.binary.copy()
            given_ns = int(binary["hns"])
        else:
            binary = new_binary(first_dt)
            binary["trflag"] = 1
        if self.dt is not None:
            binary["hdt"] = self.dt
        binary["format"], binary["hns"] = self.code, ns
        if int(binary["nvstxt"]) >= 0:
            binary["nvstxt"] = len(self.extended)
        # A trace header's ns stays as the file wrote it where readers take
        # the count from the binary header and that count is unchanged.
        by_binary = revision_of(binary) == 0 or int(binary["trflag"]) == 1
        self.set_ns = not (by_binary and given_ns == ns)
        self.ns, self.interval = ns, int(binary["hdt"])
        text = self.text if self.text is not None else encode_text(default_text(self.code, self.byteorder))
        return encoded_headers(text, binary, self.extended, self.byteorder)

    def write(self, file: Any, name: str, block: Any, count: int, whole: Any, index: int) -> None:
        """Writes `count` native-order SU traces of one ns as SEG-Y traces,
        their headers from `whole` (SEG-Y headers, native order) where given,
        else bytes 1-180 of the block's (the SU fields after them have no
        place in SEG-Y); the samples encoded; the file headers before the
        first.  `index`: the number of the first in the file."""
        raw = np.frombuffer(block, np.uint8)
        ns = int(raw[114:116].view(np.uint16)[0])
        size = 240 + 4 * ns
        rows = raw.reshape(-1, size) if len(raw) == count * size else None
        expected = self.ns if self.ns is not None else ns
        if rows is None or (rows[:, 114:116].copy().view(np.uint16) != expected).any():
            raise ValueError(f"{name}: the traces of a SEG-Y file written here have one ns, "
                             f"{expected}; trace {index} or one after it differs.")
        if whole is None:
            headers = np.zeros((count, 240), np.uint8)
            headers[:, :180] = rows[:, :180]
        else:
            headers = np.frombuffer(whole, np.uint8)
            if len(headers) < 240 * count:
                raise ValueError(f"{name}: {len(headers)} bytes of headers for {count} traces.")
            headers = headers[:240 * count].reshape(count, 240).copy()
        samples = np.ascontiguousarray(rows[:, 240:]).view(np.float32).reshape(-1)
        self._put(file, name, headers, samples, count, ns, index, whole is not None)

    @property
    def stored_code(self) -> int:
        """The sample format whose stored values `write_stored` takes."""
        return self.code

    def write_stored(self, file: Any, name: str, headers: Any, samples: Any, count: int, ns: int,
                     index: int) -> None:
        """Writes `count` traces of `ns` samples given as their whole SEG-Y
        headers (native order, 240 bytes each) and their samples in the
        stored type of this writer's sample format (what
        ``traces._readinto_stored`` fills): no value goes through float32."""
        rows = np.frombuffer(headers, np.uint8)[:240 * count].reshape(count, 240).copy()
        expected = self.ns if self.ns is not None else ns
        if ns != expected:
            raise ValueError(f"{name}: the traces of a SEG-Y file written here have one ns, "
                             f"{expected}; trace {index} or one after it differs.")
        stored = np.frombuffer(samples, np.dtype(NATIVE + SAMPLE_FORMATS[self.code][1]))[:count * ns]
        self._put(file, name, rows, stored, count, ns, index, True, checked=True)

    def _put(self, file: Any, name: str, headers: Any, samples: Any, count: int, ns: int, index: int,
             whole: bool, checked: bool = False) -> None:
        """Encodes and writes `count` traces (their headers as rows of 240
        bytes, native order), the file headers before the first; float32
        samples are checked against the sample format first, `checked` ones
        are its stored values already."""
        head = b""
        if self.ns is None:
            head = self.file_headers(ns, int(headers[0, 116:118].view(np.uint16)[0]))
        if whole and self.set_ns:
            headers[:, 114:116].view(np.uint16)[...] = ns
        try:                      # every check before the first byte: nothing of a refused trace is written
            refuse_no_interval(self.interval, headers[:, 116:118].copy().view(np.uint16).ravel(),
                               f"{name}: ", index)
            if checked:
                stored = samples
            else:
                if self.watch is not None:
                    refuse_rounded(self.watch, prefix=f"{name}: ")
                offsets = np.arange(count + 1, dtype=np.int64) * ns
                stored = stored_samples(samples, offsets, self.code, f"{name}: ", index)
        except BaseException:
            if head:
                self.ns = None    # the file headers are not out yet
            raise
        out = bytearray(count * (240 + ns * SAMPLE_FORMATS[self.code][0]))
        _arrays._segy_encode(headers, stored, count, ns, self.code, self.byteorder == ">", out)
        if head:
            file.write(head)
        file.write(out)

    def finish(self, file: Any, name: str, n: int) -> None:
        if self.ns is None and not self.aborted:
            # no traces: the file headers alone (a SEG-Y file's own count where it was like one)
            file.write(self.file_headers(int(self.binary["hns"]) if self.binary is not None else 0, 0))

    def abort(self) -> None:
        self.aborted = True          # no file headers after a failure


SEGY_FORMAT = SegyFormat()

