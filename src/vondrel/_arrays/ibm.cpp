// The bulk kernels of ibm.hpp.  Each is one loop body, written once as an
// inline template and instantiated for two instruction sets: the compiler
// vectorises the AVX2 copy (eight 32-bit integer lanes: int32 -> float
// conversions, variable shifts, masks, byte swaps) and keeps the baseline
// copy for older CPUs.  The header swap alone is written out for AVX2, as
// byte shuffles that no loop of scalar code turns into.
#include "vondrel/_arrays/ibm.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vondrel::codec {
namespace {

constexpr std::size_t block = 1024;   // values per pass: 4 KiB in, stays in L1

inline std::uint32_t load32(const unsigned char *p)
{
    std::uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
}

inline void store32(unsigned char *p, std::uint32_t w) { std::memcpy(p, &w, 4); }

// The byte order of the data against the machine's: swap when they differ.
inline bool needs_swap(bool big_endian) { return big_endian != (std::endian::native == std::endian::big); }

// One IBM word (native order) as float32 bits, in 32-bit integer lanes (8
// to an AVX2 register).  The fraction f (24 bits) converts to float exactly,
// which puts its leading bit into the exponent field; the value f * 2^(4e -
// 280) is then that float with 4e - 280 added to its exponent.  A sum past
// the largest exponent is an infinity; one below the smallest normal shifts
// the 24-bit significand into a subnormal, rounded to nearest, ties to even
// (a result that rounds up to 2^23 is the smallest normal, as the bits
// read).  A zero fraction is a zero of the word's sign.
[[gnu::always_inline]] inline std::uint32_t ibm_word_to_float_bits(std::uint32_t w)
{
    const std::uint32_t sign = w & 0x80000000u;
    const std::int32_t f = static_cast<std::int32_t>(w & 0xffffffu);
    const std::int32_t shift = static_cast<std::int32_t>((w >> 24) & 0x7f) * 4 - 280;
    const std::uint32_t fb = std::bit_cast<std::uint32_t>(static_cast<float>(f));
    const std::int32_t biased = static_cast<std::int32_t>(fb >> 23) + shift;
    const std::uint32_t normal = fb + (static_cast<std::uint32_t>(shift) << 23);
    // Below the normals: the significand moves down 1 - biased places (at
    // most 31: from 26 on every significand rounds to zero).
    const std::uint32_t m = (fb & 0x7fffffu) | 0x800000u;
    const std::int32_t down = std::min(1 - biased, 31);
    const std::uint32_t d = static_cast<std::uint32_t>(down < 1 ? 1 : down);
    const std::uint32_t tiny = (m + ((1u << (d - 1)) - 1) + ((m >> d) & 1)) >> d;
    const std::uint32_t is_tiny = 0u - static_cast<std::uint32_t>(biased < 1);
    const std::uint32_t is_huge = 0u - static_cast<std::uint32_t>(biased > 254);
    const std::uint32_t is_zero = 0u - static_cast<std::uint32_t>(f == 0);
    std::uint32_t out = (normal & ~is_tiny) | (tiny & is_tiny);
    out = (out & ~is_huge) | (0x7f800000u & is_huge);
    return sign | (out & ~is_zero);
}

// One float's bits as an IBM word (native order), in 32-bit integer lanes;
// `bad` collects a non-zero value when the float is an infinity or a NaN
// (encoded as a zero of its sign).  The value is m * 2^(E - 23) with m the
// 24-bit significand and E the exponent of its leading bit (a subnormal's
// found by converting its bits, an integer, to float).  The hexadecimal
// exponent q = floor((E + 4) / 4) puts that bit 20 to 23 places up in the
// 24-bit fraction, m moved down 4q - 1 - E (0 to 3) places, rounded to
// nearest, ties to even: the rounding never carries past 24 bits, since a
// significand moved down at all has room above it.
[[gnu::always_inline]] inline std::uint32_t float_bits_to_ibm_word(std::uint32_t bits, std::uint32_t &bad)
{
    const std::uint32_t sign = bits & 0x80000000u;
    std::uint32_t abs_bits = bits & 0x7fffffffu;
    const std::uint32_t non_finite = 0u - static_cast<std::uint32_t>(abs_bits >= 0x7f800000u);
    bad |= non_finite;
    abs_bits &= ~non_finite;
    const std::uint32_t is_sub = 0u - static_cast<std::uint32_t>(abs_bits < 0x800000u);
    const std::uint32_t is_zero = 0u - static_cast<std::uint32_t>(abs_bits == 0);
    const std::uint32_t sb = std::bit_cast<std::uint32_t>(static_cast<float>(static_cast<std::int32_t>(abs_bits)));
    // Exponent field and significand: a subnormal's from its bits as an
    // integer converted to float, 149 binary places lower.
    const std::uint32_t field = (abs_bits & ~is_sub) | (sb & is_sub);
    const std::int32_t e = static_cast<std::int32_t>(field >> 23) - 127 - (149 & static_cast<std::int32_t>(is_sub));
    const std::uint32_t m = ((field & 0x7fffffu) | 0x800000u) << 1;       // one guard place below
    const std::int32_t q = (e + 4) >> 2;
    const std::uint32_t d = static_cast<std::uint32_t>(4 * q - e);      // 1 to 4
    const std::uint32_t fraction = (m + ((1u << (d - 1)) - 1) + ((m >> d) & 1)) >> d;
    const std::uint32_t word = (static_cast<std::uint32_t>(q + 64) << 24) | fraction;
    return sign | (word & ~is_zero);
}

// The common case of each direction, in fewer operations: a word whose
// value is a normal float (or zero), a float that is normal (or zero).
// Anything else sets `special`, and its piece is converted again in full.
[[gnu::always_inline]] inline std::uint32_t ibm_word_to_float_bits_normal(std::uint32_t w, std::uint32_t &special)
{
    const std::int32_t f = static_cast<std::int32_t>(w & 0xffffffu);
    const std::int32_t shift = static_cast<std::int32_t>((w >> 24) & 0x7f) * 4 - 280;
    const std::uint32_t fb = std::bit_cast<std::uint32_t>(static_cast<float>(f));
    const std::uint32_t biased = (fb >> 23) + static_cast<std::uint32_t>(shift);
    const std::uint32_t nonzero = 0u - static_cast<std::uint32_t>(f != 0);
    special |= (0u - static_cast<std::uint32_t>(biased - 1 > 253u)) & nonzero;
    return (w & 0x80000000u) | ((fb + (static_cast<std::uint32_t>(shift) << 23)) & nonzero);
}

[[gnu::always_inline]] inline std::uint32_t float_bits_to_ibm_word_normal(std::uint32_t bits, std::uint32_t &special)
{
    const std::uint32_t abs_bits = bits & 0x7fffffffu;
    const std::uint32_t nonzero = 0u - static_cast<std::uint32_t>(abs_bits != 0);
    special |= (0u - static_cast<std::uint32_t>(abs_bits - 0x800000u >= 0x7f000000u)) & nonzero;
    const std::int32_t e = static_cast<std::int32_t>(abs_bits >> 23) - 127;
    const std::int32_t q = (e + 4) >> 2;
    const std::uint32_t d = static_cast<std::uint32_t>(4 * q - e);
    const std::uint32_t m = ((abs_bits & 0x7fffffu) | 0x800000u) << 1;
    const std::uint32_t fraction = (m + ((1u << (d - 1)) - 1) + ((m >> d) & 1)) >> d;
    return (bits & 0x80000000u) | (((static_cast<std::uint32_t>(q + 64) << 24) | fraction) & nonzero);
}

// Each run a piece of at most `block` values at a time: the common case
// first, the whole conversion again where a piece held anything else.
template <bool Swap>
[[gnu::always_inline]] inline void decode_loop(const unsigned char *src, float *dst, Runs runs)
{
    for (std::size_t t = 0; t < runs.count; ++t, src += runs.stride, dst += runs.ns) {
        for (std::size_t at = 0; at < runs.ns; at += block) {
            const std::size_t n = runs.ns - at < block ? runs.ns - at : block;
            const unsigned char *s = src + 4 * at;
            float *d = dst + at;
            std::uint32_t special = 0;
            for (std::size_t i = 0; i < n; ++i) {
                std::uint32_t w = load32(s + 4 * i);
                if constexpr (Swap)
                    w = __builtin_bswap32(w);
                d[i] = std::bit_cast<float>(ibm_word_to_float_bits_normal(w, special));
            }
            if (!special)
                continue;
            for (std::size_t i = 0; i < n; ++i) {
                std::uint32_t w = load32(s + 4 * i);
                if constexpr (Swap)
                    w = __builtin_bswap32(w);
                d[i] = std::bit_cast<float>(ibm_word_to_float_bits(w));
            }
        }
    }
}

// Encodes runs; non-zero when one held a value with no IBM form.
template <bool Swap>
[[gnu::always_inline]] inline std::uint32_t encode_loop(const float *src, unsigned char *dst, Runs runs)
{
    std::uint32_t bad = 0;
    for (std::size_t t = 0; t < runs.count; ++t, src += runs.ns, dst += runs.stride) {
        for (std::size_t at = 0; at < runs.ns; at += block) {
            const std::size_t n = runs.ns - at < block ? runs.ns - at : block;
            const float *s = src + at;
            unsigned char *d = dst + 4 * at;
            std::uint32_t special = 0;
            for (std::size_t i = 0; i < n; ++i) {
                std::uint32_t w = float_bits_to_ibm_word_normal(std::bit_cast<std::uint32_t>(s[i]), special);
                if constexpr (Swap)
                    w = __builtin_bswap32(w);
                store32(d + 4 * i, w);
            }
            if (!special)
                continue;
            for (std::size_t i = 0; i < n; ++i) {
                std::uint32_t w = float_bits_to_ibm_word(std::bit_cast<std::uint32_t>(s[i]), bad);
                if constexpr (Swap)
                    w = __builtin_bswap32(w);
                store32(d + 4 * i, w);
            }
        }
    }
    return bad;
}

[[gnu::always_inline]] inline std::uint32_t non_finite_loop(const float *src, std::size_t n)
{
    std::uint32_t bad = 0;
    for (std::size_t i = 0; i < n; ++i)
        bad |= static_cast<std::uint32_t>((std::bit_cast<std::uint32_t>(src[i]) & 0x7f800000u) == 0x7f800000u);
    return bad;
}

// The three masks of each header word: bytes kept, 2-byte fields swapped,
// 4-byte fields swapped; and the same as one byte permutation, for the
// kernels that shuffle bytes (byte j of each 16 comes from byte order[j] of
// the same 16: no field crosses a 16-byte boundary).
struct HeaderMasks {
    std::uint32_t keep[60], half[60], full[60];
    alignas(32) unsigned char order[240];
};

struct Strides {
    std::size_t src, dst;
};

[[gnu::always_inline]] inline void header_loop(const unsigned char *src, unsigned char *dst, std::size_t n,
                                               Strides strides, const HeaderMasks &m)
{
    for (std::size_t t = 0; t < n; ++t) {
        std::uint32_t in[60], out[60];
        std::memcpy(in, src + strides.src * t, 240);
        for (int i = 0; i < 60; ++i) {
            std::uint32_t w = in[i];
            std::uint32_t halves = ((w >> 8) & 0x00ff00ffu) | ((w << 8) & 0xff00ff00u);
            out[i] = (w & m.keep[i]) | (halves & m.half[i]) | (__builtin_bswap32(w) & m.full[i]);
        }
        std::memcpy(dst + strides.dst * t, out, 240);
    }
}

// One set of entry points per instruction set.
struct Kernels {
    void (*decode)(const unsigned char *, float *, Runs, bool);
    std::uint32_t (*encode)(const float *, unsigned char *, Runs, bool);
    std::uint32_t (*non_finite)(const float *, std::size_t);
    void (*headers)(const unsigned char *, unsigned char *, std::size_t, Strides, const HeaderMasks &);
    const char *name;
};

// The same four loops for the baseline instruction set and for AVX2; the
// attribute is all that differs.
void decode_portable(const unsigned char *s, float *d, Runs r, bool swap)
{
    swap ? decode_loop<true>(s, d, r) : decode_loop<false>(s, d, r);
}
std::uint32_t encode_portable(const float *s, unsigned char *d, Runs r, bool swap)
{
    return swap ? encode_loop<true>(s, d, r) : encode_loop<false>(s, d, r);
}
std::uint32_t non_finite_portable(const float *s, std::size_t n) { return non_finite_loop(s, n); }
void headers_portable(const unsigned char *s, unsigned char *d, std::size_t n, Strides st, const HeaderMasks &m)
{
    header_loop(s, d, n, st, m);
}

#if defined(__x86_64__)
[[gnu::target("avx2")]] void decode_avx2(const unsigned char *s, float *d, Runs r, bool swap)
{
    swap ? decode_loop<true>(s, d, r) : decode_loop<false>(s, d, r);
}
[[gnu::target("avx2")]] std::uint32_t encode_avx2(const float *s, unsigned char *d, Runs r, bool swap)
{
    return swap ? encode_loop<true>(s, d, r) : encode_loop<false>(s, d, r);
}
[[gnu::target("avx2")]] std::uint32_t non_finite_avx2(const float *s, std::size_t n) { return non_finite_loop(s, n); }
// Seven 32-byte shuffles and a 16-byte one per header (the AVX2 shuffle
// works within each 16-byte half, as the permutation does).
[[gnu::target("avx2")]] void headers_avx2(const unsigned char *s, unsigned char *d, std::size_t n, Strides st,
                                          const HeaderMasks &m)
{
    __m256i order[7];
    for (int k = 0; k < 7; ++k)
        order[k] = _mm256_load_si256(reinterpret_cast<const __m256i *>(m.order + 32 * k));
    const __m128i tail = _mm_load_si128(reinterpret_cast<const __m128i *>(m.order + 224));
    for (std::size_t t = 0; t < n; ++t) {
        const unsigned char *from = s + st.src * t;
        unsigned char *to = d + st.dst * t;
        __m256i v[7];
        for (int k = 0; k < 7; ++k)
            v[k] = _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(from + 32 * k)), order[k]);
        __m128i last = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(from + 224)), tail);
        for (int k = 0; k < 7; ++k)
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(to + 32 * k), v[k]);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(to + 224), last);
    }
}
#endif

