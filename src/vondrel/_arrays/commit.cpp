#include "vondrel/_arrays/commit.hpp"

#include "vondrel/common/binder.hpp"
#include "vondrel/common/ref.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>

#include <pthread.h>

namespace vondrel::arrays {

namespace {

// SIGINT held back in the calling thread for as long as it lives, the
// thread's mask as it was restored at the end.
class HeldInterrupt {
public:
    HeldInterrupt()
    {
        sigemptyset(&interrupt_);
        sigaddset(&interrupt_, SIGINT);
        pthread_sigmask(SIG_BLOCK, &interrupt_, &before_);
    }
    ~HeldInterrupt() { pthread_sigmask(SIG_SETMASK, &before_, nullptr); }
    HeldInterrupt(const HeldInterrupt &) = delete;
    HeldInterrupt &operator=(const HeldInterrupt &) = delete;

    // Whether the caller held SIGINT back already.
    bool held_before() const { return sigismember(&before_, SIGINT) == 1; }

    // Whether a SIGINT waits, held back, to be delivered.
    bool waiting() const
    {
        sigset_t pending;
        return sigpending(&pending) == 0 && sigismember(&pending, SIGINT) == 1;
    }

    // Lets a waiting SIGINT be delivered now (its C handler notes it for
    // the interpreter), then holds the next one back again.
    void deliver() const
    {
        pthread_sigmask(SIG_SETMASK, &before_, nullptr);
        pthread_sigmask(SIG_BLOCK, &interrupt_, nullptr);
    }

private:
    sigset_t interrupt_;
    sigset_t before_;
};

Params replace_params{"replace", {"src", "dst"}};

}  // namespace

// replace(src, dst): renames `src` over `dst` unless an interrupt has
// arrived.  With SIGINT held back in this thread, the handlers of the
// signals that arrived before run first (PyErr_CheckSignals); one that
// raises (KeyboardInterrupt) leaves both names as they were.  A SIGINT
// that arrives after that waits until the rename is done, or, when it
// arrived first, is delivered and handled before it.  Where the caller
// holds SIGINT back itself, a SIGINT waiting for it refuses the rename
// with InterruptedError.  None, or the rename's OSError naming both paths.

PyObject *arrays_replace(PyObject *, PyObject *const *call, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *values[2];
    if (replace_params.bind(call, nargs, kwnames, values) < 0)
        return nullptr;
    PyObject *raw_src = nullptr, *raw_dst = nullptr;
    if (!PyUnicode_FSConverter(values[0], &raw_src))
        return nullptr;
    Ref src(raw_src);
    if (!PyUnicode_FSConverter(values[1], &raw_dst))
        return nullptr;
    Ref dst(raw_dst);
    int rc, err;
    {
        HeldInterrupt held;
        for (;;) {
            if (PyErr_CheckSignals() < 0)
                return nullptr;
            if (!held.waiting())
                break;
            if (held.held_before()) {
                errno = EINTR;
                return PyErr_SetFromErrnoWithFilenameObjects(PyExc_OSError, values[0], values[1]);
            }
            held.deliver();
        }
        rc = std::rename(PyBytes_AS_STRING(src.get()), PyBytes_AS_STRING(dst.get()));
        err = errno;
    }
    if (rc != 0) {
        errno = err;
        return PyErr_SetFromErrnoWithFilenameObjects(PyExc_OSError, values[0], values[1]);
    }
    Py_RETURN_NONE;
}

}  // namespace vondrel::arrays
