"""What detection weighs: the readings a format offers (where its traces
start, how many, their first ns), how each fits the data, and how
plausible its numbers are in a byte order.  The base of every format of
vondrel._registry that holds traces back to back."""
from __future__ import annotations

import struct
from typing import Any, NamedTuple

import numpy as np

from vondrel._gather import Gather
from vondrel._layout import FIELDS, HEADER_SIZE, NATIVE, OFFSETS, ORDER_NAMES
from vondrel._sources import Source

# ---- what a file is -------------------------------------------------------------------------


class Reading(NamedTuple):
    """One way to read the bytes: traces back to back from `start`, `count`
    of them when the format says so, the first with `ns` samples."""
    format: str
    byteorder: str
    start: int
    count: int | None
    ns: int | None


class Fit(NamedTuple):
    """How a reading fits: `tiles` when the traces end exactly where the
    data does; else `traces` complete ones end at byte `end` and `why` says
    what breaks there.  `score` is its plausibility (at or below -MARGIN
    the data refute it).  `walked` when the headers were walked to the end,
    so that `traces`, `uniform` and `samples` are the file's own and not a
    guess from the first header and the size."""
    reading: Reading
    tiles: bool
    traces: int | None
    end: int
    why: str
    score: float
    uniform: bool
    samples: int | None
    walked: bool = False


class Overrides(NamedTuple):
    """What the caller says a SEG-Y file's binary header should have said:
    the samples per trace and the sample format code (None: the header's)."""
    ns: int | None = None
    sample_format: int | None = None


def describe(title: str, byteorder: str) -> str:
    """What messages call a format's reading in a byte order, e.g. "SU little-endian"."""
    return f"{title} {ORDER_NAMES[byteorder]}"


# Header fields that plausibility weighs, by kind.  ns and dt are no
# evidence of the byte order: ns reads alike in both orders wherever the
# question arises, and a dt may be any number.
def _columns(kind: str) -> list[int]:
    return [OFFSETS[n] for n, k in FIELDS if k == kind and n not in ("ns", "dt")]


_INT_COLUMNS = {kind: np.add.outer(_columns(kind), np.arange(int(kind[1]))) for kind in ("i4", "i2")}
_FLOAT_COLUMNS = np.add.outer(_columns("f4"), np.arange(4))
_SEQUENCES = np.add.outer([OFFSETS[n] for n in ("tracl", "tracr", "fldr", "ep", "cdp")], np.arange(4))
# The traces, and the samples of each, that plausibility looks at.
_EVIDENCE_TRACES = 8
_EVIDENCE_SAMPLES = 256
# A score for a reading that the data rule out.
REFUTED = -1000.0
# Detection picks the most plausible of several fitting readings only by
# this margin; a reading at or below minus this margin is refuted.
MARGIN = 2.0


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


def _first_traces(src: Source, head: bytes, r: Reading) -> list[bytes]:
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


