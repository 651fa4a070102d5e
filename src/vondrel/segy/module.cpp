// vondrel.segy: module creation and execution, the published record
// operations, class registration and the import of the file-handle bridge.
#include "vondrel/segy/collection/segy.hpp"
#include "vondrel/segy/common.hpp"
#include "vondrel/segy/iterators/iterators.hpp"
#include "vondrel/segy/record/record.hpp"
#include "vondrel/segy/trace/trace.hpp"

#include <cstring>

namespace {

using namespace vondrel;

constexpr const char *msg_interpreter_change =
    "Interpreter change detected - this module can only be loaded into one interpreter per process.";
constexpr const char *msg_reinit =
    "Module 'segy' has already been imported. Re-initialisation is not supported.";
constexpr const char *msg_missing_function = "%.200s does not export expected C function %.200s";
constexpr const char *msg_wrong_signature =
    "C function %.200s.%.200s has wrong signature (expected %.500s, got %.500s)";

constexpr const char *sig_new_trace = "segy *(int)";
constexpr const char *sig_copy_of =
    "segy *(segy *, struct __pyx_opt_args_7vondrel_4segy_copy_of *__pyx_optional_args)";
constexpr const char *sig_del_trace = "void (segy *, int)";

PY_INT64_T owning_interpreter = -1;

// Copies spec.<attr> to module.<key>; a missing spec attribute is skipped,
// None is copied unless `skip_none`.  0, or -1 with an exception set.
int copy_spec_attr(PyObject *spec, PyObject *module, const char *attr, const char *key, bool skip_none)
{
    PyObject *value = nullptr;
    if (PyObject_GetOptionalAttrString(spec, attr, &value) < 0)
        return -1;
    Ref held(value);
    if (!value || (skip_none && value == Py_None))
        return 0;
    return PyObject_SetAttrString(module, key, value);
}

// Py_mod_create.  Returns the module (new reference), or null.
PyObject *module_create(PyObject *spec, PyModuleDef *)
{
    PY_INT64_T current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1)
        return nullptr;
    if (owning_interpreter == -1) {
        owning_interpreter = current;
    } else if (owning_interpreter != current) {
        PyErr_SetString(PyExc_ImportError, msg_interpreter_change);
        return nullptr;
    }
    if (loaded_module)
        return Py_NewRef(loaded_module);

    Ref name(PyObject_GetAttrString(spec, "name"));
    if (!name)
        return nullptr;
    Ref module(PyModule_NewObject(name.get()));
    if (!module)
        return nullptr;
    if (copy_spec_attr(spec, module.get(), "loader", "__loader__", false) < 0 ||
        copy_spec_attr(spec, module.get(), "origin", "__file__", false) < 0 ||
        copy_spec_attr(spec, module.get(), "parent", "__package__", false) < 0 ||
        copy_spec_attr(spec, module.get(), "submodule_search_locations", "__path__", true) < 0)
        return nullptr;
    return module.release();
}

// Step 2: constants, built-ins, and the entry in sys.modules.
int exec_constants(PyObject *module)
{
    if (make_names() < 0 || trace_init() < 0)
        return -1;
    // The step looks up the built-in `open` once, failing the import without it.
    Ref open(PyObject_GetItem(PyEval_GetBuiltins(), names.open));
    if (!open)
        return -1;
    PyObject *standing = nullptr;
    if (PyDict_SetDefaultRef(PyImport_GetModuleDict(), names.module_name, module, &standing) < 0)
        return -1;
    Py_XDECREF(standing);
    return 0;
}

// Publishes `fn` in `capi` under `name`, in a capsule named by its
// signature string.  0, or -1 with an exception set.
int add_capsule(PyObject *capi, const char *name, void *fn, const char *signature)
{
    Ref capsule(PyCapsule_New(fn, signature, nullptr));
    if (!capsule)
        return -1;
    return PyDict_SetItemString(capi, name, capsule.get());
}

