// Owning references and typed access to the objects of the vondrel
// extensions.  Header-only: every extension links the rest of vondrel_common.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cassert>
#include <type_traits>

namespace vondrel {

class Ref {                       // owns one strong reference, or nothing
public:
    Ref() = default;
    explicit Ref(PyObject *stolen) : p_(stolen) {}          // takes a new reference
    static Ref borrow(PyObject *b) { return Ref(Py_XNewRef(b)); }
    Ref(Ref &&o) noexcept : p_(o.release()) {}
    Ref &operator=(Ref &&o) noexcept { reset(o.release()); return *this; }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    ~Ref() { Py_XDECREF(p_); }
    PyObject *get() const { return p_; }
    PyObject *release() { PyObject *r = p_; p_ = nullptr; return r; }
    void reset(PyObject *stolen = nullptr) { PyObject *old = p_; p_ = stolen; Py_XDECREF(old); }
    explicit operator bool() const { return p_ != nullptr; }
private:
    PyObject *p_ = nullptr;
};

// The object structs of the extensions name their Python type with a static
// `type()` (`static PyTypeObject *type() { return &TraceType; }`).  as<T>()
// views an object as T, checking in builds without NDEBUG that it is one
// (an instance of T's type or of a subclass); as_object() goes back.  These
// are the only places that cast between PyObject and an object struct.
template <class T>
T *as(PyObject *o)
{
    assert(!o || PyObject_TypeCheck(o, T::type()));
    return reinterpret_cast<T *>(o);
}

template <class T>
PyObject *as_object(T *o)
{
    return reinterpret_cast<PyObject *>(o);
}

// A type object handed in as an object.
inline PyTypeObject *as_type(PyObject *o)
{
    assert(!o || PyType_Check(o));
    return reinterpret_cast<PyTypeObject *>(o);
}

// From one object struct to another (a base to the kind it is).
template <class T, class U>
    requires(!std::is_same_v<U, PyObject>)
T *as(U *o)
{
    return as<T>(as_object(o));
}

// A function as the void * that capsules and module slots carry, and back.
template <class F>
void *as_pointer(F *f)
{
    return reinterpret_cast<void *>(f);
}

template <class F>
F as_function(void *p)
{
    return reinterpret_cast<F>(p);
}

// A Ref known to hold a T (or nothing): the owning reference of a typed
// object, as what allocation functions return.
template <class T>
class TypedRef {
public:
    TypedRef() = default;
    explicit TypedRef(T *stolen) : ref_(as_object(stolen)) {}
    T *get() const { return reinterpret_cast<T *>(ref_.get()); }
    T *operator->() const { return get(); }
    PyObject *object() const { return ref_.get(); }
    T *release() { return reinterpret_cast<T *>(ref_.release()); }
    explicit operator bool() const { return bool(ref_); }
private:
    Ref ref_;
};

// A C function of any of the METH_ signatures as the PyCFunction that
// PyMethodDef stores; the flags beside it tell CPython the real signature.
template <class F>
PyCFunction as_cfunction(F *f)
{
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace vondrel
