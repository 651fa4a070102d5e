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

}  // namespace

BatchReader::~BatchReader()
{
    if (sqes_map_)
        munmap(sqes_map_, sqes_len_);
    if (cq_map_ && cq_map_ != sq_map_)
        munmap(cq_map_, cq_len_);
    if (sq_map_)
        munmap(sq_map_, sq_len_);
    if (ring_ >= 0)
        close(ring_);
}

bool BatchReader::set_up()
{
    tried_ = true;
    if (refused.load(std::memory_order_relaxed))
        return false;
    io_uring_params p;
    std::memset(&p, 0, sizeof p);
    int ring = static_cast<int>(syscall(__NR_io_uring_setup, static_cast<unsigned>(depth), &p));
    if (ring < 0) {
        if (errno == ENOSYS || errno == EPERM || errno == EACCES || errno == EINVAL)
            refused.store(true, std::memory_order_relaxed);
        return false;
    }
    ring_ = ring;
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
        cq_map_ = cq;
    } else {
        cq_map_ = sq;
    }
    sqes_len_ = p.sq_entries * sizeof(io_uring_sqe);
    void *sqes = mmap(nullptr, sqes_len_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, ring, IORING_OFF_SQES);
    if (sqes == MAP_FAILED)
        return false;
    sqes_map_ = sqes;
    auto *s = static_cast<char *>(sq), *c = static_cast<char *>(cq);
    sq_tail_ = s + p.sq_off.tail;
    sq_mask_ = *reinterpret_cast<unsigned *>(s + p.sq_off.ring_mask);
    sq_array_ = reinterpret_cast<unsigned *>(s + p.sq_off.array);
    cq_head_ = c + p.cq_off.head;
    cq_tail_ = c + p.cq_off.tail;
    cq_mask_ = *reinterpret_cast<unsigned *>(c + p.cq_off.ring_mask);
    cqes_ = c + p.cq_off.cqes;
    sqes_ = sqes;
    usable_ = true;
    return true;
}

// Submits the n reads and reaps every completion; false (nothing in
// flight) when the kernel took none of them.
bool BatchReader::submit(ReadRequest *reqs, std::size_t n)
{
    auto *sq_tail = static_cast<std::atomic<unsigned> *>(sq_tail_);
    auto *cq_head = static_cast<std::atomic<unsigned> *>(cq_head_);
    auto *cq_tail = static_cast<std::atomic<unsigned> *>(cq_tail_);
    auto *sqes = static_cast<io_uring_sqe *>(sqes_);
    auto *cqes = static_cast<const io_uring_cqe *>(cqes_);
    unsigned tail = sq_tail->load(std::memory_order_relaxed);
    for (std::size_t i = 0; i < n; ++i) {
        unsigned slot = (tail + static_cast<unsigned>(i)) & sq_mask_;
        io_uring_sqe &e = sqes[slot];
        std::memset(&e, 0, sizeof e);
        e.opcode = IORING_OP_READ;
        e.fd = fd_;
        e.off = static_cast<std::uint64_t>(reqs[i].at);
        e.addr = reinterpret_cast<std::uint64_t>(reqs[i].dst);
        e.len = static_cast<unsigned>(reqs[i].len);
        e.user_data = i;
        sq_array_[slot] = slot;
    }
    sq_tail->store(tail + static_cast<unsigned>(n), std::memory_order_release);
    std::size_t submitted = 0, reaped = 0;
    while (reaped < n) {
        int got = enter(ring_, static_cast<unsigned>(n - submitted), 1);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EBUSY)
                continue;
            if (submitted == 0) {
                // The kernel left the entries: take them back from the ring.
                sq_tail->store(tail, std::memory_order_release);
                return false;
            }
            continue;       // reads are in flight into the caller's buffers: wait for them
        }
        submitted += static_cast<std::size_t>(got);
        unsigned head = cq_head->load(std::memory_order_relaxed);
        unsigned end = cq_tail->load(std::memory_order_acquire);
        for (; head != end; ++head) {
            const io_uring_cqe &c = cqes[head & cq_mask_];
            ReadRequest &q = reqs[c.user_data];
            q.got = c.res < 0 ? -1 : c.res;
            q.err = c.res < 0 ? -c.res : 0;
            ++reaped;
        }
        cq_head->store(head, std::memory_order_release);
    }
    return true;
}

void BatchReader::read_batch(ReadRequest *reqs, std::size_t n)
{
    if (n >= worth && !tried_)
        set_up();           // what a failed set-up leaves, the destructor frees
    if (usable_ && n >= worth) {
        for (std::size_t at = 0; at < n; at += depth) {
            std::size_t m = n - at < depth ? n - at : depth;
            if (!submit(reqs + at, m)) {
                for (std::size_t i = at; i < m + at; ++i)
                    read_one(fd_, reqs[i]);
            }
        }
        // A read cut short (a signal, the end of the file) or refused for
        // the moment goes again, by pread, which tells the two apart.
        for (std::size_t i = 0; i < n; ++i) {
            ReadRequest &q = reqs[i];
            if (q.got >= 0 && static_cast<std::size_t>(q.got) < q.len) {
                std::int64_t more = pread_full(fd_, q.dst + q.got, q.len - static_cast<std::size_t>(q.got),
                                               q.at + q.got);
                q.err = more < 0 ? errno : 0;
                q.got = more < 0 ? -1 : q.got + more;
            } else if (q.got < 0 && (q.err == EAGAIN || q.err == EINTR)) {
                read_one(fd_, q);
            }
        }
        return;
    }
    for (std::size_t i = 0; i < n; ++i)
        read_one(fd_, reqs[i]);
}

#else

BatchReader::~BatchReader() = default;
bool BatchReader::set_up() { return false; }
bool BatchReader::submit(ReadRequest *, std::size_t) { return false; }

void BatchReader::read_batch(ReadRequest *reqs, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i)
        read_one(fd_, reqs[i]);
}

#endif

}  // namespace vondrel::arrays
