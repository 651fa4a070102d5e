"""What a dropped handle, reader or writer gives back, with the cyclic
collector switched off: a vondrel.File whose last reference goes (no
close(), no `with`) lets go of its descriptors and its map at once, for
every format and after every common use; a view, a Dataset or a lazy array
still in use keeps it open and reads the file right; a dropped `traces`
reader closes its file, and a dropped Writer leaves no temporary file and
the destination as it was.  The descriptors and maps are counted in
/proc/self by the file's device and inode, not through the package."""
import gc
import os
import struct

import numpy as np
import pytest

import vondrel
from segyfiles import OFFSETS
from test_handle import N, NS, build, default_samples

pytestmark = pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="counts descriptors in /proc/self")


@pytest.fixture
def no_collector():
    """The test runs with the cyclic collector off: what it frees, reference counting frees."""
    was = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was:
            gc.enable()


def held(identity):
    """(descriptors, mapped regions) of this process on the file of
    `identity` (device, inode)."""
    device, inode = identity
    fds = 0
    for name in os.listdir("/proc/self/fd"):
        try:
            st = os.stat(f"/proc/self/fd/{name}")
        except OSError:
            continue                    # the listing's own descriptor, gone
        fds += (st.st_dev, st.st_ino) == identity
    dev = f"{os.major(device):02x}:{os.minor(device):02x}"
    with open("/proc/self/maps") as maps:
        regions = sum(1 for line in maps if line.split()[3:5] == [dev, str(inode)])
    return fds, regions


def identity_of(path):
    st = os.stat(path)
    return st.st_dev, st.st_ino


def trace_at(fmt, code, i):
    """Where trace i of a file built by test_handle.build starts, and its size."""
    size = 240 + (2 if code == 3 else 4) * NS
    return {"su": 0, "collection": 4, "segy": 3600}[fmt] + i * size, size


def expected_cdp(raw, fmt, order, code):
    """The cdp field of every trace, read from the bytes with struct."""
    return [struct.unpack_from(order + "i", raw, trace_at(fmt, code, i)[0] + OFFSETS["cdp"][0])[0]
            for i in range(N)]


# (format, byte order, SEG-Y sample format code)
FILES = [("su", "<", 5), ("su", ">", 5), ("collection", "<", 5), ("collection", ">", 5), ("segy", ">", 1),
         ("segy", "<", 5), ("segy", ">", 3)]


@pytest.fixture(params=FILES, ids=[f"{f}-{'le' if o == '<' else 'be'}-{c}" for f, o, c in FILES])
def trace_file(request, tmp_path):
    """Every format, both byte orders: (path, format, byte order, sample format, the file's bytes)."""
    fmt, order, code = request.param
    raw = build(fmt, order, code)
    path = tmp_path / f"f.{'sgy' if fmt == 'segy' else 'su'}"
    path.write_bytes(raw)
    return path, fmt, order, code, raw


def opened(path, fmt, mode="r"):
    """SEG-Y with its inferred iline/xline grid; the other formats on cdp."""
    return vondrel.open(path, mode, format=fmt, dims=None if fmt == "segy" else ("cdp",))


def _iterate(f):
    for trace in f.samples:
        trace.sum()
    for row in f.headers:
        row["cdp"]


def _refused(f):
    with pytest.raises(KeyError):
        f.headers["no_such_field"]
    with pytest.raises(IndexError):
        f.samples[N]


def _sel(f):
    d = f.dims[0]
    f.sel(**{d: f.coords[d][0]})
    f.sel(**{d: slice(None)})


def _to_xarray(f):
    pytest.importorskip("xarray")
    f.to_xarray().samples.values


def _to_xarray_chunked(f):
    pytest.importorskip("xarray")
    pytest.importorskip("dask")
    f.to_xarray(chunks={f.dims[0]: 2}).samples.values


