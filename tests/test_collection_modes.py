"""SEGY construction, storage-mode properties and their precedence."""
import gc
import io
import pickle
import re
import weakref

import numpy as np
import pytest

from segyfiles import parse_header, write_collection
from tracebytes import header_of
from conftest import build_native
from vondrel.segy import SEGY, BaseTraceIterator, _MemoryTraceIterator


@pytest.fixture(scope="module")
def client():
    return build_native("collection_client")

NO_MODE = r"^SEGY file is not on disk, in memory, nor from an iterator\.$"


def modes(coll):
    return coll.on_disk, coll.in_memory, coll.is_iterator


def rows(m=3, n=4):
    return np.arange(m * n, dtype=np.float32).reshape(m, n)


def test_type_identity_and_docstrings():
    assert SEGY.__name__ == "SEGY" and SEGY.__module__ == "vondrel.segy"
    assert SEGY.__doc__ == "SEGY(trace_data, dt, **kwargs)"
    assert SEGY.from_file.__doc__ == "SEGY.from_file(cls, filename)"
    assert SEGY.to_memory.__doc__ == "SEGY.to_memory(self)"
    assert SEGY.to_file.__doc__ == "SEGY.to_file(self, filename)"
    assert SEGY.to_stream.__doc__ == "SEGY.to_stream(self, stream)"
    assert not hasattr(SEGY(rows(), 4000), "__dict__")


def test_bare_allocation_is_in_no_mode_and_cannot_be_iterated():
    coll = SEGY.__new__(SEGY)
    assert modes(coll) == (False, False, False)
    assert coll.n_traces == coll.n_trace == 0
    with pytest.raises(TypeError, match=NO_MODE):
        iter(coll)
    with pytest.raises(TypeError, match=NO_MODE):
        coll.to_memory()
    assert modes(coll) == (False, False, False)


def test_allocation_ignores_arguments():
    coll = SEGY.__new__(SEGY, 1, 2, x=3)
    assert modes(coll) == (False, False, False)


def test_2d_array_gives_one_trace_per_row_with_ntr_dt_and_shared_memory():
    data = rows(3, 4)
    coll = SEGY(data, 4000)
    assert modes(coll) == (False, True, False)
    assert coll.n_traces == coll.n_trace == 3
    traces = list(coll)
    assert [(t.ns, t.dt, t.ntr) for t in traces] == [(4, 4000, 3)] * 3
    for row, trace in zip(data, traces):
        assert np.shares_memory(np.asarray(trace), row)


def test_empty_collection():
    coll = SEGY([], 4000)
    assert modes(coll) == (False, True, False)
    assert coll.n_traces == 0 and list(coll) == []


def test_extra_keywords_reach_every_trace_in_order():
    coll = SEGY([np.ones(2, np.float32), np.zeros(3, np.float32)], 2000, fldr=7, scalco=-100, d1=0.5)
    headers = [parse_header(header_of(t)) for t in coll]
    assert [(h["fldr"], h["scalco"], h["d1"], h["ntr"], h["dt"]) for h in headers] == [(7, -100, 0.5, 2, 2000)] * 2


def test_arguments_by_keyword():
    coll = SEGY(dt=1000, trace_data=[[1.0, 2.0]])
    assert [(t.dt, t.ns) for t in coll] == [(1000, 2)]


class Liar:
    """len() says 3, iteration yields 2 rows."""

    def __len__(self):
        return 3

    def __iter__(self):
        return iter([np.ones(2, np.float32), np.ones(5, np.float32)])


def test_length_and_iteration_that_disagree():
    coll = SEGY(Liar(), 4000)
    assert coll.n_traces == 2
    assert [t.ntr for t in coll] == [3, 3]


