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


def _plan(source, format, byteorder):
    """What ``traces`` needs to stream ``source``, decided by the detection
    that ``vondrel.read`` uses: (file, opened_here, name, head, format,
    byteorder, ns, n_traces, offset).  ``head`` holds the bytes that deciding
    took from a stream that cannot seek back, ``ns`` and ``n_traces`` are -1
    where unknown, ``offset`` is where the first trace starts.  Raises what
    the detection raises, after closing a file it opened."""
    from vondrel import _files
    src = _files._Source(source)
    try:
        fit = _files._detect(src, format, _files._order(byteorder), False)
        r = fit.reading
        if src.seekable:
            src.file.seek(src.start + r.start)
            head = b""
        else:
            head = src.head[r.start:]
    except BaseException:
        src.__exit__(None, None, None)
        raise
    # Every trace has the first one's ns only where the whole file was seen.
    ns = r.ns if src.size is not None and fit.uniform and r.ns else -1
    count = -1 if fit.traces is None else fit.traces
    return (src.file, src.opened is not None, src.name, head, r.format, r.byteorder, ns, count,
            src.start + r.start)


class Writer:
    """Writer(dest, format="su", byteorder=None, *, n_traces=None, **segy)

    Writes traces one at a time to a path or a binary stream: ``write(trace)``
    takes a SEGYTrace, ``write(header, samples)`` a header (a 0-d array of
    ``header_dtype()`` or a mapping of field names) and 1-D samples.  SU and
    collection files are written in native order unless ``byteorder`` says
    otherwise.  A collection file starts with its trace count: it is written
    at the end on a seekable target, or given as ``n_traces`` up front;
    on a pipe without it the collection format is refused."""

    def __init__(self, dest, format="su", byteorder=None, *, n_traces=None):
        if format not in _FORMATS:
            raise ValueError(f'format must be one of "su", "collection", "segy", not {format!r}.')
        if format == "segy":
            raise NotImplementedError("SEG-Y output is not available yet.")
        self.format = format
        self.byteorder = _byteorder(byteorder, _NATIVE)
        self._swap = self.byteorder != _NATIVE
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
        if self._swap:
            _arrays._swap_traces(block)
        self._file.write(block)
        self.n_traces += count

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
    memory: many whole traces per block for SU and collection output, one at a
    time otherwise.  ``progress(nbytes)`` is called after each block."""
    if writer.format == "segy":
        for trace in reader:
            writer.write(trace)
        return
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
