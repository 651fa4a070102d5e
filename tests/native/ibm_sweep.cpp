// Compares the IBM float kernels of src/vondrel/_arrays/ibm.cpp, through
// their public entry points, with a reference written another way: through
// doubles, where the fraction times a power of two is exact and the one
// rounding is the narrowing to float that IEEE arithmetic does.  Built as a
// plain program by test_ibm_kernels.py together with ibm.cpp.
//
//   ibm_sweep STRIDE FIRST LAST
//
// checks every pattern FIRST, FIRST + STRIDE, ... up to LAST (inclusive, 32
// bits) as an IBM word to decode and as a float to encode, in both byte
// orders, with the best kernels and with the portable ones.  Prints the
// number of patterns checked and of mismatches, and the first mismatch.
#include "vondrel/_arrays/ibm.hpp"

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

float reference_decode(std::uint32_t w)
{
    std::uint64_t exponent = (w >> 24) & 0x7f;
    double scale = std::bit_cast<double>((exponent * 4 + (1023 - 280)) << 52);
    float magnitude = static_cast<float>(static_cast<double>(static_cast<std::int32_t>(w & 0xffffff)) * scale);
    return std::bit_cast<float>(std::bit_cast<std::uint32_t>(magnitude) | (w & 0x80000000u));
}

// Infinities and NaNs have no IBM form: the kernels' output for them is not
// compared, only that they are reported.
std::uint32_t reference_encode(float x)
{
    std::uint32_t bits = std::bit_cast<std::uint32_t>(x);
    std::uint32_t sign = bits & 0x80000000u;
    double d = std::abs(static_cast<double>(x));
    if (d == 0)
        return sign;
    std::int32_t p = static_cast<std::int32_t>(std::bit_cast<std::uint64_t>(d) >> 52) - 1023;
    std::int32_t q = (p + 4) >> 2;
    double scaled = d * std::bit_cast<double>(static_cast<std::uint64_t>(24 - 4 * q + 1023) << 52);
    double rounded = (scaled + 0x1p52) - 0x1p52;
    auto fraction = static_cast<std::uint32_t>(rounded);
    if (fraction >> 24) {
        fraction >>= 4;
        ++q;
    }
    return sign | static_cast<std::uint32_t>(q + 64) << 24 | fraction;
}

std::uint32_t in_order(std::uint32_t w, bool big) { return big != (std::endian::native == std::endian::big) ? __builtin_bswap32(w) : w; }

struct Tally {
    std::uint64_t checked = 0, wrong = 0;
    char first[160] = "";
    void miss(const char *what, std::uint32_t in, std::uint32_t got, std::uint32_t want, bool big, bool portable)
    {
        if (!wrong++)
            std::snprintf(first, sizeof first, "%s %08x: got %08x, want %08x (%s-endian, %s kernels)", what, in, got,
                          want, big ? "big" : "little", portable ? "portable" : "best");
    }
};

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 4)
        return 2;
    const std::uint64_t stride = std::strtoull(argv[1], nullptr, 0), first = std::strtoull(argv[2], nullptr, 0),
                        last = std::strtoull(argv[3], nullptr, 0);
    if (!stride || first > last || last > 0xffffffffu)
        return 2;
    constexpr std::size_t block = 1 << 16;
    std::vector<std::uint32_t> in(block), raw(block), back(block);
    std::vector<float> floats(block);
    Tally tally;
    for (std::uint64_t at = first; at <= last;) {
        std::size_t n = 0;
        for (; n < block && at <= last; ++n, at += stride)
            in[n] = static_cast<std::uint32_t>(at);
        tally.checked += n;
        for (int portable = 0; portable < 2; ++portable) {
            vondrel::codec::force_portable_kernels(portable);
            for (int big = 0; big < 2; ++big) {
                for (std::size_t i = 0; i < n; ++i)
                    raw[i] = in_order(in[i], big);
                // Decode: every word.
                vondrel::codec::ibm_to_float(reinterpret_cast<const unsigned char *>(raw.data()),
                                             vondrel::codec::Runs{1, n, 4 * n}, floats.data(), big);
                for (std::size_t i = 0; i < n; ++i) {
                    std::uint32_t got = std::bit_cast<std::uint32_t>(floats[i]);
                    std::uint32_t want = std::bit_cast<std::uint32_t>(reference_decode(in[i]));
                    if (got != want)
                        tally.miss("decode", in[i], got, want, big, portable);
                }
                // Encode: the first non-finite pattern stops the run there;
                // then every pattern, the non-finite ones replaced by zeros.
                std::memcpy(floats.data(), in.data(), 4 * n);
                std::size_t stop = vondrel::codec::float_to_ibm(floats.data(), reinterpret_cast<unsigned char *>(back.data()),
                                                                vondrel::codec::Runs{1, n, 4 * n}, big);
                std::size_t want_stop = 0;
                while (want_stop < n && (in[want_stop] & 0x7f800000u) != 0x7f800000u)
                    ++want_stop;
                if (stop != want_stop)
                    tally.miss("encode stop", in[0], static_cast<std::uint32_t>(stop),
                               static_cast<std::uint32_t>(want_stop), big, portable);
                for (std::size_t i = 0; i < n; ++i)
                    if ((in[i] & 0x7f800000u) == 0x7f800000u)
                        floats[i] = 0.0f;
                if (vondrel::codec::float_to_ibm(floats.data(), reinterpret_cast<unsigned char *>(back.data()),
                                                 vondrel::codec::Runs{1, n, 4 * n}, big) != n)
                    tally.miss("encode of finite values stopped", in[0], 0, 0, big, portable);
                for (std::size_t i = 0; i < n; ++i) {
                    std::uint32_t got = in_order(back[i], big), want = reference_encode(floats[i]);
                    if (got != want)
                        tally.miss("encode", in[i], got, want, big, portable);
                }
            }
        }
    }
    vondrel::codec::force_portable_kernels(false);
    std::printf("%llu checked, %llu wrong, kernels %s\n%s\n", static_cast<unsigned long long>(tally.checked),
                static_cast<unsigned long long>(tally.wrong), vondrel::codec::kernel_name(), tally.first);
    return tally.wrong ? 1 : 0;
}
