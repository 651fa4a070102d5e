# Cython declarations of vondrel.segy for native clients:
#
#     from vondrel.segy cimport segy, new_trace, del_trace, SEGYTrace, BaseTraceIterator
#
# Build with vondrel.get_include() on the include path (the record type and
# the offset type come from segy_api.h).
from libc.stdio cimport FILE
from libc.stdint cimport int64_t

cdef extern from "segy_api.h":
    ctypedef int64_t vdl_off_t

    # One trace: the 240-byte Seismic Unix header, then ns float samples.
    ctypedef struct segy:
        int tracl, tracr, fldr, tracf, ep, cdp, cdpt
        short trid, nvs, nhs, duse
        int offset, gelev, selev, sdepth, gdel, sdel, swdep, gwdep
        short scalel, scalco
        int sx, sy, gx, gy
        short counit, wevel, swevel, sut, gut, sstat, gstat, tstat, laga, lagb, delrt, muts, mute
        unsigned short ns, dt
        short gain, igc, igi, corr, sfs, sfe, slen, styp, stas, stae, tatyp, afilf, afils, nofilf
        short nofils, lcf, hcf, lcs, hcs, year, day, hour, minute, sec, timbas, trwf, grnors, grnofr
        short grnlof, gaps, otrav
        float d1, f1, d2, f2, ungpow, unscale
        int ntr
        short mark, shortpad
        short unass[14]
        float *data

# A zeroed record with room for ns samples; NULL when out of memory.
cdef segy *new_trace(int ns)
# A deep copy of header and ns samples.
cdef segy *copy_of(segy *tr, int copy_data=*)
# Releases the record, and its samples when free_data is non-zero.
cdef void del_trace(segy *tr, int free_data)


cdef class SEGYTrace:
    cdef segy *trace
    cdef int trace_owner
    cdef int trace_data_owner
    cdef char samples[208]      # private

    @staticmethod
    cdef SEGYTrace from_trace(segy *trace, int trace_owner=*, int trace_data_owner=*)
    @staticmethod
    cdef SEGYTrace from_file_descriptor(FILE *fp)
    cdef to_file_descriptor(self, FILE *fp)


cdef class SEGY:
    cdef object filename
    cdef object traces
    cdef object iterator
    cdef int n_traces

    @staticmethod
    cdef SEGY from_trace_iterator(BaseTraceIterator iterator)


cdef class BaseTraceIterator:
    cdef int index
    cdef int n_traces

    cdef SEGYTrace next_trace(self)


cdef class _MemoryTraceIterator(BaseTraceIterator):
    cdef list traces


cdef class _FileTraceIterator(BaseTraceIterator):
    cdef FILE *fp
    cdef bint file_owner
    cdef object file
    cdef vdl_off_t orig_pos

    cdef _close_file(self)
