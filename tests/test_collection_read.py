"""Opening collection files lazily, iterating them in every mode, to_memory."""
import io
import os
import re
import struct

import numpy as np
import pytest

from segyfiles import collection_bytes, parse_header, trace_bytes, write_collection
from tracebytes import header_of
from vondrel.segy import SEGY, SEGYTrace, _FileTraceIterator, _MemoryTraceIterator

HEADER_MSG = r"^Unable to read trace header from file\.$"
SAMPLES_MSG = r"^Unable to read expected number of trace samples\.$"


def samples_of(traces):
    return [np.asarray(t).tolist() for t in traces]


def test_from_file_reads_only_the_count_and_closes_the_file(tmp_path, fd_count):
    path = write_collection(tmp_path, [[1.0, 2.0], [3.0]])
    coll = SEGY.from_file(path)
    assert (coll.on_disk, coll.in_memory, coll.is_iterator) == (True, False, False)
    assert coll.n_traces == 2


@pytest.mark.parametrize("make", [str, os.fsencode, lambda p: p], ids=["str", "bytes", "pathlike"])
def test_paths_of_every_kind(tmp_path, make, fd_count):
    path = write_collection(tmp_path, [[1.0, 2.0], [3.0]])
    coll = SEGY.from_file(make(path))
    assert samples_of(coll) == [[1.0, 2.0], [3.0]]


@pytest.mark.parametrize("raw, count", [
    (b"", 0), (b"\x05", 5), (b"\x01\x02", 0x0201), (b"\xff\xff\xff\x7f", 2**31 - 1),
])
def test_short_or_large_counts(tmp_path, raw, count):
    path = tmp_path / "c.su"
    path.write_bytes(raw)
    assert SEGY.from_file(path).n_traces == count


def test_count_of_two_to_the_31_is_refused_and_the_file_closed(tmp_path, fd_count):
    path = tmp_path / "c.su"
    path.write_bytes(struct.pack("<I", 2**31))
    with pytest.raises(OverflowError, match=r"^value too large to convert to int$"):
        SEGY.from_file(path)


@pytest.mark.parametrize("arg, exc, message", [
    (3, TypeError, "expected str, bytes or os.PathLike object, not int"),
    (None, TypeError, "expected str, bytes or os.PathLike object, not NoneType"),
])
def test_from_file_bad_argument(arg, exc, message):
    with pytest.raises(exc, match="^" + re.escape(message) + "$"):
        SEGY.from_file(arg)


def test_from_file_missing_path(tmp_path):
    with pytest.raises(FileNotFoundError):
        SEGY.from_file(tmp_path / "absent.su")


def test_from_file_text_stream_raises_the_int_from_bytes_error():
    with pytest.raises(TypeError, match=r"^cannot convert 'str' object to bytes$"):
        SEGY.from_file(io.StringIO("abcd"))


@pytest.mark.parametrize("call, message", [
    (lambda: SEGY.from_file(), "from_file() takes exactly 1 positional argument (0 given)"),
    (lambda: SEGY.from_file("a", "b"), "from_file() takes exactly 1 positional argument (2 given)"),
    (lambda: SEGY.from_file("a", path="a"), "from_file() got an unexpected keyword argument 'path'"),
    (lambda: SEGY.from_file("a", filename="a"), "from_file() got multiple values for keyword argument 'filename'"),
])
def test_from_file_argument_errors(call, message):
    with pytest.raises(TypeError, match="^" + re.escape(message) + "$"):
        call()


def test_from_file_by_keyword(tmp_path):
    assert SEGY.from_file(filename=write_collection(tmp_path, [[1.0]])).n_traces == 1


def test_from_file_on_a_stream_keeps_it_open_behind_the_count(tmp_path, fd_count):
    path = write_collection(tmp_path, [[1.0, 2.0], [3.0, 4.0, 5.0]])
    with open(path, "rb") as f:
        coll = SEGY.from_file(f)
        assert not f.closed and f.tell() == 4
        assert coll.on_disk and coll.n_traces == 2
        it = iter(coll)
        assert type(it) is _FileTraceIterator
        assert samples_of(it) == [[1.0, 2.0], [3.0, 4.0, 5.0]]
        assert not f.closed


