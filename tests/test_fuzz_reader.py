"""The reader against mutated collection files: truncations at every
boundary, random sample counts, random trace counts and random bytes, read
by path and by open file, through iteration and to_memory.  Only the
documented errors may come out, the traces before the error must be the
file's own, and no descriptor may be left open.

VONDREL_FUZZ_EXAMPLES=N raises the number of examples for a longer campaign."""
import os
import struct

import numpy as np
import pytest
from conftest import open_fds
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from segyfiles import collection_bytes
from tracebytes import header_of

from vondrel.segy import SEGY

EXAMPLES = int(os.environ.get("VONDREL_FUZZ_EXAMPLES", "150"))
HEADER = "Unable to read trace header from file."
SAMPLES = "Unable to read expected number of trace samples."


def expected_reading(raw):
    """What reading `raw` must give: (traces as (header, samples) bytes, error or None)."""
    count = int.from_bytes(raw[:4], "little")
    if count >= 2**31:
        return [], (OverflowError, "value too large to convert to int")
    pos, traces = 4, []
    for _ in range(count):
        if len(raw) - pos < 240:
            return traces, (OSError, HEADER)
        ns = struct.unpack_from("<H", raw, pos + 114)[0]
        if len(raw) - pos - 240 < 4 * ns:
            return traces, (OSError, SAMPLES)
        if ns == 0:
            return traces, (ValueError, "Invalid shape in axis 0: 0.")
        traces.append((raw[pos:pos + 240], raw[pos + 240:pos + 240 + 4 * ns]))
        pos += 240 + 4 * ns
    return traces, None


@st.composite
def collection_files(draw):
    sizes = draw(st.lists(st.integers(1, 12), max_size=4))
    raw = bytearray(collection_bytes([np.arange(n, dtype=np.float32) + 0.5 for n in sizes]))
    starts = [4]
    for n in sizes:
        starts.append(starts[-1] + 240 + 4 * n)
    for _ in range(draw(st.integers(1, 3))):
        kind = draw(st.sampled_from(["truncate", "ns", "count", "bytes"]))
        if kind == "truncate":
            edges = sorted({0, 1, 2, 3, 4} | {s + d for s in starts for d in (-1, 0, 1, 114, 116, 239, 240, 241)})
            cut = draw(st.sampled_from([e for e in edges if 0 <= e <= len(raw)]) | st.integers(0, len(raw)))
            del raw[cut:]
        elif kind == "ns" and len(starts) > 1:
            at = draw(st.sampled_from(starts[:-1])) + 114
            if at + 2 <= len(raw):
                raw[at:at + 2] = struct.pack("<H", draw(st.sampled_from([0, 1, 65535]) | st.integers(0, 65535)))
        elif kind == "count" and len(raw) >= 4:
            value = draw(st.sampled_from([0, -1, 2**31 - 1, 2**31, 2**32 - 1]) | st.integers(-2**31, 2**32 - 1))
            raw[:4] = struct.pack("<I", value % 2**32)
        elif kind == "bytes" and raw:
            at = draw(st.integers(0, len(raw) - 1))
            chunk = draw(st.binary(min_size=1, max_size=8))
            raw[at:at + len(chunk)] = chunk
    return bytes(raw)


def read_traces(source, how):
    """The (header, samples) bytes of every trace read, and the error that ended it."""
    got = []
    try:
        coll = SEGY.from_file(source)
        traces = coll.to_memory() if how == "to_memory" else coll
        for t in traces:
            got.append((header_of(t), bytes(memoryview(t).cast("B"))))
    except (OSError, OverflowError, ValueError) as e:
        return got, (type(e), str(e))
    return got, None


@pytest.mark.parametrize("how", ["iterate", "to_memory"])
@pytest.mark.parametrize("by", ["path", "file"])
@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(raw=collection_files())
def test_mutated_files_give_their_traces_then_a_documented_error(tmp_path, by, how, raw):
    path = tmp_path / "fuzz.su"
    path.write_bytes(raw)
    fds = open_fds()
    want, error = expected_reading(raw)
    if by == "path":
        got, got_error = read_traces(path, how)
    else:
        with open(path, "rb") as f:
            got, got_error = read_traces(f, how)
    assert open_fds() == fds
    if error and error[0] is OSError:
        assert got_error is not None and issubclass(got_error[0], OSError) and got_error[1] == error[1]
    else:
        assert got_error == error
    if how == "iterate" or error is None:
        assert got == want
    else:
        assert got == []
