# Cython declarations of vondrel.segy for native clients:
#
#     from vondrel.segy cimport segy, new_trace, copy_of, del_trace
#     from vondrel.segy cimport SEGYTrace, SEGY, BaseTraceIterator
#
#     cdef class Counter(BaseTraceIterator):
#         cdef SEGYTrace next_trace(self):
#             if self.index == self.n_traces:
#                 raise StopIteration
#             cdef segy *t = new_trace(100)
#             if t == NULL:
#                 raise MemoryError()
#             ...                                # fill t.data and the header
#             try:
#                 trace = SEGYTrace.from_trace(t, 1, 1)   # owns record and samples
#             except BaseException:
#                 del_trace(t, 1)
#                 raise
#             self.index += 1
#             return trace
#
# Cython finds this file through the site-packages directory on its include
# path; the C compiler needs vondrel.get_include() on its include path for
# the record type and the offset type, which come from segy_api.h.
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

# A zeroed record with room for ns samples (low 16 bits); NULL when out of
# memory.  Free it with del_trace(t, 1).
cdef segy *new_trace(int ns)
# A deep copy of header and ns samples; NULL when out of memory.  The
# optional argument is not read: header and samples are always copied.
cdef segy *copy_of(segy *tr, int copy_data=*)
# Releases the record (NULL is accepted), and its samples when free_data is
# non-zero.
cdef void del_trace(segy *tr, int free_data)


# Final: it cannot be subclassed.
cdef class SEGYTrace:
    cdef segy *trace                # NULL in a trace made by SEGYTrace.__new__ alone
    cdef int trace_owner            # non-zero: the trace releases the record
    cdef int trace_data_owner       # non-zero: ... together with its samples
    cdef char samples[208]          # private: what keeps the sample memory alive, shared with exports

    # Wraps a record without copying its samples; both flags default to 0.
    # The record must not be NULL and needs ns > 0 and a sample buffer
    # (ValueError otherwise; it then stays with the caller).  Its data may
    # be unaligned for float.
    @staticmethod
    cdef SEGYTrace from_trace(segy *trace, int trace_owner=*, int trace_data_owner=*)
    # Reads one trace at the stream's position into a trace that owns record
    # and samples; OSError on a short read.
    @staticmethod
    cdef SEGYTrace from_file_descriptor(FILE *fp)
    # Writes header and ns samples at the stream's position; returns None.
    cdef to_file_descriptor(self, FILE *fp)


cdef class SEGY:
    cdef object filename
    cdef object traces
    cdef object iterator
    cdef int n_traces

    # A new collection standing for the iterator (its n_traces copied).
    @staticmethod
    cdef SEGY from_trace_iterator(BaseTraceIterator iterator)


cdef class BaseTraceIterator:
    cdef int index                  # traces handed out so far
    cdef int n_traces               # traces the iterator will hand out

    # The one step: StopIteration when index equals n_traces, otherwise a new
    # trace, with index one up.  Native subclasses override it.
    cdef SEGYTrace next_trace(self)


cdef class _MemoryTraceIterator(BaseTraceIterator):
    cdef list traces


cdef class _FileTraceIterator(BaseTraceIterator):
    cdef FILE *fp
    cdef bint file_owner
    cdef object file
    cdef vdl_off_t orig_pos

    # Gives the stream back and closes a file the iterator opened; None.
    cdef _close_file(self)
