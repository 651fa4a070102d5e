"""The `vondrel` command, run as a real process on the real files of tests/data."""
import importlib.util
import inspect
import io
import os
import pty
import re
import shutil
import struct
import subprocess
import sys
import threading

import numpy as np
import pytest

import vondrel
from segyfiles import HEADER_FIELDS, trace_bytes
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


@pytest.mark.parametrize("args", [
    ["info"], ["info", "x.su", "--trace", "-1"], ["info", "x.su", "--format", "sgy"],
    ["plot", "x.su", "--size", "10x10"], ["plot", "x.su", "--traces", "1:2:3"],
    ["convert", "a.su", "b.sgy", "--ibm"], ["convert", "a", "b", "--text", "t.txt"],
    ["convert", "a", "b", "--ns", "0"], ["convert", "a", "b", "--input-sample-format", "4x"],
    ["convert", "a", "b", "--input-sample-format", "13"], ["convert", "a", "b", "--from-byteorder", "native"],
    ["convert", "a", "b", "--no-such-flag"],
], ids=lambda a: " ".join(a))
def test_usage_errors_exit_2_before_any_file_is_touched(tmp_path, args):
    done = run(*args, cwd=tmp_path)
    assert done.returncode == 2 and done.stdout == b""
    assert done.stderr.startswith(f"usage: vondrel {args[0]}".encode()) and b"error: " in done.stderr
    assert list(tmp_path.iterdir()) == []


def alike_file(path):
    """One SU trace that reads as plausibly in either byte order: ns 257
    (0x0101), dt 0x1010, the rest of the header zero, and samples whose
    bytes 3f 80 00 3f are about 1.0000075 big-endian and 0.50196 little-endian."""
    header = bytearray(240)
    header[114:118] = b"\x01\x01\x10\x10"
    path.write_bytes(bytes(header) + b"\x3f\x80\x00\x3f" * 257)
    return path


def test_from_byteorder_decides_where_detection_cannot(tmp_path):
    path = alike_file(tmp_path / "alike.su")
    raw = path.read_bytes()
    undecided = run("info", path)
    assert undecided.returncode == 1
    assert undecided.stderr.endswith(b"alike; use --from-byteorder little or --from-byteorder big\n")
    for order, code in [("big", ">"), ("little", "<")]:
        done = run("info", path, "--from-byteorder", order)
        assert done.stdout.decode().splitlines()[:3] == [f"{path}: su, {order}-endian, 1 trace", "  ns  257",
                                                         "  dt  4112"]
        out = tmp_path / f"{order}.su"
        assert run("convert", path, out, "--from-byteorder", order, "--byteorder", "little").returncode == 0
        got = out.read_bytes()
        assert got[:240] == raw[:240]
        assert (np.frombuffer(got, "<f4", offset=240) == np.frombuffer(raw, code + "f4", offset=240)).all()
    assert run("convert", path, tmp_path / "no.su").returncode == 1 and not (tmp_path / "no.su").exists()
    if importlib.util.find_spec("matplotlib"):
        assert run("plot", path, "-o", tmp_path / "p.png", "--from-byteorder", "big").returncode == 0


@pytest.mark.parametrize("args, stdin, message", [
    (["convert", "-", "-", "--to", "collection"], "segyio_small.su",
     b"a collection file starts with its trace count, which a stream cannot go back to; write it to a file, "
     b"or use --to su on a pipe.\n"),
    (["info", "-"], "alike", b"alike; use --from-byteorder little or --from-byteorder big\n"),
    (["convert", "-", "-", "--to", "segy"], "no interval",
     b"trace 0 has no sample interval (dt 0, and 0 in the binary header); set the traces' dt in microseconds "
     b"first, with vondrel edit --set\n"),
], ids=["collection on a pipe", "byte order", "no interval"])
def test_messages_speak_in_flags(tmp_path, args, stdin, message):
    if stdin == "no interval":          # one SU trace of 4 samples, dt 0
        data = bytes(114) + struct.pack("=H", 4) + bytes(124) + bytes(16)
    else:
        data = alike_file(tmp_path / "a.su").read_bytes() if stdin == "alike" else (DATA / stdin).read_bytes()
    done = run(*args, stdin=data)
    assert done.returncode == 1 and done.stderr.endswith(message)
    assert b"=" not in done.stderr and done.stderr.count(b"\n") == 1


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
    assert piped.stderr == (b"vondrel convert: <stdin>: SU big-endian: trace 23 at byte offset 106720 is cut "
                            b"short: the data end 4630 bytes into it; --partial keeps the complete traces "
                            b"before it\n")
    debug = run("convert", bad, "-", "--debug")
    assert debug.returncode == 1 and b"Traceback" in debug.stderr


