// SEG-Y traces between a file and arrays, the system calls and the byte
// work together: positioned reads of fixed-length traces into native header
// rows and samples, and encoded traces handed to a sink.  Pure C++, run
// with the interpreter lock released (a sink that is a Python object takes
// it back for each write).
#pragma once

#include "vondrel/_arrays/formats.hpp"
#include "vondrel/_arrays/write.hpp"

#include <cstddef>
#include <cstdint>

namespace vondrel::arrays {

// A read of `count` fixed-length traces of `ns` samples in format `fmt`:
// trace j of the read is trace j * step of the file's traces from the one
// at byte `offset` of `fd`.  Header rows (240 bytes each, native order) go
// to `headers`; samples, back to back, to `samples` (float32 when
// `to_float`, else the format's stored type), or nowhere when it is null.
struct TraceRead {
    int fd;
    std::int64_t offset;
    std::size_t count, step, ns;
    const codec::SampleFormat *fmt;
    bool big_endian, to_float;
    unsigned char *headers, *samples;
};

// Reads the traces of `r`: the number read whole (fewer than r.count only
// where the file ends first; those are converted too), or -1 with errno
// set (ENOMEM when no scratch memory could be had).
std::int64_t read_traces(const TraceRead &r);

// The index of the first infinity or NaN of src[0..n), or n: a long array
// is searched in two halves at once, on this thread and a second one.
std::size_t first_non_finite(const float *src, std::size_t n);

// Bytes per write: each chunk is written while the cache holds it.
constexpr std::size_t write_chunk = 1024 * 1024;

// Encodes `count` traces of `ns` samples (native header rows, samples in
// the format's stored type, float32 for IBM) a chunk at a time and hands
// each chunk to `sink` from the calling thread, whose interpreter lock the
// caller has released.  *bad is count * ns, or the index (into samples) of
// the first value the format cannot hold: nothing from that value's chunk
// on is written.  0; -1 as Sink::put fails (sink.err set for a descriptor,
// a Python exception for an object); -2 when no scratch memory could be had.
int write_traces(Sink &sink, const unsigned char *headers, const unsigned char *samples, std::size_t count,
                 std::size_t ns, const codec::SampleFormat &fmt, bool big_endian, std::size_t *bad);

}  // namespace vondrel::arrays
