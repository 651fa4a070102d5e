#include "vondrel/segy/trace/trace.hpp"

namespace vondrel {

namespace {

PyMethodDef trace_methods[] = {
    {"__reduce__", reinterpret_cast<PyCFunction>(refuse_pickle), METH_NOARGS, nullptr},
    {"__setstate__", reinterpret_cast<PyCFunction>(refuse_pickle), METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

TraceVTable trace_vtable{};

PyTypeObject TraceType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vondrel.segy.SEGYTrace",
    .tp_basicsize = sizeof(TraceObject),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_methods = trace_methods,
    .tp_new = PyType_GenericNew,
};

int trace_init()
{
    return 0;
}

}  // namespace vondrel
