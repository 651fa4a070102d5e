"""Seismic traces in the Seismic Unix layout, for Python and NumPy."""
import os

# Names that arrive on first use (PEP 562), so that importing the package,
# which `import vondrel.segy` does first, loads neither NumPy nor a native
# module: name -> the submodule that defines it.
_LAZY = {
    "Gather": "vondrel._gather",
    "SegyGather": "vondrel._segyfile",
    "Probe": "vondrel._files",
    "read": "vondrel._files",
    "write": "vondrel._files",
    "probe": "vondrel._files",
    "header_dtype": "vondrel._files",
    "header": "vondrel._files",
    "from_collection": "vondrel._files",
    "traces": "vondrel._stream",
    "Writer": "vondrel._stream",
    "from_xarray": "vondrel._xarray",
    "open": "vondrel._handle",
    "File": "vondrel._handle",
    "write_cube": "vondrel._geometry",
    "to_zarr": "vondrel._zarr",
    "from_zarr": "vondrel._zarr",
    "PrecisionWarning": "vondrel._arrays",
}
_SUBMODULES = ("dask",)


def get_include() -> str:
    """The directory that holds segy_api.h, for building native clients:
    put it on the include path and write ``#include "segy_api.h"``."""
    return os.path.dirname(os.path.abspath(__file__))


def __getattr__(name: str) -> object:
    import importlib

    if name in _SUBMODULES:
        return importlib.import_module(f"{__name__}.{name}")
    where = _LAZY.get(name)
    if where is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(where), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted([*globals(), *_LAZY, *_SUBMODULES])
