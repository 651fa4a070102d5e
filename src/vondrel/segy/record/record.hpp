// The trace record: the 240-byte Seismic Unix trace header followed by the
// pointer to the samples, and the operations published to native clients.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>

// Records, counts and samples travel in the machine's byte order, and the
// collection files are little-endian: on a big-endian machine every value
// read would be wrong, so the build stops here.
static_assert(std::endian::native == std::endian::little,
              "vondrel.segy needs a little-endian platform: collection files and trace records are "
              "little-endian and are read and written without byte swapping");

struct segy {
    std::int32_t tracl, tracr, fldr, tracf, ep, cdp, cdpt;
    std::int16_t trid, nvs, nhs, duse;
    std::int32_t offset, gelev, selev, sdepth, gdel, sdel, swdep, gwdep;
    std::int16_t scalel, scalco;
    std::int32_t sx, sy, gx, gy;
    std::int16_t counit, wevel, swevel, sut, gut, sstat, gstat, tstat, laga, lagb, delrt, muts, mute;
    std::uint16_t ns, dt;
    std::int16_t gain, igc, igi, corr, sfs, sfe, slen, styp, stas, stae, tatyp, afilf, afils, nofilf,
        nofils, lcf, hcf, lcs, hcs, year, day, hour, minute, sec, timbas, trwf, grnors, grnofr,
        grnlof, gaps, otrav;
    float d1, f1, d2, f2, ungpow, unscale;
    std::int32_t ntr;
    std::int16_t mark, shortpad;
    std::int16_t unass[14];
    float *data;
};

inline constexpr std::size_t trace_header_size = 240;

static_assert(sizeof(segy) == 248);
static_assert(offsetof(segy, ns) == 114);
static_assert(offsetof(segy, dt) == 116);
static_assert(offsetof(segy, d1) == 180);
static_assert(offsetof(segy, ntr) == 204);
static_assert(offsetof(segy, shortpad) == 210);
static_assert(offsetof(segy, data) == trace_header_size);

// Optional-arguments block of copy_of: the count of optional values that
// follow.  copy_of never reads it.
struct copy_of_opt {
    int n;
};

// New zeroed record with room for `ns` samples (only the low 16 bits of ns
// are kept); the caller frees it with del_trace(t, 1).  Null when the record
// or its buffer cannot be allocated; raises nothing.
segy *new_trace(int ns);

// Deep copy of header and `ns` samples; the caller owns record and buffer
// and frees them with del_trace(t, 1).  Null when out of memory, when `src`
// is null, or when `src` announces samples but its `data` is null.
segy *copy_of(segy *src, copy_of_opt *opt);

// Releases the record, and its samples when free_data is non-zero.  Accepts null.
void del_trace(segy *t, int free_data);

// One trace from the stream's current position: one 240-byte header read,
// one read of ns samples.  Returns a record the caller frees with
// del_trace(t, 1), or null with a Python exception set (MemoryError, OSError).
segy *read_trace_record(FILE *fp);

// The two failures of a trace write, also raised by the collection writer
// when a trace's bytes do not reach its file.
inline constexpr const char *msg_write_header = "Error writing trace header to file.";
inline constexpr const char *msg_write_data = "Error writing trace data to file.";

// Writes the header block and the ns samples; 0, or -1 with OSError set.
// A record with ns > 0 and null data is refused before anything is written.
int write_trace_record(const segy *t, FILE *fp);
