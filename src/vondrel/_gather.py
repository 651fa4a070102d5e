"""Traces as arrays: the Gather that vondrel.read returns and
vondrel.write takes (headers, samples back to back, trace boundaries)."""
from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np

from vondrel import _arrays, _interval
from vondrel._layout import NATIVE, ORDER_NAMES, header_dtype, take

if TYPE_CHECKING:
    import xarray

    from vondrel._layout import BinaryHeader

# ---- the arrays ---------------------------------------------------------------------------


# What a gather built by hand is, and what repr calls it.
BY_HAND_FORMAT, BY_HAND_TITLE = "su", "SU"


class Gather:
    """Traces as arrays: `headers` (one row per trace, native order), the
    samples back to back in `flat` with the n + 1 trace boundaries in
    `offsets`, and `samples`, the (n, ns) view when every trace has one ns.
    `format` and `byteorder` say what the file was."""

    __slots__ = ("headers", "flat", "offsets", "format", "byteorder", "_rows", "_title")

    def __init__(self, headers: np.ndarray, flat: np.ndarray | None, offsets: np.ndarray,
                 format: str = BY_HAND_FORMAT, byteorder: str = NATIVE, _title: str | None = None) -> None:
        self.headers = headers
        self.flat = flat
        self.offsets = offsets
        self.format = format
        self.byteorder = byteorder
        # What repr calls the format: its title, handed down by the format
        # that made the gather (vondrel._registry); else its name, but for
        # the format a gather built by hand has by default.
        if _title is None:
            _title = BY_HAND_TITLE if format is BY_HAND_FORMAT else format
        self._title = _title
        self._rows: tuple[object, object, np.ndarray] | None = None   # (flat, offsets, samples) last made

    def __len__(self) -> int:
        return len(self.headers)

    def __repr__(self) -> str:
        n, ns, dt = len(self), self.ns, self.dt
        shape = [f"{n} traces"]
        if n:
            shape += ["ns varies" if ns is None else f"ns {ns}", "dt varies" if dt is None else f"dt {dt} us"]
        return (f"<vondrel.{type(self).__name__}: {', '.join(shape)}, {self._title} "
                f"{ORDER_NAMES[self.byteorder]}, samples {self._sample_format()}>")

    @property
    def samples(self) -> np.ndarray:
        """The samples as an (n, ns) float32 array (a view of `flat`);
        ValueError when the traces differ in ns."""
        flat = self._flat()
        if self._rows is not None and self._rows[0] is flat and self._rows[1] is self.offsets:
            return self._rows[2]
        n = len(self.offsets) - 1
        if n == 0:
            return flat.reshape(0, 0)
        lengths = np.diff(self.offsets)
        differ = np.flatnonzero(lengths != lengths[0])
        if len(differ):
            i = int(differ[0])
            raise ValueError(f"trace {i} has {lengths[i]} samples where trace 0 has {lengths[0]}: "
                             "the traces differ in length; use .flat and .offsets")
        rows = flat.reshape(n, int(lengths[0]))
        self._rows = (flat, self.offsets, rows)
        return rows

    def _flat(self) -> np.ndarray:
        if self.flat is None:
            raise ValueError("the samples were not read (samples=False)")
        return self.flat

    def to_collection(self) -> object:
        """A SEGY in memory whose traces share the rows of `samples` (or the
        pieces of `flat`), with their headers copied from `headers`."""
        from vondrel.segy import SEGY

        flat = self._flat()
        lengths = np.diff(self.offsets)
        if len(lengths) and (lengths == lengths[0]).all():
            rows = self.samples
        else:
            rows = [flat[a:b] for a, b in zip(self.offsets[:-1].tolist(), self.offsets[1:].tolist())]
        collection = SEGY(rows, 0)
        _arrays.copy_headers(collection, np.ascontiguousarray(self._su_headers(), dtype=header_dtype()))
        return collection

    def _su_headers(self) -> np.ndarray:
        """The header rows in the Seismic Unix layout."""
        return self.headers

    def _taken(self, rows: slice | np.ndarray) -> Gather:
        """The traces of `rows` (a slice or indexes, in any order) as a new
        gather of the same kind and file (copies)."""
        return Gather(*take(self.headers, self.flat, self.offsets, rows), self.format, self.byteorder, self._title)

    def interval(self) -> np.ndarray:
        """Each trace's sample interval in microseconds (a new uint16 array):
        the binary header's where a file has one that is not 0, otherwise the
        trace's own dt (see vondrel._interval)."""
        return _interval.intervals(0, self.headers["dt"])

    def to_xarray(self) -> xarray.Dataset:
        """The gather as an xarray Dataset: samples on the dimensions trace and
        time (seconds), every header field a coordinate along trace."""
        from vondrel._dataset import to_xarray
        return to_xarray(self)

    # What every gather answers, and what only a SEG-Y file has (None here;
    # SegyGather holds them).

    @property
    def text(self) -> str | None:
        """SEG-Y's textual file header; None for the other formats."""
        return None

    @property
    def extended_text(self) -> list[str] | None:
        """SEG-Y's extended textual headers; None for the other formats."""
        return None

    @property
    def binary(self) -> BinaryHeader | None:
        """SEG-Y's binary file header; None for the other formats."""
        return None

    @property
    def ns(self) -> int | None:
        """Samples per trace, when every trace has as many; None when they
        differ or there are no traces."""
        return _common(np.diff(self.offsets))

    @property
    def dt(self) -> int | None:
        """The sample interval in microseconds (see interval()), when every
        trace has the same; None when they differ or there are no traces."""
        return _common(self.interval())

    def interval(self) -> np.ndarray:
        """Each trace's sample interval in microseconds: its header's dt."""
        return self.headers["dt"].copy()

    @property
    def times(self) -> np.ndarray:
        """The time axis in seconds (float64, one value per sample): the
        delay of the first sample (delrt, milliseconds) plus k times the
        interval.  ValueError when the traces differ in ns, dt or delrt."""
        if not len(self):
            return np.zeros(0)
        axis = []
        for what, values in (("ns", np.diff(self.offsets)), ("dt", self.interval()),
                             ("delrt", self.headers["delrt"])):
            differ = np.flatnonzero(values != values[0])
            if len(differ):
                k = int(differ[0])
                raise ValueError(f"trace {k} has {what} {values[k]}, trace 0 has {values[0]}: "
                                 f"one time axis needs one {what}")
            axis.append(int(values[0]))
        ns, dt, delrt = axis
        return delrt / 1e3 + np.arange(ns) * (dt / 1e6)

    def _sample_format(self) -> str:
        """How the file stores the samples, for repr."""
        return "float32"


def _common(values: np.ndarray) -> int | None:
    """The value every trace has, or None when they differ or there are none."""
    if not len(values) or (values != values[0]).any():
        return None
    return int(values[0])


def gather_of(blocks: tuple, format: str, byteorder: str, title: str) -> Gather:
    """The Gather of what the native readers return: (header bytes, float32
    sample bytes or None, int64 boundary bytes, ...)."""
    headers, flat, offsets = blocks[:3]
    return Gather(np.frombuffer(headers, dtype=header_dtype()),
                  None if flat is None else np.frombuffer(flat, dtype=np.float32),
                  np.frombuffer(offsets, dtype=np.int64), format, byteorder, title)

