"""The type stubs (segy.pyi, py.typed) as a typed client sees them: mypy
--strict over the examples and a typed usage file, run against the installed
package, and mypy's stubtest comparing the stubs with the module itself."""
import ast
import inspect
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import vondrel
import vondrel.segy as segy
from clientbuild import CLIENTS

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
USAGE = CLIENTS / "typed_usage.py"


@pytest.fixture(scope="module")
def mypy():
    """An interpreter that runs mypy; mypy looks for packages in this one's
    site-packages (--python-executable)."""
    for python in dict.fromkeys([sys.executable, "/usr/bin/python3", shutil.which("python3")]):
        if python and subprocess.run([python, "-c", "import mypy.api"], capture_output=True).returncode == 0:
            return python
    pytest.skip("mypy is not installed (Debian: python3-mypy): the stubs cannot be checked")


# The stubs are static: the release run checks them; the sanitizer and
# debug-interpreter runs would only repeat the same verdict, slowly.
pytestmark = pytest.mark.skipif(bool(os.environ.get("VONDREL_SANITIZERS")) or hasattr(sys, "gettotalrefcount"),
                                reason="static check, done by the release run")


def run_module(python, tmp_path, *args, preload=True):
    # Run outside the checkout, so that the source tree cannot stand in for
    # the installed package.  A run that imports nothing of ours can leave
    # the sanitizer runtimes out.
    env = {k: v for k, v in os.environ.items() if preload or k != "LD_PRELOAD"}
    return subprocess.run([python, "-m", *args], capture_output=True, text=True, cwd=tmp_path, env=env)


def mypy_cache(tmp_path):
    """mypy's cache: the one tools/inside keeps under build/ (mypy checks what
    changed against it), else a fresh one."""
    return os.environ.get("VONDREL_MYPY_CACHE") or str(tmp_path / "cache")


@pytest.mark.typecheck
def test_examples_and_typed_usage_pass_mypy_strict(mypy, tmp_path):
    done = run_module(mypy, tmp_path, "mypy", "--strict", "--python-executable", sys.executable,
                      "--cache-dir", mypy_cache(tmp_path), str(EXAMPLES), str(USAGE), preload=False)
    assert done.returncode == 0, done.stdout + done.stderr
    assert re.match(r"Success: no issues found in \d+ source files", done.stdout)


def test_typed_usage_runs_as_typed(tmp_path):
    done = subprocess.run([sys.executable, "-W", "error", str(USAGE), str(tmp_path)], capture_output=True,
                          text=True, cwd=tmp_path)
    assert (done.returncode, done.stdout, done.stderr) == (0, "70.0\n", "")


@pytest.mark.typecheck
def test_stubs_name_what_the_modules_hold(mypy, tmp_path):
    if mypy != sys.executable:
        pytest.skip("stubtest imports the module: mypy must run in the interpreter the package is built for")
    # One run for both modules: most of its time goes to reading NumPy's stubs, once.
    done = run_module(mypy, tmp_path, "mypy.stubtest", "vondrel.segy", "vondrel._stream")
    assert done.returncode == 0, done.stdout + done.stderr


def documented_parameters(doc):
    """[(name, default or None)] of a signature docstring such as
    "SEGYTrace(data, unsigned short dt, int tracl=0)": type words dropped."""
    inside = re.fullmatch(r"[\w.]+\((.*)\)", doc).group(1)
    params = []
    for part in inside.split(", "):
        declaration, _, default = part.partition("=")
        params.append((declaration.split()[-1].lstrip("*"), default or None))
    return [p for p in params if p[0] not in ("self", "cls")]


def stub_parameters(function):
    """The same list for a function of the stub (defaults written as integers)."""
    args = function.args
    values = [ast.literal_eval(d) for d in args.defaults]
    given = ["..." if v is Ellipsis else str(int(v)) for v in values]
    defaults = [None] * (len(args.args) - len(given)) + given
    params = [(a.arg, d) for a, d in zip(args.args, defaults)]
    if args.kwarg:
        params.append((args.kwarg.arg, None))
    return [p for p in params if p[0] not in ("self", "cls")]


def runtime_signatures():
    """(class, method, documented parameters) of every method and constructor
    whose docstring carries its signature."""
    for cls in (segy.SEGYTrace, segy.SEGY, segy.BaseTraceIterator, segy._MemoryTraceIterator,
                segy._FileTraceIterator):
        if cls.__doc__:
            yield cls.__name__, "__init__", documented_parameters(cls.__doc__)
        for name in vars(cls):
            doc = getattr(cls, name).__doc__ or ""
            if doc.startswith(f"{cls.__name__}.{name}("):
                yield cls.__name__, name, documented_parameters(doc)


def test_stubs_follow_the_documented_signatures():
    tree = ast.parse((Path(vondrel.__file__).parent / "segy.pyi").read_text())
    stubbed = {(cls.name, fn.name): stub_parameters(fn)
               for cls in tree.body if isinstance(cls, ast.ClassDef)
               for fn in cls.body if isinstance(fn, ast.FunctionDef)}
    documented = {(cls, name): params for cls, name, params in runtime_signatures()}
    assert len(documented) == 12
    assert {key: stubbed.get(key) for key in documented} == documented


def package_stub():
    return ast.parse(Path(vondrel.__file__).with_suffix(".pyi").read_text())


def test_the_package_stub_declares_every_name_that_arrives_lazily():
    tree = package_stub()
    declared = {a.asname or a.name for node in tree.body if isinstance(node, ast.ImportFrom) for a in node.names}
    declared |= {node.name for node in tree.body if isinstance(node, (ast.FunctionDef, ast.ClassDef))}
    assert set(vondrel._LAZY) <= declared


def test_every_overload_of_read_in_the_stub_takes_what_read_takes():
    # The stub declares read itself (its overloads type the gather by format=): each
    # overload names the parameters of the function, in order, of the same kinds and
    # defaults, so that the declaration cannot drift from the code.
    def shape(args):
        positional = [(a.arg, "positional") for a in args.posonlyargs + args.args]
        defaults = [None] * (len(args.args) - len(args.defaults)) + [ast.literal_eval(d) for d in args.defaults]
        keyword = [(a.arg, "keyword", None if d is None else ast.literal_eval(d))
                   for a, d in zip(args.kwonlyargs, args.kw_defaults)]
        return [(*p, d) for p, d in zip(positional, defaults)] + keyword

    signature = inspect.signature(vondrel.read)
    runtime = [(p.name, "keyword" if p.kind is p.KEYWORD_ONLY else "positional",
                None if p.default is p.empty else p.default) for p in signature.parameters.values()]
    overloads = [node for node in package_stub().body if isinstance(node, ast.FunctionDef) and node.name == "read"]
    assert len(overloads) == 2
    for node in overloads:
        stubbed = shape(node.args)
        # format= has no default where the overload requires it (format="segy").
        assert [(n, k, d) for n, k, d in stubbed if n != "format"] == [r for r in runtime if r[0] != "format"]
        assert [n for n, _, _ in stubbed] == [n for n, _, _ in runtime]
