"""The header layouts: the 240-byte trace header (Seismic Unix's and
SEG-Y's), the SEG-Y binary file header and its sample formats, as NumPy
dtypes; byte orders; header rows in any form as bytes; samples narrowed to
float32.  A leaf: it imports nothing of the package but the native byte
work and the texts."""
from __future__ import annotations

import functools
import os
import sys
import textwrap
import warnings
from typing import Any

import numpy as np

from vondrel import _arrays
from vondrel._messages import ROUNDED

HEADER_SIZE = 240
NATIVE = "<" if sys.byteorder == "little" else ">"
ORDER_NAMES = {"<": "little-endian", ">": "big-endian"}

# The header fields in file order, with their NumPy kinds; `unass` is the
# unassigned tail, carried as raw bytes.
FIELDS = (
    *[(n, "i4") for n in ("tracl", "tracr", "fldr", "tracf", "ep", "cdp", "cdpt")],
    *[(n, "i2") for n in ("trid", "nvs", "nhs", "duse")],
    *[(n, "i4") for n in ("offset", "gelev", "selev", "sdepth", "gdel", "sdel", "swdep", "gwdep")],
    *[(n, "i2") for n in ("scalel", "scalco")],
    *[(n, "i4") for n in ("sx", "sy", "gx", "gy")],
    *[(n, "i2") for n in ("counit", "wevel", "swevel", "sut", "gut", "sstat", "gstat", "tstat",
                          "laga", "lagb", "delrt", "muts", "mute")],
    ("ns", "u2"), ("dt", "u2"),
    *[(n, "i2") for n in ("gain", "igc", "igi", "corr", "sfs", "sfe", "slen", "styp", "stas", "stae",
                          "tatyp", "afilf", "afils", "nofilf", "nofils", "lcf", "hcf", "lcs", "hcs",
                          "year", "day", "hour", "minute", "sec", "timbas", "trwf", "grnors", "grnofr",
                          "grnlof", "gaps", "otrav")],
    *[(n, "f4") for n in ("d1", "f1", "d2", "f2", "ungpow", "unscale")],
    ("ntr", "i4"), ("mark", "i2"), ("shortpad", "i2"),
    ("unass", "V28"),
)
OFFSETS = {}
_at = 0
for _name, _kind in FIELDS:
    OFFSETS[_name] = _at
    _at += np.dtype(_kind).itemsize
assert _at == HEADER_SIZE and OFFSETS["ns"] == 114 and OFFSETS["ntr"] == 204
del _at, _name, _kind


def order(byteorder: str | None, default: str | None = None) -> str | None:
    """"<" or ">" for a byte order argument ("=" is this machine's), or the default for None."""
    if byteorder is None:
        return default
    if byteorder == "=":
        return NATIVE
    if byteorder in ("<", ">"):
        return byteorder
    raise ValueError(f"byteorder must be '<', '>' or '=', not {byteorder!r}")


def check_sample_format(code: Any) -> int:
    """`code` when it is a SEG-Y sample format code this package reads;
    ValueError naming the codes otherwise."""
    if code not in SAMPLE_FORMATS:
        raise ValueError(f"sample_format must be one of {sorted(SAMPLE_FORMATS)}, not {code!r}")
    return int(code)


@functools.cache
def _dtype(order: str, names: tuple[tuple[str, str], ...]) -> np.dtype:
    return np.dtype({"names": [n for n, _ in names],
                     "formats": [k if k.startswith("V") else order + k for _, k in names],
                     "offsets": [OFFSETS[n] for n, _ in names], "itemsize": HEADER_SIZE})


def header_dtype(byteorder: str = "=") -> np.dtype:
    """The 240-byte trace header as a structured dtype: every field by its
    name at its byte offset, in the given byte order, and the 28 unassigned
    bytes as `unass`."""
    return _dtype(order(byteorder), FIELDS)


# What vondrel.header() shows: everything but ns, which only the samples set.
_VIEW_FIELDS = tuple(f for f in FIELDS if f[0] != "ns")


