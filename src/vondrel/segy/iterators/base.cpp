// BaseTraceIterator: the single-pass iterator over SEGYTrace objects whose
// step is the native virtual operation next_trace.
#include "vondrel/segy/iterators/internal.hpp"
#include "vondrel/segy/iterators/iterators.hpp"

namespace vondrel {

namespace {

constexpr const char *msg_not_implemented = "cdef next_trace is not implemented on %S.";

// The base step, reached by BaseTraceIterator itself and by Python
// subclasses: there is no trace source, so it always fails with
// NotImplementedError naming the instance's type.
TraceObject *base_iterator_next_trace(IteratorObject *self)
{
    PyErr_Format(PyExc_NotImplementedError, msg_not_implemented, as_object(Py_TYPE(self)));
    return nullptr;
}

void base_iterator_dealloc(PyObject *self)
{
    Py_TYPE(self)->tp_free(self);
}

// tp_iternext: the hot path goes straight to the virtual step.
PyObject *base_iterator_iternext(PyObject *self)
{
    auto *it = as<IteratorObject>(self);
    return as_object(it->vtab->next_trace(it));
}

// __next__ called as a method: the step's result, or StopIteration when it
// ends without setting an exception.  New reference, or null.
PyObject *base_iterator_next_method(PyObject *self, PyObject *)
{
    PyObject *trace = base_iterator_iternext(self);
    if (!trace && !PyErr_Occurred())
        PyErr_SetNone(PyExc_StopIteration);
    return trace;
}

PyMethodDef base_methods[] = {
    {"__next__", base_iterator_next_method, METH_NOARGS | METH_COEXIST, nullptr},
    {"to_memory", as_cfunction(iterator_to_memory), METH_NOARGS, "BaseTraceIterator.to_memory(self)"},
    {"to_file", as_cfunction(iterator_to_file), METH_FASTCALL | METH_KEYWORDS, "BaseTraceIterator.to_file(self, filename)"},
    {"to_stream", as_cfunction(iterator_to_stream), METH_FASTCALL | METH_KEYWORDS, "BaseTraceIterator.to_stream(self, stream)"},
    {"__reduce__", as_cfunction(refuse_pickle), METH_NOARGS, nullptr},
    {"__setstate__", as_cfunction(refuse_pickle), METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject *base_iterator_new(PyTypeObject *type, PyObject *, PyObject *)
{
    PyObject *self = type->tp_alloc(type, 0);
    if (!self)
        return nullptr;
    auto *it = as<IteratorObject>(self);
    it->vtab = &base_iterator_vtable;
    it->index = 0;
    it->n_traces = 0;
    return self;
}

IteratorVTable base_iterator_vtable{
    .next_trace = base_iterator_next_trace,
};

PyTypeObject BaseIteratorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vondrel.segy.BaseTraceIterator",
    .tp_basicsize = sizeof(IteratorObject),
    .tp_dealloc = base_iterator_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = base_iterator_iternext,
    .tp_methods = base_methods,
    .tp_new = base_iterator_new,
};

}  // namespace vondrel
