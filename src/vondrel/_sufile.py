"""Seismic Unix files (traces back to back, either byte order) and
collection files (a 4-byte count, then such traces): recognised, read
into a Gather, probed, written, streamed.  One module for the two: a
collection is an SU file after its count."""
from __future__ import annotations

import os
import struct
from typing import Any

import numpy as np

from vondrel import _arrays, _interval
from vondrel._detection import Fit, Overrides, Reading, TraceFormat, TraceWriter, Unconfirmed, picked
from vondrel._gather import Gather, gather_of
from vondrel._layout import HEADER_SIZE, NATIVE, flat_of, header_dtype, header_rows, order
from vondrel._messages import CUT_SHORT, DATA_END, HEADER_ROWS, NOT_A_GATHER
from vondrel._sources import Sink, Source


def from_collection(traces: object) -> Gather:
    """The headers and samples of every trace of a SEGY (any mode) or a
    trace iterator, as a Gather in native order."""
    disk = _arrays.on_disk(traces)
    if disk is None:
        return gather_of(_arrays.gather(traces), COLLECTION_FORMAT.name, NATIVE, COLLECTION_FORMAT.title)
    # Read here what the collection's own iteration would read: from a path,
    # the traces after the count; from a stream, the traces from where it
    # stands (after the count that SEGY.from_file took).
    filename, n = disk
    start = 4 if isinstance(filename, (str, bytes, os.PathLike)) else 0
    with Source(filename) as src:
        reading = Reading(COLLECTION_FORMAT.name, NATIVE, start, n, None)
        src.head = src.head if src.size is not None else src.read_ahead(start)
        return read_fit(COLLECTION_FORMAT, src, Fit(reading, True, n, start, "", 0.0, False, None, True), None, True,
                        False)


def prefix(sel: slice | None) -> int | None:
    """How many traces from the first a stream must give to select `sel`
    without knowing its length, or None when it takes them all."""
    if sel is None:
        return None
    start, stop, step = sel.start or 0, sel.stop, 1 if sel.step is None else sel.step
    if step > 0 and start >= 0 and stop is not None and stop >= 0:
        return stop
    return None



