"""The shortcuts taken for speed behave exactly like the general paths: a
collection built from a 2-D float32 array (rows taken in place), and a large
collection written to a file (space reserved before the write)."""
import sys

import numpy as np
import pytest

from segyfiles import collection_bytes, header
from tracebytes import header_of
from vondrel.segy import SEGY

DEFAULTS = dict(nvs=1, nhs=1, duse=2, scalel=1, scalco=1, counit=1, wevel=1, swevel=1, muts=-1, mute=-1,
                gain=1, igc=1, igi=1, corr=1, sfs=1, sfe=120, slen=10000, styp=3, stae=10000, tatyp=1,
                afils=1, nofils=1, lcs=1, hcs=1, year=1970, d1=1.0, d2=1.0, unscale=1.0)

WIDE = np.arange(60, dtype=np.float32).reshape(6, 10)


class Subclass(np.ndarray):
    pass


def unaligned(a):
    """A copy of `a` at an odd address (NumPy then exports the format as "=f")."""
    out = np.frombuffer(bytearray(a.nbytes + 1), a.dtype, count=a.size, offset=1).reshape(a.shape)
    out[...] = a
    return out


@pytest.mark.parametrize("rows", [
    WIDE,
    WIDE[::-1],
    WIDE[::2, 3:8],
    WIDE.T[:, :1],
    np.asfortranarray(WIDE),
    WIDE.astype(np.float64),
    WIDE.view(Subclass),
    [list(r) for r in WIDE[:3]],
    unaligned(WIDE),
], ids=["contiguous", "reversed", "strided-slice", "one-column", "fortran", "float64", "subclass", "lists",
        "unaligned"])
def test_every_layout_gives_the_rows_and_headers_of_the_trace_constructor(rows):
    c = SEGY(rows, 4000, fldr=7, d1=0.5, trid=True)
    traces = list(c)
    expected = np.asarray(rows, dtype=np.float32)
    assert c.n_traces == len(traces) == len(expected)
    for t, row in zip(traces, expected):
        assert np.array_equal(np.asarray(t), row)
        assert header_of(t) == header(row.shape[0], **{**DEFAULTS, "d1": 0.5}, dt=4000, fldr=7, trid=1,
                                      ntr=len(expected))
    if isinstance(rows, np.ndarray):
        in_place = rows.dtype == np.float32 and rows[0].flags.c_contiguous
        assert [np.shares_memory(np.asarray(t), r) for t, r in zip(traces, rows)] == [in_place] * len(rows)


def test_rows_taken_in_place_share_memory_both_ways():
    a = np.zeros((3, 4), dtype=np.float32)
    traces = list(SEGY(a, 4000))
    np.asarray(traces[1])[2] = 5.0
    a[2, 0] = 7.0
    assert a[1, 2] == 5.0 and memoryview(traces[2])[0] == 7.0


def test_traces_keep_the_array_alive_and_let_it_go():
    a = np.ones((5, 3), dtype=np.float32)
    before = sys.getrefcount(a)
    c = SEGY(a, 4000)
    kept = list(c)[2]
    del c
    assert sys.getrefcount(a) == before + 1            # the one trace still held
    del kept
    assert sys.getrefcount(a) == before


class Counting:
    """An integer keyword whose conversion is seen: converted once per trace."""

    def __init__(self, value):
        self.value, self.calls = value, 0

    def __int__(self):
        self.calls += 1
        return self.value


def test_keyword_values_with_conversions_of_their_own_are_converted_per_trace():
    fldr = Counting(9)
    traces = list(SEGY(np.ones((4, 2), dtype=np.float32), 4000, fldr=fldr))
    assert fldr.calls == 4
    assert all(header_of(t) == header(2, **DEFAULTS, dt=4000, fldr=9, ntr=4) for t in traces)


@pytest.mark.parametrize("rows, kwargs, error, message", [
    (np.ones((2, 3), dtype=np.float32), {"trid": "x"}, TypeError, r"^an integer is required$"),
    (np.ones((2, 3), dtype=np.float32), {"data": 1}, TypeError,
     r"^__init__\(\) got multiple values for keyword argument 'data'$"),
    (np.ones((2, 3), dtype=np.float32), {"bogus": 1}, TypeError,
     r"^__init__\(\) got an unexpected keyword argument 'bogus'$"),
    (np.ones((2, 3), dtype=np.float32), {"scalel": 40000}, OverflowError,
     r"^value too large to convert to short$"),
    (np.ones((2, 0), dtype=np.float32), {}, IndexError, r"^Out of bounds on buffer access \(axis 0\)$"),
    (np.ones((1, 70000), dtype=np.float32), {}, ValueError, r"^Trace data has more than 65535 samples\.$"),
], ids=["bad-int", "data-twice", "unknown", "short-overflow", "no-samples", "too-many-samples"])
def test_failures_leave_the_collection_as_it_was(rows, kwargs, error, message):
    kept = np.full((2, 2), 3.0, dtype=np.float32)
    c = SEGY(kept, 2000)
    before = list(c)
    with pytest.raises(error, match=message):
        c.__init__(rows, 4000, **kwargs)
    assert list(c) == before and c.n_traces == 2


def test_read_only_rows_raise_the_buffer_error():
    a = np.ones((2, 3), dtype=np.float32)
    a.flags.writeable = False
    with pytest.raises(ValueError, match=r"^buffer source array is read-only$"):
        SEGY(a, 4000)


def test_no_rows_never_checks_the_keywords():
    c = SEGY(np.ones((0, 3), dtype=np.float32), 4000, bogus="x")
    assert c.in_memory and c.n_traces == 0 and list(c) == []


@pytest.mark.parametrize("target", ["path", "open file"])
def test_large_collection_file_has_exactly_its_bytes(tmp_path, target):
    rows = np.random.default_rng(1).standard_normal((600, 500), dtype=np.float32)   # 1.3 MB
    path = tmp_path / "big.su"
    if target == "path":
        SEGY(rows, 4000).to_file(str(path))
    else:
        with open(path, "wb") as f:
            f.write(b"lead")
            SEGY(rows, 4000).to_file(f)
    lead = b"" if target == "path" else b"lead"
    expected = collection_bytes([header(500, **DEFAULTS, dt=4000, ntr=600) + r.tobytes() for r in rows])
    assert path.stat().st_size == len(lead) + len(expected)
    assert path.read_bytes() == lead + expected
