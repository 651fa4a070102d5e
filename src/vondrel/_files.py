"""The public API over the formats: vondrel.read, vondrel.write and
vondrel.probe check their arguments once, ask the registry
(vondrel._registry) which format a file is or which one to write, and
call that format.  Nothing here branches on a format's name."""
from __future__ import annotations

import os
import stat
from collections.abc import Sequence
from typing import Any
from typing import NamedTuple

import numpy as np

from vondrel import _registry
from vondrel._detection import Unconfirmed
from vondrel._gather import Gather
from vondrel._interval import check_interval
from vondrel._messages import DTYPE
from vondrel._layout import header, header_dtype, order
from vondrel._sources import Source
from vondrel._sufile import from_collection

__all__ = ["Gather", "Probe", "read", "write", "probe", "header_dtype", "header", "from_collection"]


class Probe(NamedTuple):
    """What a file holds: `n_traces` None on a stream of unknown size (or
    a SEG-Y file whose traces each say their length, on a stream), `ns` None
    when traces differ in ns."""
    format: str
    byteorder: str
    n_traces: int | None
    ns: int | None
    dt: int | None


def probe(source: object, *, format: str | None = None, byteorder: str | None = None, ns: int | None = None,
          sample_format: int | None = None) -> Probe:
    """Format, byte order, trace count, ns and dt of a file.  On a path or
    a seekable file the headers are walked to the end (reading each ns
    only), so that the count and ns are the file's own; a stream shows its
    first trace.  `ns=` and `sample_format=` stand in for a SEG-Y binary
    header's sample count and format code.  A SEG-Y file that does not tile
    raises its diagnosis with what its binary header holds.  A file object
    is put back where it stood; a stream keeps what was read ahead."""
    format, overrides = _registry.check_overrides(format, ns, sample_format)
    with Source(source) as src:
        try:
            fit = _registry.detect(src, format, order(byteorder), False, src.size is not None, overrides)
        except ValueError as e:
            shown = next(filter(None, (f.shown_headers(src) for f in _registry.FORMATS)), None)
            if shown:
                raise ValueError(f"{e}; its binary header holds {shown}") from None
            raise
        r = fit.reading
        return Probe(r.format, r.byteorder, *_registry.of(fit).probe(src, fit, overrides))


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
    file stores (IBM floats as float32); otherwise samples are float32, and
    a gather whose 64-bit floats float32 rounded is refused by `write` in
    their own format (it would change the file's values).
    `ns=` and `sample_format=` stand in for what a SEG-Y binary header says
    of the samples per trace and their format code, when it says wrong."""
    if dtype not in (None, "float32", "stored"):
        raise ValueError(DTYPE.format(dtype=dtype))
    if isinstance(traces, (list, tuple, np.ndarray)):
        return _read_selected(source, format, byteorder, traces, samples, partial, dtype, ns, sample_format)
    format, overrides = _registry.check_overrides(format, ns, sample_format)
    sel, index = _selection(traces)
    wanted = order(byteorder)
    stored = dtype == "stored"
    with Source(source) as src:
        fit = _registry.detect(src, format, wanted, partial, False, overrides)
        try:
            return _registry.of(fit).read(src, fit, sel, index, samples, partial, stored, overrides)
        except Unconfirmed:
            # The guess from the first header and the size was wrong: walk
            # the headers, and let the walk decide.
            fit = _registry.detect(src, format, wanted, partial, True, overrides)
            return _registry.of(fit).read(src, fit, sel, index, samples, partial, stored, overrides)


def _read_selected(source: object, format: str | None, byteorder: str | None, traces: Any, samples: bool,
                  partial: bool, dtype: str | None, ns: int | None = None,
                  sample_format: int | None = None) -> Gather:
    """vondrel.read of the traces of an index sequence or a boolean mask, in
    the order given: through a handle from a regular file (only the traces
    selected are read), else (streams, partial=True) the whole data read,
    then selected."""
    from vondrel._handle import File, index_array

    if isinstance(source, (str, bytes, os.PathLike)) and not partial:
        try:
            regular = stat.S_ISREG(os.stat(source).st_mode)
        except OSError:
            regular = False
        if regular:
            with File(source, format=format, byteorder=byteorder, ns=ns, sample_format=sample_format) as f:
                return f.read(traces, samples=samples, dtype=dtype)
    g = read(source, format=format, byteorder=byteorder, samples=samples, partial=partial, dtype=dtype,
                    ns=ns, sample_format=sample_format)
    return g._taken(index_array(traces, len(g)))


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
    if format is None:
        own = getattr(data, "format", None)
        format = own if isinstance(own, str) else _registry.ARRAYS.name
    chosen = _registry.get(format)
    if _is_collection(data):
        data = from_collection(data)             # a SEGY collection or a trace iterator
    chosen.write(dest, data, byteorder, dt, sample_format, text, revision)


def _is_collection(data: object) -> bool:
    """Whether `data` is a SEGY collection or a trace iterator (what from_collection takes)."""
    from vondrel.segy import SEGY, BaseTraceIterator
    return isinstance(data, (SEGY, BaseTraceIterator))
