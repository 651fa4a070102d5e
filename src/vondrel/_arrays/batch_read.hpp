// Many positioned reads of one file in few system calls.  On this kind of
// machine a system call costs about as much as copying 20-40 KB, so a
// selection of scattered traces is read best by handing the kernel a batch
// of reads at once (Linux io_uring), and with one pread each where that is
// not to be had (another system, a kernel too old, io_uring refused by the
// sandbox).  Nothing here touches Python: callers run it with the
// interpreter lock released.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vondrel::arrays {

// One read: `len` bytes from `at` in the file into `dst`; `got` the bytes
// read (fewer only where the file ends), or -1 with `err` the errno.
struct ReadRequest {
    unsigned char *dst;
    std::size_t len;
    std::int64_t at;
    std::int64_t got;
    int err;
};

// The reads of a call, on the batch interface while it lasts.  A batch
// waits for every one of its reads before read_batch returns, so the
// buffers are never written after it.
class BatchReader {
public:
    explicit BatchReader(int fd) : fd_(fd) {}
    ~BatchReader();
    BatchReader(const BatchReader &) = delete;
    BatchReader &operator=(const BatchReader &) = delete;

    // Fills `got` and `err` of the n requests.  The batch interface is set
    // up for the first batch of at least `worth` reads.
    void read_batch(ReadRequest *reqs, std::size_t n);

    static constexpr std::size_t depth = 128;    // reads a batch at most
    static constexpr std::size_t worth = 8;      // fewer go by pread

private:
    bool set_up();
    bool submit(ReadRequest *reqs, std::size_t n);
    int fd_;
    int ring_ = -1;
    bool tried_ = false, usable_ = false;
    void *sq_map_ = nullptr, *cq_map_ = nullptr, *sqes_map_ = nullptr;
    std::size_t sq_len_ = 0, cq_len_ = 0, sqes_len_ = 0;
    // The shared rings: the kernel's queue heads and tails, masks and entries.
    void *sq_tail_ = nullptr, *cq_head_ = nullptr, *cq_tail_ = nullptr, *sqes_ = nullptr, *cqes_ = nullptr;
    unsigned *sq_array_ = nullptr;
    unsigned sq_mask_ = 0, cq_mask_ = 0;
};

}  // namespace vondrel::arrays
