"""vondrel.dask: many files as one Dask array and dataframe, on threads and on
worker processes, written back one file per chunk."""
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

import vondrel
from test_files_read import su_trace
from test_real_data import DATA

pytestmark = pytest.mark.skipif(bool(os.environ.get("VONDREL_SANITIZERS")) or hasattr(sys, "gettotalrefcount"),
                                reason="Dask, distributed and xarray over the package: the release run checks them")
dask = pytest.importorskip("dask")
vd = pytest.importorskip("vondrel.dask")
distributed = pytest.importorskip("distributed")
NS, DT = 50, 4000


def make_survey(directory, counts=(7, 12, 3), ns=NS, dt=DT):
    """SU files in alternating byte orders, built with struct, of the ns and
    dt of segyio_small.sgy: their paths.
    The samples have short mantissas, so that no reading in the other byte
    order meets a NaN."""
    directory.mkdir(exist_ok=True)
    rng = np.random.default_rng(len(counts))
    paths = []
    for k, n in enumerate(counts):
        order = "<>"[k % 2]
        raw = b"".join(su_trace(rng.integers(-512, 512, ns) / 8, order, dt=dt, fldr=k, tracl=i + 1, offset=400 * i,
                                scalco=-10, sx=1000 * k + i) for i in range(n))
        paths.append(directory / f"shot{k}.su")
        paths[-1].write_bytes(raw)
    return paths


def check(result, paths):
    """Asserts that (samples, headers) hold what the files read one at a time do."""
    samples, headers = result
    gathers = [vondrel.read(p) for p in paths]
    np.testing.assert_array_equal(samples, np.concatenate([g.samples for g in gathers]))
    for name in ("tracl", "offset", "sx"):
        np.testing.assert_array_equal(headers[name], np.concatenate([g.headers[name] for g in gathers]))
    assert (headers.dt == DT).all() and (headers.ns == NS).all()        # a SEG-Y file's own, not 0
    assert headers["path"].tolist() == [str(p) for p, g in zip(paths, gathers) for _ in range(len(g))]
    assert headers.index.tolist() == list(range(len(samples)))


def test_threads_and_two_worker_processes_read_and_write_what_one_process_does(tmp_path):
    survey = make_survey(tmp_path / "in")
    paths = [shutil.copy(DATA / "segyio_small.sgy", tmp_path / "in"), *survey]     # sorts first
    traces = vd.read(tmp_path / "in", chunk_bytes=4 * NS * 5)
    assert traces.samples.chunks == ((5,) * 5 + (5, 2, 5, 5, 2, 3), (NS,))    # whole traces, never two files
    check(dask.compute(*traces, scheduler="threads"), paths)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        check(client.compute(list(traces), sync=True), paths)
        written = vd.write(traces.samples, traces.headers, tmp_path / "out")
    assert [os.path.basename(p) for p in written] == [f"part-{i:05d}.su" for i in range(11)]
    again = vd.read(tmp_path / "out")
    np.testing.assert_array_equal(again.samples.compute(), traces.samples.compute())
    back = again.headers.compute().drop(columns=["path", "trace"])
    assert (back == traces.headers.compute()[back.columns]).all().all()


@pytest.mark.parametrize("what, counts", [("ns", dict(ns=NS + 1)), ("dt", dict(dt=DT // 2))])
def test_files_that_differ_in_ns_or_dt_raise_before_any_computation(tmp_path, what, counts):
    first = make_survey(tmp_path / "a", counts=(2,))[0]
    other = make_survey(tmp_path / "b", counts=(2,), **counts)[0]
    value = counts[what]
    with pytest.raises(ValueError, match=rf"^{other} has {what} {value}, {first} has "
                                         rf"{NS if what == 'ns' else DT}: one array needs one {what}$"):
        vd.read([first, other])


@pytest.mark.parametrize("now", [dict(counts=(2,), ns=NS + 5), dict(counts=(1,))], ids=["other ns", "fewer traces"])
@pytest.mark.parametrize("part", [0, 1])
def test_a_file_that_changed_after_planning_fails_its_chunks(tmp_path, now, part):
    path = make_survey(tmp_path / "a", counts=(2,))[0]
    traces = vd.read(path)
    make_survey(tmp_path / "b", **now)[0].replace(path)
    with pytest.raises(ValueError, match=rf"^{path} changed after planning: "):
        (traces.samples, traces.headers)[part].compute(scheduler="sync")


def test_optional_packages_stay_unimported_and_quiet_until_used(tmp_path):
    make_survey(tmp_path / "in")
    code = ("import sys, warnings; import vondrel, vondrel.dask; "
            "print(sorted({'dask', 'pandas', 'xarray'} & set(sys.modules))); filters = list(warnings.filters); "
            "s, h = vondrel.dask.read(sys.argv[1]); h.compute(); vondrel.read(sys.argv[2]).to_xarray(); "
            "assert warnings.filters == filters")
    done = subprocess.run([sys.executable, "-W", "error", "-c", code, str(tmp_path / "in"),
                           str(tmp_path / "in" / "shot0.su")], capture_output=True, text=True)
    assert (done.returncode, done.stdout, done.stderr) == (0, "[]\n", "")


@pytest.mark.parametrize("module, call, message", [
    ("dask.dataframe", lambda p: vd.read(p), r"vondrel.dask.read needs Dask's dataframes: install "
     r"python3-dask and python3-pandas \(Debian\) or `pip install dask\[dataframe\]`"),
    ("xarray", lambda p: vondrel.read(p / "shot0.su").to_xarray(), r"to_xarray needs xarray: install "
     r"python3-xarray \(Debian\) or `pip install xarray`"),
])
def test_a_missing_optional_package_is_named(tmp_path, monkeypatch, module, call, message):
    make_survey(tmp_path)
    monkeypatch.setitem(sys.modules, module, None)
    with pytest.raises(ImportError, match=f"^{message}$"):
        call(tmp_path)
