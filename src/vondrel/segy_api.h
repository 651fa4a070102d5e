/*
 * vondrel/segy_api.h: the native interface of vondrel.segy for C and C++
 * extension modules.
 *
 * Put the directory that vondrel.get_include() returns on the include path,
 * include this header after Python.h, and call vondrel_segy_import() once in
 * each translation unit that uses it (in your module's initialisation),
 * before anything below:
 *
 *     #include <Python.h>
 *     #include "segy_api.h"
 *     ...
 *     if (vondrel_segy_import() < 0)
 *         return -1;
 *     segy *t = vondrel_new_trace(100);
 *
 * It gives you the trace record `segy`, its three operations (new_trace,
 * copy_of, del_trace), the five classes' instance layouts and native
 * operation tables, and their type objects (to check instances or derive
 * native subclasses).  Everything is declared static, so each translation
 * unit holds its own copy of the imported pointers.  It needs nothing but
 * Python.h and the C library, and compiles as C11 and as C++17.
 *
 * Records and sample buffers live on the C heap (malloc/free).  A record
 * carries no ownership of its own: whoever calls vondrel_del_trace says
 * whether the sample buffer goes with it.  A SEGYTrace says so with its
 * trace_owner and trace_data_owner flags.
 *
 * Calling SEGYTrace.__init__ again gives the trace a new record and
 * samples.  The old ones live on until the last buffer export taken of
 * the trace before that call is released: to keep using a trace's record
 * or samples across a call into Python, hold an export of the trace
 * (PyObject_GetBuffer), not just the `trace` pointer.
 *
 * A record's `data` may be unaligned for float: a trace built from an
 * unaligned float32 array shares that array's memory.  Move samples with
 * memcpy rather than reading them through the pointer.
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

/* Optional arguments of copy_of: the count of values that follow.  copy_of
 * reads none of it and always copies header and samples; pass NULL. */
struct vondrel_copy_of_opt {
    int n;
    int copy_data;
};

/* Optional arguments of SEGYTrace's from_trace: n counts the values given
 * (0: both flags 0; 1: trace_owner only; 2: both).  A NULL block is n = 0. */
struct vondrel_from_trace_opt {
    int n;
    int trace_owner;
    int trace_data_owner;
};

/* ---- instance layouts and native operation tables -------------------- */
/* Named vondrel_<class>; the two classes whose names start with an
 * underscore drop it here (vondrel_FileTraceIterator is _FileTraceIterator),
 * since a double underscore is reserved in C++. */

struct vondrel_SEGYTrace;
struct vondrel_BaseTraceIterator;
struct vondrel_FileTraceIterator;
struct vondrel_SEGY;

/* SEGYTrace's native operations, in slot order.  Every pointer result is a
 * new reference, or NULL with an exception set. */
struct vondrel_SEGYTrace_vtable {
    /* Wraps a record without copying its samples; the flags say what the new
     * trace releases when it dies.  The record must be there, with ns > 0 and
     * a sample buffer (ValueError otherwise; the record then stays with the
     * caller). */
    struct vondrel_SEGYTrace *(*from_trace)(segy *trace, struct vondrel_from_trace_opt *opt);
    /* Reads one trace (header, then ns samples) at the stream's position
     * into a trace that owns record and samples; OSError on a short read. */
    struct vondrel_SEGYTrace *(*from_file_descriptor)(FILE *fp);
    /* Writes header and ns samples at the stream's position; returns None. */
    PyObject *(*to_file_descriptor)(struct vondrel_SEGYTrace *self, FILE *fp);
};

struct vondrel_SEGYTrace {
    PyObject_HEAD
    struct vondrel_SEGYTrace_vtable *vtab;
    segy *trace;                /* NULL in a trace made by SEGYTrace.__new__ alone */
    int trace_owner;            /* non-zero: the trace releases the record */
    int trace_data_owner;       /* non-zero: ... together with its samples */
    unsigned char samples[208]; /* private: what keeps the sample memory alive, shared with exports */
};

/* BaseTraceIterator's native operation: the one step of every trace
 * iterator.  An override raises StopIteration when index equals n_traces,
 * otherwise returns a new trace and adds 1 to index. */
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

struct vondrel_MemoryTraceIterator {
    struct vondrel_BaseTraceIterator base;
    PyObject *traces; /* the list of SEGYTrace it hands out */
};

struct vondrel_FileTraceIterator_vtable {
    struct vondrel_BaseTraceIterator_vtable base;
    /* Gives the stream back and closes a file the iterator opened; None. */
    PyObject *(*_close_file)(struct vondrel_FileTraceIterator *self);
};

struct vondrel_FileTraceIterator {
    struct vondrel_BaseTraceIterator base;
    FILE *fp;           /* the borrowed stream, NULL once given back */
    int file_owner;     /* non-zero: the iterator opened `file` itself */
    PyObject *file;     /* the file object, or None */
    vdl_off_t orig_pos; /* handed back with the stream */
};

