"""One plan per open file: where every trace of a file lies and how its
bytes read, made once from the file headers (and, for traces that differ
in length, one walk over the trace headers), then handed to whatever moves
the bytes.

Detection is asked exactly once, through `_detected`, and the chosen format
answers for its own file headers (vondrel._detection.TraceFormat: open_plan,
overridden, plan_headers, sample_width): nothing here knows a format."""
from __future__ import annotations

import dataclasses
import io
import mmap
import os
import struct
from typing import Any, NamedTuple

import numpy as np

from vondrel._messages import CUT_SHORT

HEADER_SIZE = 240


@dataclasses.dataclass(frozen=True, eq=False)
class Plan:
    """Where the traces of one file lie and how their bytes read.

    `data_offset` is the byte where trace 0 begins; trace i begins at
    data_offset + i * trace_size when the traces are of one size, else at
    trace_offsets[i] (n + 1 offsets, the last where the traces end).  `ns`
    is None when the traces differ in ns.  `dt` in microseconds: the file
    headers' interval where they have one that is not 0 (SEG-Y's binary
    header), else the first trace's.  `sample_format` is the SEG-Y format
    code (5, IEEE float, for SU and collection files); `width` the bytes per
    sample; `header_dtype` the native-order dtype of the trace headers
    (SEG-Y's with bytes 181-240 by name, or Seismic Unix's)."""
    path: str
    format: str
    byteorder: str
    data_offset: int
    n_traces: int
    ns: int | None
    trace_size: int | None
    trace_offsets: np.ndarray | None
    dt: int
    sample_format: int
    width: int
    header_dtype: np.dtype
    end: int                                 # the byte after the last trace: what must stay in the file
    dt_from_trace: bool = True               # dt is the first trace's own (so edits of it move it)
    text: str | None = None
    binary: np.ndarray | None = None
    extended_text: tuple[str, ...] = ()
    layout: Any = None                       # the SEG-Y module's reading of the file headers

    def offset_of(self, i: int) -> int:
        """The byte where trace i begins."""
        if self.trace_offsets is not None:
            return int(self.trace_offsets[i])
        assert self.trace_size is not None
        return self.data_offset + i * self.trace_size


class _Found(NamedTuple):
    """What detection says: the format and byte order, where the traces
    start, how many there are (None: count them), their ns (None: they
    differ, walk them), and for SEG-Y its file headers' reading."""
    format: str
    byteorder: str
    start: int
    count: int | None
    ns: int | None
    layout: Any


def _detected(file: io.RawIOBase, name: str, format: str | None, byteorder: str | None, ns: int | None,
              sample_format: int | None) -> _Found:
    """Asks detection once about `file` (a seekable binary file standing at
    byte 0), through the registry: the chosen format reads its own file
    headers (with the caller's overrides where it takes them)."""
    from vondrel import _registry
    from vondrel._layout import order as order_of
    from vondrel._sources import Source

    order = order_of(byteorder)
    src = Source(file)
    src.name = name
    if ns is not None or sample_format is not None:
        headed, overrides = _registry.check_overrides(format, ns, sample_format)
        found_order, start, found_ns, layout = _registry.get(headed).overridden(src, order, overrides)
        return _Found(headed, found_order, start, None, found_ns, layout)
    fit = _registry.detect(src, format, order, False)
    r = fit.reading
    return _Found(r.format, r.byteorder, *_registry.of(fit).open_plan(src, fit))


def _walk(fd: int, buffer: Any, start: int, width: int, big: bool, limit: int, size: int) -> np.ndarray:
    """The n + 1 offsets of traces that each hold their own header's sample
    count, walked from `start` while they lie whole in the file (`buffer`:
    the file mapped, or None: positioned reads)."""
    from vondrel import _arrays

    if buffer is not None:
        return np.frombuffer(_arrays._h_walk(buffer, start, width, big, limit), dtype=np.int64)
    offsets, pos = [start], start
    code = ">H" if big else "<H"
    while (limit < 0 or len(offsets) <= limit) and pos + HEADER_SIZE <= size:
        ns = struct.unpack(code, os.pread(fd, 2, pos + 114))[0]
        if pos + HEADER_SIZE + ns * width > size:
            break
        pos += HEADER_SIZE + ns * width
        offsets.append(pos)
    return np.array(offsets, dtype=np.int64)


def plan(path: str | os.PathLike[str], format: str | None = None, byteorder: str | None = None,
         ns: int | None = None, sample_format: int | None = None, *, fd: int | None = None,
         buffer: Any = None) -> Plan:
    """The plan of the file at `path`: detection asked once, the file headers
    read once.  `fd` an open descriptor of it to use (else the path is
    opened and closed here); `buffer` the file mapped, for the walk over
    traces that differ in length.  ValueError when the file is no trace
    file, or its traces do not tile it."""
    name = os.fsdecode(path)
    own = fd is None
    if own:
        fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    try:
        return _plan_of(name, fd, buffer, format, byteorder, ns, sample_format)
    finally:
        if own:
            os.close(fd)


def _plan_of(name: str, fd: int, buffer: Any, format: str | None, byteorder: str | None, ns: int | None,
             sample_format: int | None) -> Plan:
    from vondrel import _registry

    size = os.fstat(fd).st_size
    with os.fdopen(fd, "rb", buffering=0, closefd=False) as file:
        found = _detected(file, name, format, byteorder, ns, sample_format)
    big = found.byteorder == ">"
    layout = found.layout
    walk_buffer = buffer
    temporary = None
    if found.ns is None and buffer is None and size:
        try:
            walk_buffer = temporary = mmap.mmap(fd, 0, access=mmap.ACCESS_READ)
        except (OSError, ValueError):
            walk_buffer = None
    try:
        chosen = _registry.get(found.format)
        dtype = chosen.header_dtype()
        what = chosen.describe(found.byteorder)
        code, width = chosen.sample_width(layout)
        start = found.start
        offsets = None
        if found.ns is not None:
            trace_size = HEADER_SIZE + found.ns * width
            if found.count is not None:
                n = found.count
            else:
                n, rest = divmod(max(size - start, 0), trace_size)
                if rest or size < start:
                    raise ValueError(CUT_SHORT.format(name=name, what=what, index=n, offset=start + n * trace_size))
            end = start + n * trace_size
        else:
            trace_size = None
            limit = found.count if found.count is not None else -1
            offsets = _walk(fd, walk_buffer, start, width, big, limit, size)
            n = len(offsets) - 1
            end = int(offsets[-1])
            if (found.count is not None and n < found.count) or (found.count is None and end != size):
                raise ValueError(CUT_SHORT.format(name=name, what=what, index=n, offset=end))
    finally:
        if temporary is not None:
            temporary.close()
    if end > size:
        raise ValueError(f"{name}: {what}: the traces need {end} bytes and the file holds {size}")

    first_dt = 0
    if n:
        raw = os.pread(fd, 2, start + 116)
        first_dt = struct.unpack(">H" if big else "<H", raw)[0] if len(raw) == 2 else 0
    dt, from_trace = first_dt, True
    binary_dt, text, binary, extended = chosen.plan_headers(layout) if layout is not None else (0, None, None, ())
    if binary_dt:
        dt, from_trace = binary_dt, False
    return Plan(path=name, format=found.format, byteorder=found.byteorder, data_offset=start, n_traces=n,
                ns=found.ns, trace_size=trace_size, trace_offsets=offsets, dt=dt, sample_format=code, width=width,
                header_dtype=dtype, end=end, dt_from_trace=from_trace, text=text, binary=binary,
                extended_text=extended, layout=layout)
