// Bindings of the open-file handle's byte work.  Every function takes its
// buffers first (the mapped file among them, whose export keeps the map
// from closing under the call), checks what it will touch against their
// sizes, then moves bytes with the interpreter lock released.  Errors are
// raised after the lock is taken back.
#include "vondrel/_arrays/handle.hpp"

#include "vondrel/_arrays/args.hpp"
#include "vondrel/_arrays/batch_read.hpp"
#include "vondrel/_arrays/formats.hpp"
#include "vondrel/_arrays/read.hpp"
#include "vondrel/_arrays/ibm.hpp"
#include "vondrel/common/binder.hpp"
#include "vondrel/common/errors.hpp"
#include "vondrel/common/ref.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <utility>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include <sys/uio.h>
#include <unistd.h>

namespace vondrel::arrays {
namespace {

using codec::SampleFormat;

constexpr std::size_t header_bytes = 240;
constexpr std::size_t ns_at = 114;

constexpr const char msg_index[] = "%s(): trace index %lld is outside 0..%lld.";
constexpr const char msg_beyond[] = "%s(): trace %lld (byte offset %lld) ends beyond the %lld bytes of the data.";
constexpr const char msg_buffer[] = "%s() was given a %s buffer too small for the traces.";
constexpr const char msg_table[] = "%s() takes int64 tables (%s).";
constexpr const char msg_field[] =
    "%s(): a field lies inside the 240-byte header, and one swapped is 2, 4 or 8 bytes wide.";
constexpr const char msg_ends[] = "%s(): the file ends inside trace %lld (byte offset %lld).";
constexpr const char msg_fields[] = "%s() takes a tuple of fields.";
constexpr const char msg_kinds[] = "%s() takes 60 word kinds.";
constexpr const char msg_negative[] = "%s() takes sizes and offsets of at least 0.";
constexpr const char msg_cell[] = "%s(): cell %lld names trace %lld, outside -1..%lld.";

// The traces a call touches.  Trace i starts at offsets[i] when there is a
// table of offsets, else at base + i * stride; the j-th trace touched is
// index[j], or j when there is no index (then every one of the n traces).
struct Where {
    std::int64_t base = 0, stride = 0;
    const std::int64_t *offsets = nullptr;
    const std::int64_t *index = nullptr;
    std::size_t n = 0, k = 0;

    std::int64_t trace(std::size_t j) const { return index ? index[j] : static_cast<std::int64_t>(j); }
    std::int64_t at(std::size_t j) const
    {
        std::int64_t i = trace(j);
        return offsets ? offsets[i] : base + i * stride;
    }
    // The first j whose index is outside 0..n-1, or k.
    std::size_t bad_index() const
    {
        for (std::size_t j = 0; index && j < k; ++j)
            if (index[j] < 0 || static_cast<std::uint64_t>(index[j]) >= n)
                return j;
        return k;
    }
    // The first j whose `span` bytes from `skip` on lie outside 0..size, or k.
    std::size_t out_of(std::size_t size, std::size_t skip, std::size_t span) const
    {
        for (std::size_t j = 0; j < k; ++j) {
            std::int64_t p = at(j);
            if (p < 0 || static_cast<std::uint64_t>(p) > size || size - static_cast<std::size_t>(p) < skip + span)
                return j;
        }
        return k;
    }
};

// The bound selection of a call and the exports of its tables.
struct Selection {
    Buffer offsets, index;
    Where where;
};

// Binds (base, stride, offsets, index, n) from args[0..4] into sel.  0, or
// -1 with an exception set.
int bind_selection(const char *func, PyObject *const *args, Selection &sel)
{
    std::int64_t base, stride, n;
    if (to_int64(args[0], &base) < 0 || to_int64(args[1], &stride) < 0 || to_int64(args[4], &n) < 0)
        return -1;
    if (base < 0 || stride < 0 || n < 0) {
        PyErr_Format(PyExc_ValueError, msg_negative, func);
        return -1;
    }
    Where &w = sel.where;
    w.base = base;
    w.stride = stride;
    w.n = static_cast<std::size_t>(n);
    w.k = w.n;
    if (args[2] != Py_None) {
        if (sel.offsets.get(args[2], false) < 0)
            return -1;
        if (sel.offsets.size() / 8 < w.n || reinterpret_cast<std::uintptr_t>(sel.offsets.data()) % 8) {
            PyErr_Format(PyExc_ValueError, msg_table, func, "offsets");
            return -1;
        }
        w.offsets = reinterpret_cast<const std::int64_t *>(sel.offsets.data());
    }
    if (args[3] != Py_None) {
        if (sel.index.get(args[3], false) < 0)
            return -1;
        if (sel.index.size() % 8 || reinterpret_cast<std::uintptr_t>(sel.index.data()) % 8) {
            PyErr_Format(PyExc_ValueError, msg_table, func, "index");
            return -1;
        }
        w.index = reinterpret_cast<const std::int64_t *>(sel.index.data());
        w.k = sel.index.size() / 8;
    }
    return 0;
}

// What went wrong inside a released region, raised once the lock is back.
struct Failure {
    enum Kind { none, index, beyond, ends, os, memory } kind = none;
    std::size_t j = 0;
    int err = 0;

