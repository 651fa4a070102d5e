#include "vondrel/_arrays/batch_read.hpp"

#include "vondrel/_arrays/read.hpp"

#include <atomic>
#include <cerrno>
#include <cstring>

#include <unistd.h>

#if defined(__linux__) && __has_include(<linux/io_uring.h>)
#include <linux/io_uring.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#define VONDREL_URING 1
#endif

namespace vondrel::arrays {

namespace {

void read_one(int fd, ReadRequest &r)
{
    r.got = pread_full(fd, r.dst, r.len, r.at);
    r.err = r.got < 0 ? errno : 0;
}

#ifdef VONDREL_URING
// Once a process has been refused the batch interface, it asks no more.
std::atomic<bool> refused{false};
#endif

}  // namespace

#ifdef VONDREL_URING

namespace {

int enter(int ring, unsigned submit, unsigned wait)
{
    return static_cast<int>(syscall(__NR_io_uring_enter, ring, submit, wait, IORING_ENTER_GETEVENTS, nullptr, 0));
}

// A thread's io_uring: its queues, mapped, and the process that set it up.
class Ring {
public:
    ~Ring() { release(); }
    // Ready to take a batch: set up on this thread's first call, anew in a
    // forked child (whose copy is the parent's).  False without one.
    bool ready();
    // Submits the n reads (at most `depth`) and reaps every completion;
    // false, nothing in flight, when the kernel took none of them.
    bool submit(int fd, ReadRequest *reqs, std::size_t n);

private:
    bool set_up();
    void release();
    int ring_ = -1;
    pid_t pid_ = 0;
    bool tried_ = false, usable_ = false;
    void *sq_map_ = nullptr, *cq_map_ = nullptr, *sqes_map_ = nullptr;
    std::size_t sq_len_ = 0, cq_len_ = 0, sqes_len_ = 0;
    std::atomic<unsigned> *sq_tail_ = nullptr, *cq_head_ = nullptr, *cq_tail_ = nullptr;
    unsigned *sq_array_ = nullptr;
    io_uring_sqe *sqes_ = nullptr;
    const io_uring_cqe *cqes_ = nullptr;
    unsigned sq_mask_ = 0, cq_mask_ = 0;
};

void Ring::release()
{
    if (sqes_map_)
        munmap(sqes_map_, sqes_len_);
    if (cq_map_ && cq_map_ != sq_map_)
        munmap(cq_map_, cq_len_);
    if (sq_map_)
        munmap(sq_map_, sq_len_);
    if (ring_ >= 0)
        close(ring_);
    sqes_map_ = cq_map_ = sq_map_ = nullptr;
    ring_ = -1;
    usable_ = false;
}

bool Ring::ready()
{
    if (usable_ && pid_ != getpid()) {
        release();
        tried_ = false;
    }
    if (!tried_) {
        tried_ = true;
        if (!set_up())
            release();
    }
    return usable_;
}

bool Ring::set_up()
{
    if (refused.load(std::memory_order_relaxed))
        return false;
    io_uring_params p;
    std::memset(&p, 0, sizeof p);
    int ring = static_cast<int>(syscall(__NR_io_uring_setup, static_cast<unsigned>(BatchReader::depth), &p));
    if (ring < 0) {
        if (errno == ENOSYS || errno == EPERM || errno == EACCES || errno == EINVAL)
            refused.store(true, std::memory_order_relaxed);
        return false;
    }
    ring_ = ring;
    pid_ = getpid();
    sq_len_ = p.sq_off.array + p.sq_entries * sizeof(unsigned);
    cq_len_ = p.cq_off.cqes + p.cq_entries * sizeof(io_uring_cqe);
    const bool single = p.features & IORING_FEAT_SINGLE_MMAP;
    if (single)
        sq_len_ = cq_len_ = sq_len_ > cq_len_ ? sq_len_ : cq_len_;
    void *sq = mmap(nullptr, sq_len_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, ring, IORING_OFF_SQ_RING);
    if (sq == MAP_FAILED)
        return false;
    sq_map_ = sq;
    void *cq = sq;
    if (!single) {
        cq = mmap(nullptr, cq_len_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, ring, IORING_OFF_CQ_RING);
        if (cq == MAP_FAILED)
            return false;
    }
    cq_map_ = cq;
    sqes_len_ = p.sq_entries * sizeof(io_uring_sqe);
    void *sqes = mmap(nullptr, sqes_len_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, ring, IORING_OFF_SQES);
    if (sqes == MAP_FAILED)
        return false;
    sqes_map_ = sqes;
    auto *s = static_cast<char *>(sq), *c = static_cast<char *>(cq);
    sq_tail_ = reinterpret_cast<std::atomic<unsigned> *>(s + p.sq_off.tail);
    sq_mask_ = *reinterpret_cast<unsigned *>(s + p.sq_off.ring_mask);
    sq_array_ = reinterpret_cast<unsigned *>(s + p.sq_off.array);
    cq_head_ = reinterpret_cast<std::atomic<unsigned> *>(c + p.cq_off.head);
    cq_tail_ = reinterpret_cast<std::atomic<unsigned> *>(c + p.cq_off.tail);
    cq_mask_ = *reinterpret_cast<unsigned *>(c + p.cq_off.ring_mask);
    cqes_ = reinterpret_cast<const io_uring_cqe *>(c + p.cq_off.cqes);
    sqes_ = static_cast<io_uring_sqe *>(sqes);
    usable_ = true;
    return true;
}

bool Ring::submit(int fd, ReadRequest *reqs, std::size_t n)
{
    unsigned tail = sq_tail_->load(std::memory_order_relaxed);
    for (std::size_t i = 0; i < n; ++i) {
        unsigned slot = (tail + static_cast<unsigned>(i)) & sq_mask_;
        io_uring_sqe &e = sqes_[slot];
        std::memset(&e, 0, sizeof e);
        e.opcode = IORING_OP_READ;
        e.fd = fd;
        e.off = static_cast<std::uint64_t>(reqs[i].at);
        e.addr = reinterpret_cast<std::uint64_t>(reqs[i].dst);
        e.len = static_cast<unsigned>(reqs[i].len);
        e.user_data = i;
        sq_array_[slot] = slot;
    }
    sq_tail_->store(tail + static_cast<unsigned>(n), std::memory_order_release);
    std::size_t submitted = 0, reaped = 0;
    while (reaped < n) {
        int got = enter(ring_, static_cast<unsigned>(n - submitted), 1);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EBUSY)
                continue;
            if (submitted == 0) {
                // The kernel left the entries: take them back from the queue.
                sq_tail_->store(tail, std::memory_order_release);
                return false;
            }
            continue;       // reads are in flight into the caller's buffers: wait for them
        }
        submitted += static_cast<std::size_t>(got);
        unsigned head = cq_head_->load(std::memory_order_relaxed);
        unsigned end = cq_tail_->load(std::memory_order_acquire);
        for (; head != end; ++head) {
            const io_uring_cqe &c = cqes_[head & cq_mask_];
            ReadRequest &q = reqs[c.user_data];
            q.got = c.res < 0 ? -1 : c.res;
            q.err = c.res < 0 ? -c.res : 0;
            ++reaped;
        }
        cq_head_->store(head, std::memory_order_release);
    }
    return true;
}