// Step 3: __pyx_capi__ with the three record operations.
int exec_capi(PyObject *module)
{
    PyObject *found = nullptr;
    if (PyObject_GetOptionalAttrString(module, "__pyx_capi__", &found) < 0)
        return -1;
    Ref capi(found);
    if (!capi) {
        capi.reset(PyDict_New());
        if (!capi || PyObject_SetAttrString(module, "__pyx_capi__", capi.get()) < 0)
            return -1;
    }
    return add_capsule(capi.get(), "new_trace", as_pointer(&new_trace), sig_new_trace) < 0 ||
                   add_capsule(capi.get(), "copy_of", as_pointer(&copy_of), sig_copy_of) < 0 ||
                   add_capsule(capi.get(), "del_trace", as_pointer(&del_trace), sig_del_trace) < 0
               ? -1
               : 0;
}

// Readies one class, stores its __pyx_vtable__ capsule and binds it in the
// module under its short name.
int register_class(PyObject *module, PyTypeObject *type, void *vtable, PyTypeObject *base)
{
    if (base)
        type->tp_base = base;
    if (PyType_Ready(type) < 0)
        return -1;
    Ref capsule(PyCapsule_New(vtable, nullptr, nullptr));
    if (!capsule)
        return -1;
    Ref dict(PyType_GetDict(type));
    if (!dict || PyDict_SetItemString(dict.get(), "__pyx_vtable__", capsule.get()) < 0)
        return -1;
    PyType_Modified(type);
    const char *dot = std::strrchr(type->tp_name, '.');
    return PyModule_AddObjectRef(module, dot ? dot + 1 : type->tp_name,
                                 as_object(type));
}

// Step 4: the five classes in their registration order.
int exec_classes(PyObject *module)
{
    return register_class(module, &TraceType, &trace_vtable, nullptr) < 0 ||
                   register_class(module, &CollectionType, &collection_vtable, nullptr) < 0 ||
                   register_class(module, &BaseIteratorType, &base_iterator_vtable, nullptr) < 0 ||
                   register_class(module, &MemoryIteratorType, &memory_iterator_vtable, &BaseIteratorType) < 0 ||
                   register_class(module, &FileIteratorType, &file_iterator_vtable, &BaseIteratorType) < 0
               ? -1
               : 0;
}

// Takes one operation from the sibling's __pyx_capi__, checking the capsule
// name against the expected signature.  0, or -1 with ImportError/TypeError.
int import_function(PyObject *sibling, PyObject *capi, const char *name, void **fn, const char *signature)
{
    PyObject *capsule = nullptr;
    if (PyDict_Check(capi)) {
        if (PyDict_GetItemStringRef(capi, name, &capsule) < 0)
            return -1;
    } else {
        capsule = PyMapping_GetItemString(capi, name);
        if (!capsule) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError))
                return -1;
            PyErr_Clear();
        }
    }
    Ref held(capsule);
    const char *module_name = PyModule_Check(sibling) ? PyModule_GetName(sibling) : "vondrel._io";
    if (!module_name)
        return -1;
    if (!capsule) {
        PyErr_Format(PyExc_ImportError, msg_missing_function, module_name, name);
        return -1;
    }
    const char *actual = PyCapsule_GetName(capsule);
    if (!actual && PyErr_Occurred())
        return -1;
    if (!actual || std::strcmp(actual, signature) != 0) {
        PyErr_Format(PyExc_TypeError, msg_wrong_signature, module_name, name, signature,
                     actual ? actual : "");
        return -1;
    }
    *fn = PyCapsule_GetPointer(capsule, actual);
    return *fn ? 0 : -1;
}

// Step 5: PyFile_Dup and PyFile_DupClose from vondrel._io.
int exec_bridge()
{
    Ref sibling(PyImport_ImportModule("vondrel._io"));
    if (!sibling)
        return -1;
    Ref capi(PyObject_GetAttrString(sibling.get(), "__pyx_capi__"));
    if (!capi)
        return -1;
    void *dup = nullptr;
    void *dup_close = nullptr;
    if (import_function(sibling.get(), capi.get(), name_file_dup, &dup, sig_file_dup) < 0 ||
        import_function(sibling.get(), capi.get(), name_file_dup_close, &dup_close, sig_file_dup_close) < 0)
        return -1;
    PyFile_Dup = as_function<FileDupFn>(dup);
    PyFile_DupClose = as_function<FileDupCloseFn>(dup_close);
    return 0;
}

