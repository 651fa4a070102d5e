"""The IBM float kernels against references computed another way, over
millions of bit patterns: NumPy's float64 arithmetic through the package's
own decode and encode, and a native sweep (tests/native/ibm_sweep.cpp) that
compiles ibm.cpp beside a double-based reference and compares every pattern
of a range.  VONDREL_IBM_SWEEP=all makes the native sweep check all 2**32
patterns (a few minutes)."""
import os
import subprocess
import sysconfig
from pathlib import Path

import numpy as np
import pytest

from vondrel import _arrays

from conftest import BUILD, EXTRA_FLAGS, NATIVE, compiler_env

SRC = Path(__file__).resolve().parent.parent / "src"


@pytest.fixture(params=[False, True], ids=["best", "portable"])
def kernels(request):
    name = _arrays._segy_kernels(request.param)
    yield name
    _arrays._segy_kernels(False)


def patterns(count=1_000_003):
    """A strided sample of every 32-bit pattern (the stride odd, so the low
    bits take every value), and the edge classes whole: zeros, the smallest
    and largest fractions of every exponent, float subnormals, and the
    exponents where IBM values leave float32's range."""
    stride = (1 << 32) // count | 1
    sample = np.arange(count, dtype=np.uint64) * stride
    low = np.arange(1 << 16, dtype=np.uint32)
    edges = [low, low | 0x00FF0000, 0x007F0000 | low, 0x00800000 | low]          # subnormals, smallest normals
    for top in range(256):                                                      # every sign and exponent byte
        edges += [np.uint32(top << 24) | np.array([0, 1, 2, 3, 0xF, 0x10, 0xFFFFF, 0x100000, 0x7FFFFF, 0x800000,
                                                    0xFFFFFE, 0xFFFFFF], np.uint32)]
    for top in (0x1A, 0x1F, 0x20, 0x21, 0x22, 0x60, 0x61, 0x62):              # IBM under- and overflow bands
        edges += [np.uint32(top << 24) | (np.arange(1 << 12, dtype=np.uint32) * 4099 & 0xFFFFFF)]
    words = np.concatenate([sample.astype(np.uint32), *edges])
    return np.concatenate([words, words ^ np.uint32(0x80000000)])


def numpy_decode(words):
    """float32 bits of IBM words: f * 2**(4e - 280) is exact as a float64;
    NumPy's cast to float32 rounds it (ties to even, overflow to infinity,
    underflow through the subnormals)."""
    f = (words & 0xFFFFFF).astype(np.float64)
    e = ((words >> 24) & 0x7F).astype(np.int64)
    with np.errstate(over="ignore"):
        value = np.ldexp(f, 4 * e - 280).astype(np.float32)
    return value.view(np.uint32) | (words & np.uint32(0x80000000))


def numpy_encode(bits):
    """IBM words of finite float32 bits, from frexp and a rounding to the
    nearest integer (ties to even) of the fraction scaled to 24 bits."""
    d = np.abs(bits.view(np.float32).astype(np.float64))
    _, exp = np.frexp(d)                                   # d = m * 2**exp, m in [0.5, 1)
    q = (exp.astype(np.int64) + 3) >> 2                    # the leading bit 20 to 23 places up
    fraction = np.rint(np.ldexp(d, 24 - 4 * q)).astype(np.int64)
    carry = fraction >> 24
    fraction >>= 4 * carry
    q += carry
    word = ((q + 64) << 24 | fraction).astype(np.uint32)
    word[d == 0] = 0
    return word | (bits & np.uint32(0x80000000))


@pytest.mark.parametrize("big", [True, False], ids=["big-endian", "little-endian"])
def test_decode_agrees_with_numpy_on_millions_of_words(kernels, big):
    words = patterns()
    src = bytes(240) + words.astype(">u4" if big else "<u4").tobytes()
    out = np.empty(len(words), np.float32)
    _arrays._segy_decode(src, 1, len(words), 1, big, np.empty(240, np.uint8), out, True)
    got, want = out.view(np.uint32), numpy_decode(words)
    wrong = np.flatnonzero(got != want)
    assert not len(wrong), f"{len(wrong)} wrong, first {words[wrong[0]]:08x}: {got[wrong[0]]:08x} not {want[wrong[0]]:08x}"


@pytest.mark.parametrize("big", [True, False], ids=["big-endian", "little-endian"])
def test_encode_agrees_with_numpy_on_millions_of_floats(kernels, big):
    bits = patterns()
    bits = bits[(bits & 0x7F800000) != 0x7F800000]           # infinities and NaNs have no IBM form
    dst = bytearray(240 + 4 * len(bits))
    assert _arrays._segy_encode(np.zeros(240, np.uint8), bits.view(np.float32), 1, len(bits), 1, big, dst) == -1
    got = np.frombuffer(dst, ">u4" if big else "<u4", offset=240)
    want = numpy_encode(bits)
    wrong = np.flatnonzero(got != want)
    assert not len(wrong), f"{len(wrong)} wrong, first {bits[wrong[0]]:08x}: {got[wrong[0]]:08x} not {want[wrong[0]]:08x}"


