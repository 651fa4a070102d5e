#include "vondrel/common/errors.hpp"

#include "vondrel/common/ref.hpp"

#include <frameobject.h>

#include <cstdint>

namespace vondrel {

PyObject *as_int_object(PyObject *obj)
{
    if (PyLong_Check(obj))
        return Py_NewRef(obj);
    PyNumberMethods *nb = Py_TYPE(obj)->tp_as_number;
    if (!nb || !nb->nb_int) {
        PyErr_SetString(PyExc_TypeError, msg_int_required);
        return nullptr;
    }
    PyObject *converted = nb->nb_int(obj);
    if (converted && !PyLong_Check(converted)) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(converted)->tp_name);
        Py_CLEAR(converted);
    }
    return converted;
}

int to_c_int(PyObject *obj, int *out)
{
    long value;
    if (PyLong_CheckExact(obj)) {
        value = PyLong_AsLong(obj);
    } else {
        Ref converted(as_int_object(obj));
        if (!converted)
            return -1;
        value = PyLong_AsLong(converted.get());
    }
    if (value == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError))
            return -1;
        PyErr_Clear();
        value = INT64_MAX;
    }
    if (value < INT32_MIN || value > INT32_MAX)
        return raise_int_overflow();
    *out = static_cast<int>(value);
    return 0;
}

int raise_int_overflow()
{
    PyErr_SetString(PyExc_OverflowError, msg_int_overflow);
    return -1;
}

PyObject *refuse_pickle(PyObject *, PyObject *)
{
    PyErr_SetString(PyExc_TypeError, msg_no_reduce);
    return nullptr;
}

void add_traceback(const char *file, const char *where, PyObject *globals)
{
    PyObject *pending = PyErr_GetRaisedException();
    if (!pending)
        return;
    PyCodeObject *code = PyCode_NewEmpty(file, where, 0);
    Ref held(as_object(code));
    PyFrameObject *frame = code ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    Ref frame_held(as_object(frame));
    PyErr_Clear();
    PyErr_SetRaisedException(pending);
    if (frame)
        PyTraceBack_Here(frame);
}

void raise_with_context(PyObject *error, PyObject *context)
{
    if (context && context != error)
        PyException_SetContext(error, context);   // steals context
    else
        Py_XDECREF(context);
    PyErr_SetRaisedException(error);
}

}  // namespace vondrel