    // Raises the failure (if any) for call `func` over `w` and data of
    // `size` bytes; -1 when one was raised, else 0.
    int raise(const char *func, const Where &w, std::size_t size) const
    {
        switch (kind) {
        case none:
            return 0;
        case index:
            PyErr_Format(PyExc_IndexError, msg_index, func, static_cast<long long>(w.trace(j)),
                         static_cast<long long>(w.n) - 1);
            return -1;
        case beyond:
            PyErr_Format(PyExc_ValueError, msg_beyond, func, static_cast<long long>(w.trace(j)),
                         static_cast<long long>(w.at(j)), static_cast<long long>(size));
            return -1;
        case ends:
            PyErr_Format(PyExc_OSError, msg_ends, func, static_cast<long long>(w.trace(j)),
                         static_cast<long long>(w.at(j)));
            return -1;
        case os:
            errno = err;
            PyErr_SetFromErrno(PyExc_OSError);
            return -1;
        case memory:
            PyErr_NoMemory();
            return -1;
        }
        return 0;
    }
};

// Checks the index, then that every touched span lies in the data; the
// failure, or none.  Runs without the lock.
Failure check(const Where &w, std::size_t size, std::size_t skip, std::size_t span)
{
    Failure f;
    if ((f.j = w.bad_index()) < w.k) {
        f.kind = Failure::index;
        return f;
    }
    if ((f.j = w.out_of(size, skip, span)) < w.k)
        f.kind = Failure::beyond;
    return f;
}

// Copies one U from src to dst, its bytes reversed when `swap`.
template <typename U>
inline void put_word(unsigned char *dst, const unsigned char *src, bool swap)
{
    U v;
    std::memcpy(&v, src, sizeof v);
    if (swap) {
        if constexpr (sizeof v == 2)
            v = __builtin_bswap16(v);
        else if constexpr (sizeof v == 4)
            v = __builtin_bswap32(v);
        else
            v = __builtin_bswap64(v);
    }
    std::memcpy(dst, &v, sizeof v);
}

// Copies `width` bytes from src to dst, reversing their order when `swap`
// (widths 2, 4 and 8; other widths are raw bytes).
inline void put_value(unsigned char *dst, const unsigned char *src, int width, bool swap)
{
    switch (width) {
    case 1:
        *dst = *src;
        return;
    case 2:
        return put_word<std::uint16_t>(dst, src, swap);
    case 4:
        return put_word<std::uint32_t>(dst, src, swap);
    case 8:
        return put_word<std::uint64_t>(dst, src, swap);
    default:                   // raw bytes, never swapped
        std::memcpy(dst, src, static_cast<std::size_t>(width));
        return;
    }
}

// One field of a column gather: where it sits in the header, its width,
// whether its bytes are reversed, and where its first value goes.
struct Field {
    int at, width;
    bool swap;
    unsigned char *out;
};

std::size_t header_ns(const unsigned char *header, bool big_endian)
{
    const unsigned char *b = header + ns_at;
    return big_endian ? std::size_t(b[0]) << 8 | b[1] : std::size_t(b[1]) << 8 | b[0];
}

// _h_fields(src, base, stride, offsets, index, n, fields, out, out_stride)
// Gathers header fields of the selected traces into `out`: `fields` a
// tuple of (offset in the header, width, swap, offset in an output row),
// the j-th trace's values in row j, `out_stride` bytes a row (a plain
// column: the field's width; a structured array: its item size).  One pass
// over the headers whatever the number of fields.  Returns None.
Params fields_params{"_h_fields", {"src", "base", "stride", "offsets", "index", "n", "fields", "out", "out_stride"}};

PyObject *h_fields(PyObject *, PyObject *const *call, Py_ssize_t nargs, PyObject *kwnames)
{
    constexpr const char *func = "_h_fields";
    PyObject *args[9];
    Selection sel;
    Buffer src, out;
    std::int64_t row;
    if (fields_params.bind(call, nargs, kwnames, args) < 0 || bind_selection(func, args + 1, sel) < 0 ||
        to_int64(args[8], &row) < 0 || src.get(args[0], false) < 0 || out.get(args[7], true) < 0)
        return nullptr;
    if (row < 1) {
        PyErr_Format(PyExc_ValueError, msg_negative, func);
        return nullptr;
    }
    if (!PyTuple_Check(args[6])) {
        PyErr_Format(PyExc_TypeError, msg_fields, func);
        return nullptr;
    }
    const Where &w = sel.where;
    Py_ssize_t m = PyTuple_GET_SIZE(args[6]);
    std::vector<Field> fields(static_cast<std::size_t>(m));
    std::size_t end = 0, row_end = 0;
    for (Py_ssize_t f = 0; f < m; ++f) {
        int at, width, swap, place;
        if (!PyArg_ParseTuple(PyTuple_GET_ITEM(args[6], f), "iipi", &at, &width, &swap, &place))
            return nullptr;
        if (at < 0 || place < 0 || width < 1 || static_cast<std::size_t>(at + width) > header_bytes ||
            place + width > row || (swap && width != 2 && width != 4 && width != 8)) {
            PyErr_Format(PyExc_ValueError, msg_field, func);
            return nullptr;
        }
        fields[f] = Field{at, width, swap != 0, out.data() + place};
        end = std::max(end, static_cast<std::size_t>(at + width));
        row_end = std::max(row_end, static_cast<std::size_t>(place + width));
    }
    const std::size_t stride_out = static_cast<std::size_t>(row);
    if (w.k && (out.size() < row_end || (out.size() - row_end) / stride_out < w.k - 1)) {
        PyErr_Format(PyExc_ValueError, msg_buffer, func, "field");
        return nullptr;
    }
    Failure failure;
    Py_BEGIN_ALLOW_THREADS
    failure = check(w, src.size(), 0, end);
    if (failure.kind == Failure::none) {
        const unsigned char *base = src.data();
        if (m == 1) {
            const Field f = fields[0];
            for (std::size_t j = 0; j < w.k; ++j)
                put_value(f.out + j * stride_out, base + w.at(j) + f.at, f.width, f.swap);
        } else {
            for (std::size_t j = 0; j < w.k; ++j) {
                const unsigned char *h = base + w.at(j);
                for (const Field &f : fields)
                    put_value(f.out + j * stride_out, h + f.at, f.width, f.swap);
            }
        }
    }
    Py_END_ALLOW_THREADS
    if (failure.raise(func, w, src.size()) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

// _h_rows(src, base, stride, offsets, index, n, kinds, out)
// Copies the 240-byte headers of the selected traces into `out` (k * 240
// bytes), each 4-byte word swapped as `kinds` (60 bytes: 4, 2 or 1 per
// word) says, or as they are when kinds is None.  Returns None.
Params rows_params{"_h_rows", {"src", "base", "stride", "offsets", "index", "n", "kinds", "out"}};

PyObject *h_rows(PyObject *, PyObject *const *call, Py_ssize_t nargs, PyObject *kwnames)
{
    constexpr const char *func = "_h_rows";
    PyObject *args[8];
    Selection sel;
    Buffer src, kinds, out;
    if (rows_params.bind(call, nargs, kwnames, args) < 0 || bind_selection(func, args + 1, sel) < 0 ||
        src.get(args[0], false) < 0 || (args[6] != Py_None && kinds.get(args[6], false) < 0) ||
        out.get(args[7], true) < 0)
        return nullptr;
    const Where &w = sel.where;
    if (args[6] != Py_None && kinds.size() != header_bytes / 4) {
        PyErr_Format(PyExc_ValueError, msg_kinds, func);
        return nullptr;
    }
    if (out.size() / header_bytes < w.k) {
        PyErr_Format(PyExc_ValueError, msg_buffer, func, "header");
        return nullptr;
    }
    const unsigned char *table = args[6] == Py_None ? nullptr : kinds.data();
    Failure failure;
    Py_BEGIN_ALLOW_THREADS
    failure = check(w, src.size(), 0, header_bytes);
    if (failure.kind == Failure::none) {
        if (table && !w.index && !w.offsets) {
            codec::swap_headers(src.data() + w.base, static_cast<std::size_t>(w.stride), out.data(), header_bytes,
                                w.k, table);
        } else {
            for (std::size_t j = 0; j < w.k; ++j) {
                const unsigned char *h = src.data() + w.at(j);
                if (table)
                    codec::swap_headers(h, 0, out.data() + j * header_bytes, 0, 1, table);
                else
                    std::memcpy(out.data() + j * header_bytes, h, header_bytes);
            }
        }
    }
    Py_END_ALLOW_THREADS
    if (failure.raise(func, w, src.size()) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

// _h_put(dst, base, stride, offsets, index, n, at, width, src)
// Copies `width` bytes per selected trace from src (k * width bytes, in
// the file's order already) to `at` bytes into each trace of dst.  Every
// span is checked before the first byte is written.  Returns None.
Params put_params{"_h_put", {"dst", "base", "stride", "offsets", "index", "n", "at", "width", "src"}};

PyObject *h_put(PyObject *, PyObject *const *call, Py_ssize_t nargs, PyObject *kwnames)
{
    constexpr const char *func = "_h_put";
    PyObject *args[9];
    Selection sel;
    Buffer dst, src;
    std::int64_t at, width;
    if (put_params.bind(call, nargs, kwnames, args) < 0 || bind_selection(func, args + 1, sel) < 0 ||
        to_int64(args[6], &at) < 0 || to_int64(args[7], &width) < 0 || dst.get(args[0], true) < 0 ||
        src.get(args[8], false) < 0)
        return nullptr;
    const Where &w = sel.where;
    if (at < 0 || width < 0) {
        PyErr_Format(PyExc_ValueError, msg_negative, func);
        return nullptr;
    }
    const std::size_t span = static_cast<std::size_t>(width);
    if (span && src.size() / span < w.k) {
        PyErr_Format(PyExc_ValueError, msg_buffer, func, "source");
        return nullptr;
    }
    Failure failure;
    Py_BEGIN_ALLOW_THREADS
    failure = check(w, dst.size(), static_cast<std::size_t>(at), span);
    for (std::size_t j = 0; failure.kind == Failure::none && j < w.k; ++j)
        std::memcpy(dst.data() + w.at(j) + at, src.data() + j * span, span);
    Py_END_ALLOW_THREADS
    if (failure.raise(func, w, dst.size()) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

// _h_encode(values, count, code, big_endian, dst)
// Encodes `count` values of the format's stored type (float32 for IBM
// floats) into the format's bytes at dst.  Returns -1, or the index of the
// first value the format cannot hold (dst is then unspecified).
Params encode_params{"_h_encode", {"values", "count", "code", "big_endian", "dst"}};

PyObject *h_encode(PyObject *, PyObject *const *call, Py_ssize_t nargs, PyObject *kwnames)
{
    constexpr const char *func = "_h_encode";
    PyObject *args[5];
    std::int64_t count;
    bool big_endian;
    Buffer values, dst;
    if (encode_params.bind(call, nargs, kwnames, args) < 0 || to_int64(args[1], &count) < 0 ||
        to_flag(args[3], &big_endian) < 0)
        return nullptr;
    const SampleFormat *fmt = format_of(args[2]);
    if (!fmt || values.get(args[0], false) < 0 || dst.get(args[4], true) < 0)
        return nullptr;
    if (count < 0) {
        PyErr_Format(PyExc_ValueError, msg_negative, func);
        return nullptr;
    }
    std::size_t c = static_cast<std::size_t>(count);
    if (values.size() / static_cast<std::size_t>(fmt->stored_size) < c ||
        dst.size() / static_cast<std::size_t>(fmt->width) < c) {
        PyErr_Format(PyExc_ValueError, msg_buffer, func, "sample");
        return nullptr;
    }
    std::size_t done;
    Py_BEGIN_ALLOW_THREADS
    done = codec::encode_samples(*fmt, values.data(), c, big_endian, dst.data());
    Py_END_ALLOW_THREADS
    return PyLong_FromSsize_t(done == c ? -1 : static_cast<Py_ssize_t>(done));
}

// _h_walk(src, start, width, big_endian, limit)
// Walks the traces from byte `start`, each as long as its own header's
// sample count says (`width` bytes a sample), while they lie whole in src
// and, when limit >= 0, no further than `limit` traces.  Returns a new
// bytearray of the n + 1 int64 offsets: where each trace starts, then where
// the last one ends.
Params walk_params{"_h_walk", {"src", "start", "width", "big_endian", "limit"}};

PyObject *h_walk(PyObject *, PyObject *const *call, Py_ssize_t nargs, PyObject *kwnames)
{
    constexpr const char *func = "_h_walk";
    PyObject *args[5];
    std::int64_t start, width, limit;
    bool big_endian;
    Buffer src;
    if (walk_params.bind(call, nargs, kwnames, args) < 0 || to_int64(args[1], &start) < 0 ||
        to_int64(args[2], &width) < 0 || to_flag(args[3], &big_endian) < 0 || to_int64(args[4], &limit) < 0 ||
        src.get(args[0], false) < 0)
        return nullptr;
    if (start < 0 || width < 1 || width > 8) {
        PyErr_Format(PyExc_ValueError, msg_negative, func);
        return nullptr;
    }
    std::vector<std::int64_t> offsets;
    bool no_memory = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        std::size_t size = src.size(), pos = static_cast<std::size_t>(start);
        offsets.push_back(static_cast<std::int64_t>(pos));
        while ((limit < 0 || offsets.size() <= static_cast<std::size_t>(limit)) && pos <= size &&
               size - pos >= header_bytes) {
            std::size_t count = header_ns(src.data() + pos, big_endian);
            std::size_t bytes = header_bytes + count * static_cast<std::size_t>(width);
            if (size - pos < bytes)
                break;
            pos += bytes;
            offsets.push_back(static_cast<std::int64_t>(pos));
        }
    } catch (const std::bad_alloc &) {
        no_memory = true;
    }
    Py_END_ALLOW_THREADS
    if (no_memory)
        return PyErr_NoMemory();
    return PyByteArray_FromStringAndSize(reinterpret_cast<const char *>(offsets.data()),
                                         static_cast<Py_ssize_t>(offsets.size() * sizeof(std::int64_t)));
}

// Bytes read in one go for a run of nearby traces, and the gap between two
// traces that a run reads through rather than spend a system call on: a
// call costs about what copying 16 KB does (more inside virtual machines).
constexpr std::size_t run_bytes = std::size_t(1) << 20;
constexpr std::int64_t run_gap = 16 * 1024;
// Staged bytes a batch holds at most.
constexpr std::size_t stage_bytes = run_bytes;

// _h_psamples(fd, base, stride, offsets, index, n, ns, code, big_endian, to_float, out)
// Decodes the samples of the selected traces into `out`, back to back in
// the order selected: float32 when `to_float`, else the format's stored
// type.  They come with positioned reads, straight into `out` where they
// need no conversion (native order, the stored type asked for), else
// through a stage buffer, a run of nearby traces a read and up to
// BatchReader::depth reads a system call.  `ns` -1: traces of their own
// lengths, as the offsets table (n + 1 entries from the first trace selected) says.
// OSError when the file ends inside a trace.  Returns None.
Params psamples_params{
    "_h_psamples", {"fd", "base", "stride", "offsets", "index", "n", "ns", "code", "big_endian", "to_float", "out"}};

PyObject *h_psamples(PyObject *, PyObject *const *call, Py_ssize_t nargs, PyObject *kwnames)
{
    constexpr const char *func = "_h_psamples";
    PyObject *args[11];
    Selection sel;
    Buffer out;
    std::int64_t fd, ns;
    bool big_endian, to_float;
    if (psamples_params.bind(call, nargs, kwnames, args) < 0 || bind_selection(func, args + 1, sel) < 0 ||
        to_int64(args[0], &fd) < 0 || to_int64(args[6], &ns) < 0 || to_flag(args[8], &big_endian) < 0 ||
        to_flag(args[9], &to_float) < 0)
        return nullptr;
    const SampleFormat *fmt = format_of(args[7]);
    if (!fmt || out.get(args[10], true) < 0)
        return nullptr;
    const Where &w = sel.where;
    const std::size_t item = to_float ? 4 : static_cast<std::size_t>(fmt->stored_size);
    const std::size_t width = static_cast<std::size_t>(fmt->width);
    if (ns > 65535 || (ns < 0 && (!w.offsets || sel.offsets.size() / 8 < w.n + 1))) {
        PyErr_Format(PyExc_ValueError, msg_table, func, "offsets, n + 1 of them");
        return nullptr;
    }
    const bool native = big_endian == (std::endian::native == std::endian::big);
    const bool direct = native && fmt->code != 1 && (to_float ? fmt->code == 5 : fmt->width == fmt->stored_size);
    Failure failure;
    bool short_out = false, no_memory = false;
    Py_BEGIN_ALLOW_THREADS
    // Samples of the j-th trace: their count, and where the trace starts.
    auto count_of = [&](std::size_t j) -> std::size_t {
        if (ns >= 0)
            return static_cast<std::size_t>(ns);
        std::int64_t i = w.trace(j);
        return static_cast<std::size_t>((w.offsets[i + 1] - w.offsets[i]) - static_cast<std::int64_t>(header_bytes)) /
               width;
    };
    if ((failure.j = w.bad_index()) < w.k)
        failure.kind = Failure::index;
    std::size_t total = 0;
    for (std::size_t j = 0; failure.kind == Failure::none && j < w.k; ++j)
        total += count_of(j);
    short_out = failure.kind == Failure::none && out.size() / item < total;
    try {
        // Runs go to the kernel in batches (see BatchReader): a trace that
        // needs no conversion straight into `out`, anything else into the
        // stage, from which it is decoded once the batch is in.
        struct Run {
            std::size_t j, e, from;    // traces j..e-1; where in the stage (staged runs)
            unsigned char *dst;
            bool direct;
        };
        thread_local std::vector<unsigned char> stage;
        std::vector<ReadRequest> reqs;
        std::vector<Run> runs;
        reqs.reserve(BatchReader::depth);
        runs.reserve(BatchReader::depth);
        BatchReader reader(static_cast<int>(fd));
        unsigned char *dst = out.data();
        std::size_t j = 0;
        while (failure.kind == Failure::none && !short_out && j < w.k) {
            reqs.clear();
            runs.clear();
            std::size_t staged = 0;
            while (j < w.k && runs.size() < BatchReader::depth) {
                // A run: traces j..e-1, each after the one before and near it.
                std::int64_t first = w.at(j);
                std::int64_t end = first + static_cast<std::int64_t>(header_bytes + count_of(j) * width);
                std::size_t e = j + 1, samples = count_of(j);
                while (e < w.k) {
                    std::int64_t p = w.at(e);
                    std::int64_t next_end = p + static_cast<std::int64_t>(header_bytes + count_of(e) * width);
                    if (p < end || p - end > run_gap || next_end - first > static_cast<std::int64_t>(run_bytes))
                        break;
                    end = next_end;
                    samples += count_of(e);
                    ++e;
                }
                if (e == j + 1 && direct) {
                    reqs.push_back({dst, samples * width, first + static_cast<std::int64_t>(header_bytes), 0, 0});
                    runs.push_back({j, e, 0, dst, true});
                } else {
                    std::size_t bytes = static_cast<std::size_t>(end - first);
                    if (!runs.empty() && staged + bytes > stage_bytes)
                        break;
                    reqs.push_back({nullptr, bytes, first, 0, 0});
                    runs.push_back({j, e, staged, dst, false});
                    staged += bytes;
                }
                dst += samples * item;
                j = e;
            }
            if (stage.size() < staged)
                stage.resize(staged);
            for (std::size_t r = 0; r < runs.size(); ++r)
                if (!runs[r].direct)
                    reqs[r].dst = stage.data() + runs[r].from;
            reader.read_batch(reqs.data(), reqs.size());
            for (std::size_t r = 0; r < runs.size() && failure.kind == Failure::none; ++r) {
                const Run &run = runs[r];
                const ReadRequest &q = reqs[r];
                if (run.direct) {
                    if (q.got < 0 || static_cast<std::size_t>(q.got) < q.len)
                        failure = Failure{q.got < 0 ? Failure::os : Failure::ends, run.j, q.err};
                    continue;
                }
                unsigned char *to = run.dst;
                for (std::size_t t = run.j; t < run.e; ++t) {
                    std::size_t from = static_cast<std::size_t>(w.at(t) - q.at), count = count_of(t);
                    if (q.got < 0 || static_cast<std::size_t>(q.got) < from + header_bytes + count * width) {
                        failure = Failure{q.got < 0 ? Failure::os : Failure::ends, t, q.err};
                        break;
                    }
                    codec::decode_samples(*fmt, q.dst + from + header_bytes, count, big_endian, to, to_float);
                    to += count * item;
                }
            }
        }
    } catch (const std::bad_alloc &) {
        no_memory = true;
    }
    Py_END_ALLOW_THREADS
    if (no_memory)
        return PyErr_NoMemory();
    if (failure.raise(func, w, 0) < 0)
        return nullptr;
    if (short_out) {
        PyErr_Format(PyExc_ValueError, msg_buffer, func, "sample");
        return nullptr;
    }
    Py_RETURN_NONE;
}

// Bytes of samples from which a placing read is shared with a second
// thread: below it, starting the thread costs more than it saves.
constexpr std::size_t place_split_bytes = std::size_t(8) << 20;
// Bytes of samples a worker takes at a time.
constexpr std::size_t place_piece_bytes = std::size_t(2) << 20;
// Bytes a placing worker reads per run at most: small enough that what a
// run read is still in the core's cache when it is decoded.
constexpr std::size_t place_run_bytes = std::size_t(256) << 10;
// From this many traces on, a run of native float32 samples (whose bytes
// are the values) goes straight into its rows: one preadv, each header
// and gap into a scratch, each trace's samples into its row, the kernel's
// copy the only pass over them.  Shorter runs, and samples that need
// decoding, are staged and batched.  A trace takes two or three vectors
// (header, samples, the gap before it), within IOV_MAX.
constexpr std::size_t in_place_traces = 8;
constexpr std::size_t in_place_most = 320;

// One trace and the row of the result it goes to.
struct Placed {
    std::int64_t trace, row;
};

// What the workers of a placing read share: the pairs in file order, cut
// into pieces that the workers take in turn from one count (so that a
// worker the system leaves waiting holds up no more than the piece it
// has), the rows to fill cut the same way, and the word to stop on a failure.
struct PlaceShare {
    const Placed *pairs;
    std::size_t count, per_piece, pieces;
    const std::int64_t *cells;
    std::size_t rows, rows_per_piece, fill_pieces;
    float fill;
    std::atomic<std::size_t> next_piece{0}, next_fill{0};
    std::atomic<bool> stop{false};
};

// What one worker of a placing read works on: the piece it has taken
// (pairs in increasing trace order, each decoded into its row), and its
// first failure.
struct PlaceWork {
    const Where *w;
    int fd;
    std::size_t ns;
    const SampleFormat *fmt;
    bool big_endian;
    const Placed *pairs = nullptr;
    std::size_t count = 0;
    float *out;
    Failure failure;
    bool no_memory = false;
};

// A placing worker's state between runs.
class Placer {
public:
    explicit Placer(PlaceWork &work)
        : work_(work), w_(*work.w), ns_(work.ns), sample_bytes_(work.ns * static_cast<std::size_t>(work.fmt->width)),
          trace_bytes_(static_cast<std::int64_t>(header_bytes + sample_bytes_)),
          run_most_(std::max<std::int64_t>(static_cast<std::int64_t>(place_run_bytes), trace_bytes_)),
          native_float_(work.fmt->code == 5 && work.big_endian == (std::endian::native == std::endian::big)),
          reader_(work.fd)
    {
    }

    // Reads and places every pair; stops at the first failure.  May
    // throw std::bad_alloc.
    void run()
    {
        stage_.resize(static_cast<std::size_t>(run_most_));
        junk_.resize(static_cast<std::size_t>(run_gap) + header_bytes);
        reqs_.reserve(BatchReader::depth);
        runs_.reserve(BatchReader::depth);
        std::size_t p = 0;
        while (p < work_.count && ok()) {
            reqs_.clear();
            runs_.clear();
            std::size_t staged = 0;
            while (p < work_.count && runs_.size() < BatchReader::depth) {
                auto [e, bytes] = run_from(p);
                if (native_float_ && e - p >= in_place_traces) {
                    if (!runs_.empty())
                        break;                       // the batch before it first
                    read_in_place(p, e);
                    p = e;
                    break;
                }
                if (!runs_.empty() && staged + bytes > stage_.size())
                    break;
                reqs_.push_back({stage_.data() + staged, bytes, w_.at(static_cast<std::size_t>(work_.pairs[p].trace)), 0, 0});
                runs_.push_back({p, e});
                staged += bytes;
                p = e;
            }
            if (!runs_.empty())
                place_batch();
        }
    }

private:
    struct Run {
        std::size_t p, e;
    };

    bool ok() const { return work_.failure.kind == Failure::none; }
    std::int64_t at(std::size_t t) const { return w_.at(static_cast<std::size_t>(work_.pairs[t].trace)); }
    float *row(std::size_t t) const { return work_.out + static_cast<std::size_t>(work_.pairs[t].row) * ns_; }
    void fail(Failure::Kind kind, std::size_t t, int err)
    {
        work_.failure = Failure{kind, static_cast<std::size_t>(work_.pairs[t].trace), err};
    }

    // The run from pair p: (one past its last pair, the bytes it spans):
    // traces each after the one before and near it, a trace placed twice
    // counted once.
    std::pair<std::size_t, std::size_t> run_from(std::size_t p) const
    {
        const std::int64_t first = at(p);
        std::int64_t end = first + trace_bytes_;
        std::size_t e = p + 1, distinct = 1;
        for (; e < work_.count; ++e) {
            if (work_.pairs[e].trace == work_.pairs[e - 1].trace)
                continue;
            const std::int64_t next = at(e);
            if (next < end || next - end > run_gap || next + trace_bytes_ - first > run_most_ ||
                distinct == in_place_most)
                break;
            end = next + trace_bytes_;
            ++distinct;
        }
        return {e, static_cast<std::size_t>(end - first)};
    }

    // Decodes the samples of a trace at src (the file's bytes) into dst.
    void decode(const unsigned char *src, float *dst) const
    {
        if (native_float_)
            std::memcpy(dst, src, sample_bytes_);
        else
            codec::decode_samples(*work_.fmt, src, ns_, work_.big_endian, dst, true);
    }

    // Reads the staged runs of the batch and decodes each trace into its row.
    void place_batch()
    {
        reader_.read_batch(reqs_.data(), reqs_.size());
        for (std::size_t r = 0; r < runs_.size() && ok(); ++r) {
            const ReadRequest &q = reqs_[r];
            for (std::size_t t = runs_[r].p; t < runs_[r].e; ++t) {
                const std::size_t from = static_cast<std::size_t>(at(t) - q.at);
                if (q.got < 0 || static_cast<std::size_t>(q.got) < from + static_cast<std::size_t>(trace_bytes_)) {
                    fail(q.got < 0 ? Failure::os : Failure::ends, t, q.err);
                    return;
                }
                decode(q.dst + from + header_bytes, row(t));
            }
        }
    }

    // Reads pairs p..e-1 (native float32 samples) with one preadv (as many
    // as it takes), the samples of each trace straight into its row; a
    // trace placed twice is copied.
    void read_in_place(std::size_t p, std::size_t e)
    {
        iovecs_.clear();
        const std::int64_t first = at(p);
        std::int64_t end = first;
        for (std::size_t t = p; t < e; ++t) {
            if (t > p && work_.pairs[t].trace == work_.pairs[t - 1].trace)
                continue;
            const std::int64_t start = at(t);
            if (start > end)
                iovecs_.push_back({junk_.data(), static_cast<std::size_t>(start - end)});
            iovecs_.push_back({junk_.data(), header_bytes});
            iovecs_.push_back({row(t), sample_bytes_});
            end = start + trace_bytes_;
        }
        const std::size_t want = static_cast<std::size_t>(end - first);
        int err;
        const std::size_t got =
            preadv_full(work_.fd, iovecs_.data(), static_cast<int>(iovecs_.size()), first, want, &err);
        for (std::size_t t = p; t < e; ++t) {
            float *dst = row(t);
            if (t > p && work_.pairs[t].trace == work_.pairs[t - 1].trace) {
                std::memcpy(dst, row(t - 1), ns_ * 4);
                continue;
            }
            if (static_cast<std::size_t>(at(t) - first + trace_bytes_) > got) {
                fail(err ? Failure::os : Failure::ends, t, err);
                return;
            }
        }
    }

    PlaceWork &work_;
    const Where &w_;
    const std::size_t ns_, sample_bytes_;
    const std::int64_t trace_bytes_, run_most_;
    const bool native_float_;
    BatchReader reader_;
    std::vector<unsigned char> stage_, junk_;
    std::vector<ReadRequest> reqs_;
    std::vector<Run> runs_;
    std::vector<iovec> iovecs_;
};

// Runs one worker: takes pieces of the filling, then of the pairs, until
// none is left or a worker has failed (its failure kept in `work`).
// Throws nothing: it runs on threads of its own.
void place_part(PlaceWork &work, PlaceShare &share) noexcept
{
    for (std::size_t f; (f = share.next_fill.fetch_add(1)) < share.fill_pieces;) {
        const std::size_t end = std::min(share.rows, (f + 1) * share.rows_per_piece);
        for (std::size_t r = f * share.rows_per_piece; r < end; ++r)
            if (share.cells[r] < 0)
                std::fill_n(work.out + r * work.ns, work.ns, share.fill);
    }
    try {
        Placer placer(work);
        for (std::size_t p; !share.stop.load() && (p = share.next_piece.fetch_add(1)) < share.pieces;) {
            work.pairs = share.pairs + p * share.per_piece;
            work.count = std::min(share.per_piece, share.count - p * share.per_piece);
            placer.run();
            if (work.failure.kind != Failure::none) {
                share.stop.store(true);
                return;
            }
        }
    } catch (const std::bad_alloc &) {
        work.no_memory = true;
        share.stop.store(true);
    }
}

// The (trace, row) pairs of the cells that hold a trace, in increasing
// trace order (rows increasing among the cells of one trace).  Cells
// already in file order keep theirs; otherwise a counting sort where the
// traces are few beside the cells, a sort where they are many.
std::vector<Placed> placed_in_file_order(const std::int64_t *cells, std::size_t k, std::size_t n)
{
    std::vector<Placed> pairs;
    std::size_t live = 0;
    bool ordered = true;
    std::int64_t last = -1;
    for (std::size_t r = 0; r < k; ++r)
        if (cells[r] >= 0) {
            ordered = ordered && cells[r] >= last;
            last = cells[r];
            ++live;
        }
    pairs.resize(live);
    if (ordered || n > 4 * live) {
        std::size_t at = 0;
        for (std::size_t r = 0; r < k; ++r)
            if (cells[r] >= 0)
                pairs[at++] = Placed{cells[r], static_cast<std::int64_t>(r)};
        if (!ordered)
            std::sort(pairs.begin(), pairs.end(), [](const Placed &a, const Placed &b) {
                return a.trace < b.trace || (a.trace == b.trace && a.row < b.row);
            });
        return pairs;
    }
    std::vector<std::size_t> start(n + 1, 0);
    for (std::size_t r = 0; r < k; ++r)
        if (cells[r] >= 0)
            ++start[static_cast<std::size_t>(cells[r]) + 1];
    for (std::size_t t = 0; t < n; ++t)
        start[t + 1] += start[t];
    for (std::size_t r = 0; r < k; ++r)
        if (cells[r] >= 0)
            pairs[start[static_cast<std::size_t>(cells[r])]++] = Placed{cells[r], static_cast<std::int64_t>(r)};
    return pairs;
}

// _h_place(fd, base, stride, offsets, n, ns, code, big_endian, cells, fill, out)
// Reads traces into the rows of a result: row r of `out` (float32, ns
// samples a row) gets the samples of trace cells[r] (int64), or `fill`
// where cells[r] is -1.  The traces are read in file order whatever the
// order of the cells, runs of nearby traces a read: into a stage that
// stays in the cache, each trace then decoded into its row (native
// float32 samples of long runs straight into their rows); from
// place_split_bytes on, two threads share the traces (and the filling),
// a piece at a time, both joined before the call returns.  Trace i starts at offsets[i] or
// base + i * stride.  OSError when the file ends inside a trace.  Returns None.
Params place_params{
    "_h_place", {"fd", "base", "stride", "offsets", "n", "ns", "code", "big_endian", "cells", "fill", "out"}};

PyObject *h_place(PyObject *, PyObject *const *call, Py_ssize_t nargs, PyObject *kwnames)
{
    constexpr const char *func = "_h_place";
    PyObject *args[11];
    Selection sel;
    Buffer cells_buffer, out;
    std::int64_t fd, ns;
    bool big_endian;
    if (place_params.bind(call, nargs, kwnames, args) < 0)
        return nullptr;
    PyObject *selection[5] = {args[1], args[2], args[3], Py_None, args[4]};
    if (bind_selection(func, selection, sel) < 0 || to_int64(args[0], &fd) < 0 || to_int64(args[5], &ns) < 0 ||
        to_flag(args[7], &big_endian) < 0)
        return nullptr;
    const SampleFormat *fmt = format_of(args[6]);
    if (!fmt)
        return nullptr;
    const double fill = PyFloat_AsDouble(args[9]);
    if (fill == -1.0 && PyErr_Occurred())
        return nullptr;
    if (cells_buffer.get(args[8], false) < 0 || out.get(args[10], true) < 0)
        return nullptr;
    if (ns < 0 || ns > 65535) {
        PyErr_Format(PyExc_ValueError, msg_negative, func);
        return nullptr;
    }
    if (cells_buffer.size() % 8 || reinterpret_cast<std::uintptr_t>(cells_buffer.data()) % 8) {
        PyErr_Format(PyExc_ValueError, msg_table, func, "cells");
        return nullptr;
    }
    const Where &w = sel.where;
    const auto *cells = reinterpret_cast<const std::int64_t *>(cells_buffer.data());
    const std::size_t k = cells_buffer.size() / 8, row_bytes = static_cast<std::size_t>(ns) * 4;
    if (row_bytes && out.size() / row_bytes < k) {
        PyErr_Format(PyExc_ValueError, msg_buffer, func, "sample");
        return nullptr;
    }
    for (std::size_t r = 0; r < k; ++r)
        if (cells[r] < -1 || cells[r] >= static_cast<std::int64_t>(w.n)) {
            PyErr_Format(PyExc_ValueError, msg_cell, func, static_cast<long long>(r), static_cast<long long>(cells[r]),
                         static_cast<long long>(w.n) - 1);
            return nullptr;
        }
    PlaceWork parts[2];
    for (PlaceWork &part : parts) {
        part.w = &w;
        part.fd = static_cast<int>(fd);
        part.ns = static_cast<std::size_t>(ns);
        part.fmt = fmt;
        part.big_endian = big_endian;
        part.out = reinterpret_cast<float *>(out.data());
    }
    bool no_memory = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        std::vector<Placed> pairs = placed_in_file_order(cells, k, w.n);
        const bool two = pairs.size() * row_bytes >= place_split_bytes && std::thread::hardware_concurrency() != 1;
        PlaceShare share;
        share.pairs = pairs.data();
        share.count = pairs.size();
        share.per_piece = std::max<std::size_t>(1, place_piece_bytes / std::max<std::size_t>(row_bytes, 1));
        share.pieces = (share.count + share.per_piece - 1) / share.per_piece;
        share.cells = cells;
        share.rows = k;
        share.rows_per_piece = share.per_piece;
        share.fill_pieces = (k + share.rows_per_piece - 1) / share.rows_per_piece;
        share.fill = static_cast<float>(fill);
        std::thread helper;
        if (two) {
            try {
                helper = std::thread(place_part, std::ref(parts[1]), std::ref(share));
            } catch (const std::system_error &) {      // no thread to be had: every piece here
            }
        }
        place_part(parts[0], share);
        if (helper.joinable())
            helper.join();
    } catch (const std::bad_alloc &) {
        no_memory = true;
    }
    Py_END_ALLOW_THREADS
    for (const PlaceWork &part : parts)
        no_memory = no_memory || part.no_memory;
    if (no_memory)
        return PyErr_NoMemory();
    // The failure of the earliest trace, as a read from the front would meet it.
    const Failure *first = nullptr;
    for (const PlaceWork &part : parts)
        if (part.failure.kind != Failure::none && (!first || part.failure.j < first->j))
            first = &part.failure;
    if (first && first->raise(func, w, 0) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

// _h_pread(fd, base, stride, offsets, index, n, at, width, dst)
// The positioned-read stand-in for a map: `width` bytes from `at` bytes
// into each selected trace of the file `fd`, back to back into dst (k *
// width bytes).  OSError when the file ends inside one.  Returns None.
Params pread_params{"_h_pread", {"fd", "base", "stride", "offsets", "index", "n", "at", "width", "dst"}};
// _h_pwrite(fd, base, stride, offsets, index, n, at, width, src)
// The reverse of _h_pread: `width` bytes per selected trace from src to
// `at` bytes into each trace of the file.  Returns None.
Params pwrite_params{"_h_pwrite", {"fd", "base", "stride", "offsets", "index", "n", "at", "width", "src"}};

// _h_pread and _h_pwrite: one loop of positioned reads or writes, `width`
// bytes at `at` into each selected trace.  Returns None, or nullptr with
// the error set.
PyObject *positioned(Params<9> &params, bool writing, PyObject *const *call, Py_ssize_t nargs,
                     PyObject *kwnames)
{
    const char *func = writing ? "_h_pwrite" : "_h_pread";
    PyObject *args[9];
    Selection sel;
    Buffer buffer;
    std::int64_t fd, at, width;
    if (params.bind(call, nargs, kwnames, args) < 0 || bind_selection(func, args + 1, sel) < 0 ||
        to_int64(args[0], &fd) < 0 || to_int64(args[6], &at) < 0 || to_int64(args[7], &width) < 0 ||
        buffer.get(args[8], !writing) < 0)
        return nullptr;
    const Where &w = sel.where;
    if (at < 0 || width < 0) {
        PyErr_Format(PyExc_ValueError, msg_negative, func);
        return nullptr;
    }
    const std::size_t span = static_cast<std::size_t>(width);
    if (span && buffer.size() / span < w.k) {
        PyErr_Format(PyExc_ValueError, msg_buffer, func, writing ? "source" : "destination");
        return nullptr;
    }
    Failure failure;
    Py_BEGIN_ALLOW_THREADS
    if ((failure.j = w.bad_index()) < w.k)
        failure.kind = Failure::index;
    for (std::size_t j = 0; failure.kind == Failure::none && j < w.k; ++j) {
        unsigned char *mine = buffer.data() + j * span;
        std::size_t done = 0;
        while (done < span) {
            const std::int64_t where = w.at(j) + at + static_cast<std::int64_t>(done);
            ssize_t moved = writing ? pwrite(static_cast<int>(fd), mine + done, span - done, where)
                                    : pread(static_cast<int>(fd), mine + done, span - done, where);
            if (moved < 0 && errno == EINTR)
                continue;
            if (moved <= 0) {
                // a read of nothing is the file's end; a write of nothing, an I/O error
                failure.kind = moved < 0 || writing ? Failure::os : Failure::ends;
                failure.err = moved < 0 ? errno : EIO;
                failure.j = j;
                break;
            }
            done += static_cast<std::size_t>(moved);
        }
    }
    Py_END_ALLOW_THREADS
    if (failure.raise(func, w, 0) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *h_pread(PyObject *, PyObject *const *call, Py_ssize_t nargs, PyObject *kwnames)
{
    return positioned(pread_params, false, call, nargs, kwnames);
}

PyObject *h_pwrite(PyObject *, PyObject *const *call, Py_ssize_t nargs, PyObject *kwnames)
{
    return positioned(pwrite_params, true, call, nargs, kwnames);
}

constexpr int fastcall_keywords = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef handle_methods[] = {
    {"_h_fields", as_cfunction(h_fields), fastcall_keywords,
     "_h_fields(src, base, stride, offsets, index, n, fields, out, out_stride)"},
    {"_h_rows", as_cfunction(h_rows), fastcall_keywords, "_h_rows(src, base, stride, offsets, index, n, kinds, out)"},
    {"_h_put", as_cfunction(h_put), fastcall_keywords, "_h_put(dst, base, stride, offsets, index, n, at, width, src)"},
    {"_h_encode", as_cfunction(h_encode), fastcall_keywords, "_h_encode(values, count, code, big_endian, dst)"},
    {"_h_walk", as_cfunction(h_walk), fastcall_keywords, "_h_walk(src, start, width, big_endian, limit)"},
    {"_h_psamples", as_cfunction(h_psamples), fastcall_keywords,
     "_h_psamples(fd, base, stride, offsets, index, n, ns, code, big_endian, to_float, out)"},
    {"_h_place", as_cfunction(h_place), fastcall_keywords,
     "_h_place(fd, base, stride, offsets, n, ns, code, big_endian, cells, fill, out)"},
    {"_h_pread", as_cfunction(h_pread), fastcall_keywords,
     "_h_pread(fd, base, stride, offsets, index, n, at, width, dst)"},
    {"_h_pwrite", as_cfunction(h_pwrite), fastcall_keywords,
     "_h_pwrite(fd, base, stride, offsets, index, n, at, width, src)"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_handle_functions(PyObject *module)
{
    return PyModule_AddFunctions(module, handle_methods);
}

}  // namespace vondrel::arrays
