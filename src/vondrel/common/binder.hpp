// The one argument binder of the vondrel extensions: every method, function
// and constructor that takes arguments binds them here, so that every
// callable reports a bad call the same way, in the same order of checks as
// generated extension code:
//
//   1. too many positional arguments
//        f() takes exactly 1 positional argument (2 given)
//   2. the first required parameter given neither way, counting the
//      parameters bound before it
//        __init__() takes at least 2 positional arguments (1 given)
//   3. the first keyword, in call order, that names no parameter or one
//      already given positionally (or is not a str)
//        to_file() got an unexpected keyword argument 'path'
//        __init__() got multiple values for keyword argument 'dt'
//
// Usage: one Params per callable, at namespace scope, naming the parameters
// in order; then bind in the function (METH_FASTCALL | METH_KEYWORDS, or a
// type's vectorcall) or in tp_init:
//
//   Params to_file_params{"to_file", {"filename"}};          // all required
//   Params open_params{"open", {"path", "mode", "count"}, 1}; // path required
//
//   PyObject *thing_to_file(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
//   {
//       PyObject *filename;                        // borrowed from the call
//       if (to_file_params.bind(args, nargs, kwnames, &filename) < 0)
//           return nullptr;                        // TypeError set
//       ...
//   }
//
//   int thing_init(PyObject *self, PyObject *args, PyObject *kwds)
//   {
//       PyObject *values[3];                       // null where not given
//       if (open_params.bind(args, kwds, values) < 0)
//           return -1;
//       ...
//   }
//
// A callable that also takes **kwargs passes an ExtraKeywords to bind and
// is declared with the extra_keywords marker:
//   Params init_params{"__init__", {"trace_data", "dt"}, extra_keywords};  Parameters from `positional` on
// are keyword-only.  Names are interned on the first call.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "vondrel/common/ref.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

namespace vondrel {

// Marks a Params whose callable also takes **kwargs.
struct TakesExtraKeywords {};
inline constexpr TakesExtraKeywords extra_keywords{};

// The keywords of a **kwargs callable that no named parameter takes, in
// call order: two tuples of equal length (new references, empty when none).
struct ExtraKeywords {
    Ref names;
    Ref values;
};

class Signature {
public:
    // Binds a vectorcall argument list (`nargs` positional values, then one
    // value per name in `kwnames`, which may be null).  Stores one borrowed
    // value per parameter in `values`, null for an optional parameter not
    // given.  `extra` receives the other keywords of a **kwargs callable
    // and must be null for any other.  0, or -1 with TypeError (MemoryError
    // when the names cannot be made).
    int bind(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **values,
             ExtraKeywords *extra = nullptr);

    // The same for a tp_init call: `args` a tuple, `kwds` a dict or null.
    // The values are borrowed from the tuple and the dict.
    int bind(PyObject *args, PyObject *kwds, PyObject **values, ExtraKeywords *extra = nullptr);

    Py_ssize_t size() const { return n_; }

    // The interned name of parameter `i` (borrowed; null before the first
    // bind or ready()).
    PyObject *name(Py_ssize_t i) const { return names_[i]; }

    // Interns the names now (bind does so on first use).  0, or -1.
    int ready();

    // For a TypeError of a call bound elsewhere (a fast path that checked
    // the call itself): raises the count error of `given` positional
    // arguments.  Always -1.
    int raise_count(Py_ssize_t given) const;

protected:
    struct Slot {
        PyObject *name;
        Py_ssize_t index;
    };
    constexpr Signature(const char *func, const char *const *texts, PyObject **names, Slot *table,
                        std::size_t table_size, Py_ssize_t n, Py_ssize_t required, Py_ssize_t positional,
                        bool extra_keywords)
        : func_(func), texts_(texts), names_(names), table_(table), table_mask_(table_size ? table_size - 1 : 0),
          n_(n), required_(required), positional_(positional), extra_keywords_(extra_keywords)
    {
    }

private:
    static constexpr Py_ssize_t not_a_string = -2;
    Py_ssize_t index_of(PyObject *key) const;
    int raise_missing(Py_ssize_t index) const;
    int raise_keyword(PyObject *key, Py_ssize_t nargs) const;
    int collect_extra(PyObject *const *kwvalues, PyObject *kwnames, Py_ssize_t n_extra,
                      ExtraKeywords *extra) const;

    const char *func_;
    const char *const *texts_;
    PyObject **names_;
    Slot *table_;              // names by address, for long parameter lists
    std::size_t table_mask_;   // 0: no table, walk the names
    Py_ssize_t n_;
    Py_ssize_t required_;
    Py_ssize_t positional_;
    bool extra_keywords_;
    bool ready_ = false;
};

// The parameters of one callable: `func` as the messages name it, the
// parameter names in order, how many lead as required, how many may be
// given positionally, and whether it takes **kwargs.
template <std::size_t N>
class Params : public Signature {
public:
    constexpr Params(const char *func, const char *const (&texts)[N], Py_ssize_t required = N,
                     Py_ssize_t positional = N)
        : Signature(func, texts_, names_, table_, table_size, N, required, positional, false)
    {
        for (std::size_t i = 0; i < N; ++i)
            texts_[i] = texts[i];
    }
    constexpr Params(const char *func, const char *const (&texts)[N], TakesExtraKeywords)
        : Signature(func, texts_, names_, table_, table_size, N, N, N, true)
    {
        for (std::size_t i = 0; i < N; ++i)
            texts_[i] = texts[i];
    }
    constexpr Params(const char *func, const std::array<const char *, N> &texts, Py_ssize_t required,
                     Py_ssize_t positional = N)
        : Signature(func, texts_, names_, table_, table_size, N, required, positional, false)
    {
        for (std::size_t i = 0; i < N; ++i)
            texts_[i] = texts[i];
    }

private:
    // Long lists are searched through an open-addressing table at most a
    // quarter full; short ones are walked.
    static constexpr std::size_t table_size = [] {
        if (N <= 8)
            return std::size_t{0};
        std::size_t size = 1;
        while (size < 4 * N)
            size *= 2;
        return size;
    }();
    const char *texts_[N] = {};
    PyObject *names_[N] = {};
    Slot table_[table_size ? table_size : 1] = {};
};

}  // namespace vondrel
