"""A C11 client and a C++17 client built against the installed segy_api.h
with the compiler and flags of sysconfig, warnings as errors."""
import ctypes
import re
import sys
import types
from pathlib import Path

import numpy as np
import pytest

import vondrel
import vondrel.segy
from client_cases import *  # noqa: F401,F403  (the cases every client is held to)
from clientbuild import CLIENTS, STRICT, build_extension, load, site_packages


@pytest.fixture(scope="module")
def client(tmp_path_factory):
    out = tmp_path_factory.mktemp("c_client")
    target = build_extension("segy_c_client", CLIENTS / "segy_c_client.c", out, flags=["-std=c11", *STRICT])
    return load("segy_c_client", target)


def test_get_include_is_the_installed_package_holding_the_header():
    include = Path(vondrel.get_include())
    assert include == Path(site_packages()) / "vondrel"
    assert (include / "segy_api.h").is_file()


def test_header_serves_a_cxx17_client(tmp_path):
    target = build_extension("segy_cxx_client", CLIENTS / "segy_cxx_client.cpp", tmp_path, cxx=True,
                             flags=["-std=c++17", *STRICT])
    trace = load("segy_cxx_client", target).copied_trace(4)
    assert (trace.ns, trace.ntr) == (4, 5)
    assert np.asarray(trace).tolist() == [0.0, 0.25, 0.5, 0.75]


_capsule_new = ctypes.pythonapi.PyCapsule_New
_capsule_new.restype = ctypes.py_object
_capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
_capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_capsule_pointer.restype = ctypes.c_void_p
_capsule_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
# Capsule names are borrowed: this one lives as long as the module.
OTHER_SIGNATURE = b"void (segy *, long)"


def capi_without(name):
    return {k: v for k, v in vondrel.segy.__pyx_capi__.items() if k != name}


def capi_with_del_trace_renamed():
    capi = dict(vondrel.segy.__pyx_capi__)
    address = _capsule_pointer(capi["del_trace"], b"void (segy *, int)")
    capi["del_trace"] = _capsule_new(address, OTHER_SIGNATURE, None)
    return capi


class Larger(vondrel.segy.BaseTraceIterator):
    """Instances carry one more field than the header lays out."""
    __slots__ = ("extra",)


class Plain(vondrel.segy.BaseTraceIterator):
    """The header's size, but no native operation table of its own."""


@pytest.mark.parametrize("name, value, error, message", [
    ("__pyx_capi__", lambda: capi_without("copy_of"), ImportError,
     "vondrel.segy does not export expected C function copy_of"),
    ("__pyx_capi__", capi_with_del_trace_renamed, TypeError,
     "C function vondrel.segy.del_trace has wrong signature (expected void (segy *, int), got void (segy *, long))"),
    ("__pyx_capi__", lambda: None, AttributeError, "module 'vondrel.segy' has no attribute '__pyx_capi__'"),
    ("SEGY", lambda: len, TypeError, "vondrel.segy.SEGY is not a class."),
    ("BaseTraceIterator", lambda: Larger, ImportError,
     "vondrel.segy.BaseTraceIterator has instances of 40 bytes, expected 32."),
    ("BaseTraceIterator", lambda: Plain, ImportError,
     "vondrel.segy.BaseTraceIterator has no native operation table."),
])
def test_import_refuses_a_module_that_does_not_match(client, monkeypatch, name, value, error, message):
    # A stand-in under the module's name, so the module itself stays untouched.
    stand_in = types.ModuleType("vondrel.segy")
    vars(stand_in).update({k: v for k, v in vars(vondrel.segy).items() if k != "__name__"})
    replacement = value()
    if replacement is None:
        delattr(stand_in, name)
    else:
        setattr(stand_in, name, replacement)
    monkeypatch.setitem(sys.modules, "vondrel.segy", stand_in)
    with pytest.raises(error, match=rf"^{re.escape(message)}$"):
        client.reimport()
    monkeypatch.undo()
    # A refused import keeps what the last good one took.
    assert [t.ns for t in client.CountingIterator(2, 3)] == [3, 3]
    assert client.reimport() is None


def test_readme_example_builds_and_runs(tmp_path):
    readme = (Path(__file__).resolve().parent.parent / "README.md").read_text()
    source = re.search(r"```c\n(.*?)```", readme, re.S).group(1)
    (tmp_path / "myclient.c").write_text(source)
    ramp = load("myclient", build_extension("myclient", tmp_path / "myclient.c", tmp_path,
                                            flags=["-std=c11", *STRICT])).ramp
    trace = ramp(5)
    assert np.asarray(trace).tolist() == [0.0, 1.0, 2.0, 3.0, 4.0]
    with pytest.raises(ValueError, match=r"^Invalid shape in axis 0: 0\.$"):
        ramp(0)
