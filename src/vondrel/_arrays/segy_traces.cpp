#include "vondrel/_arrays/segy_traces.hpp"

#include "vondrel/_arrays/ibm.hpp"

#include <bit>
#include <cstring>

namespace vondrel::codec {

// Words 0-44 are bytes 1-180 (the fields shared with Seismic Unix): seven
// 4-byte numbers, two pairs of shorts, eight 4-byte numbers, a pair of
// scalars, four coordinates, then shorts up to byte 180.  Words 45-59: CDP X
// and Y, inline, crossline, shot point; its scalar and the value unit; the
// transduction mantissa; eight shorts; the source measurement mantissa; its
// exponent and unit; the unassigned tail.
const unsigned char segy_header_kinds[60] = {
    4, 4, 4, 4, 4, 4, 4, 2, 2, 4, 4, 4, 4, 4, 4, 4, 4, 2, 4, 4, 4, 4,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    4, 4, 4, 4, 4, 2, 4, 2, 2, 2, 2, 4, 2, 1, 1,
};

namespace {

constexpr bool file_is_native(bool big_endian) { return big_endian == (std::endian::native == std::endian::big); }

// The sample count of the header at p, stored in the file's order.
std::size_t header_ns(const unsigned char *p, bool big_endian)
{
    const unsigned char *b = p + trace_ns_offset;
    return big_endian ? std::size_t(b[0]) << 8 | b[1] : std::size_t(b[1]) << 8 | b[0];
}

void copy_headers(const unsigned char *src, std::size_t src_stride, unsigned char *dst, std::size_t dst_stride,
                  std::size_t count, bool big_endian)
{
    if (!file_is_native(big_endian)) {
        swap_headers(src, src_stride, dst, dst_stride, count, segy_header_kinds);
        return;
    }
    for (std::size_t t = 0; t < count; ++t)
        std::memcpy(dst + dst_stride * t, src + src_stride * t, trace_header_size);
}

}  // namespace

void decode_traces(const unsigned char *src, std::size_t count, std::int64_t ns, const SampleFormat &fmt,
                   bool big_endian, unsigned char *headers, unsigned char *samples, bool to_float)
{
    std::size_t item = to_float ? 4 : std::size_t(fmt.stored_size);
    if (ns >= 0) {
        std::size_t stride = trace_header_size + std::size_t(ns) * fmt.width;
        copy_headers(src, stride, headers, trace_header_size, count, big_endian);
        if (samples && fmt.code == 1)
            return ibm_to_float(src + trace_header_size, Runs{count, std::size_t(ns), stride},
                                reinterpret_cast<float *>(samples), big_endian);
        for (std::size_t t = 0; samples && t < count; ++t)
            decode_samples(fmt, src + stride * t + trace_header_size, std::size_t(ns), big_endian,
                           samples + item * std::size_t(ns) * t, to_float);
        return;
    }
    for (std::size_t t = 0; t < count; ++t) {
        std::size_t n = header_ns(src, big_endian);
        copy_headers(src, 0, headers + trace_header_size * t, 0, 1, big_endian);
        if (samples) {
            decode_samples(fmt, src + trace_header_size, n, big_endian, samples, to_float);
            samples += item * n;
        }
        src += trace_header_size + n * fmt.width;
    }
}

std::size_t walk_traces(const unsigned char *src, std::size_t size, std::size_t limit, const SampleFormat &fmt,
                        bool big_endian, std::size_t *bytes, std::size_t *samples)
{
    std::size_t at = 0, total = 0, t = 0;
    for (; t < limit && size - at >= trace_header_size; ++t) {
        std::size_t n = header_ns(src + at, big_endian);
        if ((size - at - trace_header_size) / fmt.width < n)
            break;
        at += trace_header_size + n * fmt.width;
        total += n;
    }
    *bytes = at;
    *samples = total;
    return t;
}

std::size_t encode_traces(const unsigned char *headers, const unsigned char *samples, std::size_t count,
                          std::size_t ns, const SampleFormat &fmt, bool big_endian, unsigned char *dst)
{
    std::size_t stride = trace_header_size + ns * fmt.width;
    std::size_t item = std::size_t(fmt.stored_size);
    copy_headers(headers, trace_header_size, dst, stride, count, big_endian);
    if (fmt.code == 1)
        return float_to_ibm(reinterpret_cast<const float *>(samples), dst + trace_header_size, Runs{count, ns, stride},
                            big_endian);
    for (std::size_t t = 0; t < count; ++t) {
        std::size_t done = encode_samples(fmt, samples + item * ns * t, ns, big_endian, dst + stride * t + trace_header_size);
        if (done != ns)
            return ns * t + done;
    }
    return ns * count;
}

}  // namespace vondrel::codec
