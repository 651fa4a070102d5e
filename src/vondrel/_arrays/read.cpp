#include "vondrel/_arrays/read.hpp"

#include "vondrel/_arrays/args.hpp"
#include "vondrel/_arrays/block.hpp"
#include "vondrel/_arrays/layout.hpp"
#include "vondrel/common/binder.hpp"
#include "vondrel/common/errors.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <sys/uio.h>
#include <unistd.h>

namespace vondrel::arrays {

namespace {

// Bytes moved per read: small enough to stay in the cache while the
// parser scatters (and swaps) them into the result arrays.
constexpr std::size_t chunk_size = 256 * 1024;
// From this many sample bytes a trace on, rows are read in place (one
// scatter read for many traces); below it, the kernel's cost per iovec
// exceeds the cost of a copy from a cached chunk.
constexpr std::int64_t direct_trace_bytes = 4096;
// Traces up to this size are walked a chunk at a time.
constexpr std::int64_t page_bytes = 4096;

struct FreeDeleter {
    void operator()(unsigned char *p) const { std::free(p); }
};
using Scratch = std::unique_ptr<unsigned char, FreeDeleter>;

// Turns a byte stream of traces (header, then ns samples, in the file's
// byte order) into header rows, samples back to back and the trace
// boundaries, all in native order.  Pure C++: fed without the interpreter
// lock.
class Parser {
public:
    Parser(bool swap, bool want_samples, std::int64_t limit)
        : swap_(swap), want_(want_samples), limit_(limit) {}

    // Exact room for `traces` traces of `samples` samples in all; false when
    // out of memory.
    bool reserve(std::size_t traces, std::size_t samples)
    {
        return headers.reserve(traces * header_size, true) && offsets.reserve((traces + 1) * 8, true) &&
               (!want_ || flat.reserve(samples * sample_size, true));
    }

    // Takes up to `len` bytes; returns how many it took, fewer only when the
    // trace limit is reached or memory ran out.  `p` may be null while a
    // header-only read skips samples.
    std::size_t feed(const unsigned char *p, std::size_t len)
    {
        std::size_t used = 0;
        while (used < len && !out_of_memory) {
            if (p && !in_samples_ && hpos_ == 0)
                used += whole_traces(p + used, len - used, consumed_ + static_cast<std::int64_t>(used));
            if (used == len)
                break;
            if (!in_samples_) {
                if (hpos_ == 0) {
                    if (limit_ >= 0 && n_ >= limit_)
                        break;
                    if (!headers.reserve((n_ + 1) * header_size) || !offsets.reserve((n_ + 2) * 8)) {
                        out_of_memory = true;
                        break;
                    }
                }
                if (!p)
                    break;
                std::size_t take = std::min(header_size - hpos_, len - used);
                std::memcpy(headers.data() + n_ * header_size + hpos_, p + used, take);
                hpos_ += take;
                used += take;
                if (hpos_ < header_size)
                    break;
                unsigned char *h = headers.data() + n_ * header_size;
                if (swap_)
                    swap_header(h);
                ns_ = header_ns(h);
                sleft_ = ns_ * sample_size;
                in_samples_ = true;
                if (want_ && !flat.reserve((samples_done_ + ns_) * sample_size)) {
                    out_of_memory = true;
                    break;
                }
            }
            std::size_t take = std::min(sleft_, len - used);
            if (want_ && take) {
                unsigned char *dst = flat.data() + samples_done_ * sample_size;
                std::memcpy(dst + cur_, p + used, take);
                if (swap_) {
                    std::size_t whole = (cur_ + take) / sample_size * sample_size;
                    swap_words(dst + swapped_, (whole - swapped_) / sample_size);
                    swapped_ = whole;
                }
            }
            cur_ += take;
            sleft_ -= take;
            used += take;
            if (sleft_ == 0)
                finish_trace(consumed_ + used);
        }
        consumed_ += used;
        return used;
    }

    // Sample bytes still to come in the current trace (0 between traces).
    std::size_t pending_samples() const { return in_samples_ ? sleft_ : 0; }

    bool at_limit() const { return limit_ >= 0 && n_ >= limit_ && hpos_ == 0 && !in_samples_; }

