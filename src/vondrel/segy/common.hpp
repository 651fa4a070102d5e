// Private declarations shared by every part of vondrel.segy: the bridge
// operations taken from vondrel._io, the module object, the one table of
// interned names, and module-namespace look-ups.
#pragma once

#include "vondrel/_io/bridge.hpp"
#include "vondrel/common/errors.hpp"
#include "vondrel/common/ref.hpp"

namespace vondrel {

// Set once by module execution; callers test PyErr_Occurred() after each call.
extern FileDupFn PyFile_Dup;
extern FileDupCloseFn PyFile_DupClose;

// The one module object of the process (borrowed by everyone, owned by
// module.cpp); null until execution starts.
extern PyObject *loaded_module;

// Looks `name` up in the module namespace, then in the built-ins, on every
// call (callers must see a rebinding of io, os or nullcontext).  New
// reference; NameError when neither has it.
PyObject *module_global(PyObject *name);

// Looks `name` up on `obj`; any exception counts as absence and is
// discarded.  New reference, or null with no exception set.
PyObject *lookup_or_absent(PyObject *obj, PyObject *name);

// Calls obj.name() / obj.name(arg) by interned name.  New reference.
inline PyObject *call_method0(PyObject *obj, PyObject *name)
{
    return PyObject_CallMethodNoArgs(obj, name);
}
inline PyObject *call_method1(PyObject *obj, PyObject *name, PyObject *arg)
{
    return PyObject_CallMethodOneArg(obj, name, arg);
}

// The names of the module, interned once in module execution step 2
// (make_names), in one table.
struct Names {
    // methods and attributes of file objects and streams
    PyObject *read, *write, *name, *flush, *fileno, *close, *closed;
    // module bindings, built-ins and their attributes
    PyObject *io, *os, *nullcontext, *np, *open, *fspath, *fsync, *require, *float32, *ndarray;
    PyObject *file_io, *buffered_reader, *buffered_writer, *from_bytes;
    PyObject *enter, *exit;
    // the collection's properties and keywords
    PyObject *on_disk, *in_memory, *is_iterator, *dt, *ntr, *dtype, *requirements, *byteorder;
    // constant values
    PyObject *rb, *wb, *little, *c_order, *module_name;
    PyObject *byteorder_kwnames;   // ("byteorder",)
};
extern Names names;

// Interns the names; module execution step 2.  0, or -1 with an exception set.
int make_names();

}  // namespace vondrel
