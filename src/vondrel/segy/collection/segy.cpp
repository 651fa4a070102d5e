// SEGY: a collection of traces on disk, in memory or behind a trace
// iterator; its construction, the collection file, iteration and writing,
// and the collection shortcuts of every trace iterator.
#include "vondrel/segy/collection/segy.hpp"

#include "vondrel/common/binder.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <optional>

#include <fcntl.h>
#include <sys/uio.h>
#ifdef __GLIBC__
#include <stdio_ext.h>
#endif

namespace vondrel {

namespace {

constexpr const char *msg_no_mode = "SEGY file is not on disk, in memory, nor from an iterator.";
constexpr const char *msg_write_count = "Error writing trace count to file.";

Params init_params{"__init__", {"trace_data", "dt"}, extra_keywords};
Params from_file_params{"from_file", {"filename"}};
Params to_file_params{"to_file", {"filename"}};
Params to_stream_params{"to_stream", {"stream"}};

// The stdio mode PyFile_Dup takes (a mutable char * in its signature).
char dup_mode_wb[] = "wb";

// Frees a PyMem block; for the argument vector of the constructor.
struct PyMemFree {
    void operator()(PyObject **p) const { PyMem_Free(p); }
};

// A new collection of `type` in no mode: every object field None, count 0.
// New reference, or null with MemoryError.
CollectionObject *collection_alloc(PyTypeObject *type)
{
    PyObject *obj = type->tp_alloc(type, 0);
    if (!obj)
        return nullptr;
    CollectionObject *c = as<CollectionObject>(obj);
    c->vtab = &collection_vtable;
    c->filename = Py_NewRef(Py_None);
    c->traces = Py_NewRef(Py_None);
    c->iterator = Py_NewRef(Py_None);
    c->n_traces = 0;
    return c;
}

// Whether the storage-mode property `name` holds.  A subclass may override
// the properties, so they are looked up as attributes unless the object is
// exactly a SEGY, whose `field` answers the same.  1, 0, or -1 with an
// exception set.
int mode_holds(PyObject *self, PyObject *name, PyObject *field)
{
    if (Py_IS_TYPE(self, &CollectionType))
        return field != Py_None;
    Ref value(PyObject_GetAttr(self, name));
    if (!value)
        return -1;
    return PyObject_IsTrue(value.get());
}

// nullcontext(obj) with nullcontext looked up afresh.  New reference.
PyObject *make_nullcontext(PyObject *obj)
{
    Ref nullcontext(module_global(names.nullcontext));
    if (!nullcontext)
        return nullptr;
    return PyObject_CallOneArg(nullcontext.get(), obj);
}

// open(target, mode) with the built-in looked up afresh.  New reference.
PyObject *open_file(PyObject *target, PyObject *mode)
{
    Ref open(module_global(names.open));
    if (!open)
        return nullptr;
    PyObject *args[] = {target, mode};
    return PyObject_Vectorcall(open.get(), args, 2, nullptr);
}

// os.fspath(obj) with os looked up afresh.  New reference.
PyObject *fspath(PyObject *obj)
{
    Ref os(module_global(names.os));
    if (!os)
        return nullptr;
    return call_method1(os.get(), names.fspath, obj);
}

// Leaves a `with` block through `exit` (the manager's bound __exit__).
// status 0: calls exit(None, None, None) and returns 0, or -1 when that
// raises.  status -1: calls exit with the pending exception and returns -1
// with that exception set again; an exception raised by exit replaces it,
// with the original as its context.  A true result of exit is not taken as
// suppression: a failed read or write must never turn into success.
int leave_context(PyObject *exit, int status)
{
    if (status == 0) {
        Ref done(PyObject_CallFunctionObjArgs(exit, Py_None, Py_None, Py_None, nullptr));
        return done ? 0 : -1;
    }
    PyObject *pending = PyErr_GetRaisedException();
    Ref traceback(PyException_GetTraceback(pending));
    Ref done(PyObject_CallFunctionObjArgs(exit, as_object(Py_TYPE(pending)), pending,
                                          traceback ? traceback.get() : Py_None, nullptr));
    if (!done) {
        PyObject *raised = PyErr_GetRaisedException();
        if (raised != pending)
            PyException_SetContext(raised, pending);  // steals pending
        else
            Py_DECREF(pending);
        PyErr_SetRaisedException(raised);
        return -1;
    }
    PyErr_SetRaisedException(pending);
    return -1;
}

// Runs body(entered value) inside `with manager:`.  0, or -1 with an
// exception set (the body's, or that of entering or leaving).
template <class Body>
int with_context(PyObject *manager, Body &&body)
{
    Ref enter(PyObject_GetAttr(manager, names.enter));
    if (!enter)
        return -1;
    Ref exit(PyObject_GetAttr(manager, names.exit));
    if (!exit)
        return -1;
    Ref entered(PyObject_CallNoArgs(enter.get()));
    if (!entered)
        return -1;
    return leave_context(exit.get(), body(entered.get()));
}

// Walks what iterating a collection yields.  The module's own iterators are
// stepped through their native next_trace; any other iterator (a Python
// subclass, or what an overridden __iter__ returns) through the iterator
// protocol.
class TraceWalk {
public:
    // Calls iter(collection).  0, or -1 with an exception set.
    int start(PyObject *collection)
    {
        it_.reset(PyObject_GetIter(collection));
        if (!it_)
            return -1;
        PyTypeObject *type = Py_TYPE(it_.get());
        native_ = (type == &FileIteratorType || type == &MemoryIteratorType || type == &BaseIteratorType) &&
                  as<IteratorObject>(it_.get())->vtab != nullptr;
        return 0;
    }

