// _MemoryTraceIterator: hands out, in order, the SEGYTrace objects of the
// caller's own list, without copying the list or the traces.
#include "vondrel/common/binder.hpp"
#include "vondrel/segy/iterators/internal.hpp"
#include "vondrel/segy/iterators/iterators.hpp"

#include <climits>

namespace vondrel {

namespace {

constexpr const char *msg_wrong_arg_type = "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)";
constexpr const char *msg_none_not_iterable = "'NoneType' object is not iterable";
constexpr const char *msg_none_not_subscriptable = "'NoneType' object is not subscriptable";
constexpr const char *msg_not_a_trace_item = "Every item in trace list must be a SEGYTrace, not a %S";

Params init_params{"__init__", {"traces"}};

// Allocation: the base step, this kind's operations, traces None.
// New reference, or null.
PyObject *memory_iterator_new(PyTypeObject *type, PyObject *args, PyObject *kwds)
{
    PyObject *self = base_iterator_new(type, args, kwds);
    if (!self)
        return nullptr;
    auto *it = as<MemoryIteratorObject>(self);
    it->base.vtab = &memory_iterator_vtable;
    it->traces = Py_NewRef(Py_None);
    return self;
}

// __init__(self, traces): keeps the caller's list (not a copy) and fixes
// the count at its present length once every item is known to be a trace.
// The list is stored before it is checked, as callers may observe.
int memory_iterator_init(PyObject *op, PyObject *args, PyObject *kwds)
{
    auto *self = as<MemoryIteratorObject>(op);
    PyObject *traces = nullptr;
    if (init_params.bind(args, kwds, &traces) < 0)
        return -1;
    if (traces != Py_None && !PyList_CheckExact(traces)) {
        PyErr_Format(PyExc_TypeError, msg_wrong_arg_type, "traces", "list", Py_TYPE(traces)->tp_name);
        return -1;
    }
    Py_SETREF(self->traces, Py_NewRef(traces));
    if (traces == Py_None) {
        PyErr_SetString(PyExc_TypeError, msg_none_not_iterable);
        return -1;
    }
    // The type checks run no Python code, so the list cannot change under the walk.
    Py_ssize_t length = PyList_GET_SIZE(traces);
    for (Py_ssize_t i = 0; i < length; ++i) {
        PyObject *item = PyList_GET_ITEM(traces, i);
        if (!PyObject_TypeCheck(item, &TraceType)) {
            PyErr_Format(PyExc_TypeError, msg_not_a_trace_item, as_object(Py_TYPE(item)));
            return -1;
        }
    }
    if (length > INT_MAX) {
        return raise_int_overflow();
    }
    self->base.n_traces = static_cast<int>(length);
    return 0;
}

void memory_iterator_dealloc(PyObject *op)
{
    auto *self = as<MemoryIteratorObject>(op);
    PyObject_GC_UnTrack(op);
    Py_CLEAR(self->traces);
    Py_TYPE(op)->tp_free(op);
}

int memory_iterator_traverse(PyObject *op, visitproc visit, void *arg)
{
    Py_VISIT(as<MemoryIteratorObject>(op)->traces);
    return 0;
}

int memory_iterator_clear(PyObject *op)
{
    Py_SETREF(as<MemoryIteratorObject>(op)->traces, Py_NewRef(Py_None));
    return 0;
}

// next_trace: the list's own item at `index` (new reference), accepted when
// it is a trace or None.  StopIteration at the count; IndexError when the
// list has shrunk below `index`, TypeError for any other item, both leaving
// `index` where it was.
TraceObject *memory_iterator_next_trace(IteratorObject *base)
{
    auto *self = as<MemoryIteratorObject>(base);
    if (base->index == base->n_traces) {
        PyErr_SetNone(PyExc_StopIteration);
        return nullptr;
    }
    if (!PyList_Check(self->traces)) {
        PyErr_SetString(PyExc_TypeError, msg_none_not_subscriptable);
        return nullptr;
    }
    PyObject *item = PyList_GetItemRef(self->traces, base->index);
    if (!item)
        return nullptr;
    if (item != Py_None && !PyObject_TypeCheck(item, &TraceType)) {
        raise_not_a_trace(item);
        Py_DECREF(item);
        return nullptr;
    }
    ++base->index;
    return reinterpret_cast<TraceObject *>(item);   // a trace, or None as the step's contract allows
}

}  // namespace

IteratorVTable memory_iterator_vtable{
    .next_trace = memory_iterator_next_trace,
};

PyTypeObject MemoryIteratorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vondrel.segy._MemoryTraceIterator",
    .tp_basicsize = sizeof(MemoryIteratorObject),
    .tp_dealloc = memory_iterator_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "_MemoryTraceIterator(list traces)",
    .tp_traverse = memory_iterator_traverse,
    .tp_clear = memory_iterator_clear,
    .tp_init = memory_iterator_init,
    .tp_new = memory_iterator_new,
    .tp_free = PyObject_GC_Del,
};

}  // namespace vondrel
