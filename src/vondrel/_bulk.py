"""Runs of fixed-length traces read through the native engine: one call of
vondrel._arrays reads them from the file's descriptor with positioned
(scatter) reads, swaps the headers into native order and decodes the
samples, all without the interpreter lock.  A leaf: it knows descriptors
and the engine, and takes what a format knows (sizes, codes, byte order)
as values."""
from __future__ import annotations

from typing import Any

from vondrel import _arrays

# Headers alone are read trace by trace beyond this many bytes a trace
# (the engine's own rule; here for where the file is left).
_SPARSE_TRACE = 16 * 240


def read_segy_run(f: Any, index: range, trace_size: int, ns: int, code: int, big_endian: bool, rows: Any,
                  samples: Any, stored: bool) -> int | None:
    """Reads the SEG-Y traces of `index` (ascending; trace i begins
    i * trace_size bytes after where f stands) into `rows` (240 bytes each)
    and `samples` (their samples back to back, float32 unless `stored`, or
    None for the headers only).  The number of traces read whole: len(index),
    or fewer where the file ends first.  None, with nothing read, when f has
    no descriptor (a stream in memory): the caller reads it its own way.  f
    is left where reading through it would have left it."""
    try:
        fd = f.fileno()
    except (OSError, AttributeError, ValueError):
        return None
    base = f.tell()
    got = _arrays._segy_read(fd, base + index[0] * trace_size, len(index), index.step, ns, code, big_endian, rows,
                             samples, not stored)
    if got == len(index):
        whole = samples is not None or (index.step == 1 and trace_size <= _SPARSE_TRACE)
        f.seek(base + index[-1] * trace_size + (trace_size if whole else 240))
    return got
