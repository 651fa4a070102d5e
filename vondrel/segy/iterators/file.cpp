#include "vondrel/segy/iterators/iterators.hpp"

namespace vondrel {

namespace {

PyObject *file_iterator_dealoc(PyObject *, PyObject *)
{
    Py_RETURN_NONE;
}

PyObject *isfileobject(PyObject *, PyObject *const *, Py_ssize_t, PyObject *)
{
    Py_RETURN_FALSE;
}

PyMethodDef file_methods[] = {
    {"__dealoc__", file_iterator_dealoc, METH_NOARGS, "_FileTraceIterator.__dealoc__(self)"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef isfileobject_def = {"_isfileobject", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(isfileobject)), METH_FASTCALL | METH_KEYWORDS, "_isfileobject(f)"};

FileIteratorVTable file_iterator_vtable{};

PyTypeObject FileIteratorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vondrel.segy._FileTraceIterator",
    .tp_basicsize = sizeof(FileIteratorObject),
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = "_FileTraceIterator(file, int n_traces)",
    .tp_methods = file_methods,
};

}  // namespace vondrel
