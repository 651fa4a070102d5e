// Sample formats other than IBM float are integers and IEEE floats of 1 to 8
// bytes: each is loaded byte by byte in the file's order (which also covers
// the 3-byte integers, which have no machine type), sign- or zero-extended,
// then converted or stored.  The compiler turns the byte assembly of the
// widths that have a machine type into plain loads and swaps.
#include "vondrel/_arrays/formats.hpp"

#include "vondrel/_arrays/ibm.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace vondrel::codec {
namespace {

constexpr SampleFormat formats[] = {
    {1, 4, 'f', 4},  {2, 4, 'i', 4},  {3, 2, 'h', 2},  {5, 4, 'f', 4},  {6, 8, 'd', 8},
    {7, 3, 'i', 4},  {8, 1, 'b', 1},  {9, 8, 'q', 8},  {10, 4, 'I', 4}, {11, 2, 'H', 2},
    {12, 8, 'Q', 8}, {15, 3, 'I', 4}, {16, 1, 'B', 1},
};

// The unsigned integer of W bytes at p, in the given order.
template <int W, bool Big>
inline std::uint64_t load_bits(const unsigned char *p)
{
    std::uint64_t v = 0;
    for (int i = 0; i < W; ++i)
        v |= std::uint64_t(p[Big ? i : W - 1 - i]) << (8 * (W - 1 - i));
    return v;
}

template <int W, bool Big>
inline void store_bits(unsigned char *p, std::uint64_t v)
{
    for (int i = 0; i < W; ++i)
        p[Big ? i : W - 1 - i] = static_cast<unsigned char>(v >> (8 * (W - 1 - i)));
}

// Stored: the C type of the stored value; W its width in the file.
template <typename Stored, int W, bool Big>
inline Stored load_value(const unsigned char *p)
{
    std::uint64_t bits = load_bits<W, Big>(p);
    if constexpr (std::is_floating_point_v<Stored>) {
        using Bits = std::conditional_t<sizeof(Stored) == 4, std::uint32_t, std::uint64_t>;
        return std::bit_cast<Stored>(static_cast<Bits>(bits));
    } else if constexpr (std::is_signed_v<Stored> && W < 8) {
        constexpr int unused = 64 - 8 * W;            // sign extension of the top bit of W bytes
        return static_cast<Stored>(static_cast<std::int64_t>(bits << unused) >> unused);
    } else {
        return static_cast<Stored>(bits);
    }
}

template <typename Stored, int W, bool Big>
void decode_as(const unsigned char *src, std::size_t n, void *dst, bool to_float)
{
    if (to_float) {
        float *out = static_cast<float *>(dst);
        for (std::size_t i = 0; i < n; ++i)
            out[i] = static_cast<float>(load_value<Stored, W, Big>(src + W * i));
    } else {
        Stored *out = static_cast<Stored *>(dst);
        for (std::size_t i = 0; i < n; ++i)
            out[i] = load_value<Stored, W, Big>(src + W * i);
    }
}

// Encodes stored values; the index of the first that W bytes cannot hold, or n.
template <typename Stored, int W, bool Big>
std::size_t encode_as(const void *src, std::size_t n, unsigned char *dst)
{
    const Stored *in = static_cast<const Stored *>(src);
    for (std::size_t i = 0; i < n; ++i) {
        Stored v = in[i];
        std::uint64_t bits;
        if constexpr (std::is_floating_point_v<Stored>) {
            using Bits = std::conditional_t<sizeof(Stored) == 4, std::uint32_t, std::uint64_t>;
            bits = std::bit_cast<Bits>(v);
        } else {
            if constexpr (W == 3) {
                constexpr std::int64_t lo = std::is_signed_v<Stored> ? -(1 << 23) : 0;
                constexpr std::int64_t hi = std::is_signed_v<Stored> ? (1 << 23) - 1 : (1 << 24) - 1;
                if (static_cast<std::int64_t>(v) < lo || static_cast<std::int64_t>(v) > hi)
                    return i;
            }
            bits = static_cast<std::uint64_t>(v);
        }
        store_bits<W, Big>(dst + W * i, bits);
    }
    return n;
}

template <bool Big>
void decode_ordered(const SampleFormat &fmt, const unsigned char *src, std::size_t n, void *dst, bool to_float)
{
    switch (fmt.code) {
    case 2: return decode_as<std::int32_t, 4, Big>(src, n, dst, to_float);
    case 3: return decode_as<std::int16_t, 2, Big>(src, n, dst, to_float);
    case 5: return decode_as<float, 4, Big>(src, n, dst, to_float);
    case 6: return decode_as<double, 8, Big>(src, n, dst, to_float);
    case 7: return decode_as<std::int32_t, 3, Big>(src, n, dst, to_float);
    case 8: return decode_as<std::int8_t, 1, Big>(src, n, dst, to_float);
    case 9: return decode_as<std::int64_t, 8, Big>(src, n, dst, to_float);
    case 10: return decode_as<std::uint32_t, 4, Big>(src, n, dst, to_float);
    case 11: return decode_as<std::uint16_t, 2, Big>(src, n, dst, to_float);
    case 12: return decode_as<std::uint64_t, 8, Big>(src, n, dst, to_float);
    case 15: return decode_as<std::uint32_t, 3, Big>(src, n, dst, to_float);
    case 16: return decode_as<std::uint8_t, 1, Big>(src, n, dst, to_float);
    }
}

template <bool Big>
std::size_t encode_ordered(const SampleFormat &fmt, const void *src, std::size_t n, unsigned char *dst)
{
    switch (fmt.code) {
    case 2: return encode_as<std::int32_t, 4, Big>(src, n, dst);
    case 3: return encode_as<std::int16_t, 2, Big>(src, n, dst);
    case 5: return encode_as<float, 4, Big>(src, n, dst);
    case 6: return encode_as<double, 8, Big>(src, n, dst);
    case 7: return encode_as<std::int32_t, 3, Big>(src, n, dst);
    case 8: return encode_as<std::int8_t, 1, Big>(src, n, dst);
    case 9: return encode_as<std::int64_t, 8, Big>(src, n, dst);
    case 10: return encode_as<std::uint32_t, 4, Big>(src, n, dst);
    case 11: return encode_as<std::uint16_t, 2, Big>(src, n, dst);
    case 12: return encode_as<std::uint64_t, 8, Big>(src, n, dst);
    case 15: return encode_as<std::uint32_t, 3, Big>(src, n, dst);
    case 16: return encode_as<std::uint8_t, 1, Big>(src, n, dst);
    }
    return n;
}

}  // namespace

const SampleFormat *sample_format(int code)
{
    for (const SampleFormat &f : formats)
        if (f.code == code)
            return &f;
    return nullptr;
}

void decode_samples(const SampleFormat &fmt, const unsigned char *src, std::size_t n, bool big_endian,
                    void *dst, bool to_float)
{
    if (fmt.code == 1)
        return ibm_to_float(src, Runs{1, n, 0}, static_cast<float *>(dst), big_endian);
    big_endian ? decode_ordered<true>(fmt, src, n, dst, to_float) : decode_ordered<false>(fmt, src, n, dst, to_float);
}

std::size_t encode_samples(const SampleFormat &fmt, const void *src, std::size_t n, bool big_endian,
                           unsigned char *dst)
{
    if (fmt.code == 1)
        return float_to_ibm(static_cast<const float *>(src), dst, Runs{1, n, 0}, big_endian);
    return big_endian ? encode_ordered<true>(fmt, src, n, dst) : encode_ordered<false>(fmt, src, n, dst);
}

}  // namespace vondrel::codec
