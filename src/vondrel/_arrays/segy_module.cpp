// Bindings of the SEG-Y trace codecs.  Each takes its buffers first, checks
// their sizes against what the call will touch, then converts with the
// interpreter lock released.
#include "vondrel/_arrays/segy_module.hpp"

#include "vondrel/_arrays/args.hpp"
#include "vondrel/_arrays/ibm.hpp"
#include "vondrel/_arrays/read.hpp"
#include "vondrel/_arrays/segy_io.hpp"
#include "vondrel/_arrays/segy_traces.hpp"
#include "vondrel/common/binder.hpp"
#include "vondrel/common/errors.hpp"
#include "vondrel/common/ref.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <unistd.h>

namespace vondrel::arrays {
namespace {

using codec::SampleFormat;

constexpr const char short_buffer[] = "%s() was given a %s buffer too small for the traces.";
constexpr const char bad_count[] = "%s() takes a count of at least 0.";
constexpr const char bad_run[] = "%s() takes an offset of at least 0, a step of at least 1 and an ns of at least 0.";
constexpr const char past_end[] = "%s() was asked for traces beyond the largest file offset.";

// More samples per trace than any buffer can hold; keeps the size
// arithmetic below far from overflow.
constexpr std::int64_t max_ns = std::int64_t(1) << 40;

// A count argument (0 or more) into *out; -1 with an exception set.
int count_argument(const char *func, PyObject *obj, std::size_t *out)
{
    std::int64_t v;
    if (to_int64(obj, &v) < 0)
        return -1;
    if (v < 0) {
        PyErr_Format(PyExc_ValueError, bad_count, func);
        return -1;
    }
    *out = static_cast<std::size_t>(v);
    return 0;
}

// Sets ValueError for a buffer that cannot hold what the call touches; -1.
int too_small(const char *func, const char *which)
{
    PyErr_Format(PyExc_ValueError, short_buffer, func, which);
    return -1;
}

// _segy_decode(src, count, ns, code, big_endian, headers, samples, to_float)
// Converts `count` traces of src into header rows (native order) and
// samples; `ns` -1 takes each trace's count from its header, `samples` None
// reads the headers only.  Returns the number of bytes of src used.
Params decode_params{"_segy_decode", {"src", "count", "ns", "code", "big_endian", "headers", "samples", "to_float"}};

PyObject *segy_decode(PyObject *, PyObject *const *call, Py_ssize_t nargs, PyObject *kwnames)
{
    constexpr const char *func = "_segy_decode";
    PyObject *args[8];
    std::size_t count;
    std::int64_t ns;
    bool big_endian, to_float;
    if (decode_params.bind(call, nargs, kwnames, args) < 0 || count_argument(func, args[1], &count) < 0 ||
        to_int64(args[2], &ns) < 0 || to_flag(args[4], &big_endian) < 0 || to_flag(args[7], &to_float) < 0)
        return nullptr;
    const SampleFormat *fmt = format_of(args[3]);
    if (!fmt)
        return nullptr;
    Buffer src, headers, samples;
    if (src.get(args[0], false) < 0 || headers.get(args[5], true) < 0 ||
        (args[6] != Py_None && samples.get(args[6], true) < 0))
        return nullptr;
    std::size_t bytes, n_samples;
    if (ns > max_ns)
        return too_small(func, "source"), nullptr;
    if (ns >= 0) {
        std::size_t stride = codec::trace_header_size + static_cast<std::size_t>(ns) * fmt->width;
        if (stride && count > src.size() / stride)
            return too_small(func, "source"), nullptr;
        bytes = stride * count;
        n_samples = static_cast<std::size_t>(ns) * count;
    } else if (codec::walk_traces(src.data(), src.size(), count, *fmt, big_endian, &bytes, &n_samples) != count) {
        return too_small(func, "source"), nullptr;
    }
    std::size_t item = to_float ? 4 : static_cast<std::size_t>(fmt->stored_size);
    if (headers.size() / codec::trace_header_size < count)
        return too_small(func, "header"), nullptr;
    if (args[6] != Py_None && samples.size() / item < n_samples)
        return too_small(func, "sample"), nullptr;
    unsigned char *out = args[6] == Py_None ? nullptr : samples.data();
    Py_BEGIN_ALLOW_THREADS
    codec::decode_traces(src.data(), count, ns, *fmt, big_endian, headers.data(), out, to_float);
    Py_END_ALLOW_THREADS
    return PyLong_FromSize_t(bytes);
}

// _segy_walk(src, code, big_endian): the traces that lie whole at the start
// of src when each holds the sample count of its own header.  A new tuple
// (traces, bytes, samples).
Params walk_params{"_segy_walk", {"src", "code", "big_endian"}};

PyObject *segy_walk(PyObject *, PyObject *const *call, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *args[3];
    bool big_endian;
    if (walk_params.bind(call, nargs, kwnames, args) < 0 || to_flag(args[2], &big_endian) < 0)
        return nullptr;
    const SampleFormat *fmt = format_of(args[1]);
    if (!fmt)
        return nullptr;
    Buffer src;
    if (src.get(args[0], false) < 0)
        return nullptr;
    std::size_t count, bytes, samples;
    Py_BEGIN_ALLOW_THREADS
    count = codec::walk_traces(src.data(), src.size(), SIZE_MAX, *fmt, big_endian, &bytes, &samples);
    Py_END_ALLOW_THREADS
    return Py_BuildValue("(nnn)", static_cast<Py_ssize_t>(count), static_cast<Py_ssize_t>(bytes),
                         static_cast<Py_ssize_t>(samples));
}

// Counts the IBM words among `n` at p that are not canonical: zero, or a
// normalised fraction (first hex digit not 0) with an exponent whose values
// float32 holds as normal numbers (16^-30 .. 16^32).  A canonical word has
// at most 24 significant bits, so its float32 value is exact, and a
// normalised word is the one encoding of its value.  Other words (negative
// zero, unnormalised fractions, the ends of the range) may still come back
// whole; the caller finds out by encoding.  `swapped`: the words are in the
// other byte order than this machine's; read as they lie, the exponent is
// then the low byte and the fraction's first digit bits 12-15.  Branch-free,
// so that the compiler can vectorise it.
template <bool swapped>
[[gnu::always_inline]] inline std::uint32_t ibm_unusual(const unsigned char *p, std::size_t n)
{
    constexpr std::uint32_t exponent_shift = swapped ? 0 : 24;
    constexpr std::uint32_t digit_mask = swapped ? 0x0000F000u : 0x00F00000u;
    std::uint32_t bad = 0;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t w;
        std::memcpy(&w, p + 4 * i, 4);
        const std::uint32_t exponent = (w >> exponent_shift) & 0x7Fu;
        const std::uint32_t in_range = (exponent - 34u) <= 62u;
        const std::uint32_t normal = (w & digit_mask) != 0;
        bad += static_cast<std::uint32_t>((w != 0) & ~(in_range & normal) & 1u);
    }
    return bad;
}

// The unusual words among the n IBM words at p (see ibm_unusual), in the
// file's order as `swapped` says; built again for AVX2, used where the CPU
// has it and the codec's kernels are (so that forcing the portable kernels
// reaches this loop too).
std::uint32_t unusual_portable(const unsigned char *p, std::size_t n, bool swapped)
{
    return swapped ? ibm_unusual<true>(p, n) : ibm_unusual<false>(p, n);
}

[[gnu::target("avx2")]] std::uint32_t unusual_avx2(const unsigned char *p, std::size_t n, bool swapped)
{
    return swapped ? ibm_unusual<true>(p, n) : ibm_unusual<false>(p, n);
}

using UnusualWords = std::uint32_t (*)(const unsigned char *, std::size_t, bool);

// The loop that suits the kernels in use; called with the lock held.
UnusualWords unusual_words()
{
    return std::strcmp(codec::kernel_name(), "avx2") == 0 ? unusual_avx2 : unusual_portable;
}

// _ibm_exact(src, count, ns, big_endian)
// True when every IBM sample of `count` traces of src (each a 240-byte
// header and ns 4-byte words) is canonical (see ibm_unusual): their
// float32 values then give the file's words back exactly.  False says only
// that some word needs the longer check.  One pass, no output.
Params exact_params{"_ibm_exact", {"src", "count", "ns", "big_endian"}};

PyObject *ibm_exact(PyObject *, PyObject *const *call, Py_ssize_t nargs, PyObject *kwnames)
{
    constexpr const char *func = "_ibm_exact";
    PyObject *args[4];
    std::size_t count;
    std::int64_t ns;
    bool big_endian;
    if (exact_params.bind(call, nargs, kwnames, args) < 0 || count_argument(func, args[1], &count) < 0 ||
        to_int64(args[2], &ns) < 0 || to_flag(args[3], &big_endian) < 0)
        return nullptr;
    if (ns < 0 || ns > max_ns) {
        PyErr_Format(PyExc_ValueError, bad_run, func);
        return nullptr;
    }
    Buffer src;
    if (src.get(args[0], false) < 0)
        return nullptr;
    const std::size_t words = static_cast<std::size_t>(ns);
    const std::size_t stride = codec::trace_header_size + words * 4;
    if (count > src.size() / stride)
        return too_small(func, "source"), nullptr;
    bool exact = true;
    const UnusualWords unusual = unusual_words();
    Py_BEGIN_ALLOW_THREADS
    const unsigned char *base = src.data();
    const bool swapped = big_endian != (std::endian::native == std::endian::big);
    for (std::size_t t = 0; t < count && exact; ++t)
        exact = unusual(base + t * stride + codec::trace_header_size, words, swapped) == 0;
    Py_END_ALLOW_THREADS
    return PyBool_FromLong(exact);
}

int descriptor_argument(PyObject *obj, int *fd);

// Writes the n bytes at p to `fd` from byte `at`; 0, or -1 with errno set.
int pwrite_full(int fd, const unsigned char *p, std::size_t n, std::int64_t at)
{
    while (n) {
        ssize_t put = ::pwrite(fd, p, n, at);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (put == 0) {             // took nothing: never spin on it
            errno = ENOSPC;
            return -1;
        }
        p += put;
        n -= static_cast<std::size_t>(put);
        at += put;
    }
    return 0;
}

// What _store_pieces did with the piece it stopped at.
enum class PieceEnd { done = 0, unusual = 1, short_read = 2, failed = 3 };

// _store_pieces(fd, pieces, ns, code, big_endian, check, raw, headers, samples, dst)
// Stores pieces of consecutive fixed-length traces of the descriptor `fd`,
// one a row (offset, count, header row, sample row) of the native int64
// array `pieces`: the `count` traces from byte `offset` are read into `raw`,
// their header bytes copied as the file holds them to rows (header row),
// (header row) + 1, ... of `headers` (240 bytes each), and their samples
// decoded into the format's stored type (float32 for IBM floats): into rows
// (sample row), ... of `samples` when `dst` is -1, else into the start of
// `samples` and written to the descriptor `dst` from byte (sample row) * ns *
// (the stored type's size).  With `check`, every IBM
// sample is proved canonical as _ibm_exact proves it, and the call stops
// after the first piece that holds another word (stored whole; raw and
// samples still hold it).  One call does a chunk's reads, conversions and
// writes with the interpreter lock released throughout.  Returns a new
// tuple (piece, status): status 0, every piece stored (piece is their
// count); 1, stopped after `piece` for its unusual words; 2, the file ends
// within `piece` (nothing of it stored).  OSError for a failed read or write.
Params store_params{"_store_pieces",
                    {"fd", "pieces", "ns", "code", "big_endian", "check", "raw", "headers", "samples", "dst"}};

PyObject *store_pieces(PyObject *, PyObject *const *call, Py_ssize_t nargs, PyObject *kwnames)
{
    constexpr const char *func = "_store_pieces";
    PyObject *args[10];
    int fd, dst = -1;
    std::int64_t ns, dst_arg;
    bool big_endian, check;
    if (store_params.bind(call, nargs, kwnames, args) < 0 || descriptor_argument(args[0], &fd) < 0 ||
        to_int64(args[2], &ns) < 0 || to_flag(args[4], &big_endian) < 0 || to_flag(args[5], &check) < 0 ||
        to_int64(args[9], &dst_arg) < 0)
        return nullptr;
    if (dst_arg != -1 && descriptor_argument(args[9], &dst) < 0)
        return nullptr;
    const SampleFormat *fmt = format_of(args[3]);
    if (!fmt)
        return nullptr;
    if (ns < 0 || ns > max_ns) {
        PyErr_Format(PyExc_ValueError, bad_run, func);
        return nullptr;
    }
    Buffer pieces, raw, headers, samples;
    if (pieces.get(args[1], false) < 0 || raw.get(args[6], true) < 0 || headers.get(args[7], true) < 0 ||
        samples.get(args[8], true) < 0)
        return nullptr;
    constexpr std::size_t fields = 4;
    if (pieces.size() % (fields * sizeof(std::int64_t)))
        return too_small(func, "piece"), nullptr;
    const std::size_t n = pieces.size() / (fields * sizeof(std::int64_t));
    const std::size_t words = static_cast<std::size_t>(ns), item = static_cast<std::size_t>(fmt->stored_size);
    const std::size_t stride = codec::trace_header_size + words * fmt->width, row_bytes = words * item;
    // A copy of the plan: the caller's array may change while the lock is released.
    std::unique_ptr<std::int64_t, void (*)(void *)> held(
        static_cast<std::int64_t *>(std::malloc(std::max<std::size_t>(pieces.size(), 1))), std::free);
    if (!held)
        return PyErr_NoMemory();
    const std::int64_t *plan = held.get();
    std::memcpy(held.get(), pieces.data(), pieces.size());
    // Every piece's bytes must fit the buffers before the lock is released.
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t offset = plan[fields * i], count = plan[fields * i + 1], row = plan[fields * i + 2];
        const std::int64_t sample_row = plan[fields * i + 3];
        if (offset < 0 || count < 0 || row < 0 || sample_row < 0) {
            PyErr_Format(PyExc_ValueError, bad_run, func);
            return nullptr;
        }
        const std::size_t k = static_cast<std::size_t>(count), r = static_cast<std::size_t>(row);
        const std::size_t sr = static_cast<std::size_t>(sample_row);
        const std::size_t rows = headers.size() / codec::trace_header_size;
        if (stride && k > raw.size() / stride)
            return too_small(func, "source"), nullptr;
        if (r > rows || k > rows - r)
            return too_small(func, "header"), nullptr;
        std::uint64_t need_rows = k, at, end;
        if (dst == -1 && __builtin_add_overflow(static_cast<std::uint64_t>(sr), need_rows, &need_rows))
            return too_small(func, "sample"), nullptr;
        if (row_bytes && need_rows > samples.size() / row_bytes)
            return too_small(func, "sample"), nullptr;
        if (__builtin_add_overflow(static_cast<std::uint64_t>(sr), static_cast<std::uint64_t>(k), &at) ||
            __builtin_mul_overflow(at, static_cast<std::uint64_t>(row_bytes), &at) ||
            at > INT64_MAX || __builtin_mul_overflow(static_cast<std::uint64_t>(k), stride, &end) ||
            __builtin_add_overflow(end, static_cast<std::uint64_t>(offset), &end) || end > INT64_MAX) {
            PyErr_Format(PyExc_ValueError, past_end, func);
            return nullptr;
        }
    }
    const bool swapped = big_endian != (std::endian::native == std::endian::big);
    const bool prove = check && fmt->code == 1;
    const UnusualWords unusual_in = unusual_words();
    std::size_t i = 0;
    PieceEnd end = PieceEnd::done;
    int err = 0;
    Py_BEGIN_ALLOW_THREADS
    for (; i < n; ++i) {
        const std::int64_t offset = plan[fields * i];
        const std::size_t k = static_cast<std::size_t>(plan[fields * i + 1]);
        const std::size_t r = static_cast<std::size_t>(plan[fields * i + 2]);
        const std::size_t sr = static_cast<std::size_t>(plan[fields * i + 3]);
        const ssize_t got = pread_full(fd, raw.data(), k * stride, offset);
        if (got < 0) {
            err = errno;
            end = PieceEnd::failed;
            break;
        }
        if (static_cast<std::size_t>(got) < k * stride) {
            end = PieceEnd::short_read;
            break;
        }
        const unsigned char *src = raw.data();
        bool unusual = false;
        for (std::size_t t = 0; t < k; ++t) {
            std::memcpy(headers.data() + (r + t) * codec::trace_header_size, src + t * stride,
                        codec::trace_header_size);
            if (prove)
                unusual |= unusual_in(src + t * stride + codec::trace_header_size, words, swapped) != 0;
        }
        unsigned char *out = samples.data() + (dst == -1 ? sr * row_bytes : 0);
        if (fmt->code == 1)
            codec::ibm_to_float(src + codec::trace_header_size, codec::Runs{k, words, stride},
                                reinterpret_cast<float *>(out), big_endian);
        else
            for (std::size_t t = 0; t < k; ++t)
                codec::decode_samples(*fmt, src + t * stride + codec::trace_header_size, words, big_endian,
                                      out + t * row_bytes, false);
        if (dst != -1 && pwrite_full(dst, out, k * row_bytes, static_cast<std::int64_t>(sr * row_bytes)) < 0) {
            err = errno;
            end = PieceEnd::failed;
            break;
        }
        if (unusual) {
            end = PieceEnd::unusual;
            break;
        }
    }
    Py_END_ALLOW_THREADS
    if (end == PieceEnd::failed) {
        errno = err;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    return Py_BuildValue("(ni)", static_cast<Py_ssize_t>(i), static_cast<int>(end));
}

// _segy_encode(headers, samples, count, ns, code, big_endian, dst)
// The reverse of _segy_decode for fixed-length traces.  Returns -1, or the
// index of the first sample that the format cannot hold.
Params encode_params{"_segy_encode", {"headers", "samples", "count", "ns", "code", "big_endian", "dst"}};

PyObject *segy_encode(PyObject *, PyObject *const *call, Py_ssize_t nargs, PyObject *kwnames)
{
    constexpr const char *func = "_segy_encode";
    PyObject *args[7];
    std::size_t count, ns;
    bool big_endian;
    if (encode_params.bind(call, nargs, kwnames, args) < 0 || count_argument(func, args[2], &count) < 0 ||
        count_argument(func, args[3], &ns) < 0 || to_flag(args[5], &big_endian) < 0)
        return nullptr;
    const SampleFormat *fmt = format_of(args[4]);
    if (!fmt)
        return nullptr;
    if (ns > static_cast<std::size_t>(max_ns))
        return too_small(func, "destination"), nullptr;
    Buffer headers, samples, dst;
    if (headers.get(args[0], false) < 0 || samples.get(args[1], false) < 0 || dst.get(args[6], true) < 0)
        return nullptr;
    std::size_t stride = codec::trace_header_size + ns * fmt->width;
    if (headers.size() / codec::trace_header_size < count)
        return too_small(func, "header"), nullptr;
    if (ns && samples.size() / (ns * fmt->stored_size) < count)
        return too_small(func, "sample"), nullptr;
    if (dst.size() / stride < count)
        return too_small(func, "destination"), nullptr;
    std::size_t done;
    Py_BEGIN_ALLOW_THREADS
    done = codec::encode_traces(headers.data(), samples.data(), count, ns, *fmt, big_endian, dst.data());
    Py_END_ALLOW_THREADS
    return PyLong_FromSsize_t(done == count * ns ? -1 : static_cast<Py_ssize_t>(done));
}

// A descriptor argument into *fd; -1 with OSError (EBADF) for one that
// cannot be, or the conversion's error.
int descriptor_argument(PyObject *obj, int *fd)
{
    std::int64_t v;
    if (to_int64(obj, &v) < 0)
        return -1;
    if (v < 0 || v > INT_MAX) {
        errno = EBADF;
        PyErr_SetFromErrno(PyExc_OSError);
        return -1;
    }
    *fd = static_cast<int>(v);
    return 0;
}

// _segy_read(fd, offset, count, step, ns, code, big_endian, headers, samples, to_float)
// Reads `count` fixed-length traces of `ns` samples from the descriptor `fd`
// with positioned reads: trace j of the read begins at byte offset + j *
// step * (240 + ns * width).  Header rows go to `headers` in native order,
// samples to `samples` (None: the headers only) as _segy_decode converts
// them.  The interpreter lock is released for the reads and conversions.
// Returns the number of traces read whole: `count`, or fewer where the file
// ends first.  OSError for a failed read.
Params segy_read_params{"_segy_read",
                   {"fd", "offset", "count", "step", "ns", "code", "big_endian", "headers", "samples", "to_float"}};

PyObject *segy_read(PyObject *, PyObject *const *call, Py_ssize_t nargs, PyObject *kwnames)
{
    constexpr const char *func = "_segy_read";
    PyObject *args[10];
    int fd;
    std::size_t count;
    std::int64_t offset, step, ns;
    bool big_endian, to_float;
    if (segy_read_params.bind(call, nargs, kwnames, args) < 0 || descriptor_argument(args[0], &fd) < 0 ||
        to_int64(args[1], &offset) < 0 || count_argument(func, args[2], &count) < 0 ||
        to_int64(args[3], &step) < 0 || to_int64(args[4], &ns) < 0 || to_flag(args[6], &big_endian) < 0 ||
        to_flag(args[9], &to_float) < 0)
        return nullptr;
    const SampleFormat *fmt = format_of(args[5]);
    if (!fmt)
        return nullptr;
    if (offset < 0 || step < 1 || ns < 0) {
        PyErr_Format(PyExc_ValueError, bad_run, func);
        return nullptr;
    }
    if (ns > max_ns)
        return too_small(func, "sample"), nullptr;
    Buffer headers, samples;
    if (headers.get(args[7], true) < 0 || (args[8] != Py_None && samples.get(args[8], true) < 0))
        return nullptr;
    std::size_t item = to_float ? 4 : static_cast<std::size_t>(fmt->stored_size);
    if (headers.size() / codec::trace_header_size < count)
        return too_small(func, "header"), nullptr;
    if (args[8] != Py_None && ns && samples.size() / (static_cast<std::size_t>(ns) * item) < count)
        return too_small(func, "sample"), nullptr;
    // The last trace's end as a file offset must exist.
    std::uint64_t stride = codec::trace_header_size + static_cast<std::uint64_t>(ns) * fmt->width, last, end;
    if (count && (__builtin_mul_overflow(static_cast<std::uint64_t>(count - 1), static_cast<std::uint64_t>(step), &last) ||
                  __builtin_mul_overflow(last + 1, stride, &end) ||
                  __builtin_add_overflow(end, static_cast<std::uint64_t>(offset), &end) || end > INT64_MAX)) {
        PyErr_Format(PyExc_ValueError, past_end, func);
        return nullptr;
    }
    TraceRead r{
        .fd = fd,
        .offset = offset,
        .count = count,
        .step = static_cast<std::size_t>(step),
        .ns = static_cast<std::size_t>(ns),
        .fmt = fmt,
        .big_endian = big_endian,
        .to_float = to_float,
        .headers = headers.data(),
        .samples = args[8] == Py_None ? nullptr : samples.data(),
    };
    std::int64_t got;
    int err;
    Py_BEGIN_ALLOW_THREADS
    got = read_traces(r);
    err = errno;
    Py_END_ALLOW_THREADS
    if (got < 0) {
        if (err == ENOMEM)
            return PyErr_NoMemory();
        errno = err;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    return PyLong_FromLongLong(got);
}

// _segy_write(dest, headers, samples, count, ns, code, big_endian)
// Encodes `count` traces of `ns` samples as _segy_encode does and writes
// them to `dest`, an int descriptor (written where it stands) or an object
// whose write() takes every byte; the interpreter lock is released for the
// encoding and a descriptor's writes.  Returns -1, or the index of the
// first sample that the format cannot hold (nothing from its chunk on is
// written).  OSError, or the object's error, for a failed write.
Params segy_write_params{"_segy_write", {"dest", "headers", "samples", "count", "ns", "code", "big_endian"}};

PyObject *segy_write(PyObject *, PyObject *const *call, Py_ssize_t nargs, PyObject *kwnames)
{
    constexpr const char *func = "_segy_write";
    PyObject *args[7];
    std::size_t count, ns;
    bool big_endian;
    if (segy_write_params.bind(call, nargs, kwnames, args) < 0 || count_argument(func, args[3], &count) < 0 ||
        count_argument(func, args[4], &ns) < 0 || to_flag(args[6], &big_endian) < 0)
        return nullptr;
    const SampleFormat *fmt = format_of(args[5]);
    if (!fmt)
        return nullptr;
    if (ns > static_cast<std::size_t>(max_ns))
        return too_small(func, "sample"), nullptr;
    Buffer headers, samples;
    if (headers.get(args[1], false) < 0 || samples.get(args[2], false) < 0)
        return nullptr;
    if (headers.size() / codec::trace_header_size < count)
        return too_small(func, "header"), nullptr;
    if (ns && samples.size() / (ns * fmt->stored_size) < count)
        return too_small(func, "sample"), nullptr;
    Sink sink;
    Ref write_method;
    if (PyLong_Check(args[0])) {
        if (descriptor_argument(args[0], &sink.fd) < 0)
            return nullptr;
    } else {
        write_method.reset(PyObject_GetAttrString(args[0], "write"));
        if (!write_method)
            return nullptr;
        sink.write = write_method.get();
    }
    std::size_t bad;
    sink.released = PyEval_SaveThread();
    int rc = write_traces(sink, headers.data(), samples.data(), count, ns, *fmt, big_endian, &bad);
    PyEval_RestoreThread(sink.released);
    if (rc == -2)
        return PyErr_NoMemory();
    if (rc < 0) {
        if (sink.fd >= 0 && sink.err) {
            errno = sink.err;
            PyErr_SetFromErrno(PyExc_OSError);
        }
        return nullptr;
    }
    return PyLong_FromSsize_t(bad == count * ns ? -1 : static_cast<Py_ssize_t>(bad));
}

// _non_finite(samples): the index of the first infinity or NaN of a
// contiguous float32 buffer, or -1; searched with the interpreter lock
// released.
PyObject *non_finite(PyObject *, PyObject *arg)
{
    Buffer samples;
    if (samples.get(arg, false) < 0)
        return nullptr;
    const std::size_t n = samples.size() / sizeof(float);
    const float *src = reinterpret_cast<const float *>(samples.data());
    std::size_t at;
    Py_BEGIN_ALLOW_THREADS
    at = first_non_finite(src, n);
    Py_END_ALLOW_THREADS
    return PyLong_FromSsize_t(at == n ? -1 : static_cast<Py_ssize_t>(at));
}

// _segy_kernels(portable): None asks which kernels run; True forces the
// portable ones, False gives back the best.  Returns their name.
PyObject *segy_kernels(PyObject *, PyObject *portable)
{
    if (portable != Py_None) {
        bool flag;
        if (to_flag(portable, &flag) < 0)
            return nullptr;
        codec::force_portable_kernels(flag);
    }
    return PyUnicode_FromString(codec::kernel_name());
}

constexpr int fastcall_keywords = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef segy_methods[] = {
    {"_segy_decode", as_cfunction(segy_decode), fastcall_keywords,
     "_segy_decode(src, count, ns, code, big_endian, headers, samples, to_float)"},
    {"_segy_encode", as_cfunction(segy_encode), fastcall_keywords,
     "_segy_encode(headers, samples, count, ns, code, big_endian, dst)"},
    {"_ibm_exact", as_cfunction(ibm_exact), fastcall_keywords, "_ibm_exact(src, count, ns, big_endian)"},
    {"_store_pieces", as_cfunction(store_pieces), fastcall_keywords,
     "_store_pieces(fd, pieces, ns, code, big_endian, check, raw, headers, samples, dst)"},
    {"_segy_walk", as_cfunction(segy_walk), fastcall_keywords, "_segy_walk(src, code, big_endian)"},
    {"_segy_read", as_cfunction(segy_read), fastcall_keywords,
     "_segy_read(fd, offset, count, step, ns, code, big_endian, headers, samples, to_float)"},
    {"_segy_write", as_cfunction(segy_write), fastcall_keywords,
     "_segy_write(dest, headers, samples, count, ns, code, big_endian)"},
    {"_segy_kernels", segy_kernels, METH_O, "_segy_kernels(portable)"},
    {"_non_finite", non_finite, METH_O, "_non_finite(samples)"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_segy_functions(PyObject *module)
{
    return PyModule_AddFunctions(module, segy_methods);
}

}  // namespace vondrel::arrays
