"""Header fields as columns: between the structured header arrays of
vondrel.read and vondrel.write and the column tables of pandas and xarray."""
from collections.abc import Mapping
from typing import Any

import numpy as np
import numpy.typing as npt

from vondrel._messages import CANNOT_HOLD


def fields(dtype: np.dtype[Any]) -> list[str]:
    """The fields of a header dtype that hold one value per trace: every
    named number and the unassigned bytes (as one raw value), so that a
    header survives the trip through columns byte for byte."""
    assert dtype.names is not None
    return [name for name in dtype.names if dtype[name].shape == ()]


def records(columns: Mapping[str, Any], n: int, dtype: np.dtype[Any]) -> npt.NDArray[np.void]:
    """A new (n,) structured array of `dtype`: each field from the column of
    its name, 0 (unset) where there is none, and ns 0 (the writer takes it
    from the samples, which may have been cut since the headers were read).  ValueError when an integer
    column holds a value that its field cannot (a silent wrap would change
    the header)."""
    out = np.zeros(n, dtype)
    for name in fields(dtype):
        if name not in columns or name == "ns":
            continue
        column = np.asarray(columns[name])
        field = out[name]
        if field.dtype.kind == "V" and column.dtype.kind != "V":
            column = column.astype(f"S{field.dtype.itemsize}").view(field.dtype)
        field[...] = column
        if field.dtype.kind in "iu" and not np.array_equal(field, column):
            bad = column[field != column][0]
            raise ValueError(CANNOT_HOLD.format(name=name, value=bad, kind=field.dtype.name))
    return out


def table_column(values: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """A header field's values as a pandas column: raw bytes (the unassigned
    area) as Python bytes, which pandas can put together (records() pads
    them back), numbers as they are."""
    if values.dtype.kind == "V":
        return values.view(f"S{values.dtype.itemsize}").astype(object)
    return values
