#include "vondrel/segy/iterators/iterators.hpp"

namespace vondrel {

IteratorVTable memory_iterator_vtable{};

PyTypeObject MemoryIteratorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vondrel.segy._MemoryTraceIterator",
    .tp_basicsize = sizeof(MemoryIteratorObject),
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = "_MemoryTraceIterator(list traces)",
};

}  // namespace vondrel
