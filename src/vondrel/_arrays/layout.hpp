// The trace header as bytes: where its fields sit, how wide each is, and
// the byte-order work on headers and samples.  Pure C++, callable with the
// interpreter lock released.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vondrel::arrays {

constexpr std::size_t header_size = 240;
constexpr std::size_t ns_offset = 114;
constexpr std::size_t sample_size = 4;
constexpr std::size_t max_ns = 65535;

// Swaps every field of a 240-byte header in place, each at its own width;
// the unassigned bytes 212-239 stay as they are.
void swap_header(unsigned char *header);

// Swaps `count` 4-byte values in place.
void swap_words(unsigned char *data, std::size_t count);

// Copies `bytes` (a multiple of 4) from src to dst, swapping each 4-byte
// word when `swap` is true.  Where dst is 16-byte aligned the stores bypass
// the cache: a result array that is written once and not read back soon
// then costs no read of its old contents.  Call store_fence() before
// another thread may look at what was written.
void put_words(unsigned char *dst, const unsigned char *src, std::size_t bytes, bool swap);

// Copies a 240-byte header, swapping its fields when `swap` is true, the way
// put_words stores.
void put_header(unsigned char *dst, const unsigned char *src, bool swap);

// Orders the cache-bypassing stores before whatever follows.
void store_fence();

// The header's ns (native order).
inline std::uint16_t header_ns(const unsigned char *header)
{
    std::uint16_t ns;
    std::memcpy(&ns, header + ns_offset, sizeof ns);
    return ns;
}

inline void set_header_ns(unsigned char *header, std::uint16_t ns)
{
    std::memcpy(header + ns_offset, &ns, sizeof ns);
}

}  // namespace vondrel::arrays
