# cython: language_level=3
"""A Cython client of vondrel.segy, built by the tests the way another
project would build it: against the installed segy.pxd.  It offers the
same functions as the C client (tests/clients/segy_c_client.c), so that
both are held to the same cases."""
import os

from libc.stdint cimport uint16_t
from libc.stdio cimport FILE, SEEK_SET, fclose, fopen, fseek, ftell
from libc.stdlib cimport free, malloc
from libc.string cimport memcpy, memset

from vondrel.segy cimport BaseTraceIterator, SEGY, SEGYTrace, copy_of, del_trace, new_trace, segy

cdef enum:
    HEADER_SIZE = 240


cdef bytes header_bytes(const segy *t):
    return (<const char *>t)[:HEADER_SIZE]


cdef bytes sample_bytes(const segy *t):
    if t.data == NULL:
        return b""
    return (<const char *>t.data)[:t.ns * 4]


cdef uint16_t header_ns(bytes header) except? 0:
    """The ns a 240-byte header announces."""
    cdef segy h
    if len(header) != HEADER_SIZE:
        raise ValueError("a header is 240 bytes")
    memcpy(&h, <const char *>header, HEADER_SIZE)
    return h.ns


cdef segy *record_from(bytes header, bytes samples) except NULL:
    """A record from new_trace holding header and samples; the caller frees
    it with del_trace(t, 1)."""
    cdef uint16_t ns = header_ns(header)
    if len(samples) != ns * 4:
        raise ValueError("the samples must be the ns floats the header announces")
    cdef segy *t = new_trace(ns)
    if t == NULL:
        raise MemoryError()
    memcpy(t, <const char *>header, HEADER_SIZE)
    if t.data != NULL:
        memcpy(t.data, <const char *>samples, len(samples))
    return t


cdef FILE *open_stream(path, mode) except NULL:
    cdef bytes name = os.fsencode(path)
    cdef bytes how = mode.encode()
    cdef FILE *fp = fopen(name, how)
    if fp == NULL:
        raise OSError(f"cannot open {path}")
    return fp


def make_record(int ns):
    """(header bytes, has samples) of new_trace(ns); every sample the buffer
    is said to hold is written before it is released."""
    cdef segy *t = new_trace(ns)
    if t == NULL:
        raise MemoryError()
    try:
        if t.data != NULL:
            memset(t.data, 0x5a, t.ns * 4)
        return header_bytes(t), t.data != NULL
    finally:
        del_trace(t, 1)


def copy_record(bytes header not None, bytes samples not None, bint with_block):
    """(header, samples) of a copy_of the record, read after the source was
    overwritten and released."""
    cdef segy *src = record_from(header, samples)
    cdef segy *copy = copy_of(src, 0) if with_block else copy_of(src)
    memset(src, 0xff, HEADER_SIZE)
    if src.data != NULL:
        memset(src.data, 0xff, 4)
    del_trace(src, 1)
    if copy == NULL:
        raise MemoryError()
    try:
        return header_bytes(copy), sample_bytes(copy)
    finally:
        del_trace(copy, 1)


def release_keeping_samples(int ns):
    """The samples, read after del_trace(t, 0) released the record alone; the
    client then frees the buffer itself."""
    cdef segy *t = new_trace(ns)
    if t == NULL:
        raise MemoryError()
    cdef int i
    for i in range(t.ns):
        t.data[i] = i + 0.5
    cdef float *data = t.data
    del_trace(t, 0)
    try:
        return (<const char *>data)[:ns * 4]
    finally:
        free(data)


def wrap(bytes header not None, bytes samples not None, flags):
    """(same record, trace_owner, trace_data_owner, ns, header, samples seen
    through memoryview) of a SEGYTrace that from_trace made of a record from
    new_trace with a sample buffer from malloc.  flags is None or (n,
    trace_owner, trace_data_owner): n optional arguments are passed.  The
    client frees whatever the trace's flags left to it."""
    cdef uint16_t ns = header_ns(header)
    if len(samples) != 0 and len(samples) != ns * 4:
        raise ValueError("a 240-byte header, then no samples or the ns it announces")
    cdef int n = 0, owner = 0, data_owner = 0
    if flags is not None:
        n, owner, data_owner = flags
    cdef segy *record = new_trace(0)
    if record == NULL:
        raise MemoryError()
    cdef float *data = NULL
    if len(samples):
        data = <float *>malloc(len(samples))
        if data == NULL:
            del_trace(record, 1)
            raise MemoryError()
        memcpy(data, <const char *>samples, len(samples))
    memcpy(record, <const char *>header, HEADER_SIZE)
    record.data = data
    cdef SEGYTrace trace
    try:
        if n >= 2:
            trace = SEGYTrace.from_trace(record, owner, data_owner)
        elif n == 1:
            trace = SEGYTrace.from_trace(record, owner)
        else:
            trace = SEGYTrace.from_trace(record)
    except BaseException:
        del_trace(record, 1)
        raise
    owner = trace.trace_owner
    data_owner = trace.trace_data_owner
    try:
        return (trace.trace == record, owner, data_owner, trace.trace.ns, header_bytes(trace.trace),
                memoryview(trace).tobytes())
    finally:
        trace = None
        if not owner:
            del_trace(record, 1)
        elif not data_owner:
            free(data)


def trace_fields(SEGYTrace trace not None):
    """(header bytes or None, trace_owner, trace_data_owner), read straight
    from the instance."""
    header = None if trace.trace == NULL else header_bytes(trace.trace)
    return header, trace.trace_owner, trace.trace_data_owner


def read_trace(path, long offset):
    """(trace or the exception raised, stream position after the read), on a
    stream the client opens and closes."""
    cdef FILE *fp = open_stream(path, "rb")
    try:
        fseek(fp, offset, SEEK_SET)
        try:
            got = SEGYTrace.from_file_descriptor(fp)
        except Exception as error:
            got = error
        return got, ftell(fp)
    finally:
        fclose(fp)


def write_trace(SEGYTrace trace not None, path, mode):
    """The stream position after writing the trace on a stream the client
    opens with `mode` and closes."""
    cdef FILE *fp = open_stream(path, mode)
    try:
        written = trace.to_file_descriptor(fp)
        if written is not None:
            raise AssertionError("to_file_descriptor returned something other than None")
        return ftell(fp)
    finally:
        fclose(fp)


def collection_of(BaseTraceIterator iterator not None):
    """A SEGY standing for the iterator, from SEGY's native operation."""
    return SEGY.from_trace_iterator(iterator)


cdef class CountingIterator(BaseTraceIterator):
    """CountingIterator(n_traces, ns, fail_at=-1): hands out n_traces new
    traces of ns samples; trace i has tracl i + 1, dt 1000 and samples
    100 * i + k.  Step fail_at raises RuntimeError instead."""
    cdef int ns
    cdef int fail_at

    def __cinit__(self, int n_traces, int ns, int fail_at=-1):
        self.n_traces = n_traces
        self.ns = ns
        self.fail_at = fail_at

    cdef SEGYTrace next_trace(self):
        if self.index == self.n_traces:
            raise StopIteration
        if self.index == self.fail_at:
            raise RuntimeError(f"trace {self.index} cannot be made")
        cdef segy *t = new_trace(self.ns)
        if t == NULL:
            raise MemoryError()
        t.tracl = self.index + 1
        t.dt = 1000
        cdef int k
        for k in range(t.ns):
            t.data[k] = 100 * self.index + k
        cdef SEGYTrace trace
        try:
            trace = SEGYTrace.from_trace(t, 1, 1)
        except BaseException:
            del_trace(t, 1)
            raise
        self.index += 1
        return trace
