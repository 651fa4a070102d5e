// Helpers shared by the three iterator files only: the common allocation
// step, argument binding for the constructors and _isfileobject, and the
// constants initialisers of each kind.
#pragma once

#include "vondrel/segy/iterators/iterators.hpp"

namespace vondrel {

// The allocation step of every trace iterator: a new instance of `type`
// with the base operation table, index 0 and n_traces 0.  The arguments of
// the constructor call are ignored.  New reference, or null (MemoryError).
PyObject *base_iterator_new(PyTypeObject *type, PyObject *args, PyObject *kwds);

// The keywords of a call, either the dict of a tp_init call or the names
// tuple and values of a vectorcall.  Borrows everything from the caller.
class Keywords {
public:
    static Keywords from_dict(PyObject *dict) { return Keywords(dict, nullptr, nullptr); }
    static Keywords from_vector(PyObject *kwnames, PyObject *const *values)
    {
        return Keywords(nullptr, kwnames, values);
    }
    Py_ssize_t size() const;
    // The value passed for `name` (borrowed), or null; -1 on error.
    int find(PyObject *name, PyObject **value) const;
    // The key at `pos` of 0..size()-1 (borrowed).
    PyObject *key(Py_ssize_t pos) const;

private:
    Keywords(PyObject *dict, PyObject *kwnames, PyObject *const *values)
        : dict_(dict), kwnames_(kwnames), values_(values) {}
    PyObject *dict_;
    PyObject *kwnames_;
    PyObject *const *values_;
};

// Binds exactly `n` required parameters called `names` (interned str) of
// the function `func` from `nargs` positional arguments and the keywords,
// into `values` (borrowed).  Errors are the TypeErrors that generated
// extension code raises, e.g. "__init__() takes exactly 2 positional
// arguments (1 given)" or "__init__() got an unexpected keyword argument
// 'x'".  0, or -1 with the exception set.
int bind_exact_args(const char *func, PyObject *const *names, Py_ssize_t n, PyObject *const *args,
                    Py_ssize_t nargs, const Keywords &kwargs, PyObject **values);

// The same for a tp_init call: `args` is a tuple, `kwds` a dict or null.
int bind_exact_args(const char *func, PyObject *const *names, Py_ssize_t n, PyObject *args,
                    PyObject *kwds, PyObject **values);

// The constants of each kind, made by iterators_init(); 0 or -1.
int memory_iterator_constants();
int file_iterator_constants();

}  // namespace vondrel
