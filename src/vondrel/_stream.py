"""Trace streams: the source plan behind ``vondrel.traces`` and the ``Writer``
that puts traces back out one at a time, so that a Python step can sit in a
Seismic Unix pipeline.  The byte work is native (``vondrel._arrays``)."""
from __future__ import annotations

import os
import struct

from vondrel import _arrays, _sinks

__all__ = ["Writer", "traces", "copy_traces"]

# Bytes per readinto of the block path: many traces per call, small enough
# to stay in cache while they are swapped.
BLOCK_BYTES = 1 << 20


def _name_of(f):
    name = getattr(f, "name", None)
    return name if isinstance(name, str) else "<stream>"


def _open(target):
    """(file, sink, name) for a path (a PathSink writes it) or a binary
    file object (sink None; its writes take every byte or raise)."""
    if isinstance(target, (str, bytes, os.PathLike)):
        sink = _sinks.PathSink(target, buffering=-1)
        return sink.file, sink, sink.name
    return _sinks.WholeWrites(target), None, _name_of(target)


def _plan(source, format, byteorder, ns=None, sample_format=None):
    """What ``traces`` needs to stream ``source``, decided by the detection
    that ``vondrel.read`` uses (on a seekable source, by a walk over every
    header, so that the count and ns are the file's own): (file,
    opened_here, name, head, format, byteorder, ns, n_traces, offset, code,
    dt, text, extended_text, binary, layout, what).  ``head`` holds the
    bytes that deciding took from a stream that cannot seek back, ``ns`` and
    ``n_traces`` are -1 where unknown, ``offset`` is where the first trace
    starts, ``what`` is what messages call the reading ("SU little-endian").
    ``ns`` and ``sample_format`` stand in for a SEG-Y binary header's.
    Raises what the detection raises, after closing a file it opened."""
    from vondrel import _registry, _sources
    from vondrel._layout import order
    format, overrides = _registry.check_overrides(format, ns, sample_format)
    src = _sources.Source(source)
    _sinks.reading(src.file)          # no path writer may replace it while it is read
    try:
        fit = _registry.detect(src, format, order(byteorder), False, src.size is not None, overrides)
        rest = _registry.of(fit).stream_plan(src, fit, overrides)
    except BaseException:
        src.__exit__(None, None, None)
        raise
    # What the reader's messages call the reading ("SU little-endian"): the format's words, handed down.
    return (src.file, src.opened is not None, src.name, *rest, _registry.of(fit).describe(rest[2]))


def _segy_row(raw):
    """A whole SEG-Y trace header (240 bytes, native order) as a 0-d array of
    its dtype: what ``traces.segy_header`` gives."""
    import numpy as np
    from vondrel._layout import trace_header_dtype
    return np.frombuffer(bytearray(raw), trace_header_dtype()).reshape(())


def _traces_signature(self, source, format=None, byteorder=None, *, ns=None, sample_format=None):
    """The parameters of ``traces`` as inspect and help() show them (through
    ``__wrapped__``); the arguments themselves are bound natively."""


class traces(_arrays._traces):
    """Streams the traces of an SU (either byte order), collection or SEG-Y source (a path, a binary file
    or a pipe) one at a time, as SEGYTrace objects in native order, in constant memory."""

    __slots__ = ()
    __module__ = "vondrel"

    def __init_subclass__(cls, **kwargs):
        raise TypeError("type 'vondrel.traces' is not an acceptable base type")

    def __init__(self, *args, **kwargs):
        # The arguments are bound natively, so that a bad call reads as
        # every other callable's; the plan is made here and handed down.
        source, format, byteorder, ns, sample_format = _arrays._traces_arguments(*args, **kwargs)
        super().__init__(_plan(source, format, byteorder, ns, sample_format), _sinks.refuse_input)

    __init__.__wrapped__ = _traces_signature

    @property
    def segy_header(self):
        """The whole SEG-Y trace header of the trace handed out last (0-d array, native order), or None."""
        raw = self._last_header
        return None if raw is None else _segy_row(raw)


