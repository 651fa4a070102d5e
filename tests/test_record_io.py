"""One trace to and from a stdio stream, through SEGYTrace's native operations
as a native client reaches them (the class's __pyx_vtable__ capsule)."""
import re
import sys

import numpy as np
import pytest

from conftest import build_native
from segyfiles import header, trace_bytes

import vondrel.segy as segy

client = build_native("segy_client")

HEADER_SHORT = r"^Unable to read trace header from file\.$"
SAMPLES_SHORT = r"^Unable to read expected number of trace samples\.$"
WRITE_HEADER = r"^Error writing trace header to file\.$"
WRITE_DATA = r"^Error writing trace data to file\.$"
NO_SAMPLES = r"^Invalid shape in axis 0: 0\.$"

FIELDS = dict(tracl=7, tracr=-8, fldr=2**31 - 1, scalco=-100, dt=4000, d1=0.25, ntr=-1, mark=3,
              shortpad=-2, unassigned=bytes(range(100, 128)))
THREE = trace_bytes([1.5, -2.0, 3.25], **FIELDS)


def heap_drop(action):
    """Heap bytes that `action()` gives back, or None under a sanitizer."""
    change = heap_change(action)
    return None if change is None else -change


def heap_change(action):
    """Heap bytes that `action()` leaves allocated, or None under a sanitizer."""
    before = client.heap_in_use()
    action()
    after = client.heap_in_use()
    return None if before is None else after - before


def check_raised(outcome, error, pattern):
    assert isinstance(outcome, error)
    assert re.match(pattern, str(outcome)), str(outcome)


def read_bytes(tmp_path, raw, offset=0):
    path = tmp_path / "trace.bin"
    path.write_bytes(raw)
    return client.read_trace(path, offset)


def test_read_one_trace_then_the_end_of_the_stream(tmp_path):
    path = tmp_path / "one.bin"
    path.write_bytes(THREE)
    trace, position = client.read_trace(path, 0)
    assert position == 252
    assert client.trace_header(trace) == THREE[:240]
    assert client.trace_samples(trace) == THREE[240:]
    address, owner, data_owner = client.trace_fields(trace)
    assert address != 0 and (owner, data_owner) == (1, 1)

    error, position = client.read_trace(path, 252)
    check_raised(error, OSError, HEADER_SHORT)
    assert position == 252


def test_read_starts_at_the_stream_position_and_stops_after_the_trace(tmp_path):
    second = trace_bytes([7.0] * 5, tracl=2)
    raw = b"\x02\x00\x00\x00" + THREE + second
    trace, position = read_bytes(tmp_path, raw, 4)
    assert (client.trace_header(trace), position) == (THREE[:240], 256)
    trace, position = read_bytes(tmp_path, raw, 256)
    assert (client.trace_header(trace), client.trace_samples(trace)) == (second[:240], second[240:])
    assert position == len(raw)


@pytest.mark.parametrize(
    "raw, pattern, position",
    [
        (b"", HEADER_SHORT, 0),
        (THREE[:10], HEADER_SHORT, 10),
        (THREE[:239], HEADER_SHORT, 239),
        (THREE[:240], SAMPLES_SHORT, 240),
        (THREE[:248], SAMPLES_SHORT, 248),          # 2 of 3 samples
        (THREE[:250], SAMPLES_SHORT, 250),          # half of the third
    ],
)
def test_truncated_trace_is_refused_where_the_reads_stopped(tmp_path, raw, pattern, position):
    error, at = read_bytes(tmp_path, raw)
    check_raised(error, OSError, pattern)
    assert at == position


def test_ns_comes_from_the_header_bytes_as_they_stand(tmp_path):
    head = header(256)
    assert head[114:116] == b"\x00\x01"
    body = np.arange(256, dtype="<f4").tobytes()
    trace, position = read_bytes(tmp_path, head + body + b"trailing")
    assert position == 240 + 1024
    assert client.trace_samples(trace) == body


