import hashlib
import importlib.util
import os
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

TESTS = Path(__file__).resolve().parent
NATIVE = TESTS / "native"
EXTRA_FLAGS = os.environ.get("VONDREL_TEST_CFLAGS", "").split()
# One build folder per interpreter and set of flags: the release, sanitizer
# and debug runs never share a client.
BUILD = (TESTS.parent / "build" / "tests"
         / f"{sysconfig.get_config_var('SOABI')}-{hashlib.sha1(' '.join(EXTRA_FLAGS).encode()).hexdigest()[:8]}")


def compiler_env():
    """The environment for running a compiler from the tests: without the
    sanitizer runtimes that the test interpreter was started with."""
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def build_native(name):
    """Compile tests/native/<name>.cpp into a throw-away extension module and import it.

    The module is built only for the tests, against the installed package's
    interface, never installed."""
    source = NATIVE / f"{name}.cpp"
    target = BUILD / f"{name}{sysconfig.get_config_var('EXT_SUFFIX')}"
    deps = [source, *NATIVE.glob("*.hpp")]
    if not target.exists() or target.stat().st_mtime < max(p.stat().st_mtime for p in deps):
        BUILD.mkdir(parents=True, exist_ok=True)
        cmd = [
            os.environ.get("CXX", "g++"), "-std=c++20", "-O1", "-g", "-Wall", "-Wextra", "-Werror",
            "-shared", "-fPIC", f"-I{sysconfig.get_paths()['include']}", f"-I{NATIVE}",
            *EXTRA_FLAGS,
            str(source), "-o", str(target) + ".tmp",
        ]
        subprocess.run(cmd, check=True, env=compiler_env())
        os.replace(str(target) + ".tmp", target)
    spec = importlib.util.spec_from_file_location(name, target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    sys.modules[name] = module
    return module


def open_fds():
    """The number of open descriptors of this process."""
    return len(os.listdir("/proc/self/fd"))


@pytest.fixture
def fd_count():
    """Asserts that the test leaves as many descriptors open as it found."""
    before = open_fds()
    yield before
    assert open_fds() == before


# ---- the type check: a step of its own -------------------------------------------------------
# The tests marked `typecheck` run mypy (--strict over the typed clients, stubtest over the
# stubs): a minute where the rest of the suite takes seconds.  They run with --typecheck,
# which `./dev typecheck` passes, and which `./dev test` passes after a whole-suite run when
# anything they read changed since they last passed (tools/inside keeps the stamp).

def pytest_addoption(parser):
    parser.addoption("--typecheck", action="store_true",
                     help="run the tests marked typecheck (mypy over the stubs and typed clients)")


def pytest_configure(config):
    config.addinivalue_line("markers", "typecheck: runs mypy; skipped unless --typecheck is given")


def pytest_collection_modifyitems(config, items):
    if config.getoption("--typecheck"):
        return
    skip = pytest.mark.skip(reason="the type check is a step of its own: ./dev typecheck "
                                   "(./dev test runs it when what it reads changed)")
    for item in items:
        if "typecheck" in item.keywords:
            item.add_marker(skip)
