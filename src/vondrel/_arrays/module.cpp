// vondrel._arrays: whole trace files to and from NumPy arrays.  The bulk
// byte work of vondrel.read and vondrel.write lives here; the policy (what
// a file is, what to check, the Gather class) is in vondrel/_files.py.
// Traces are reached through the published interface of vondrel.segy, as
// any native client reaches them.
#include "vondrel/_arrays/block.hpp"
#include "vondrel/_arrays/commit.hpp"
#include "vondrel/_arrays/handle.hpp"
#include "vondrel/_arrays/read.hpp"
#include "vondrel/_arrays/segy_module.hpp"
#include "vondrel/_arrays/traces.hpp"
#include "vondrel/_arrays/write.hpp"
#include "vondrel/_arrays/stream.hpp"
#include "vondrel/common/ref.hpp"

namespace {

using namespace vondrel::arrays;
using vondrel::as_cfunction;

constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef arrays_methods[] = {
    {"read", as_cfunction(arrays_read), fastcall,
     "read(source, offset, nbytes, limit, swap, samples, seek_headers, reserve_traces, reserve_samples, prefix, ns)"},
    {"scan", as_cfunction(arrays_scan), fastcall, "scan(fd, offset, nbytes, swap, limit, width=4)"},
    {"write", as_cfunction(arrays_write), fastcall, "write(dest, headers, flat, offsets, swap, direct, prefix)"},
    {"check_ns", as_cfunction(arrays_check_ns), fastcall, "check_ns(headers, offsets)"},
    {"header_bytes", as_cfunction(arrays_header_bytes), fastcall, "header_bytes(trace)"},
    {"copy_headers", as_cfunction(arrays_copy_headers), fastcall, "copy_headers(collection, headers)"},
    {"on_disk", as_cfunction(arrays_on_disk), fastcall, "on_disk(collection)"},
    {"gather", as_cfunction(arrays_gather), fastcall, "gather(iterable)"},
    {"replace", as_cfunction(arrays_replace), fastcall, "replace(src, dst)"},
    {nullptr, nullptr, 0, nullptr},
};

// Makes the types ready, taking the interface of vondrel.segy where it is
// used.  0, or -1 with an exception set.
int arrays_exec(PyObject *module)
{
    if (block_ready() < 0 || traces_ready() < 0 || add_segy_functions(module) < 0 ||
        add_handle_functions(module) < 0)
        return -1;
    return vondrel::stream_exec(module);
}

PyModuleDef_Slot arrays_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(&arrays_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef arrays_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vondrel._arrays",
    .m_doc = "Whole trace files to and from NumPy arrays (the engine of vondrel.read and vondrel.write).",
    .m_size = 0,
    .m_methods = arrays_methods,
    .m_slots = arrays_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject *PyInit__arrays()
{
    return PyModuleDef_Init(&arrays_def);
}