class Writer:
    """Writer(dest, format="su", byteorder=None, *, n_traces=None, sample_format=None, text=None,
    binary=None, extended_text=None, like=None, dt=None)

    Writes traces one at a time to a path or a binary stream: ``write(trace)``
    takes a SEGYTrace, ``write(header, samples)`` a header (any form the
    package hands out: a row of ``header_dtype()`` or of a SEG-Y gather's
    headers, a ``vondrel.header(trace)`` view, ``traces.segy_header``, or a
    mapping of field names) and 1-D samples.  SU and collection files are
    written in native order unless ``byteorder`` says otherwise.  A
    collection file starts with its trace count: it is written at the end
    on a seekable target, or given as ``n_traces`` up front; on a pipe
    without it the collection format is refused.

    SEG-Y takes its fixed ``ns`` from the first trace.  Its file headers
    come from ``like`` (a ``vondrel.traces`` reader of a SEG-Y file, or a
    gather read from one) where it is given: the textual, extended textual
    and binary headers as that file holds them, its byte order and its
    sample format, changing only what the traces written require (the
    format code, the sample count).  ``text`` (str or 3200 bytes),
    ``extended_text`` (a list of them) and ``binary`` (a 0-d array of the
    binary header's dtype, or a mapping of its field names) take the place
    of what ``like`` would give; without either, the file is revision 1,
    big-endian, IEEE floats (``sample_format=5``), with a textual header
    that says what wrote it.  ``dt`` (microseconds) is the binary header's
    interval; by default the binary header's, else the first trace's dt.
    SEG-Y trace headers given whole (``write_block(..., headers=)``, SEG-Y
    header rows) are written whole; Seismic Unix ones give bytes 1-180.

    A path is written to a temporary file beside it, which ``close()``
    synchronises and renames over it: a ``with`` block that raises, or a
    Writer dropped unclosed, leaves no file and an existing one untouched
    (a Writer dropped so says it with a ResourceWarning).
    A path that is a file a ``traces`` reader is reading is refused.  On a
    file object every write goes on until all of its bytes are taken (a raw
    stream's write() that returns None is a BlockingIOError); ``close()``
    flushes it and leaves it open."""

    def __init__(self, dest, format="su", byteorder=None, *, n_traces=None, sample_format=None, text=None,
                 binary=None, extended_text=None, like=None, dt=None):
        from vondrel import _registry
        if format not in _registry.names():
            choices = ", ".join(f'"{name}"' for name in _registry.names())
            raise ValueError(f"format must be one of {choices}, not {format!r}.")
        # Every argument is checked before the file is opened.
        self._traces = _registry.get(format).trace_writer(byteorder, {
            "n_traces": n_traces, "sample_format": sample_format, "text": text, "binary": binary,
            "extended_text": extended_text, "like": like, "dt": dt})
        self.format = format
        self.byteorder = self._traces.byteorder
        self._file, self._sink, self.name = _open(dest)
        self.n_traces = 0
        self._announced = n_traces
        try:
            self._traces.start(self._file, self.name)
        except BaseException:
            self._release()
            raise

    def write(self, trace, samples=None):
        """Writes one trace: a SEGYTrace, or a header and its samples."""
        if self._file is None:
            raise ValueError(f"{self.name}: the writer is closed.")
        whole = None
        if samples is None:
            record = _arrays._trace_record(trace, self._traces.swap)
        else:
            record, whole = self._record(trace, samples)
        self._traces.write(self._file, self.name, record, 1, whole, self.n_traces)
        self.n_traces += 1

    def _record(self, header, samples):
        """(the native SU trace record, the whole native SEG-Y header or None)
        of a header in any form and its samples."""
        import numpy as np
        from vondrel import _layout, _registry
        data = np.ascontiguousarray(samples, dtype=np.float32)
        if data.ndim != 1 or not 0 < data.size < 65536:
            raise ValueError(f"samples must be 1-D with 1 to 65535 values, not of shape {data.shape}.")
        if isinstance(header, (np.ndarray, np.void)):
            rows, segy = _layout.header_rows(header)
            if len(rows) != 1:
                raise ValueError(f"one header row for one trace, not {len(rows)}.")
            row = rows[0]
        else:
            fields = np.zeros((), _registry.get(self.format).header_dtype())
            for key, value in header.items():
                fields[key] = value
            row, segy = fields.reshape(1).view(np.uint8), self._traces.whole
        su = row.copy()
        if segy:
            su[180:] = 0          # the Seismic Unix fields there are others
        record = bytearray(su.tobytes() + data.tobytes())
        struct.pack_into("=H", record, 114, data.size)
        if self._traces.swap:
            _arrays._swap_traces(record)
        return record, row if segy and self._traces.whole else None

    def write_block(self, block, count, headers=None):
        """Writes `count` whole traces in native order held back to back in a
        writable buffer (what ``traces.readinto`` fills); swaps them in place
        when the file's order differs.  For SEG-Y, `headers` (what
        ``readinto(block, headers)`` fills from a SEG-Y source: the traces'
        whole SEG-Y headers, 240 bytes each, native order) are written in
        place of the headers of the block."""
        if self._file is None:
            raise ValueError(f"{self.name}: the writer is closed.")
        if headers is not None and not self._traces.whole:
            raise ValueError(f"{self.name}: headers= is for SEG-Y output.")
        if self._traces.swap:
            _arrays._swap_traces(block)
        self._traces.write(self._file, self.name, block, count, headers, self.n_traces)
        self.n_traces += count

    def _write_stored(self, headers, samples, count, ns):
        """Writes `count` traces of `ns` samples from what
        ``traces._readinto_stored`` filled: whole SEG-Y headers and samples
        in the stored type of the writer's sample format."""
        if self._file is None:
            raise ValueError(f"{self.name}: the writer is closed.")
        self._traces.write_stored(self._file, self.name, headers, samples, count, ns, self.n_traces)
        self.n_traces += count

    def close(self):
        """Finishes the file: the collection count and a flush; a path is
        then synchronised and its temporary file renamed over it (on an
        error here it is removed instead).  A file object given is flushed,
        not closed.  A second close does nothing."""
        if self._file is None:
            return
        try:
            self._traces.finish(self._file, self.name, self.n_traces)
            if self._announced is not None and self._announced != self.n_traces:
                raise ValueError(f"{self.name}: {self.n_traces} traces written where the count said "
                                 f"{self._announced}.")
            self._file.flush()
            if self._sink is not None:
                self._sink.commit()
        finally:
            self._release()

    def _release(self):
        """Lets go of the file; a path not yet committed is discarded."""
        self._file = None
        if self._sink is not None:
            self._sink.discard()

    def __enter__(self):
        return self

    def __exit__(self, kind, value, tb):
        if kind is None:
            self.close()
        elif self._sink is not None:
            self._release()           # a block that failed leaves no file behind
        else:
            self._traces.abort()
            try:
                self.close()          # a stream keeps the whole traces it was given
            except Exception:
                pass


