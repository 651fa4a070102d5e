"""Every callable that takes arguments checks a bad call in one order: too many
positionals, then the first missing required parameter, then the first refused
keyword in call order."""
import numpy as np
import pytest

from vondrel.segy import SEGY, SEGYTrace, _FileTraceIterator, _isfileobject, _MemoryTraceIterator

ROWS = np.zeros((1, 2), np.float32)

# (label, call(*args, **kwargs), message name, required, most positionals, first parameter,
#  whether unknown keywords are refused)
CALLABLES = [
    ("SEGYTrace", SEGYTrace, "__init__", 2, 80, "data", True),
    ("SEGYTrace.__init__", lambda *a, **k: SEGYTrace(ROWS[0], 1).__init__(*a, **k), "__init__", 2, 80, "data", True),
    ("SEGY", SEGY, "__init__", 2, 2, "trace_data", False),
    ("_MemoryTraceIterator", _MemoryTraceIterator, "__init__", 1, 1, "traces", True),
    ("_FileTraceIterator", _FileTraceIterator, "__init__", 2, 2, "file", True),
    ("_isfileobject", _isfileobject, "_isfileobject", 1, 1, "f", True),
    ("SEGY.from_file", SEGY.from_file, "from_file", 1, 1, "filename", True),
    ("SEGY.to_file", lambda *a, **k: SEGY(ROWS, 1).to_file(*a, **k), "to_file", 1, 1, "filename", True),
    ("SEGY.to_stream", lambda *a, **k: SEGY(ROWS, 1).to_stream(*a, **k), "to_stream", 1, 1, "stream", True),
    ("BaseTraceIterator.to_file", lambda *a, **k: _MemoryTraceIterator([]).to_file(*a, **k),
     "to_file", 1, 1, "filename", True),
    ("BaseTraceIterator.to_stream", lambda *a, **k: _MemoryTraceIterator([]).to_stream(*a, **k),
     "to_stream", 1, 1, "stream", True),
]


def counted(name, required, most, given):
    bound = "exactly" if required == most else "at least" if given < required else "at most"
    expected = required if given < required else most
    return f"{name}() takes {bound} {expected} positional argument{'' if expected == 1 else 's'} ({given} given)"


def cases():
    for label, call, name, required, most, first, refuses in CALLABLES:
        yield pytest.param(call, [None] * (most + 1), {"bogus": 1},
                           counted(name, required, most, most + 1), id=f"{label}-too-many-first")
        yield pytest.param(call, [None] * (required - 1), {"bogus": 1},
                           counted(name, required, most, required - 1), id=f"{label}-missing-before-keyword")
        yield pytest.param(call, [None] * required, {first: None, "bogus": 1},
                           f"{name}() got multiple values for keyword argument '{first}'", id=f"{label}-repeated")
        if refuses:
            yield pytest.param(call, [None] * required, {"bogus": 1, first: None},
                               f"{name}() got an unexpected keyword argument 'bogus'", id=f"{label}-unexpected")


@pytest.mark.parametrize("call, args, kwargs, message", cases())
def test_bad_calls_report_in_one_order(call, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        call(*args, **kwargs)
    assert str(info.value) == message
