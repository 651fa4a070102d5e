"""A Cython client built against the installed segy.pxd (found through the
site-packages directory on Cython's include path) and segy_api.h, compiled
with the compiler and flags of sysconfig."""
import pytest

from client_cases import *  # noqa: F401,F403  (the cases every client is held to)
from clientbuild import CLIENTS, build_extension, cythonize, load, run_python


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    out = tmp_path_factory.mktemp("cython_client")
    c_file = cythonize(CLIENTS / "segy_cython_client.pyx", out)
    if c_file is None:
        pytest.skip("cython3 is not installed: the Cython client cannot be built")
    return build_extension("segy_cython_client", c_file, out)


@pytest.fixture(scope="module")
def client(built):
    return load("segy_cython_client", built)


def test_client_imports_without_a_warning(built):
    done = run_python("import segy_cython_client", "-W", "error", cwd=built.parent)
    assert (done.returncode, done.stderr) == (0, "")
