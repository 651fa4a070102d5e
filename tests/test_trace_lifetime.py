"""Traces, their exports and the collections that write them, driven by a
state machine: traces are built and re-initialised from arrays, lists, other
traces and their own samples; views are taken through NumPy, memoryview,
ctypes and vondrel.header, written through and dropped; collections are
streamed to a target whose write() re-initialises a trace, written to a
file and read back.  Every live view must keep showing what was last
written into the memory it sees, and nothing may crash: under the
AddressSanitizer build a read of freed memory aborts the run.

VONDREL_LIFETIME_EXAMPLES=N sets the number of examples for a longer run."""
import ctypes
import os
import sys
import tempfile

import numpy as np
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule
from tracebytes import header_of

import vondrel
from vondrel.segy import SEGY, SEGYTrace, _MemoryTraceIterator

# A few seconds per variant: the sanitizer and the debug interpreter are
# several times slower than the release build.
SLOW = "asan" in os.environ.get("LD_PRELOAD", "") or hasattr(sys, "gettotalrefcount")
EXAMPLES = int(os.environ.get("VONDREL_LIFETIME_EXAMPLES") or (40 if SLOW else 100))
MAX_ITEMS = 6

# Small sample blocks come from NumPy's own cache of freed data; 300 samples
# come from the heap, where the sanitizer sees a read after release.
lengths = st.sampled_from([1, 2, 5, 300])
dts = st.integers(0, 65535)


def unaligned(values):
    """A writable float32 array holding `values` at an odd address."""
    a = np.frombuffer(bytearray(4 * len(values) + 1), np.float32, count=len(values), offset=1)
    a[:] = values
    return a


