#include "vondrel/_arrays/write.hpp"

#include "vondrel/_arrays/args.hpp"
#include "vondrel/_arrays/block.hpp"
#include "vondrel/_arrays/layout.hpp"
#include "vondrel/common/binder.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include <sys/uio.h>
#include <unistd.h>

namespace vondrel::arrays {

namespace {

constexpr const char *msg_bad_arrays =
    "The offsets do not describe the samples (decreasing, or past their end), or headers are missing.";
constexpr std::size_t chunk_size = 1024 * 1024;
constexpr int iov_batch = 1024;
// Below this many bytes a trace, one iovec each for header and samples costs
// the kernel more than gathering them into a chunk does.
constexpr std::size_t direct_trace_bytes = 4096;

// What one write moves: n traces of headers (native order), their samples
// back to back, the n + 1 boundaries, and the bytes that go first.
struct Source {
    const unsigned char *headers, *flat, *prefix;
    const std::int64_t *offsets;
    std::size_t n, prefix_len;
};

// Gathers traces into a chunk (ns set from the boundaries, fields swapped
// when asked) and hands the sink full chunks only, so that every write but
// the last covers whole pages at chunk-aligned offsets.  Every piece (the
// count, a header, samples) is whole 4-byte words, so a chunk boundary never
// splits a word.  0, or -1 as Sink::put fails.
template <bool Swap>
int write_chunked(const Source &src, Sink &sink, unsigned char *chunk)
{
    std::size_t fill = 0;
    auto add = [&](const unsigned char *p, std::size_t len, bool words) -> int {
        while (len) {
            std::size_t take = std::min(len, chunk_size - fill);
            std::memcpy(chunk + fill, p, take);
            if (Swap && words)
                swap_words(chunk + fill, take / sample_size);
            fill += take;
            p += take;
            len -= take;
            if (fill == chunk_size) {
                if (sink.put(chunk, fill) < 0)
                    return -1;
                fill = 0;
            }
        }
        return 0;
    };
    if (add(src.prefix, src.prefix_len, false) < 0)
        return -1;
    alignas(16) unsigned char header[header_size];
    for (std::size_t i = 0; i < src.n; ++i) {
        std::int64_t ns = src.offsets[i + 1] - src.offsets[i];
        const unsigned char *samples = src.flat + src.offsets[i] * sample_size;
        std::size_t bytes = static_cast<std::size_t>(ns) * sample_size;
        if (header_size + bytes < chunk_size - fill) {     // the common case: the trace fits whole
            unsigned char *d = chunk + fill;
            std::memcpy(d, src.headers + i * header_size, header_size);
            set_header_ns(d, static_cast<std::uint16_t>(ns));
            std::memcpy(d + header_size, samples, bytes);
            if (Swap) {
                swap_header(d);
                swap_words(d + header_size, static_cast<std::size_t>(ns));
            }
            fill += header_size + bytes;
            continue;
        }
        std::memcpy(header, src.headers + i * header_size, header_size);
        set_header_ns(header, static_cast<std::uint16_t>(ns));
        if (Swap)
            swap_header(header);
        if (add(header, header_size, false) < 0 || add(samples, bytes, true) < 0)
            return -1;
    }
    return fill ? sink.put(chunk, fill) : 0;
}

// Native order to a descriptor: the rows themselves, many traces per
// writev, nothing copied.  0, or -1 with sink.err (or a signal's exception).
int write_direct(const Source &src, Sink &sink)
{
    iovec iov[iov_batch];
    int k = 0;
    auto drain = [&]() -> int {
        iovec *v = iov;
        int left = k;
        while (left) {
            ssize_t w = ::writev(sink.fd, v, left);
            if (w < 0) {
                if (errno == EINTR) {
                    if (sink.interrupted() < 0)
                        return -1;
                    continue;
                }
                sink.err = errno;
                return -1;
            }
            std::size_t done = static_cast<std::size_t>(w);
            while (left && done >= v->iov_len) {
                done -= v->iov_len;
                ++v;
                --left;
            }
            if (left) {
                v->iov_base = static_cast<char *>(v->iov_base) + done;
                v->iov_len -= done;
                if (sink.interrupted() < 0)       // cut short, as a signal cuts a write to a pipe
                    return -1;
            }
        }
        k = 0;
        return 0;
    };
    auto add = [&](const unsigned char *p, std::size_t len) -> int {
        if (!len)
            return 0;
        if (k == iov_batch && drain() < 0)
            return -1;
        iov[k].iov_base = const_cast<unsigned char *>(p);
        iov[k].iov_len = len;
        ++k;
        return 0;
    };
    if (add(src.prefix, src.prefix_len) < 0)
        return -1;
    for (std::size_t i = 0; i < src.n; ++i) {
        std::int64_t ns = src.offsets[i + 1] - src.offsets[i];
        if (add(src.headers + i * header_size, header_size) < 0 ||
            add(src.flat + src.offsets[i] * sample_size, static_cast<std::size_t>(ns) * sample_size) < 0)
            return -1;
    }
    return drain();
}

}  // namespace

// write(dest, headers, flat, offsets, swap, direct, prefix): writes `prefix`
// and then every trace: its header row with ns set from the boundaries, then
// its samples, swapped when `swap` is true.  `dest` is an int descriptor
// (written where it stands, without the interpreter lock) or an object with
// write().  `direct` says that every header already holds its ns, so that a
// native-order write may send the rows as they are.  The buffers are checked
// by the caller (sizes, dtypes).  Returns the bytes written as a new int;
// null with OSError or the object's error.
Params write_params{"write", {"dest", "headers", "flat", "offsets", "swap", "direct", "prefix"}};

PyObject *arrays_write(PyObject *, PyObject *const *call, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *args[7];
    if (write_params.bind(call, nargs, kwnames, args) < 0)
        return nullptr;
    bool swap, direct;
    if (to_flag(args[4], &swap) < 0 || to_flag(args[5], &direct) < 0)
        return nullptr;
    Buffer headers, flat, offsets, prefix;
    if (headers.get(args[1], false) < 0 || flat.get(args[2], false) < 0 || offsets.get(args[3], false) < 0 ||
        prefix.get(args[6], false) < 0)
        return nullptr;
    Source src{
        .headers = headers.data(),
        .flat = flat.data(),
        .prefix = prefix.data(),
        .offsets = reinterpret_cast<const std::int64_t *>(offsets.data()),
        .n = offsets.size() / 8 ? offsets.size() / 8 - 1 : 0,
        .prefix_len = prefix.size(),
    };
    // The arrays come from a Gather whose fields anyone may have replaced:
    // every byte the loops will touch must lie in them.
    bool fits = offsets.size() >= 8 && headers.size() >= src.n * header_size && src.offsets[0] >= 0;
    for (std::size_t i = 0; fits && i < src.n; ++i)
        fits = src.offsets[i + 1] >= src.offsets[i];
    if (!fits || static_cast<std::size_t>(src.offsets[src.n]) > flat.size() / sample_size) {
        PyErr_SetString(PyExc_ValueError, msg_bad_arrays);
        return nullptr;
    }
    std::size_t total = src.prefix_len + src.n * header_size +
                        static_cast<std::size_t>(src.offsets[src.n] - src.offsets[0]) * sample_size;
    Sink sink;
    Ref write_method;
    if (PyLong_Check(args[0])) {
        sink.fd = PyLong_AsInt(args[0]);
        if (sink.fd == -1 && PyErr_Occurred())
            return nullptr;
        if (sink.fd < 0) {   // a negative descriptor would leave the sink with no way to write
            errno = EBADF;
            return PyErr_SetFromErrno(PyExc_OSError);
        }
    } else {
        write_method.reset(PyObject_GetAttrString(args[0], "write"));
        if (!write_method)
            return nullptr;
        sink.write = write_method.get();
    }
    std::unique_ptr<unsigned char, decltype(&std::free)> chunk(
        static_cast<unsigned char *>(std::malloc(chunk_size)), &std::free);
    if (!chunk)
        return PyErr_NoMemory();
    int rc;
    sink.released = PyEval_SaveThread();
    if (direct && !swap && sink.fd >= 0 && total >= src.n * direct_trace_bytes)
        rc = write_direct(src, sink);
    else if (swap)
        rc = write_chunked<true>(src, sink, chunk.get());
    else
        rc = write_chunked<false>(src, sink, chunk.get());
    PyEval_RestoreThread(sink.released);
    if (rc < 0) {
        if (sink.fd >= 0 && sink.err) {
            errno = sink.err;
            PyErr_SetFromErrno(PyExc_OSError);
        }
        return nullptr;
    }
    return PyLong_FromSize_t(total);
}

// check_ns(headers, offsets): one pass over the header rows (native
// order) against the trace boundaries.  A new tuple (the first trace longer
// than a header can say or -1, the first trace whose header ns is neither 0
// nor its sample count or -1, whether every header sets its ns).
Params check_ns_params{"check_ns", {"headers", "offsets"}};

PyObject *arrays_check_ns(PyObject *, PyObject *const *call, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *args[2];
    if (check_ns_params.bind(call, nargs, kwnames, args) < 0)
        return nullptr;
    Buffer headers, offsets;
    if (headers.get(args[0], false) < 0 || offsets.get(args[1], false) < 0)
        return nullptr;
    std::size_t n = offsets.size() / 8 ? offsets.size() / 8 - 1 : 0;
    if (headers.size() < n * header_size) {
        PyErr_SetString(PyExc_ValueError, "check_ns() was given fewer header rows than traces.");
        return nullptr;
    }
    const auto *offs = reinterpret_cast<const std::int64_t *>(offsets.data());
    long long too_long = -1, wrong = -1;
    bool all_set = true;
    Py_BEGIN_ALLOW_THREADS
    for (std::size_t i = 0; i < n; ++i) {
        std::int64_t ns = offs[i + 1] - offs[i];
        std::uint16_t said = header_ns(headers.data() + i * header_size);
        if (too_long < 0 && (ns < 0 || ns > static_cast<std::int64_t>(max_ns)))
            too_long = static_cast<long long>(i);
        all_set = all_set && said != 0;
        if (wrong < 0 && said != 0 && said != ns)
            wrong = static_cast<long long>(i);
    }
    Py_END_ALLOW_THREADS
    return Py_BuildValue("(LLO)", too_long, wrong, all_set ? Py_True : Py_False);
}

}  // namespace vondrel::arrays