constexpr Kernels portable_kernels{decode_portable, encode_portable, non_finite_portable, headers_portable, "portable"};
#if defined(__x86_64__)
constexpr Kernels avx2_kernels{decode_avx2, encode_avx2, non_finite_avx2, headers_avx2, "avx2"};
#endif

bool portable_forced = false;

const Kernels &kernels()
{
#if defined(__x86_64__)
    static const bool has_avx2 = __builtin_cpu_supports("avx2");
    if (has_avx2 && !portable_forced)
        return avx2_kernels;
#endif
    return portable_kernels;
}

}  // namespace

void ibm_to_float(const unsigned char *src, Runs runs, float *dst, bool big_endian)
{
    kernels().decode(src, dst, runs, needs_swap(big_endian));
}

// Runs go to the kernel a few at a time, so that a bad value is found
// without encoding everything after it, and its run is searched alone.
std::size_t float_to_ibm(const float *src, unsigned char *dst, Runs runs, bool big_endian)
{
    const Kernels &k = kernels();
    bool swap = needs_swap(big_endian);
    std::size_t per_pass = runs.ns >= block ? 1 : block / (runs.ns ? runs.ns : 1);
    for (std::size_t t = 0; t < runs.count; t += per_pass) {
        Runs part{runs.count - t < per_pass ? runs.count - t : per_pass, runs.ns, runs.stride};
        if (k.encode(src + t * runs.ns, dst + t * runs.stride, part, swap))
            return t * runs.ns + find_non_finite(src + t * runs.ns, part.count * runs.ns);
    }
    return runs.count * runs.ns;
}