class Lifetimes(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.blocks = {}      # block id -> the float32 values its memory must hold
        self.traces = []      # [trace, block id, dt]
        self.views = []       # [float32 array seeing a block, block id]
        self.headers = []     # (header view of a trace, its bytes when taken)
        self.counter = 0

    def new_block(self, n):
        """A fresh block of n values that no other block holds."""
        self.counter += 1
        values = np.arange(n, dtype=np.float32) + 100 * self.counter
        self.blocks[self.counter] = values.copy()
        return self.counter, values

    def make_source(self, kind, n):
        """(data for the constructor, the block it shares or None for a copy)."""
        block, values = self.new_block(n)
        if kind == "list":
            del self.blocks[block]
            return values.tolist(), None
        data = values if kind == "array" else unaligned(values)
        self.views.append([data, block])
        return data, block

    def reinitialise(self, i, data, shared, dt):
        """t.__init__(data, dt) on trace i; `shared` is the block whose memory
        data is (None: a copy is made)."""
        entry = self.traces[i]
        if shared is None or shared == entry[1]:
            block, _ = self.new_block(0)
            self.blocks[block] = np.frombuffer(
                self.blocks[shared].tobytes() if shared is not None else np.asarray(data, np.float32).tobytes(),
                np.float32).copy()
            shared = block
        entry[0].__init__(data, dt)
        entry[1], entry[2] = shared, dt

    # ---- rules ----------------------------------------------------------

    @precondition(lambda self: len(self.traces) < MAX_ITEMS)
    @rule(kind=st.sampled_from(["list", "array", "unaligned"]), n=lengths, dt=dts)
    def build(self, kind, n, dt):
        data, block = self.make_source(kind, n)
        if block is None:
            block, _ = self.new_block(0)
            self.blocks[block] = np.asarray(data, np.float32)
        self.traces.append([SEGYTrace(data, dt), block, dt])

    @precondition(lambda self: len(self.traces) < MAX_ITEMS)
    @rule(rows=st.integers(1, 3), n=lengths, dt=dts, aligned=st.booleans())
    def build_collection(self, rows, n, dt, aligned):
        blocks = [self.new_block(n) for _ in range(rows)]
        a = np.stack([values for _, values in blocks])
        if not aligned:
            a = unaligned(a.ravel()).reshape(rows, n)
        for (block, _), row, t in zip(blocks, a, SEGY(a, dt)):
            self.traces.append([t, block, dt])
            self.views.append([row, block])

    @precondition(lambda self: self.traces)
    @rule(data=st.data(), kind=st.sampled_from(["list", "array", "unaligned"]), n=lengths, dt=dts)
    def reinit_from_new_data(self, data, kind, n, dt):
        i = data.draw(st.integers(0, len(self.traces) - 1))
        source, block = self.make_source(kind, n)
        self.reinitialise(i, source, block, dt)

    @precondition(lambda self: self.traces)
    @rule(data=st.data(), dt=dts, how=st.sampled_from(["trace", "asarray"]))
    def reinit_from_a_trace(self, data, dt, how):
        i = data.draw(st.integers(0, len(self.traces) - 1))
        j = data.draw(st.integers(0, len(self.traces) - 1))
        source = self.traces[j][0] if how == "trace" else np.asarray(self.traces[j][0])
        self.reinitialise(i, source, self.traces[j][1], dt)

    @precondition(lambda self: self.traces and self.views)
    @rule(data=st.data(), dt=dts)
    def reinit_from_a_view(self, data, dt):
        i = data.draw(st.integers(0, len(self.traces) - 1))
        view, block = data.draw(st.sampled_from(self.views))
        self.reinitialise(i, view, block, dt)

    @precondition(lambda self: self.traces and len(self.views) < 3 * MAX_ITEMS)
    @rule(data=st.data(), how=st.sampled_from(["asarray", "memoryview", "ctypes"]))
    def export(self, data, how):
        t, block, _ = data.draw(st.sampled_from(self.traces))
        if how == "asarray":
            view = np.asarray(t)
        elif how == "memoryview":
            view = np.asarray(memoryview(t))
        else:
            view = np.ctypeslib.as_array((ctypes.c_float * len(self.blocks[block])).from_buffer(t))
        self.views.append([view, block])

    @precondition(lambda self: self.traces and len(self.headers) < MAX_ITEMS)
    @rule(data=st.data())
    def view_a_header(self, data):
        t = data.draw(st.sampled_from(self.traces))[0]
        view = vondrel.header(t)
        self.headers.append((view, view.tobytes()))

    @precondition(lambda self: self.views)
    @rule(data=st.data(), value=st.integers(-1000, 1000))
    def write_through_a_view(self, data, value):
        view, block = data.draw(st.sampled_from(self.views))
        k = data.draw(st.integers(0, len(view) - 1))
        view[k] = value
        self.blocks[block][k] = value

    @precondition(lambda self: self.views)
    @rule(data=st.data())
    def drop_a_view(self, data):
        self.views.pop(data.draw(st.integers(0, len(self.views) - 1)))

    @precondition(lambda self: self.traces)
    @rule(data=st.data())
    def drop_a_trace(self, data):
        self.traces.pop(data.draw(st.integers(0, len(self.traces) - 1)))

    @precondition(lambda self: self.traces)
    @rule(data=st.data(), n=lengths, dt=dts)
    def stream_while_a_write_reinitialises(self, data, n, dt):
        chosen = data.draw(st.lists(st.integers(0, len(self.traces) - 1), min_size=1, max_size=4))
        at_call = data.draw(st.integers(0, 2 * len(chosen)))
        victim = data.draw(st.integers(0, len(self.traces) - 1))
        machine = self
        expected = [len(chosen).to_bytes(4, "little")]

        class Target:
            calls = 0
            chunks = []

            def write(self, b):
                if self.calls % 2:       # a header: the trace as it stands now is what must follow
                    t, block, _ = machine.traces[chosen[self.calls // 2]]
                    expected.append(header_of(t) + machine.blocks[block].tobytes())
                self.chunks.append(bytes(b))
                if self.calls == at_call:
                    source, block = machine.make_source("list", n)
                    machine.reinitialise(victim, source, block, dt)
                self.calls += 1

            def flush(self):
                pass

        target = Target()
        _MemoryTraceIterator([self.traces[i][0] for i in chosen]).to_stream(target)
        assert b"".join(target.chunks) == b"".join(expected)

    @precondition(lambda self: self.traces and len(self.traces) < MAX_ITEMS)
    @rule(data=st.data())
    def write_to_a_file_and_read_back(self, data):
        chosen = data.draw(st.lists(st.sampled_from(self.traces), min_size=1, max_size=3))
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "c.su")
            _MemoryTraceIterator([t for t, _, _ in chosen]).to_file(path)
            read = SEGY.from_file(path).to_memory()
        for (t, block, dt), copy in zip(chosen, read):
            assert header_of(copy) == header_of(t)
            fresh, _ = self.new_block(0)
            self.blocks[fresh] = self.blocks[block].copy()
            self.traces.append([copy, fresh, dt])

    # ---- what must hold after every step --------------------------------

    @invariant()
    def views_see_what_was_written(self):
        for view, block in self.views:
            assert view.tobytes() == self.blocks[block].tobytes()

    @invariant()
    def header_views_see_the_record_they_were_taken_of(self):
        for view, taken in self.headers:
            assert view.tobytes() == taken

    @invariant()
    def traces_hold_their_samples_and_header(self):
        for t, block, dt in self.traces:
            assert (t.ns, t.dt) == (len(self.blocks[block]), dt)
            assert np.asarray(t).tobytes() == self.blocks[block].tobytes()


Lifetimes.TestCase.settings = settings(
    max_examples=EXAMPLES, stateful_step_count=25, deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much])
test_no_view_outlives_its_memory = Lifetimes.TestCase
