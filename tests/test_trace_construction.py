import ctypes
import gc
import sys
import weakref

import numpy as np
import pytest
from segyfiles import HEADER_FIELDS, parse_header
from tracebytes import header_of, ownership_of, record_address

from vondrel.segy import SEGYTrace

KEYWORDS = [name for name, _ in HEADER_FIELDS if name not in ("ns", "dt")]
CODES = dict(HEADER_FIELDS)
DEFAULTS = dict.fromkeys(KEYWORDS, 0) | {
    "ntr": 1, "duse": 2, "muts": -1, "mute": -1, "styp": 3, "sfe": 120, "year": 1970,
    "slen": 10000, "stae": 10000, "d1": 1.0, "d2": 1.0, "unscale": 1.0,
} | dict.fromkeys(["nvs", "nhs", "scalel", "scalco", "counit", "wevel", "swevel", "gain", "igc",
                   "igi", "corr", "sfs", "tatyp", "afils", "nofils", "lcs", "hcs"], 1)


def samples(n=5):
    return np.arange(1, n + 1, dtype=np.float32)


def fields(trace):
    return parse_header(header_of(trace))


def test_defaults_fill_every_header_field():
    h = fields(SEGYTrace(samples(), 4000))
    assert h == DEFAULTS | {"ns": 5, "dt": 4000, "unassigned": bytes(28)}


def test_type_docstring_is_the_signature_with_every_keyword():
    type_names = {"i": "int", "h": "short", "f": "float"}
    entries = ", ".join(f"{type_names[CODES[k]]} {k}={int(DEFAULTS[k])}" for k in KEYWORDS)
    assert SEGYTrace.__doc__ == f"SEGYTrace(data, unsigned short dt, {entries})"


@pytest.mark.parametrize("name", KEYWORDS)
def test_each_keyword_lands_in_its_own_field_only(name):
    value = 2.5 if CODES[name] == "f" else -7
    h = fields(SEGYTrace(samples(), 1, **{name: value}))
    assert h == DEFAULTS | {"ns": 5, "dt": 1, name: value, "unassigned": bytes(28)}


def test_positional_arguments_follow_the_parameter_order():
    values = [float(i) if CODES[k] == "f" else i for i, k in enumerate(KEYWORDS, start=3)]
    h = fields(SEGYTrace(samples(), 9, *values))
    assert [h[k] for k in KEYWORDS] == values and h["dt"] == 9


@pytest.mark.parametrize("kwargs, field, stored", [
    ({"offset": 40000}, "offset", 40000),
    ({"tracl": -2**31}, "tracl", -2**31),
    ({"tracl": 2**31 - 1}, "tracl", 2**31 - 1),
    ({"scalel": -32768}, "scalel", -32768),
    ({"trid": 2.9}, "trid", 2),
    ({"trid": -2.9}, "trid", -2),
    ({"trid": True}, "trid", 1),
    ({"cdp": np.int64(12)}, "cdp", 12),
    ({"d1": 1e40}, "d1", float("inf")),
    ({"d1": -1e40}, "d1", float("-inf")),
    ({"f1": 0.1}, "f1", float(np.float32(0.1))),
    ({"unscale": 3}, "unscale", 3.0),
    ({"dt": 65535}, "dt", 65535),
    ({"dt": 0}, "dt", 0),
])
def test_keyword_values_are_converted(kwargs, field, stored):
    kwargs = {"dt": 1} | kwargs
    assert fields(SEGYTrace(samples(), **kwargs))[field] == stored


