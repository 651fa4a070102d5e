"""Whole trace files as NumPy arrays: Seismic Unix files in either byte
order and collection files, read into a Gather and written back."""
from __future__ import annotations

import numpy as np

from vondrel import _arrays

__all__ = ["Gather", "Probe", "read", "write", "probe", "header_dtype", "header", "from_collection"]


def _todo(*args, **kwargs):
    raise NotImplementedError("not yet available")


class Gather:
    def to_xarray(self):
        from vondrel._xarray import to_xarray
        return to_xarray(self)


read = write = probe = header_dtype = header = from_collection = _todo
Probe = None