def info_sections(lines):
    """{section title: {field: values}} of `vondrel info` output lines."""
    sections, current = {}, None
    for line in lines:
        if line.startswith("  ") and not line.startswith("    "):
            current = sections.setdefault(line.strip().rstrip(":"), {})
        elif current is not None:
            name, *values = line.split()
            current[name] = values
    return sections


def ranges(rows, names):
    """{field: (min, max)} of the fields that are not zero in every row."""
    found = {name: (min(v), max(v)) for name, *v in zip(names, *rows)}
    return {k: v for k, v in found.items() if v != (0, 0)}


def test_info_shows_every_field_in_use_with_its_value_or_range():
    raw = (DATA / "seismiclab_cdp700.su").read_bytes()
    rows = [struct.unpack(">" + BIG + "28s", raw[pos:pos + 240])[:-1] for pos in range(0, len(raw), 4640)]
    want = ranges(rows, [n for n, _ in HEADER_FIELDS])
    done = run("info", "-", stdin=raw)
    assert done.returncode == 0
    lines = done.stdout.decode().splitlines()
    assert lines[:3] == ["-: su, big-endian, 24 traces", "  ns  1100", "  dt  2000"]
    got = info_sections(lines[3:])
    assert got.keys() == {"constant header fields", "varying header fields (min max)"}
    constant = {k: (int(v), int(v)) for k, (v,) in got["constant header fields"].items()}
    varying = {k: (int(lo), int(hi)) for k, (lo, hi) in got["varying header fields (min max)"].items()}
    assert {**constant, **varying} == {k: v for k, v in want.items() if k not in ("ns", "dt")}
    assert all(lo != hi for lo, hi in varying.values())


# Bytes 181-240 of a SEG-Y trace header: (name, struct code).
SEGY_FIELDS = [("cdpx", "i"), ("cdpy", "i"), ("iline", "i"), ("xline", "i"), ("sp", "i"), ("scalsp", "h"),
               ("trunit", "h"), ("tdcm", "i"), ("tdcp", "h"), ("tdunit", "h"), ("devid", "h"), ("scalt", "h"),
               ("stype", "h"), ("sedv", "h"), ("sedxl", "h"), ("sedil", "h"), ("smeas", "i"), ("smeasp", "h"),
               ("smunit", "h")]
SU_180 = HEADER_FIELDS[:[n for n, _ in HEADER_FIELDS].index("d1")]
SEGY_TRACE = ">" + "".join(c for _, c in SU_180) + "".join(c for _, c in SEGY_FIELDS) + "8s"
assert struct.calcsize(SEGY_TRACE) == 240


