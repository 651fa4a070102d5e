// The same header in a C++17 extension module: the import, the record
// operations and SEGYTrace's table, used the way C++ code would use them.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <memory>

#include "segy_api.h"

namespace {

struct RecordDeleter {
    void operator()(segy *t) const { vondrel_del_trace(t, 1); }
};
using Record = std::unique_ptr<segy, RecordDeleter>;

// copied_trace(ns) -> SEGYTrace wrapping a copy_of a new record whose
// samples are 0.25 * k and whose header has tracl 11 and ntr 5.  The trace
// owns record and samples.
PyObject *copied_trace(PyObject *, PyObject *arg)
{
    int ns = PyLong_AsInt(arg);
    if (ns == -1 && PyErr_Occurred())
        return nullptr;
    Record source(vondrel_new_trace(ns));
    if (!source)
        return PyErr_NoMemory();
    source->tracl = 11;
    source->ntr = 5;
    for (int k = 0; k < source->ns; ++k)
        source->data[k] = 0.25f * static_cast<float>(k);
    Record copy(vondrel_copy_of(source.get(), nullptr));
    if (!copy)
        return PyErr_NoMemory();
    vondrel_from_trace_opt owns_all{2, 1, 1};
    vondrel_SEGYTrace *trace = vondrel_SEGYTrace_vtab->from_trace(copy.get(), &owns_all);
    if (!trace)
        return nullptr;
    static_cast<void>(copy.release());
    return reinterpret_cast<PyObject *>(trace);
}

PyMethodDef methods[] = {
    {"copied_trace", copied_trace, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int client_exec(PyObject *)
{
    return vondrel_segy_import();
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(client_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "segy_cxx_client",
    nullptr,
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_segy_cxx_client()
{
    return PyModuleDef_Init(&module_def);
}
