// Test-only client of vondrel._io: takes PyFile_Dup and PyFile_DupClose from
// its __pyx_capi__ the way any native module does (the capsule names must be
// the signature strings) and offers thin wrappers around the borrowed stream.
// A stream handle is a capsule named "bridge_client.stream" holding the FILE *.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

using vdl_off_t = std::int64_t;

struct FileDup {
    FILE *fp;
    vdl_off_t orig_pos;
};

using FileDupFn = FileDup (*)(PyObject *, char *);
using FileDupCloseFn = int (*)(PyObject *, FILE *, vdl_off_t);

FileDupFn file_dup = nullptr;
FileDupCloseFn file_dup_close = nullptr;

constexpr const char *handle_name = "bridge_client.stream";
constexpr const char *sig_file_dup =
    "__pyx_ctuple_FILE__ptr__and_7vondrel_3_io_vdl_off_t (PyObject *, char *)";
constexpr const char *sig_file_dup_close = "int (PyObject *, FILE *, vdl_off_t)";

// Address of the capsule `name` of `capi`, whose name must be `signature`.
// Null with ImportError or TypeError.
void *import_function(PyObject *capi, const char *name, const char *signature)
{
    PyObject *capsule = nullptr;
    if (PyDict_GetItemStringRef(capi, name, &capsule) <= 0) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_ImportError, "vondrel._io does not export expected C function %s", name);
        return nullptr;
    }
    void *fn = nullptr;
    const char *actual = PyCapsule_GetName(capsule);
    if (actual && std::strcmp(actual, signature) == 0)
        fn = PyCapsule_GetPointer(capsule, actual);
    else if (!PyErr_Occurred())
        PyErr_Format(PyExc_TypeError, "C function vondrel._io.%s has wrong signature (expected %s, got %s)",
                     name, signature, actual ? actual : "");
    Py_DECREF(capsule);
    return fn;
}

FILE *stream_of(PyObject *handle)
{
    return static_cast<FILE *>(PyCapsule_GetPointer(handle, handle_name));
}

// dup(file, mode) -> (handle, orig_pos)
PyObject *client_dup(PyObject *, PyObject *args)
{
    PyObject *file;
    const char *mode;
    if (!PyArg_ParseTuple(args, "Os", &file, &mode))
        return nullptr;
    char mode_copy[16];
    std::snprintf(mode_copy, sizeof mode_copy, "%s", mode);
    FileDup lent = file_dup(file, mode_copy);
    if (PyErr_Occurred())
        return nullptr;
    PyObject *handle = PyCapsule_New(lent.fp, handle_name, nullptr);
    if (!handle)
        return nullptr;
    return Py_BuildValue("NL", handle, static_cast<long long>(lent.orig_pos));
}

// close(file, handle, orig_pos) -> status
PyObject *client_close(PyObject *, PyObject *args)
{
    PyObject *file, *handle;
    long long orig_pos;
    if (!PyArg_ParseTuple(args, "OOL", &file, &handle, &orig_pos))
        return nullptr;
    FILE *fp = stream_of(handle);
    if (!fp)
        return nullptr;
    int status = file_dup_close(file, fp, orig_pos);
    if (PyErr_Occurred())
        return nullptr;
    return PyLong_FromLong(status);
}

// close_foreign(file): gives back a stream that PyFile_Dup never lent.
PyObject *client_close_foreign(PyObject *, PyObject *file)
{
    FILE *fp = std::tmpfile();
    if (!fp)
        return PyErr_SetFromErrno(PyExc_OSError);
    int status = file_dup_close(file, fp, 0);
    std::fclose(fp);
    if (PyErr_Occurred())
        return nullptr;
    return PyLong_FromLong(status);
}

// read(handle, n) -> bytes (shorter at the end of the file)
PyObject *client_read(PyObject *, PyObject *args)
{
    PyObject *handle;
    Py_ssize_t n;
    if (!PyArg_ParseTuple(args, "On", &handle, &n))
        return nullptr;
    FILE *fp = stream_of(handle);
    if (!fp)
        return nullptr;
    PyObject *data = PyBytes_FromStringAndSize(nullptr, n);
    if (!data)
        return nullptr;
    std::size_t got = std::fread(PyBytes_AS_STRING(data), 1, static_cast<std::size_t>(n), fp);
    if (std::ferror(fp)) {
        Py_DECREF(data);
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    if (_PyBytes_Resize(&data, static_cast<Py_ssize_t>(got)) < 0)
        return nullptr;
    return data;
}

// write(handle, data) -> number of bytes fwrite took
PyObject *client_write(PyObject *, PyObject *args)
{
    PyObject *handle;
    Py_buffer data;
    if (!PyArg_ParseTuple(args, "Oy*", &handle, &data))
        return nullptr;
    FILE *fp = stream_of(handle);
    std::size_t put = fp ? std::fwrite(data.buf, 1, static_cast<std::size_t>(data.len), fp) : 0;
    PyBuffer_Release(&data);
    if (!fp)
        return nullptr;
    return PyLong_FromSize_t(put);
}

// skip(handle, n) -> fseeko64(fp, n, SEEK_CUR) status, as the file iterator skips the count
PyObject *client_skip(PyObject *, PyObject *args)
{
    PyObject *handle;
    long long n;
    if (!PyArg_ParseTuple(args, "OL", &handle, &n))
        return nullptr;
    FILE *fp = stream_of(handle);
    if (!fp)
        return nullptr;
    return PyLong_FromLong(fseeko64(fp, n, SEEK_CUR));
}

PyMethodDef client_methods[] = {
    {"dup", client_dup, METH_VARARGS, "dup(file, mode) -> (handle, orig_pos)"},
    {"close", client_close, METH_VARARGS, "close(file, handle, orig_pos) -> status"},
    {"close_foreign", client_close_foreign, METH_O, "close_foreign(file) -> status"},
    {"read", client_read, METH_VARARGS, "read(handle, n) -> bytes"},
    {"write", client_write, METH_VARARGS, "write(handle, data) -> int"},
    {"skip", client_skip, METH_VARARGS, "skip(handle, n) -> int"},
    {nullptr, nullptr, 0, nullptr},
};

int client_exec(PyObject *)
{
    PyObject *sibling = PyImport_ImportModule("vondrel._io");
    if (!sibling)
        return -1;
    PyObject *capi = PyObject_GetAttrString(sibling, "__pyx_capi__");
    Py_DECREF(sibling);
    if (!capi)
        return -1;
    file_dup = reinterpret_cast<FileDupFn>(import_function(capi, "PyFile_Dup", sig_file_dup));
    if (file_dup)
        file_dup_close = reinterpret_cast<FileDupCloseFn>(
            import_function(capi, "PyFile_DupClose", sig_file_dup_close));
    Py_DECREF(capi);
    return file_dup && file_dup_close ? 0 : -1;
}

PyModuleDef_Slot client_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(&client_exec)},
    {0, nullptr},
};

PyModuleDef client_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "bridge_client",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = client_methods,
    .m_slots = client_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

extern "C" PyObject *PyInit_bridge_client()
{
    return PyModuleDef_Init(&client_def);
}
