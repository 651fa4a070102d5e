#include "vondrel/_arrays/layout.hpp"

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

void swap_words(unsigned char *data, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t v;
        std::memcpy(&v, data + 4 * i, 4);
        v = __builtin_bswap32(v);
        std::memcpy(data + 4 * i, &v, 4);
    }
}

void swap_header(unsigned char *header)
{
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
}

}  // namespace vondrel::arrays
