"""Survey geometry on an open file: the traces of a 3-D survey (or of any
file) placed on a grid of header-field labels, and the grid read as lines,
slices, cubes and labelled arrays.

    f = vondrel.open("cube.sgy")            # SEG-Y: iline/xline (bytes 189/193) when they form a grid
    f.dims, f.coords["iline"], f.sorting    # the keys, their sorted labels, the file's order
    f.sel(iline=12)                         # (n_xline, ns); missing traces filled with NaN
    f.depth_slice(250), f.cube(), f.to_xarray(chunks={"iline": 10})

The geometry comes from one scan of the key fields (`f.headers[[keys]]`),
never from the samples: each key's distinct values become the labels of a
dim, and `trace_index` maps every position of the grid to the trace that
holds it (-1 where none does).  Reads take the traces in file order (on
an open handle natively, each decoded straight into its place), so that
any stored order (inline- or crossline-sorted, decreasing, shuffled, with
holes) gives the same arrays, their labels increasing on every dim, at the
speed of one pass over the file.

`write_cube` is the way back: a cube and its labels as a SEG-Y or SU file.
"""
from __future__ import annotations

import itertools
import math
import os
import uuid
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np

from vondrel import _arrays, _columns, _registry
from vondrel._messages import CLOSED
from vondrel._layout import narrowing_may_round
from vondrel._optional import require
from vondrel._dataset import scaled

if TYPE_CHECKING:
    import xarray

__all__ = ["Geometry", "Grid", "Surveyed", "attach", "write_cube", "time_axis"]

# The keys that SEG-Y gives 3-D surveys (bytes 189, 193) and the key that
# separates the traces of one bin before stack (bytes 37-40).
SEGY_KEYS = ("iline", "xline")
OFFSET = "offset"
# An inferred grid holds at most this many positions per trace: keys that
# spread wider are not a survey's labels (a file whose bytes 189-196 hold
# something else), and the file opens without geometry.
INFERRED_SPREAD = 8
# A grid that dims= asks for holds at most this many positions per trace
# (plus a fixed allowance): the trace index is allocated per position.
GIVEN_SPREAD = 64
GIVEN_ALLOWANCE = 1 << 20
# Bytes of samples read per call when a selection is gathered from many
# places: enough for sequential speed, few enough to stay in the cache
# until they are placed (and to be served again by the allocator from
# memory already touched, rather than from fresh pages each time).
BLOCK_BYTES = 4 << 20


def _format_name(format: str) -> str:
    """What a format's trace header is called: SEG-Y's own, or Seismic Unix's."""
    chosen = _registry.lookup(format, _registry.ARRAYS)
    return chosen.title if chosen.file_headers else _registry.ARRAYS.title


def resolve_dims(dims: object, dtype: np.dtype[Any], format: str) -> tuple[str, ...]:
    """The header field names of `dims` (names, or 1-based byte positions
    where a field of `dtype` starts), one to three of them.  ValueError names
    a field the layout lacks or a byte where no field starts."""
    if isinstance(dims, (str, int, np.integer)):
        dims = (dims,)
    if not isinstance(dims, Sequence):
        raise TypeError(f"dims must be header field names or byte positions, not {type(dims).__name__}")
    what = _format_name(format)
    assert dtype.names is not None
    names: list[str] = []
    for d in dims:
        if isinstance(d, (bool, np.bool_)) or not isinstance(d, (str, int, np.integer)):
            raise TypeError(f"a dim is a header field name or a byte position, not {d!r}")
        if isinstance(d, str):
            if d not in dtype.names or dtype[d].kind == "V":
                raise ValueError(f"{what} trace headers have no field {d!r}")
            name = d
        else:
            at = [n for n in dtype.names if dtype.fields[n][1] == int(d) - 1 and dtype[n].kind != "V"]
            if not at:
                raise ValueError(f"no {what} trace header field starts at byte {int(d)} "
                                 "(bytes count from 1, as SEG-Y does)")
            name = at[0]
        if name in names:
            raise ValueError(f"dims names the field {name} twice")
        names.append(name)
    if not 1 <= len(names) <= 3:
        raise ValueError(f"dims takes one to three header fields, not {len(names)}")
    return tuple(names)


