#include "vondrel/common/binder.hpp"

#include "vondrel/common/errors.hpp"

#include <memory>

namespace vondrel {

namespace {

std::size_t slot_of(PyObject *name, std::size_t mask)
{
    return (reinterpret_cast<std::uintptr_t>(name) >> 4) & mask;
}

// Frees the argument vector laid out for a tp_init call.
struct PyMemFree {
    void operator()(PyObject **p) const { PyMem_Free(p); }
};

}  // namespace

int Signature::ready()
{
    if (ready_)
        return 0;
    for (Py_ssize_t i = 0; i < n_; ++i) {
        if (!names_[i] && !(names_[i] = PyUnicode_InternFromString(texts_[i])))
            return -1;
    }
    if (table_mask_) {
        for (Py_ssize_t i = 0; i < n_; ++i) {
            std::size_t slot = slot_of(names_[i], table_mask_);
            while (table_[slot].name)
                slot = (slot + 1) & table_mask_;
            table_[slot] = {names_[i], i};
        }
    }
    ready_ = true;
    return 0;
}

// The parameter that `key` names, or -1, or not_a_string.  A name spelled
// in source code is interned and matches by address; any other str by value.
Py_ssize_t Signature::index_of(PyObject *key) const
{
    if (table_mask_) {
        for (std::size_t slot = slot_of(key, table_mask_); table_[slot].name; slot = (slot + 1) & table_mask_) {
            if (table_[slot].name == key)
                return table_[slot].index;
        }
    } else {
        for (Py_ssize_t i = 0; i < n_; ++i) {
            if (names_[i] == key)
                return i;
        }
    }
    if (!PyUnicode_Check(key))
        return not_a_string;
    for (Py_ssize_t i = 0; i < n_; ++i) {
        if (PyUnicode_Compare(names_[i], key) == 0)
            return i;
    }
    return -1;
}

int Signature::raise_count(Py_ssize_t given) const
{
    Py_ssize_t least = required_ < positional_ ? required_ : positional_;
    Py_ssize_t expected = given < least ? least : positional_;
    const char *bound = least == positional_ ? "exactly" : given < least ? "at least" : "at most";
    PyErr_Format(PyExc_TypeError, msg_arg_count, func_, bound,
                 expected, expected == 1 ? "" : "s", given);
    return -1;
}

// A required parameter left unbound: counted like a short positional list
// when it could have been positional.
int Signature::raise_missing(Py_ssize_t index) const
{
    if (index < positional_)
        return raise_count(index);
    PyErr_Format(PyExc_TypeError, msg_missing_keyword_only, func_, names_[index]);
    return -1;
}

int Signature::raise_keyword(PyObject *key, Py_ssize_t nargs) const
{
    Py_ssize_t index = index_of(key);
    if (index == not_a_string)
        PyErr_Format(PyExc_TypeError, msg_keywords_not_strings, func_);
    else if (index >= 0 && index < nargs)
        PyErr_Format(PyExc_TypeError, msg_repeated_keyword, func_, key);
    else
        PyErr_Format(PyExc_TypeError, msg_unexpected_keyword, func_, key);
    return -1;
}

int Signature::collect_extra(PyObject *const *kwvalues, PyObject *kwnames, Py_ssize_t n_extra,
                             ExtraKeywords *extra) const
{
    extra->names.reset(PyTuple_New(n_extra));
    extra->values.reset(PyTuple_New(n_extra));
    if (!extra->names || !extra->values)
        return -1;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0, j = 0; k < nkw && j < n_extra; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        if (index_of(key) >= 0)
            continue;
        PyTuple_SET_ITEM(extra->names.get(), j, Py_NewRef(key));
        PyTuple_SET_ITEM(extra->values.get(), j, Py_NewRef(kwvalues[k]));
        ++j;
    }
    return 0;
}

int Signature::bind(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **values,
                    ExtraKeywords *extra)
{
    if (!ready_ && ready() < 0)
        return -1;
    if (nargs > positional_)
        return raise_count(nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i)
        values[i] = args[i];
    for (Py_ssize_t i = nargs; i < n_; ++i)
        values[i] = nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject *const *kwvalues = args + nargs;
    Py_ssize_t misplaced = -1;   // the first keyword that binding refuses
    Py_ssize_t n_extra = 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t index = index_of(key);
        if (index >= nargs)                  // a call's keywords are distinct
            values[index] = kwvalues[k];
        else if (index == -1 && extra_keywords_)
            ++n_extra;
        else if (misplaced < 0)
            misplaced = k;
    }
    for (Py_ssize_t i = nargs; i < required_; ++i) {
        if (!values[i])
            return raise_missing(i);
    }
    if (misplaced >= 0)
        return raise_keyword(PyTuple_GET_ITEM(kwnames, misplaced), nargs);
    return extra ? collect_extra(kwvalues, kwnames, n_extra, extra) : 0;
}

int Signature::bind(PyObject *args, PyObject *kwds, PyObject **values, ExtraKeywords *extra)
{
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    PyObject *const *positional = &PyTuple_GET_ITEM(args, 0);
    Py_ssize_t nkw = kwds ? PyDict_GET_SIZE(kwds) : 0;
    if (nkw == 0 || nargs > positional_)
        return bind(positional, nargs, nullptr, values, extra);
    // Lay the keywords out as a vectorcall would.
    Ref kwnames(PyTuple_New(nkw));
    std::unique_ptr<PyObject *[], PyMemFree> stack(PyMem_New(PyObject *, nargs + nkw));
    if (!kwnames)
        return -1;
    if (!stack) {
        PyErr_NoMemory();
        return -1;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i)
        stack[i] = positional[i];
    Py_ssize_t pos = 0;
    PyObject *key = nullptr;
    PyObject *value = nullptr;
    for (Py_ssize_t k = 0; k < nkw && PyDict_Next(kwds, &pos, &key, &value); ++k) {
        PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(key));
        stack[nargs + k] = value;
    }
    return bind(stack.get(), nargs, kwnames.get(), values, extra);
}

}  // namespace vondrel
