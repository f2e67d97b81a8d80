// A file read one chunk ahead on a thread of its own: while the caller sends one chunk, the next
// is read into the other of two buffers, so the disk and the link are busy at the same time. The
// reading ahead starts only when the caller asks (read_next), so nothing is read before the
// caller has begun to send. The one place the installer starts a thread.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "base/unique_malloc.h"

class chunk_reader {
  public:
    struct chunk {
        const unsigned char* data = nullptr;
        int64_t got = 0;  // bytes read: fewer than asked when the file ended, -1 on a read error
        int error = 0;    // errno of the read error
    };

    // The first `size` bytes of the open file `fd` (owned by the caller, open while this lives),
    // in chunks of `chunk_size` bytes.
    chunk_reader(int fd, uint64_t size, size_t chunk_size);
    ~chunk_reader();
    chunk_reader(const chunk_reader&) = delete;
    chunk_reader& operator=(const chunk_reader&) = delete;

    // The two buffers; false when there is no memory for them.
    bool allocate();
    // The next chunk: the one read ahead (waited for), or read now when none was asked for.
    // Valid until the next take(). Nothing when the whole size has been taken.
    chunk take();
    // Starts reading the chunk after the one last taken, into the other buffer.
    void read_next();

  private:
    void work();
    chunk read_into(int slot, uint64_t offset);

    int fd_;
    uint64_t size_;
    size_t chunk_size_;
    base::unique_malloc<unsigned char[]> buf_[2];
    uint64_t taken_ = 0;  // bytes handed out so far
    int slot_ = 0;        // the buffer the next take() hands out

    std::mutex mutex_;
    std::condition_variable changed_;
    bool asked_ = false;  // a read ahead was asked for and not yet taken
    bool done_ = false;   // ... and has finished
    bool stop_ = false;
    chunk ahead_;
    std::thread worker_;
};
