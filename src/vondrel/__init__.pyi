"""Type stubs of the package vondrel: the names that arrive on first use.
Every name of _LAZY in __init__.py is declared here, and the submodules of
_SUBMODULES."""
from vondrel._files import Gather as Gather
from vondrel._files import Probe as Probe
from vondrel._files import from_collection as from_collection
from vondrel._files import header as header
from vondrel._files import header_dtype as header_dtype
from vondrel._files import probe as probe
from vondrel._files import read as read
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

def get_include() -> str: ...