// Step 6: import io; import os; from contextlib import nullcontext; import numpy as np.
int exec_imports(PyObject *module)
{
    Ref io(PyImport_ImportModule("io"));
    if (!io || PyObject_SetAttr(module, names.io, io.get()) < 0)
        return -1;
    Ref os(PyImport_ImportModule("os"));
    if (!os || PyObject_SetAttr(module, names.os, os.get()) < 0)
        return -1;
    Ref contextlib(PyImport_ImportModule("contextlib"));
    if (!contextlib)
        return -1;
    Ref nullcontext(PyObject_GetAttr(contextlib.get(), names.nullcontext));
    if (!nullcontext) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_ImportError, "cannot import name nullcontext");
        }
        return -1;
    }
    if (PyObject_SetAttr(module, names.nullcontext, nullcontext.get()) < 0)
        return -1;
    Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy || PyObject_SetAttr(module, names.np, numpy.get()) < 0)
        return -1;
    return 0;
}

// Rebinds the method `name` of `type`'s method table into its dictionary.
int bind_method(PyTypeObject *type, const char *name)
{
    PyMethodDef *def = type->tp_methods;
    while (def && def->ml_name && std::strcmp(def->ml_name, name) != 0)
        ++def;
    if (!def || !def->ml_name) {
        PyErr_Format(PyExc_SystemError, "%s has no method %s", type->tp_name, name);
        return -1;
    }
    Ref descr(def->ml_flags & METH_CLASS ? PyDescr_NewClassMethod(type, def) : PyDescr_NewMethod(type, def));
    if (!descr)
        return -1;
    Ref dict(PyType_GetDict(type));
    if (!dict || PyDict_SetItemString(dict.get(), name, descr.get()) < 0)
        return -1;
    PyType_Modified(type);
    return 0;
}

// Steps 7 and 8: the Python methods, _isfileobject and __test__.
int exec_bindings(PyObject *module)
{
    struct Binding {
        PyTypeObject *type;
        const char *name;
    };
    const Binding bindings[] = {
        {&CollectionType, "from_file"},      {&CollectionType, "to_memory"},
        {&CollectionType, "to_file"},        {&CollectionType, "to_stream"},
        {&BaseIteratorType, "to_memory"},    {&BaseIteratorType, "to_file"},
        {&BaseIteratorType, "to_stream"},    {&FileIteratorType, "__dealoc__"},
    };
    for (const Binding &b : bindings) {
        if (bind_method(b.type, b.name) < 0)
            return -1;
    }
    Ref module_name(PyModule_GetNameObject(module));
    if (!module_name)
        return -1;
    Ref isfileobject(PyCFunction_NewEx(&isfileobject_def, nullptr, module_name.get()));
    if (!isfileobject || PyModule_AddObjectRef(module, "_isfileobject", isfileobject.get()) < 0)
        return -1;
    Ref test(PyDict_New());
    if (!test)
        return -1;
    return PyModule_AddObjectRef(module, "__test__", test.get());
}

// Py_mod_exec.  0, or -1 with an exception set (and the loaded module reset).
int module_exec(PyObject *module)
{
    if (loaded_module) {
        if (loaded_module == module)
            return 0;
        PyErr_SetString(PyExc_RuntimeError, msg_reinit);
        return -1;
    }
    loaded_module = Py_NewRef(module);
    if (exec_constants(module) < 0 || exec_capi(module) < 0 || exec_classes(module) < 0 ||
        exec_bridge() < 0 || exec_imports(module) < 0 || exec_bindings(module) < 0) {
        add_traceback("vondrel/segy/module.cpp", "init vondrel.segy", PyModule_GetDict(module));
        Py_CLEAR(loaded_module);
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, as_pointer(&module_create)},
    {Py_mod_exec, as_pointer(&module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "segy",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject *PyInit_segy()
{
    return PyModuleDef_Init(&module_def);
}