struct vondrel_SEGY_vtable {
    /* A new collection standing for `iterator` (its n_traces copied). */
    struct vondrel_SEGY *(*from_trace_iterator)(struct vondrel_BaseTraceIterator *iterator);
};

/* The storage mode is the one of filename, traces and iterator that is not
 * None. */
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
VONDREL_STATIC_ASSERT(sizeof(struct vondrel_MemoryTraceIterator) == 40, "_MemoryTraceIterator layout");
VONDREL_STATIC_ASSERT(sizeof(struct vondrel_FileTraceIterator) == 64, "_FileTraceIterator layout");
VONDREL_STATIC_ASSERT(sizeof(struct vondrel_SEGY) == 56, "SEGY layout");
#endif

/* ---- what vondrel_segy_import() fills in ---------------------------- */

VONDREL_STATIC_ASSERT(sizeof(void *) == sizeof(void (*)(void)), "code addresses travel as object pointers");

/* A zeroed record with room for ns samples (low 16 bits); NULL when out of
 * memory.  Free it with vondrel_del_trace(t, 1). */
static segy *(*vondrel_new_trace)(int ns);
/* A deep copy of header and ns samples (opt may be NULL; it is not read);
 * NULL when out of memory.  Free it with vondrel_del_trace(t, 1). */
static segy *(*vondrel_copy_of)(segy *src, struct vondrel_copy_of_opt *opt);
/* Releases the record (NULL is accepted), and its samples when free_data is
 * non-zero. */
static void (*vondrel_del_trace)(segy *trace, int free_data);

/* The classes, to check instances (PyObject_TypeCheck) or to derive native
 * subclasses from.  Borrowed: the module keeps them for the process. */
static PyTypeObject *vondrel_SEGYTraceType;
static PyTypeObject *vondrel_SEGYType;
static PyTypeObject *vondrel_BaseTraceIteratorType;
static PyTypeObject *vondrel_MemoryTraceIteratorType;
static PyTypeObject *vondrel_FileTraceIteratorType;

/* Their native operation tables.  A native subclass copies its base's table
 * into its own (which starts with the base's), replaces the entries it
 * overrides and points each new instance's vtab at it after the base's
 * tp_new has run. */
static struct vondrel_SEGYTrace_vtable *vondrel_SEGYTrace_vtab;
static struct vondrel_SEGY_vtable *vondrel_SEGY_vtab;
static struct vondrel_BaseTraceIterator_vtable *vondrel_BaseTraceIterator_vtab;
static struct vondrel_BaseTraceIterator_vtable *vondrel_MemoryTraceIterator_vtab;
static struct vondrel_FileTraceIterator_vtable *vondrel_FileTraceIterator_vtab;

/* Everything the import takes, gathered before any of it is published so
 * that a failed import leaves the pointers above as they were. */
struct vondrel_segy_imports_ {
    void *functions[3];
    PyTypeObject *types[5];
    void *vtabs[5];
};

/* Takes one operation from `capi` (a dict), checking its capsule name
 * against the expected signature.  Stores the address in *fn and returns 0,
 * or -1 with ImportError (missing) or TypeError (another signature) set. */
static inline int vondrel_segy_import_function_(PyObject *capi, const char *name, const char *signature,
                                                void **fn)
{
    PyObject *capsule;
    const char *actual;
    if (PyDict_GetItemStringRef(capi, name, &capsule) < 0)
        return -1;
    if (!capsule) {
        PyErr_Format(PyExc_ImportError, "%.200s does not export expected C function %.200s",
                     "vondrel.segy", name);
        return -1;
    }
    actual = PyCapsule_GetName(capsule);
    if (!actual || strcmp(actual, signature) != 0) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_TypeError,
                         "C function %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                         "vondrel.segy", name, signature, actual ? actual : "(null)");
        Py_DECREF(capsule);
        return -1;
    }
    *fn = PyCapsule_GetPointer(capsule, actual);
    Py_DECREF(capsule);
    return *fn ? 0 : -1;
}

/* Takes one class and the native operation table in its own dictionary,
 * checking that the instance size is the one this header lays out.  0, or -1
 * with an exception set (the attribute's AttributeError, TypeError for a
 * non-class, ImportError for another size or a missing table). */
