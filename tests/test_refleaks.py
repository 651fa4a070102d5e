"""Every public operation, success and failure, repeated: reference totals,
memory blocks and descriptors stay flat.  Needs the debug interpreter
(./dev test --debug), which counts references as it runs."""
import gc
import io
import os
import struct
import sys

import numpy as np
import pytest
from segyfiles import collection_bytes, trace_bytes
from conftest import open_fds

import vondrel
import vondrel.segy
from vondrel.segy import SEGY, BaseTraceIterator, SEGYTrace, _FileTraceIterator, _MemoryTraceIterator

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"),
                                reason="needs a debug interpreter (./dev test --debug)")

ROWS = np.arange(12, dtype=np.float32).reshape(3, 4)
GOOD = collection_bytes([[1, 2, 3], [4, 5], [6, 7, 8, 9]])
SHORT = collection_bytes([[1, 2, 3]], count=3)
CUT = GOOD[:-6]
ZERO_NS = collection_bytes([b"".join([trace_bytes([1.0])[:114], b"\0\0", trace_bytes([1.0])[116:240]])])
# Long-lived objects that a stray reference would pin.
WATCHED = [None, True, False, SEGY, SEGYTrace, BaseTraceIterator, _FileTraceIterator,
           _MemoryTraceIterator, io, os, np, vondrel.segy, vondrel.segy.nullcontext, ROWS, StopIteration]


def swallow(fn, *errors):
    def run(ctx):
        try:
            fn(ctx)
        except errors:
            pass
    return run


def it_kwargs(ctx):
    SEGYTrace(ROWS[0], 4000, fldr=1, cdp=2, d1=0.5, ntr=9)


def stream_path(ctx):
    for t in SEGY.from_file(ctx["good"]):
        memoryview(t)


def stream_file(ctx):
    with open(ctx["good"], "rb") as f:
        for t in SEGY.from_file(f):
            np.asarray(t)


def to_file_stream(ctx):
    with open(ctx["out"], "wb") as f:
        SEGY(ROWS, 1).to_file(f)


