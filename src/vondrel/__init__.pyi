"""Type stubs of the package vondrel: the names that arrive on first use.
Every name of _LAZY in __init__.py is declared here, and the submodules of
_SUBMODULES."""
from collections.abc import Sequence
from typing import Literal, overload

import numpy as np

from vondrel._files import Gather as Gather
from vondrel._files import Probe as Probe
from vondrel._files import from_collection as from_collection
from vondrel._files import header as header
from vondrel._files import header_dtype as header_dtype
from vondrel._files import probe as probe
from vondrel._files import write as write
from vondrel._handle import File as File
from vondrel._handle import open as open
from vondrel._segyfile import SegyGather as SegyGather
from vondrel._stream import Writer as Writer
from vondrel._stream import traces as traces
from vondrel._xarray import from_xarray as from_xarray
from vondrel._geometry import write_cube as write_cube
from vondrel._zarr import from_zarr as from_zarr
from vondrel._zarr import to_zarr as to_zarr
from vondrel import dask as dask


class PrecisionWarning(UserWarning):
    """Samples were rounded as they were read as float32: the file stores
    values float32 cannot hold (32- or 64-bit integers, 64-bit floats)."""

# read: what format= names decides the gather's type.  Read as SEG-Y, it
# carries the file headers (text, binary, extended_text); found from the
# data, it is a Gather, whose file headers are None unless it is SEG-Y.
@overload
def read(source: object, *, format: Literal["segy"], byteorder: str | None = None,
         traces: int | slice | range | Sequence[int] | np.ndarray | None = None, samples: bool = True,
         partial: bool = False, dtype: str | None = None, ns: int | None = None,
         sample_format: int | None = None) -> SegyGather: ...
@overload
def read(source: object, *, format: str | None = None, byteorder: str | None = None,
         traces: int | slice | range | Sequence[int] | np.ndarray | None = None, samples: bool = True,
         partial: bool = False, dtype: str | None = None, ns: int | None = None,
         sample_format: int | None = None) -> Gather: ...

def get_include() -> str: ...
