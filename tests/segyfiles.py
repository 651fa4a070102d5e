"""Trace and collection bytes built with struct and NumPy, independently of
the module under test."""
import struct

import numpy as np

# (name, struct code) in header order; the unassigned area follows at 212.
HEADER_FIELDS = [
    *[(n, "i") for n in ("tracl", "tracr", "fldr", "tracf", "ep", "cdp", "cdpt")],
    *[(n, "h") for n in ("trid", "nvs", "nhs", "duse")],
    *[(n, "i") for n in ("offset", "gelev", "selev", "sdepth", "gdel", "sdel", "swdep", "gwdep")],
    *[(n, "h") for n in ("scalel", "scalco")],
    *[(n, "i") for n in ("sx", "sy", "gx", "gy")],
    *[(n, "h") for n in ("counit", "wevel", "swevel", "sut", "gut", "sstat", "gstat", "tstat",
                         "laga", "lagb", "delrt", "muts", "mute")],
    ("ns", "H"), ("dt", "H"),
    *[(n, "h") for n in ("gain", "igc", "igi", "corr", "sfs", "sfe", "slen", "styp", "stas", "stae",
                         "tatyp", "afilf", "afils", "nofilf", "nofils", "lcf", "hcf", "lcs", "hcs",
                         "year", "day", "hour", "minute", "sec", "timbas", "trwf", "grnors", "grnofr",
                         "grnlof", "gaps", "otrav")],
    *[(n, "f") for n in ("d1", "f1", "d2", "f2", "ungpow", "unscale")],
    ("ntr", "i"), ("mark", "h"), ("shortpad", "h"),
]
HEADER_FORMAT = "<" + "".join(code for _, code in HEADER_FIELDS) + "28s"
assert struct.calcsize(HEADER_FORMAT) == 240

OFFSETS = {}
_pos = 0
for _name, _code in HEADER_FIELDS:
    OFFSETS[_name] = (_pos, _code)
    _pos += struct.calcsize(_code)
assert OFFSETS["ns"] == (114, "H") and OFFSETS["ntr"] == (204, "i")


def header(ns, unassigned=b"", **fields):
    """A 240-byte little-endian header with `ns`, the given fields, zeros elsewhere."""
    values = {name: 0 for name, _ in HEADER_FIELDS}
    values.update(fields, ns=ns)
    return struct.pack(HEADER_FORMAT, *(values[n] for n, _ in HEADER_FIELDS), unassigned.ljust(28, b"\0"))


def parse_header(raw):
    """The named fields of a 240-byte header, plus 'unassigned'."""
    *values, unassigned = struct.unpack(HEADER_FORMAT, raw[:240])
    return dict(zip((n for n, _ in HEADER_FIELDS), values), unassigned=unassigned)


def trace_bytes(samples, **fields):
    """One trace on a stream: its header (ns = len(samples)) and float32 samples."""
    data = np.asarray(samples, dtype="<f4")
    return header(len(data), **fields) + data.tobytes()


def collection_bytes(traces, count=None):
    """A collection file: the count (default: the number of traces), then the traces.

    `traces` holds sample sequences or ready trace bytes."""
    body = b"".join(t if isinstance(t, bytes) else trace_bytes(t) for t in traces)
    return struct.pack("<i" if count is None or count < 2**31 else "<I",
                       len(traces) if count is None else count) + body


def write_collection(directory, traces, count=None, name="traces.su"):
    path = directory / name
    path.write_bytes(collection_bytes(traces, count))
    return path


def parse_collection(raw):
    """(count, [(header dict, float32 samples)]) of collection bytes, read with NumPy."""
    count = struct.unpack_from("<I", raw)[0]
    pos, traces = 4, []
    while pos < len(raw):
        h = parse_header(raw[pos:pos + 240])
        samples = np.frombuffer(raw, dtype="<f4", count=h["ns"], offset=pos + 240)
        traces.append((h, samples))
        pos += 240 + 4 * h["ns"]
    return count, traces
