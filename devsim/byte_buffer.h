// A growable byte buffer that is never zero-filled: downloads of tens of MiB are read straight
// into it, so clearing it first would be wasted work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

namespace devsim {

class ByteBuffer {
  public:
    // Makes room for `n` bytes; the first `keep` bytes survive a reallocation.
    void reserve(size_t n, size_t keep = 0) {
        if (n <= capacity_) return;
        auto bigger = std::make_unique_for_overwrite<uint8_t[]>(n);
        if (keep > 0) std::memcpy(bigger.get(), data_.get(), keep);
        data_ = std::move(bigger);
        capacity_ = n;
    }
    // Gives the memory back (a device that reboots loses what it held in RAM).
    void release() {
        data_.reset();
        capacity_ = 0;
    }
    uint8_t* data() { return data_.get(); }
    const uint8_t* data() const { return data_.get(); }
    size_t capacity() const { return capacity_; }
    std::span<uint8_t> span(size_t offset, size_t n) { return {data_.get() + offset, n}; }

  private:
    std::unique_ptr<uint8_t[]> data_;
    size_t capacity_ = 0;
};

}  // namespace devsim
