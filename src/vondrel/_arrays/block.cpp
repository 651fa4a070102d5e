#include "vondrel/_arrays/block.hpp"

#include "vondrel/common/errors.hpp"
#include "vondrel/common/names.hpp"
#include "vondrel/common/ref.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <sys/mman.h>

namespace vondrel::arrays {

namespace {

constexpr std::size_t huge_page = 2u << 20;

PyObject *name_release = nullptr;

// Memory lent to NumPy: bytes of its own (malloc'd), or bytes inside
// another object that stays alive, and its memory with it, while the
// block holds an export of it.
struct BlockObject {
    PyObject_HEAD
    unsigned char *data;  // freed with std::free in block_dealloc when owned
    Py_ssize_t size;
    Py_buffer keeper;     // the export that keeps borrowed bytes alive; obj null when owned
};

void block_dealloc(PyObject *self)
{
    auto *b = reinterpret_cast<BlockObject *>(self);
    if (b->keeper.obj)
        PyBuffer_Release(&b->keeper);
    else
        std::free(b->data);
    Py_TYPE(self)->tp_free(self);
}

int block_getbuffer(PyObject *self, Py_buffer *view, int flags)
{
    auto *b = reinterpret_cast<BlockObject *>(self);
    // A zero-length block still lends a valid address.
    static unsigned char empty[1];
    return PyBuffer_FillInfo(view, self, b->data ? b->data : empty, b->size, 0, flags);
}

// A new block with no bytes yet; null with an exception set.
BlockObject *new_block()
{
    auto *b = PyObject_New(BlockObject, &BlockType);
    if (b) {
        b->data = nullptr;
        b->size = 0;
        b->keeper.obj = nullptr;
    }
    return b;
}

PyBufferProcs block_as_buffer = {
    .bf_getbuffer = block_getbuffer,
    .bf_releasebuffer = nullptr,
};

}  // namespace

PyTypeObject BlockType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vondrel._arrays._Block",
    .tp_basicsize = sizeof(BlockObject),
    .tp_dealloc = block_dealloc,
    .tp_as_buffer = &block_as_buffer,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "Memory of a result array.",
};

int block_ready()
{
    const NameEntry entries[] = {{&name_release, "release"}};
    if (intern_names(entries) < 0)
        return -1;
    return PyType_Ready(&BlockType);
}

unsigned char *allocate_large(std::size_t bytes)
{
    if (bytes < 2 * huge_page)
        return static_cast<unsigned char *>(std::malloc(bytes ? bytes : 1));
    void *p = nullptr;
    if (posix_memalign(&p, huge_page, bytes) != 0)
        return nullptr;
    madvise(p, bytes, MADV_HUGEPAGE);   // advice only: its failure changes nothing
    return static_cast<unsigned char *>(p);
}

PyObject *call_on_memory(PyObject *obj, PyObject *name, unsigned char *p, Py_ssize_t n, int flags)
{
    Ref view(PyMemoryView_FromMemory(reinterpret_cast<char *>(p), n, flags));
    if (!view)
        return nullptr;
    Ref result(name ? PyObject_CallMethodOneArg(obj, name, view.get()) : PyObject_CallOneArg(obj, view.get()));
    PyObject *pending = PyErr_GetRaisedException();
    Ref released(PyObject_CallMethodNoArgs(view.get(), name_release));
    if (pending) {
        PyErr_SetRaisedException(pending);
        return nullptr;
    }
    return released ? result.release() : nullptr;
}

Py_ssize_t read_into_memory(PyObject *obj, PyObject *name, unsigned char *p, Py_ssize_t n)
{
    Ref got(call_on_memory(obj, name, p, n, PyBUF_WRITE));
    if (!got)
        return -1;
    if (got.get() == Py_None) {
        PyErr_SetString(PyExc_BlockingIOError, msg_no_data);
        return -1;
    }
    Py_ssize_t k = PyLong_AsSsize_t(got.get());
    if (k < 0 || k > n) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_OSError, msg_read_count);
        return -1;
    }
    return k;
}

Store::~Store()
{
    std::free(data_);
}

bool Store::reserve(std::size_t bytes, bool exact)
{
    if (bytes <= capacity_)
        return true;
    std::size_t want = exact ? bytes : std::max(bytes, capacity_ + capacity_ / 2 + 4096);
    unsigned char *grown;
    if (!data_) {
        grown = allocate_large(want);
    } else {
        grown = static_cast<unsigned char *>(std::realloc(data_, want));
    }
    if (!grown)
        return false;
    data_ = grown;
    capacity_ = want;
    return true;
}

unsigned char *Store::release()
{
    unsigned char *d = data_;
    data_ = nullptr;
    size_ = capacity_ = 0;
    return d;
}

PyObject *block_from_store(Store &store)
{
    BlockObject *b = new_block();
    if (!b)
        return nullptr;
    b->size = static_cast<Py_ssize_t>(store.size());
    b->data = store.release();
    return reinterpret_cast<PyObject *>(b);
}

PyObject *block_within(PyObject *owner, unsigned char *(*locate)(PyObject *), Py_ssize_t size)
{
    Ref block(reinterpret_cast<PyObject *>(new_block()));
    if (!block)
        return nullptr;
    auto *b = reinterpret_cast<BlockObject *>(block.get());
    if (PyObject_GetBuffer(owner, &b->keeper, PyBUF_SIMPLE) < 0) {
        b->keeper.obj = nullptr;
        return nullptr;
    }
    b->data = locate(owner);
    b->size = size;
    return block.release();
}

}  // namespace vondrel::arrays