def header(trace: object) -> np.ndarray:
    """A writable 0-d structured array over the header of one SEGYTrace:
    assigning a field changes the trace itself.  The view holds an export of
    the trace, so trace and record live as long as it does.  Bytes 114-115
    (ns) have no name: the samples decide it (read trace.ns)."""
    return np.ndarray((), dtype=_dtype(NATIVE, _VIEW_FIELDS), buffer=_arrays.header_bytes(trace))


def header_rows(headers: object) -> tuple[np.ndarray, bool]:
    """Header rows in any form the package hands out, as (n, 240) native-order
    bytes (a view where they already are, else a copy), and whether they are
    SEG-Y rows (bytes 181-240 the SEG-Y fields: a dtype with `cdpx`) rather
    than Seismic Unix ones.  Takes structured rows with the fields of either
    header in any order and layout (rows of header_dtype() in either byte
    order, the views of header(), whose unnamed ns comes back 0, SEG-Y rows,
    the packed rows NumPy makes of a list of them, 0-d arrays, np.void),
    copied field by field, and unnamed 240-byte rows, taken as they are as
    Seismic Unix rows."""
    a = np.asarray(headers)
    if a.ndim > 1:
        raise ValueError(f"header rows must be 1-D, not {a.ndim}-D")
    a = a.reshape(-1)
    names = a.dtype.names
    segy = bool(names) and "cdpx" in names
    if names:
        full = trace_header_dtype() if segy else header_dtype()
        if a.dtype != full:
            out = np.zeros(len(a), full)
            for name in names:
                if name not in full.names:
                    raise ValueError(f"{name!r} is no field of a {'SEG-Y' if segy else 'Seismic Unix'} trace header")
                out[name] = a[name]
            a = out
    elif a.dtype.itemsize != HEADER_SIZE:
        raise ValueError(f"a trace header is {HEADER_SIZE} bytes, not {a.dtype.itemsize}")
    return np.ascontiguousarray(a).view(np.uint8).reshape(len(a), HEADER_SIZE), segy



TEXT_SIZE = 3200
BINARY_SIZE = 400
HEAD_SIZE = TEXT_SIZE + BINARY_SIZE
TRACE_HEADER_SIZE = HEADER_SIZE
BYTEORDER_CONSTANT = 0x01020304

# format code -> (bytes per sample, stored NumPy type)
SAMPLE_FORMATS = {
    1: (4, "f4"), 2: (4, "i4"), 3: (2, "i2"), 5: (4, "f4"), 6: (8, "f8"), 7: (3, "i4"), 8: (1, "i1"),
    9: (8, "i8"), 10: (4, "u4"), 11: (2, "u2"), 12: (8, "u8"), 15: (3, "u4"), 16: (1, "u1"),
}


def narrowing_may_round(code: int | None) -> bool:
    """Whether float32 may hold a value of sample format `code` inexactly:
    32- and 64-bit integers, 64-bit floats."""
    width, stored = SAMPLE_FORMATS.get(code, (0, ""))
    return width >= 4 and stored in ("i4", "u4", "i8", "u8", "f8")


def narrowed(values: np.ndarray) -> tuple[np.ndarray, bool]:
    """`values` (a format's stored type) as float32, and whether narrowing
    rounded any of them (NaNs aside): beyond float32's range they become
    infinities, as the native decode makes them."""
    with np.errstate(over="ignore"):
        flat = values.astype(np.float32)
    if values.dtype.kind == "f":
        return flat, not np.array_equal(flat, values, equal_nan=True)
    info = np.iinfo(values.dtype)
    wide = flat.astype(np.float64)                  # exact: float32 integers from 2**24 up
    inside = (wide >= info.min) & (wide < float(info.max) + 1)
    back = np.where(inside, wide, 0).astype(values.dtype)
    return flat, bool(not inside.all() or (back != values).any())


_PACKAGE = os.path.dirname(os.path.abspath(__file__))


def warn_rounded(name: str, code: int) -> None:
    """vondrel.PrecisionWarning, at the caller's line outside the package:
    samples of `name` in format `code` were rounded to float32."""
    warnings.warn(ROUNDED.format(name=name, code=code), _arrays.PrecisionWarning, skip_file_prefixes=(_PACKAGE,))