def test_info_on_a_segy_cube_shows_bytes_181_to_240_and_the_file_headers():
    raw = (DATA / "segyio_Format1msb.sgy").read_bytes()
    hns, code = struct.unpack_from(">H2xh", raw, 3220)
    rows = [struct.unpack(SEGY_TRACE, raw[pos:pos + 240])[:-1] for pos in range(3600, len(raw), 240 + 4 * hns)]
    assert len(rows) == 414
    want = ranges(rows, [n for n, _ in SU_180 + SEGY_FIELDS])
    assert want["iline"] == (111, 133) and want["xline"] == (875, 892)
    done = run("info", DATA / "segyio_Format1msb.sgy")
    assert (done.returncode, done.stderr) == (0, b"")
    lines = done.stdout.decode().splitlines()
    assert lines[:5] == [f"{DATA / 'segyio_Format1msb.sgy'}: segy, big-endian, 414 traces",
                         f"  sample format  {code} (4-byte IBM float)", "  revision  1 (bytes 3501-3502 hold 00 01)",
                         f"  ns  {hns}", "  dt  4000"]
    got = info_sections(lines[5:])
    shown = {k: (int(v), int(v)) for k, (v,) in got["constant header fields"].items()}
    shown.update({k: (int(lo), int(hi)) for k, (lo, hi) in got["varying header fields (min max)"].items()})
    # dt agrees with the interval; ns (462 in every trace header, 75 in the binary header) is shown
    assert shown == {k: v for k, v in want.items() if k != "dt"} and shown["ns"] == (462, 462)


def test_info_of_one_trace_with_exact_floats(tmp_path):
    path = tmp_path / "one.su"
    path.write_bytes(trace_bytes(np.ones(4), tracl=7, dt=500, d1=-2344.125, f1=np.float32(0.1), ungpow=1e20))
    done = run("info", path)
    assert done.stdout.decode().splitlines() == [
        f"{path}: su, little-endian, 1 trace", "  ns  4", "  dt  500", "  constant header fields:",
        f"    {'tracl':<9} {'7':>12}", f"    {'d1':<9} {'-2344.125':>12}", f"    {'f1':<9} {'0.1':>12}",
        f"    {'ungpow':<9} {'1e+20':>12}"]


def test_info_binary_and_trace_headers_by_name():
    path = DATA / "segyio_small.sgy"
    raw = path.read_bytes()
    done = run("info", path, "--binary", "--trace", 7)
    assert (done.returncode, done.stderr) == (0, b"")
    got = info_sections(done.stdout.decode().splitlines()[1:])
    binary = {name: values for name, values in got["binary header"].items()}
    for first, name, code in [(3213, "ntrpr", "h"), (3217, "hdt", "h"), (3221, "hns", "H"), (3225, "format", "h")]:
        size = struct.calcsize(code)
        assert binary[f"{first}-{first + size - 1}"] == [name, str(struct.unpack_from(">" + code, raw, first - 1)[0])]
    assert len(binary) == len({v[0] for v in binary.values()})     # every field once, by name
    trace = raw[3600 + 7 * 440:3600 + 7 * 440 + 240]
    dump = {values[0]: values[1] for values in got["trace 7 header"].values()}
    parsed = dict(zip([n for n, _ in SU_180 + SEGY_FIELDS], struct.unpack(SEGY_TRACE, trace)[:-1]))
    assert {k: int(v) for k, v in dump.items() if k != "segyunass"} == parsed
    assert (parsed["iline"], parsed["xline"]) == (2, 22)
    beyond = run("info", path, "--trace", 25)
    assert beyond.returncode == 1
    assert beyond.stderr == f"vondrel info: {path}: no trace 25: the file holds 25 traces\n".encode()


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


CDP700 = DATA / "seismiclab_cdp700.su"          # 24 traces of 1100 samples, 4640 bytes each


@pytest.mark.parametrize("piped", [False, True], ids=["path", "pipe"])
def test_partial_keeps_the_complete_traces_of_an_input_cut_short(tmp_path, piped):
    raw = CDP700.read_bytes()
    cut = tmp_path / "cut.su"
    cut.write_bytes(raw[:10 * 4640 + 1000])
    source = ["-"] if piped else [cut]
    stdin = cut.read_bytes() if piped else None
    out = tmp_path / "out.su"
    refused = run("convert", *source, out, stdin=stdin)
    assert refused.returncode == 1 and refused.stderr.endswith(b"; --partial keeps the complete traces before it\n")
    done = run("convert", *source, out, "--partial", "--byteorder", "big", stdin=stdin)
    assert done.returncode == 0 and out.read_bytes() == raw[:10 * 4640]
    name = "<stdin>" if piped else str(cut)
    assert done.stderr == f"vondrel convert: {name}: SU big-endian: trace 10 at byte offset 46400 is cut short: " \
                          "the data end 1000 bytes into it; kept the 10 complete traces before it\n".encode()
    info = run("info", *source, "--partial", stdin=stdin)
    assert info.stdout.startswith(f"{source[0]}: su, big-endian, 10 traces\n".encode())