    // New reference to the next item; null with no exception at the end,
    // null with an exception set on failure.
    PyObject *next()
    {
        if (!native_)
            return PyIter_Next(it_.get());
        auto *it = as<IteratorObject>(it_.get());
        PyObject *item = as_object(it->vtab->next_trace(it));
        if (!item && PyErr_ExceptionMatches(PyExc_StopIteration))
            PyErr_Clear();
        return item;
    }

    // Whether the steps are native ones: they run no Python code.
    bool native() const { return native_; }

private:
    Ref it_;
    bool native_ = false;
};

// Puts the pieces of a collection file (the count, then each trace's header
// and samples) on the descriptor of a lent stream without copying them into
// the stream's buffer, yet exactly as the stream would have written them:
// in the blocks of its buffer, each block once a piece reaching past its end
// arrives, so that a failing write fails on behalf of the same piece, with
// that piece's message, after the same bytes reached the file.  The bytes
// after the last such block go into the stream's buffer at the end, for
// the stream's release to flush as before.  This follows glibc's
// full buffering; it is used only there (see direct_writer).
class BlockWriter {
    struct Piece {
        const char *data;
        std::size_t size;
        const char *what;
    };

public:
    // A writer for `fp`, whose buffer holds `block` bytes, or none when
    // its table of pieces cannot be allocated.
    static std::optional<BlockWriter> make(FILE *fp, std::size_t block)
    {
        // What remains after a send is less than a block: pieces of 4 bytes
        // or more, in pairs of at least 244 (a header and its samples).  The
        // table holds that many and room for a batch besides.
        std::size_t capacity = 2 * (block / (trace_header_size + sizeof(float)) + 2) + 4096;
        std::unique_ptr<Piece[]> pieces(new (std::nothrow) Piece[capacity]);
        if (!pieces)
            return std::nullopt;
        return BlockWriter(fp, block, std::move(pieces), capacity);
    }

    // Adds `size` bytes at `data`, which the caller keeps alive and
    // unchanged until finish(); `what` is the message of their failure.
    // 0, or -1 with OSError set.
    int put(const void *data, std::size_t size, const char *what)
    {
        if (size == 0)
            return 0;
        pieces_[count_++] = {static_cast<const char *>(data), size, what};
        end_ += size;
        return count_ == capacity_ || end_ - sent_ >= batch_bytes ? send(due()) : 0;
    }

    // Writes what the stream would have written by now and hands the rest
    // to its buffer.  0, or -1 with OSError set.
    int finish()
    {
        if (send(due()) < 0)
            return -1;
        for (std::size_t i = 0; i < count_; ++i) {
            if (std::fwrite(pieces_[i].data, 1, pieces_[i].size, fp_) != pieces_[i].size) {
                PyErr_SetString(PyExc_OSError, pieces_[i].what);
                return -1;
            }
        }
        count_ = 0;
        return 0;
    }

private:
    BlockWriter(FILE *fp, std::size_t block, std::unique_ptr<Piece[]> pieces, std::size_t capacity)
        : fp_(fp), block_(block), pieces_(std::move(pieces)), capacity_(capacity)
    {
    }

    // Bytes gathered before the blocks among them are written.
    static constexpr std::size_t batch_bytes = std::size_t{8} << 20;

    // The end of the last block the stream would have flushed by now: the
    // last block boundary before the end of what was put.
    std::size_t due() const { return end_ ? (end_ - 1) / block_ * block_ : 0; }