@pytest.mark.parametrize("kwargs, error, message", [
    ({"dt": 65536}, OverflowError, "value too large to convert to unsigned short"),
    ({"dt": -1}, OverflowError, "can't convert negative value to unsigned short"),
    ({"dt": 2**80}, OverflowError, "value too large to convert to unsigned short"),
    ({"dt": -2**80}, OverflowError, "can't convert negative value to unsigned short"),
    ({"dt": "1"}, TypeError, "an integer is required"),
    ({"dt": None}, TypeError, "an integer is required"),
    ({"scalel": 40000}, OverflowError, "value too large to convert to short"),
    ({"scalel": -32769}, OverflowError, "value too large to convert to short"),
    ({"scalel": 2**70}, OverflowError, "value too large to convert to short"),
    ({"offset": 2**31}, OverflowError, "value too large to convert to int"),
    ({"offset": -2**31 - 1}, OverflowError, "value too large to convert to int"),
    ({"trid": "2"}, TypeError, "an integer is required"),
    ({"cdp": 1j}, TypeError, "an integer is required"),
])
def test_bad_keyword_values_raise(kwargs, error, message):
    kwargs = {"dt": 1} | kwargs
    with pytest.raises(error, match=f"^{message}$"):
        SEGYTrace(samples(), **kwargs)


def test_float_keyword_refuses_text():
    with pytest.raises(TypeError):
        SEGYTrace(samples(), 1, d1="x")


def test_first_bad_argument_in_parameter_order_wins():
    with pytest.raises(OverflowError, match="short"):
        SEGYTrace(samples(), 1, offset=2**40, trid=2**20)
    with pytest.raises(OverflowError, match="int"):
        SEGYTrace(samples(), 1, scalel=2**20, offset=2**40)


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "__init__() takes at least 2 positional arguments (0 given)"),
    ((samples(),), {}, "__init__() takes at least 2 positional arguments (1 given)"),
    ((), {"dt": 1}, "__init__() takes at least 2 positional arguments (0 given)"),
    ((), {"data": samples()}, "__init__() takes at least 2 positional arguments (1 given)"),
    ((samples(),), {"bogus": 1}, "__init__() takes at least 2 positional arguments (1 given)"),
    ((), {"bogus": 1, "dt": 1}, "__init__() takes at least 2 positional arguments (0 given)"),
    ((samples(), 1, *[0] * 79), {}, "__init__() takes at most 80 positional arguments (81 given)"),
    ((samples(), 1), {"ns": 3}, "__init__() got an unexpected keyword argument 'ns'"),
    ((samples(), 1), {"bogus": 3}, "__init__() got an unexpected keyword argument 'bogus'"),
    ((samples(),), {"data": 1, "dt": 1}, "__init__() got multiple values for keyword argument 'data'"),
    ((samples(), 1, 5), {"tracl": 5}, "__init__() got multiple values for keyword argument 'tracl'"),
])
def test_argument_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        SEGYTrace(*args, **kwargs)
    assert str(info.value) == message


def test_all_eighty_arguments_by_keyword():
    kwargs = {k: 1 for k in KEYWORDS} | {"data": samples(), "dt": 3}
    assert fields(SEGYTrace(**kwargs))["shortpad"] == 1


def test_float32_c_array_is_shared_not_copied():
    a = samples()
    t = SEGYTrace(a, 4000)
    assert np.shares_memory(np.asarray(t), a)
    a[0] = 42
    assert np.asarray(t)[0] == 42
    assert ownership_of(t) == (1, 0)


def test_unaligned_float32_array_is_shared_not_copied():
    a = np.frombuffer(bytearray(17), np.float32, count=4, offset=1)
    t = SEGYTrace(a, 1)
    a[:] = [1, 2, 3, 4]
    assert np.asarray(t).tolist() == [1, 2, 3, 4] and t.ns == 4


@pytest.mark.parametrize("make", [
    lambda: [1.0, 2.0, 3.0],
    lambda: np.array([1.0, 2.0, 3.0]),
    lambda: np.array([1, 2, 3], dtype=np.int16),
    lambda: np.arange(1, 7, dtype=np.float32)[::2],
    lambda: np.array([1, 2, 3], dtype=">f4"),
    lambda: range(1, 4),
])
def test_other_inputs_are_converted_into_a_private_array(make):
    data = make()
    t = SEGYTrace(data, 1)
    view = np.asarray(t)
    assert t.ns == len(view) == 3
    if isinstance(data, np.ndarray):
        assert not np.shares_memory(view, data)
        data[...] = 0
    assert view.dtype == np.float32 and view[0] != 0


