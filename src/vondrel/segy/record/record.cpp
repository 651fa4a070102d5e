#include "vondrel/segy/record/record.hpp"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr const char *msg_alloc_structure = "Unable to allocate trace structure.";
constexpr const char *msg_read_header = "Unable to read trace header from file.";
constexpr const char *msg_read_samples = "Unable to read expected number of trace samples.";

// A buffer of n samples from the heap; a request for none yields a non-null
// one-byte block so that "no samples" is never mistaken for failure.
float *alloc_samples(std::size_t n)
{
    return static_cast<float *>(std::malloc(n ? n * sizeof(float) : 1));
}

}  // namespace

segy *new_trace(int ns)
{
    auto *t = static_cast<segy *>(std::malloc(sizeof(segy)));
    if (!t)
        return nullptr;
    std::memset(t, 0, trace_header_size);
    t->data = nullptr;
    if (ns < 1)
        return t;
    t->ns = static_cast<std::uint16_t>(ns);
    t->data = alloc_samples(t->ns);
    if (!t->data) {
        std::free(t);
        return nullptr;
    }
    return t;
}

segy *copy_of(segy *src, copy_of_opt *)
{
    // Copying from a missing record or from samples that are not there would
    // read through a null pointer: refuse like an allocation failure.
    if (!src || (src->ns && !src->data))
        return nullptr;
    auto *t = static_cast<segy *>(std::malloc(sizeof(segy)));
    if (!t)
        return nullptr;
    std::memcpy(t, src, trace_header_size);
    t->data = nullptr;
    if (src->ns == 0)
        return t;
    t->data = alloc_samples(src->ns);
    if (!t->data) {
        std::free(t);
        return nullptr;
    }
    std::memcpy(t->data, src->data, std::size_t{src->ns} * sizeof(float));
    return t;
}

void del_trace(segy *t, int free_data)
{
    if (!t)
        return;
    if (free_data) {
        std::free(t->data);
        t->data = nullptr;
    }
    std::free(t);
}

segy *read_trace_record(FILE *fp)
{
    segy *t = new_trace(0);
    if (!t) {
        PyErr_SetString(PyExc_MemoryError, msg_alloc_structure);
        return nullptr;
    }
    if (std::fread(t, trace_header_size, 1, fp) != 1) {
        del_trace(t, 1);
        PyErr_SetString(PyExc_OSError, msg_read_header);
        return nullptr;
    }
    t->data = alloc_samples(t->ns);
    if (!t->data) {
        del_trace(t, 1);
        PyErr_SetString(PyExc_MemoryError, msg_alloc_structure);
        return nullptr;
    }
    if (std::fread(t->data, sizeof(float), t->ns, fp) != t->ns) {
        del_trace(t, 1);
        PyErr_SetString(PyExc_OSError, msg_read_samples);
        return nullptr;
    }
    return t;
}

int write_trace_record(const segy *t, FILE *fp)
{
    // A header that announces samples the record does not hold is refused
    // before anything reaches the stream, so no half trace is left behind.
    if (t->ns && !t->data) {
        PyErr_SetString(PyExc_OSError, msg_write_data);
        return -1;
    }
    if (std::fwrite(t, trace_header_size, 1, fp) != 1) {
        PyErr_SetString(PyExc_OSError, msg_write_header);
        return -1;
    }
    if (t->ns && std::fwrite(t->data, sizeof(float), t->ns, fp) != t->ns) {
        PyErr_SetString(PyExc_OSError, msg_write_data);
        return -1;
    }
    return 0;
}