Ring &this_threads_ring()
{
    thread_local Ring ring;
    return ring;
}

}  // namespace

void BatchReader::read_batch(ReadRequest *reqs, std::size_t n)
{
    Ring *ring = n >= worth ? &this_threads_ring() : nullptr;
    if (!ring || !ring->ready()) {
        for (std::size_t i = 0; i < n; ++i)
            read_one(fd_, reqs[i]);
        return;
    }
    for (std::size_t at = 0; at < n; at += depth) {
        std::size_t m = n - at < depth ? n - at : depth;
        if (!ring->submit(fd_, reqs + at, m))
            for (std::size_t i = at; i < at + m; ++i)
                read_one(fd_, reqs[i]);
    }
    // A read cut short (a signal, the end of the file) or refused for the
    // moment goes again, by pread, which tells the two apart.
    for (std::size_t i = 0; i < n; ++i) {
        ReadRequest &q = reqs[i];
        if (q.got >= 0 && static_cast<std::size_t>(q.got) < q.len) {
            std::int64_t more = pread_full(fd_, q.dst + q.got, q.len - static_cast<std::size_t>(q.got), q.at + q.got);
            q.err = more < 0 ? errno : 0;
            q.got = more < 0 ? -1 : q.got + more;
        } else if (q.got < 0 && (q.err == EAGAIN || q.err == EINTR)) {
            read_one(fd_, q);
        }
    }
}

#else

void BatchReader::read_batch(ReadRequest *reqs, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i)
        read_one(fd_, reqs[i]);
}

#endif

}  // namespace vondrel::arrays
