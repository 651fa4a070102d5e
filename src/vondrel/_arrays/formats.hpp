// The sample formats of SEG-Y (the binary header's format code) and their
// conversion to and from NumPy-typed memory, in either byte order.
#pragma once

#include <cstddef>

namespace vondrel::codec {

// What a format code stores.  `stored` is the NumPy type character of the
// array that keeps the values as stored (IBM floats as float32, 24-bit
// integers widened to 32 bits); `stored_size` its item size.
struct SampleFormat {
    int code;
    int width;                // bytes per sample in the file
    char stored;              // NumPy dtype char: f d b B h H i I q Q
    int stored_size;
};

// The format of `code`, or null for a code this module does not read.
const SampleFormat *sample_format(int code);

// Decodes n samples of format `fmt` at src (big-endian when `big_endian`)
// into dst: float32 when `to_float`, else the format's stored type.
void decode_samples(const SampleFormat &fmt, const unsigned char *src, std::size_t n, bool big_endian,
                    void *dst, bool to_float);

// Encodes n samples of the format's stored type (float32 for IBM floats) at
// src into format `fmt` at dst, in the given order.  Returns n, or the index of the first value the format
// cannot hold (an infinity or NaN for format 1, an integer outside 24 bits
// for formats 7 and 15); dst is unspecified from that index on.
std::size_t encode_samples(const SampleFormat &fmt, const void *src, std::size_t n, bool big_endian,
                           unsigned char *dst);

}  // namespace vondrel::codec
