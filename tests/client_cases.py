"""The cases every native client is held to (test_c_client.py and
test_cython_client.py import them and supply the `client` fixture): the
record operations, SEGYTrace's native operations and fields, and a native
subclass of BaseTraceIterator driven through to_memory() and to_file()."""
import io
import re
import numpy as np
import pytest

from segyfiles import collection_bytes, header, parse_header, trace_bytes
from vondrel.segy import SEGY, BaseTraceIterator, SEGYTrace

UNASSIGNED = bytes(range(1, 29))


def f32(*values):
    return np.array(values, dtype="<f4").tobytes()


def counted_trace(i, ns):
    """The bytes of trace i of CountingIterator(n, ns)."""
    return trace_bytes([100 * i + k for k in range(ns)], tracl=i + 1, dt=1000)


@pytest.mark.parametrize("ns, stored, has_samples", [(0, 0, False), (-5, 0, False), (10, 10, True),
                                                     (65537, 1, True)])
def test_new_trace_gives_zeroed_header_with_low_16_bits_of_ns(client, ns, stored, has_samples):
    assert client.make_record(ns) == (header(stored), has_samples)


@pytest.mark.parametrize("with_block", [False, True])
@pytest.mark.parametrize("samples", [(1.0, 2.0, 3.0), ()])
def test_copy_of_copies_header_unassigned_area_and_samples(client, samples, with_block):
    head = header(len(samples), unassigned=UNASSIGNED, tracl=7, dt=4000, d1=0.5, ntr=-2)
    assert client.copy_record(head, f32(*samples), with_block) == (head, f32(*samples))


def test_del_trace_without_free_data_leaves_samples_to_the_caller(client):
    assert client.release_keeping_samples(4) == f32(0.5, 1.5, 2.5, 3.5)


@pytest.mark.parametrize("flags, expected", [
    (None, (0, 0)),
    ((0, 1, 1), (0, 0)),
    ((1, 1, 1), (1, 0)),
    ((1, 0, 1), (0, 0)),
    ((2, 1, 1), (1, 1)),
    ((2, 1, 0), (1, 0)),
    ((2, 0, 1), (0, 1)),
    ((2, 0, 0), (0, 0)),
])
def test_from_trace_wraps_the_record_with_the_flags_given(client, flags, expected):
    head = header(3, unassigned=UNASSIGNED, tracl=5, dt=2000)
    got = client.wrap(head, f32(1.5, -2.0, 3.25), flags)
    assert got == (True, *expected, 3, head, f32(1.5, -2.0, 3.25))


@pytest.mark.parametrize("ns, message", [(0, "Invalid shape in axis 0: 0."),
                                         (3, "Cannot create an array from a NULL pointer.")])
def test_from_trace_refuses_a_record_without_samples(client, ns, message):
    with pytest.raises(ValueError, match=rf"^{re.escape(message)}$"):
        client.wrap(header(ns), b"", (2, 1, 1))


def test_from_file_descriptor_reads_at_the_stream_position(client, tmp_path):
    raw = trace_bytes([1.0, 2.0, 3.0, 4.0], tracl=9, dt=2000, unassigned=UNASSIGNED)
    path = tmp_path / "in.su"
    path.write_bytes(b"junk!" + raw + b"tail")
    trace, position = client.read_trace(str(path), 5)
    assert position == 5 + len(raw)
    assert (trace.ns, trace.dt) == (4, 2000)
    assert np.asarray(trace).tolist() == [1.0, 2.0, 3.0, 4.0]
    assert client.trace_fields(trace) == (raw[:240], 1, 1)


@pytest.mark.parametrize("cut, message", [(100, "Unable to read trace header from file."),
                                          (248, "Unable to read expected number of trace samples.")])