# Codes that a file may carry and that are refused by name when read.
REFUSED_FORMATS = {4: "fixed point with gain (format 4)"}
# What each format stores, for messages.
FORMAT_NAMES = {
    1: "IBM float", 2: "32-bit integer", 3: "16-bit integer", 5: "IEEE float", 6: "IEEE double",
    7: "24-bit integer", 8: "8-bit integer", 9: "64-bit integer", 10: "unsigned 32-bit integer",
    11: "unsigned 16-bit integer", 12: "unsigned 64-bit integer", 15: "unsigned 24-bit integer",
    16: "unsigned 8-bit integer",
}
# The format that keeps each stored type when writing without sample_format=.
FORMAT_OF_TYPE = {"f4": 5, "i4": 2, "i2": 3, "f8": 6, "i1": 8, "i8": 9, "u4": 10, "u2": 11, "u8": 12, "u1": 16}

BINARY_FIELDS = [
    ("jobid", "i4", 0), ("lino", "i4", 4), ("reno", "i4", 8), ("ntrpr", "i2", 12), ("nart", "i2", 14),
    ("hdt", "u2", 16), ("dto", "u2", 18), ("hns", "u2", 20), ("nso", "u2", 22), ("format", "i2", 24),
    ("fold", "i2", 26), ("tsort", "i2", 28), ("vscode", "i2", 30), ("hsfs", "i2", 32), ("hsfe", "i2", 34),
    ("hslen", "i2", 36), ("hstyp", "i2", 38), ("schn", "i2", 40), ("hstas", "i2", 42), ("hstae", "i2", 44),
    ("htatyp", "i2", 46), ("hcorr", "i2", 48), ("bgrcv", "i2", 50), ("rcvm", "i2", 52), ("mfeet", "i2", 54),
    ("polyt", "i2", 56), ("vpol", "i2", 58),
    # revision 2
    ("xntrpr", "i4", 60), ("xnart", "i4", 64), ("xhns", "i4", 68), ("xhdt", "f8", 72), ("xdto", "f8", 80),
    ("xnso", "i4", 88), ("xfold", "i4", 92), ("bytord", "i4", 96), ("hunass", "V200", 100),
    ("rev", "u1", 300), ("revmin", "u1", 301), ("trflag", "i2", 302), ("nvstxt", "i2", 304),
    ("maxtrh", "i2", 306), ("survty", "i2", 308), ("tbasis", "i2", 310), ("ntrfile", "u8", 312),
    ("trstart", "u8", 320), ("ntrailer", "i4", 328), ("hunass2", "V68", 332),
]

# Bytes 181-240 of the SEG-Y trace header (revision 1).
_TRACE_FIELDS = [
    ("cdpx", "i4", 180), ("cdpy", "i4", 184), ("iline", "i4", 188), ("xline", "i4", 192), ("sp", "i4", 196),
    ("scalsp", "i2", 200), ("trunit", "i2", 202), ("tdcm", "i4", 204), ("tdcp", "i2", 208),
    ("tdunit", "i2", 210), ("devid", "i2", 212), ("scalt", "i2", 214), ("stype", "i2", 216),
    ("sedv", "i2", 218), ("sedxl", "i2", 220), ("sedil", "i2", 222), ("smeas", "i4", 224),
    ("smeasp", "i2", 228), ("smunit", "i2", 230), ("segyunass", "V8", 232),
]


def _segy_dtype(fields: list[tuple[str, str, int]], byteorder: str, size: int) -> np.dtype:
    order = NATIVE if byteorder == "=" else byteorder
    return np.dtype({
        "names": [f[0] for f in fields],
        "formats": [f[1] if f[1].startswith("V") else order + f[1] for f in fields],
        "offsets": [f[2] for f in fields],
        "itemsize": size,
    })


def binary_dtype(byteorder: str = "=") -> np.dtype:
    """The 400-byte binary file header (file positions 3201-3600) as a NumPy dtype."""
    return _segy_dtype(BINARY_FIELDS, byteorder, BINARY_SIZE)


