// Package files are opened only when they are regular files: a directory or a device node with a
// package file's name is no image (and opening a FIFO would block the run).
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include "base/unique_fd.h"

#ifdef _WIN32
// the C runtime on Windows sees no symbolic links: looking at a name is looking at its file
inline int lstat(const char* fn, struct stat* st) {
    return ::stat(fn, st);
}
#define S_ISLNK(mode) false
// nor sockets among its files
#define S_ISSOCK(mode) false
#endif

// Opens `fn` read-only when it names a regular file; an empty handle otherwise.
inline base::unique_fd open_regular_file(const char* fn) {
    if (fn == nullptr) return {};
#ifdef _WIN32
    // no FIFOs to fear here; binary, so that the bytes are read as they are; sequential, so
    // that Windows reads ahead of the reader (what posix_fadvise asks for elsewhere)
    base::unique_fd fd(::open(fn, O_RDONLY | O_BINARY | O_SEQUENTIAL));
    struct stat st;
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
    return fd;
#else
    // non-blocking only for the open itself, so a FIFO cannot hold the run
    base::unique_fd fd(::open(fn, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) return {};
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
    int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return {};
    return fd;
#endif
}