OPERATIONS = {
    "trace": lambda ctx: SEGYTrace(ROWS[0], 4000),
    "trace keywords": it_kwargs,
    "trace from list": lambda ctx: SEGYTrace([1.0, 2.0], 1),
    "trace init again": lambda ctx: SEGYTrace(ROWS[0], 1).__init__(ROWS[1], 2),
    "collection": lambda ctx: SEGY(ROWS, 4000, fldr=3),
    "iterate on disk, path": stream_path,
    "iterate on disk, file": stream_file,
    "iterate in memory": lambda ctx: list(SEGY(ROWS, 1)),
    "abandon file iterator": lambda ctx: next(iter(SEGY.from_file(ctx["good"]))),
    "dealoc": lambda ctx: _FileTraceIterator(ctx["good"], 3).__dealoc__(),
    "memory iterator to_memory": lambda ctx: _MemoryTraceIterator(list(SEGY(ROWS, 1))).to_memory(),
    "to_memory": lambda ctx: SEGY.from_file(ctx["good"]).to_memory(),
    "to_file path": lambda ctx: SEGY(ROWS, 1).to_file(ctx["out"]),
    "to_file stream": to_file_stream,
    "to_file from iterator": lambda ctx: _FileTraceIterator(ctx["good"], 3).to_file(ctx["out"]),
    "to_stream bytes": lambda ctx: SEGY(ROWS, 1).to_stream(io.BytesIO()),
    "to_stream path": lambda ctx: SEGY.from_file(ctx["good"]).to_stream(ctx["out"]),
    "bad keyword": swallow(lambda ctx: SEGYTrace(ROWS[0], 1, bogus=1), TypeError),
    "overflow": swallow(lambda ctx: SEGYTrace(ROWS[0], 1, scalel=2**20), OverflowError),
    "bad dimensions": swallow(lambda ctx: SEGYTrace(ROWS, 1), ValueError),
    "empty samples": swallow(lambda ctx: SEGYTrace([], 1), IndexError),
    "too many samples": swallow(lambda ctx: SEGYTrace(np.zeros(70000, np.float32), 1), ValueError),
    "collection ntr twice": swallow(lambda ctx: SEGY(ROWS, 1, ntr=2), TypeError),
    "no record": swallow(lambda ctx: memoryview(SEGYTrace.__new__(SEGYTrace)), ValueError),
    "short file": swallow(lambda ctx: list(SEGY.from_file(ctx["short"])), OSError),
    "cut samples": swallow(lambda ctx: SEGY.from_file(ctx["cut"]).to_memory(), OSError),
    "zero samples": swallow(lambda ctx: list(SEGY.from_file(ctx["zero"])), ValueError),
    "missing file": swallow(lambda ctx: SEGY.from_file(ctx["good"] + ".missing"), OSError),
    "huge count": swallow(lambda ctx: SEGY.from_file(io.BytesIO(struct.pack("<I", 2**31))), OverflowError),
    "no mode": swallow(lambda ctx: SEGY.__new__(SEGY).to_memory(), TypeError),
    "not a trace": swallow(lambda ctx: _MemoryTraceIterator([1]), TypeError),
    "full disk": swallow(lambda ctx: SEGY(ROWS, 1).to_file("/dev/full"), OSError),
    "full stream": swallow(lambda ctx: SEGY(ROWS, 1).to_stream("/dev/full"), OSError),
    "base step": swallow(lambda ctx: BaseTraceIterator().to_memory(), NotImplementedError),
    "pickle": swallow(lambda ctx: SEGY(ROWS, 1).__reduce__(), TypeError),
    "arrays read": lambda ctx: vondrel.read(ctx["good"]),
    "arrays read stream": lambda ctx: vondrel.read(io.BytesIO(GOOD), format="collection"),
    "arrays read cut": swallow(lambda ctx: vondrel.read(ctx["cut"]), ValueError),
    "arrays headers only": lambda ctx: vondrel.read(ctx["good"], samples=False, traces=slice(1, 3)),
    "arrays write": lambda ctx: vondrel.write(ctx["out"], vondrel.read(ctx["good"]), byteorder=">"),
    "arrays write stream": lambda ctx: vondrel.write(io.BytesIO(), vondrel.read(ctx["good"])),
    "arrays full disk": swallow(lambda ctx: vondrel.write("/dev/full", (np.zeros(1, vondrel.header_dtype()), ROWS[:1])),
                                OSError),
    "arrays header view": lambda ctx: vondrel.header(SEGYTrace(ROWS[0], 1))["tracl"],
    "arrays to and from collection": lambda ctx: vondrel.from_collection(vondrel.read(ctx["good"]).to_collection()),
}


NUMPY_MAKES_OBJECTS = {"trace from list", "iterate on disk, file", "empty samples"} | {
    name for name in OPERATIONS if name.startswith("arrays")}


@pytest.fixture(scope="module")
def ctx(tmp_path_factory):
    d = tmp_path_factory.mktemp("refleaks")
    files = {"good": GOOD, "short": SHORT, "cut": CUT, "zero": ZERO_NS}
    for name, data in files.items():
        (d / name).write_bytes(data)
    return {name: str(d / name) for name in files} | {"out": str(d / "out.su")}


def snapshot():
    gc.collect()
    return (sys.gettotalrefcount(), sys.getallocatedblocks(), open_fds(),
            [sys.getrefcount(o) for o in WATCHED])


@pytest.mark.parametrize("name", OPERATIONS)
def test_repeating_an_operation_leaks_nothing(name, ctx):
    op = OPERATIONS[name]
    for _ in range(50):            # warm caches, interned strings, free lists
        op(ctx)
    before = snapshot()
    for _ in range(300):
        op(ctx)
    after = snapshot()
    refs, blocks, fds, watched = (a - b if not isinstance(a, list) else [x - y for x, y in zip(a, b)]
                                  for a, b in zip(after, before))
    assert fds == 0
    assert watched == [0] * len(WATCHED)
    # A leak of one object or reference per call shows as 300 at least;
    # less is the noise of caches and exceptions' lifetimes.
    # NumPy keeps a cache of small freed buffers, whose fill varies between
    # snapshots by up to ~200 blocks where a call makes several arrays.
    assert blocks < (250 if name.startswith("arrays") else 150)
    # NumPy is built without reference debugging: references it takes and
    # the interpreter drops make the total drift down, and objects it makes
    # and destroys itself make it drift up, so the total is only telling
    # where NumPy makes no objects.
    if name not in NUMPY_MAKES_OBJECTS:
        assert refs < 150
