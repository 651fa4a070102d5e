"""The trace record operations published in vondrel.segy.__pyx_capi__, driven
through a native client that imports them the way another extension would."""
import numpy as np
import pytest

from conftest import build_native
from segyfiles import header, parse_header

client = build_native("segy_client")

BIG_NS = 60000          # a sample buffer large enough to see in the heap count
MOST_OF_BIG = 4 * BIG_NS * 9 // 10    # what its release shows through the other traffic


def heap_drop(action):
    """Bytes of heap that `action()` gives back, or None under a sanitizer."""
    before = client.heap_in_use()
    action()
    after = client.heap_in_use()
    return None if before is None else before - after


def samples(*values):
    return np.asarray(values, dtype="<f4").tobytes()


@pytest.mark.parametrize("ns", [0, -5, -(2**31)])
def test_new_trace_without_samples_is_all_zero_with_null_data(ns):
    rec = client.new_trace(ns)
    assert rec.header == bytes(240)
    assert rec.data_address == 0


@pytest.mark.parametrize(
    "ns, stored",
    [(1, 1), (10, 10), (65535, 65535), (65536, 0), (65537, 1), (131082, 10)],
)
def test_new_trace_keeps_the_low_16_bits_and_sizes_the_buffer_from_them(ns, stored):
    rec = client.new_trace(ns)
    assert rec.header == header(stored)
    assert rec.data_address != 0          # even a buffer for 0 samples exists
    assert 4 * stored <= rec.usable_size() < 4 * stored + 64   # from the stored count
    pattern = np.arange(stored, dtype="<f4").tobytes()
    rec.set_samples(pattern)
    assert rec.samples() == pattern


def source_record(ns=3):
    rec = client.new_trace(ns)
    rec.set_header(header(ns, unassigned=bytes(range(1, 29)), tracl=7, dt=4000, d1=0.5, ntr=-1,
                          shortpad=-2))
    rec.set_samples(np.arange(1, ns + 1, dtype="<f4").tobytes())
    return rec


@pytest.mark.parametrize("opt", [None, 0, 1, 3])
def test_copy_of_is_a_deep_copy_whatever_the_optional_block(opt):
    src = source_record()
    copy = client.copy_of(src, opt)
    assert copy.header == src.header
    assert parse_header(copy.header)["unassigned"] == bytes(range(1, 29))
    assert copy.samples() == samples(1.0, 2.0, 3.0)
    assert copy.data_address not in (0, src.data_address)

    copy.set_samples(samples(9.0, 9.0, 9.0))
    copy.set_header(header(3, tracl=99))
    assert src.samples() == samples(1.0, 2.0, 3.0)
    assert parse_header(src.header)["tracl"] == 7
    assert parse_header(src.header)["unassigned"] == bytes(range(1, 29))


def test_copy_of_a_full_record_copies_every_sample():
    src = source_record(65535)
    copy = client.copy_of(src)
    assert copy.samples() == src.samples()
    assert copy.usable_size() >= 4 * 65535


def test_copy_of_with_ns_zero_has_null_data_even_if_the_source_has_a_buffer():
    src = client.new_trace(3)
    src.set_header(header(0, tracl=5, unassigned=b"kept"))
    copy = client.copy_of(src)
    assert copy.header == src.header
    assert copy.data_address == 0
    assert src.data_address != 0


def test_copy_of_refuses_a_record_that_announces_samples_it_does_not_hold():
    src = client.new_trace(0)
    src.set_header(header(3))
    assert client.copy_of(src) is None


def test_copy_of_a_null_record_is_refused():
    assert client.copy_of(None) is None


def test_del_trace_without_free_data_leaves_the_sample_buffer_alive():
    rec = client.new_trace(8)
    pattern = samples(*range(100, 108))
    rec.set_samples(pattern)
    client.del_trace(rec, 0)
    assert rec.orphan_samples() == pattern
    rec.release_orphan()


@pytest.mark.parametrize("free_data", [0, 1])
def test_del_trace_null_record_does_nothing(free_data):
    assert client.del_trace(None, free_data) is None


@pytest.mark.parametrize("free_data, buffer_released", [(1, True), (0, False), (-1, True)])
def test_del_trace_releases_the_sample_buffer_only_under_free_data(free_data, buffer_released):
    rec = client.new_trace(BIG_NS)
    dropped = heap_drop(lambda: client.del_trace(rec, free_data))
    if dropped is None:
        pytest.skip("heap accounting is replaced by the sanitizer")
    if buffer_released:
        assert dropped >= MOST_OF_BIG
    else:
        assert dropped < 4 * BIG_NS // 2
        assert heap_drop(rec.release_orphan) >= MOST_OF_BIG


def test_records_from_new_trace_and_copy_of_do_not_leak():
    def cycle():
        for _ in range(2000):
            src = client.new_trace(25)
            client.del_trace(client.copy_of(src), 1)     # the copy's own buffer goes too
            client.del_trace(src, 1)

    cycle()
    dropped = heap_drop(cycle)
    if dropped is None:
        pytest.skip("heap accounting is replaced by the sanitizer")
    assert dropped > -2000 * 100   # a leaked record or buffer per cycle would exceed this