def test_header_with_no_samples_is_refused(tmp_path):
    error, position = read_bytes(tmp_path, header(0, tracl=1) + THREE)
    check_raised(error, ValueError, NO_SAMPLES)
    assert position == 240


@pytest.mark.parametrize("raw", [header(0), THREE[:10], THREE[:250]],
                         ids=["no samples", "short header", "short samples"])
def test_failed_reads_leave_nothing_allocated(tmp_path, raw):
    path = tmp_path / "bad.bin"
    path.write_bytes(raw)

    def many():
        for _ in range(3000):
            error, _ = client.read_trace(path, 0)
            assert isinstance(error, Exception)

    many()
    grown = heap_change(many)
    if grown is None:
        pytest.skip("heap accounting is replaced by the sanitizer")
    assert grown < 3000 * 100      # a record left behind per read would be 248 bytes


def test_traces_read_are_released_with_their_samples(tmp_path):
    path = tmp_path / "big.bin"
    path.write_bytes(trace_bytes(np.zeros(60000)))

    def cycle():
        for _ in range(20):
            trace, _ = client.read_trace(path, 0)
            del trace

    cycle()
    grown = heap_change(cycle)
    if grown is None:
        pytest.skip("heap accounting is replaced by the sanitizer")
    assert grown < 240000


@pytest.mark.parametrize("mode, before", [("wb", b"old contents"), ("ab", b"prefix!")])
def test_write_puts_the_exact_trace_bytes_and_advances_past_them(tmp_path, mode, before):
    source = tmp_path / "in.bin"
    source.write_bytes(THREE)
    trace, _ = client.read_trace(source, 0)
    target = tmp_path / "out.bin"
    target.write_bytes(before)
    position = client.write_trace(trace, target, mode)
    expected = (before if mode == "ab" else b"") + THREE
    assert position == len(expected)
    assert target.read_bytes() == expected


def test_write_then_read_gives_the_same_trace(tmp_path):
    trace, _ = client.from_trace(THREE[:240], THREE[240:], 1, 1, 2)
    path = tmp_path / "round.bin"
    assert client.write_trace(trace, path, "wb") == 252
    back, position = client.read_trace(path, 0)
    assert position == 252
    assert client.trace_header(back) == THREE[:240]
    assert client.trace_samples(back) == THREE[240:]


@pytest.mark.parametrize(
    "cap, pattern",
    [(0, WRITE_HEADER), (100, WRITE_HEADER), (239, WRITE_HEADER),
     (240, WRITE_DATA), (244, WRITE_DATA), (251, WRITE_DATA), (252, None), (300, None)],
)
def test_short_writes_are_reported(tmp_path, cap, pattern):
    trace, _ = client.from_trace(THREE[:240], THREE[240:], 1, 1, 2)
    outcome, accepted = client.write_trace_capped(trace, cap)
    if pattern is None:
        assert outcome is None
    else:
        check_raised(outcome, OSError, pattern)
    assert accepted == THREE[:cap]
    assert client.trace_header(trace) == THREE[:240]
    assert client.trace_samples(trace) == THREE[240:]


def test_write_of_a_constructed_trace_covers_its_five_samples(tmp_path):
    data = np.arange(5, dtype=np.float32)
    trace = segy.SEGYTrace(data, 4000)
    path = tmp_path / "five.bin"
    assert client.write_trace(trace, path, "wb") == 260
    raw = path.read_bytes()
    assert raw == client.trace_header(trace) + data.tobytes()
    assert raw[114:118] == b"\x05\x00\xa0\x0f"


def test_write_of_an_empty_trace_writes_nothing(tmp_path):
    path = tmp_path / "none.bin"
    with pytest.raises(ValueError, match=r"^SEGYTrace holds no trace record\.$"):
        client.write_trace(segy.SEGYTrace.__new__(segy.SEGYTrace), path, "wb")
    assert path.read_bytes() == b""