USES = {
    "open": lambda f: None,
    "column": lambda f: f.headers["cdp"],
    "fields": lambda f: f.headers[["offset", "sx"], 1:4],
    "rows": lambda f: f.headers[[5, 0]],
    "trace": lambda f: f.samples[3],
    "traces": lambda f: (f.samples[::2], f.samples.read([4, 1], dtype="stored")),
    "iteration": _iterate,
    "read": lambda f: f.read(traces=[6, 2]),
    "sel": _sel,
    "cube": lambda f: f.cube(),
    "depth_slice": lambda f: f.depth_slice(2),
    "geometry": lambda f: (f.coords, f.trace_index, f.grid, f.sorting),
    "refused": _refused,
    "to_xarray": _to_xarray,
    "to_xarray_chunked": _to_xarray_chunked,
}


@pytest.mark.parametrize("use", list(USES), ids=list(USES))
def test_a_dropped_handle_lets_go_of_its_file_at_once(trace_file, use, no_collector):
    path, fmt, order, code, raw = trace_file
    me = identity_of(path)
    f = opened(path, fmt)
    assert held(me)[0] >= 1
    USES[use](f)
    del f
    assert held(me) == (0, 0)


def test_many_dropped_handles_leave_nothing_open(trace_file, no_collector):
    path, fmt, order, code, raw = trace_file
    me = identity_of(path)
    for _ in range(200):
        f = vondrel.open(path, format=fmt)
        f.headers["cdp"]
        f.samples[1]
    del f
    assert held(me) == (0, 0)


def test_a_dropped_editing_handle_writes_its_edit_and_closes(trace_file, no_collector):
    path, fmt, order, code, raw = trace_file
    me = identity_of(path)
    f = vondrel.open(path, "r+", format=fmt)
    f.headers["cdp", 2] = -77
    f.samples[4] = np.arange(NS)
    del f
    assert held(me) == (0, 0)
    after = path.read_bytes()
    want = expected_cdp(raw, fmt, order, code)
    want[2] = -77
    assert expected_cdp(after, fmt, order, code) == want
    # nothing else changed but the bytes of those two edits
    changed = [i for i, (a, b) in enumerate(zip(raw, after)) if a != b]
    cdp = trace_at(fmt, code, 2)[0] + OFFSETS["cdp"][0]
    fourth, size = trace_at(fmt, code, 4)
    assert len(after) == len(raw) and changed
    assert all(cdp <= i < cdp + 4 or fourth + 240 <= i < fourth + size for i in changed)


def test_a_dropped_handle_of_a_deleted_file_gives_its_space_back(trace_file, no_collector):
    path, fmt, order, code, raw = trace_file
    me = identity_of(path)
    f = vondrel.open(path, format=fmt)
    f.headers["cdp"]
    os.unlink(path)
    assert held(me)[0] >= 1
    del f
    assert held(me) == (0, 0)


@pytest.mark.parametrize("view", ["headers", "samples"])
def test_a_view_kept_keeps_its_handle_open_and_reads_the_file(trace_file, view, no_collector):
    path, fmt, order, code, raw = trace_file
    me = identity_of(path)
    kept = getattr(vondrel.open(path, format=fmt), view)     # the handle itself is dropped at once
    assert held(me)[0] >= 1
    if view == "headers":
        assert kept["cdp"].tolist() == expected_cdp(raw, fmt, order, code)
    else:
        assert np.array_equal(kept[::3], np.array(default_samples(code=code), np.float32)[::3])
    del kept
    assert held(me) == (0, 0)


def test_a_dataset_of_the_engine_keeps_its_file_while_it_lives(trace_file, no_collector):
    xr = pytest.importorskip("xarray")
    path, fmt, order, code, raw = trace_file
    me = identity_of(path)
    ds = xr.open_dataset(path, engine="vondrel", format=fmt, dims=None if fmt == "segy" else ("cdp",))
    assert held(me)[0] >= 1
    cdp = ds["cdp"].values if fmt == "segy" else ds.indexes["cdp"].values
    assert sorted(np.asarray(cdp).reshape(-1)[np.asarray(cdp).reshape(-1) != 0]) == \
        sorted(expected_cdp(raw, fmt, order, code))
    assert np.nansum(ds.samples.values) == pytest.approx(np.sum(default_samples(code=code)))
    del ds, cdp
    assert held(me) == (0, 0)


