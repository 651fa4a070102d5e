// vondrel._arrays: whole trace files to and from NumPy arrays.  The bulk
// byte work of vondrel.read and vondrel.write lives here; the policy (what
// a file is, what to check, the Gather class) is in vondrel/_files.py.
// Traces are reached through the published interface of vondrel.segy, as
// any native client reaches them.
#include "vondrel/_arrays/block.hpp"
#include "vondrel/_arrays/stream.hpp"

#include "vondrel/segy_api.h"

namespace {

using namespace vondrel::arrays;

PyMethodDef arrays_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

// Takes the interface of vondrel.segy and makes the types ready.  0, or -1
// with an exception set.
int arrays_exec(PyObject *module)
{
    if (vondrel_segy_import() < 0)
        return -1;
    if (PyType_Ready(&BlockType) < 0)
        return -1;
    if (PyModule_AddObjectRef(module, "_Block", reinterpret_cast<PyObject *>(&BlockType)) < 0)
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