static inline int vondrel_segy_import_class_(PyObject *module, const char *name, Py_ssize_t basicsize,
                                             PyTypeObject **type, void **vtab)
{
    PyObject *obj = PyObject_GetAttrString(module, name);
    PyObject *dict;
    PyObject *capsule = NULL;
    int found;
    if (!obj)
        return -1;
    if (!PyType_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "vondrel.segy.%.200s is not a class.", name);
        Py_DECREF(obj);
        return -1;
    }
    if (((PyTypeObject *)obj)->tp_basicsize != basicsize) {
        PyErr_Format(PyExc_ImportError, "vondrel.segy.%.200s has instances of %zd bytes, expected %zd.",
                     name, ((PyTypeObject *)obj)->tp_basicsize, basicsize);
        Py_DECREF(obj);
        return -1;
    }
    dict = PyType_GetDict((PyTypeObject *)obj);
    found = dict ? PyDict_GetItemStringRef(dict, "__pyx_vtable__", &capsule) : -1;
    Py_XDECREF(dict);
    if (found == 0)
        PyErr_Format(PyExc_ImportError, "vondrel.segy.%.200s has no native operation table.", name);
    *vtab = found > 0 ? PyCapsule_GetPointer(capsule, NULL) : NULL;
    Py_XDECREF(capsule);
    *type = (PyTypeObject *)obj; /* borrowed from here on: the module keeps the class */
    Py_DECREF(obj);
    return *vtab ? 0 : -1;
}

/* Imports vondrel.segy and fills in everything above, all or nothing.
 * Call it once per translation unit, while holding the GIL (typically from
 * your module's exec slot or PyInit function).  0, or -1 with the exception
 * set: the import's own error, the module's ImportError "vondrel.segy does
 * not export expected C function ..." or TypeError "C function
 * vondrel.segy.... has wrong signature (expected ..., got ...)", or an
 * ImportError when a class's instance size differs from this header's. */
static inline int vondrel_segy_import(void)
{
    static const char *const function_names[3] = {"new_trace", "copy_of", "del_trace"};
    static const char *const signatures[3] = {
        "segy *(int)",
        "segy *(segy *, struct __pyx_opt_args_7vondrel_4segy_copy_of *__pyx_optional_args)",
        "void (segy *, int)",
    };
    static const char *const class_names[5] = {"SEGYTrace", "SEGY", "BaseTraceIterator",
                                               "_MemoryTraceIterator", "_FileTraceIterator"};
    const Py_ssize_t sizes[5] = {
        (Py_ssize_t)sizeof(struct vondrel_SEGYTrace), (Py_ssize_t)sizeof(struct vondrel_SEGY),
        (Py_ssize_t)sizeof(struct vondrel_BaseTraceIterator),
        (Py_ssize_t)sizeof(struct vondrel_MemoryTraceIterator),
        (Py_ssize_t)sizeof(struct vondrel_FileTraceIterator),
    };
    struct vondrel_segy_imports_ got;
    PyObject *module = PyImport_ImportModule("vondrel.segy");
    PyObject *capi;
    int i;
    int rc = 0;
    if (!module)
        return -1;
    capi = PyObject_GetAttrString(module, "__pyx_capi__");
    if (!capi) {
        rc = -1;
    } else if (!PyDict_Check(capi)) {
        PyErr_SetString(PyExc_TypeError, "vondrel.segy.__pyx_capi__ is not a dict.");
        rc = -1;
    }
    for (i = 0; rc == 0 && i < 3; ++i)
        rc = vondrel_segy_import_function_(capi, function_names[i], signatures[i], &got.functions[i]);
    for (i = 0; rc == 0 && i < 5; ++i)
        rc = vondrel_segy_import_class_(module, class_names[i], sizes[i], &got.types[i], &got.vtabs[i]);
    Py_XDECREF(capi);
    Py_DECREF(module);
    if (rc < 0)
        return -1;
    /* The capsules hold code addresses as object pointers: copied bit for
     * bit, as POSIX allows. */
    memcpy(&vondrel_new_trace, &got.functions[0], sizeof(void *));
    memcpy(&vondrel_copy_of, &got.functions[1], sizeof(void *));
    memcpy(&vondrel_del_trace, &got.functions[2], sizeof(void *));
    vondrel_SEGYTraceType = got.types[0];
    vondrel_SEGYType = got.types[1];
    vondrel_BaseTraceIteratorType = got.types[2];
    vondrel_MemoryTraceIteratorType = got.types[3];
    vondrel_FileTraceIteratorType = got.types[4];
    vondrel_SEGYTrace_vtab = (struct vondrel_SEGYTrace_vtable *)got.vtabs[0];
    vondrel_SEGY_vtab = (struct vondrel_SEGY_vtable *)got.vtabs[1];
    vondrel_BaseTraceIterator_vtab = (struct vondrel_BaseTraceIterator_vtable *)got.vtabs[2];
    vondrel_MemoryTraceIterator_vtab = (struct vondrel_BaseTraceIterator_vtable *)got.vtabs[3];
    vondrel_FileTraceIterator_vtab = (struct vondrel_FileTraceIterator_vtable *)got.vtabs[4];
    return 0;
}

#undef VONDREL_STATIC_ASSERT
#ifdef __cplusplus
}
#endif

#endif /* VONDREL_SEGY_API_H */
