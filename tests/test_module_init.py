"""What importing vondrel.segy sets up: one module per process, the published
record operations, the five classes, the module bindings and the import of
the file-handle bridge."""
import contextlib
import copy
import ctypes
import importlib
import io
import json
import os
import pickle
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import vondrel.segy as segy
from conftest import build_native, compiler_env

CLASSES = ["SEGYTrace", "SEGY", "BaseTraceIterator", "_MemoryTraceIterator", "_FileTraceIterator"]
CAPI = {
    "new_trace": "segy *(int)",
    "copy_of": "segy *(segy *, struct __pyx_opt_args_7vondrel_4segy_copy_of *__pyx_optional_args)",
    "del_trace": "void (segy *, int)",
}
SIG_DUP = "__pyx_ctuple_FILE__ptr__and_7vondrel_3_io_vdl_off_t (PyObject *, char *)"
SIG_DUP_CLOSE = "int (PyObject *, FILE *, vdl_off_t)"
PICKLE_REFUSED = r"^no default __reduce__ due to non-trivial __cinit__$"

capsule_name = ctypes.pythonapi.PyCapsule_GetName
capsule_name.restype = ctypes.c_char_p
capsule_name.argtypes = [ctypes.py_object]
capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
capsule_pointer.restype = ctypes.c_void_p
capsule_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


def run_python(script, env=None):
    """Runs `script` in a fresh interpreter; returns the JSON it prints last."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True,
                          text=True, env=env, check=False)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


def test_reimport_after_removal_returns_the_same_module_and_classes():
    classes = [getattr(segy, name) for name in CLASSES]
    capi = segy.__pyx_capi__
    del sys.modules["vondrel.segy"]
    try:
        again = importlib.import_module("vondrel.segy")
    finally:
        sys.modules["vondrel.segy"] = segy
    assert again is segy
    assert [getattr(again, name) for name in CLASSES] == classes
    assert again.__pyx_capi__ is capi


def test_legacy_subinterpreter_is_refused():
    interpreters = pytest.importorskip("_interpreters")
    interp = interpreters.create("legacy")
    try:
        failures = [interpreters.exec(interp, "import vondrel.segy") for _ in range(2)]
    finally:
        interpreters.destroy(interp)
    for failure in failures:
        assert failure.type.__name__ == "ImportError"
        assert failure.msg == ("Interpreter change detected - this module can only be loaded "
                               "into one interpreter per process.")


def test_execution_on_another_module_object_is_refused():
    client = build_native("segy_client")
    with pytest.raises(RuntimeError, match=r"^Module 'segy' has already been imported\. "
                                           r"Re-initialisation is not supported\.$"):
        client.exec_on_new_module()


def test_capi_publishes_the_three_record_operations_in_order():
    assert list(segy.__pyx_capi__) == list(CAPI)
    assert {name: capsule_name(c).decode() for name, c in segy.__pyx_capi__.items()} == CAPI


@pytest.mark.parametrize("module, entry", [("segy", "PyInit_segy"), ("_io", "PyInit__io")])
def test_entry_point_is_the_only_exported_symbol(module, entry):
    path = importlib.import_module(f"vondrel.{module}").__file__
    listing = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True,
                             check=True, env=compiler_env()).stdout
    assert [line.split()[-1] for line in listing.splitlines() if line.strip()] == [entry]


def test_module_namespace_order_after_capi():
    names = list(vars(segy))
    assert names[names.index("__pyx_capi__"):] == [
        "__pyx_capi__", *CLASSES, "io", "os", "nullcontext", "np", "_isfileobject", "__test__"]


def test_module_bindings():
    assert segy.io is io
    assert segy.os is os
    assert segy.nullcontext is contextlib.nullcontext
    assert segy.np is np
    assert segy.__test__ == {}
    assert segy._isfileobject.__name__ == "_isfileobject"
    assert segy._isfileobject.__doc__ == "_isfileobject(f)"


def test_module_attributes_come_from_the_import_spec():
    # A re-import hands the same module a new import spec, so compare with what any
    # import spec of the module holds rather than with the current one.
    assert segy.__name__ == "vondrel.segy"
    assert type(segy.__loader__).__name__ == "ExtensionFileLoader"
    assert (segy.__loader__.name, segy.__loader__.path) == ("vondrel.segy", segy.__spec__.origin)
    assert segy.__file__ == segy.__spec__.origin
    assert segy.__package__ == "vondrel"
    assert not hasattr(segy, "__path__")
    assert segy.__doc__ is None


@pytest.mark.parametrize(
    "name, base, subclassable, gc, basicsize, doc",
    [
        ("SEGYTrace", object, False, False, 248, None),
        ("SEGY", object, True, True, 56, "SEGY(trace_data, dt, **kwargs)"),
        ("BaseTraceIterator", object, True, False, 32, None),
        ("_MemoryTraceIterator", "BaseTraceIterator", True, True, 40, "_MemoryTraceIterator(list traces)"),
        ("_FileTraceIterator", "BaseTraceIterator", True, True, 64,
         "_FileTraceIterator(file, int n_traces)"),
    ],
)
def test_class_registration(name, base, subclassable, gc, basicsize, doc):
    cls = getattr(segy, name)
    assert cls.__module__ == "vondrel.segy" and cls.__qualname__ == name
    assert cls.__bases__ == (getattr(segy, base) if isinstance(base, str) else base,)
    assert bool(cls.__flags__ & (1 << 14)) is gc
    assert cls.__basicsize__ == basicsize
    vtable = cls.__dict__["__pyx_vtable__"]
    assert type(vtable).__name__ == "PyCapsule"
    assert capsule_name(vtable) is None
    if doc is not None or name == "BaseTraceIterator":
        assert cls.__doc__ == doc
    if subclassable:
        assert issubclass(type("Sub", (cls,), {}), cls)
    else:
        with pytest.raises(TypeError, match=rf"^type '{re.escape(cls.__module__ + '.' + name)}' "
                                            r"is not an acceptable base type$"):
            type("Sub", (cls,), {})


def test_every_class_has_its_own_operation_table():
    tables = {capsule_pointer(getattr(segy, name).__dict__["__pyx_vtable__"], None)
              for name in CLASSES}
    assert len(tables) == len(CLASSES)


def test_from_file_is_a_class_method():
    assert segy.SEGY.from_file.__self__ is segy.SEGY
    assert segy.SEGY.from_file.__doc__ == "SEGY.from_file(cls, filename)"


@pytest.mark.parametrize("name", CLASSES)
@pytest.mark.parametrize("how", [pickle.dumps, copy.copy])
def test_instances_cannot_be_pickled(name, how):
    cls = getattr(segy, name)
    with pytest.raises(TypeError, match=PICKLE_REFUSED):
        how(cls.__new__(cls))


@pytest.mark.parametrize("name", CLASSES)
def test_setstate_is_refused(name):
    cls = getattr(segy, name)
    with pytest.raises(TypeError, match=PICKLE_REFUSED):
        cls.__new__(cls).__setstate__({})


# In a fresh interpreter: replace vondrel._io by a stand-in, try the import,
# then put the real sibling back and import again.
BRIDGE_SCRIPT = """
import datetime, json, sys, traceback, types
import vondrel._io as real
capi = dict(real.__pyx_capi__)
stand_in = types.ModuleType("vondrel._io")
{setup}
sys.modules["vondrel._io"] = stand_in
try:
    import vondrel.segy
    failure = None
