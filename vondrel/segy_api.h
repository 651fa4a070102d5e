/*
 * vondrel/segy_api.h: the native interface of vondrel.segy for C and C++
 * extension modules.
 *
 * Build against it with the directory that vondrel.get_include() returns on
 * the include path, then call vondrel_segy_import() once (in your module's
 * initialisation) before using anything below:
 *
 *     #include <Python.h>
 *     #include "segy_api.h"
 *     ...
 *     if (vondrel_segy_import() < 0)
 *         return -1;
 *     segy *t = vondrel_new_trace(100);
 *
 * It gives you the trace record `segy`, the three record operations, the
 * five classes' instance layouts and native operation tables, and their type
 * objects (to check instances or derive native subclasses).  It needs only
 * Python.h and stdio.h and compiles as C11 and as C++17.  Each translation
 * unit that includes it has its own copy of the imported pointers.
 */
#ifndef VONDREL_SEGY_API_H
#define VONDREL_SEGY_API_H

#include <Python.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#ifdef __cplusplus
extern "C" {
#define VONDREL_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define VONDREL_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* The file offset type of the file-handle bridge. */
typedef int64_t vdl_off_t;

/* One trace: the 240-byte Seismic Unix trace header in native byte order,
 * then the pointer to `ns` float samples.  `ns` is the only sample count. */
typedef struct segy {
    int32_t tracl, tracr, fldr, tracf, ep, cdp, cdpt;
    int16_t trid, nvs, nhs, duse;
    int32_t offset, gelev, selev, sdepth, gdel, sdel, swdep, gwdep;
    int16_t scalel, scalco;
    int32_t sx, sy, gx, gy;
    int16_t counit, wevel, swevel, sut, gut, sstat, gstat, tstat, laga, lagb, delrt, muts, mute;
    uint16_t ns, dt;
    int16_t gain, igc, igi, corr, sfs, sfe, slen, styp, stas, stae, tatyp, afilf, afils, nofilf,
        nofils, lcf, hcf, lcs, hcs, year, day, hour, minute, sec, timbas, trwf, grnors, grnofr,
        grnlof, gaps, otrav;
    float d1, f1, d2, f2, ungpow, unscale;
    int32_t ntr;
    int16_t mark, shortpad;
    int16_t unass[14]; /* unassigned area: carried verbatim */
    float *data;
} segy;

VONDREL_STATIC_ASSERT(sizeof(segy) == 248, "segy must be 248 bytes");
VONDREL_STATIC_ASSERT(offsetof(segy, ns) == 114, "ns sits at byte 114");
VONDREL_STATIC_ASSERT(offsetof(segy, dt) == 116, "dt sits at byte 116");
VONDREL_STATIC_ASSERT(offsetof(segy, d1) == 180, "d1 sits at byte 180");
VONDREL_STATIC_ASSERT(offsetof(segy, ntr) == 204, "ntr sits at byte 204");
VONDREL_STATIC_ASSERT(offsetof(segy, data) == 240, "the header is 240 bytes");

/* Optional arguments of copy_of (it reads none of them). */
struct vondrel_copy_of_opt {
    int n;
    int copy_data;
};

/* Optional arguments of SEGYTrace.from_trace: n counts the values given. */
struct vondrel_from_trace_opt {
    int n;
    int trace_owner;
    int trace_data_owner;
};

/* ---- instance layouts and native operation tables -------------------- */

struct vondrel_SEGYTrace;
struct vondrel_BaseTraceIterator;
struct vondrel__FileTraceIterator;
struct vondrel_SEGY;

/* Every pointer result is a new reference, or NULL with an exception set. */
struct vondrel_SEGYTrace_vtable {
    /* Wraps a record without copying; ownership flags default to 0. */
    struct vondrel_SEGYTrace *(*from_trace)(segy *trace, struct vondrel_from_trace_opt *opt);
    /* Reads one trace (header, then ns samples) at the stream's position. */
    struct vondrel_SEGYTrace *(*from_file_descriptor)(FILE *fp);
    /* Writes the trace at the stream's position; returns None. */
    PyObject *(*to_file_descriptor)(struct vondrel_SEGYTrace *self, FILE *fp);
};

struct vondrel_SEGYTrace {
    PyObject_HEAD
    struct vondrel_SEGYTrace_vtable *vtab;
    segy *trace;
    int trace_owner;      /* non-zero: the object releases the record */
    int trace_data_owner; /* non-zero: ... and its sample buffer */
    unsigned char samples[208]; /* private */
};

struct vondrel_BaseTraceIterator_vtable {
    /* The next trace, or NULL with StopIteration (or another error) set. */
    struct vondrel_SEGYTrace *(*next_trace)(struct vondrel_BaseTraceIterator *self);
};

struct vondrel_BaseTraceIterator {
    PyObject_HEAD
    struct vondrel_BaseTraceIterator_vtable *vtab;
    int index;    /* traces handed out so far */
    int n_traces; /* traces the iterator will hand out */
};

struct vondrel__MemoryTraceIterator {
    struct vondrel_BaseTraceIterator base;
    PyObject *traces;
};

struct vondrel__FileTraceIterator_vtable {
    struct vondrel_BaseTraceIterator_vtable base;
    PyObject *(*_close_file)(struct vondrel__FileTraceIterator *self);
};

struct vondrel__FileTraceIterator {
    struct vondrel_BaseTraceIterator base;
    FILE *fp;
    int file_owner;
    PyObject *file;
    vdl_off_t orig_pos;
};

struct vondrel_SEGY_vtable {
    /* A new collection in iterator mode over `iterator`. */
    struct vondrel_SEGY *(*from_trace_iterator)(struct vondrel_BaseTraceIterator *iterator);
};

struct vondrel_SEGY {
    PyObject_HEAD
    struct vondrel_SEGY_vtable *vtab;
    PyObject *filename;
    PyObject *traces;
    PyObject *iterator;
    int n_traces;
};

#if defined(__x86_64__) || defined(_M_X64) || defined(__aarch64__)
VONDREL_STATIC_ASSERT(sizeof(struct vondrel_SEGYTrace) == 248, "SEGYTrace layout");
VONDREL_STATIC_ASSERT(sizeof(struct vondrel_BaseTraceIterator) == 32, "BaseTraceIterator layout");
VONDREL_STATIC_ASSERT(sizeof(struct vondrel__MemoryTraceIterator) == 40, "_MemoryTraceIterator layout");
VONDREL_STATIC_ASSERT(sizeof(struct vondrel__FileTraceIterator) == 64, "_FileTraceIterator layout");
VONDREL_STATIC_ASSERT(sizeof(struct vondrel_SEGY) == 56, "SEGY layout");
#endif

/* ---- what vondrel_segy_import() fills in ---------------------------- */

/* A zeroed record with room for ns samples (low 16 bits); NULL when out of memory. */
static segy *(*vondrel_new_trace)(int ns);
/* A deep copy of header and ns samples; opt may be NULL. */
static segy *(*vondrel_copy_of)(segy *src, struct vondrel_copy_of_opt *opt);
/* Releases the record, and its samples when free_data is non-zero. */
static void (*vondrel_del_trace)(segy *trace, int free_data);

static PyTypeObject *vondrel_SEGYTraceType;
static PyTypeObject *vondrel_SEGYType;
static PyTypeObject *vondrel_BaseTraceIteratorType;
static PyTypeObject *vondrel__MemoryTraceIteratorType;
static PyTypeObject *vondrel__FileTraceIteratorType;

static struct vondrel_SEGYTrace_vtable *vondrel_SEGYTrace_vtab;
static struct vondrel_SEGY_vtable *vondrel_SEGY_vtab;
static struct vondrel_BaseTraceIterator_vtable *vondrel_BaseTraceIterator_vtab;
static struct vondrel_BaseTraceIterator_vtable *vondrel__MemoryTraceIterator_vtab;
static struct vondrel__FileTraceIterator_vtable *vondrel__FileTraceIterator_vtab;

/* Takes one operation from `capi`, checking its capsule name against the
 * expected signature.  0, or -1 with ImportError or TypeError set. */
static inline int vondrel_segy_import_function_(PyObject *capi, const char *name, void **fn,
                                         const char *signature)
{
    PyObject *capsule = PyDict_GetItemString(capi, name); /* borrowed */
    const char *actual;
    if (!capsule) {
        PyErr_Format(PyExc_ImportError, "%.200s does not export expected C function %.200s",
                     "vondrel.segy", name);
        return -1;
    }
    actual = PyCapsule_GetName(capsule);
    if (!actual || strcmp(actual, signature) != 0) {
        PyErr_Format(PyExc_TypeError,
                     "C function %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                     "vondrel.segy", name, signature, actual ? actual : "");
        return -1;
    }
    *fn = PyCapsule_GetPointer(capsule, actual);
    return *fn ? 0 : -1;
}

/* Takes one class and its native operation table.  0, or -1 with an
 * exception set. */
static inline int vondrel_segy_import_class_(PyObject *module, const char *name, PyTypeObject **type,
                                      void **vtab, Py_ssize_t basicsize)
{
    PyObject *obj = PyObject_GetAttrString(module, name);
    PyObject *capsule;
    if (!obj)
        return -1;
    if (!PyType_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "vondrel.segy.%.200s is not a type", name);
        Py_DECREF(obj);
        return -1;
    }
    if (((PyTypeObject *)obj)->tp_basicsize != basicsize) {
        PyErr_Format(PyExc_ImportError, "vondrel.segy.%.200s has size %zd, expected %zd", name,
                     ((PyTypeObject *)obj)->tp_basicsize, basicsize);
        Py_DECREF(obj);
        return -1;
    }
    capsule = PyObject_GetAttrString(obj, "__pyx_vtable__");
    if (!capsule) {
        Py_DECREF(obj);
        return -1;
    }
    *vtab = PyCapsule_GetPointer(capsule, NULL);
    Py_DECREF(capsule);
    if (!*vtab) {
        Py_DECREF(obj);
        return -1;
    }
    *type = (PyTypeObject *)obj; /* the module keeps the class alive for the process */
    Py_DECREF(obj);
    return 0;
}

/* Imports vondrel.segy and fills in everything above.  0, or -1 with the
 * exception set (the module's own ImportError or TypeError for a missing or
 * mis-signed operation). */
static inline int vondrel_segy_import(void)
{
    PyObject *module = PyImport_ImportModule("vondrel.segy");
    PyObject *capi;
    int rc = -1;
    if (!module)
        return -1;
    capi = PyObject_GetAttrString(module, "__pyx_capi__");
    if (capi && !PyDict_Check(capi)) {
        PyErr_SetString(PyExc_TypeError, "vondrel.segy.__pyx_capi__ is not a dict");
    } else if (capi &&
               vondrel_segy_import_function_(capi, "new_trace", (void **)&vondrel_new_trace,
                                             "segy *(int)") == 0 &&
               vondrel_segy_import_function_(
                   capi, "copy_of", (void **)&vondrel_copy_of,
                   "segy *(segy *, struct __pyx_opt_args_7vondrel_4segy_copy_of *__pyx_optional_args)") == 0 &&
               vondrel_segy_import_function_(capi, "del_trace", (void **)&vondrel_del_trace,
                                             "void (segy *, int)") == 0 &&
               vondrel_segy_import_class_(module, "SEGYTrace", &vondrel_SEGYTraceType,
                                          (void **)&vondrel_SEGYTrace_vtab,
                                          (Py_ssize_t)sizeof(struct vondrel_SEGYTrace)) == 0 &&
               vondrel_segy_import_class_(module, "SEGY", &vondrel_SEGYType, (void **)&vondrel_SEGY_vtab,
                                          (Py_ssize_t)sizeof(struct vondrel_SEGY)) == 0 &&
               vondrel_segy_import_class_(module, "BaseTraceIterator", &vondrel_BaseTraceIteratorType,
                                          (void **)&vondrel_BaseTraceIterator_vtab,
                                          (Py_ssize_t)sizeof(struct vondrel_BaseTraceIterator)) == 0 &&
               vondrel_segy_import_class_(module, "_MemoryTraceIterator", &vondrel__MemoryTraceIteratorType,
                                          (void **)&vondrel__MemoryTraceIterator_vtab,
                                          (Py_ssize_t)sizeof(struct vondrel__MemoryTraceIterator)) == 0 &&
               vondrel_segy_import_class_(module, "_FileTraceIterator", &vondrel__FileTraceIteratorType,
                                          (void **)&vondrel__FileTraceIterator_vtab,
                                          (Py_ssize_t)sizeof(struct vondrel__FileTraceIterator)) == 0) {
        rc = 0;
    }
    Py_XDECREF(capi);
    Py_DECREF(module);
    return rc;
}

#undef VONDREL_STATIC_ASSERT
#ifdef __cplusplus
}
#endif

#endif /* VONDREL_SEGY_API_H */
