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
