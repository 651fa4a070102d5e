// The helpers common.hpp declares and the module's table of names.
#include "vondrel/segy/common.hpp"

#include "vondrel/common/names.hpp"

namespace vondrel {

FileDupFn PyFile_Dup = nullptr;
FileDupCloseFn PyFile_DupClose = nullptr;
PyObject *loaded_module = nullptr;
Names names{};

PyObject *module_global(PyObject *name)
{
    PyObject *value = nullptr;
    if (loaded_module) {
        if (PyDict_GetItemRef(PyModule_GetDict(loaded_module), name, &value) < 0)
            return nullptr;
        if (value)
            return value;
    }
    if (PyDict_GetItemRef(PyEval_GetBuiltins(), name, &value) < 0)
        return nullptr;
    if (!value)
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return value;
}

PyObject *lookup_or_absent(PyObject *obj, PyObject *name)
{
    PyObject *value = nullptr;
    if (PyObject_GetOptionalAttr(obj, name, &value) < 0)
        PyErr_Clear();
    return value;
}

int make_names()
{
    const NameEntry entries[] = {
        {&names.read, "read"},
        {&names.write, "write"},
        {&names.name, "name"},
        {&names.flush, "flush"},
        {&names.fileno, "fileno"},
        {&names.close, "close"},
        {&names.closed, "closed"},
        {&names.io, "io"},
        {&names.os, "os"},
        {&names.nullcontext, "nullcontext"},
        {&names.np, "np"},
        {&names.open, "open"},
        {&names.fspath, "fspath"},
        {&names.fsync, "fsync"},
        {&names.require, "require"},
        {&names.float32, "float32"},
        {&names.ndarray, "ndarray"},
        {&names.file_io, "FileIO"},
        {&names.buffered_reader, "BufferedReader"},
        {&names.buffered_writer, "BufferedWriter"},
        {&names.from_bytes, "from_bytes"},
        {&names.enter, "__enter__"},
        {&names.exit, "__exit__"},
        {&names.on_disk, "on_disk"},
        {&names.in_memory, "in_memory"},
        {&names.is_iterator, "is_iterator"},
        {&names.dt, "dt"},
        {&names.ntr, "ntr"},
        {&names.dtype, "dtype"},
        {&names.requirements, "requirements"},
        {&names.byteorder, "byteorder"},
        {&names.rb, "rb"},
        {&names.wb, "wb"},
        {&names.little, "little"},
        {&names.c_order, "C"},
        {&names.module_name, "vondrel.segy"},
    };
    if (intern_names(entries) < 0)
        return -1;
    if (!names.byteorder_kwnames && !(names.byteorder_kwnames = PyTuple_Pack(1, names.byteorder)))
        return -1;
    return 0;
}

}  // namespace vondrel