    // The most bytes a stream may be asked for without reading past the
    // last of `limit` traces: the rest of this trace and a header for each
    // trace after it.
    std::size_t safe_request(std::size_t cap) const
    {
        if (limit_ < 0)
            return cap;
        std::int64_t after = limit_ - n_ - 1;
        if (after < 0)
            return 0;
        std::size_t rest = in_samples_ ? sleft_ : header_size - hpos_;
        return std::min<std::uint64_t>(cap, rest + static_cast<std::uint64_t>(after) * header_size);
    }

    // Closes the arrays: n rows of headers, the samples of n traces, n + 1
    // boundaries.
    bool finish()
    {
        if (!offsets.reserve((n_ + 1) * 8))
            return false;
        std::int64_t end = static_cast<std::int64_t>(samples_done_);
        std::memcpy(offsets.data() + n_ * 8, &end, 8);
        offsets.set_size((n_ + 1) * 8);
        headers.set_size(n_ * header_size);
        flat.set_size(want_ ? samples_done_ * sample_size : 0);
        return true;
    }

    // Takes `n` traces of `ns` samples that a direct read has put in place
    // (native order, headers checked), as if they had been fed.
    void adopt(std::int64_t n, std::size_t ns)
    {
        auto *offs = reinterpret_cast<std::int64_t *>(offsets.data());
        for (std::int64_t i = 0; i < n; ++i)
            offs[i] = static_cast<std::int64_t>(i * ns);
        n_ = n;
        samples_done_ = static_cast<std::size_t>(n) * ns;
        consumed_ = complete_end_ = n * static_cast<std::int64_t>(header_size + ns * sample_size);
    }

    std::int64_t limit() const { return limit_; }
    std::int64_t traces() const { return n_; }
    std::int64_t complete_end() const { return complete_end_; }
    std::int64_t consumed() const { return consumed_; }

    Store headers, flat, offsets;
    bool out_of_memory = false;

private:
    // The fast path: takes the traces that lie whole in [p, p + len) while
    // the arrays have room for them, with fixed-size header copies.  Returns
    // the bytes taken; the general path in feed() does the rest.
    std::size_t whole_traces(const unsigned char *p, std::size_t len, std::int64_t base)
    {
        std::size_t used = 0;
        while (len - used >= header_size && (limit_ < 0 || n_ < limit_)) {
            const unsigned char *src = p + used;
            std::uint16_t ns = header_ns(src);
            if (swap_)
                ns = __builtin_bswap16(ns);
            std::size_t bytes = ns * sample_size;
            if (len - used < header_size + bytes ||
                (static_cast<std::size_t>(n_) + 1) * header_size > headers.capacity() ||
                (static_cast<std::size_t>(n_) + 2) * 8 > offsets.capacity() ||
                (want_ && (samples_done_ + ns) * sample_size > flat.capacity()))
                break;
            put_header(headers.data() + n_ * header_size, src, swap_);
            if (want_)
                put_words(flat.data() + samples_done_ * sample_size, src + header_size, bytes, swap_);
            ns_ = ns;
            used += header_size + bytes;
            finish_trace(base + static_cast<std::int64_t>(used));
        }
        return used;
    }

    void finish_trace(std::int64_t at)
    {
        std::int64_t start = static_cast<std::int64_t>(samples_done_);
        std::memcpy(offsets.data() + n_ * 8, &start, 8);
        samples_done_ += ns_;
        ++n_;
        hpos_ = 0;
        in_samples_ = false;
        cur_ = swapped_ = 0;
        complete_end_ = at;
    }