def test_iterating_a_path_twice_reads_the_file_twice(tmp_path, fd_count):
    path = write_collection(tmp_path, [trace_bytes([1.0, 2.0], fldr=9), [3.0]])
    coll = SEGY.from_file(path)
    first, second = list(coll), list(coll)
    assert samples_of(first) == samples_of(second) == [[1.0, 2.0], [3.0]]
    assert all(a is not b for a, b in zip(first, second))
    assert parse_header(header_of(first[0]))["fldr"] == 9


def test_iteration_yields_exactly_the_count(tmp_path):
    path = write_collection(tmp_path, [[1.0], [2.0], [3.0]], count=2)
    assert samples_of(SEGY.from_file(path)) == [[1.0], [2.0]]


@pytest.mark.parametrize("raw, message", [
    (collection_bytes([[1.0], [2.0]], count=3), HEADER_MSG),
    (collection_bytes([[1.0], [2.0]], count=3) + b"\0" * 10, HEADER_MSG),
    (collection_bytes([[1.0], trace_bytes([2.0, 3.0, 4.0])[:-4]], count=2), SAMPLES_MSG),
], ids=["missing-trace", "cut-header", "cut-samples"])
def test_a_file_shorter_than_its_count_yields_what_it_holds_then_fails(tmp_path, raw, message, fd_count):
    path = tmp_path / "short.su"
    path.write_bytes(raw)
    coll = SEGY.from_file(path)
    got = []
    with pytest.raises(OSError, match=message):
        for trace in coll:
            got.append(np.asarray(trace).tolist())
    assert got[:1] == [[1.0]]
    with pytest.raises(OSError, match=message):
        coll.to_memory()
    assert (coll.on_disk, coll.in_memory) == (True, False)
    del got


def test_memory_iteration_yields_the_same_objects_each_time():
    coll = SEGY([[1.0], [2.0]], 4000)
    it = iter(coll)
    assert type(it) is _MemoryTraceIterator
    first = list(it)
    assert all(a is b for a, b in zip(first, coll)) and len(first) == 2


def test_to_memory_in_memory_returns_itself_unchanged():
    coll = SEGY([[1.0], [2.0]], 4000)
    before = list(coll)
    assert coll.to_memory() is coll
    assert all(a is b for a, b in zip(before, coll))


def test_to_memory_on_disk_reads_the_file_once(tmp_path, fd_count):
    path = write_collection(tmp_path, [[1.0, 2.0], [3.0]])
    coll = SEGY.from_file(path)
    assert coll.to_memory() is coll
    assert (coll.on_disk, coll.in_memory, coll.is_iterator) == (False, True, False)
    assert coll.n_traces == 2
    path.unlink()
    assert samples_of(coll) == [[1.0, 2.0], [3.0]]
    assert [t.ns for t in coll] == [2, 1]


def test_to_memory_on_a_stream_drops_the_stream(tmp_path, fd_count):
    path = write_collection(tmp_path, [[1.0], [2.0]])
    with open(path, "rb") as f:
        coll = SEGY.from_file(f).to_memory()
        assert samples_of(coll) == [[1.0], [2.0]]
        assert not coll.on_disk


def test_empty_collection_file(tmp_path):
    coll = SEGY.from_file(write_collection(tmp_path, []))
    assert coll.on_disk and coll.n_traces == 0 and list(coll) == []
    coll.to_memory()
    assert coll.in_memory and list(coll) == []


def test_to_memory_takes_no_arguments():
    with pytest.raises(TypeError, match=r"^SEGY\.to_memory\(\) takes no arguments \(1 given\)$"):
        SEGY([], 1).to_memory(1)


def test_to_memory_walks_an_overridden_iter_through_the_protocol():
    made = [SEGYTrace(np.ones(2, np.float32), 10), SEGYTrace(np.ones(3, np.float32), 10)]

    class Sub(SEGY):
        in_memory = property(lambda self: False)

        def __iter__(self):
            return (t for t in made)

    coll = Sub([[1.0]] * 5, 4000)
    assert coll.to_memory() is coll
    assert coll.n_traces == 5 and SEGY.in_memory.__get__(coll)
    del Sub.__iter__, Sub.in_memory
    got = list(coll)
    assert len(got) == 2 and all(a is b for a, b in zip(got, made))
