// Memory for result arrays: a growable byte store that native loops fill
// without the interpreter lock, and the Python object that takes the store
// over and lends it to NumPy through the buffer protocol.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

namespace vondrel::arrays {

// A malloc'd byte buffer with a size and a capacity.  Pure C++: safe
// without the interpreter lock.  Frees what it holds unless handed to a
// Block.
class Store {
public:
    Store() = default;
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;
    ~Store();

    unsigned char *data() const { return data_; }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    // Makes room for `bytes` in all, growing by half at least; false when
    // out of memory (the store is unchanged).
    bool reserve(std::size_t bytes, bool exact = false);
    void set_size(std::size_t bytes) { size_ = bytes; }
    // Gives the buffer away (the caller frees it with std::free).
    unsigned char *release();

private:
    unsigned char *data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

extern PyTypeObject BlockType;

// Makes BlockType ready and the names this file calls.  0, or -1 with an
// exception set.
int block_ready();

// A new Block owning the store's bytes (the store is left empty); null with
// the allocation's error.
PyObject *block_from_store(Store &store);

// A new Block lending `size` writable bytes inside `owner` (borrowed), at
// the address `locate(owner)` gives once the block holds an export of
// `owner`: the export is what keeps those bytes alive.  Null with the
// export's error.
PyObject *block_within(PyObject *owner, unsigned char *(*locate)(PyObject *), Py_ssize_t size);

// Calls obj.name(view), or obj(view) when name is null, with a memoryview
// lending `n` bytes at `p` (flags PyBUF_READ or PyBUF_WRITE), then releases
// the view, so that a callee that kept it cannot reach memory the caller
// frees or reuses later.  New reference; null with the call's error, which
// wins over the release's.
PyObject *call_on_memory(PyObject *obj, PyObject *name, unsigned char *p, Py_ssize_t n, int flags);

// One readinto of up to n bytes at p, as call_on_memory makes it (`name` a
// method of `obj`, or null to call `obj`): the count read, 0 at the end, or
// -1 with an exception set: BlockingIOError for None (a non-blocking stream
// with no data now), OSError for a count outside 0..n.
Py_ssize_t read_into_memory(PyObject *obj, PyObject *name, unsigned char *p, Py_ssize_t n);

// Allocates `bytes` for a large result (aligned, huge pages asked for where
// the system offers them, as NumPy does); null when out of memory.
unsigned char *allocate_large(std::size_t bytes);

}  // namespace vondrel::arrays
