#include "vondrel/_arrays/layout.hpp"

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vondrel::arrays {

namespace {

// Runs of equally wide fields: first byte, field count, width.  They cover
// bytes 0-211 without a gap; the rest of the header is unassigned.
struct Run {
    std::size_t offset, count, width;
};
constexpr Run runs[] = {
    {0, 7, 4},    {28, 4, 2},  {36, 8, 4},  {68, 2, 2},  {72, 4, 4}, {88, 13, 2},
    {114, 33, 2}, {180, 6, 4}, {204, 1, 4}, {208, 2, 2},
};

constexpr bool runs_cover_fields()
{
    std::size_t at = 0;
    for (const Run &r : runs) {
        if (r.offset != at)
            return false;
        at += r.count * r.width;
    }
    return at == 212;
}
static_assert(runs_cover_fields(), "the field runs tile bytes 0-211");

}  // namespace

#if defined(__SSE2__)

namespace {

// Per 16-byte lane of the header, which bytes belong to 4-byte fields, to
// 2-byte fields, and to neither (the unassigned tail).  Every field lies
// within one lane at its own alignment, so a lane is swapped both ways at
// once and the masks pick each byte's answer.
constexpr std::size_t lanes = header_size / 16;
struct alignas(16) LaneMasks {
    unsigned char four[lanes][16], two[lanes][16], keep[lanes][16];
};

constexpr LaneMasks make_lane_masks()
{
    LaneMasks m{};
    for (std::size_t i = 0; i < header_size; ++i)
        m.keep[i / 16][i % 16] = 0xff;
    for (const Run &r : runs) {
        for (std::size_t i = r.offset; i < r.offset + r.count * r.width; ++i) {
            (r.width == 4 ? m.four : m.two)[i / 16][i % 16] = 0xff;
            m.keep[i / 16][i % 16] = 0;
        }
    }
    return m;
}
constexpr LaneMasks lane_masks = make_lane_masks();

inline __m128i mask(const unsigned char (&bytes)[16])
{
    return _mm_load_si128(reinterpret_cast<const __m128i *>(bytes));
}

// Each 2-byte value of v byte-reversed.
inline __m128i swap_halves(__m128i v)
{
    return _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
}

// Each 4-byte value of v byte-reversed (SSE2 has no byte shuffle).
inline __m128i swap_lanes(__m128i v)
{
    return _mm_shufflehi_epi16(_mm_shufflelo_epi16(swap_halves(v), 0xb1), 0xb1);
}

// The header at src with every field swapped, stored at dst (which may be
// src); `stream` stores around the cache into an aligned dst.
void swap_header_lanes(unsigned char *dst, const unsigned char *src, bool stream)
{
    for (std::size_t l = 0; l < lanes; ++l) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 16 * l));
        __m128i r = _mm_or_si128(_mm_and_si128(swap_lanes(v), mask(lane_masks.four[l])),
                                 _mm_or_si128(_mm_and_si128(swap_halves(v), mask(lane_masks.two[l])),
                                              _mm_and_si128(v, mask(lane_masks.keep[l]))));
        if (stream)
            _mm_stream_si128(reinterpret_cast<__m128i *>(dst + 16 * l), r);
        else
            _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + 16 * l), r);
    }
}

}  // namespace

#endif

void swap_words(unsigned char *data, std::size_t count)
{
    std::size_t i = 0;
#if defined(__SSE2__)
    for (; i + 4 <= count; i += 4) {
        auto *p = reinterpret_cast<__m128i *>(data + 4 * i);
        _mm_storeu_si128(p, swap_lanes(_mm_loadu_si128(p)));
    }
#endif
    for (; i < count; ++i) {
        std::uint32_t v;
        std::memcpy(&v, data + 4 * i, 4);
        v = __builtin_bswap32(v);
        std::memcpy(data + 4 * i, &v, 4);
    }
}

void swap_header(unsigned char *header)
{
#if defined(__SSE2__)
    swap_header_lanes(header, header, false);
#else
    for (const Run &r : runs) {
        unsigned char *p = header + r.offset;
        if (r.width == 4) {
            swap_words(p, r.count);
        } else {
            for (std::size_t i = 0; i < r.count; ++i) {
                std::uint16_t v;
                std::memcpy(&v, p + 2 * i, 2);
                v = __builtin_bswap16(v);
                std::memcpy(p + 2 * i, &v, 2);
            }
        }
    }
#endif
}

#if defined(__SSE2__)

void put_words(unsigned char *dst, const unsigned char *src, std::size_t bytes, bool swap)
{
    if (reinterpret_cast<std::uintptr_t>(dst) % 16 != 0 || bytes % 16 != 0) {
        std::memcpy(dst, src, bytes);
        if (swap)
            swap_words(dst, bytes / 4);
        return;
    }
    auto *out = reinterpret_cast<__m128i *>(dst);
    const auto *in = reinterpret_cast<const __m128i *>(src);
    std::size_t n = bytes / 16;
    if (swap) {
        for (std::size_t i = 0; i < n; ++i)
            _mm_stream_si128(out + i, swap_lanes(_mm_loadu_si128(in + i)));
    } else {
        for (std::size_t i = 0; i < n; ++i)
            _mm_stream_si128(out + i, _mm_loadu_si128(in + i));
    }
}

void store_fence()
{
    _mm_sfence();
}

#else

void put_words(unsigned char *dst, const unsigned char *src, std::size_t bytes, bool swap)
{
    std::memcpy(dst, src, bytes);
    if (swap)
        swap_words(dst, bytes / 4);
}

void store_fence() {}

#endif

void put_header(unsigned char *dst, const unsigned char *src, bool swap)
{
    if (!swap) {
        put_words(dst, src, header_size, false);
        return;
    }
#if defined(__SSE2__)
    if (reinterpret_cast<std::uintptr_t>(dst) % 16 == 0) {
        swap_header_lanes(dst, src, true);
        return;
    }
#endif
    std::memcpy(dst, src, header_size);
    swap_header(dst);
}

}  // namespace vondrel::arrays
