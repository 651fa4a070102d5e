"""Trace streams: the source plan behind ``vondrel.traces`` and the ``Writer``
that puts traces back out one at a time, so that a Python step can sit in a
Seismic Unix pipeline.  The byte work is native (``vondrel._arrays``)."""
from __future__ import annotations

import os
import struct
import sys

from vondrel import _arrays

__all__ = ["Writer", "traces", "copy_traces"]

traces = _arrays.traces

# Bytes per readinto of the block path: many traces per call, small enough
# to stay in cache while they are swapped.
BLOCK_BYTES = 1 << 20
_NATIVE = "<" if sys.byteorder == "little" else ">"
_FORMATS = ("su", "collection", "segy")


def _byteorder(byteorder, default):
    if byteorder is None:
        return default
    if byteorder not in ("<", ">", "="):
        raise ValueError(f'byteorder must be "<", ">" or "=", not {byteorder!r}.')
    return _NATIVE if byteorder == "=" else byteorder


def _name_of(f):
    name = getattr(f, "name", None)
    return name if isinstance(name, str) else "<stream>"


def _open(target, mode):
    """(file, opened_here, name) for a path or a binary file object."""
    if isinstance(target, (str, bytes, os.PathLike)):
        path = os.fsdecode(target)
        return open(path, mode), True, path
    return target, False, _name_of(target)


def _seekable(f):
    try:
        return f.seekable()
    except (AttributeError, ValueError, OSError):
        return False


def _plan(source, format, byteorder, ns=None, sample_format=None):
    """What ``traces`` needs to stream ``source``, decided by the detection
    that ``vondrel.read`` uses (on a seekable source, by a walk over every
    header, so that the count and ns are the file's own): (file,
    opened_here, name, head, format, byteorder, ns, n_traces, offset, code,
    dt, text).  ``head`` holds the bytes that deciding took from a stream
    that cannot seek back, ``ns`` and ``n_traces`` are -1 where unknown,
    ``offset`` is where the first trace starts.  ``ns`` and
    ``sample_format`` stand in for a SEG-Y binary header's.  Raises what the
    detection raises, after closing a file it opened."""
    from vondrel import _files
    format, overrides = _files._overrides(format, ns, sample_format)
    src = _files._Source(source)
    try:
        fit = _files._detect(src, format, _files._order(byteorder), False, src.size is not None, overrides)
        if fit.reading.format == "segy":
            return (src.file, src.opened is not None, src.name, *_segy_plan(src, fit, overrides))
        r = fit.reading
        if src.seekable:
            src.file.seek(src.start + r.start)
            head = b""
        else:
            head = src.head[r.start:]
    except BaseException:
        src.__exit__(None, None, None)
        raise
    # Every trace has the first one's ns only where the whole file was walked.
    ns = r.ns if fit.walked and fit.uniform and r.ns else -1
    count = -1 if fit.traces is None else fit.traces
    return (src.file, src.opened is not None, src.name, head, r.format, r.byteorder, ns, count,
            src.start + r.start, 0, 0, None)


def _segy_plan(src, fit, overrides):
    """The rest of the plan for a SEG-Y file: its file headers read, the
    source left at its first trace."""
    from vondrel import _segyfile
    layout, f = _segyfile.open_layout(src, fit.reading.byteorder, overrides)
    head = bytes(f.head) if isinstance(f, _segyfile._Ahead) else b""
    fixed = layout.ns is not None
    count = (src.size - layout.start) // layout.trace_size() if fixed and src.size is not None else -1
    dt = layout.dt if fixed and 0 < layout.dt < 65536 else 0
    return (head, "segy", layout.byteorder, layout.ns if fixed else -1, count, src.start + layout.start,
            layout.code, dt, _segyfile.decode_text(layout.raw_text))