class TraceFormat:
    """A format of vondrel._registry: what detection asks of it (readings,
    claims, head_size, diagnose, fit, read_ahead), and what the rest of the
    package asks once it is chosen, instead of testing its name: what it is
    called (title, describe) and its capabilities (the attributes below);
    read, probe, write, trace_writer, stream_plan; for the plan of an open
    file open_plan, overridden, plan_headers, sample_width, gather; the
    bytes before the first trace (encode_file_headers); header_dtype.
    This base holds traces back to back: it fits when the traces, each as
    long as its own ns says, end exactly at the end of the data."""
    name = ""
    # Whether its file headers say what follows, so that once a reading of
    # it tiles, the formats after it in the registry are not tried.
    decisive = False
    # Whether an empty file is one of it (no traces).
    reads_empty = False
    # Whether ns= and sample_format= stand in for its binary file header's.
    overridable = False
    # What messages and reprs call it, and the suffix of its files.
    title = ""
    suffix = ""
    # Whether its files start with file headers (SEG-Y's textual and binary
    # ones) that a gather read from one carries and a copy keeps.
    file_headers = False
    # Whether its traces follow a count of them.
    counted = False
    # Whether it is written in native order unless a byte order is given,
    # and the order it is written in then.
    native_default_order = True
    default_byteorder = NATIVE
    # The sample-format codes (as a SEG-Y binary header numbers them) its
    # traces can be stored in; the first is what it stores when none is asked.
    sample_formats: tuple[int, ...] = (5,)
    # The bytes from the start of a seekable file that recognising it needs:
    # a count, a header and 256 samples.
    head_bytes = 4 + HEADER_SIZE + 1024

    def shown_headers(self, src: Source) -> str | None:
        """Its file headers' fields by name, when `src` begins with them
        beyond doubt (for a diagnosis); None otherwise."""
        return None

    def header_dtype(self) -> Any:
        """The native-order dtype of its trace headers."""
        raise NotImplementedError

    def file_headers_fit(self, head: bytes, size: int) -> bool:
        """Whether `head`, the first bytes of a file of `size` bytes, read as
        file headers of this format that its traces could follow."""
        return False

    def describe(self, byteorder: str) -> str:
        """What messages call it in `byteorder`, e.g. "SU little-endian"."""
        return describe(self.title, byteorder)

    def gather(self, headers: Any, flat: Any, offsets: Any, byteorder: str, file_headers: Any = None) -> Gather:
        """The Gather of traces read from a file of it: header rows, samples
        back to back and their boundaries; `file_headers` the reading of
        its file headers where it has them (a plan's `layout`)."""
        return Gather(headers, flat, offsets, self.name, byteorder, self.title)

    def overridden(self, src: Source, byteorder: str | None, overrides: Overrides) -> tuple[str, int, int | None, Any]:
        """(byte order, where the traces start, their ns (None: each says
        its own), the reading of the file headers) of `src` read with the
        caller's overrides (ns=, sample_format=) standing in for what its
        file headers say.  Only a format that is `overridable` takes them."""
        raise NotImplementedError

    def plan_headers(self, file_headers: Any) -> tuple[int, str | None, Any, tuple[str, ...]]:
        """What a plan keeps of the file headers (a reading of them, or None):
        (their sample interval, 0 for none; the textual header; the binary
        header, read-only; the extended textual headers)."""
        return 0, None, None, ()

    def sample_width(self, file_headers: Any) -> tuple[int, int]:
        """(sample format code, bytes per sample) of a file whose file headers
        read as `file_headers` (None: it has none)."""
        return self.sample_formats[0], 4

    def encode_file_headers(self, n: int, byteorder: str, ns: int, dt: int, code: int,
                            like: tuple[bytes, str, int] | None = None) -> bytes:
        """The bytes in front of the first of `n` traces of `ns` samples, `dt`
        microseconds apart, stored as sample format `code`, in `byteorder`;
        `like`: (the file headers of a file of this format as they were
        read, their byte order, their sample format code), kept where they
        still hold.  Here: the trace count of a counted format, else none."""
        return struct.pack(byteorder + "i", n) if self.counted else b""

    def open_plan(self, src: Source, fit: Fit) -> tuple[int, int | None, int | None, Any]:
        """What vondrel.open keeps of a file detected as `fit`: (where the
        traces start, how many there are (None: count them), their ns (None:
        they differ), the reading of its file headers or None)."""
        r = fit.reading
        return r.start, fit.traces, r.ns if fit.uniform else None, None

    def trace_writer(self, byteorder: str | None, options: dict[str, Any]) -> TraceWriter:
        """What vondrel.Writer hands its traces to, writing in `byteorder`
        (None: the format's default); `options` are the Writer's keyword
        arguments.  ValueError for an option it does not take, before any
        file is opened."""
        raise NotImplementedError

    def read(self, src: Source, fit: Fit, sel: slice | None, index: int | None, samples: bool, partial: bool,
             stored: bool, overrides: Overrides) -> Any:
        """The Gather of the traces of `sel` (None: all; `index` the one
        trace asked for, if so), read from `src` as `fit` says."""
        raise NotImplementedError

    def probe(self, src: Source, fit: Fit, overrides: Overrides) -> tuple[int | None, int | None, int | None]:
        """(trace count, ns, dt) from the headers; src put back where it stood."""
        raise NotImplementedError

    def write(self, dest: object, data: object, byteorder: str | None, dt: int | None,
              sample_format: int | None, text: str | bytes | None, revision: int) -> None:
        """Writes a Gather or a (headers, samples) pair to a path or a file object."""
        raise NotImplementedError

    def stream_plan(self, src: Source, fit: Fit, overrides: Overrides) -> tuple[Any, ...]:
        """What the native stream reader needs besides the file: (head,
        format, byteorder, ns, n_traces, offset, sample format code, dt,
        text, extended_text, binary, layout); `src` left at the first trace."""
        raise NotImplementedError

    def readings(self, head: bytes, overrides: Overrides) -> list[Reading]:
        raise NotImplementedError

    def claims(self, head: bytes) -> bool:
        """Whether the first bytes are this format's beyond doubt, so that no
        other format is tried."""
        return False

    def head_size(self, head: bytes) -> int:
        """The bytes of a stream that recognising this format needs, judging
        by its first `head`."""
        return 0

    def diagnose(self, src: Source, head: bytes, byteorder: str | None, named: bool) -> str | None:
        """What is wrong with a file whose first bytes are this format's but
        that no reading of it fits, naming the field; None to say nothing."""
        return None

    def first_ns(self, head: bytes, start: int, order: str) -> int | None:
        if len(head) < start + HEADER_SIZE:
            return None
        return struct.unpack_from(order + "H", head, start + 114)[0]

    def fit(self, src: Source, head: bytes, r: Reading, eof: bool, named: bool, scan: bool,
            overrides: Overrides) -> Fit | None:
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
            score = REFUTED          # traces of no samples, one after another: not seismic data
        elif not scan and src.size is not None and not self._guess_tiles(src.size, r, named):
            score = 0.0
        else:
            score = _plausibility(_first_traces(src, head, r), r.byteorder)

        def broke(traces: int, end: int, why: str, walked: bool = True) -> Fit:
            return Fit(r, False, traces, end, why, score, False, None, walked)

        if r.count is not None and r.count < 0:
            return broke(0, r.start, f"the count {r.count} is negative")
        if src.size is None:
            return self._fit_stream(head, r, eof, named, score, broke)
        avail = src.size - r.start
        if r.count is not None and not named and r.count > avail // HEADER_SIZE + 1:
            return None
        if r.count == 0 and (avail == 0 or named):
            return Fit(r, True, 0, r.start, "", score, True, 0, True)
        if r.ns is None:
            if avail == 0 and not r.count:
                return Fit(r, True, 0, r.start, "", score, True, 0, True)
            return broke(0, r.start, f"the file ends {avail} bytes into the first header")
        if not scan:
            size = HEADER_SIZE + 4 * r.ns
            n = avail // size if r.count is None else r.count
            if n * size == avail:
                return Fit(r, True, n, src.size, "", score, True, n * r.ns, False)
            why = "its first trace has no samples" if r.ns == 0 else f"traces of {r.ns} samples do not tile the file"
            return broke(0, r.start, why, False)
        n, end, samples, other = src.scan(r.start, swap, -1 if r.count is None else r.count)
        end += r.start
        if end == src.size and (r.count is None or n == r.count):
            return Fit(r, True, n, end, "", score, other < 0, samples, True)
        if end < src.size and (r.count is None or n < r.count):
            return broke(n, end, f"the file ends {src.size - end} bytes into that trace")
        if end < src.size and n == r.count and named:
            return Fit(r, True, n, end, "", score, other < 0, samples, True)
        return broke(n, end, f"the count says {r.count} traces, and the file holds {n}")

    @staticmethod
    def _guess_tiles(size: int, r: Reading, named: bool) -> bool:
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

    def _fit_stream(self, head: bytes, r: Reading, eof: bool, named: bool, score: float, broke) -> Fit:
        # Size unknown: the first trace must be whole and, unless the data
        # end right after it, the next header too.  What follows the last
        # trace of a collection is not looked at.
        if r.count == 0 and (named or (eof and len(head) == r.start)):
            return Fit(r, True, 0, r.start, "", score, True, 0)
        if r.count == 0:
            return broke(0, r.start, "the count says 0 traces, and data follow")
        if r.ns is None:
            if eof and len(head) == r.start and r.count is None:
                return Fit(r, True, 0, r.start, "", score, True, 0)
            return broke(0, r.start, f"the data end {len(head) - r.start} bytes into the first header")
        end = r.start + HEADER_SIZE + 4 * r.ns
        if len(head) < end:
            return broke(0, r.start, f"the data end {len(head) - r.start} bytes into that trace")
        if (r.count == 1 and named) or (eof and len(head) == end and r.count is None):
            return Fit(r, True, 1, end, "", score, True, r.ns)
        if len(head) < end + HEADER_SIZE:
            return broke(1, end, f"the data end {len(head) - end} bytes into that trace")
        # The next header with the same ns is one vote more.
        return Fit(r, True, None, end, "", score + (self.first_ns(head, end, r.byteorder) == r.ns), True, None)

    def read_ahead(self, r: Reading) -> int:
        """The bytes a stream must show to judge `r`: one trace and one
        header (no header after a collection's last trace)."""
        return r.start + (1 + (r.count != 1)) * HEADER_SIZE + 4 * (r.ns or 0)


