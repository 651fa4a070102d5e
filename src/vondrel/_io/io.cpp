// vondrel._io: lends native code a stdio stream on the file behind a Python
// file object and takes it back.  Other native modules reach the two
// operations, PyFile_Dup and PyFile_DupClose, through this module's
// __pyx_capi__ dictionary; nothing else is offered to Python code.
//
// The stream works on a duplicate of the object's descriptor.  Both share one
// file offset, so the stream starts where the object logically stands (after
// the object's own buffer has been flushed and its read-ahead accounted for),
// and when the stream is given back the object is moved to where the stream
// stopped.  Between the two calls the caller uses only the stream.
//
// The second value PyFile_Dup returns is a ticket, unique to each loan, that
// PyFile_DupClose requires with the stream.  Like fclose, PyFile_DupClose
// releases the stream even when it raises, so a caller that tries again hands
// back a stream that no longer exists, whose address stdio may already have
// reused for another loan: the ticket tells the two apart.
#include "vondrel/_io/bridge.hpp"
#include "vondrel/common/ref.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

using vondrel::FileDup;
using vondrel::Ref;
using vondrel::sig_file_dup;
using vondrel::sig_file_dup_close;

static_assert(sizeof(off_t) == sizeof(vdl_off_t), "stdio offsets must be 64 bits wide");

// Large enough that a run of small trace reads or writes costs few system calls.
constexpr std::size_t stream_buffer_size = 256 * 1024;


constexpr const char *msg_missing_argument = "A file object and a mode are required.";
constexpr const char *msg_text_file = "A binary file object is required, not a text file.";
constexpr const char *msg_buffered_pipe =
    "Cannot read natively from a buffered file that cannot seek; open it with buffering=0.";
constexpr const char *msg_bad_position = "The file object reported a negative position.";
constexpr const char *msg_not_lent = "The stream was not lent by PyFile_Dup or was already given back.";

// One lent stream: the stream, its ticket, the stdio buffer given to it,
// what giving it back must do to the file object, and the descriptor status
// flags to put back when fdopen changed them (an append mode sets O_APPEND on
// the description the file object shares).
struct Loan {
    FILE *fp;
    vdl_off_t ticket;
    char *buffer;        // malloc'd here, freed after fclose; null when unbuffered
    int restore_flags;   // flags before fdopen, or -1 when they did not change
    bool seekable;       // the object is moved to where the stream stopped
    bool buffered;       // ... after dropping its read-ahead buffer
    Loan *next;
};

// Every stream lent and not yet given back, and the last ticket handed out.
// Only touched with the GIL held.
Loan *loans = nullptr;
vdl_off_t last_ticket = 0;

// Closes the loan's stream, if any, without reporting errors, and frees the
// loan: the clean-up of a PyFile_Dup that fails after allocating it.
struct LoanDiscard {
    void operator()(Loan *loan) const
    {
        if (loan->fp) {
            if (loan->restore_flags >= 0)
                fcntl(fileno(loan->fp), F_SETFL, loan->restore_flags);
            std::fclose(loan->fp);
        }
        std::free(loan->buffer);
        std::free(loan);
    }
};
using LoanHolder = std::unique_ptr<Loan, LoanDiscard>;

// Unlinks and returns the loan of `fp` under `ticket`, or null when there is
// none (never lent, or already given back).
Loan *take_loan(FILE *fp, vdl_off_t ticket)
{
    for (Loan **link = &loans; *link; link = &(*link)->next) {
        Loan *loan = *link;
        if (loan->fp == fp && loan->ticket == ticket) {
            *link = loan->next;
            loan->next = nullptr;
            return loan;
        }
    }
    return nullptr;
}

// Classes of the io module, taken once at module execution and kept for
// the life of the process, so that no import runs while a stream is lent
// or given back (not even during interpreter shutdown).  The module refuses
// a second interpreter, whose io classes would be others.
PyObject *io_text_base = nullptr;
PyObject *io_raw_base = nullptr;
PyObject *io_unsupported = nullptr;

// Raises io.UnsupportedOperation(message); always returns -1.
int raise_unsupported(const char *message)
{
    PyErr_SetString(io_unsupported, message);
    return -1;
}