def copy_traces(reader, writer, progress=None):
    """Streams every trace of a ``traces`` reader into a Writer in constant
    memory, many whole traces per block; from SEG-Y to SEG-Y each trace's
    whole header travels with it.  ``progress(nbytes)`` is called after
    each block."""
    if _copies_stored(reader, writer):
        _copy_stored(reader, writer, progress)
        return
    block = bytearray(BLOCK_BYTES)
    view = memoryview(block)
    from vondrel import _registry
    # Whole trace headers travel where the source has them (its file headers
    # say what follows: SEG-Y's) and the writer takes them.
    whole = writer._traces.whole and _registry.get(reader.format).file_headers
    headers = bytearray(240 * (BLOCK_BYTES // 244 + 1)) if whole else None
    while True:
        before = reader.index
        n = reader.readinto(block, headers)
        if not n:
            return
        count = reader.index - before
        writer.write_block(view[:n], count, memoryview(headers)[:240 * count] if whole else None)
        if progress is not None:
            progress(n)


def _copies_stored(reader, writer):
    """Whether the traces go from reader to writer in their stored sample
    type: SEG-Y to SEG-Y in one sample format, where float32 may not hold
    every value (64-bit floats, 32- and 64-bit integers) and need not."""
    layout = getattr(reader, "_layout", None)
    code = writer._traces.stored_code
    return layout is not None and code is not None and layout.code == code


def _copy_stored(reader, writer, progress=None):
    """Streams every trace of a SEG-Y reader into a SEG-Y writer of the same
    sample format with every value as the file holds it: whole headers and
    stored samples, many traces per block."""
    from vondrel._layout import SAMPLE_FORMATS
    width = SAMPLE_FORMATS[writer._traces.stored_code][0]
    samples = bytearray(BLOCK_BYTES)
    headers = bytearray(240 * (BLOCK_BYTES // 240))
    while True:
        count, ns = reader._readinto_stored(samples, headers)
        if not count:
            return
        writer._write_stored(headers, samples, count, ns)
        if progress is not None:
            progress(count * (240 + width * ns))