std::size_t find_non_finite(const float *src, std::size_t n)
{
    const Kernels &k = kernels();
    for (std::size_t at = 0; at < n; at += block) {
        std::size_t len = n - at < block ? n - at : block;
        if (k.non_finite(src + at, len)) {
            for (std::size_t i = at;; ++i)
                if ((std::bit_cast<std::uint32_t>(src[i]) & 0x7f800000u) == 0x7f800000u)
                    return i;
        }
    }
    return n;
}

void swap_headers(const unsigned char *src, std::size_t src_stride, unsigned char *dst, std::size_t dst_stride,
                  std::size_t n, const unsigned char *kinds)
{
    HeaderMasks m;
    for (int i = 0; i < 60; ++i) {
        m.keep[i] = kinds[i] == 1 ? 0xffffffffu : 0;
        m.half[i] = kinds[i] == 2 ? 0xffffffffu : 0;
        m.full[i] = kinds[i] == 4 ? 0xffffffffu : 0;
        for (int b = 0; b < 4; ++b) {
            int from = kinds[i] == 4 ? 3 - b : kinds[i] == 2 ? b ^ 1 : b;
            m.order[4 * i + b] = static_cast<unsigned char>((4 * i + from) % 16);
        }
    }
    kernels().headers(src, dst, n, Strides{src_stride, dst_stride}, m);
}

const char *kernel_name() { return kernels().name; }

void force_portable_kernels(bool portable) { portable_forced = portable; }

}  // namespace vondrel::codec
