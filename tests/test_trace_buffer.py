import ctypes
import gc
import sys

import numpy as np
import pytest
from tracebytes import record_address

from vondrel.segy import SEGYTrace

PyBUF_SIMPLE, PyBUF_WRITABLE, PyBUF_FORMAT, PyBUF_ND = 0, 0x1, 0x4, 0x8
PyBUF_STRIDES = 0x10 | PyBUF_ND


class Py_buffer(ctypes.Structure):
    _fields_ = [("buf", ctypes.c_void_p), ("obj", ctypes.py_object), ("len", ctypes.c_ssize_t),
                ("itemsize", ctypes.c_ssize_t), ("readonly", ctypes.c_int), ("ndim", ctypes.c_int),
                ("format", ctypes.c_char_p), ("shape", ctypes.POINTER(ctypes.c_ssize_t)),
                ("strides", ctypes.POINTER(ctypes.c_ssize_t)), ("suboffsets", ctypes.c_void_p),
                ("internal", ctypes.c_void_p)]


def export(obj, flags):
    """The raw buffer description an exporter fills in for `flags`."""
    view = Py_buffer()
    ctypes.pythonapi.PyObject_GetBuffer.argtypes = [ctypes.py_object, ctypes.POINTER(Py_buffer), ctypes.c_int]
    ctypes.pythonapi.PyObject_GetBuffer(obj, ctypes.byref(view), flags)
    fields = dict(buf=view.buf, len=view.len, itemsize=view.itemsize, readonly=view.readonly,
                  ndim=view.ndim, format=view.format,
                  shape=view.shape[0] if view.shape else None,
                  strides=view.strides[0] if view.strides else None,
                  suboffsets=view.suboffsets)
    ctypes.pythonapi.PyBuffer_Release.argtypes = [ctypes.POINTER(Py_buffer)]
    ctypes.pythonapi.PyBuffer_Release(ctypes.byref(view))
    return fields


def trace(n=4, **kwargs):
    return SEGYTrace(np.arange(n, dtype=np.float32), kwargs.pop("dt", 4000), **kwargs)


def test_memoryview_describes_the_samples_and_is_writable():
    t = trace(4)
    m = memoryview(t)
    assert (m.format, m.itemsize, m.shape, m.strides, m.nbytes, m.ndim) == ("f", 4, (4,), (4,), 16, 1)
    assert m.readonly is False and m.c_contiguous
    m[1] = 9.5
    assert np.asarray(t)[1] == 9.5


@pytest.mark.parametrize("flags, shape, strides, fmt", [
    (PyBUF_SIMPLE, None, None, None),
    (PyBUF_WRITABLE, None, None, None),
    (PyBUF_FORMAT, None, None, b"f"),
    (PyBUF_ND, 3, None, None),
    (PyBUF_STRIDES, 3, 4, None),
    (PyBUF_STRIDES | PyBUF_FORMAT | PyBUF_WRITABLE, 3, 4, b"f"),
    (0x20 | PyBUF_STRIDES, 3, 4, None),     # C-contiguity asked: always met
    (0x100 | PyBUF_STRIDES, 3, 4, None),    # any contiguity
])
def test_export_answers_each_request(flags, shape, strides, fmt):
    t = trace(3)
    got = export(t, flags)
    assert got == dict(buf=ctypes.c_void_p.from_address(record_address(t) + 240).value, len=12,
                       itemsize=4, readonly=0, ndim=1, format=fmt, shape=shape, strides=strides,
                       suboffsets=None)


def test_asarray_is_a_writable_view_of_the_trace():
    t = trace(4)
    a = np.asarray(t)
    assert a.dtype == np.float32 and a.flags.writeable and a.shape == (4,)
    a[:] = [5, 6, 7, 8]
    assert memoryview(t).tolist() == [5, 6, 7, 8]


def test_asarray_shares_memory_with_the_callers_array():
    source = np.ones(6, np.float32)
    assert np.shares_memory(np.asarray(SEGYTrace(source, 1)), source)


def test_exported_buffer_keeps_the_trace_alive():
    t = trace(3)
    a = np.asarray(t)
    before = sys.getrefcount(t)
    b = np.asarray(t)
    assert sys.getrefcount(t) == before + 1
    del t, b
    gc.collect()
    a[0] = 1.5
    assert a.tolist() == [1.5, 1, 2]


@pytest.mark.parametrize("kwargs, expected", [
    ({"dt": 65535}, (65535, 3, 1)),
    ({"dt": 0, "ntr": -1}, (0, 3, -1)),
    ({"ntr": 2**31 - 1}, (4000, 3, 2**31 - 1)),
])
def test_properties_read_the_header(kwargs, expected):
    t = trace(3, **kwargs)
    assert (t.dt, t.ns, t.ntr) == expected


@pytest.mark.parametrize("name", ["dt", "ns", "ntr"])
def test_properties_cannot_be_assigned(name):
    t = trace(3)
    with pytest.raises(AttributeError):
        setattr(t, name, 1)
    with pytest.raises(AttributeError):
        delattr(t, name)



@pytest.mark.parametrize("consumer", [
    lambda t, n: np.asarray(t),
    lambda t, n: np.asarray(memoryview(t)),
    lambda t, n: np.ctypeslib.as_array((ctypes.c_float * n).from_buffer(t)),
], ids=["numpy", "memoryview", "ctypes"])
def test_an_export_keeps_its_memory_until_released_when_the_trace_is_reinitialised(consumer):
    t = SEGYTrace(list(range(1000)), 4000)     # samples that only the trace holds
    view = consumer(t, 1000)
    t.__init__([2.0], 1)
    reuse = [np.full(1000, -1, np.float32) for _ in range(4)]
    assert view.shape == (1000,) and view.tolist() == list(range(1000)) and reuse

    source = np.zeros(5, np.float32)
    u = SEGYTrace(source, 1)
    before = sys.getrefcount(source)
    view = consumer(u, 5)
    u.__init__([2.0], 1)
    assert sys.getrefcount(source) == before   # still held, through the export
    del view
    assert sys.getrefcount(source) == before - 1
