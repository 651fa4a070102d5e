"""The `vondrel` command, run as a real process on the real files of tests/data."""
import io
import os
import pty
import shutil
import struct
import subprocess
import sys

import pytest

import vondrel
from segyfiles import HEADER_FIELDS
from test_real_data import BIG, DATA, to_little_endian

VONDREL = [shutil.which("vondrel") or sys.exit("the vondrel console script is not installed")]


def run(*args, stdin=None, **kw):
    return subprocess.run([*VONDREL, *map(str, args)], input=stdin, capture_output=True, timeout=60, **kw)


def collection_of(name, order):
    traces = to_little_endian((DATA / name).read_bytes(), order)
    return struct.pack("<i", len(traces)) + b"".join(traces)


@pytest.mark.parametrize("entry", [VONDREL, [sys.executable, "-m", "vondrel"]], ids=["script", "module"])
def test_usage_errors_exit_2_with_the_usage_line(entry):
    done = subprocess.run([*entry, "convert", "only-one"], capture_output=True, timeout=60)
    assert done.returncode == 2 and done.stderr.startswith(b"usage: vondrel convert")


@pytest.mark.parametrize("name, order", [("seismiclab_cdp700.su", ">"), ("segyio_small-lsb.su", "<")])
def test_convert_to_a_native_collection(tmp_path, name, order):
    out = tmp_path / "out.su"
    done = run("convert", DATA / name, out, "--to", "collection")
    assert (done.returncode, done.stdout, done.stderr) == (0, b"", b"")
    assert out.read_bytes() == collection_of(name, order)


def test_convert_back_to_big_endian_is_byte_identical(tmp_path):
    out = tmp_path / "out.su"
    assert run("convert", DATA / "segyio_small-lsb.su", out, "--byteorder", "big").returncode == 0
    assert out.read_bytes() == (DATA / "segyio_small.su").read_bytes()


@pytest.mark.parametrize("name, args, fmt, options", [
    ("segyio_Format1msb.sgy", [], "su", {"byteorder": "="}),       # IBM floats, big-endian
    ("segyio_Format16lsb.sgy", [], "su", {"byteorder": "="}),      # 8-bit unsigned, little-endian
    ("seismiclab_cdp700.su", ["--to", "segy", "--ibm"], "segy", {"sample_format": 1}),
])
def test_segy_streams_as_the_whole_file_converts(name, args, fmt, options):
    done = run("convert", "-", "-", *args, stdin=(DATA / name).read_bytes())
    assert (done.returncode, done.stderr) == (0, b"")
    want = io.BytesIO()
    vondrel.write(want, vondrel.read(DATA / name), format=fmt, **options)
    same = done.stdout == want.getvalue()            # (a diff of the bytes would take minutes)
    assert same


def test_a_pipeline_of_two_converts_equals_the_direct_conversion(tmp_path):
    source = DATA / "seismiclab_gom_cdp_nmo.su"
    first = subprocess.Popen([*VONDREL, "convert", source, "-"], stdout=subprocess.PIPE)
    second = subprocess.Popen([*VONDREL, "convert", "-", tmp_path / "piped.su", "--to", "collection"],
                              stdin=first.stdout)
    first.stdout.close()
    assert (second.wait(60), first.wait(60)) == (0, 0)
    assert run("convert", source, tmp_path / "direct.su", "--to", "collection").returncode == 0
    assert (tmp_path / "piped.su").read_bytes() == (tmp_path / "direct.su").read_bytes()


@pytest.mark.parametrize("command, message", [
    ([*VONDREL, "convert", "-", "-", "--to", "collection"],
     b"vondrel convert: <stdout>: a collection file starts with its trace count, which a stream cannot go back to"),
    ([sys.executable, "-c", "import sys, vondrel; vondrel.traces(sys.stdin.buffer).to_stream(sys.stdout.buffer)"],
     b"ValueError: <stdin>: the trace count of a stream is not known before its end"),
], ids=["convert", "to_stream"])
def test_a_collection_count_on_a_pipe_is_refused(command, message):
    done = subprocess.run(command, input=(DATA / "segyio_small-lsb.su").read_bytes(), capture_output=True,
                          timeout=60)
    assert done.returncode == 1 and done.stdout == b""
    assert message in done.stderr


