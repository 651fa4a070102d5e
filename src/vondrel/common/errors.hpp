// Message texts used by more than one extension or file, and the helpers
// that raise them.  Each text is defined here once.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vondrel {

constexpr const char *msg_int_overflow = "value too large to convert to int";
constexpr const char *msg_int_required = "an integer is required";
constexpr const char *msg_read_count = "readinto() returned an impossible byte count.";
// A readinto() or read() that returns None: a non-blocking stream with no
// data now (BlockingIOError), never the end of the data.  The Python twin
// is vondrel._messages.NO_DATA.
constexpr const char *msg_no_data = "The stream has no data ready; use a blocking stream.";
// A SEG-Y sample format code that no codec reads (format: the code, long long).
constexpr const char *msg_unknown_format = "SEG-Y sample format code %lld is not one this module reads.";
constexpr const char *msg_no_reduce = "no default __reduce__ due to non-trivial __cinit__";
// A trace that the data end inside, found by a reader that knows the format
// and byte order (format arguments: the source's name, what it is read as,
// e.g. "SU little-endian", the trace's index, the byte where it starts, the
// bytes of it that the data hold).  The Python twin is
// vondrel._messages.CUT_SHORT followed by vondrel._messages.DATA_END.
constexpr const char *msg_cut_short =
    "%U: %U: trace %d at byte offset %lld is cut short: the data end %lld bytes into it";

// The warning of samples that float32 rounded as they were read (the
// source's name, its sample format code).  The Python twin is
// vondrel._messages.ROUNDED.
constexpr const char *msg_rounded =
    "%U: some samples of sample format %d were rounded as they were read as float32; vondrel.read and "
    "File.read keep every value with dtype=\"stored\"";

// The TypeErrors of a bad call (format strings: the callable's name, then
// the counts or the keyword).
constexpr const char *msg_arg_count = "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";
constexpr const char *msg_missing_keyword_only = "%.200s() needs keyword-only argument %U";
constexpr const char *msg_keywords_not_strings = "%.200s() keywords must be strings";
constexpr const char *msg_repeated_keyword = "%.200s() got multiple values for keyword argument '%U'";
constexpr const char *msg_unexpected_keyword = "%.200s() got an unexpected keyword argument '%U'";

// The object as a Python int: itself when it is one, else the result of its
// __int__ (a float is truncated).  New reference; TypeError "an integer is
// required" when it has no integer conversion.
PyObject *as_int_object(PyObject *obj);

// Converts a Python object to a C int the way generated extension code
// does: TypeError "an integer is required" when the object has no integer
// conversion, OverflowError "value too large to convert to int" outside the
// 32-bit range.  0, or -1 with an exception set.
int to_c_int(PyObject *obj, int *out);

// Raises OverflowError "value too large to convert to int"; always -1.
int raise_int_overflow();

// Raises TypeError "no default __reduce__ due to non-trivial __cinit__":
// the body of every class's pickling hooks (METH_NOARGS and METH_O alike).
PyObject *refuse_pickle(PyObject *self, PyObject *arg);

// Adds the traceback entry `where` (shown as a frame of `file`) to the
// pending exception, with `globals` as the frame's globals; for errors of
// module execution.  A failure while building the entry is dropped: the
// original error wins.
void add_traceback(const char *file, const char *where, PyObject *globals);

// Sets `error` as the pending exception, with `context` (if any) as its
// context: for an error raised while releasing something after a first
// failure.  Steals both.
void raise_with_context(PyObject *error, PyObject *context);

}  // namespace vondrel
