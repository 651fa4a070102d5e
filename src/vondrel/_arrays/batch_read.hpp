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

// The reads of a call.  A batch waits for every one of its reads before
// read_batch returns, so the buffers are never written after it.  The batch
// interface is set up once a thread (anew in a forked child) and kept.
class BatchReader {
public:
    explicit BatchReader(int fd) : fd_(fd) {}

    // Fills `got` and `err` of the n requests.
    void read_batch(ReadRequest *reqs, std::size_t n);

    static constexpr std::size_t depth = 128;    // reads a batch at most
    static constexpr std::size_t worth = 4;      // fewer go by pread

private:
    int fd_;
};

}  // namespace vondrel::arrays
