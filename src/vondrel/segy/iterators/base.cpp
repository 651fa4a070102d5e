// BaseTraceIterator: the single-pass iterator over SEGYTrace objects whose
// step is the native virtual operation next_trace, plus the argument
// binding shared by the two concrete kinds.
#include "vondrel/segy/collection/segy.hpp"
#include "vondrel/segy/iterators/internal.hpp"
#include "vondrel/segy/iterators/iterators.hpp"

namespace vondrel {

namespace {

constexpr const char *msg_not_implemented = "cdef next_trace is not implemented on %S.";


// The index of `key` among `names`, or n when it is none of them.
Py_ssize_t parameter_index(PyObject *key, PyObject *const *names, Py_ssize_t n)
{
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (key == names[i])
            return i;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyUnicode_Compare(key, names[i]) == 0)
            return i;
    }
    return n;
}

// The base step, reached by BaseTraceIterator itself and by Python
// subclasses: there is no trace source, so it always fails with
// NotImplementedError naming the instance's type.
TraceObject *base_iterator_next_trace(IteratorObject *self)
{
    PyErr_Format(PyExc_NotImplementedError, msg_not_implemented, reinterpret_cast<PyObject *>(Py_TYPE(self)));
    return nullptr;
}

void base_iterator_dealloc(PyObject *self)
{
    Py_TYPE(self)->tp_free(self);
}

// tp_iternext: the hot path goes straight to the virtual step.
PyObject *base_iterator_iternext(PyObject *self)
{
    auto *it = reinterpret_cast<IteratorObject *>(self);
    return reinterpret_cast<PyObject *>(it->vtab->next_trace(it));
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
    {"to_memory", reinterpret_cast<PyCFunction>(iterator_to_memory), METH_NOARGS, "BaseTraceIterator.to_memory(self)"},
    {"to_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(iterator_to_file)), METH_FASTCALL | METH_KEYWORDS, "BaseTraceIterator.to_file(self, filename)"},
    {"to_stream", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(iterator_to_stream)), METH_FASTCALL | METH_KEYWORDS, "BaseTraceIterator.to_stream(self, stream)"},
    {"__reduce__", reinterpret_cast<PyCFunction>(refuse_pickle), METH_NOARGS, nullptr},
    {"__setstate__", reinterpret_cast<PyCFunction>(refuse_pickle), METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject *base_iterator_new(PyTypeObject *type, PyObject *, PyObject *)
{
    PyObject *self = type->tp_alloc(type, 0);
    if (!self)
        return nullptr;
    auto *it = reinterpret_cast<IteratorObject *>(self);
    it->vtab = &base_iterator_vtable;
    it->index = 0;
    it->n_traces = 0;
    return self;
}

Py_ssize_t Keywords::size() const
{
    if (dict_)
        return PyDict_GET_SIZE(dict_);
    return kwnames_ ? PyTuple_GET_SIZE(kwnames_) : 0;
}

int Keywords::find(PyObject *name, PyObject **value) const
{
    *value = nullptr;
    if (dict_) {
        *value = PyDict_GetItemWithError(dict_, name);
        return *value || !PyErr_Occurred() ? 0 : -1;
    }
    Py_ssize_t n = size();
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyTuple_GET_ITEM(kwnames_, i) == name) {
            *value = values_[i];
            return 0;
        }
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *key = PyTuple_GET_ITEM(kwnames_, i);
        if (PyUnicode_Check(key) && PyUnicode_Compare(key, name) == 0) {
            *value = values_[i];
            return 0;
        }
    }
    return 0;
}

PyObject *Keywords::key(Py_ssize_t pos) const
{
    if (kwnames_)
        return PyTuple_GET_ITEM(kwnames_, pos);
    Py_ssize_t cursor = 0;
    PyObject *key = nullptr;
    PyObject *value = nullptr;
    for (Py_ssize_t i = 0; PyDict_Next(dict_, &cursor, &key, &value); ++i) {
        if (i == pos)
            return key;
    }
    return nullptr;
}

// Fills the parameters not given positionally from the keywords; the first
// missing one ends binding with the count of parameters bound before it.
// Then, when some keywords were not used, the first of them decides the
// error.  0, or -1 with TypeError.
int bind_exact_args(const char *func, PyObject *const *names, Py_ssize_t n, PyObject *const *args,
                    Py_ssize_t nargs, const Keywords &kwargs, PyObject **values)
{
    if (nargs > n)
        return raise_arg_count(func, "exactly", n, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i)
        values[i] = args[i];
    Py_ssize_t n_keywords = kwargs.size();
    Py_ssize_t used = 0;
    for (Py_ssize_t i = nargs; i < n; ++i) {
        if (kwargs.find(names[i], &values[i]) < 0)
            return -1;
        if (!values[i])
            return raise_arg_count(func, "exactly", n, i);
        ++used;
    }
    if (used == n_keywords)
        return 0;
    for (Py_ssize_t pos = 0; pos < n_keywords; ++pos) {
        PyObject *key = kwargs.key(pos);
        if (!PyUnicode_Check(key)) {
            return raise_keywords_not_strings(func);
        }
        Py_ssize_t index = parameter_index(key, names, n);
        if (index == n) {
            return raise_unexpected_keyword(func, key);
        }
        if (index < nargs) {
            return raise_repeated_keyword(func, key);
        }
    }
    return 0;
}

int bind_exact_args(const char *func, PyObject *const *names, Py_ssize_t n, PyObject *args,
                    PyObject *kwds, PyObject **values)
{
    return bind_exact_args(func, names, n, PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args),
                           Keywords::from_dict(kwds), values);
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

int iterators_init()
{
    return memory_iterator_constants() < 0 || file_iterator_constants() < 0 ? -1 : 0;
}

}  // namespace vondrel
