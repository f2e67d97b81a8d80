// The fuzz input as the targets read it: first copied into a heap buffer of exactly its size,
// so that AddressSanitizer reports any read past its end, then taken from the front piece by
// piece. An exhausted input gives zeros and empty pieces.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>

#include "console/console.h"

// A broken promise of the code under test: abort() so that libFuzzer keeps the input.
#define FUZZ_CHECK(cond)                                                           \
    do {                                                                           \
        if (!(cond)) {                                                             \
            con_err("fuzz check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
            std::abort();                                                          \
        }                                                                          \
    } while (0)

class FuzzInput {
  public:
    FuzzInput(const uint8_t* data, size_t size)
        : bytes_(std::make_unique_for_overwrite<uint8_t[]>(size)), size_(size) {
        if (size > 0) std::memcpy(bytes_.get(), data, size);
    }

    bool empty() const { return pos_ == size_; }
    size_t left() const { return size_ - pos_; }

    uint8_t byte() { return empty() ? 0 : bytes_[pos_++]; }

    // Up to `n` bytes, pointing into the copy.
    std::span<const uint8_t> take(size_t n) {
        n = std::min(n, left());
        std::span<const uint8_t> s(bytes_.get() + pos_, n);
        pos_ += n;
        return s;
    }

    // A serial number of up to `n` bytes as the flow hands it over: its 256-byte copy of the
    // device's answer, cut to 255 bytes and terminated (a NUL byte inside ends the text there).
    std::array<char, 256> serial(size_t n) {
        std::array<char, 256> copy{};
        const std::span<const uint8_t> bytes = take(n);
        std::memcpy(copy.data(), bytes.data(), std::min(bytes.size(), copy.size() - 1));
        return copy;
    }

    // Everything, as text, pointing into the copy.
    std::string_view all() const { return {reinterpret_cast<const char*>(bytes_.get()), size_}; }

  private:
    std::unique_ptr<uint8_t[]> bytes_;
    size_t size_;
    size_t pos_ = 0;
};