except BaseException as e:
    failure = [type(e).__name__, str(e), [f.name for f in traceback.extract_tb(e.__traceback__)]]
left_behind = "vondrel.segy" in sys.modules
sys.modules["vondrel._io"] = real
import vondrel.segy
print(json.dumps([failure, left_behind, vondrel.segy.SEGY.__name__, vondrel.segy.np.__name__]))
"""


@pytest.mark.parametrize(
    "setup, error, message",
    [
        ("del capi['PyFile_Dup']\nstand_in.__pyx_capi__ = capi",
         "ImportError", "vondrel._io does not export expected C function PyFile_Dup"),
        ("del capi['PyFile_DupClose']\nstand_in.__pyx_capi__ = capi",
         "ImportError", "vondrel._io does not export expected C function PyFile_DupClose"),
        ("capi['PyFile_Dup'] = datetime.datetime_CAPI\nstand_in.__pyx_capi__ = capi",
         "TypeError", f"C function vondrel._io.PyFile_Dup has wrong signature "
                      f"(expected {SIG_DUP}, got datetime.datetime_CAPI)"),
        ("capi['PyFile_DupClose'] = capi['PyFile_Dup']\nstand_in.__pyx_capi__ = capi",
         "TypeError", f"C function vondrel._io.PyFile_DupClose has wrong signature "
                      f"(expected {SIG_DUP_CLOSE}, got {SIG_DUP})"),
        ("pass", "AttributeError", "module 'vondrel._io' has no attribute '__pyx_capi__'"),
        ("stand_in = None", "ModuleNotFoundError", "import of vondrel._io halted; None in sys.modules"),
    ],
)
def test_bridge_import_failure_is_reported_and_a_retry_succeeds(setup, error, message):
    failure, left_behind, retried, numpy_name = run_python(BRIDGE_SCRIPT.format(setup=setup))
    assert failure[:2] == [error, message]
    assert failure[2][-1] == "init vondrel.segy"
    assert not left_behind
    assert (retried, numpy_name) == ("SEGY", "numpy")


def test_import_without_numpy_fails_with_numpys_error(tmp_path):
    (tmp_path / "numpy.py").write_text("raise ImportError('numpy is not available here')\n")
    script = """
    import json, sys, traceback
    try:
        import vondrel.segy
    except ImportError as e:
        print(json.dumps([type(e).__name__, str(e),
                          [f.name for f in traceback.extract_tb(e.__traceback__)],
                          "vondrel.segy" in sys.modules]))
    """
    env = dict(os.environ, PYTHONPATH=str(tmp_path))
    name, message, frames, left_behind = run_python(script, env)
    assert (name, message) == ("ImportError", "numpy is not available here")
    assert "init vondrel.segy" in frames
    assert not left_behind
