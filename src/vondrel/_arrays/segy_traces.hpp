// SEG-Y traces as bytes: the 240-byte trace header's field widths and the
// conversion of whole runs of traces between the file's bytes and native
// header rows and sample arrays.  Pure C++, run with the interpreter lock
// released.
#pragma once

#include "vondrel/_arrays/formats.hpp"

#include <cstddef>
#include <cstdint>

namespace vondrel::codec {

constexpr std::size_t trace_header_size = 240;
constexpr std::size_t trace_ns_offset = 114;

// The SEG-Y trace header word by word, for swap_headers: bytes 1-180 as in
// the Seismic Unix layout, then the revision 1 fields and 8 unassigned bytes.
extern const unsigned char segy_header_kinds[60];

// Converts `count` traces that lie back to back at src into native header
// rows at `headers` (240 bytes each) and samples at `samples` (back to back,
// float32 when `to_float`, else the format's stored type).  Each trace has
// `ns` samples, or when `ns` is negative the count its own header holds at
// bytes 115-116.  `samples` null converts the headers only.  The caller has
// checked that src holds every trace.
void decode_traces(const unsigned char *src, std::size_t count, std::int64_t ns, const SampleFormat &fmt,
                   bool big_endian, unsigned char *headers, unsigned char *samples, bool to_float);

// Walks the traces that begin at src, each holding the sample count of its
// own header, as far as `size` bytes hold them whole and no further than
// `limit` traces.  Returns the number walked; their bytes and samples go to
// *bytes and *samples.
std::size_t walk_traces(const unsigned char *src, std::size_t size, std::size_t limit, const SampleFormat &fmt,
                        bool big_endian, std::size_t *bytes, std::size_t *samples);

// The reverse for `count` traces of `ns` samples each (stored type, float32
// for format 1): writes count * (240 + ns * width) bytes at dst.  Returns
// count * ns, or the index (into samples) of the first value the format
// cannot hold; dst is then unspecified.
std::size_t encode_traces(const unsigned char *headers, const unsigned char *samples, std::size_t count,
                          std::size_t ns, const SampleFormat &fmt, bool big_endian, unsigned char *dst);

}  // namespace vondrel::codec
