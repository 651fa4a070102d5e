"""Builds native clients of vondrel.segy the way an outside project would:
against the installed package (vondrel.get_include(), the installed
segy.pxd), with the compiler and flags of sysconfig, into a directory of the
caller's choice.  Under the sanitizer and debug runs the flags of
VONDREL_TEST_CFLAGS are added to every compile and link."""
import importlib.util
import os
import shlex
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import vondrel

CLIENTS = Path(__file__).resolve().parent / "clients"
EXTRA_FLAGS = os.environ.get("VONDREL_TEST_CFLAGS", "").split()
STRICT = ["-Wall", "-Wextra", "-Werror"]


def config(name):
    return shlex.split(sysconfig.get_config_var(name) or "")


def site_packages():
    """The directory the package is installed in: Cython's include path."""
    return sysconfig.get_paths()["purelib"]


def run(cmd, cwd):
    """Runs a build step; the sanitizer runtimes preloaded into the tests stay
    out of the compiler."""
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    done = subprocess.run(cmd, cwd=cwd, capture_output=True, text=True, env=env)
    if done.returncode != 0:
        raise AssertionError(f"{shlex.join(map(str, cmd))} failed:\n{done.stdout}{done.stderr}")
    return done


def build_extension(name, source, out_dir, *, cxx=False, flags=()):
    """Compiles `source` into the extension module `name` in `out_dir` and
    returns the path of the shared object."""
    out_dir = Path(out_dir)
    includes = [f"-I{sysconfig.get_paths()['include']}", f"-I{vondrel.get_include()}"]
    compiler = config("CXX") if cxx else config("CC")
    obj = out_dir / f"{name}.o"
    run([*compiler, *config("CFLAGS"), *config("CCSHARED"), *flags, *includes, *EXTRA_FLAGS,
         "-c", str(source), "-o", str(obj)], out_dir)
    target = out_dir / f"{name}{sysconfig.get_config_var('EXT_SUFFIX')}"
    linker = config("LDCXXSHARED") if cxx else config("LDSHARED")
    run([*linker, str(obj), *EXTRA_FLAGS, "-o", str(target)], out_dir)
    return target


def cythonize(pyx, out_dir):
    """Translates `pyx` to C with cython3 against the installed segy.pxd;
    returns the C file, or None when cython3 is not installed."""
    cython = shutil.which("cython3") or shutil.which("cython")
    if cython is None:
        return None
    c_file = Path(out_dir) / (Path(pyx).stem + ".c")
    run([cython, "-3", "-Werror", "-I", site_packages(), str(pyx), "-o", str(c_file)], out_dir)
    return c_file


def load(name, target):
    """Imports the extension module at `target` under `name`."""
    spec = importlib.util.spec_from_file_location(name, target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    sys.modules[name] = module
    return module


def run_python(code, *args, cwd=None):
    """Runs `code` with this interpreter in a fresh process."""
    return subprocess.run([sys.executable, *args, "-c", code], capture_output=True, text=True, cwd=cwd)