def test_a_collection_cut_short_names_the_flags_that_read_it(tmp_path):
    # A count beyond what the file can hold is never taken without --format:
    # the error names the count, the complete traces and the flags that read them.
    ns, size = 37, 240 + 4 * 37
    trace = bytes(114) + struct.pack(">HH", ns, 4000) + bytes(122)         # tracl goes in front
    body = b"".join(struct.pack(">i", i + 1) + trace[4:] + struct.pack(f">{ns}f", *range(i, i + ns))
                    for i in range(11))
    cut = tmp_path / "cut.su"
    cut.write_bytes(struct.pack(">i", 11) + body[:5 * size + 243])
    for partial in ([], ["--partial"]):
        refused = run("convert", cut, tmp_path / "out.su", *partial)
        assert refused.returncode == 1 and refused.stderr == (
            f"vondrel convert: {cut}: no reading fits the data; read as a collection file (big-endian) its count "
            "says 11 traces and the file holds 5 complete ones: use --format collection with --partial\n").encode()
    assert not (tmp_path / "out.su").exists()
    done = run("convert", cut, tmp_path / "out.su", "--format", "collection", "--partial", "--to", "su",
               "--byteorder", "big")
    assert done.returncode == 0 and (tmp_path / "out.su").read_bytes() == body[:5 * size]


@pytest.mark.parametrize("piped", [False, True], ids=["path", "pipe"])
def test_partial_segy_keeps_its_trace_headers(tmp_path, piped):
    raw = (DATA / "segyio_small.sgy").read_bytes()
    cut = tmp_path / "cut.sgy"
    cut.write_bytes(raw[:3600 + 14 * 440 + 100])
    done = run("info", "-" if piped else cut, "--partial", stdin=cut.read_bytes() if piped else None)
    assert done.returncode == 0
    lines = done.stdout.decode().splitlines()
    assert lines[0].endswith(": segy, big-endian, 14 traces")
    assert f"    {'iline':<9} {'1':>12} {'3':>12}" in lines          # traces 0-13: inlines 1 to 3


def test_convert_text_file_becomes_the_textual_header(tmp_path):
    text = tmp_path / "text.txt"
    text.write_text("C 1 CLIENT: NOBODY\nC 2 LINE 7\n")
    out = tmp_path / "out.sgy"
    done = run("convert", CDP700, out, "--to", "segy", "--text", text)
    assert (done.returncode, done.stderr) == (0, b"")
    want = "".join(line.ljust(80) for line in ["C 1 CLIENT: NOBODY", "C 2 LINE 7"]).ljust(3200).encode("cp037")
    assert out.read_bytes()[:3200] == want
    raw = tmp_path / "raw.txt"
    raw.write_bytes(bytes(range(256)) * 12 + b"A" * 128)         # 3200 bytes: taken as they are
    assert run("convert", CDP700, out, "--to", "segy", "--text", raw).returncode == 0
    assert out.read_bytes()[:3200] == raw.read_bytes()
    long = tmp_path / "long.txt"
    long.write_text("x" * 81)
    refused = run("convert", CDP700, tmp_path / "no.sgy", "--to", "segy", "--text", long)
    assert refused.returncode == 1 and not (tmp_path / "no.sgy").exists()
    assert refused.stderr == f"vondrel convert: --text {long}: a textual header holds at most 40 lines of at most " \
                             "80 characters.\n".encode()