class Writer:
    """Writer(dest, format="su", byteorder=None, *, n_traces=None, sample_format=5, text=None)

    Writes traces one at a time to a path or a binary stream: ``write(trace)``
    takes a SEGYTrace, ``write(header, samples)`` a header (a 0-d array of
    ``header_dtype()`` or a mapping of field names) and 1-D samples.  SU and
    collection files are written in native order unless ``byteorder`` says
    otherwise.  A collection file starts with its trace count: it is written
    at the end on a seekable target, or given as ``n_traces`` up front;
    on a pipe without it the collection format is refused.  SEG-Y (revision
    1, big-endian unless ``byteorder`` says otherwise) takes its sample
    interval and its fixed ``ns`` from the first trace, IEEE floats
    (``sample_format=5``) or IBM floats (1), and the textual header ``text``
    (by default one that says what wrote the file)."""

    def __init__(self, dest, format="su", byteorder=None, *, n_traces=None, sample_format=5, text=None):
        if format not in _FORMATS:
            raise ValueError(f'format must be one of "su", "collection", "segy", not {format!r}.')
        if format == "segy" and sample_format not in (1, 5):
            raise ValueError(f"sample_format must be 1 (IBM float) or 5 (IEEE float), not {sample_format!r}.")
        self.format = format
        self.byteorder = _byteorder(byteorder, ">" if format == "segy" else _NATIVE)
        self._swap = self.byteorder != _NATIVE and format != "segy"
        self._segy = (sample_format, text) if format == "segy" else None
        self._segy_ns = None
        self._file, self._owner, self.name = _open(dest, "wb")
        self.n_traces = 0
        self._announced = n_traces
        self._count_at = None
        try:
            if format == "collection":
                self._start_collection()
        except BaseException:
            self._release()
            raise

    def _start_collection(self):
        if self._announced is None:
            if not _seekable(self._file):
                raise ValueError(
                    f"{self.name}: a collection file starts with its trace count, which a stream "
                    "cannot go back to; give n_traces, or write format=\"su\" to a pipe.")
            self._count_at = self._file.tell()
        self._file.write(self._count(self._announced or 0))

    def _count(self, n):
        return struct.pack(self.byteorder + "i", n)

    def write(self, trace, samples=None):
        """Writes one trace: a SEGYTrace, or a header and its samples."""
        if self._file is None:
            raise ValueError(f"{self.name}: the writer is closed.")
        if samples is None:
            record = _arrays._trace_record(trace, self._swap)
        else:
            record = self._record(trace, samples)
        if self._segy:
            self._write_segy(record, 1)
        else:
            self._file.write(record)
        self.n_traces += 1

    def _record(self, header, samples):
        import numpy as np
        from vondrel import _files
        data = np.ascontiguousarray(samples, dtype=np.float32)
        if data.ndim != 1 or not 0 < data.size < 65536:
            raise ValueError(f"samples must be 1-D with 1 to 65535 values, not of shape {data.shape}.")
        dtype = _files.header_dtype()
        if isinstance(header, (np.ndarray, np.void)):
            row = np.asarray(header).astype(dtype).reshape(())
        else:
            row = np.zeros((), dtype)
            for key, value in header.items():
                row[key] = value
        record = bytearray(row.tobytes() + data.tobytes())
        struct.pack_into("=H", record, 114, data.size)
        if self._swap:
            _arrays._swap_traces(record)
        return record

    def write_block(self, block, count):
        """Writes `count` whole traces in native order held back to back in a
        writable buffer (what ``traces.readinto`` fills); swaps them in place
        when the file's order differs."""
        if self._file is None:
            raise ValueError(f"{self.name}: the writer is closed.")
        if self._segy:
            self._write_segy(block, count)
        else:
            if self._swap:
                _arrays._swap_traces(block)
            self._file.write(block)
        self.n_traces += count

    def _write_segy(self, block, count):
        """Writes `count` native-order SU traces of one ns as SEG-Y traces:
        bytes 1-180 of each header (the SU fields after them have no place in
        SEG-Y), the samples encoded; the file headers before the first."""
        import numpy as np
        from vondrel import _segyfile
        code, text = self._segy
        raw = np.frombuffer(block, np.uint8)
        ns = int(raw[114:116].view(np.uint16)[0])
        if self._segy_ns is None:
            binary = np.zeros((), _segyfile.binary_dtype())
            binary["hdt"] = binary["dto"] = raw[116:118].view(np.int16)[0]
            binary["rev"], binary["format"], binary["hns"], binary["trflag"] = 1, code, ns, 1
            self._file.write(_segyfile.encode_text(text if text is not None else
                                                   _segyfile.default_text(code, self.byteorder)))
            self._file.write(_segyfile._in_order(binary, self.byteorder))
            self._segy_ns = ns
        size = 240 + 4 * ns
        rows = raw.reshape(-1, size) if len(raw) == count * size else None
        if rows is None or (rows[:, 114:116].copy().view(np.uint16) != self._segy_ns).any():
            raise ValueError(f"{self.name}: the traces of a SEG-Y file written here have one ns, "
                             f"{self._segy_ns}; trace {self.n_traces} or one after it differs.")
        headers = np.zeros((count, 240), np.uint8)
        headers[:, :180] = rows[:, :180]
        headers[:, 114:118] = rows[:, 114:118]
        samples = np.ascontiguousarray(rows[:, 240:]).view(np.float32)
        out = bytearray(count * size)
        bad = _arrays._segy_encode(headers, samples, count, ns, code, self.byteorder == ">", out)
        if bad >= 0:
            raise ValueError(f"{self.name}: trace {self.n_traces + bad // ns}: sample {bad % ns} "
                             f"({samples.reshape(-1)[bad]}) has no IBM float form.")
        self._file.write(out)

    def close(self):
        """Finishes the file: the collection count, a flush, and a close of a
        file opened here.  A second close does nothing."""
        if self._file is None:
            return
        try:
            if self._count_at is not None:
                end = self._file.tell()
                self._file.seek(self._count_at)
                self._file.write(self._count(self.n_traces))
                self._file.seek(end)
            elif self._announced is not None and self._announced != self.n_traces:
                raise ValueError(f"{self.name}: {self.n_traces} traces written where the count said "
                                 f"{self._announced}.")
            self._file.flush()
        finally:
            self._release()

    def _release(self):
        f, self._file = self._file, None
        if self._owner and f is not None:
            f.close()

    def __enter__(self):
        return self

    def __exit__(self, kind, value, tb):
        if kind is None:
            self.close()
        else:
            try:
                self.close()
            except Exception:
                pass


def copy_traces(reader, writer, progress=None):
    """Streams every trace of a ``traces`` reader into a Writer in constant
    memory, many whole traces per block.  ``progress(nbytes)`` is called after
    each block."""
    block = bytearray(BLOCK_BYTES)
    view = memoryview(block)
    while True:
        before = reader.index
        n = reader.readinto(block)
        if not n:
            return
        writer.write_block(view[:n], reader.index - before)
        if progress is not None:
            progress(n)