def _labels(column: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """(the sorted distinct values of `column`, each value's place among
    them).  Integer keys of a compact range take a lookup table, linear in
    the traces; others sort."""
    column = np.ascontiguousarray(column)
    n = len(column)
    place = _place_type(n)          # the narrowest type that counts the traces: fewer fresh pages
    if column.dtype.kind in "iu" and n:
        lo, hi = int(column.min()), int(column.max())
        span = hi - lo + 1
        if span <= 2 * n + 4096:
            if column.dtype.itemsize < place.itemsize:
                shifted = column.astype(place)
                shifted -= place.type(lo)
            else:       # the difference is below the span, whatever wraps on the way
                with np.errstate(over="ignore"):
                    shifted = (column - column.dtype.type(lo)).astype(place, copy=False)
            present = np.zeros(span, bool)
            present[shifted] = True
            places = np.cumsum(present, dtype=place)
            places -= 1
            return (np.flatnonzero(present) + lo).astype(column.dtype), places[shifted]
    values, inverse = np.unique(column, return_inverse=True)
    return values, inverse.reshape(-1).astype(place)


def _place_type(n: int) -> np.dtype:
    """int32 for places among fewer than 2**31 traces or positions, else intp."""
    return np.dtype(np.int32) if n < 2**31 - 1 else np.dtype(np.intp)


def _describe_position(dims: Sequence[str], labels: Sequence[Any]) -> str:
    return ", ".join(f"{d} {v}" for d, v in zip(dims, labels))


class Geometry:
    """Traces on a grid: `dims` (header field names), `coords` (each dim's
    sorted labels), `trace_index` (the trace at each position, -1 where
    none is) and `sorting` (the dim that varies slowest in the file, or
    None)."""

    __slots__ = ("dims", "coords", "trace_index", "sorting", "_grid")

    def __init__(self, dims: tuple[str, ...], coords: dict[str, np.ndarray], trace_index: np.ndarray,
                 sorting: str | None) -> None:
        self.dims, self.coords, self.trace_index, self.sorting = dims, coords, trace_index, sorting
        for a in (*coords.values(), trace_index):
            a.flags.writeable = False
        self._grid: Any = None     # the fitted Grid once asked for (False: none can be fitted)

    @property
    def shape(self) -> tuple[int, ...]:
        return tuple(self.trace_index.shape)

    @classmethod
    def of(cls, columns: Sequence[np.ndarray], dims: tuple[str, ...], spread: int, allowance: int) -> Geometry:
        """The geometry of traces whose keys are `columns` (one per dim).
        ValueError when two traces share a position, or when the grid would
        hold more than `spread` positions per trace plus `allowance`."""
        n = len(columns[0])
        coords, places = {}, []
        for name, column in zip(dims, columns):
            coords[name], where = _labels(column)
            places.append(where)
        shape = tuple(len(coords[d]) for d in dims)
        cells = math.prod(shape)
        if cells > spread * n + allowance:
            raise ValueError(f"the keys {', '.join(dims)} spread {n} traces over {cells} grid positions: "
                             "they do not form a grid")
        flat = places[0].astype(_place_type(cells))
        for size, where in zip(shape[1:], places[1:]):
            flat *= size
            flat += where
        index = np.full(cells, -1, np.intp)
        index[flat] = np.arange(n, dtype=flat.dtype)
        # Where two traces share a position the later one won: the earlier
        # one is the first trace that does not find itself there.
        if n and np.count_nonzero(index >= 0) < n:
            first = int(np.flatnonzero(index[flat] != np.arange(n))[0])
            other = int(index[flat[first]])
            at = [coords[d][p[first]] for d, p in zip(dims, places)]
            raise ValueError(f"traces {first} and {other} are both at {_describe_position(dims, at)}: "
                             f"the keys {', '.join(dims)} do not separate them (a further dim may)")
        return cls(dims, coords, index.reshape(shape), _sorting(dims, places))

    def positions(self, labels: Mapping[str, Any]) -> tuple[np.ndarray, tuple[str, ...]]:
        """(the trace index of the selected positions, the dims kept) for
        `labels` by dim: a label (the dim is dropped), an inclusive slice of
        labels, or a list of labels (in the order given)."""
        unknown = [k for k in labels if k not in self.dims]
        if unknown:
            raise ValueError(f"the dims are {', '.join(self.dims)}; there is no dim {unknown[0]!r}")
        picks: list[np.ndarray] = []
        kept: list[str] = []
        scalars: list[bool] = []
        for d in self.dims:
            c = self.coords[d]
            want = labels.get(d)
            if want is None:
                picks.append(np.arange(len(c)))
            elif isinstance(want, slice):
                if want.step is not None:
                    raise ValueError(f"{d}: a slice of labels takes no step")
                lo = 0 if want.start is None else int(np.searchsorted(c, want.start, "left"))
                hi = len(c) if want.stop is None else int(np.searchsorted(c, want.stop, "right"))
                picks.append(np.arange(lo, max(lo, hi)))
            else:
                values = np.asarray(want)
                if values.ndim > 1:
                    raise ValueError(f"{d}: labels are a value or a list of values, not a {values.ndim}-D array")
                places = np.searchsorted(c, values).clip(0, max(len(c) - 1, 0))
                missing = np.flatnonzero(c[places] != values) if len(c) else np.arange(values.size)
                if len(missing):
                    bad = values.reshape(-1)[missing[0]]
                    span = f" ({c[0]} .. {c[-1]})" if len(c) else ""
                    raise KeyError(f"{d} {bad} is not among the {len(c)} values of {d}{span}")
                picks.append(np.atleast_1d(places))
                if values.ndim == 0:
                    scalars.append(True)
                    continue
            kept.append(d)
            scalars.append(False)
        index = self.trace_index[np.ix_(*picks)]
        return index.reshape([len(p) for p, s in zip(picks, scalars) if not s]), tuple(kept)


def _sorting(dims: tuple[str, ...], places: list[np.ndarray]) -> str | None:
    """The dim whose label runs one way only (up or down) through the file
    and changes least often; None when no dim's does (a mixed order)."""
    best: tuple[int, str] | None = None
    for d, where in zip(dims, places):
        before, after = where[:-1], where[1:]
        if (after >= before).all() or (after <= before).all():
            changes = int(np.count_nonzero(after != before))
            if best is None or changes < best[0]:
                best = (changes, d)
    return None if best is None else best[1]


# ---- placing traces -----------------------------------------------------------------------


def _samples(f: Any, sorted_traces: np.ndarray) -> np.ndarray:
    """f's samples of the traces `sorted_traces` (increasing), as (k, ns)."""
    if len(sorted_traces) and int(sorted_traces[-1]) - int(sorted_traces[0]) + 1 == len(sorted_traces):
        return np.asarray(f.samples[int(sorted_traces[0]):int(sorted_traces[-1]) + 1])
    return np.asarray(f.samples[sorted_traces])


def read_positions(f: Any, index: np.ndarray, fill: float) -> np.ndarray:
    """The samples of the traces of `index` (any shape; -1: no trace), as
    index.shape + (ns,) float32, `fill` where there is no trace.  The traces
    are read in file order, whatever the order of `index`: on an open
    handle, natively, runs of nearby traces a read, each trace decoded
    straight into its place (two threads sharing a large read); otherwise a
    block at a time through f.samples, each block placed."""
    ns = _uniform_ns(f)
    flat = index.reshape(-1)
    shape = (*index.shape, ns)
    out = np.empty((len(flat), ns), np.float32)
    plan, fd = getattr(f, "plan", None), getattr(f, "_fd", None)
    # (values that float32 may hold inexactly go through f.samples, which says when it rounds)
    if plan is not None and fd is not None and plan.ns is not None and not narrowing_may_round(plan.sample_format):
        if f.closed:
            raise ValueError(CLOSED)
        cells = np.ascontiguousarray(flat, np.int64)
        value = 0.0
        if (cells < 0).any():
            holes = np.empty(1, np.float32)
            holes[0] = fill                 # fill as NumPy casts it into the result
            value = float(holes[0])
        try:
            _arrays._h_place(fd, plan.data_offset, plan.trace_size or 0, plan.trace_offsets, plan.n_traces, ns,
                             plan.sample_format, plan.byteorder == ">", cells, value, out)
        except OSError:
            f._live()               # a file cut short says so in the handle's words
            raise
        return out.reshape(shape)
    live = flat >= 0
    traces = flat[live]
    if len(traces) < len(flat):
        out[~live] = fill
    order = np.argsort(traces, kind="stable")
    wanted = traces[order]
    rows = np.flatnonzero(live)[order]
    per = max(1, BLOCK_BYTES // max(1, 4 * ns))
    for at in range(0, len(wanted), per):
        out[rows[at:at + per]] = _samples(f, wanted[at:at + per])
    return out.reshape(shape)


def _uniform_ns(f: Any) -> int:
    if f.ns is None:
        raise ValueError("the traces differ in ns: a line or a cube needs one ns")
    return int(f.ns)


def sample_column(f: Any, k: int) -> np.ndarray:
    """Sample k of every trace, (n,) float32.  On a handle of traces of one
    size, the native reader takes each trace as one of a single sample that
    begins k samples on, and decodes only that sample (reading through the
    small gaps between traces, as it reads runs of nearby traces);
    otherwise whole traces are read a block at a time."""
    n, ns = len(f), _uniform_ns(f)
    out = np.empty(n, np.float32)
    plan, fd = getattr(f, "plan", None), getattr(f, "_fd", None)
    if (plan is not None and fd is not None and plan.trace_size is not None
            and not narrowing_may_round(plan.sample_format)):
        if f.closed:
            raise ValueError(CLOSED)
        _arrays._h_psamples(fd, plan.data_offset + k * plan.width, plan.trace_size, None, None, n, 1,
                            plan.sample_format, plan.byteorder == ">", True, out)
        return out
    per = max(1, BLOCK_BYTES // max(1, 4 * ns))
    for at in range(0, n, per):
        out[at:at + per] = np.asarray(f.samples[at:min(n, at + per)])[:, k]
    return out


# ---- the map of the survey ------------------------------------------------------------------


class Grid(NamedTuple):
    """The bins of a survey on the map, fitted by least squares to the
    coordinates (cdpx, cdpy, scalco applied) of every trace: `origin` is
    (x, y) at the first label of each of the first two dims, `steps` the
    (dx, dy) from one label to the next of each (labels `increments` apart,
    from `first`), `spacing` their lengths, `handedness` "right" when the
    turn from the first step to the second is counter-clockwise, else
    "left", `misfit` the largest distance of a trace from its fitted
    place."""

    origin: tuple[float, float]
    steps: tuple[tuple[float, float], tuple[float, float]]
    spacing: tuple[float, float]
    handedness: str
    misfit: float
    first: tuple[float, float]
    increments: tuple[float, float]

    def xy(self, a: Any, b: Any) -> tuple[np.ndarray, np.ndarray]:
        """(x, y) of the positions with labels a (first dim) and b (second dim)."""
        u = (np.asarray(a, np.float64) - self.first[0]) / self.increments[0]
        v = (np.asarray(b, np.float64) - self.first[1]) / self.increments[1]
        (s, t) = self.steps
        return self.origin[0] + u * s[0] + v * t[0], self.origin[1] + u * s[1] + v * t[1]


def _increment(labels: np.ndarray) -> float:
    """The label change from one value of a regular dim to the next."""
    if len(labels) < 2:
        return 1.0
    step = np.diff(labels)
    if labels.dtype.kind in "iu":
        return float(np.gcd.reduce(step.astype(np.int64)))
    return float(step.min())


def fit_grid(geometry: Geometry, x: np.ndarray, y: np.ndarray) -> Grid | None:
    """The Grid of traces at map positions x, y (one per trace); None when
    there are fewer than two dims or no coordinates (all zero)."""
    if len(geometry.dims) < 2:
        return None
    where = np.nonzero(geometry.trace_index >= 0)
    traces = geometry.trace_index[where]
    x, y = np.asarray(x, np.float64)[traces], np.asarray(y, np.float64)[traces]
    if not len(traces) or not (np.any(x) or np.any(y)):
        return None
    d0, d1 = geometry.dims[:2]
    c0, c1 = geometry.coords[d0], geometry.coords[d1]
    first = (float(c0[0]), float(c1[0]))
    inc = (_increment(c0), _increment(c1))
    u = (c0[where[0]].astype(np.float64) - first[0]) / inc[0]
    v = (c1[where[1]].astype(np.float64) - first[1]) / inc[1]
    design = np.column_stack([np.ones_like(u), u, v])
    target = np.column_stack([x, y])
    solution = np.linalg.lstsq(design, target, rcond=None)[0]
    misfit = float(np.hypot(*(design @ solution - target).T).max())
    origin, s, t = (tuple(float(e) for e in row) for row in solution)
    turn = s[0] * t[1] - s[1] * t[0]
    return Grid((origin[0], origin[1]), ((s[0], s[1]), (t[0], t[1])),
                (math.hypot(*s), math.hypot(*t)), "right" if turn > 0 else "left", misfit, first, inc)


# ---- the handle's side ----------------------------------------------------------------------


def delay_summary(headers: np.ndarray) -> tuple[float, bool]:
    """(delay in milliseconds, whether every trace has it) of header rows
    or columns holding delrt (and scalt, applied where the layout has it):
    the first trace's delay when all share it, else 0."""
    if not len(headers):
        return 0.0, True
    delays = headers["delrt"]
    if "scalt" in (headers.dtype.names or ()):
        delays = scaled(delays, headers["scalt"])
    delays = np.asarray(delays, np.float64)
    common = bool((delays == delays[0]).all())
    return (float(delays[0]) if common else 0.0), common


def _columns_and_delay(f: Any, names: Sequence[str]) -> np.ndarray:
    """f.headers[names], with the delay's fields read in the same pass over
    the file: their summary over every trace is noted on f (`_delay`), so
    that the time axis of a Dataset costs no second pass over a big file."""
    layout = _registry.header_dtype(f.format).names or ()
    extra = [n for n in ("delrt", "scalt") if n in layout and n not in names]
    columns = f.headers[[*names, *extra]]
    if "delrt" in (columns.dtype.names or ()):
        f._delay = delay_summary(columns)
    return columns


def infer(f: Any) -> Geometry | None:
    """The geometry of a SEG-Y file by its standard keys: iline and xline
    when every trace has a pair of its own, with offset when pairs repeat
    and offsets separate them; None otherwise (keys all zero, repeated,
    or spread too wide for a grid) and for other formats."""
    if not _registry.get(f.format).file_headers or len(f) == 0:
        return None
    columns = _columns_and_delay(f, SEGY_KEYS)
    keys = [np.ascontiguousarray(columns[k]) for k in SEGY_KEYS]
    del columns
    if not (keys[0].any() or keys[1].any()):
        return None                  # bytes 189-196 unset: no survey keys, whatever the offsets say
    try:
        return Geometry.of(keys, SEGY_KEYS, INFERRED_SPREAD, 0)
    except ValueError:
        pass                         # pairs repeat, or spread too wide: offsets may separate them
    try:
        return Geometry.of([*keys, f.headers[OFFSET]], (*SEGY_KEYS, OFFSET), INFERRED_SPREAD, 0)
    except ValueError:
        return None


def geometry_of(f: Any, dims: object) -> Geometry | None:
    """The geometry of the open file f: inferred when `dims` is None, of
    the fields that `dims` names otherwise (ValueError when they do not
    form a grid)."""
    if dims is None:
        return infer(f)
    names = resolve_dims(dims, _registry.header_dtype(f.format), f.format)
    if len(f) == 0:
        empty = np.empty(0, _registry.header_dtype(f.format))
        return Geometry.of([empty[n] for n in names], names, 1, 1)
    columns = _columns_and_delay(f, names)
    return Geometry.of([columns[n] for n in names], names, GIVEN_SPREAD, GIVEN_ALLOWANCE)


def attach(f: Any, dims: object = None) -> None:
    """Gives the open file f its geometry: of the fields that `dims` names,
    now (closing f and re-raising when they form no grid, so that a refused
    open leaves nothing open); none for `dims=()`; inferred on first use
    when `dims` is None, so that opening stays as cheap as reading the file
    headers."""
    if dims is None:
        f._geometry = PENDING
        return
    if isinstance(dims, (tuple, list)) and not dims:
        f._geometry = None
        return
    try:
        f._geometry = geometry_of(f, dims)
    except BaseException:
        f.close()
        raise


def _unstructured(f: Any) -> Geometry:
    """The traces of f on one dim, `trace`, labelled by their index."""
    n = len(f)
    return Geometry(("trace",), {"trace": np.arange(n)}, np.arange(n, dtype=np.intp), None)


def time_axis(ns: int, dt: float, delay_ms: float = 0.0) -> np.ndarray:
    """The time of each of ns samples, in seconds: the delay (milliseconds,
    delrt with scalt applied) plus the sample interval dt (microseconds)
    times the sample's index."""
    return delay_ms / 1e3 + np.arange(ns) * (dt / 1e6)


def first_delay(f: Any) -> float:
    """The first trace's delay in milliseconds: delrt, with scalt applied
    where the layout has it (SEG-Y)."""
    if not len(f):
        return 0.0
    names = [n for n in ("delrt", "scalt") if n in (_registry.header_dtype(f.format).names or ())]
    h = f.headers[names, 0]
    return float(scaled(h["delrt"], h["scalt"] if "scalt" in names else 0))


# The geometry of a file opened without dims=, until it is first asked for.
PENDING: Any = object()


class Surveyed:
    """What an open file with geometry offers (vondrel.File inherits it)."""

    __slots__ = ("_geometry",)
    _geometry: Geometry | None

    def _geo(self) -> Geometry | None:
        """The geometry, inferred now if it was left for first use."""
        g = self._geometry
        if g is PENDING:
            g = self._geometry = infer(self)
        return g

    def _need(self) -> Geometry:
        g = self._geo()
        if g is None:
            raise ValueError("the file has no geometry: open it with dims=(...) naming the key fields")
        return g

    @property
    def dims(self) -> tuple[str, ...]:
        """The key fields of the grid, in the order of every result's axes; () without geometry."""
        g = self._geo()
        return () if g is None else g.dims

    @property
    def coords(self) -> dict[str, np.ndarray]:
        """Each dim's sorted distinct labels (read-only arrays)."""
        g = self._geo()
        return {} if g is None else dict(g.coords)

    @property
    def sorting(self) -> str | None:
        """The dim that varies slowest in the file, or None when the order is mixed."""
        g = self._geo()
        return None if g is None else g.sorting

    @property
    def trace_index(self) -> np.ndarray | None:
        """The trace at each position of the grid (int, -1 where there is none)."""
        g = self._geo()
        return None if g is None else g.trace_index

    @property
    def mask(self) -> np.ndarray | None:
        """True where the grid has a trace."""
        g = self._geo()
        return None if g is None else g.trace_index >= 0

    @property
    def grid(self) -> Grid | None:
        """The bins on the map (see Grid), fitted on first use from cdpx,
        cdpy and scalco; None without two dims or without coordinates."""
        g = self._geo()
        if g is None or len(g.dims) < 2:
            return None
        if g._grid is None:
            g._grid = False
            if _registry.get(self.format).file_headers:   # type: ignore[attr-defined]
                h = self.headers[["cdpx", "cdpy", "scalco"]]   # type: ignore[attr-defined]
                g._grid = fit_grid(g, scaled(h["cdpx"], h["scalco"]), scaled(h["cdpy"], h["scalco"])) or False
        return g._grid or None

    def sel(self, fill: float = np.nan, **labels: Any) -> np.ndarray:
        """The traces at the labels given by dim (a label drops the dim; an
        inclusive slice of labels or a list keeps it), float32 with the kept
        dims in the order of `dims` and the samples last; `fill` where the
        grid has no trace."""
        index, _ = self._need().positions(labels)
        return read_positions(self, index, fill)

    def cube(self, fill: float = np.nan) -> np.ndarray:
        """Every trace in its place: dims' shape + (ns,) float32."""
        return read_positions(self, self._need().trace_index, fill)

    def depth_slice(self, sample: int, fill: float = np.nan) -> np.ndarray:
        """Sample `sample` (an index, from 0) of every position: the grid's
        shape, float32, `fill` where there is no trace."""
        g = self._need()
        ns = _uniform_ns(self)
        k = int(sample)
        if not -ns <= k < ns:
            raise IndexError(f"sample {sample} is outside the {ns} samples of a trace")
        column = sample_column(self, k % ns)
        out = np.full(g.shape, fill, np.float32)
        live = g.trace_index >= 0
        out[live] = column[g.trace_index[live]]
        return out

    def to_xarray(self, chunks: Mapping[str, int] | None = None, fill: float = np.nan) -> xarray.Dataset:
        """The file as an xarray Dataset: `samples` on the dims and `time`
        (seconds, delrt and scalt applied), the dims' labels and every other
        header field as coordinates of the grid (NaN, or 0 for integer
        fields, where the grid has no trace).  Without geometry the dim is
        `trace`.  With `chunks` (a dict by dim name, -1 for whole; dims not
        named are whole) the samples are a Dask array whose chunks read only
        the traces they cover."""
        return dataset(self, self._geo() or _unstructured(self), chunks, fill)


# ---- labelled arrays ------------------------------------------------------------------------


def _read_block(f: Any, index: np.ndarray, samples: slice, fill: float) -> np.ndarray:
    """One chunk of the lazy samples (a task)."""
    return read_positions(f, index, fill)[..., samples]


def lazy_samples(f: Any, geometry: Geometry, chunks: Mapping[str, int], fill: float) -> Any:
    """The samples of every position as a Dask array of `chunks` (by dim
    name, and `time`): one task per chunk, reading the traces it covers."""
    da = require("dask.array", "to_xarray(chunks=...)")
    names = (*geometry.dims, "time")
    unknown = [k for k in chunks if k not in names]
    if unknown:
        raise ValueError(f"chunks names {unknown[0]!r}; the dims are {', '.join(names)}")
    shape = (*geometry.shape, _uniform_ns(f))
    normal = da.core.normalize_chunks(tuple(chunks.get(k, -1) for k in names), shape, dtype=np.float32)
    name = f"vondrel-cube-{uuid.uuid4().hex}"
    source = f"vondrel-file-{uuid.uuid4().hex}"
    graph: dict[Any, Any] = {source: f}
    bounds = [np.cumsum((0, *sizes)) for sizes in normal]
    for block in itertools.product(*(range(len(sizes)) for sizes in normal)):
        cut = tuple(slice(int(b[i]), int(b[i + 1])) for b, i in zip(bounds, block))
        graph[(name, *block)] = (_read_block, source, np.array(geometry.trace_index[cut[:-1]]), cut[-1], fill)
    return da.Array(graph, name, chunks=normal, dtype=np.float32,
                    meta=np.empty((0,) * len(shape), np.float32))


def dataset(f: Any, geometry: Geometry, chunks: Mapping[str, int] | None, fill: float) -> xarray.Dataset:
    xr = require("xarray", "to_xarray")
    dims = geometry.dims
    ns = _uniform_ns(f)
    index = geometry.trace_index
    live = index >= 0
    rows = index[live]
    headers = f.headers[:] if len(f) else np.empty(0, _registry.header_dtype(f.format))
    coords: dict[str, Any] = {d: (d, np.asarray(geometry.coords[d])) for d in dims}
    for name in _columns.fields(headers.dtype):
        column = headers[name]
        if name in dims or column.dtype.kind == "V":
            continue
        values = np.full(geometry.shape, np.nan if column.dtype.kind == "f" else 0, column.dtype)
        values[live] = column[rows]
        coords[name] = (dims, values)
    delay, common = delay_summary(headers[rows])
    coords["time"] = ("time", time_axis(ns, float(f.dt or 0), delay),
                      {"units": "s", "long_name": "time" if common else "time from trace start"})
    if chunks is None:
        samples: Any = read_positions(f, index, fill)
    else:
        samples = lazy_samples(f, geometry, chunks, fill)
    ds: xarray.Dataset = xr.Dataset({"samples": ((*dims, "time"), samples)}, coords=coords,
                                    attrs={"dt": f.dt, "format": f.format, "byteorder": f.byteorder})
    return ds


# ---- writing a cube -------------------------------------------------------------------------


def _scalco_for(values: np.ndarray) -> int:
    """The coordinate scalar that keeps centimetres (or what fits in 32 bits)."""
    top = float(np.abs(values).max()) if values.size else 0.0
    for divisor in (100, 10):
        if top * divisor < 2**31 - 1:
            return -divisor
    return 1


def write_cube(path: str | os.PathLike[str], cube: Any, coords: Mapping[Any, Any], *, dt: int,
               text: str | bytes | None = None, format: str = "segy", grid: Grid | None = None,
               mask: Any = None, byteorder: str | None = None, sample_format: int | None = None) -> None:
    """Writes `cube` (one axis per key, then the samples) as a SEG-Y or SU
    file: one trace per position in C order (the first key slowest), the
    keys in their header fields (`coords` maps each field, by name or byte
    position, to its labels, in the cube's axis order), tracl and tracr
    numbered from 1, `dt` (microseconds) in every trace header and, for
    SEG-Y, the binary header.  `grid` writes cdpx, cdpy and scalco (SEG-Y);
    `mask` (the cube's grid shape) leaves out the positions where it is
    False.  `text`, `byteorder` and `sample_format` go to vondrel.write."""
    import vondrel

    # A cube is written in a format without a trace count up front.
    takes = [f.name for f in _registry.FORMATS if not f.counted]
    if format not in takes:
        raise ValueError(f"format must be {' or '.join(map(repr, takes))}, not {format!r}")
    chosen = _registry.get(format)
    dtype = chosen.header_dtype()
    keys = resolve_dims(tuple(coords), dtype, format)
    labels = [np.asarray(v).reshape(-1) for v in coords.values()]
    cube = np.asarray(cube, np.float32)
    if cube.ndim != len(keys) + 1:
        raise ValueError(f"a cube of {len(keys)} keys has {len(keys) + 1} axes, not {cube.ndim}")
    for k, v, size in zip(keys, labels, cube.shape):
        if len(v) != size:
            raise ValueError(f"{len(v)} labels of {k} for an axis of {size}")
    if not 0 < int(dt) < 65536:
        raise ValueError(f"dt must be from 1 to 65535 microseconds, not {dt}")
    if grid is not None and not {"cdpx", "cdpy"} <= set(dtype.names):
        headed = next(f for f in _registry.FORMATS if {"cdpx", "cdpy"} <= set(f.header_dtype().names))
        raise ValueError(f"an {chosen.title} trace header has no cdpx and cdpy: grid= is for {headed.title}")
    shape = cube.shape[:-1]
    places = [p.reshape(-1) for p in np.meshgrid(*labels, indexing="ij")]
    rows = cube.reshape(-1, cube.shape[-1])
    if mask is not None:
        keep = np.asarray(mask, bool)
        if keep.shape != shape:
            raise ValueError(f"mask has shape {keep.shape}, the cube's grid {shape}")
        keep = keep.reshape(-1)
        places, rows = [p[keep] for p in places], rows[keep]
    n = len(rows)
    columns: dict[str, Any] = dict(zip(keys, places))
    columns["tracl"] = columns["tracr"] = np.arange(1, n + 1)
    columns["dt"] = np.full(n, dt)
    if grid is not None:
        x, y = grid.xy(places[0], places[1])
        scalar = _scalco_for(np.concatenate([x, y]))
        factor = -scalar if scalar < 0 else 1
        columns.update(cdpx=np.rint(x * factor), cdpy=np.rint(y * factor), scalco=np.full(n, scalar))
    headers = _columns.records(columns, n, dtype)
    headers["ns"] = cube.shape[-1]
    options: dict[str, Any] = {"format": format, "byteorder": byteorder}
    if text is not None:
        options["text"] = text
    if sample_format is not None:
        options["sample_format"] = sample_format
    vondrel.write(path, (headers, np.ascontiguousarray(rows)), **options)
