"""The sample interval and the time of a trace's first sample: one rule for
the whole package (reading, writing, the streams, Dask, xarray, the command
line), so that no two paths disagree.

The interval of a trace is the binary file header's (SEG-Y bytes 3217-3218,
unsigned 16-bit microseconds) where that is not 0, otherwise the trace's own
`dt` (bytes 117-118).  Files without a binary header (Seismic Unix,
collection files) have only the traces' own.

A trace's first sample lies `delrt` milliseconds after time zero; in SEG-Y
the time scalar `scalt` (bytes 215-216) scales it: a positive scalar
multiplies, a negative one divides by its magnitude, 0 means 1.  Seismic
Unix headers have no time scalar (their bytes 215-216 are unassigned)."""
from __future__ import annotations

from typing import Any

import numpy as np


def interval(binary_dt: int, trace_dt: int) -> int:
    """The sample interval in microseconds of a trace whose own dt is
    `trace_dt` in a file whose binary header says `binary_dt` (0 for files
    without one): the binary header's where non-zero, else the trace's."""
    return int(binary_dt) if binary_dt else int(trace_dt)


def intervals(binary_dt: int, trace_dt: Any) -> np.ndarray:
    """`interval` for every trace of `trace_dt` (one dt per trace): a new
    uint16 array."""
    if binary_dt:
        return np.full(len(trace_dt), binary_dt, dtype=np.uint16)
    return np.array(trace_dt, dtype=np.uint16)


def delay_ms(delrt: Any, scalt: Any = None) -> np.ndarray:
    """The time of each trace's first sample in milliseconds: `delrt`,
    scaled by `scalt` where there is one (SEG-Y headers)."""
    d = np.asarray(delrt, dtype=np.float64)
    if scalt is None:
        return d
    s = np.asarray(scalt, dtype=np.float64)
    magnitude = np.where(s == 0, 1.0, np.abs(s))
    return np.where(s < 0, d / magnitude, d * magnitude)      # a division, not a product with 1/|s|: exact


def delay_of(headers: np.ndarray) -> np.ndarray:
    """delay_ms of header rows of either layout (scalt counts only where
    the rows have one: SEG-Y's)."""
    names = headers.dtype.names or ()
    return delay_ms(headers["delrt"], headers["scalt"] if "scalt" in names else None)


def check_interval(dt: object) -> int:
    """A dt= argument: a whole number of microseconds from 1 to 65535."""
    if isinstance(dt, bool) or not isinstance(dt, (int, np.integer)) or not 0 < dt < 65536:
        raise ValueError(f"dt must be a whole number of microseconds from 1 to 65535, not {dt!r}")
    return int(dt)
