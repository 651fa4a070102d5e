"""Trace streams: the source plan behind ``vondrel.traces`` and the ``Writer``
that puts traces back out one at a time, so that a Python step can sit in a
Seismic Unix pipeline.  The byte work is native (``vondrel._arrays``)."""
from __future__ import annotations

import os
import struct
import sys

from vondrel import _arrays, _sinks

__all__ = ["Writer", "traces", "copy_traces"]

# Bytes per readinto of the block path: many traces per call, small enough
# to stay in cache while they are swapped.
BLOCK_BYTES = 1 << 20
_NATIVE = "<" if sys.byteorder == "little" else ">"
_FORMATS = ("su", "collection", "segy")


def _byteorder(byteorder, default):
    from vondrel._layout import order
    return order(byteorder, default)


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
    return (src.file, src.opened is not None, src.name, *rest)


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
    Writer dropped unclosed, leaves no file and an existing one untouched.
    A path that is a file a ``traces`` reader is reading is refused.  On a
    file object every write goes on until all of its bytes are taken (a raw
    stream's write() that returns None is a BlockingIOError); ``close()``
    flushes it and leaves it open."""

    def __init__(self, dest, format="su", byteorder=None, *, n_traces=None, sample_format=None, text=None,
                 binary=None, extended_text=None, like=None, dt=None):
        if format not in _FORMATS:
            raise ValueError(f'format must be one of "su", "collection", "segy", not {format!r}.')
        self._segy = None
        if format == "segy":
            self._segy = _SegyHeads(like, sample_format, text, binary, extended_text, dt)
        elif like is not None or binary is not None or extended_text is not None or dt is not None:
            raise ValueError("like, binary, extended_text and dt are for SEG-Y (format=\"segy\").")
        default = self._segy.byteorder if self._segy else _NATIVE
        self.format = format
        self.byteorder = _byteorder(byteorder, default)
        self._swap = self.byteorder != _NATIVE and format != "segy"
        self._file, self._sink, self.name = _open(dest)
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
        whole = None
        if samples is None:
            record = _arrays._trace_record(trace, self._swap)
        else:
            record, whole = self._record(trace, samples)
        if self._segy:
            self._write_segy(record, 1, whole)
        else:
            self._file.write(record)
        self.n_traces += 1

    def _record(self, header, samples):
        """(the native SU trace record, the whole native SEG-Y header or None)
        of a header in any form and its samples."""
        import numpy as np
        from vondrel import _interval, _layout, _segyfile
        data = np.ascontiguousarray(samples, dtype=np.float32)
        if data.ndim != 1 or not 0 < data.size < 65536:
            raise ValueError(f"samples must be 1-D with 1 to 65535 values, not of shape {data.shape}.")
        if isinstance(header, (np.ndarray, np.void)):
            rows, segy = _layout.header_rows(header)
            if len(rows) != 1:
                raise ValueError(f"one header row for one trace, not {len(rows)}.")
            row = rows[0]
        else:
            dtype = _layout.trace_header_dtype() if self._segy else _layout.header_dtype()
            fields = np.zeros((), dtype)
            for key, value in header.items():
                fields[key] = value
            row, segy = fields.reshape(1).view(np.uint8), bool(self._segy)
        su = row.copy()
        if segy:
            su[180:] = 0          # the Seismic Unix fields there are others
        record = bytearray(su.tobytes() + data.tobytes())
        struct.pack_into("=H", record, 114, data.size)
        if self._swap:
            _arrays._swap_traces(record)
        return record, row if segy and self._segy else None

    def write_block(self, block, count, headers=None):
        """Writes `count` whole traces in native order held back to back in a
        writable buffer (what ``traces.readinto`` fills); swaps them in place
        when the file's order differs.  For SEG-Y, `headers` (what
        ``readinto(block, headers)`` fills from a SEG-Y source: the traces'
        whole SEG-Y headers, 240 bytes each, native order) are written in
        place of the headers of the block."""
        if self._file is None:
            raise ValueError(f"{self.name}: the writer is closed.")
        if self._segy:
            self._write_segy(block, count, headers)
        else:
            if headers is not None:
                raise ValueError(f"{self.name}: headers= is for SEG-Y output.")
            if self._swap:
                _arrays._swap_traces(block)
            self._file.write(block)
        self.n_traces += count

    def _write_segy(self, block, count, whole):
        """Writes `count` native-order SU traces of one ns as SEG-Y traces,
        their headers from `whole` (SEG-Y headers, native order) where given,
        else bytes 1-180 of the block's (the SU fields after them have no
        place in SEG-Y); the samples encoded; the file headers before the
        first."""
        import numpy as np
        from vondrel import _layout, _segyfile
        heads = self._segy
        raw = np.frombuffer(block, np.uint8)
        ns = int(raw[114:116].view(np.uint16)[0])
        size = 240 + 4 * ns
        rows = raw.reshape(-1, size) if len(raw) == count * size else None
        expected = heads.ns if heads.ns is not None else ns
        if rows is None or (rows[:, 114:116].copy().view(np.uint16) != expected).any():
            raise ValueError(f"{self.name}: the traces of a SEG-Y file written here have one ns, "
                             f"{expected}; trace {self.n_traces} or one after it differs.")
        if whole is None:
            headers = np.zeros((count, 240), np.uint8)
            headers[:, :180] = rows[:, :180]
        else:
            headers = np.frombuffer(whole, np.uint8)
            if len(headers) < 240 * count:
                raise ValueError(f"{self.name}: {len(headers)} bytes of headers for {count} traces.")
            headers = headers[:240 * count].reshape(count, 240).copy()
        head = b""
        if heads.ns is None:
            first_dt = int(headers[0, 116:118].view(np.uint16)[0]) if whole is not None else \
                int(rows[0, 116:118].view(np.uint16)[0])
            head = heads.file_headers(ns, first_dt, self.byteorder)
        try:                      # every check before the first byte: nothing of a refused trace is written
            if whole is None:
                headers[:, 114:118] = rows[:, 114:118]
            elif heads.set_ns:
                headers[:, 114:116] = rows[:, 114:116]
            _segyfile.refuse_no_interval(heads.interval, headers[:, 116:118].copy().view(np.uint16).ravel(),
                                         f"{self.name}: ", self.n_traces)
            samples = np.ascontiguousarray(rows[:, 240:]).view(np.float32).reshape(-1)
            offsets = np.arange(count + 1, dtype=np.int64) * ns
            stored = _segyfile.stored_samples(samples, offsets, heads.code, f"{self.name}: ", self.n_traces)
        except BaseException:
            if head:
                heads.ns = None   # the file headers are not out yet
            raise
        out = bytearray(count * (240 + ns * _layout.SAMPLE_FORMATS[heads.code][0]))
        _arrays._segy_encode(headers, stored, count, ns, heads.code, self.byteorder == ">", out)
        if head:
            self._file.write(head)
        self._file.write(out)

    def close(self):
        """Finishes the file: the collection count and a flush; a path is
        then synchronised and its temporary file renamed over it (on an
        error here it is removed instead).  A file object given is flushed,
        not closed.  A second close does nothing."""
        if self._file is None:
            return
        try:
            if self._segy and self._segy.ns is None and not self._segy.aborted:
                # no traces: the file headers alone (a SEG-Y file's own count where it was like one)
                binary = self._segy.binary
                self._file.write(self._segy.file_headers(int(binary["hns"]) if binary is not None else 0, 0,
                                                         self.byteorder))
            if self._count_at is not None:
                end = self._file.tell()
                self._file.seek(self._count_at)
                self._file.write(self._count(self.n_traces))
                self._file.seek(end)
            elif self._announced is not None and self._announced != self.n_traces:
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
            if self._segy:
                self._segy.aborted = True          # no file headers after a failure
            try:
                self.close()          # a stream keeps the whole traces it was given
            except Exception:
                pass


def copy_traces(reader, writer, progress=None):
    """Streams every trace of a ``traces`` reader into a Writer in constant
    memory, many whole traces per block; from SEG-Y to SEG-Y each trace's
    whole header travels with it.  ``progress(nbytes)`` is called after
    each block."""
    block = bytearray(BLOCK_BYTES)
    view = memoryview(block)
    whole = reader.format == "segy" and writer.format == "segy"
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


class _SegyHeads:
    """What a SEG-Y Writer puts before its first trace, decided up front
    (every argument checked when the writer is made), written once the
    first trace gives the sample count."""

    def __init__(self, like, sample_format, text, binary, extended_text, dt):
        import numpy as np
        from vondrel import _interval, _layout, _segyfile
        layout = getattr(like, "_layout", None) if like is not None else None
        if like is not None and layout is None:
            raise ValueError(f"like must be a SEG-Y source (a vondrel.traces reader or a gather read from "
                             f"SEG-Y), not {type(like).__name__} of another format.")
        code = sample_format if sample_format is not None else layout.code if layout is not None else 5
        self.code = _layout.check_sample_format(code)
        self.dt = None if dt is None else _interval.check_interval(dt)
        encoding = (_segyfile.text_encoding(layout.raw_text) or "cp037") if layout is not None else "cp037"
        if layout is not None:
            # a gather's text may have been changed since it was read: the raw bytes only where it was not
            text = text if text is not None or like.text == _segyfile.decode_text(layout.raw_text) else like.text
            if extended_text is None and like.extended_text != [_segyfile.decode_text(r) for r in layout.raw_extended]:
                extended_text = like.extended_text
        self.text = None if text is None else _segyfile.encode_text(text, encoding)
        if self.text is None and layout is not None:
            self.text = layout.raw_text
        if extended_text is not None:
            self.extended = [_segyfile.encode_text(t, encoding) for t in extended_text]
        else:
            self.extended = list(layout.raw_extended) if layout is not None else []
        self.binary = None
        if binary is not None:
            self.binary = np.zeros((), _layout.binary_dtype())
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
        self.byteorder = layout.byteorder if layout is not None else ">"
        self.ns = None
        self.set_ns = True
        self.interval = 0
        self.aborted = False

    def file_headers(self, ns, first_dt, byteorder):
        """The bytes before the first trace, for traces of `ns` samples, the
        first of which says `first_dt`."""
        import numpy as np
        from vondrel import _layout, _segyfile
        given_ns = None
        if self.binary is not None:
            binary = self.binary.copy()
            given_ns = int(binary["hns"])
        else:
            binary = np.zeros((), _layout.binary_dtype())
            binary["hdt"] = binary["dto"] = first_dt
            binary["rev"], binary["trflag"] = 1, 1
        if self.dt is not None:
            binary["hdt"] = self.dt
        binary["format"], binary["hns"] = self.code, ns
        if int(binary["nvstxt"]) >= 0:
            binary["nvstxt"] = len(self.extended)
        # A trace header's ns stays as the file wrote it where readers take
        # the count from the binary header and that count is unchanged.
        by_binary = _segyfile.revision_of(binary) == 0 or int(binary["trflag"]) == 1
        self.set_ns = not (by_binary and given_ns == ns)
        self.ns, self.interval = ns, int(binary["hdt"])
        text = self.text if self.text is not None else \
            _segyfile.encode_text(_segyfile.default_text(self.code, byteorder))
        return text + _layout.in_order(binary, byteorder) + b"".join(self.extended)