@pytest.mark.parametrize("where", [0, 1, 1023, 1024, 5000, 9999])
@pytest.mark.parametrize("special", [np.inf, -np.inf, np.nan, "subnormal"])
def test_encode_finds_the_first_non_finite_value_among_special_ones(kernels, where, special):
    """A piece that holds a subnormal is converted in full; the first
    infinity or NaN is the one reported, wherever it lies in its piece."""
    values = np.linspace(-3, 3, 10_000).astype(np.float32)
    values[::97] = np.uint32(5).view(np.float32)                # subnormals spread through every piece
    if special == "subnormal":
        values[where] = np.uint32(0x7FFFFF).view(np.float32)
        expected = -1
    else:
        values[where] = special
        values[where + 1:] = np.inf
        expected = where
    dst = bytearray(240 + 4 * len(values))
    assert _arrays._segy_encode(np.zeros(240, np.uint8), values, 1, len(values), 1, True, dst) == expected
    if expected < 0:
        assert np.array_equal(np.frombuffer(dst, ">u4", offset=240), numpy_encode(values.view(np.uint32)))


def native_sweep():
    """The sweep program, built from the checkout's ibm.cpp as the release
    build compiles it (-O3)."""
    source, kernel = NATIVE / "ibm_sweep.cpp", SRC / "vondrel" / "_arrays" / "ibm.cpp"
    target = BUILD / "ibm_sweep"
    deps = [source, kernel, kernel.with_suffix(".hpp")]
    if not target.exists() or target.stat().st_mtime < max(p.stat().st_mtime for p in deps):
        BUILD.mkdir(parents=True, exist_ok=True)
        cmd = [os.environ.get("CXX", "g++"), "-std=c++20", "-O3", "-Wall", "-Wextra", "-Werror", f"-I{SRC}",
               *EXTRA_FLAGS, str(source), str(kernel), "-o", f"{target}.tmp"]
        subprocess.run(cmd, check=True, env=compiler_env())
        os.replace(f"{target}.tmp", target)
    return target


SWEEPS = {
    "every 2039th pattern": (2039, 0, 0xFFFFFFFF),
    "float subnormals and the smallest normals": (7, 0x00000000, 0x01000000),
    "IBM words near float32's smallest normal": (31, 0x1F000000, 0x22FFFFFF),
    "IBM words near float32's largest": (31, 0x60000000, 0x61FFFFFF),
    "the largest floats and the non-finite": (7, 0x7F000000, 0x7FFFFFFF),
}
if os.environ.get("VONDREL_IBM_SWEEP") == "all":
    SWEEPS = {"all 2**32 patterns": (1, 0, 0xFFFFFFFF)}


@pytest.mark.skipif(sysconfig.get_platform().startswith("win"), reason="builds a plain program with g++")
@pytest.mark.parametrize("stride, first, last", SWEEPS.values(), ids=SWEEPS.keys())
def test_native_kernels_match_the_double_based_reference(stride, first, last):
    done = subprocess.run([native_sweep(), str(stride), str(first), str(last)], capture_output=True, text=True,
                          env=compiler_env())
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.startswith(f"{(last - first) // stride + 1} checked, 0 wrong")


@pytest.mark.parametrize("big", [True, False], ids=["big-endian", "little-endian"])
@pytest.mark.parametrize("count", [1, 7, 1000])
def test_trace_headers_swap_field_by_field_as_numpy_reads_them(kernels, big, count):
    """Random header bytes decoded and encoded again by the native swap,
    against NumPy's reading of each field in the file's order; in place
    and between buffers, one trace and runs of them."""
    from vondrel._layout import trace_header_dtype
    raw = np.random.default_rng(count).integers(0, 256, 240 * count, np.uint8)
    rows = np.empty(240 * count, np.uint8)
    _arrays._segy_decode(raw.tobytes(), count, 0, 5, big, rows, None, True)
    file_order = np.frombuffer(raw.tobytes(), trace_header_dtype(">" if big else "<"))
    native = file_order.astype(trace_header_dtype("="))
    assert rows.tobytes() == native.tobytes()
    back = bytearray(240 * count)
    _arrays._segy_encode(rows, np.empty(0, np.float32), count, 0, 5, big, back)
    assert bytes(back) == raw.tobytes()