@pytest.mark.parametrize("call, message", [
    (lambda: SEGY(), r"__init__() takes exactly 2 positional arguments (0 given)"),
    (lambda: SEGY([]), r"__init__() takes exactly 2 positional arguments (1 given)"),
    (lambda: SEGY([], 1, 2), r"__init__() takes exactly 2 positional arguments (3 given)"),
    (lambda: SEGY(dt=1), r"__init__() takes exactly 2 positional arguments (0 given)"),
    (lambda: SEGY([], 1, dt=2), r"__init__() got multiple values for keyword argument 'dt'"),
    (lambda: SEGY([], 1, trace_data=2), r"__init__() got multiple values for keyword argument 'trace_data'"),
    (lambda: SEGY((r for r in rows()), 4000), r"object of type 'generator' has no len()"),
    (lambda: SEGY(rows(), 4000, ntr=5),
     r"vondrel.segy.SEGYTrace() got multiple values for keyword argument 'ntr'"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError, match="^" + re.escape(message) + "$"):
        call()


def test_empty_data_never_checks_the_extra_keywords():
    assert SEGY([], 4000, ntr=5).n_traces == 0
    assert SEGY([], 4000, nonsense=1).n_traces == 0


@pytest.mark.parametrize("kwargs, exc, message", [
    ({"dt": 65536}, OverflowError, "value too large to convert to unsigned short"),
    ({"dt": 4000, "scalel": 40000}, OverflowError, "value too large to convert to short"),
    ({"dt": 4000, "trid": "2"}, TypeError, "an integer is required"),
])
def test_trace_errors_propagate_and_leave_the_fields_alone(kwargs, exc, message):
    first = [np.ones(2, np.float32)]
    coll = SEGY(first, 4000)
    before = list(coll)
    with pytest.raises(exc, match="^" + re.escape(message) + "$"):
        coll.__init__(rows(), **kwargs)
    assert coll.n_traces == 1 and list(coll) == before


def test_a_bad_row_after_good_ones_stores_nothing():
    coll = SEGY.__new__(SEGY)
    with pytest.raises(ValueError, match=r"^Buffer has wrong number of dimensions \(expected 1, got 2\)$"):
        coll.__init__([np.ones(3), np.ones((2, 2))], 4000)
    assert modes(coll) == (False, False, False)


@pytest.mark.parametrize("prop", ["n_trace", "on_disk", "is_iterator", "in_memory", "n_traces"])
def test_properties_are_read_only(prop):
    coll = SEGY(rows(), 4000)
    with pytest.raises(AttributeError):
        setattr(coll, prop, 1)


def test_pickling_is_refused():
    coll = SEGY(rows(), 4000)
    with pytest.raises(TypeError, match=r"^no default __reduce__ due to non-trivial __cinit__$"):
        pickle.dumps(coll)
    with pytest.raises(TypeError, match=r"^no default __reduce__ due to non-trivial __cinit__$"):
        coll.__setstate__(None)


def test_constructor_on_an_on_disk_collection_keeps_reading_the_file(tmp_path):
    path = write_collection(tmp_path, [[1.0, 2.0]] * 3)
    coll = SEGY.from_file(path)
    coll.__init__(rows(3, 5), 4000)
    assert modes(coll) == (True, True, False)
    assert coll.n_traces == 3
    assert [t.ns for t in coll] == [2] * 3  # on disk wins when iterating
    assert coll.to_memory() is coll  # in memory wins for to_memory
    assert modes(coll) == (True, True, False)


def test_memory_takes_precedence_over_iterator(client):
    it = BaseTraceIterator()  # iterating it would raise NotImplementedError
    coll = client.wrap(SEGY, it)
    assert modes(coll) == (False, False, True)
    coll.__init__(rows(4, 2), 1000)
    assert modes(coll) == (False, True, True)
    assert [t.ns for t in coll] == [2] * 4


def test_from_trace_iterator_takes_the_count_at_wrapping(client):
    traces = list(SEGY(rows(5, 2), 4000))
    it = _MemoryTraceIterator(traces)
    next(it)
    coll = client.wrap(SEGY, it)
    assert type(coll) is SEGY and modes(coll) == (False, False, True)
    assert coll.n_traces == 5
    assert iter(coll) is it and iter(coll) is it
    assert list(coll) == traces[1:]
    assert list(coll) == []


class Overriding(SEGY):
    """A subclass whose mode properties lie: the collection follows them."""

    @property
    def on_disk(self):
        return False

    @property
    def in_memory(self):
        return False

    @property
    def is_iterator(self):
        return False


def test_iteration_follows_overridden_properties():
    coll = Overriding(rows(), 4000)
    with pytest.raises(TypeError, match=NO_MODE):
        iter(coll)


def test_subclass_from_file_returns_plain_segy(tmp_path):
    class Sub(SEGY):
        pass

    path = write_collection(tmp_path, [[1.0]])
    assert type(Sub.from_file(path)) is SEGY
    sub = Sub(rows(), 4000)
    assert isinstance(sub, SEGY) and sub.n_traces == 3


def test_clear_leaves_no_mode_and_keeps_the_count(client, tmp_path):
    coll = SEGY.from_file(write_collection(tmp_path, [[1.0], [2.0]]))
    coll.__init__(rows(), 4000)
    client.clear(coll)
    assert modes(coll) == (False, False, False)
    assert coll.n_traces == 3
    with pytest.raises(TypeError, match=NO_MODE):
        iter(coll)


class Stream(io.BytesIO):
    pass


def test_a_cycle_through_the_stream_is_collected():
    stream = Stream(b"\x00" * 4)
    coll = SEGY.from_file(stream)
    stream.coll = coll
    gone = weakref.ref(stream)
    del stream, coll
    gc.collect()
    assert gone() is None