// Flushes the object's own write buffer and stores in *pos the object's
// logical position (which accounts for bytes it has read ahead).  When
// tell() fails with OSError, *pos is -1 and that error is moved into
// *tell_error for the caller to judge once it knows the descriptor (a pipe
// cannot tell).  0, or -1 with an exception set.
int logical_position(PyObject *file, vdl_off_t *pos, Ref *tell_error)
{
    Ref flushed(PyObject_CallMethod(file, "flush", nullptr));
    if (!flushed)
        return -1;
    Ref told(PyObject_CallMethod(file, "tell", nullptr));
    if (!told) {
        if (!PyErr_ExceptionMatches(PyExc_OSError))
            return -1;
        tell_error->reset(PyErr_GetRaisedException());
        *pos = -1;
        return 0;
    }
    long long value = PyLong_AsLongLong(told.get());
    if (value == -1 && PyErr_Occurred())
        return -1;
    if (value < 0) {
        PyErr_SetString(PyExc_ValueError, msg_bad_position);
        return -1;
    }
    *pos = value;
    return 0;
}

// A tell() that failed (its OSError in `tell_error`) on descriptor `fd`
// means a pipe or a socket only when `fd` cannot seek; on a descriptor that
// can, it is an error.  0, or -1 with that error raised again.
int judge_tell_error(int fd, Ref &tell_error)
{
    if (!tell_error || (lseek(fd, 0, SEEK_CUR) < 0 && errno == ESPIPE))
        return 0;
    PyErr_SetRaisedException(tell_error.release());
    return -1;
}

// Moves `file` (borrowed) to `pos`.  A buffered object first seeks to the
// end: a seek to the start or the current position may be answered from a
// read-ahead buffer that the stream has made stale (its bytes, and the
// object's idea of the descriptor offset), while a seek to the end always
// drops that buffer.  Imports nothing, so that it works while the
// interpreter shuts down.  0, or -1 with the exception of seek().
int reposition(PyObject *file, bool buffered, vdl_off_t pos)
{
    if (buffered) {
        Ref at_end(PyObject_CallMethod(file, "seek", "ii", 0, SEEK_END));
        if (!at_end)
            return -1;
    }
    Ref moved(PyObject_CallMethod(file, "seek", "Li", static_cast<long long>(pos), SEEK_SET));
    return moved ? 0 : -1;
}

// Lends a stdio stream opened with the stdio `mode` on a duplicate of the
// descriptor of `file` (borrowed), starting at the object's logical
// position: the object's own buffer is flushed first, and bytes it has read
// ahead are read again by the stream.  Returns {stream, ticket}; the stream
// goes back through file_dup_close with that ticket, and only so.  A stream
// that reads a file that cannot seek is unbuffered, so that it never takes
// bytes from the file beyond those the caller reads.  Fails with {null, -1} and an exception: the object's own
// error when it has no descriptor (io.BytesIO raises io.UnsupportedOperation)
// or its flush() fails, io.UnsupportedOperation for a text file or a
// buffered reader that cannot seek (bytes it read ahead would be lost),
// OSError with errno when the descriptor cannot be duplicated or opened in
// that mode, MemoryError.
FileDup file_dup(PyObject *file, char *mode)
{
    constexpr FileDup failed = {nullptr, -1};
    if (!file || !mode) {
        PyErr_SetString(PyExc_ValueError, msg_missing_argument);
        return failed;
    }
    int text = PyObject_IsInstance(file, io_text_base);
    if (text < 0 || (text && raise_unsupported(msg_text_file) < 0))
        return failed;
    if (PyObject_AsFileDescriptor(file) < 0)    // an object without one is refused first
        return failed;
    int raw = PyObject_IsInstance(file, io_raw_base);
    if (raw < 0)
        return failed;
    vdl_off_t pos = -1;
    Ref tell_error;
    if (logical_position(file, &pos, &tell_error) < 0)
        return failed;
    // The descriptor to duplicate is asked for again, last: flush() and
    // tell() may run Python code and release the GIL, and another thread
    // may close the file meanwhile and have its number reused.  From here
    // to the duplication nothing runs Python code.
    int fd = PyObject_AsFileDescriptor(file);
    if (fd < 0 || judge_tell_error(fd, tell_error) < 0)
        return failed;
    bool reads = std::strchr(mode, 'r') || std::strchr(mode, '+');
    bool unbuffered = pos < 0 && reads;
    if (unbuffered && !raw && raise_unsupported(msg_buffered_pipe) < 0)
        return failed;

    LoanHolder loan(static_cast<Loan *>(std::calloc(1, sizeof(Loan))));
    if (!loan) {
        PyErr_NoMemory();
        return failed;
    }
    loan->restore_flags = -1;
    loan->seekable = pos >= 0;
    loan->buffered = !raw;
    if (!unbuffered) {
        loan->buffer = static_cast<char *>(std::malloc(stream_buffer_size));
        if (!loan->buffer) {
            PyErr_NoMemory();
            return failed;
        }
    }
    int flags = fcntl(fd, F_GETFL);
    int copy = flags < 0 ? -1 : fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
        PyErr_SetFromErrno(PyExc_OSError);
        return failed;
    }
    loan->fp = fdopen(copy, mode);
    if (!loan->fp) {
        int error = errno;
        close(copy);
        errno = error;
        PyErr_SetFromErrno(PyExc_OSError);
        return failed;
    }
    if (fcntl(copy, F_GETFL) != flags)
        loan->restore_flags = flags;
    errno = 0;
    int status = unbuffered ? std::setvbuf(loan->fp, nullptr, _IONBF, 0)
                            : std::setvbuf(loan->fp, loan->buffer, _IOFBF, stream_buffer_size);
    if (status != 0 || (pos >= 0 && fseeko(loan->fp, pos, SEEK_SET) != 0)) {
        if (errno == 0)
            errno = EIO;
        PyErr_SetFromErrno(PyExc_OSError);
        return failed;
    }
    loan->ticket = ++last_ticket;
    loan->next = loans;
    loans = loan.release();
    return {loans->fp, loans->ticket};
}