def test_write_of_a_record_whose_samples_went_missing_writes_nothing(tmp_path):
    trace, left = client.from_trace(THREE[:240], THREE[240:], 0, 0, 2)
    left.detach_data()
    path = tmp_path / "missing.bin"
    with pytest.raises(OSError, match=WRITE_DATA):
        client.write_trace(trace, path, "wb")
    assert path.read_bytes() == b""
    del trace
    del left


BIG = 50000           # samples: a buffer the heap count cannot miss
MOST_OF_BIG = 4 * BIG * 9 // 10      # what its release shows through the other traffic


@pytest.mark.parametrize(
    "n, owner, data_owner, fields",
    [
        (None, 1, 1, (0, 0)),     # no optional block: both default to 0
        (0, 1, 1, (0, 0)),
        (1, 1, 1, (1, 0)),        # only trace_owner supplied
        (2, 1, 1, (1, 1)),
        (2, 1, 0, (1, 0)),
        (2, 0, 1, (0, 1)),        # owns the samples but not the record: releases nothing
        (2, 0, 0, (0, 0)),
    ],
)
def test_from_trace_wraps_the_record_and_releases_what_its_flags_own(n, owner, data_owner, fields):
    head = header(BIG, tracl=11)
    body = np.linspace(0, 1, BIG, dtype="<f4").tobytes()
    start = client.heap_in_use()
    trace, left = client.from_trace(head, body, owner, data_owner, n)
    address, *flags = client.trace_fields(trace)
    assert address == left.record_address      # the very record, not a copy
    assert tuple(flags) == fields
    assert (client.trace_header(trace), client.trace_samples(trace)) == (head, body)

    # The trace goes first (it may point into the client's record), then
    # whatever the client still owns.
    holder = [trace]
    del trace
    freed_by_trace = heap_drop(holder.clear)
    holder = [left]
    del left
    freed_by_client = heap_drop(holder.clear)
    if start is None:
        pytest.skip("heap accounting is replaced by the sanitizer")
    samples_with_trace = fields == (1, 1)
    assert (freed_by_trace >= MOST_OF_BIG) is samples_with_trace
    assert (freed_by_client >= MOST_OF_BIG) is not samples_with_trace
    assert abs(client.heap_in_use() - start) < 4 * BIG // 2     # nothing left behind


@pytest.mark.parametrize(
    "head, body, pattern",
    [
        (header(0), b"\0" * 4, NO_SAMPLES),
        (header(3), None, r"^Cannot create an array from a NULL pointer\.$"),
    ],
)
def test_from_trace_refusal_leaves_the_record_with_the_caller(head, body, pattern):
    error, left = client.from_trace(head, body, 1, 1, 2)
    check_raised(error, ValueError, pattern)
    assert left.record_address != 0
    del left     # frees record and buffer; a trace that had kept them would double-free


def test_from_trace_refuses_a_null_record():
    with pytest.raises(ValueError, match=r"^Cannot wrap a NULL trace record\.$"):
        client.from_null_record()


def reference_growth(action, rounds=200):
    """Growth of the interpreter's total reference count over `rounds` calls."""
    for _ in range(20):
        action()
    before = sys.gettotalrefcount()
    for _ in range(rounds):
        action()
    return sys.gettotalrefcount() - before


needs_debug = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"),
                                 reason="needs the debug interpreter")


@needs_debug
def test_reads_and_writes_keep_the_reference_count_flat(tmp_path):
    good, short = tmp_path / "good.bin", tmp_path / "short.bin"
    good.write_bytes(THREE)
    short.write_bytes(THREE[:250])
    out = tmp_path / "out.bin"

    def cycle():
        trace, _ = client.read_trace(good, 0)
        client.write_trace(trace, out, "wb")
        client.write_trace_capped(trace, 244)
        client.read_trace(short, 0)

    assert reference_growth(cycle) < 50


@needs_debug
@pytest.mark.parametrize("head, body", [(header(0), b""), (header(3), None)],
                         ids=["no samples", "null data"])
def test_refused_wraps_keep_the_reference_count_flat(head, body):
    assert reference_growth(lambda: client.from_trace(head, body, 1, 1, 2)) < 50
