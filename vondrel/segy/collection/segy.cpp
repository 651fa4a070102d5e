#include "vondrel/segy/collection/segy.hpp"

namespace vondrel {

namespace {

PyObject *collection_stub(PyObject *, PyObject *)
{
    Py_RETURN_NONE;
}

PyMethodDef collection_methods[] = {
    {"from_file", collection_stub, METH_O | METH_CLASS, "SEGY.from_file(cls, filename)"},
    {"to_memory", collection_stub, METH_NOARGS, "SEGY.to_memory(self)"},
    {"to_file", collection_stub, METH_O, "SEGY.to_file(self, filename)"},
    {"to_stream", collection_stub, METH_O, "SEGY.to_stream(self, stream)"},
    {"__reduce__", reinterpret_cast<PyCFunction>(refuse_pickle), METH_NOARGS, nullptr},
    {"__setstate__", reinterpret_cast<PyCFunction>(refuse_pickle), METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject *iterator_to_memory(PyObject *, PyObject *)
{
    Py_RETURN_NONE;
}

PyObject *iterator_to_file(PyObject *, PyObject *const *, Py_ssize_t, PyObject *)
{
    Py_RETURN_NONE;
}

PyObject *iterator_to_stream(PyObject *, PyObject *const *, Py_ssize_t, PyObject *)
{
    Py_RETURN_NONE;
}

CollectionVTable collection_vtable{};

PyTypeObject CollectionType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vondrel.segy.SEGY",
    .tp_basicsize = sizeof(CollectionObject),
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = "SEGY(trace_data, dt, **kwargs)",
    .tp_methods = collection_methods,
};

int collection_init()
{
    return 0;
}

}  // namespace vondrel