def test_a_dataset_dropped_unread_and_a_selection_of_it(trace_file, no_collector):
    xr = pytest.importorskip("xarray")
    path, fmt, order, code, raw = trace_file
    me = identity_of(path)
    ds = xr.open_dataset(path, engine="vondrel", format=fmt)
    del ds
    assert held(me) == (0, 0)
    part = xr.open_dataset(path, engine="vondrel", format=fmt).isel(time=slice(1, 3))
    assert held(me)[0] >= 1
    assert np.nansum(part.samples.values) == pytest.approx(np.sum(np.array(default_samples(code=code))[:, 1:3]))
    del part
    assert held(me) == (0, 0)


def test_a_lazy_dataset_outlives_its_dropped_handle(trace_file, no_collector):
    pytest.importorskip("xarray")
    pytest.importorskip("dask")
    path, fmt, order, code, raw = trace_file
    me = identity_of(path)
    ds = opened(path, fmt).to_xarray(chunks={"iline" if fmt == "segy" else "cdp": 2})
    assert held(me)[0] >= 1
    assert np.nansum(ds.samples.values) == pytest.approx(np.sum(default_samples(code=code)))
    del ds
    assert held(me) == (0, 0)


@pytest.mark.parametrize("taken", [0, 1, N])
def test_a_dropped_traces_reader_closes_its_file(trace_file, taken, no_collector):
    path, fmt, order, code, raw = trace_file
    me = identity_of(path)
    reader = vondrel.traces(path, format=fmt)
    got = [int(vondrel.header(next(reader))["tracl"]) for _ in range(taken)]
    assert got == list(range(1, taken + 1))
    assert held(me) == ((0, 0) if taken == N else (1, 0))      # the last trace handed out closes it
    del reader
    assert held(me) == (0, 0)


@pytest.mark.parametrize("exists", [False, True], ids=["new", "existing"])
@pytest.mark.parametrize("fmt", ["su", "collection", "segy"])
def test_a_writer_dropped_midway_leaves_no_temporary_file_and_the_destination_as_it_was(tmp_path, fmt, exists,
                                                                                        no_collector):
    source = tmp_path / "in.su"
    source.write_bytes(build("su", "<", 5))
    dest = tmp_path / "out"
    before = b"what was there"
    if exists:
        dest.write_bytes(before)
    fds = len(os.listdir("/proc/self/fd"))
    w = vondrel.Writer(dest, fmt)
    for trace in vondrel.traces(source):
        w.write(trace)
        break
    with pytest.warns(ResourceWarning, match="a write dropped before it was complete"):
        del w, trace
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.su"] + (["out"] if exists else [])
    if exists:
        assert dest.read_bytes() == before
    assert len(os.listdir("/proc/self/fd")) == fds


def test_results_outlive_a_dropped_handle_and_its_file_changing(trace_file, no_collector):
    """Nothing handed out refers to the map: results kept from a handle
    dropped at once stay as the file held them when it is zeroed after."""
    path, fmt, order, code, raw = trace_file
    me = identity_of(path)
    f = vondrel.open(path, "r+", format=fmt)
    cdp, rows, trace = f.headers["cdp"], f.headers[1:3], f.samples[5]
    del f
    assert held(me) == (0, 0)
    with open(path, "r+b") as out:
        out.write(bytes(len(raw)))
    assert cdp.tolist() == expected_cdp(raw, fmt, order, code)
    assert rows["tracl"].tolist() == [2, 3] and rows["cdp"].tolist() == cdp[1:3].tolist()
    assert np.array_equal(trace, np.array(default_samples(code=code), np.float32)[5])