def read_fit(fmt: TraceFormat, src: Source, fit: Fit, sel: slice | None, samples: bool, partial: bool,
             index: int | None = None) -> Gather:
    """Reads `src` as `fit` (a reading of format `fmt`) says, checking every trace on the way; the
    traces of `sel` (None: all) in its order.  Unconfirmed when a fit
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
        stop = prefix(sel)
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
        raise Unconfirmed
    if cut:
        if not partial:
            why = (DATA_END.format(into=consumed - complete_end) if consumed > complete_end
                   else f": {expected - n} of the traces asked for are missing")
            raise ValueError(CUT_SHORT.format(name=src.name, what=fmt.describe(r.byteorder), index=lo + n, offset=where)
                             + why)
    elif src.size is not None and offset + complete_end < src.size and limit < 0:
        raise ValueError(f"{src.name}: {fmt.describe(r.byteorder)}: the file changed while it was read")
    if src.seekable:
        src.file.seek(where)
    g = gather_of(got, fmt.name, r.byteorder, fmt.title)
    if sel is None:
        return g
    if src.size is None:
        chosen = range(n)[sel]
        picked(src.name, index, n, len(chosen))
        return g if chosen == range(n) else g._taken(np.asarray(chosen, dtype=np.intp))
    picked(src.name, index, fit.traces or 0, len(rows))
    wanted = np.asarray(rows, dtype=np.intp) - lo
    if len(wanted) == n and (len(wanted) == 0 or (wanted == np.arange(n)).all()):
        return g
    return g._taken(wanted[wanted < n])



def _arrays_of(data: object) -> tuple[np.ndarray, np.ndarray, np.ndarray, str, str]:
    """(headers, flat, offsets, format, byteorder) of a Gather or a
    (headers, samples) pair, in the layout the writer takes."""
    if isinstance(data, Gather):
        return data._su_headers(), data._flat(), data.offsets, data.format, data.byteorder
    if not isinstance(data, tuple) or len(data) != 2:
        raise TypeError(NOT_A_GATHER.format(kind=type(data).__name__))
    headers, samples = data
    flat, offsets = flat_of(samples, np.float32)
    return np.asarray(headers), flat, offsets, SU_FORMAT.name, NATIVE



def write_arrays(dest: object, data: object, fmt: TraceFormat, byteorder: str | None, dt: int | None,
                 sample_format: int | None, text: str | bytes | None, revision: int) -> None:
    """Writes a Gather, or a (headers, samples) pair, as an SU or collection
    file (`fmt`) in `byteorder` (None: the data's own; native for bare
    arrays); `dt` (microseconds) goes into every trace header."""
    if sample_format is not None or text is not None or revision != 1:
        raise ValueError("sample_format, text and revision are for SEG-Y (format='segy')")
    headers, flat, offsets, _, own_order = _arrays_of(data)
    byteorder = order(byteorder, own_order)
    n = len(offsets) - 1
    if np.ndim(headers) != 1 or len(headers) != n:
        raise ValueError(HEADER_ROWS.format(rows=np.size(headers), n=n))
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
    if fmt.counted and n > 2 ** 31 - 1:
        raise ValueError(f"a {fmt.title} file holds at most {2 ** 31 - 1} traces, not {n}")
    prefix = fmt.encode_file_headers(n, byteorder, 0, 0, fmt.sample_formats[0])
    with Sink(dest) as sink:
        written = _arrays.write(sink.target, headers, flat, offsets, byteorder != NATIVE, all_set, prefix)
        sink.done(written)


def _seekable(f: Any) -> bool:
    try:
        return bool(f.seekable())
    except (AttributeError, ValueError, OSError):
        return False


class BackToBackWriter(TraceWriter):
    """An SU or collection file written one trace at a time: the records as
    they come, swapped beforehand to the file's order; for a collection the
    count in front, at the end on a seekable file (or announced)."""

    def __init__(self, fmt: TraceFormat, byteorder: str | None, options: dict[str, Any]) -> None:
        if any(options[k] is not None for k in ("like", "binary", "extended_text", "dt")):
            raise ValueError("like, binary, extended_text and dt are for SEG-Y (format=\"segy\").")
        self.format = fmt
        self.byteorder = order(byteorder, fmt.default_byteorder)
        self.swap = self.byteorder != NATIVE
        self.counted = fmt.counted
        self.announced: int | None = options["n_traces"]
        self.count_at: int | None = None

    def start(self, file: Any, name: str) -> None:
        if not self.counted:
            return
        if self.announced is None:
            if not _seekable(file):
                raise ValueError(
                    f"{name}: a collection file starts with its trace count, which a stream "
                    "cannot go back to; give n_traces, or write format=\"su\" to a pipe.")
            self.count_at = file.tell()
        file.write(self._count(self.announced or 0))

    def _count(self, n: int) -> bytes:
        return self.format.encode_file_headers(n, self.byteorder, 0, 0, self.format.sample_formats[0])

    def write(self, file: Any, name: str, block: Any, count: int, whole: Any, index: int) -> None:
        file.write(block)

    def finish(self, file: Any, name: str, n: int) -> None:
        if self.count_at is not None:
            end = file.tell()
            file.seek(self.count_at)
            file.write(self._count(n))
            file.seek(end)


class _BackToBack(TraceFormat):
    """What SU and collection files share: traces back to back, each as long
    as its own ns says, read and written by the native engine."""

    def header_dtype(self) -> np.dtype:
        return header_dtype()

    def read(self, src: Source, fit: Fit, sel: slice | None, index: int | None, samples: bool, partial: bool,
             stored: bool, overrides: Overrides) -> Gather:
        return read_fit(self, src, fit, sel, samples, partial, index)

    def probe(self, src: Source, fit: Fit, overrides: Overrides) -> tuple[int | None, int | None, int | None]:
        r = fit.reading
        head = src.pread(r.start, HEADER_SIZE) if src.size is not None else src.head[r.start:]
        if src.seekable:
            src.file.seek(src.start)
        dt = _interval.interval(0, struct.unpack_from(r.byteorder + "H", head, 116)[0]) \
            if len(head) >= HEADER_SIZE else None
        n = fit.traces if src.size is not None else r.count
        return n, r.ns if fit.uniform else None, dt

    def write(self, dest: object, data: object, byteorder: str | None, dt: int | None,
              sample_format: int | None, text: str | bytes | None, revision: int) -> None:
        write_arrays(dest, data, self, byteorder, dt, sample_format, text, revision)

    def trace_writer(self, byteorder: str | None, options: dict[str, Any]) -> BackToBackWriter:
        return BackToBackWriter(self, byteorder, options)

    def stream_plan(self, src: Source, fit: Fit, overrides: Overrides) -> tuple:
        """(head, format, byteorder, ns, n_traces, offset, sample format code,
        dt, text, extended_text, binary, layout) for the native stream
        reader: vondrel._stream's plan of the rest."""
        r = fit.reading
        if src.seekable:
            src.file.seek(src.start + r.start)
            head = b""
        else:
            head = src.head[r.start:]
        # Every trace has the first one's ns only where the whole file was walked.
        ns = r.ns if fit.walked and fit.uniform and r.ns else -1
        count = -1 if fit.traces is None else fit.traces
        return head, r.format, r.byteorder, ns, count, src.start + r.start, 0, 0, None, None, None, None


class _SU(_BackToBack):
    name = "su"
    title = "SU"
    suffix = ".su"
    reads_empty = True

    def readings(self, head: bytes, overrides: Overrides) -> list[Reading]:
        return [Reading(self.name, o, 0, None, self.first_ns(head, 0, o)) for o in "<>"]


class _Collection(_BackToBack):
    name = "collection"
    title = "collection"
    suffix = ".su"
    counted = True

    def readings(self, head: bytes, overrides: Overrides) -> list[Reading]:
        if len(head) < 4:
            return []
        return [Reading(self.name, o, 4, struct.unpack_from(o + "i", head)[0], self.first_ns(head, 4, o))
                for o in "<>"]


SU_FORMAT = _SU()
COLLECTION_FORMAT = _Collection()