def trace_header_dtype(byteorder: str = "=") -> np.dtype:
    """The 240-byte SEG-Y trace header: bytes 1-180 under the Seismic Unix
    names, then the revision 1 fields."""
    su = header_dtype(byteorder)
    shared = [(name, su.fields[name][0].str[1:], su.fields[name][1])
              for name in su.names if su.fields[name][1] < 180]
    return _segy_dtype(shared + _TRACE_FIELDS, byteorder, TRACE_HEADER_SIZE)


def swapped(array: np.ndarray, byteorder: str) -> np.ndarray:
    """The array in native order, swapped bit for bit (never through values,
    so that any byte pattern survives)."""
    if byteorder == NATIVE:
        return array.copy()
    return array.byteswap().view(array.dtype.newbyteorder("="))


def in_order(array: np.ndarray, byteorder: str) -> bytes:
    """A native-order array as bytes in `byteorder`."""
    if byteorder == NATIVE:
        return array.tobytes()
    return array.byteswap().tobytes()



SAMPLE_FORMAT_NAMES = {
    1: "IBM float", 2: "int32", 3: "int16", 5: "IEEE float32", 6: "IEEE float64", 7: "int24", 8: "int8",
    9: "int64", 10: "uint32", 11: "uint16", 12: "uint64", 15: "uint24", 16: "uint8",
}


class BinaryHeader(np.ndarray[Any, np.dtype[Any]]):
    """A SEG-Y binary file header: a 0-d structured array in native order,
    every field by its name (`binary["hdt"]`, a 0-d array), whose repr and
    str name each field with its value (the unassigned bytes left out)."""

    def __getitem__(self, key: Any) -> Any:
        got = super().__getitem__(key)
        # A field is a plain array: only the header itself prints as one.
        return got.view(np.ndarray) if isinstance(got, np.ndarray) and got.dtype.names is None else got

    def __repr__(self) -> str:
        if self.dtype.names is None or self.shape != ():
            return repr(self.view(np.ndarray))
        fields = [f"{name}={self[name].item()!r}" for name in self.dtype.names
                  if self.dtype[name].kind != "V"]
        return textwrap.fill(", ".join(fields), 100, initial_indent="BinaryHeader(",
                             subsequent_indent=" " * len("BinaryHeader(")) + ")"

    __str__ = __repr__



def byte_rows(a: np.ndarray) -> np.ndarray:
    """A contiguous structured array's rows as (n, 240) bytes, a view."""
    return a.view(np.uint8).reshape(len(a), HEADER_SIZE)



def take(headers: np.ndarray, flat: np.ndarray | None, offsets: np.ndarray,
          rows: slice | np.ndarray) -> tuple[np.ndarray, np.ndarray | None, np.ndarray]:
    """(headers, flat, offsets) of the traces of `rows` (a slice or
    indexes, in any order), copied, of traces held as header rows, samples
    back to back and their boundaries."""
    idx = np.arange(len(headers))[rows]
    new_offsets = np.zeros(len(idx) + 1, dtype=np.int64)
    np.cumsum(np.diff(offsets)[idx], out=new_offsets[1:])
    if flat is not None:
        flat = np.concatenate([flat[offsets[i]:offsets[i + 1]] for i in idx.tolist()]) if len(idx) \
            else flat[:0].copy()
    return headers[idx], flat, new_offsets



def flat_of(samples: object, dtype: type | None) -> tuple[np.ndarray, np.ndarray]:
    """(samples back to back, the n + 1 boundaries) of a 2-D array or a list
    of 1-D arrays, converted to `dtype` (None: their own type)."""
    if isinstance(samples, (list, tuple)):
        rows = [np.asarray(s, dtype=dtype).reshape(-1) for s in samples]
        flat = np.concatenate(rows) if rows else np.empty(0, dtype or np.float32)
        lengths = [len(s) for s in rows]
    else:
        samples = np.asarray(samples, dtype=dtype)
        if samples.ndim != 2:
            raise ValueError(f"samples must be 2-D (traces, ns) or a list of 1-D arrays, not {samples.ndim}-D")
        flat = samples.reshape(-1)
        lengths = [samples.shape[1]] * samples.shape[0]
    offsets = np.zeros(len(lengths) + 1, dtype=np.int64)
    np.cumsum(lengths, out=offsets[1:])
    return flat, offsets


