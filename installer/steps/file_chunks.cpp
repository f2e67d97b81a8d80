// A package file as the data phase of a download, read a chunk at a time while it is sent.
#include "installer/steps/file_chunks.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// how far ahead of the chunk being sent the kernel is asked to read: two chunks, so a chunk is
// on its way from the disk while the one before it is on the link
constexpr uint64_t kAhead = 2 * file_chunks::kChunk;

}  // namespace

int64_t read_full(int fd, unsigned char* buf, uint64_t len) {
    uint64_t got = 0;
    while (got < len) {
        auto want = static_cast<size_t>(std::min<uint64_t>(len - got, 1U << 30));
        ssize_t n = ::read(fd, buf + got, want);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        got += static_cast<uint64_t>(n);
    }
    return static_cast<int64_t>(got);
}

void read_ahead(int fd, uint64_t offset, uint64_t len) {
#ifdef _WIN32
    // no such request there: the file was opened for sequential reading, and Windows reads
    // ahead of such a reader by itself
    (void)fd, (void)offset, (void)len;
#else
    // only advice: a kernel that does not take it reads when asked
    (void)::posix_fadvise(fd, static_cast<off_t>(offset), static_cast<off_t>(len),
                          POSIX_FADV_WILLNEED);
#endif
}

file_chunks::file_chunks(base::unique_fd fd, std::string name, uint64_t size)
    : fd_(std::move(fd)), name_(std::move(name)), size_(size), reader_(fd_.get(), size, kChunk) {
#ifndef _WIN32
    (void)::posix_fadvise(fd_.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
    read_ahead(fd_.get(), 0, kAhead);
}

bool file_chunks::prime() {
    allocated_ = reader_.allocate();
    if (!allocated_) {
        why_ = name_ + ": out of memory";
        return false;
    }
    if (size_ == 0) return true;
    primed_ = fill();
    return primed_;
}

std::span<const unsigned char> file_chunks::next() {
    if (primed_) {
        primed_ = false;
    } else if (!allocated_ || !fill()) {
        return {};
    }
    // this chunk goes on the link while the next one is read
    reader_.read_next();
    return chunk_;
}

bool file_chunks::fill() {
    if (read_ >= size_) {
        why_ = name_ + ": nothing left to send";
        return false;
    }
    const uint64_t want = std::min<uint64_t>(kChunk, size_ - read_);
    const chunk_reader::chunk c = reader_.take();
    if (c.got < 0) {
        why_ = name_ + ": " + std::strerror(c.error);
        return false;
    }
    // the file shrank since its size was announced: the device would wait for bytes that are
    // no longer there
    if (static_cast<uint64_t>(c.got) < want) {
        why_ = name_ + ": file ended at byte " +
               std::to_string(read_ + static_cast<uint64_t>(c.got)) + " of " +
               std::to_string(size_);
        return false;
    }
    chunk_ = {c.data, static_cast<size_t>(c.got)};
    read_ += want;
    return true;
}
