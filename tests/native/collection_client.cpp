// A native client of vondrel.segy for the collection tests: it reaches
// SEGY.from_trace_iterator through the class's __pyx_vtable__ capsule, as
// any module deriving from the classes would, and runs a type's tp_clear.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

struct CollectionVTable {
    PyObject *(*from_trace_iterator)(PyObject *iterator);
};

// wrap(segy_type, iterator): SEGY.from_trace_iterator(iterator).
PyObject *wrap(PyObject *, PyObject *args)
{
    PyObject *type = nullptr;
    PyObject *iterator = nullptr;
    if (!PyArg_ParseTuple(args, "OO", &type, &iterator))
        return nullptr;
    PyObject *capsule = PyObject_GetAttrString(type, "__pyx_vtable__");
    if (!capsule)
        return nullptr;
    auto *vtab = static_cast<CollectionVTable *>(PyCapsule_GetPointer(capsule, nullptr));
    Py_DECREF(capsule);
    if (!vtab)
        return nullptr;
    return vtab->from_trace_iterator(iterator);
}

// clear(obj): runs the garbage collector's clear slot of obj's type.
PyObject *clear(PyObject *, PyObject *obj)
{
    inquiry fn = Py_TYPE(obj)->tp_clear;
    if (!fn) {
        PyErr_SetString(PyExc_TypeError, "type has no tp_clear");
        return nullptr;
    }
    fn(obj);
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"wrap", wrap, METH_VARARGS, nullptr},
    {"clear", clear, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "collection_client",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = methods,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_collection_client()
{
    return PyModule_Create(&def);
}