@pytest.mark.parametrize("data, error, message", [
    (np.zeros((2, 3), np.float32), ValueError, r"Buffer has wrong number of dimensions \(expected 1, got 2\)"),
    (np.float32(3), ValueError, r"Buffer has wrong number of dimensions \(expected 1, got 0\)"),
    (np.zeros(0, np.float32), IndexError, r"Out of bounds on buffer access \(axis 0\)"),
    ([], IndexError, r"Out of bounds on buffer access \(axis 0\)"),
    (np.zeros(65536, np.float32), ValueError, r"Trace data has more than 65535 samples\."),
    (np.zeros(70000, np.float32), ValueError, r"Trace data has more than 65535 samples\."),
])
def test_unusable_sample_data_is_refused(data, error, message):
    with pytest.raises(error, match=f"^{message}$"):
        SEGYTrace(data, 1)


def test_numpy_conversion_errors_propagate():
    with pytest.raises(ValueError):
        SEGYTrace(["a", "b"], 1)


def test_read_only_float32_array_is_refused_by_its_buffer_export():
    a = samples()
    a.flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):
        SEGYTrace(a, 1)


def test_largest_trace_keeps_its_length():
    assert SEGYTrace(np.zeros(65535, np.float32), 1).ns == 65535


def test_failed_construction_keeps_no_reference_to_the_data():
    a = np.zeros((2, 3), np.float32)
    before = sys.getrefcount(a)
    for _ in range(10):
        with pytest.raises(ValueError):
            SEGYTrace(a, 1)
    assert sys.getrefcount(a) == before


def test_trace_holds_its_array_until_destroyed():
    a = samples()
    before = sys.getrefcount(a)
    t = SEGYTrace(a, 1)
    assert sys.getrefcount(a) > before
    del t
    gc.collect()
    assert sys.getrefcount(a) == before


def test_init_again_replaces_record_and_releases_old_samples():
    old, new = samples(3), samples(7)
    t = SEGYTrace(old, 1, fldr=4)
    before = sys.getrefcount(old)
    t.__init__(new, 2)
    assert (t.ns, t.dt, fields(t)["fldr"]) == (7, 2, 0)
    assert np.shares_memory(np.asarray(t), new)
    assert sys.getrefcount(old) == before - 1


@pytest.mark.parametrize("own", [
    lambda t: t,
    np.asarray,
    lambda t: np.asarray(t)[2:],
    lambda t: np.ctypeslib.as_array((ctypes.c_float * 60).from_address(record_address(t))),   # the header
], ids=["trace", "samples", "part", "record"])
def test_init_again_from_its_own_memory_copies_it_first(own):
    t = SEGYTrace(list(range(300)), 1)     # samples that only the trace holds
    data = own(t)
    expected = bytes(memoryview(data))
    t.__init__(data, 2000)
    del data
    assert (t.dt, bytes(memoryview(t))) == (2000, expected)
    assert sys.getrefcount(t) == 2         # holds no export of itself


@pytest.mark.parametrize("args", [
    (np.zeros(0, np.float32), 2),
    (np.zeros((2, 2), np.float32), 2),
    (samples(), -1),
    (samples(), 2, "x"),
])
def test_failed_init_again_leaves_the_trace_as_it_was(args):
    a = samples(4)
    t = SEGYTrace(a, 9, fldr=4)
    header = header_of(t)
    with pytest.raises((ValueError, IndexError, OverflowError, TypeError)):
        t.__init__(*args)
    assert header_of(t) == header
    assert np.shares_memory(np.asarray(t), a)


def test_new_alone_holds_no_record():
    t = SEGYTrace.__new__(SEGYTrace, "ignored", dt=5)
    for read in (lambda: t.ns, lambda: t.dt, lambda: t.ntr, lambda: memoryview(t), lambda: np.frombuffer(t, np.float32)):
        with pytest.raises(ValueError, match=r"^SEGYTrace holds no trace record\.$"):
            read()


def test_type_is_final_and_closed():
    with pytest.raises(TypeError):
        type("Sub", (SEGYTrace,), {})
    t = SEGYTrace(samples(), 1)
    with pytest.raises(AttributeError):
        t.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(t)
    assert not SEGYTrace.__flags__ & (1 << 14)    # not tracked by the collector
