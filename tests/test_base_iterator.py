import gc
import pickle
import re

import pytest

from vondrel.segy import BaseTraceIterator, _FileTraceIterator, _MemoryTraceIterator


class It(BaseTraceIterator):
    pass


class CountingIt(BaseTraceIterator):
    def __init__(self):
        self.left = 2

    def __next__(self):
        if not self.left:
            raise StopIteration
        self.left -= 1
        return self.left


def not_implemented(cls):
    return "^" + re.escape(f"cdef next_trace is not implemented on {cls}.") + "$"


@pytest.mark.parametrize("cls", [BaseTraceIterator, It])
@pytest.mark.parametrize("step", [next, lambda it: it.__next__(), list])
def test_step_without_trace_source_names_the_instance_type(cls, step):
    it = cls()
    with pytest.raises(NotImplementedError, match=not_implemented(cls)):
        step(it)
    # nothing ends the iteration: the same error again
    with pytest.raises(NotImplementedError, match=not_implemented(cls)):
        step(it)


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, "two"), {}), ((), {"x": 1, "traces": []})])
def test_base_creation_ignores_constructor_arguments(args, kwargs):
    it = BaseTraceIterator(*args, **kwargs)
    with pytest.raises(NotImplementedError, match=not_implemented(BaseTraceIterator)):
        next(it)


@pytest.mark.parametrize("cls", [BaseTraceIterator, It, _MemoryTraceIterator, _FileTraceIterator])
def test_iter_returns_the_iterator_itself(cls):
    it = cls.__new__(cls)
    assert iter(it) is it


@pytest.mark.parametrize("cls", [_MemoryTraceIterator, _FileTraceIterator])
def test_uninitialised_kinds_stop_at_count_zero_every_time(cls):
    it = cls.__new__(cls)
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(it)
        with pytest.raises(StopIteration):
            it.__next__()


def test_python_subclass_may_define_its_own_step():
    assert list(CountingIt()) == [1, 0]


def test_method_table_order_and_docstrings():
    names = [n for n in BaseTraceIterator.__dict__ if not n.startswith("__pyx")]
    assert [n for n in names if n in {"__next__", "to_memory", "to_file", "to_stream", "__reduce__",
                                      "__setstate__"}] == [
        "__next__", "to_memory", "to_file", "to_stream", "__reduce__", "__setstate__"]
    assert BaseTraceIterator.__doc__ is None
    assert BaseTraceIterator.to_memory.__doc__ == "BaseTraceIterator.to_memory(self)"
    assert BaseTraceIterator.to_file.__doc__ == "BaseTraceIterator.to_file(self, filename)"
    assert BaseTraceIterator.to_stream.__doc__ == "BaseTraceIterator.to_stream(self, stream)"
    assert _MemoryTraceIterator.__doc__ == "_MemoryTraceIterator(list traces)"
    assert _FileTraceIterator.__doc__ == "_FileTraceIterator(file, int n_traces)"


PICKLE_REFUSED = r"^no default __reduce__ due to non\-trivial __cinit__$"


@pytest.mark.parametrize("cls", [BaseTraceIterator, _MemoryTraceIterator, _FileTraceIterator])
def test_pickling_is_refused(cls):
    it = cls.__new__(cls)
    with pytest.raises(TypeError, match=PICKLE_REFUSED):
        pickle.dumps(it)
    with pytest.raises(TypeError, match=PICKLE_REFUSED):
        it.__setstate__({})


def test_only_the_two_kinds_take_part_in_cycle_collection():
    assert not gc.is_tracked(BaseTraceIterator())
    assert gc.is_tracked(_MemoryTraceIterator.__new__(_MemoryTraceIterator))
    assert gc.is_tracked(_FileTraceIterator.__new__(_FileTraceIterator))
    assert issubclass(_MemoryTraceIterator, BaseTraceIterator)
    assert issubclass(_FileTraceIterator, BaseTraceIterator)
