// The loops of segy_io.hpp.  A read takes one of three routes by the shape
// of what it reads: long traces whose samples keep their width in memory
// are read in place (header rows and sample rows the targets of scatter
// reads, then converted where they lie while the cache still holds them);
// short traces through a cache-sized chunk that is converted into the
// arrays; scattered traces, or the headers of long ones, one positioned
// read each.
#include "vondrel/_arrays/segy_io.hpp"

#include "vondrel/_arrays/ibm.hpp"
#include "vondrel/_arrays/read.hpp"
#include "vondrel/_arrays/segy_traces.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <semaphore>
#include <thread>

#include <sys/uio.h>
#include <unistd.h>

namespace vondrel::arrays {

namespace {

using codec::trace_header_size;

// Bytes per read: the chunk is converted while it is still in the cache.
constexpr std::size_t read_chunk = 256 * 1024;
// From this many sample bytes a trace on, a trace's two pieces are worth an
// iovec each; below it the kernel's cost per iovec exceeds a cached copy.
constexpr std::size_t direct_sample_bytes = 4096;
// Headers alone of traces longer than this are read one by one; shorter
// traces are read whole, a chunk at a time.
constexpr std::size_t sparse_trace_bytes = 16 * trace_header_size;
// Values converted in place per pass, through a copy that stays in L1.
constexpr std::size_t in_place_bytes = 8192;
// From this many bytes on, a run is shared with a second thread: a read is
// split in two halves, each read and converted on its own thread; a write
// encodes one chunk ahead on a second thread while the caller's writes the
// one before.
constexpr std::size_t parallel_bytes = 4u << 20;

struct FreeDeleter {
    void operator()(unsigned char *p) const { std::free(p); }
};
using Scratch = std::unique_ptr<unsigned char, FreeDeleter>;

constexpr bool file_is_native(bool big_endian) { return big_endian == (std::endian::native == std::endian::big); }

std::size_t stride_of(const TraceRead &r) { return trace_header_size + r.ns * std::size_t(r.fmt->width); }

std::size_t item_of(const TraceRead &r) { return r.to_float ? 4 : std::size_t(r.fmt->stored_size); }

// Converts traces [first, first + count) that a scatter read put where they
// belong: header rows into native order, sample rows (as wide in memory as
// in the file) decoded where they lie.
void convert_in_place(const TraceRead &r, std::size_t first, std::size_t count)
{
    unsigned char *h = r.headers + first * trace_header_size;
    if (!file_is_native(r.big_endian))
        codec::swap_headers(h, trace_header_size, h, trace_header_size, count, codec::segy_header_kinds);
    // Native order and a format stored as it is: the bytes are the values.
    if (file_is_native(r.big_endian) && r.fmt->code != 1 && (!r.to_float || r.fmt->code == 5))
        return;
    const std::size_t width = std::size_t(r.fmt->width);
    const std::size_t per_pass = in_place_bytes / width;
    alignas(64) unsigned char copy[in_place_bytes];
    unsigned char *p = r.samples + first * r.ns * width;
    const std::size_t values = count * r.ns;          // sample rows lie back to back: one run
    for (std::size_t at = 0; at < values; at += per_pass) {
        std::size_t n = std::min(per_pass, values - at);
        std::memcpy(copy, p + at * width, n * width);
        codec::decode_samples(*r.fmt, copy, n, r.big_endian, p + at * width, r.to_float);
    }
}

// Long traces in place, a chunk's worth of traces per preadv.
std::int64_t read_scattered(const TraceRead &r)
{
    constexpr std::size_t most = 256;                 // traces per call: 512 iovecs, within IOV_MAX
    const std::size_t row = r.ns * std::size_t(r.fmt->width), stride = stride_of(r);
    const std::size_t per_call = std::clamp<std::size_t>(read_chunk / stride, 1, most);
    iovec iov[2 * most];
    std::size_t done = 0;
    while (done < r.count) {
        std::size_t m = std::min(per_call, r.count - done);
        for (std::size_t i = 0; i < m; ++i) {
            iov[2 * i] = {r.headers + (done + i) * trace_header_size, trace_header_size};
            iov[2 * i + 1] = {r.samples + (done + i) * row, row};
        }
        const std::size_t want = m * stride;
        const std::int64_t at = r.offset + static_cast<std::int64_t>(done * stride);
        std::size_t got = 0;
        iovec *v = iov;
        int left = static_cast<int>(2 * m);
        while (got < want) {
            ssize_t n = preadv(r.fd, v, left, at + static_cast<std::int64_t>(got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return -1;
            if (n == 0)
                break;
            got += static_cast<std::size_t>(n);
            std::size_t used = static_cast<std::size_t>(n);
            while (left && used >= v->iov_len) {
                used -= v->iov_len;
                ++v;
                --left;
            }
            if (left && used) {
                v->iov_base = static_cast<unsigned char *>(v->iov_base) + used;
                v->iov_len -= used;
            }
        }
        std::size_t whole = got / stride;
        convert_in_place(r, done, whole);
        done += whole;
        if (whole < m)
            break;
    }
    return static_cast<std::int64_t>(done);
}

// Consecutive traces through a chunk converted into the arrays.
std::int64_t read_chunked(const TraceRead &r)
{
    const std::size_t stride = stride_of(r), item = item_of(r);
    const std::size_t per_chunk = std::min(std::max<std::size_t>(read_chunk / stride, 1), r.count);
    Scratch buf(static_cast<unsigned char *>(std::malloc(per_chunk * stride)));
    if (!buf) {
        errno = ENOMEM;
        return -1;
    }
    std::size_t done = 0;
    while (done < r.count) {
        std::size_t m = std::min(per_chunk, r.count - done);
        ssize_t got = pread_full(r.fd, buf.get(), m * stride, r.offset + static_cast<std::int64_t>(done * stride));
        if (got < 0)
            return -1;
        std::size_t whole = static_cast<std::size_t>(got) / stride;
        codec::decode_traces(buf.get(), whole, static_cast<std::int64_t>(r.ns), *r.fmt, r.big_endian,
                             r.headers + done * trace_header_size,
                             r.samples ? r.samples + done * r.ns * item : nullptr, r.to_float);
        done += whole;
        if (whole < m)
            break;
    }
    return static_cast<std::int64_t>(done);
}

// One positioned read per trace: the whole trace, or its header alone.
std::int64_t read_each(const TraceRead &r)
{
    const std::size_t stride = stride_of(r), item = item_of(r);
    const std::size_t want = r.samples ? stride : trace_header_size;
    Scratch buf(static_cast<unsigned char *>(std::malloc(want)));
    if (!buf) {
        errno = ENOMEM;
        return -1;
    }
    for (std::size_t j = 0; j < r.count; ++j) {
        std::int64_t at = r.offset + static_cast<std::int64_t>(j * r.step * stride);
        ssize_t got = pread_full(r.fd, buf.get(), want, at);
        if (got < 0)
            return -1;
        if (static_cast<std::size_t>(got) < want)
            return static_cast<std::int64_t>(j);
        codec::decode_traces(buf.get(), 1, r.samples ? static_cast<std::int64_t>(r.ns) : 0, *r.fmt, r.big_endian,
                             r.headers + j * trace_header_size, r.samples ? r.samples + j * r.ns * item : nullptr,
                             r.to_float);
    }
    return static_cast<std::int64_t>(r.count);
}

// One thread's read, by the route that suits its shape.
std::int64_t read_alone(const TraceRead &r)
{
    if (r.count == 0)
        return 0;
    const std::size_t width = std::size_t(r.fmt->width);
    if (r.step == 1 && r.samples && width == item_of(r) && r.ns * width >= direct_sample_bytes)
        return read_scattered(r);
    if (r.step == 1 && (r.samples || stride_of(r) <= sparse_trace_bytes))
        return read_chunked(r);
    return read_each(r);
}

}  // namespace

std::int64_t read_traces(const TraceRead &r)
{
    const std::size_t bytes = r.count * (r.samples ? stride_of(r) : trace_header_size);
    if (r.count < 2 || bytes < parallel_bytes)
        return read_alone(r);
    const std::size_t half = r.count / 2;
    TraceRead first = r, second = r;
    first.count = half;
    second.count = r.count - half;
    second.offset += static_cast<std::int64_t>(half * r.step * stride_of(r));
    second.headers += half * trace_header_size;
    if (r.samples)
        second.samples += half * r.ns * item_of(r);
    std::int64_t got_second = 0;
    int err_second = 0;
    std::thread helper;
    try {
        helper = std::thread([&] {
            got_second = read_alone(second);
            err_second = errno;
        });
    } catch (...) {                 // no thread to be had: the second half after the first
    }
    std::int64_t got = read_alone(first);
    int err = errno;
    if (helper.joinable())
        helper.join();
    else if (got == static_cast<std::int64_t>(half)) {
        got_second = read_alone(second);
        err_second = errno;
    }
    // As a read from the front would end: at the first failure or short trace.
    if (got < static_cast<std::int64_t>(half)) {
        errno = err;
        return got;
    }
    if (got_second < 0) {
        errno = err_second;
        return -1;
    }
    return got + got_second;
}

std::size_t first_non_finite(const float *src, std::size_t n)
{
    if (4 * n < parallel_bytes)
        return codec::find_non_finite(src, n);
    const std::size_t half = n / 2;
    std::size_t second = n - half;
    std::thread helper;
    try {
        helper = std::thread([&] { second = codec::find_non_finite(src + half, n - half); });
    } catch (...) {                 // no thread to be had: the second half after the first
    }
    std::size_t first = codec::find_non_finite(src, half);
    if (helper.joinable())
        helper.join();
    else if (first == half)
        second = codec::find_non_finite(src + half, n - half);
    return first < half ? first : half + second;
}

int write_traces(Sink &sink, const unsigned char *headers, const unsigned char *samples, std::size_t count,
                 std::size_t ns, const codec::SampleFormat &fmt, bool big_endian, std::size_t *bad)
{
    const std::size_t stride = trace_header_size + ns * std::size_t(fmt.width), item = std::size_t(fmt.stored_size);
    const std::size_t per_chunk = std::min(std::max<std::size_t>(write_chunk / stride, 1), count);
    const std::size_t chunks = per_chunk ? (count + per_chunk - 1) / per_chunk : 0;
    *bad = count * ns;
    if (!chunks)
        return 0;
    const bool ahead = chunks > 1 && count * stride >= parallel_bytes;
    Scratch scratch(static_cast<unsigned char *>(std::malloc((ahead ? 2 : 1) * per_chunk * stride)));
    if (!scratch)
        return -2;
    // Chunk k: its traces, and where its encoding stopped (m * ns when whole).
    auto encode = [&](std::size_t k, unsigned char *dst, std::size_t *ok) {
        std::size_t first = k * per_chunk, m = std::min(per_chunk, count - first);
        *ok = codec::encode_traces(headers + first * trace_header_size, samples + first * ns * item, m, ns, fmt,
                                   big_endian, dst);
        return m;
    };
    if (!ahead) {
        for (std::size_t k = 0; k < chunks; ++k) {
            std::size_t ok, m = encode(k, scratch.get(), &ok);
            if (ok != m * ns) {
                *bad = k * per_chunk * ns + ok;
                return 0;
            }
            if (sink.put(scratch.get(), m * stride) < 0)
                return -1;
        }
        return 0;
    }
    // Two buffers between the encoding thread and this one, which writes
    // (a sink that is a Python object must be called from here).
    unsigned char *buf[2] = {scratch.get(), scratch.get() + per_chunk * stride};
    std::size_t ok[2] = {0, 0}, traces[2] = {0, 0};
    std::counting_semaphore<> empty(2), full(0);
    std::atomic<bool> stop{false};
    std::thread helper;
    try {
        helper = std::thread([&] {
            for (std::size_t k = 0; k < chunks; ++k) {
                empty.acquire();
                if (stop.load())
                    return;
                traces[k % 2] = encode(k, buf[k % 2], &ok[k % 2]);
                bool whole = ok[k % 2] == traces[k % 2] * ns;
                full.release();
                if (!whole)
                    return;
            }
        });
    } catch (...) {                 // no thread to be had: one chunk at a time, here
        for (std::size_t k = 0; k < chunks; ++k) {
            std::size_t done, m = encode(k, buf[0], &done);
            if (done != m * ns) {
                *bad = k * per_chunk * ns + done;
                return 0;
            }
            if (sink.put(buf[0], m * stride) < 0)
                return -1;
        }
        return 0;
    }
    int rc = 0;
    for (std::size_t k = 0; k < chunks; ++k) {
        full.acquire();
        if (ok[k % 2] != traces[k % 2] * ns) {
            *bad = k * per_chunk * ns + ok[k % 2];
            break;
        }
        if (sink.put(buf[k % 2], traces[k % 2] * stride) < 0) {
            stop.store(true);
            rc = -1;
            break;
        }
        empty.release();
    }
    empty.release();                // wakes the encoder if it waits for a buffer that will not come
    helper.join();
    return rc;
}

}  // namespace vondrel::arrays