    bool swap_, want_;
    std::int64_t limit_;
    std::int64_t n_ = 0;             // complete traces
    std::int64_t consumed_ = 0;      // bytes taken
    std::int64_t complete_end_ = 0;  // bytes up to the end of the last complete trace
    std::size_t samples_done_ = 0;   // samples of the complete traces
    std::size_t hpos_ = 0;           // header bytes of the current trace taken
    bool in_samples_ = false;
    std::size_t ns_ = 0, sleft_ = 0, cur_ = 0, swapped_ = 0;
};


// Reads native-order traces of `ns` samples straight into the reserved
// arrays, header rows and sample rows as the targets of positioned scatter
// reads: the kernel's copy is the only one.  Stops at the first trace whose
// header says another ns (or at a short read) and hands the good traces to
// the parser, which goes on from there.  0, or an errno value.
int read_direct(Parser &ps, int fd, std::int64_t offset, std::int64_t n, std::size_t ns)
{
    constexpr std::int64_t batch = 512;
    const std::size_t trace = header_size + ns * sample_size;
    unsigned char *headers = ps.headers.data();
    unsigned char *flat = ps.flat.data();
    std::int64_t good = 0;
    for (std::int64_t first = 0; first < n && good == first; first += batch) {
        std::int64_t count = std::min(batch, n - first);
        iovec iov[2 * batch];
        for (std::int64_t i = 0; i < count; ++i) {
            iov[2 * i] = {headers + (first + i) * header_size, header_size};
            iov[2 * i + 1] = {flat + (first + i) * ns * sample_size, ns * sample_size};
        }
        std::size_t want = static_cast<std::size_t>(count) * trace, got = 0;
        std::int64_t at = offset + first * static_cast<std::int64_t>(trace);
        iovec *v = iov;
        int left = static_cast<int>(2 * count);
        while (got < want) {
            ssize_t r = preadv(fd, v, left, at + static_cast<std::int64_t>(got));
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0)
                return errno;
            if (r == 0)
                break;
            got += static_cast<std::size_t>(r);
            std::size_t done = static_cast<std::size_t>(r);
            while (left && done >= v->iov_len) {
                done -= v->iov_len;
                ++v;
                --left;
            }
            if (left && done) {
                v->iov_base = static_cast<unsigned char *>(v->iov_base) + done;
                v->iov_len -= done;
            }
        }
        std::int64_t whole = static_cast<std::int64_t>(got / trace);
        for (std::int64_t i = 0; i < whole && header_ns(headers + (first + i) * header_size) == ns; ++i)
            ++good;
    }
    ps.adopt(good, ns);
    return 0;
}

// Feeds the parser from `fd` at `offset`, `nbytes` at most, without the
// interpreter lock.  With `seek_headers` only the headers are read, one
// positioned read each (for files of long traces).  0, or an errno value.
int read_descriptor(Parser &ps, int fd, std::int64_t offset, std::int64_t nbytes, bool seek_headers,
                    unsigned char *buf)
{
    std::int64_t pos = 0;
    while (pos < nbytes && !ps.at_limit() && !ps.out_of_memory) {
        std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(chunk_size, nbytes - pos));
        if (seek_headers)
            want = std::min(want, header_size);
        ssize_t got = pread_full(fd, buf, want, offset + pos);
        if (got < 0)
            return errno;
        if (got == 0)
            break;
        std::size_t used = ps.feed(buf, static_cast<std::size_t>(got));
        pos += static_cast<std::int64_t>(used);
        if (used < static_cast<std::size_t>(got))
            break;
        if (seek_headers) {
            std::size_t skip = static_cast<std::size_t>(
                std::min<std::int64_t>(static_cast<std::int64_t>(ps.pending_samples()), nbytes - pos));
            pos += static_cast<std::int64_t>(ps.feed(nullptr, skip));
        }
    }
    return 0;
}

// Feeds the parser from a Python stream's readinto, never asking for more
// than the trace limit allows; each read's view of `buf` is released after
// it.  The reads hold the interpreter lock; the
// parsing does not.  0, or -1 with an exception set.
int read_stream(Parser &ps, PyObject *stream, unsigned char *buf)
{
    Ref readinto(PyObject_GetAttrString(stream, "readinto"));
    if (!readinto)
        return -1;
    while (!ps.out_of_memory) {
        std::size_t want = ps.safe_request(chunk_size);
        if (want == 0)
            break;
        Py_ssize_t n = read_into_memory(readinto.get(), nullptr, buf, static_cast<Py_ssize_t>(want));
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        Py_BEGIN_ALLOW_THREADS
        ps.feed(buf, static_cast<std::size_t>(n));
        store_fence();
        Py_END_ALLOW_THREADS
    }
    return 0;
}

}  // namespace

