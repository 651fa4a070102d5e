// The bulk kernels of ibm.hpp.  Each is one loop body, written once as an
// inline template and instantiated for two instruction sets: the compiler
// vectorises the AVX2 copy (int32 -> double -> float conversions, byte
// shuffles) and keeps the baseline copy for older CPUs.
#include "vondrel/_arrays/ibm.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

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

// One IBM word (native order) as a float.  The fraction (24 bits) is exact
// as a double and so is its product with 16^(e-64) * 2^-24, a power of two
// built from its bits; the one rounding is the final narrowing to float,
// which IEEE arithmetic does to nearest, ties to even, overflowing to
// infinity and underflowing through the subnormals.
[[gnu::always_inline]] inline float ibm_word_to_float(std::uint32_t w)
{
    std::uint64_t exponent = (w >> 24) & 0x7f;
    std::uint64_t scale_bits = (exponent * 4 + (1023 - 280)) << 52;     // 2^(4e - 280)
    double scale = std::bit_cast<double>(scale_bits);
    float magnitude = static_cast<float>(static_cast<double>(static_cast<std::int32_t>(w & 0xffffff)) * scale);
    return std::bit_cast<float>(std::bit_cast<std::uint32_t>(magnitude) | (w & 0x80000000u));
}

// One float as an IBM word (native order); `bad` collects a non-zero value
// when x is an infinity or a NaN.  |x| as a double is exact and normal even
// for float subnormals, so its exponent field gives the position p of the
// leading bit; the hexadecimal exponent q = floor((p + 4) / 4) puts that bit
// 20 to 23 places up in the 24-bit fraction, which the scaled value rounded
// to an integer (the 2^52 addition rounds to nearest, ties to even) gives.
// A fraction that rounds up to 2^24 moves to the next exponent.
[[gnu::always_inline]] inline std::uint32_t float_to_ibm_word(float x, std::uint32_t &bad)
{
    std::uint32_t bits = std::bit_cast<std::uint32_t>(x);
    std::uint32_t sign = bits & 0x80000000u;
    std::uint32_t abs_bits = bits & 0x7fffffffu;
    // Masks, not conditionals: the conversions below may trap in the
    // compiler's model, which would keep it from vectorising a branch.
    std::uint32_t non_finite = 0u - static_cast<std::uint32_t>(abs_bits >= 0x7f800000u);
    bad |= non_finite;
    abs_bits &= ~non_finite;                   // flagged, then encoded as zero
    double d = static_cast<double>(std::bit_cast<float>(abs_bits));
    std::int32_t p = static_cast<std::int32_t>(std::bit_cast<std::uint64_t>(d) >> 52) - 1023;
    std::int32_t zero = -static_cast<std::int32_t>(abs_bits == 0);
    std::int32_t q = (((p + 4) >> 2) & ~zero) | (-64 & zero);   // zero: exponent field 0
    double scale = std::bit_cast<double>(static_cast<std::uint64_t>(24 - 4 * q + 1023) << 52);
    constexpr double round_to_int = 0x1p52;
    double rounded = (d * scale + round_to_int) - round_to_int;
    std::uint32_t fraction = static_cast<std::uint32_t>(static_cast<std::int32_t>(rounded));
    std::uint32_t carry = fraction >> 24;
    fraction >>= 4 * carry;
    return sign | (static_cast<std::uint32_t>(q + 64 + static_cast<std::int32_t>(carry)) << 24) | fraction;
}

template <bool Swap>
[[gnu::always_inline]] inline void decode_loop(const unsigned char *src, float *dst, Runs runs)
{
    for (std::size_t t = 0; t < runs.count; ++t, src += runs.stride, dst += runs.ns) {
        for (std::size_t i = 0; i < runs.ns; ++i) {
            std::uint32_t w = load32(src + 4 * i);
            if constexpr (Swap)
                w = __builtin_bswap32(w);
            dst[i] = ibm_word_to_float(w);
        }
    }
}

// Encodes runs; non-zero when one held a value with no IBM form.
template <bool Swap>
[[gnu::always_inline]] inline std::uint32_t encode_loop(const float *src, unsigned char *dst, Runs runs)
{
    std::uint32_t bad = 0;
    for (std::size_t t = 0; t < runs.count; ++t, src += runs.ns, dst += runs.stride) {
        for (std::size_t i = 0; i < runs.ns; ++i) {
            std::uint32_t w = float_to_ibm_word(src[i], bad);
            if constexpr (Swap)
                w = __builtin_bswap32(w);
            store32(dst + 4 * i, w);
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
// 4-byte fields swapped.
struct HeaderMasks {
    std::uint32_t keep[60], half[60], full[60];
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
[[gnu::target("avx2")]] void headers_avx2(const unsigned char *s, unsigned char *d, std::size_t n, Strides st,
                                          const HeaderMasks &m)
{
    header_loop(s, d, n, st, m);
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
    }
    kernels().headers(src, dst, n, Strides{src_stride, dst_stride}, m);
}

const char *kernel_name() { return kernels().name; }

void force_portable_kernels(bool portable) { portable_forced = portable; }

}  // namespace vondrel::codec
