// A stand-in for vondrel._io with failures on demand, for the file
// iterator's tests.  Loaded in a child interpreter under the name
// vondrel._io before vondrel.segy is imported.  The stream is a dup() of
// the file's descriptor at the file object's position; giving it back
// moves the file object to where the stream stopped.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdio>
#include <unistd.h>

namespace {

using vdl_off_t = std::int64_t;

struct FileDup {
    FILE *fp;
    vdl_off_t orig_pos;
};

int dup_failures = 0;     // the next n PyFile_Dup calls raise
int close_failures = 0;   // the next n PyFile_DupClose calls release the stream, then raise
long streams_held = 0;    // streams handed out and not given back

FileDup file_dup(PyObject *file, char *mode)
{
    if (dup_failures > 0) {
        --dup_failures;
        PyErr_SetString(PyExc_OSError, "fake dup failure");
        return {nullptr, 0};
    }
    PyObject *pos = PyObject_CallMethod(file, "tell", nullptr);
    if (!pos)
        return {nullptr, 0};
    long long at = PyLong_AsLongLong(pos);
    Py_DECREF(pos);
    if (at == -1 && PyErr_Occurred())
        return {nullptr, 0};
    int fd = PyObject_AsFileDescriptor(file);
    if (fd < 0)
        return {nullptr, 0};
    int copy = dup(fd);
    if (copy < 0) {
        PyErr_SetFromErrno(PyExc_OSError);
        return {nullptr, 0};
    }
    FILE *fp = fdopen(copy, mode);
    if (!fp) {
        close(copy);
        PyErr_SetFromErrno(PyExc_OSError);
        return {nullptr, 0};
    }
    fseeko64(fp, at, SEEK_SET);
    ++streams_held;
    return {fp, at};
}

int file_dup_close(PyObject *file, FILE *fp, vdl_off_t)
{
    if (close_failures > 0) {
        --close_failures;
        fclose(fp);
        --streams_held;
        PyErr_SetString(PyExc_OSError, "fake close failure");
        return -1;
    }
    long long at = ftello64(fp);
    fclose(fp);
    --streams_held;
    PyObject *r = PyObject_CallMethod(file, "seek", "L", at);
    Py_XDECREF(r);
    return r ? 0 : -1;
}

PyObject *fail(PyObject *, PyObject *args)
{
    if (!PyArg_ParseTuple(args, "ii", &dup_failures, &close_failures))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *held(PyObject *, PyObject *)
{
    return PyLong_FromLong(streams_held);
}

PyMethodDef methods[] = {
    {"fail", fail, METH_VARARGS, "fail(n_dup, n_close): make the next calls raise"},
    {"held", held, METH_NOARGS, "held(): streams handed out and not given back"},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject *module)
{
    PyObject *capi = PyDict_New();
    if (!capi)
        return -1;
    PyObject *dup_capsule = PyCapsule_New(reinterpret_cast<void *>(&file_dup),
        "__pyx_ctuple_FILE__ptr__and_7vondrel_3_io_vdl_off_t (PyObject *, char *)", nullptr);
    PyObject *close_capsule = PyCapsule_New(reinterpret_cast<void *>(&file_dup_close),
        "int (PyObject *, FILE *, vdl_off_t)", nullptr);
    int status = dup_capsule && close_capsule && PyDict_SetItemString(capi, "PyFile_Dup", dup_capsule) == 0 &&
                         PyDict_SetItemString(capi, "PyFile_DupClose", close_capsule) == 0
                     ? PyModule_AddObjectRef(module, "__pyx_capi__", capi)
                     : -1;
    Py_XDECREF(dup_capsule);
    Py_XDECREF(close_capsule);
    Py_DECREF(capi);
    return status;
}

PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void *>(&exec_module)}, {0, nullptr}};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "iters_fake_bridge",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = methods,
    .m_slots = slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject *PyInit_iters_fake_bridge()
{
    return PyModuleDef_Init(&module_def);
}
