"""The optional dependencies (Dask, pandas, xarray, Zarr), imported where they are used.

`import vondrel` and `import vondrel.dask` import none of them; the first call
that needs one imports it, and its absence is one ImportError that names what
to install.
"""
import importlib
import sys
import threading
import warnings
from types import ModuleType

# import name -> (what it is, the Debian packages, the pip requirement)
PACKAGES = {
    "dask": ("Dask", "python3-dask", "dask"),
    "dask.array": ("Dask", "python3-dask", "dask"),
    "dask.dataframe": ("Dask's dataframes", "python3-dask and python3-pandas", "dask[dataframe]"),
    "pandas": ("pandas", "python3-pandas", "pandas"),
    "xarray": ("xarray", "python3-xarray", "xarray"),
    "zarr": ("Zarr", "python3-zarr and python3-numcodecs", "zarr"),
    "tqdm": ("tqdm", "python3-tqdm", "tqdm"),
}

# Dask without its query-planning extension (Debian's) warns on the first
# import of dask.dataframe; the legacy dataframes it falls back to serve here.
QUERY_PLANNING = r"\s*Dask dataframe query planning is disabled"
_FIRST_IMPORT = threading.Lock()


def require(name: str, user: str) -> ModuleType:
    """The module `name`, imported; ImportError saying that `user` needs it
    and how to install it when it is missing.

    Only the query-planning warning is filtered, only during a first import,
    and one thread at a time: the filters are process-wide, and two
    overlapping catch_warnings blocks could restore each other's filter."""
    try:
        if name in sys.modules:
            return importlib.import_module(name)      # loaded (or loading: the import lock waits)
        with _FIRST_IMPORT, warnings.catch_warnings():
            warnings.filterwarnings("ignore", message=QUERY_PLANNING, category=FutureWarning)
            return importlib.import_module(name)
    except ImportError as e:
        what, debian, pip = PACKAGES[name]
        raise ImportError(f"{user} needs {what}: install {debian} (Debian) or `pip install {pip}`") from e
