"""to_memory, to_file and to_stream on every kind of trace iterator."""
import io
import re

import numpy as np
import pytest

from segyfiles import collection_bytes, parse_collection, write_collection
from vondrel.segy import SEGY, BaseTraceIterator, SEGYTrace, _FileTraceIterator, _MemoryTraceIterator

ROWS = [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0, 7.0, 8.0]]


def memory_iterator(tmp_path):
    return _MemoryTraceIterator(list(SEGY(ROWS, 4000)))


def file_iterator(tmp_path):
    return _FileTraceIterator(write_collection(tmp_path, ROWS, name="src.su"), 2)


def expected_bytes(tmp_path, kind):
    """What the iterator's traces make as a collection file."""
    if kind is file_iterator:
        return collection_bytes(ROWS)
    buf = io.BytesIO()
    SEGY(ROWS, 4000).to_stream(buf)
    return buf.getvalue()


KINDS = [memory_iterator, file_iterator]


def samples_of(traces):
    return [np.asarray(t).tolist() for t in traces]


def test_docstrings():
    assert BaseTraceIterator.to_memory.__doc__ == "BaseTraceIterator.to_memory(self)"
    assert BaseTraceIterator.to_file.__doc__ == "BaseTraceIterator.to_file(self, filename)"
    assert BaseTraceIterator.to_stream.__doc__ == "BaseTraceIterator.to_stream(self, stream)"


@pytest.mark.parametrize("kind", KINDS)
def test_to_memory_returns_an_in_memory_collection_and_exhausts(tmp_path, kind, fd_count):
    it = kind(tmp_path)
    coll = it.to_memory()
    assert type(coll) is SEGY
    assert (coll.on_disk, coll.in_memory, coll.is_iterator) == (False, True, False)
    assert coll.n_traces == 2 and samples_of(coll) == ROWS
    with pytest.raises(StopIteration):
        next(it)
    assert samples_of(it.to_memory()) == []


def test_memory_to_memory_keeps_the_trace_objects():
    traces = list(SEGY(ROWS, 4000))
    coll = _MemoryTraceIterator(traces).to_memory()
    assert all(a is b for a, b in zip(coll, traces))


@pytest.mark.parametrize("kind", KINDS)
def test_to_file_writes_what_a_collection_writes(tmp_path, kind, fd_count):
    it = kind(tmp_path)
    target = tmp_path / "out.su"
    coll = it.to_file(target)
    assert type(coll) is SEGY and coll.on_disk and coll.n_traces == 2
    assert target.read_bytes() == expected_bytes(tmp_path, kind)
    assert target.stat().st_size == 516
    with pytest.raises(StopIteration):
        next(it)


@pytest.mark.parametrize("kind", KINDS)
def test_to_stream_returns_none_and_writes_the_same_bytes(tmp_path, kind, fd_count):
    it = kind(tmp_path)
    buf = io.BytesIO()
    assert it.to_stream(buf) is None
    assert buf.getvalue() == expected_bytes(tmp_path, kind)
    with pytest.raises(StopIteration):
        next(it)


@pytest.mark.parametrize("kind", KINDS)
def test_the_count_is_the_iterators_whatever_it_handed_out(tmp_path, kind, fd_count):
    it = kind(tmp_path)
    next(it)
    buf = io.BytesIO()
    it.to_stream(buf)
    count, traces = parse_collection(buf.getvalue())
    assert count == 2 and [h["ns"] for h, _ in traces] == [5]


def test_five_traces_after_one_step():
    traces = list(SEGY(np.ones((5, 2), np.float32), 4000))
    it = _MemoryTraceIterator(traces)
    next(it)
    coll = it.to_memory()
    assert coll.n_traces == 5 and len(list(coll)) == 4


def test_base_iterator_fails_with_its_own_error():
    message = "cdef next_trace is not implemented on " + str(BaseTraceIterator) + "."
    with pytest.raises(NotImplementedError, match="^" + re.escape(message) + "$"):
        BaseTraceIterator().to_memory()


def test_python_subclass_is_walked_through_its_own_next():
    made = [SEGYTrace(np.full(2, 7, np.float32), 10)]

    class Counting(BaseTraceIterator):
        def __init__(self):
            self.left = list(made)

        def __next__(self):
            if not self.left:
                raise StopIteration
            return self.left.pop()

    buf = io.BytesIO()
    Counting().to_stream(buf)
    count, traces = parse_collection(buf.getvalue())
    assert count == 0  # a Python subclass keeps the base's count
    assert [s.tolist() for _, s in traces] == [[7.0, 7.0]]


def test_a_read_error_passes_through_after_the_traces_present(tmp_path, fd_count):
    path = write_collection(tmp_path, ROWS, count=3)
    it = _FileTraceIterator(path, 3)
    with pytest.raises(OSError, match=r"^Unable to read trace header from file\.$"):
        it.to_memory()


@pytest.mark.parametrize("call, message", [
    (lambda it: it.to_memory(1), "BaseTraceIterator.to_memory() takes no arguments (1 given)"),
    (lambda it: it.to_file(), "to_file() takes exactly 1 positional argument (0 given)"),
    (lambda it: it.to_file("a", "b"), "to_file() takes exactly 1 positional argument (2 given)"),
    (lambda it: it.to_file("a", stream="a"), "to_file() got an unexpected keyword argument 'stream'"),
    (lambda it: it.to_stream(), "to_stream() takes exactly 1 positional argument (0 given)"),
    (lambda it: it.to_stream(io.BytesIO(), filename="a"), "to_stream() got an unexpected keyword argument 'filename'"),
])
def test_argument_errors_consume_nothing(call, message):
    traces = list(SEGY(ROWS, 4000))
    it = _MemoryTraceIterator(traces)
    with pytest.raises(TypeError, match="^" + re.escape(message) + "$"):
        call(it)
    assert next(it) is traces[0]


def test_keywords_by_name(tmp_path):
    _MemoryTraceIterator(list(SEGY(ROWS, 4000))).to_stream(stream=tmp_path / "a.su")
    _MemoryTraceIterator(list(SEGY(ROWS, 4000))).to_file(filename=tmp_path / "b.su")
    assert (tmp_path / "a.su").read_bytes() == (tmp_path / "b.su").read_bytes()
    assert parse_collection((tmp_path / "a.su").read_bytes())[0] == 2
