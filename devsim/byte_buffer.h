// A growable byte buffer that is never zero-filled: downloads of tens of MiB are read straight
// into it, so clearing it first would be wasted work. Its memory can be handed to storage, which
// keeps it instead of copying it; while storage holds it, the buffer writes into new memory from
// its next reserve() on, so what storage keeps never changes.
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
        // memory that someone else still holds is never written again
        if (n <= capacity_ && data_.use_count() <= 1) return;
        auto bigger = std::make_shared_for_overwrite<uint8_t[]>(n);
        if (keep > 0) std::memcpy(bigger.get(), data_.get(), keep);
        data_ = std::move(bigger);
        capacity_ = n;
    }
    // Gives the memory back (a device that reboots loses what it held in RAM).
    void release() {
        data_.reset();
        capacity_ = 0;
    }
    // The memory, for whoever keeps it past this buffer; while anyone holds it, it is not written
    // again through here.
    std::shared_ptr<const uint8_t[]> share() const { return data_; }
    uint8_t* data() { return data_.get(); }
    const uint8_t* data() const { return data_.get(); }
    size_t capacity() const { return capacity_; }
    std::span<uint8_t> span(size_t offset, size_t n) { return {data_.get() + offset, n}; }

  private:
    std::shared_ptr<uint8_t[]> data_;
    size_t capacity_ = 0;
};

}  // namespace devsim