@pytest.mark.parametrize("command, status, result", [
    ("info", 0, "{source}: su, big-endian, 368 traces"),
    ("convert", 1, "vondrel convert: <stdin>: SU big-endian: trace 367 at byte offset"),
], ids=["result", "error"])
def test_nothing_is_printed_onto_the_progress_bar(tmp_path, command, status, result):
    pytest.importorskip("tqdm")
    source = tmp_path / "big.su"
    source.write_bytes((DATA / "seismiclab_gom_cdp_nmo.su").read_bytes() * 4)
    args = [source] if command == "info" else ["-", tmp_path / "out.su"]
    parent, child = pty.openpty()
    cut = tmp_path / "cut.su"                                    # the last trace cut short, on a pipe
    cut.write_bytes(source.read_bytes()[:-10])
    proc = subprocess.Popen([*VONDREL, command, *args], stdin=subprocess.PIPE, stdout=child, stderr=child)
    os.close(child)
    def feed():
        with proc.stdin:
            if command == "convert":
                proc.stdin.write(cut.read_bytes())
    feeding = threading.Thread(target=feed)
    feeding.start()
    seen = b""
    while chunk := _read_pty(parent):
        seen += chunk
    os.close(parent)
    feeding.join(60)
    assert proc.wait(60) == status
    before, found, _ = seen.partition(result.format(source=source).encode())
    assert found and command.encode() in before                  # the bar was there ...
    assert re.split(rb"[\r\n]", before)[-1] == b""               # ... and gone from the line that follows


@pytest.mark.skipif("ns" not in inspect.signature(vondrel.read).parameters,
                    reason="the reader takes no ns= and sample_format= overrides yet")
@pytest.mark.parametrize("at, lie, flag, value", [(3220, ">H", "--ns", 50), (3224, ">h", "--input-sample-format", 1)],
                         ids=["ns", "sample format"])
def test_overrides_read_a_segy_file_whose_binary_header_lies(tmp_path, at, lie, flag, value):
    raw = bytearray((DATA / "segyio_small.sgy").read_bytes())
    struct.pack_into(lie, raw, at, 5 if flag == "--input-sample-format" else 49)
    liar = tmp_path / "liar.sgy"
    liar.write_bytes(raw)
    assert run("convert", DATA / "segyio_small.sgy", tmp_path / "want.su").returncode == 0
    done = run("convert", liar, tmp_path / "got.su", flag, value)
    assert (done.returncode, done.stderr) == (0, b"")
    assert (tmp_path / "got.su").read_bytes() == (tmp_path / "want.su").read_bytes()


# A script that runs `vondrel plot` in a process of its own and keeps what
# it draws: the image's values, clip and extent (in OUT.npz), and the peak of
# memory that Python and NumPy allocated while reading (before matplotlib
# draws).  vondrel.read is refused: the whole file must never be read at once.
PLOT = """
import sys, tracemalloc
import numpy as np, matplotlib.axes, vondrel, vondrel.cli
drawn = {}
draw = vondrel.cli._draw
def measured(*args):
    drawn["peak"] = tracemalloc.get_traced_memory()[1]
    return draw(*args)
vondrel.cli._draw = measured
imshow = matplotlib.axes.Axes.imshow
def keep(self, X, **kw):
    drawn.update(X=np.array(X), vmin=kw["vmin"], vmax=kw["vmax"], extent=kw["extent"])
    return imshow(self, X, **kw)
matplotlib.axes.Axes.imshow = keep
set_ylabel = matplotlib.axes.Axes.set_ylabel
def label(self, text, **kw):
    drawn["ylabel"] = text
    return set_ylabel(self, text, **kw)
matplotlib.axes.Axes.set_ylabel = label
def refuse(*args, **kw):
    raise AssertionError("the whole file was read")
vondrel.read = refuse
tracemalloc.start()
status = vondrel.cli.main(sys.argv[2:])
np.savez(sys.argv[1], status=status, **drawn)
"""


