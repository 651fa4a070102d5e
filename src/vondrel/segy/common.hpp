// Private helpers shared by every part of the extension: the owning
// reference, the bridge operations taken from vondrel._io, the module's
// process-wide state and a few small C-API conveniences.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdio>

// Signed 64-bit file offset of the bridge (what fseeko64/ftello64 take).
using vdl_off_t = std::int64_t;

namespace vondrel {

class Ref {                       // owns one strong reference, or nothing
public:
    Ref() = default;
    explicit Ref(PyObject *stolen) : p_(stolen) {}          // takes a new reference
    static Ref borrow(PyObject *b) { return Ref(Py_XNewRef(b)); }
    Ref(Ref &&o) noexcept : p_(o.release()) {}
    Ref &operator=(Ref &&o) noexcept { reset(o.release()); return *this; }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    ~Ref() { Py_XDECREF(p_); }
    PyObject *get() const { return p_; }
    PyObject *release() { PyObject *r = p_; p_ = nullptr; return r; }
    void reset(PyObject *stolen = nullptr) { PyObject *old = p_; p_ = stolen; Py_XDECREF(old); }
    explicit operator bool() const { return p_ != nullptr; }
private:
    PyObject *p_ = nullptr;
};

// The pair PyFile_Dup hands out: the borrowed stream and the value to give
// back to PyFile_DupClose.
struct FileDup {
    FILE *fp;
    vdl_off_t orig_pos;
};

using FileDupFn = FileDup (*)(PyObject *file, char *mode);
using FileDupCloseFn = int (*)(PyObject *file, FILE *fp, vdl_off_t orig_pos);

// Set once by module execution; callers test PyErr_Occurred() after each call.
extern FileDupFn PyFile_Dup;
extern FileDupCloseFn PyFile_DupClose;

// The one module object of the process (borrowed by everyone, owned by
// module.cpp); null until execution starts.
extern PyObject *loaded_module;

// Interns `text` into `*slot`; 0, or -1 with an exception set.  Parts call it
// from their constants initialiser during module execution.
inline int intern(PyObject **slot, const char *text)
{
    *slot = PyUnicode_InternFromString(text);
    return *slot ? 0 : -1;
}

// Looks `name` up in the module namespace, then in the built-ins, on every
// call (callers must see a rebinding of io, os or nullcontext).  New
// reference; NameError when neither has it.
PyObject *module_global(PyObject *name);

// The built-in `open`, looked up in the module namespace first like any
// other global.  New reference.
PyObject *builtin_open();

// Looks `name` up on `obj`; any exception counts as absence and is
// discarded.  New reference, or null with no exception set.
PyObject *lookup_or_absent(PyObject *obj, PyObject *name);

// Calls obj.name() / obj.name(arg) by interned name.  New reference.
inline PyObject *call_method0(PyObject *obj, PyObject *name)
{
    return PyObject_CallMethodNoArgs(obj, name);
}
inline PyObject *call_method1(PyObject *obj, PyObject *name, PyObject *arg)
{
    return PyObject_CallMethodOneArg(obj, name, arg);
}

// Sets TypeError "Cannot convert <type of obj> to vondrel.segy.SEGYTrace".
void raise_not_a_trace(PyObject *obj);

// The object as a Python int: itself when it is one, else the result of its
// __int__ (a float is truncated).  New reference; TypeError "an integer is
// required" when it has no integer conversion.
PyObject *as_int_object(PyObject *obj);

// Converts a Python object to a C int the way the trace keywords and the
// iterator counts do: TypeError "an integer is required" when the object has
// no integer conversion, OverflowError "value too large to convert to int"
// outside the 32-bit range.  -1 with an exception set on failure.
int to_c_int(PyObject *obj, int *out);

// The TypeErrors of argument binding, worded as generated extension code
// words them.  `bound` is "exactly", "at least" or "at most".  Each sets
// the error and returns -1.
int raise_arg_count(const char *func, const char *bound, Py_ssize_t expected, Py_ssize_t given);
int raise_unexpected_keyword(const char *func, PyObject *key);
int raise_repeated_keyword(const char *func, PyObject *key);
int raise_keywords_not_strings(const char *func);

// Raises TypeError "no default __reduce__ due to non-trivial __cinit__";
// the body of every class's pickling hooks.
PyObject *refuse_pickle(PyObject *self, PyObject *arg);

// Names shared by several parts, made in module execution step 2.
struct Names {
    PyObject *read, *write, *name, *flush, *fileno, *close, *seek, *tell;
    PyObject *io, *os, *nullcontext, *np, *open;
    PyObject *fspath, *fsync;
    PyObject *enter, *exit;
    PyObject *on_disk, *in_memory, *is_iterator;
};
extern Names names;

}  // namespace vondrel
