// vondrel._arrays: module definition.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "vondrel/_arrays/stream.hpp"

namespace {

int arrays_exec(PyObject *module)
{
    return vondrel::stream_exec(module);
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(arrays_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vondrel._arrays",
    .m_size = 0,
    .m_slots = slots,
};

}  // namespace

PyMODINIT_FUNC PyInit__arrays()
{
    return PyModuleDef_Init(&module_def);
}