    // Writes the bytes from sent_ to `until` (a block boundary) with
    // writev, retrying short writes as stdio does.  0, or -1 with OSError:
    // the message of the piece that holds the first byte after the failing
    // block, the piece whose write the stream would have failed.
    int send(std::size_t until)
    {
        int fd = fileno(fp_);
        std::size_t first = 0;   // the first piece not wholly written
        while (sent_ < until) {
            iovec iov[IOV_MAX];
            int n = 0;
            std::size_t planned = 0;
            for (std::size_t i = first; i < count_ && n < IOV_MAX && sent_ + planned < until; ++i) {
                std::size_t take = std::min(pieces_[i].size, until - sent_ - planned);
                iov[n++] = {const_cast<char *>(pieces_[i].data), take};
                planned += take;
            }
            ssize_t wrote = writev(fd, iov, n);
            if (wrote < 0) {
                std::size_t boundary = (sent_ / block_ + 1) * block_;
                std::size_t at = sent_;
                std::size_t i = first;
                while (at + pieces_[i].size <= boundary && i + 1 < count_)
                    at += pieces_[i++].size;
                PyErr_SetString(PyExc_OSError, pieces_[i].what);
                return -1;
            }
            sent_ += static_cast<std::size_t>(wrote);
            for (std::size_t left = static_cast<std::size_t>(wrote); left;) {
                Piece &piece = pieces_[first];
                if (left < piece.size) {
                    piece.data += left;
                    piece.size -= left;
                    break;
                }
                left -= piece.size;
                ++first;
            }
        }
        std::copy(pieces_.get() + first, pieces_.get() + count_, pieces_.get());
        count_ -= first;
        return 0;
    }