// Gives back a stream lent by file_dup with `ticket`, file_dup's second
// result: flushes and closes it (with its duplicate descriptor and its
// buffer), then moves `file` (borrowed) to where the stream stopped, dropping
// whatever the object had read ahead; a file that cannot seek keeps its
// position.  The stream is released whatever happens: the caller must not
// use it, fclose it or give it back again, even after an error.  Returns 0,
// or -1 with an exception set: OSError with errno when the stream could not
// be flushed or closed, meaning written bytes did not all reach the file
// (that error wins over one of seek()); ValueError for a stream and ticket
// that are not on loan (nothing is touched); the error of the object's seek().
int file_dup_close(PyObject *file, FILE *fp, vdl_off_t ticket)
{
    Loan *loan = file ? take_loan(fp, ticket) : nullptr;
    if (!loan) {
        PyErr_SetString(PyExc_ValueError, msg_not_lent);
        return -1;
    }
    int failure = 0;   // errno of the first failing step
    auto note = [&failure]() {
        if (!failure)
            failure = errno ? errno : EIO;
    };
    errno = 0;
    if (std::fflush(fp) != 0)
        note();
    // After fflush the shared offset is the stream's position for reading
    // and writing streams alike, including appends.
    off_t end = -1;
    if (loan->seekable) {
        end = lseek(fileno(fp), 0, SEEK_CUR);
        if (end < 0)
            note();
    }
    if (loan->restore_flags >= 0 && fcntl(fileno(fp), F_SETFL, loan->restore_flags) != 0)
        note();
    if (std::fclose(fp) != 0)
        note();
    bool buffered = loan->buffered;
    std::free(loan->buffer);
    std::free(loan);
    if (failure) {
        errno = failure;
        PyErr_SetFromErrno(PyExc_OSError);
    }
    if (end < 0)
        return failure ? -1 : 0;
    PyObject *pending = PyErr_GetRaisedException();   // may be null
    int moved = reposition(file, buffered, end);
    if (!pending)
        return moved;
    PyErr_Clear();
    PyErr_SetRaisedException(pending);
    return -1;
}

// Takes io.<name> into *slot once; 0, or -1 with an exception set.
int take_io_class(PyObject *io, const char *name, PyObject **slot)
{
    if (*slot)
        return 0;
    *slot = PyObject_GetAttrString(io, name);
    return *slot ? 0 : -1;
}

// Takes the io classes, then publishes the two operations in __pyx_capi__,
// each under a capsule named by its signature.  0, or -1 with an exception
// set.
int io_exec(PyObject *module)
{
    Ref io(PyImport_ImportModule("io"));
    if (!io || take_io_class(io.get(), "TextIOBase", &io_text_base) < 0 ||
        take_io_class(io.get(), "RawIOBase", &io_raw_base) < 0 ||
        take_io_class(io.get(), "UnsupportedOperation", &io_unsupported) < 0)
        return -1;
    Ref capi(PyDict_New());
    if (!capi)
        return -1;
    Ref dup(PyCapsule_New(vondrel::as_pointer(&file_dup), sig_file_dup, nullptr));
    if (!dup || PyDict_SetItemString(capi.get(), vondrel::name_file_dup, dup.get()) < 0)
        return -1;
    Ref dup_close(PyCapsule_New(vondrel::as_pointer(&file_dup_close), sig_file_dup_close, nullptr));
    if (!dup_close || PyDict_SetItemString(capi.get(), vondrel::name_file_dup_close, dup_close.get()) < 0)
        return -1;
    return PyModule_Add(module, "__pyx_capi__", capi.release());
}

PyModuleDef_Slot io_slots[] = {
    {Py_mod_exec, vondrel::as_pointer(&io_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

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
