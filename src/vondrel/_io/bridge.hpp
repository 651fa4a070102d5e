// What vondrel._io publishes and its clients import: the two operations'
// types and the capsule names (signature strings) they are published under.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdio>

// Signed 64-bit file offset of the bridge (what fseeko64/ftello64 take).
using vdl_off_t = std::int64_t;

namespace vondrel {

// The pair PyFile_Dup hands out: the borrowed stream and the value to give
// back to PyFile_DupClose.
struct FileDup {
    FILE *fp;
    vdl_off_t orig_pos;
};

using FileDupFn = FileDup (*)(PyObject *file, char *mode);
using FileDupCloseFn = int (*)(PyObject *file, FILE *fp, vdl_off_t orig_pos);

// The names in vondrel._io.__pyx_capi__ and the capsule names.
constexpr const char *name_file_dup = "PyFile_Dup";
constexpr const char *name_file_dup_close = "PyFile_DupClose";
constexpr const char *sig_file_dup = "__pyx_ctuple_FILE__ptr__and_7vondrel_3_io_vdl_off_t (PyObject *, char *)";
constexpr const char *sig_file_dup_close = "int (PyObject *, FILE *, vdl_off_t)";

}  // namespace vondrel
