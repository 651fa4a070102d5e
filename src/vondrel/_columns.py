"""Header fields as columns: between the structured header arrays of
vondrel.read and vondrel.write and the column tables of pandas and xarray."""
from collections.abc import Mapping
from typing import Any

import numpy as np
import numpy.typing as npt


def fields(dtype: np.dtype[Any]) -> list[str]:
    """The header fields of a header dtype that hold one number each (the
    unassigned bytes hold none)."""
    assert dtype.names is not None
    return [name for name in dtype.names if dtype[name].kind in "iuf" and dtype[name].shape == ()]


def records(columns: Mapping[str, Any], n: int, dtype: np.dtype[Any]) -> npt.NDArray[np.void]:
    """A new (n,) structured array of `dtype`: each field from the column of
    its name, 0 (unset) where there is none.  ValueError when an integer
    column holds a value that its field cannot (a silent wrap would change
    the header)."""
    out = np.zeros(n, dtype)
    for name in fields(dtype):
        if name not in columns:
            continue
        column = np.asarray(columns[name])
        field = out[name]
        field[...] = column
        if field.dtype.kind in "iu" and not np.array_equal(field, column):
            bad = column[field != column][0]
            raise ValueError(f"header field {name} cannot hold {bad} ({field.dtype.name})")
    return out
