// Package files are opened only when they are regular files: a directory or a device node with a
// package file's name is no image (and opening a FIFO would block the run).
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

// An open file descriptor that closes itself.
class unique_fd {
  public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    unique_fd(unique_fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    unique_fd& operator=(unique_fd&& other) noexcept {
        if (this != &other) reset(std::exchange(other.fd_, -1));
        return *this;
    }
    ~unique_fd() { reset(); }

    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    explicit operator bool() const { return fd_ >= 0; }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

// Opens `fn` read-only when it names a regular file; an empty handle otherwise.
inline unique_fd open_regular_file(const char* fn) {
    if (fn == nullptr) return {};
    // non-blocking only for the open itself, so a FIFO cannot hold the run
    unique_fd fd(::open(fn, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) return {};
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
    int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return {};
    return fd;
}
