// The dispatched bulk kernels: IBM System/360 hexadecimal floats (SEG-Y's
// sample format 1) to and from IEEE binary32 in either byte order, and the
// field-by-field byte swap of 240-byte trace headers.
//
// Decoding is exact for every IBM value that binary32 holds and correctly
// rounded (to nearest, ties to even) otherwise: magnitudes beyond binary32's
// range become infinities, tiny ones subnormals or zeros.  Encoding is
// correctly rounded the same way; every finite binary32 value lies inside
// IBM's range, so only infinities and NaNs cannot be encoded.
//
// Every operation runs kernels built twice (AVX2 and the baseline
// instruction set) and picked at run time from what the CPU offers.  The
// IBM conversions work in 32-bit integer lanes, branch-free within a piece
// of 1,024 values: normal values take a short path, and a piece that holds
// anything else (subnormals, under- or overflow, infinities, NaNs) is
// converted again by the full one.
#pragma once

#include <cstddef>

namespace vondrel::codec {

// Where the samples of `count` traces lie: each run of `ns` samples starts
// `stride` bytes after the one before.
struct Runs {
    std::size_t count, ns, stride;
};

// Converts the IBM floats of `runs` at src (4 bytes each, big-endian when
// `big_endian`, else little-endian) into dst, back to back.
void ibm_to_float(const unsigned char *src, Runs runs, float *dst, bool big_endian);

// Converts count * ns floats at src into IBM floats laid out as `runs` at
// dst.  Returns count * ns, or the index of the first value that has no IBM
// form (an infinity or a NaN); what dst holds from that value's run on is
// then unspecified.
std::size_t float_to_ibm(const float *src, unsigned char *dst, Runs runs, bool big_endian);

// The index of the first non-finite value of src[0..n), or n.
std::size_t find_non_finite(const float *src, std::size_t n);

// Swaps the byte order of n 240-byte headers, the first at src and each
// `src_stride` bytes after the one before, into dst (stride `dst_stride`),
// each 4-byte word as `kinds` says: 4 one 4-byte field, 2 two 2-byte fields,
// 1 bytes kept as they are.  src and dst may be the same; `kinds` has 60
// entries.
void swap_headers(const unsigned char *src, std::size_t src_stride, unsigned char *dst, std::size_t dst_stride,
                  std::size_t n, const unsigned char *kinds);

// The kernels in use: "avx2" or "portable".
const char *kernel_name();

// Makes every later call use the portable kernels (`portable` true) or the
// best the CPU offers (false), so that tests reach both on any machine.
void force_portable_kernels(bool portable);

}  // namespace vondrel::codec
