"""README.md runs as written, so that it cannot drift from the package.

The blocks run in their order, in one scratch folder that holds the files
the README names (`survey.sgy`, `shot.su`, `gathers/`) and on a PATH where
the Seismic Unix programs it pipes through are stand-ins that pass the
traces on:

- ```python: run in one namespace shared by the whole document; a block with
  `>>>` prompts is a doctest (its outputs are checked); ```python file=NAME
  is saved as NAME for the commands after it;
- ```console: every `$ ` line is run by bash; the lines after it, up to the
  next `$ `, are its standard output exactly; it must exit with 0 and say
  nothing on standard error;
- ```sh (building, installing), ```c, ```text and bare fences are shown only.
"""
import doctest
import io
import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
DATA = Path(__file__).resolve().parent / "data"
FENCE = re.compile(r"^```([^\n`]*)\n(.*?)^```[ \t]*$", re.M | re.S)
RUN = {"python", "console"}
SHOWN = {"sh", "c", "text", ""}
# Seismic Unix programs the README's pipelines use: traces in, the same traces out.
STAND_INS = {"sugain": "exec cat", "sufilter": "exec cat", "suximage": "cat >/dev/null"}
FILES = {"survey.sgy": "segyio_small.sgy", "shot.su": "seismiclab_cdp700.su",
         "gathers/cdp700.su": "seismiclab_cdp700.su", "gathers/cdp700-again.su": "seismiclab_cdp700.su"}


def blocks():
    """(language, options, body, line) of every fenced block of the README."""
    text = README.read_text()
    for m in FENCE.finditer(text):
        language, *options = m.group(1).split() or [""]
        yield language, dict(o.split("=", 1) for o in options), m.group(2), text.count("\n", 0, m.start()) + 1


def commands(body):
    """(command, expected output lines) of each `$ ` line of a console block."""
    found = []
    for line in body.splitlines():
        if line.startswith("$ "):
            found.append((line[2:], []))
        elif found:
            found[-1][1].append(line.rstrip())
        else:
            raise AssertionError(f"a console block starts with output, not a command: {line!r}")
    return found


@pytest.fixture
def scratch(tmp_path, monkeypatch):
    for name, source in FILES.items():
        (tmp_path / name).parent.mkdir(exist_ok=True)
        shutil.copyfile(DATA / source, tmp_path / name)
    bin_dir = tmp_path / ".bin"
    bin_dir.mkdir()
    for name, script in STAND_INS.items():
        (bin_dir / name).write_text(f"#!/bin/sh\n{script}\n")
        (bin_dir / name).chmod(0o755)
    monkeypatch.setenv("PATH", f"{bin_dir}:{os.environ.get('PATH', '')}")
    monkeypatch.setenv("MPLBACKEND", "Agg")
    monkeypatch.chdir(tmp_path)
    return tmp_path


def run_python(body, line, namespace):
    if ">>> " not in body:
        exec(compile(body, f"README.md, block at line {line}", "exec"), namespace)
        return
    test = doctest.DocTestParser().get_doctest(body, namespace, f"README.md:{line}", "README.md", line)
    report = io.StringIO()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test, out=report.write, clear_globs=False)
    assert runner.failures == 0, report.getvalue()
    namespace.update(test.globs)


def run_console(body, line, folder):
    for command, expected in commands(body):
        done = subprocess.run(["bash", "-c", command], cwd=folder, capture_output=True, timeout=300)
        where = f"README.md, block at line {line}: $ {command}"
        assert (done.returncode, done.stderr.decode()) == (0, ""), where
        if any(expected):
            assert [s.rstrip() for s in done.stdout.decode().splitlines()] == expected, where


@pytest.mark.filterwarnings("error")        # what a reader copies runs without a warning
def test_every_block_of_the_readme_runs_as_written(scratch):
    pytest.importorskip("matplotlib")
    pytest.importorskip("xarray")
    pytest.importorskip("dask.dataframe")
    namespace = {"__name__": "readme"}
    ran = 0
    for language, options, body, line in blocks():
        if language == "python" and "file" in options:
            (scratch / options["file"]).write_text(body)
        elif language == "python":
            run_python(body, line, namespace)
        elif language == "console":
            run_console(body, line, scratch)
        else:
            continue
        ran += 1
    assert ran >= 10


def test_the_readme_fences_only_languages_the_runner_knows():
    found = list(blocks())
    assert {language for language, *_ in found} <= RUN | SHOWN
    for language, options, body, line in found:
        assert set(options) <= ({"file"} if language == "python" else set()), f"README.md line {line}"
        if language in SHOWN:       # a command of the package is never only shown
            assert not re.search(r"(^|\|)\s*vondrel\s", body, re.M), f"README.md line {line}: use ```console"
