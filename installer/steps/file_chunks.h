// A package file read while it is sent: the data phase of a download, a chunk at a time, the
// next chunk read (on a thread of its own, see chunk_reader) while the one before it is on the
// link, and the kernel asked to read further ahead, so that neither the disk nor the read is
// waited for between chunks. Memory stays at two chunks whatever the file's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "base/unique_fd.h"
#include "base/unique_malloc.h"
#include "client/transport.h"
#include "installer/steps/chunk_reader.h"

// Reads until `len` bytes are in or the file ends; the count read, or -1 on a read error.
int64_t read_full(int fd, unsigned char* buf, uint64_t len);
// Asks the kernel to start reading [offset, offset + len) of the file now.
void read_ahead(int fd, uint64_t offset, uint64_t len);

class file_chunks : public download_source {
  public:
    // a multiple of the USB layer's 1 MiB transfers, so the transfers are the same as from memory
    static constexpr size_t kChunk = size_t{4} << 20;

    // The first `size` bytes of the open file `fd` (named `name` in errors); bytes the file
    // gains beyond them are never read.
    file_chunks(base::unique_fd fd, std::string name, uint64_t size);

    // Reads the first chunk before anything is sent, so a file that cannot be read at all is
    // refused with nothing sent. False then (or when there is no memory for the buffers).
    bool prime();
    std::span<const unsigned char> next() override;
    [[nodiscard]] const char* why() const override { return why_.c_str(); }

  private:
    bool fill();

    base::unique_fd fd_;
    std::string name_;
    uint64_t size_;
    uint64_t read_ = 0;  // bytes read so far
    chunk_reader reader_;
    bool allocated_ = false;
    std::span<const unsigned char> chunk_;  // the chunk read last
    bool primed_ = false;                   // it is the first, which next() has not handed out yet
    std::string why_;
};
