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
#include <condition_variable>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
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
// Bytes of a write chunk encoded in one pass of headers and one of samples.
constexpr std::size_t encode_piece = 128 * 1024;
// From this many bytes on, a run is shared with a second thread: a read is
// cut into parts that the two threads take in turn, each read and converted
// by the thread that took it; a write's chunks are encoded by both threads
// in turn, while the caller's thread writes them in order.
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
        int err;
        const std::size_t got = preadv_full(r.fd, iov, static_cast<int>(2 * m), at, want, &err);
        if (err) {
            errno = err;
            return -1;
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

// A long read is cut into parts (a few MB each, at most `most_parts`) that
// this thread and a second one take in turn from a shared counter: on a
// busy machine the thread that has a core does more of them.
std::int64_t read_traces(const TraceRead &r)
{
    constexpr std::size_t most_parts = 64, part_bytes = 2u << 20;
    const std::size_t trace_bytes = r.samples ? stride_of(r) : trace_header_size;
    const std::size_t bytes = r.count * trace_bytes;
    if (r.count < 2 || bytes < parallel_bytes)
        return read_alone(r);
    const std::size_t parts = std::clamp<std::size_t>(bytes / part_bytes, 2, std::min(most_parts, r.count));
    const std::size_t per_part = (r.count + parts - 1) / parts;
    std::int64_t got[most_parts];
    int err[most_parts];
    std::atomic<std::size_t> next{0};
    auto part = [&](std::size_t k) {
        TraceRead p = r;
        const std::size_t first = k * per_part;
        p.count = std::min(per_part, r.count - std::min(first, r.count));
        p.offset += static_cast<std::int64_t>(first * r.step * stride_of(r));
        p.headers += first * trace_header_size;
        if (r.samples)
            p.samples += first * r.ns * item_of(r);
        return p;
    };
    auto work = [&] {
        for (std::size_t k; (k = next.fetch_add(1)) < parts;) {
            got[k] = read_alone(part(k));
            err[k] = errno;
        }
    };
    std::thread helper;
    try {
        helper = std::thread(work);
    } catch (...) {                 // no thread to be had: every part on this one
    }
    work();
    if (helper.joinable())
        helper.join();
    // As a read from the front would end: at the first failure or short trace.
    std::int64_t total = 0;
    for (std::size_t k = 0; k < parts; ++k) {
        if (got[k] < 0) {
            errno = err[k];
            return -1;
        }
        total += got[k];
        if (static_cast<std::size_t>(got[k]) < part(k).count)
            break;
    }
    return total;
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
    constexpr std::size_t slots = 8;    // chunk buffers between the two threads
    Scratch scratch(static_cast<unsigned char *>(std::malloc((ahead ? slots : 1) * per_chunk * stride)));
    if (!scratch)
        return -2;
    // Chunk k: its traces, and where its encoding stopped (m * ns when whole).
    // A chunk is encoded a piece at a time: the header rows and then the
    // samples of a piece go to its bytes while the core's cache holds them.
    const std::size_t per_piece = std::max<std::size_t>(encode_piece / stride, 1);
    auto encode = [&](std::size_t k, unsigned char *dst, std::size_t *ok) {
        std::size_t first = k * per_chunk, m = std::min(per_chunk, count - first);
        *ok = 0;
        for (std::size_t at = 0; at < m; at += per_piece) {
            std::size_t p = std::min(per_piece, m - at), t = first + at;
            std::size_t done = codec::encode_traces(headers + t * trace_header_size, samples + t * ns * item, p, ns,
                                                    fmt, big_endian, dst + at * stride);
            *ok += done;
            if (done != p * ns)
                break;
        }
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
    // The chunks are encoded in the order of a shared count by a second
    // thread and by this one, which writes them in order (a sink that is a
    // Python object must be called from here) and encodes whatever chunk is
    // next while the one it is to write is not ready.  Chunk k has buffer
    // k % slots, free again once chunk k - slots is written.
    struct Slot {
        std::size_t ok = 0, traces = 0;
        bool ready = false;
    };
    Slot slot[slots];
    std::mutex mu;
    std::condition_variable cv;
    std::size_t claimed = 0, written = 0;
    bool stop = false;
    auto buffer = [&](std::size_t k) { return scratch.get() + (k % slots) * per_chunk * stride; };
    // Encodes a chunk claimed under the lock; false when it held a bad value.
    auto encode_claimed = [&](std::size_t k) {
        Slot done;
        done.traces = encode(k, buffer(k), &done.ok);
        done.ready = true;
        std::lock_guard lock(mu);
        slot[k % slots] = done;
        cv.notify_all();
        return done.ok == done.traces * ns;
    };
    std::thread helper;
    try {
        helper = std::thread([&] {
            for (;;) {
                std::size_t k;
                {
                    std::unique_lock lock(mu);
                    cv.wait(lock, [&] { return stop || claimed >= chunks || claimed < written + slots; });
                    if (stop || claimed >= chunks)
                        return;
                    k = claimed++;
                }
                if (!encode_claimed(k))
                    return;
            }
        });
    } catch (...) {                 // no thread to be had: every chunk encoded here
    }
    int rc = 0;
    for (std::size_t k = 0; k < chunks; ++k) {
        // Until chunk k is encoded, this thread encodes the next unclaimed
        // chunk that has a free buffer (k itself when the other thread has
        // not reached it), so that neither thread waits while work is left.
        Slot s;
        for (;;) {
            std::unique_lock lock(mu);
            if (slot[k % slots].ready) {
                s = slot[k % slots];
                slot[k % slots].ready = false;
                break;
            }
            if (claimed < chunks && claimed < written + slots) {
                std::size_t j = claimed++;
                lock.unlock();
                encode_claimed(j);
                continue;
            }
            cv.wait(lock, [&] { return slot[k % slots].ready; });
        }
        if (s.ok != s.traces * ns) {
            *bad = k * per_chunk * ns + s.ok;
            break;
        }
        if (sink.put(buffer(k), s.traces * stride) < 0) {
            rc = -1;
            break;
        }
        std::lock_guard lock(mu);
        written = k + 1;
        cv.notify_all();
    }
    {
        std::lock_guard lock(mu);
        stop = true;                // wakes the encoder if it waits for a buffer that will not come
        cv.notify_all();
    }
    if (helper.joinable())
        helper.join();
    return rc;
}

}  // namespace vondrel::arrays
