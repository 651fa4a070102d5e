"""The Dask arrays of the xarray engine's header coordinates.

open_mfdataset chunks every header coordinate of every file, then
concatenates each coordinate across the files: xarray asks NumPy for the
files' common dtype (one np.result_type per file and one for all) and
then for np.concatenate, and a Dask array answers both through
__array_function__, which costs a signature inspection per call and, for
the concatenation, Dask's general path (metas concatenated, chunks unified
across every axis).  With some eighty coordinates a file, that was a
quarter of open_mfdataset's time.

Column is a Dask array like any other (a subclass that adds no state):
it answers those two questions directly when the answer needs nothing of
the general path (for the dtype, every argument a Dask array; for the
concatenation, Columns of one dtype, known chunks, equal chunks off the
axis, nothing empty), and leaves everything else to Dask.  A Column is
made only by the engine, over a lazy header column, so its chunks are
NumPy arrays.  The concatenation it makes
is the one dask.array.concatenate makes, key for key and under the same
name, as a plain Dask array.  Dask is imported with this module.
"""
from __future__ import annotations

import math
from bisect import bisect
from itertools import accumulate, product
from typing import Any

import dask.array as da
import numpy as np
from dask.base import tokenize
from dask.highlevelgraph import HighLevelGraph


class Column(da.Array):
    """A header coordinate's Dask array (see the module's text)."""

    __slots__ = ()

    def __array_function__(self, func: Any, types: Any, args: Any, kwargs: Any) -> Any:
        if func is np.result_type:
            made = result_type(args, kwargs)
        elif func is np.concatenate:
            made = concatenate(args, kwargs)
        else:
            made = None
        return super().__array_function__(func, types, args, kwargs) if made is None else made


def result_type(args: Any, kwargs: Any) -> np.dtype[Any] | None:
    """np.result_type of Dask arrays, from their dtypes (Dask's own rule for
    arrays); None for anything else."""
    if kwargs or not args or not all(isinstance(a, da.Array) for a in args):
        return None
    return np.result_type(*(a.dtype for a in args))


def concatenate(args: Any, kwargs: Any) -> da.Array | None:
    """np.concatenate(seq, axis) of Columns (whose chunks are NumPy arrays)
    as dask.array.concatenate makes it, when they share a dtype, their
    chunks are known and equal off the axis and none is empty; None
    otherwise (Dask's own path then decides, errors included)."""
    if len(args) == 2 and not kwargs:
        seq, axis = args
    elif len(args) == 1 and set(kwargs) <= {"axis"}:
        seq, axis = args[0], kwargs.get("axis", 0)
    else:
        return None
    if not isinstance(seq, (list, tuple)) or len(seq) < 2 or type(axis) is not int:
        return None
    first = seq[0]
    if not all(type(a) is Column for a in seq):
        return None
    ndim = first.ndim
    if not 0 <= axis < ndim:
        return None
    off = first.chunks[:axis] + first.chunks[axis + 1:]
    for a in seq:
        if a.dtype != first.dtype or a.ndim != ndim or not a.size or \
                any(math.isnan(c) for sizes in a.chunks for c in sizes) or \
                a.chunks[:axis] + a.chunks[axis + 1:] != off:
            return None
    names = [a.name for a in seq]
    name = "concatenate-" + tokenize(names, axis)
    along = [a.chunks[axis] for a in seq]
    chunks = first.chunks[:axis] + (sum(along, ()),) + first.chunks[axis + 1:]
    starts = [0, *accumulate(len(c) for c in along)]
    graph = {}
    for key in product(*(range(len(c)) for c in chunks)):
        at = key[axis]
        i = bisect(starts, at) - 1
        graph[(name, *key)] = (names[i], *key[:axis], at - starts[i], *key[axis + 1:])
    layers = HighLevelGraph.from_collections(name, graph, dependencies=seq)
    return da.Array(layers, name, chunks, meta=np.empty((0,) * ndim, first.dtype))
