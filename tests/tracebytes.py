"""Reads a trace's record straight from memory, through the published
instance layout (object header, operation table, then `segy *trace`)."""
import ctypes

RECORD_POINTER_OFFSET = 24


def record_address(trace):
    return ctypes.c_void_p.from_address(id(trace) + RECORD_POINTER_OFFSET).value


def header_of(trace):
    """The 240 header bytes of the trace's record."""
    address = record_address(trace)
    assert address, "trace holds no record"
    return ctypes.string_at(address, 240)


def ownership_of(trace):
    """(trace_owner, trace_data_owner) of a trace."""
    base = id(trace) + RECORD_POINTER_OFFSET + 8
    return ctypes.c_int.from_address(base).value, ctypes.c_int.from_address(base + 4).value