class TraceWriter:
    """A file of a format written one trace at a time (vondrel.Writer).  The
    traces come as SU records, back to back: a 240-byte header and float32
    samples, in native order, or already swapped to `byteorder` where `swap`
    says so; with `whole`, the whole SEG-Y trace headers given beside them
    are taken too."""
    byteorder = NATIVE
    swap = False
    whole = False

    def start(self, file: Any, name: str) -> None:
        """Writes what comes before the first trace, if it is known yet."""

    def write(self, file: Any, name: str, block: Any, count: int, whole: Any, index: int) -> None:
        """Writes the `count` traces of `block` (the file's traces `index`
        on); `whole`: their whole SEG-Y headers, or None."""
        raise NotImplementedError

    # The sample format whose stored values write_stored takes (their type:
    # vondrel._layout.SAMPLE_FORMATS), or None where only float32 goes in.
    stored_code: int | None = None

    def write_stored(self, file: Any, name: str, headers: Any, samples: Any, count: int, ns: int,
                     index: int) -> None:
        """Writes `count` traces given as whole SEG-Y headers and samples in
        the stored type of `stored_code`."""
        raise NotImplementedError

    def finish(self, file: Any, name: str, n: int) -> None:
        """Completes the file of `n` traces before it is flushed (what only
        the end tells)."""

    def abort(self) -> None:
        """Writes no more than the whole traces written: a write failed."""




class Unconfirmed(Exception):
    """The data of a reading guessed from its first header and the size
    disagree with the guess."""



def picked(name: str, index: int | None, n: int | None, picked: int) -> None:
    """IndexError when one trace was asked for and the file has none such."""
    if index is not None and not picked:
        holds = "" if n is None else f": the file holds {n} trace{'s' if n != 1 else ''}"
        raise IndexError(f"{name}: trace {index} is out of range{holds}")