ssize_t pread_full(int fd, unsigned char *buf, std::size_t len, std::int64_t at)
{
    std::size_t done = 0;
    while (done < len) {
        ssize_t got = pread(fd, buf + done, len - done, at + static_cast<std::int64_t>(done));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (got == 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

std::size_t preadv_full(int fd, iovec *v, int count, std::int64_t at, std::size_t want, int *err)
{
    std::size_t got = 0;
    *err = 0;
    while (got < want && count > 0) {
        ssize_t n = preadv(fd, v, count, at + static_cast<std::int64_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            *err = errno;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
        std::size_t used = static_cast<std::size_t>(n);
        while (count && used >= v->iov_len) {
            used -= v->iov_len;
            ++v;
            --count;
        }
        if (count && used) {
            v->iov_base = static_cast<unsigned char *>(v->iov_base) + used;
            v->iov_len -= used;
        }
    }
    return got;
}

// read(source, offset, nbytes, limit, swap, samples, seek_headers,
//      reserve_traces, reserve_samples, prefix, ns): parses traces from
// `source` (an int descriptor read with positioned reads from `offset`,
// `nbytes` at most; or a stream read from where it stands until its end or
// `limit` traces, after the bytes of `prefix`).  `ns` (-1: unknown) is the
// sample count that every trace is expected to have: a native-order read of
// a descriptor then reads rows in place, checking each header after.  A new tuple (headers block, samples
// block or None, offsets block, traces, end of the last complete trace,
// bytes taken); null with OSError or MemoryError.
Params read_params{"read", {"source", "offset", "nbytes", "limit", "swap", "samples", "seek_headers",
                           "reserve_traces", "reserve_samples", "prefix", "ns"}};

PyObject *arrays_read(PyObject *, PyObject *const *call, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *args[11];
    if (read_params.bind(call, nargs, kwnames, args) < 0)
        return nullptr;
    std::int64_t offset, nbytes, limit, reserve_traces, reserve_samples, uniform_ns;
    bool swap, want_samples, seek_headers;
    if (to_int64(args[1], &offset) < 0 || to_int64(args[2], &nbytes) < 0 || to_int64(args[3], &limit) < 0 ||
        to_flag(args[4], &swap) < 0 || to_flag(args[5], &want_samples) < 0 ||
        to_flag(args[6], &seek_headers) < 0 || to_int64(args[7], &reserve_traces) < 0 ||
        to_int64(args[8], &reserve_samples) < 0 || to_int64(args[10], &uniform_ns) < 0)
        return nullptr;
    Buffer prefix;
    if (prefix.get(args[9], false) < 0)
        return nullptr;

    Parser ps(swap, want_samples, limit);
    // Never more than the bytes that can exist: a lying count or ns costs
    // nothing here.
    if (nbytes >= 0) {
        reserve_traces = std::min(reserve_traces, nbytes / static_cast<std::int64_t>(header_size) + 1);
        reserve_samples = std::min(reserve_samples, nbytes / static_cast<std::int64_t>(sample_size));
    }
    if (!ps.reserve(static_cast<std::size_t>(std::max<std::int64_t>(reserve_traces, 0)),
                    static_cast<std::size_t>(std::max<std::int64_t>(reserve_samples, 0))))
        return PyErr_NoMemory();
    Scratch buf(static_cast<unsigned char *>(std::malloc(chunk_size)));
    if (!buf)
        return PyErr_NoMemory();

    if (prefix.size())
        ps.feed(prefix.data(), prefix.size());
    if (PyLong_Check(args[0])) {
        int fd = PyLong_AsInt(args[0]);
        if (fd == -1 && PyErr_Occurred())
            return nullptr;
        int err = 0;
        std::int64_t direct = 0;
        if (uniform_ns * sample_size >= direct_trace_bytes && !swap && want_samples && !prefix.size()) {
            direct = nbytes / static_cast<std::int64_t>(header_size + uniform_ns * sample_size);
            if (limit >= 0)
                direct = std::min(direct, limit);
            if (direct > reserve_traces || direct * uniform_ns > reserve_samples)
                direct = 0;
        }
        Py_BEGIN_ALLOW_THREADS
        if (direct)
            err = read_direct(ps, fd, offset, direct, static_cast<std::size_t>(uniform_ns));
        std::int64_t done = ps.consumed();
        if (!err)
            err = read_descriptor(ps, fd, offset + done, nbytes - done, seek_headers, buf.get());
        store_fence();
        Py_END_ALLOW_THREADS
        if (err) {
            errno = err;
            return PyErr_SetFromErrno(PyExc_OSError);
        }
    } else if (read_stream(ps, args[0], buf.get()) < 0) {
        return nullptr;
    }
    if (ps.out_of_memory || !ps.finish())
        return PyErr_NoMemory();
    Ref headers(block_from_store(ps.headers));
    Ref flat(want_samples ? block_from_store(ps.flat) : Py_NewRef(Py_None));
    Ref offsets(block_from_store(ps.offsets));
    if (!headers || !flat || !offsets)
        return nullptr;
    return Py_BuildValue("(NNNLLL)", headers.release(), flat.release(), offsets.release(),
                         static_cast<long long>(ps.traces()), static_cast<long long>(ps.complete_end()),
                         static_cast<long long>(ps.consumed()));
}

// scan(fd, offset, nbytes, swap, limit, width=4): walks the headers of a
// seekable file from header to header, reading only each ns; `width` is
// the bytes of one sample (SEG-Y's formats differ).  A new tuple (complete
// traces, end of the last of them, their samples, index of the first trace
// whose ns differs from the first's or -1); OSError on a failed read.
constexpr const char *msg_scan_width = "scan: a sample is 1 to 8 bytes, not %lld.";
Params scan_params{"scan", {"fd", "offset", "nbytes", "swap", "limit", "width"}, 5};

PyObject *arrays_scan(PyObject *, PyObject *const *call, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *args[6];
    if (scan_params.bind(call, nargs, kwnames, args) < 0)
        return nullptr;
    std::int64_t fd, offset, nbytes, limit, width = static_cast<std::int64_t>(sample_size);
    bool swap;
    if (to_int64(args[0], &fd) < 0 || to_int64(args[1], &offset) < 0 || to_int64(args[2], &nbytes) < 0 ||
        to_flag(args[3], &swap) < 0 || to_int64(args[4], &limit) < 0 || (args[5] && to_int64(args[5], &width) < 0))
        return nullptr;
    if (width < 1 || width > 8) {
        PyErr_Format(PyExc_ValueError, msg_scan_width, static_cast<long long>(width));
        return nullptr;
    }
    // Traces of a page or less are walked through a window of the file read
    // a chunk at a time (every page holds a header anyway, and one positioned
    // read per header costs more than the bytes); longer ones by reading
    // each header's ns alone, one page touched per trace.
    Scratch window(static_cast<unsigned char *>(std::malloc(chunk_size)));
    if (!window)
        return PyErr_NoMemory();
    std::int64_t pos = 0, n = 0, samples = 0, other = -1;
    std::int64_t window_at = 0, window_len = 0, last = 0;
    int first_ns = -1;
    int err = 0;
    Py_BEGIN_ALLOW_THREADS
    while ((limit < 0 || n < limit) && pos + static_cast<std::int64_t>(header_size) <= nbytes) {
        std::int64_t at = offset + pos + static_cast<std::int64_t>(ns_offset);
        if (at < window_at || at + 2 > window_at + window_len) {
            bool chunked = last > 0 && last <= page_bytes;
            ssize_t got = pread_full(static_cast<int>(fd), window.get(), chunked ? chunk_size : 2, at);
            if (got < 2) {
                err = got < 0 ? errno : 0;
                break;
            }
            window_at = at;
            window_len = got;
        }
        std::uint16_t ns;
        std::memcpy(&ns, window.get() + (at - window_at), sizeof ns);
        if (swap)
            ns = __builtin_bswap16(ns);
        last = static_cast<std::int64_t>(header_size) + ns * width;
        std::int64_t next = pos + last;
        if (next > nbytes)
            break;
        if (first_ns < 0)
            first_ns = ns;
        else if (other < 0 && ns != first_ns)
            other = n;
        pos = next;
        samples += ns;
        ++n;
    }
    Py_END_ALLOW_THREADS
    if (err) {
        errno = err;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    return Py_BuildValue("(LLLL)", static_cast<long long>(n), static_cast<long long>(pos),
                         static_cast<long long>(samples), static_cast<long long>(other));
}

}  // namespace vondrel::arrays