def plot_in_process(tmp_path, *args, stdin=None):
    pytest.importorskip("matplotlib")
    out = tmp_path / "drawn.npz"
    done = subprocess.run([sys.executable, "-c", PLOT, out, "plot", *map(str, args), "-o", tmp_path / "p.png"],
                          input=stdin, capture_output=True, timeout=120)
    assert (done.returncode, done.stderr) == (0, b"")
    return dict(np.load(out))


def test_plot_of_a_gather_that_fits_the_picture_is_drawn_from_every_sample(tmp_path):
    raw = (DATA / "seismiclab_syn_cmp.su").read_bytes()        # 38 traces of 522 samples, dt 4 ms
    samples = np.stack([np.frombuffer(raw, ">f4", 522, pos + 240) for pos in range(0, len(raw), 240 + 4 * 522)])
    offsets = [struct.unpack_from(">i", raw, pos + 36)[0] for pos in range(0, len(raw), 240 + 4 * 522)]
    drawn = plot_in_process(tmp_path, DATA / "seismiclab_syn_cmp.su", "--size", "900x700", "--x", "offset")
    assert (drawn["X"] == samples.T).all()
    clip = np.percentile(np.abs(samples), 99)
    assert (drawn["vmin"], drawn["vmax"]) == (-clip, clip)
    half = (offsets[1] - offsets[0]) / 2
    assert drawn["extent"].tolist() == [offsets[0] - half, offsets[-1] + half, 521 * 4.0, 0.0]


def peaks(values):
    """The value of largest magnitude of an array."""
    flat = values.ravel()
    return flat[np.argmax(np.abs(flat))]


def test_plot_of_a_larger_file_keeps_each_pixels_largest_sample(tmp_path):
    rng = np.random.default_rng(5)
    samples = rng.standard_normal((300, 200)).astype(np.float32)
    path = tmp_path / "many.su"
    path.write_bytes(b"".join(trace_bytes(s, tracl=i + 1, dt=2000) for i, s in enumerate(samples)))
    drawn = plot_in_process(tmp_path, path, "--size", "100x100")
    columns, rows = 86, 84                                          # the axes' share of 100 x 100 pixels
    col = np.arange(300) * columns // 300
    row = np.arange(rows + 1) * 200 // rows
    want = np.array([[peaks(samples[col == j][:, row[r]:row[r + 1]]) for j in range(columns)] for r in range(rows)])
    assert drawn["X"].shape == (rows, columns) and (drawn["X"] == want).all()
    assert drawn["extent"].tolist() == [-0.5, 299.5, 199 * 2.0, 0.0]
    assert str(drawn["ylabel"]) == "time (ms)"


def test_plot_of_traces_with_no_interval_counts_samples_instead_of_inventing_one(tmp_path):
    path = tmp_path / "untimed.su"
    path.write_bytes(b"".join(trace_bytes([1.0, -2.0, 3.0, 0.5], tracl=i + 1, dt=0) for i in range(3)))
    drawn = plot_in_process(tmp_path, path, "--size", "300x300")
    assert drawn["extent"].tolist() == [-0.5, 2.5, 3.0, 0.0]
    assert str(drawn["ylabel"]) == "sample"


def test_plot_streams_a_pipe_in_memory_that_does_not_grow_with_it(tmp_path):
    rng = np.random.default_rng(6)
    samples = rng.standard_normal((6000, 2000)).astype(np.float32)     # 48 MB of samples
    samples[4321, 1234] = 99.0
    one = trace_bytes(np.zeros(2000), dt=1000)
    data = bytearray(one * 6000)
    rows = np.frombuffer(data, np.uint8).reshape(6000, -1)
    rows[:, 240:] = samples.view(np.uint8).reshape(6000, -1)
    drawn = plot_in_process(tmp_path, "-", stdin=bytes(data))
    assert drawn["status"] == 0 and drawn["X"].shape == (504, 774)  # 900 x 600 pixels, 86% x 84% of them
    assert peaks(drawn["X"]) == 99.0 and np.isin(drawn["X"], samples).all()
    assert drawn["peak"] < len(data) // 3
