#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdio>

namespace {

using vdl_off_t = std::int64_t;

struct FileDup {
    FILE *fp;
    vdl_off_t orig_pos;
};

FileDup file_dup(PyObject *, char *)
{
    PyErr_SetString(PyExc_NotImplementedError, "not yet");
    return {nullptr, 0};
}

int file_dup_close(PyObject *, FILE *, vdl_off_t)
{
    return 0;
}

int io_exec(PyObject *module)
{
    PyObject *capi = PyDict_New();
    if (!capi)
        return -1;
    PyObject *a = PyCapsule_New(reinterpret_cast<void *>(&file_dup),
                                "__pyx_ctuple_FILE__ptr__and_7vondrel_3_io_vdl_off_t (PyObject *, char *)", nullptr);
    PyObject *b = PyCapsule_New(reinterpret_cast<void *>(&file_dup_close), "int (PyObject *, FILE *, vdl_off_t)", nullptr);
    if (a && b && PyDict_SetItemString(capi, "PyFile_Dup", a) == 0 && PyDict_SetItemString(capi, "PyFile_DupClose", b) == 0) {
        Py_DECREF(a);
        Py_DECREF(b);
        return PyModule_Add(module, "__pyx_capi__", capi);
    }
    Py_XDECREF(a);
    Py_XDECREF(b);
    Py_DECREF(capi);
    return -1;
}

PyModuleDef_Slot io_slots[] = {{Py_mod_exec, reinterpret_cast<void *>(&io_exec)}, {0, nullptr}};

PyModuleDef io_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_io",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = io_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject *PyInit__io()
{
    return PyModuleDef_Init(&io_def);
}