    FILE *fp_;
    std::size_t block_;
    std::unique_ptr<Piece[]> pieces_;   // the bytes from sent_ to end_, in order
    std::size_t capacity_;              // room in pieces_
    std::size_t count_ = 0;             // pieces held
    std::size_t sent_ = 0;              // bytes of the stream written, a multiple of block_
    std::size_t end_ = 0;               // bytes of the stream put
};

// The trace count of a collection file from `stream`: int.from_bytes of
// stream.read(4), little-endian, as a signed 32-bit value.  0, or -1 with
// an exception set (OverflowError for 2**31 and above).
int read_count(PyObject *stream, int *count)
{
    Ref size(PyLong_FromLong(4));
    if (!size)
        return -1;
    Ref raw(call_method1(stream, names.read, size.get()));
    if (!raw)
        return -1;
    PyObject *args[] = {as_object(&PyLong_Type), raw.get(), names.little};
    Ref value(PyObject_VectorcallMethod(names.from_bytes, args, 2, names.byteorder_kwnames));
    if (!value)
        return -1;
    return to_c_int(value.get(), count);
}

// A BlockWriter for the stream `fp` when it pays and writes what the
// stream would.  It pays for a file of `planned` bytes (planned_size of the
// collection, count included) that fills a few of the stream's buffers,
// with traces of a page or more on average (`n` of them): the system call
// spends time on every piece it gathers, which for small traces costs more
// than the copy it saves.  It writes what the stream would under glibc,
// with an empty buffer larger than any one piece (the largest, 65535
// samples, never reaches past a buffer then).  Else none.
std::optional<BlockWriter> direct_writer([[maybe_unused]] FILE *fp, [[maybe_unused]] Py_ssize_t planned,
                                         [[maybe_unused]] Py_ssize_t n)
{
#ifdef __GLIBC__
    constexpr Py_ssize_t worth_direct = 1 << 20;
    constexpr Py_ssize_t worth_direct_per_trace = 4096;
    constexpr std::size_t largest_piece = std::size_t{UINT16_MAX} * sizeof(float);
    std::size_t block = __fbufsize(fp);
    if (planned >= worth_direct && planned >= worth_direct_per_trace * n && block > largest_piece &&
        __fpending(fp) == 0)
        return BlockWriter::make(fp, block);
#endif
    return std::nullopt;
}

// Finishes the direct writes, if any, before the error already set is
// raised: the bytes before the failure reach the stream as they would have.
// Always -1, with that error, or with the direct write's own when it fails
// (the stream would have failed on an earlier piece).
int finish_then_fail(std::optional<BlockWriter> &direct)
{
    if (!direct)
        return -1;
    PyObject *pending = PyErr_GetRaisedException();
    if (direct->finish() < 0) {
        Py_XDECREF(pending);
        return -1;
    }
    PyErr_SetRaisedException(pending);
    return -1;
}

// Writes the count and every trace that iterating `self` yields to the
// native stream `fp`; `planned` is the file's size when planned_size(self)
// knows it, else -1.  A large exact collection in memory goes from its
// records to the descriptor without a copy (BlockWriter) while its traces
// are whole records: the memory iterator's native steps run no Python code
// (the collector runs between bytecodes only), so every record stays as it
// is until it is written.  Anything else goes through the stream, from
// where the direct writes leave it.  0, or -1 with an exception set.
int write_traces_native(PyObject *self, FILE *fp, Py_ssize_t planned)
{
    int count = as<CollectionObject>(self)->n_traces;
    std::optional<BlockWriter> direct;
    if (planned >= 0)
        direct = direct_writer(fp, planned, PyList_GET_SIZE(as<CollectionObject>(self)->traces));
    if (direct) {
        if (direct->put(&count, sizeof count, msg_write_count) < 0)
            return -1;
    } else if (std::fwrite(&count, sizeof count, 1, fp) != 1) {
        PyErr_SetString(PyExc_OSError, msg_write_count);
        return -1;
    }
    TraceWalk walk;
    if (walk.start(self) < 0)
        return finish_then_fail(direct);
    if (direct && !walk.native()) {
        if (direct->finish() < 0)
            return -1;
        direct.reset();
    }
    for (;;) {
        Ref item(walk.next());
        if (!item) {
            if (PyErr_Occurred())
                return finish_then_fail(direct);
            return direct ? direct->finish() : 0;
        }
        if (direct) {
            // What to_file_descriptor writes for a trace whose record is whole.
            const segy *record =
                PyObject_TypeCheck(item.get(), &TraceType) ? as<TraceObject>(item.get())->trace : nullptr;
            if (record && (!record->ns || record->data)) {
                if (direct->put(record, trace_header_size, msg_write_header) < 0 ||
                    direct->put(record->data, std::size_t{record->ns} * sizeof(float), msg_write_data) < 0)
                    return -1;
                continue;
            }
            // The stream refuses it below, where the direct writes leave it.
            if (direct->finish() < 0)
                return -1;
            direct.reset();
        }
        if (!PyObject_TypeCheck(item.get(), &TraceType)) {
            raise_not_a_trace(item.get());
            return -1;
        }
        Ref written(trace_vtable.to_file_descriptor(as<TraceObject>(item.get()), fp));
        if (!written)
            return -1;
    }
}

// The bytes the walk of `self` writes after the count, when they are known
// before the walk: an exact SEGY held in memory hands out the traces of its
// own list.  -1 when not known (any other mode or type, or an item that the
// walk will refuse).
Py_ssize_t planned_size(PyObject *self)
{
    CollectionObject *c = as<CollectionObject>(self);
    if (!Py_IS_TYPE(self, &CollectionType) || c->filename != Py_None || !PyList_CheckExact(c->traces))
        return -1;
    Py_ssize_t total = 0;
    Py_ssize_t n = PyList_GET_SIZE(c->traces);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PyList_GET_ITEM(c->traces, i);
        if (!Py_IS_TYPE(item, &TraceType))
            return -1;
        const segy *record = as<TraceObject>(item)->trace;
        if (!record)
            return -1;
        total += Py_ssize_t{trace_header_size} + Py_ssize_t{record->ns} * Py_ssize_t{sizeof(float)};
    }
    return total;
}

// Asks the file system to reserve `size` bytes from the stream's position
// before a large write, so that it lays the file out in one piece rather
// than block by block as the writes arrive (what numpy's tofile does).  The
// file's size and contents are untouched; a stream that cannot take it (a
// pipe, a file system without it) is left as it is, errno included.  Only
// where the C library offers a size-keeping fallocate (Linux); elsewhere
// the writes go ahead unreserved.
void reserve_space([[maybe_unused]] FILE *fp, [[maybe_unused]] Py_ssize_t size)
{
#ifdef FALLOC_FL_KEEP_SIZE
    constexpr Py_ssize_t worth_reserving = 1 << 20;
    if (size < worth_reserving)
        return;
    int saved = errno;
    off_t at = ftello(fp);
    if (at >= 0)
        fallocate(fileno(fp), FALLOC_FL_KEEP_SIZE, at, size);
    errno = saved;
#endif
}

// Writes the collection file of `self` to the file object `file` through a
// stream borrowed from the bridge, gives the stream back whatever happened,
// then flushes and, for a file the caller opened itself (`owner`),
// synchronises it to storage.  0, or -1 with an exception set; an error of
// the stream's release wins over the write error it follows (which becomes
// its context), so a failed close is never lost.
int write_file_object(PyObject *self, PyObject *file, bool owner)
{
    FileDup dup = PyFile_Dup(file, dup_mode_wb);
    if (PyErr_Occurred())
        return -1;
    Py_ssize_t planned = planned_size(self);
    if (planned >= 0)
        reserve_space(dup.fp, Py_ssize_t{sizeof(int)} + planned);
    write_traces_native(self, dup.fp, planned >= 0 ? Py_ssize_t{sizeof(int)} + planned : -1);
    PyObject *pending = PyErr_GetRaisedException();
    PyFile_DupClose(file, dup.fp, dup.orig_pos);
    if (PyErr_Occurred()) {
        if (pending) {
            PyObject *raised = PyErr_GetRaisedException();
            if (raised != pending)
                PyException_SetContext(raised, pending);  // steals pending
            else
                Py_DECREF(pending);
            PyErr_SetRaisedException(raised);
        }
        return -1;
    }
    if (pending) {
        PyErr_SetRaisedException(pending);
        return -1;
    }
    Ref flushed(call_method0(file, names.flush));
    if (!flushed)
        return -1;
    if (!owner)
        return 0;
    Ref fd(call_method0(file, names.fileno));
    if (!fd)
        return -1;
    Ref os(module_global(names.os));
    if (!os)
        return -1;
    Ref synced(call_method1(os.get(), names.fsync, fd.get()));
    return synced ? 0 : -1;
}

// Writes the collection file of `self` through target.write: the count,
// then a bytes copy of each trace's header and of its samples, then
// target.flush().  0, or -1 with an exception set.
int write_traces_stream(PyObject *self, PyObject *target)
{
    int count = as<CollectionObject>(self)->n_traces;
    Ref count_bytes(PyBytes_FromStringAndSize(reinterpret_cast<const char *>(&count), sizeof count));
    if (!count_bytes)
        return -1;
    if (!Ref(call_method1(target, names.write, count_bytes.get())))
        return -1;
    TraceWalk walk;
    if (walk.start(self) < 0)
        return -1;
    for (;;) {
        Ref item(walk.next());
        if (!item) {
            if (PyErr_Occurred())
                return -1;
            break;
        }
        if (!PyObject_TypeCheck(item.get(), &TraceType)) {
            raise_not_a_trace(item.get());
            return -1;
        }
        const segy *record = as<TraceObject>(item.get())->trace;
        if (!record || (record->ns && !record->data)) {
            raise_no_record();
            return -1;
        }
        // Both copies are taken before the first write: write() runs Python
        // code, which may re-initialise the trace and so release its record.
        Py_ssize_t size = Py_ssize_t{record->ns} * Py_ssize_t{sizeof(float)};
        Ref head(PyBytes_FromStringAndSize(reinterpret_cast<const char *>(record), trace_header_size));
        if (!head)
            return -1;
        Ref body(PyBytes_FromStringAndSize(size ? reinterpret_cast<const char *>(record->data) : "", size));
        if (!body || !Ref(call_method1(target, names.write, head.get())) ||
            !Ref(call_method1(target, names.write, body.get())))
            return -1;
    }
    Ref flushed(call_method0(target, names.flush));
    return flushed ? 0 : -1;
}

// SEGY.to_file after argument binding.  Returns the collection (new
// reference), or null with an exception set and the fields unchanged.
PyObject *collection_write_file(PyObject *self, PyObject *filename)
{
    CollectionObject *c = as<CollectionObject>(self);
    int on_disk = mode_holds(self, names.on_disk, c->filename);
    if (on_disk < 0)
        return nullptr;
    if (on_disk)
        return Py_NewRef(self);

    Ref manager;
    Ref new_filename;
    bool owner = false;
    Ref write(lookup_or_absent(filename, names.write));
    if (write) {
        manager.reset(make_nullcontext(filename));
        if (!manager)
            return nullptr;
        PyObject *name = nullptr;
        if (PyObject_GetOptionalAttr(filename, names.name, &name) < 0)
            return nullptr;
        new_filename.reset(name ? name : Py_NewRef(Py_None));
    } else {
        Ref path(fspath(filename));
        if (!path)
            return nullptr;
        manager.reset(open_file(path.get(), names.wb));
        if (!manager)
            return nullptr;
        new_filename = Ref::borrow(filename);
        owner = true;
    }
    if (with_context(manager.get(), [&](PyObject *file) { return write_file_object(self, file, owner); }) < 0)
        return nullptr;
    Py_SETREF(c->filename, new_filename.release());
    Py_SETREF(c->iterator, Py_NewRef(Py_None));
    Py_SETREF(c->traces, Py_NewRef(Py_None));
    return Py_NewRef(self);
}

// SEGY.to_stream after argument binding.  None (new reference), or null
// with an exception set and the fields unchanged.
PyObject *collection_write_stream(PyObject *self, PyObject *stream)
{
    Ref write(lookup_or_absent(stream, names.write));
    Ref manager(write ? make_nullcontext(stream) : open_file(stream, names.wb));
    if (!manager)
        return nullptr;
    if (with_context(manager.get(), [&](PyObject *target) { return write_traces_stream(self, target); }) < 0)
        return nullptr;
    CollectionObject *c = as<CollectionObject>(self);
    int is_iterator = mode_holds(self, names.is_iterator, c->iterator);
    if (is_iterator < 0)
        return nullptr;
    if (is_iterator)
        Py_SETREF(c->iterator, Py_NewRef(Py_None));
    Py_RETURN_NONE;
}

// Builds one SEGYTrace per item of `trace_data` and stores the list.  The
// trace type is called with the item as its one positional argument and
// the keywords dt, ntr (the announced length), then `extra` in its order.
// 0, or -1 with an exception set and the fields untouched.
int build_traces(CollectionObject *c, PyObject *trace_data, PyObject *dt, PyObject *extra_keys,
                 PyObject *extra_values)
{
    Py_ssize_t length = PyObject_Size(trace_data);
    if (length < 0)
        return -1;
    Ref count(PyLong_FromSsize_t(length));
    if (!count)
        return -1;
    Ref list(PyList_New(0));
    if (!list)
        return -1;
    Ref items(PyObject_GetIter(trace_data));
    if (!items)
        return -1;

    const Py_ssize_t n_extra = PyTuple_GET_SIZE(extra_keys);
    Ref kwnames(PyTuple_New(2 + n_extra));
    if (!kwnames)
        return -1;
    PyTuple_SET_ITEM(kwnames.get(), 0, Py_NewRef(names.dt));
    PyTuple_SET_ITEM(kwnames.get(), 1, Py_NewRef(names.ntr));
    bool ntr_twice = false;
    for (Py_ssize_t i = 0; i < n_extra; ++i) {
        PyObject *key = PyTuple_GET_ITEM(extra_keys, i);
        ntr_twice = ntr_twice || PyUnicode_Compare(key, names.ntr) == 0;
        PyTuple_SET_ITEM(kwnames.get(), 2 + i, Py_NewRef(key));
    }
    // Slot 0 is free so that the callee may borrow it (vectorcall offset).
    const Py_ssize_t slots = 1 + 3 + n_extra;
    std::unique_ptr<PyObject *[], PyMemFree> argv(PyMem_New(PyObject *, slots));
    if (!argv) {
        PyErr_NoMemory();
        return -1;
    }
    argv[0] = nullptr;
    argv[2] = dt;
    argv[3] = count.get();
    for (Py_ssize_t i = 0; i < n_extra; ++i)
        argv[4 + i] = PyTuple_GET_ITEM(extra_values, i);

    // A 2-D array of native floats is taken row by row in place, without a
    // trace constructor call and a view per row.
    int whole = 0;
    if (!ntr_twice) {
        PyObject *rows = nullptr;
        whole = build_row_traces(trace_data, argv.get() + 2, kwnames.get(), &rows);
        if (whole < 0)
            return -1;
        if (whole)
            list.reset(rows);
    }
    while (!whole) {
        Ref item(PyIter_Next(items.get()));
        if (!item) {
            if (PyErr_Occurred())
                return -1;
            break;
        }
        if (ntr_twice) {
            // What calling the type with ntr twice raises.
            PyErr_Format(PyExc_TypeError, msg_repeated_keyword, TraceType.tp_name,
                         names.ntr);
            return -1;
        }
        argv[1] = item.get();
        Ref trace(PyObject_Vectorcall(as_object(&TraceType), argv.get() + 1,
                                      1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
        if (!trace || PyList_Append(list.get(), trace.get()) < 0)
            return -1;
    }
    Py_ssize_t built = PyList_GET_SIZE(list.get());
    if (built > INT32_MAX) {
        return raise_int_overflow();
    }
    Py_SETREF(c->traces, list.release());
    c->n_traces = static_cast<int>(built);
    return 0;
}

// tp_new: allocation only; the arguments are left to the constructor.
PyObject *collection_new(PyTypeObject *type, PyObject *, PyObject *)
{
    return as_object(collection_alloc(type));
}

// tp_init, SEGY(trace_data, dt, **kwargs): binds the two parameters,
// collects the other keywords in their order and builds the traces.
// 0, or -1 with an exception set.
int collection_construct(PyObject *self, PyObject *args, PyObject *kwargs)
{
    PyObject *values[2];
    ExtraKeywords extra;
    if (init_params.bind(args, kwargs, values, &extra) < 0)
        return -1;
    // The values are held here: the caller's dict may change while the
    // traces are built.
    Ref trace_data = Ref::borrow(values[0]);
    Ref dt = Ref::borrow(values[1]);
    return build_traces(as<CollectionObject>(self), trace_data.get(), dt.get(), extra.names.get(),
                        extra.values.get());
}

int collection_traverse(PyObject *self, visitproc visit, void *arg)
{
    CollectionObject *c = as<CollectionObject>(self);
    Py_VISIT(c->filename);
    Py_VISIT(c->traces);
    Py_VISIT(c->iterator);
    return 0;
}

// Leaves the collection in no mode, its count unchanged.
int collection_clear(PyObject *self)
{
    CollectionObject *c = as<CollectionObject>(self);
    Py_XSETREF(c->filename, Py_NewRef(Py_None));
    Py_XSETREF(c->traces, Py_NewRef(Py_None));
    Py_XSETREF(c->iterator, Py_NewRef(Py_None));
    return 0;
}

void collection_dealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    collection_clear(self);
    CollectionObject *c = as<CollectionObject>(self);
    Py_CLEAR(c->filename);
    Py_CLEAR(c->traces);
    Py_CLEAR(c->iterator);
    Py_TYPE(self)->tp_free(self);
}

// iter(collection): a new file iterator when on disk, else a new memory
// iterator when in memory, else the stored iterator itself.  New
// reference, or null with TypeError when the collection is in no mode.
PyObject *collection_iter(PyObject *self)
{
    CollectionObject *c = as<CollectionObject>(self);
    int holds = mode_holds(self, names.on_disk, c->filename);
    if (holds < 0)
        return nullptr;
    if (holds) {
        Ref file = Ref::borrow(c->filename);
        Ref count(PyLong_FromLong(c->n_traces));
        if (!count)
            return nullptr;
        PyObject *args[] = {file.get(), count.get()};
        return PyObject_Vectorcall(as_object(&FileIteratorType), args, 2, nullptr);
    }
    holds = mode_holds(self, names.in_memory, c->traces);
    if (holds < 0)
        return nullptr;
    if (holds) {
        Ref traces = Ref::borrow(c->traces);
        return PyObject_CallOneArg(as_object(&MemoryIteratorType), traces.get());
    }
    holds = mode_holds(self, names.is_iterator, c->iterator);
    if (holds < 0)
        return nullptr;
    if (holds)
        return Py_NewRef(c->iterator);
    PyErr_SetString(PyExc_TypeError, msg_no_mode);
    return nullptr;
}

// SEGY.from_file(cls, filename): reads the 4-byte count from a stream (kept
// open and not rewound) or from a path (opened and closed here) and returns
// a new on-disk SEGY, whatever `cls` is.  New reference, or null.
PyObject *collection_from_file(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *filename;
    if (from_file_params.bind(args, nargs, kwnames, &filename) < 0)
        return nullptr;
    Ref manager;
    Ref read(lookup_or_absent(filename, names.read));
    if (read) {
        manager.reset(make_nullcontext(filename));
    } else {
        Ref path(fspath(filename));
        if (!path)
            return nullptr;
        manager.reset(open_file(path.get(), names.rb));
    }
    if (!manager)
        return nullptr;
    int count = 0;
    if (with_context(manager.get(), [&](PyObject *stream) { return read_count(stream, &count); }) < 0)
        return nullptr;
    CollectionObject *c = collection_alloc(&CollectionType);
    if (!c)
        return nullptr;
    Py_SETREF(c->filename, Py_NewRef(filename));
    c->n_traces = count;
    return as_object(c);
}

// SEGY.to_memory(self): the collection itself, its traces now in a list.
// New reference, or null with the fields unchanged.
PyObject *collection_to_memory(PyObject *self, PyObject *)
{
    CollectionObject *c = as<CollectionObject>(self);
    int in_memory = mode_holds(self, names.in_memory, c->traces);
    if (in_memory < 0)
        return nullptr;
    if (in_memory)
        return Py_NewRef(self);
    Ref list(PyList_New(0));
    if (!list)
        return nullptr;
    TraceWalk walk;
    if (walk.start(self) < 0)
        return nullptr;
    for (;;) {
        Ref item(walk.next());
        if (!item) {
            if (PyErr_Occurred())
                return nullptr;
            break;
        }
        if (PyList_Append(list.get(), item.get()) < 0)
            return nullptr;
    }
    Py_SETREF(c->traces, list.release());
    Py_SETREF(c->iterator, Py_NewRef(Py_None));
    Py_SETREF(c->filename, Py_NewRef(Py_None));
    return Py_NewRef(self);
}

PyObject *collection_to_file(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *filename;
    if (to_file_params.bind(args, nargs, kwnames, &filename) < 0)
        return nullptr;
    return collection_write_file(self, filename);
}

PyObject *collection_to_stream(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *stream;
    if (to_stream_params.bind(args, nargs, kwnames, &stream) < 0)
        return nullptr;
    return collection_write_stream(self, stream);
}

PyObject *collection_get_n_traces(PyObject *self, void *)
{
    return PyLong_FromLong(as<CollectionObject>(self)->n_traces);
}

PyObject *collection_get_on_disk(PyObject *self, void *)
{
    return PyBool_FromLong(as<CollectionObject>(self)->filename != Py_None);
}

PyObject *collection_get_is_iterator(PyObject *self, void *)
{
    return PyBool_FromLong(as<CollectionObject>(self)->iterator != Py_None);
}

PyObject *collection_get_in_memory(PyObject *self, void *)
{
    return PyBool_FromLong(as<CollectionObject>(self)->traces != Py_None);
}

// from_trace_iterator: a new SEGY in iterator mode over `iterator`, with
// the iterator's count as it stands now.  New reference, or null.
CollectionObject *collection_from_trace_iterator(IteratorObject *iterator)
{
    CollectionObject *c = collection_alloc(&CollectionType);
    if (!c)
        return nullptr;
    Py_SETREF(c->iterator, Py_NewRef(as_object(iterator)));
    c->n_traces = iterator->n_traces;
    return c;
}

PyMethodDef collection_methods[] = {
    {"from_file", as_cfunction(collection_from_file), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "SEGY.from_file(cls, filename)"},
    {"to_memory", collection_to_memory, METH_NOARGS, "SEGY.to_memory(self)"},
    {"to_file", as_cfunction(collection_to_file), METH_FASTCALL | METH_KEYWORDS, "SEGY.to_file(self, filename)"},
    {"to_stream", as_cfunction(collection_to_stream), METH_FASTCALL | METH_KEYWORDS,
     "SEGY.to_stream(self, stream)"},
    {"__reduce__", refuse_pickle, METH_NOARGS, nullptr},
    {"__setstate__", refuse_pickle, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef collection_getset[] = {
    {"n_trace", collection_get_n_traces, nullptr, nullptr, nullptr},
    {"on_disk", collection_get_on_disk, nullptr, nullptr, nullptr},
    {"is_iterator", collection_get_is_iterator, nullptr, nullptr, nullptr},
    {"in_memory", collection_get_in_memory, nullptr, nullptr, nullptr},
    {"n_traces", collection_get_n_traces, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

namespace {

// The iterator `self` wrapped into a new collection in iterator mode.
Ref wrapped(PyObject *self)
{
    return Ref(as_object(
        collection_from_trace_iterator(as<IteratorObject>(self))));
}

}  // namespace

PyObject *iterator_to_memory(PyObject *self, PyObject *)
{
    Ref collection = wrapped(self);
    return collection ? collection_to_memory(collection.get(), nullptr) : nullptr;
}

PyObject *iterator_to_file(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *filename;
    if (to_file_params.bind(args, nargs, kwnames, &filename) < 0)
        return nullptr;
    Ref collection = wrapped(self);
    return collection ? collection_write_file(collection.get(), filename) : nullptr;
}

PyObject *iterator_to_stream(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *stream;
    if (to_stream_params.bind(args, nargs, kwnames, &stream) < 0)
        return nullptr;
    Ref collection = wrapped(self);
    return collection ? collection_write_stream(collection.get(), stream) : nullptr;
}

CollectionVTable collection_vtable{
    .from_trace_iterator = collection_from_trace_iterator,
};

PyTypeObject CollectionType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vondrel.segy.SEGY",
    .tp_basicsize = sizeof(CollectionObject),
    .tp_dealloc = collection_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "SEGY(trace_data, dt, **kwargs)",
    .tp_traverse = collection_traverse,
    .tp_clear = collection_clear,
    .tp_iter = collection_iter,
    .tp_methods = collection_methods,
    .tp_getset = collection_getset,
    .tp_init = collection_construct,
    .tp_new = collection_new,
};

}  // namespace vondrel