def test_a_file_cut_short_is_one_line_naming_it(tmp_path):
    bad = tmp_path / "cut.su"
    bad.write_bytes((DATA / "seismiclab_cdp700.su").read_bytes()[:-10])
    done = run("convert", bad, "-")                   # seen by the detection: the size does not tile
    assert done.returncode == 1 and done.stderr.startswith(f"vondrel convert: {bad}: ".encode())
    assert done.stderr.count(b"\n") == 1
    piped = run("convert", "-", tmp_path / "out.su", stdin=bad.read_bytes())   # seen while streaming
    assert piped.returncode == 1
    assert piped.stderr == b"vondrel convert: <stdin>: trace 23 is cut short at byte 111350.\n"
    debug = run("convert", bad, "-", "--debug")
    assert debug.returncode == 1 and b"Traceback" in debug.stderr


def test_info_lists_the_fields_that_vary_with_their_ranges():
    raw = (DATA / "seismiclab_cdp700.su").read_bytes()
    rows = [struct.unpack(">" + BIG + "28s", raw[pos:pos + 240])[:-1] for pos in range(0, len(raw), 4640)]
    want = {name: (min(v), max(v)) for name, *v in zip([n for n, _ in HEADER_FIELDS], *rows) if min(v) != max(v)}
    done = run("info", "-", stdin=raw)
    assert done.returncode == 0
    lines = done.stdout.decode().splitlines()
    assert lines[:4] == ["-: su, big-endian, 24 traces", "  ns  1100", "  dt  2000",
                         "  varying header fields (min max):"]
    got = {name: (float(lo), float(hi)) for name, lo, hi in map(str.split, lines[4:])}
    assert got.keys() == want.keys()
    assert got == pytest.approx(want, rel=1e-5)


def test_info_on_what_is_no_trace_file(tmp_path):
    bad = tmp_path / "notes.txt"
    bad.write_bytes(b"not seismic data\n" * 40)
    done = run("info", bad, DATA / "segyio_small.su")
    assert done.returncode == 1 and done.stdout.startswith(f"{DATA / 'segyio_small.su'}: su, big-endian".encode())
    assert done.stderr.startswith(f"vondrel info: {bad}: ".encode()) and done.stderr.count(b"\n") == 1


def test_plot_writes_a_png_of_the_requested_size(tmp_path):
    pytest.importorskip("matplotlib")
    out = tmp_path / "gather.png"
    done = run("plot", DATA / "seismiclab_cdp700.su", "-o", out, "--size", "640x480", "--x", "offset",
               "--traces", "2:20", "--wiggle")
    assert (done.returncode, done.stderr) == (0, b"")
    png = out.read_bytes()
    assert png[:8] == b"\x89PNG\r\n\x1a\n" and struct.unpack(">II", png[16:24]) == (640, 480)
    bad = run("plot", DATA / "seismiclab_cdp700.su", "-o", tmp_path / "no.png", "--x", "nosuchfield")
    assert bad.returncode == 1 and bad.stderr.count(b"\n") == 1 and not (tmp_path / "no.png").exists()


@pytest.mark.parametrize("unbuffered", ["", "PYTHONUNBUFFERED=1 "], ids=["buffered", "unbuffered"])
def test_a_reader_that_goes_away_ends_the_command_with_141(unbuffered):
    # Unbuffered, standard output is a raw file whose write() may take part
    # of a block: the rest must still be written (and meet the broken pipe).
    shell = f"{unbuffered}{VONDREL[0]} convert {DATA / 'seismiclab_gom_cdp_nmo.su'} - | head -c 1000 >/dev/null; " \
            "echo ${PIPESTATUS[0]} >&2"
    done = subprocess.run(["bash", "-c", shell], capture_output=True, timeout=60)
    assert done.stderr == b"141\n"


@pytest.mark.parametrize("terminal, quiet, shown", [(False, False, False), (True, True, False),
                                                     (True, False, True)])
def test_progress_bar_only_on_a_terminal(tmp_path, terminal, quiet, shown):
    pytest.importorskip("tqdm")
    source = tmp_path / "big.su"
    source.write_bytes((DATA / "seismiclab_gom_cdp_nmo.su").read_bytes() * 4)
    args = ["convert", source, tmp_path / "out.su", *(["--quiet"] if quiet else [])]
    if not terminal:
        done = run(*args)
        assert done.returncode == 0
        assert done.stderr == b""
        return
    parent, child = pty.openpty()
    proc = subprocess.Popen([*VONDREL, *map(str, args)], stderr=child)
    os.close(child)
    seen = b""
    while chunk := _read_pty(parent):
        seen += chunk
    os.close(parent)
    assert proc.wait(60) == 0
    assert (b"convert" in seen) == shown


def _read_pty(fd):
    try:
        return os.read(fd, 4096)
    except OSError:        # the other side closed
        return b""