def test_from_file_descriptor_raises_on_a_short_stream(client, tmp_path, cut, message):
    path = tmp_path / "short.su"
    path.write_bytes(trace_bytes([1.0, 2.0, 3.0, 4.0])[:cut])
    error, position = client.read_trace(str(path), 0)
    assert isinstance(error, OSError)
    assert str(error) == message
    assert position == cut


def test_to_file_descriptor_writes_header_and_samples_where_the_stream_stands(client, tmp_path):
    raw = trace_bytes([1.0, 2.0, 3.0, 4.0], tracl=9, dt=2000, unassigned=UNASSIGNED)
    source = tmp_path / "in.su"
    source.write_bytes(raw)
    trace, _ = client.read_trace(str(source), 0)
    out = tmp_path / "out.su"
    assert client.write_trace(trace, str(out), "wb") == 256
    np.asarray(trace)[0] = 42.0
    assert client.write_trace(trace, str(out), "ab") == 512
    assert out.read_bytes() == raw + raw[:240] + f32(42.0, 2.0, 3.0, 4.0)


def test_to_file_descriptor_refuses_a_trace_without_record(client, tmp_path):
    out = tmp_path / "out.su"
    with pytest.raises(ValueError, match=r"^SEGYTrace holds no trace record\.$"):
        client.write_trace(SEGYTrace.__new__(SEGYTrace), str(out), "wb")
    assert out.read_bytes() == b""


def test_trace_fields_of_a_constructed_trace(client):
    head, owner, data_owner = client.trace_fields(SEGYTrace(np.zeros(3, np.float32), 4000, tracl=5))
    assert (owner, data_owner) == (1, 0)
    fields = parse_header(head)
    assert (fields["tracl"], fields["ns"], fields["dt"], fields["unassigned"]) == (5, 3, 4000, bytes(28))


def test_trace_fields_of_a_trace_without_record(client):
    assert client.trace_fields(SEGYTrace.__new__(SEGYTrace)) == (None, 0, 0)


def test_native_iterator_runs_through_to_memory(client):
    it = client.CountingIterator(3, 4)
    assert isinstance(it, BaseTraceIterator) and iter(it) is it
    collection = it.to_memory()
    assert (collection.in_memory, collection.n_traces) == (True, 3)
    traces = list(collection)
    assert [np.asarray(t).tolist() for t in traces] == [[100.0 * i + k for k in range(4)] for i in range(3)]
    assert [client.trace_fields(t) for t in traces] == [(counted_trace(i, 4)[:240], 1, 1) for i in range(3)]
    with pytest.raises(StopIteration):
        next(it)


def test_native_iterator_runs_through_to_file(client, tmp_path):
    path = tmp_path / "counted.su"
    collection = client.CountingIterator(3, 2).to_file(path)
    assert (collection.on_disk, collection.n_traces) == (True, 3)
    assert path.read_bytes() == collection_bytes([counted_trace(i, 2) for i in range(3)])


@pytest.mark.parametrize("method", ["to_memory", "to_file", "to_stream"])
def test_native_iterator_error_reaches_the_caller(client, tmp_path, method):
    it = client.CountingIterator(3, 2, fail_at=1)
    args = {"to_memory": (), "to_file": (tmp_path / "x.su",), "to_stream": (io.BytesIO(),)}[method]
    with pytest.raises(RuntimeError, match=r"^trace 1 cannot be made$"):
        getattr(it, method)(*args)


def test_native_iterator_steps_as_a_python_iterator(client):
    assert [t.ns for t in client.CountingIterator(2, 5)] == [5, 5]
    assert list(client.CountingIterator(0, 5)) == []


def test_from_trace_iterator_stands_for_the_native_iterator(client):
    it = client.CountingIterator(2, 1)
    collection = client.collection_of(it)
    assert (collection.is_iterator, collection.n_traces) == (True, 2)
    assert iter(collection) is it
    stream = io.BytesIO()
    collection.to_stream(stream)
    assert stream.getvalue() == collection_bytes([counted_trace(i, 1) for i in range(2)])
