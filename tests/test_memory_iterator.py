import gc
import re
import sys
import weakref

import numpy as np
import pytest

from vondrel.segy import SEGYTrace, _MemoryTraceIterator


def make_traces(n):
    return [SEGYTrace(np.arange(i + 1, dtype=np.float32), 4000) for i in range(n)]


def exact(text):
    return "^" + re.escape(text) + "$"


class MemoryIt(_MemoryTraceIterator):
    pass


@pytest.mark.parametrize("cls", [_MemoryTraceIterator, MemoryIt])
@pytest.mark.parametrize("n", [0, 1, 3])
def test_hands_out_the_list_objects_in_order_then_stops_for_good(cls, n):
    traces = make_traces(n)
    it = cls(traces)
    assert [next(it) for _ in range(n)] == traces
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(it)
    assert list(cls(traces=traces)) == traces
    assert all(a is b for a, b in zip(cls(traces), traces))


def test_count_is_fixed_at_construction():
    traces = make_traces(2)
    it = _MemoryTraceIterator(traces)
    traces.extend(make_traces(2))
    assert len(list(it)) == 2


def test_list_shrunk_below_index_raises_index_error_without_advancing():
    traces = make_traces(3)
    first, second = traces[0], traces[1]
    it = _MemoryTraceIterator(traces)
    assert next(it) is first
    del traces[1:]
    for _ in range(2):
        with pytest.raises(IndexError, match=r"^list index out of range$"):
            next(it)
    traces.append(second)
    assert next(it) is second


def test_item_replaced_after_construction():
    traces = make_traces(3)
    last = traces[2]
    it = _MemoryTraceIterator(traces)
    traces[0] = None
    traces[1] = 7
    assert next(it) is None
    for _ in range(2):
        with pytest.raises(TypeError, match=exact("Cannot convert int to vondrel.segy.SEGYTrace")):
            next(it)
    traces[1] = last
    assert next(it) is last
    assert next(it) is last
    with pytest.raises(StopIteration):
        next(it)


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "__init__() takes exactly 1 positional argument (0 given)"),
    (([], []), {}, "__init__() takes exactly 1 positional argument (2 given)"),
    ((), {"trace": []}, "__init__() takes exactly 1 positional argument (0 given)"),
    (([],), {"traces": []}, "__init__() got multiple values for keyword argument 'traces'"),
    ((), {"traces": [], "x": 1}, "__init__() got an unexpected keyword argument 'x'"),
    ((([1]),), {"x": 1}, "__init__() got an unexpected keyword argument 'x'"),
    (((),), {}, "Argument 'traces' has incorrect type (expected list, got tuple)"),
    ((type("Traces", (list,), {})(),), {}, "Argument 'traces' has incorrect type (expected list, got Traces)"),
    (("abc",), {}, "Argument 'traces' has incorrect type (expected list, got str)"),
    ((None,), {}, "'NoneType' object is not iterable"),
    (([1],), {}, "Every item in trace list must be a SEGYTrace, not a <class 'int'>"),
    (([None],), {}, "Every item in trace list must be a SEGYTrace, not a <class 'NoneType'>"),
    (([*make_traces(2), "x", 1],), {}, "Every item in trace list must be a SEGYTrace, not a <class 'str'>"),
])
def test_construction_errors(args, kwargs, message):
    with pytest.raises(TypeError, match=exact(message)):
        _MemoryTraceIterator(*args, **kwargs)


def test_failed_reinit_keeps_count_but_stores_the_new_argument():
    it = _MemoryTraceIterator(make_traces(2))
    with pytest.raises(TypeError):
        it.__init__([5])
    with pytest.raises(TypeError, match=exact("Cannot convert int to vondrel.segy.SEGYTrace")):
        next(it)
    with pytest.raises(TypeError, match=exact("'NoneType' object is not iterable")):
        it.__init__(None)
    with pytest.raises(TypeError, match=exact("'NoneType' object is not subscriptable")):
        next(it)


def test_creation_ignores_constructor_arguments():
    it = _MemoryTraceIterator.__new__(_MemoryTraceIterator, 1, x=2)
    with pytest.raises(StopIteration):
        next(it)


def test_no_reference_leaks_on_steps_and_errors():
    traces = make_traces(2)
    stranger = object()
    kept = traces[1]
    before = sys.getrefcount(traces), sys.getrefcount(kept), sys.getrefcount(stranger)
    for _ in range(200):
        list(_MemoryTraceIterator(traces))
        it = _MemoryTraceIterator(traces)
        traces[0] = stranger
        with pytest.raises(TypeError):
            next(it)
        traces[0] = it  # a trace iterator is not a trace either
        with pytest.raises(TypeError, match=exact("Cannot convert vondrel.segy._MemoryTraceIterator to vondrel.segy.SEGYTrace")):
            next(it)
        traces[0] = traces[1]
    traces[0] = make_traces(1)[0]
    del it
    gc.collect()  # the iterators that held themselves through the list
    assert (sys.getrefcount(traces), sys.getrefcount(kept), sys.getrefcount(stranger)) == before


def test_cycle_through_the_list_is_collected():
    traces = make_traces(1)
    it = MemoryIt(traces)
    traces.append(it)
    alive = weakref.ref(it)
    del it, traces
    gc.collect()
    assert alive() is None
