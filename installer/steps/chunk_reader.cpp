// The read-ahead thread of a file being sent: two buffers, one filled from the disk while the
// other is on the link.
#include "installer/steps/chunk_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "installer/steps/file_chunks.h"

chunk_reader::chunk_reader(int fd, uint64_t size, size_t chunk_size)
    : fd_(fd), size_(size), chunk_size_(chunk_size) {}

chunk_reader::~chunk_reader() {
    if (!worker_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    worker_.join();
}

bool chunk_reader::allocate() {
    for (auto& b : buf_) {
        b.reset(static_cast<unsigned char*>(std::malloc(chunk_size_)));
        if (!b) return false;
    }
    return true;
}

chunk_reader::chunk chunk_reader::read_into(int slot, uint64_t offset) {
    const uint64_t want = std::min<uint64_t>(chunk_size_, size_ - offset);
    chunk c;
    c.data = buf_[slot].get();
    c.got = read_full(fd_, buf_[slot].get(), want);
    c.error = c.got < 0 ? errno : 0;
    // the kernel starts on the chunk after this one now; on a cold file that advice itself
    // takes a while (it allocates the pages and queues the reads), so it is given here, off the
    // sending thread
    if (c.got == static_cast<int64_t>(want)) read_ahead(fd_, offset + want, chunk_size_);
    return c;
}

chunk_reader::chunk chunk_reader::take() {
    if (taken_ >= size_) return {};
    chunk c;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (asked_) {
            changed_.wait(lock, [this] { return done_; });
            asked_ = false;
            c = ahead_;
        }
    }
    // nothing was read ahead: read it now, here
    if (c.data == nullptr) c = read_into(slot_, taken_);
    taken_ += std::min<uint64_t>(chunk_size_, size_ - taken_);
    slot_ ^= 1;
    return c;
}

void chunk_reader::read_next() {
    if (taken_ >= size_) return;
    if (!worker_.joinable()) {
        try {
            worker_ = std::thread([this] { work(); });
        } catch (const std::system_error&) {
            return;  // no thread to be had: the next take() reads by itself
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        asked_ = true;
        done_ = false;
    }
    changed_.notify_all();
}

void chunk_reader::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stop_ || (asked_ && !done_); });
        if (stop_) return;
        // the buffer and the offset are the next take()'s, which waits for this
        const int slot = slot_;
        const uint64_t offset = taken_;
        lock.unlock();
        chunk c = read_into(slot, offset);
        lock.lock();
        ahead_ = c;
        done_ = true;
        changed_.notify_all();
    }
}
