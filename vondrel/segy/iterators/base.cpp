#include "vondrel/segy/collection/segy.hpp"
#include "vondrel/segy/iterators/iterators.hpp"

namespace vondrel {

namespace {

PyMethodDef base_methods[] = {
    {"to_memory", reinterpret_cast<PyCFunction>(iterator_to_memory), METH_NOARGS, "BaseTraceIterator.to_memory(self)"},
    {"to_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(iterator_to_file)), METH_FASTCALL | METH_KEYWORDS, "BaseTraceIterator.to_file(self, filename)"},
    {"to_stream", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(iterator_to_stream)), METH_FASTCALL | METH_KEYWORDS, "BaseTraceIterator.to_stream(self, stream)"},
    {"__reduce__", reinterpret_cast<PyCFunction>(refuse_pickle), METH_NOARGS, nullptr},
    {"__setstate__", reinterpret_cast<PyCFunction>(refuse_pickle), METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

IteratorVTable base_iterator_vtable{};

PyTypeObject BaseIteratorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vondrel.segy.BaseTraceIterator",
    .tp_basicsize = sizeof(IteratorObject),
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_methods = base_methods,
    .tp_new = PyType_GenericNew,
};

int iterators_init()
{
    return 0;
}

}  // namespace vondrel
