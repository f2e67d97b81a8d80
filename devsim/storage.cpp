#include "devsim/storage.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstring>
#include <new>

#include "check/crc32.h"
#include "devsim/storage_detail.h"

namespace devsim {

namespace {

constexpr size_t kMaxPartitionName = 64;
constexpr size_t kCrcBlock = 1 << 20;

}  // namespace

// get_crc32 takes 32-bit lengths; ranges may be longer
uint32_t crc_of(uint32_t crc, const uint8_t* p, uint64_t n) {
    while (n > 0) {
        auto step = static_cast<uint32_t>(std::min<uint64_t>(n, kCrcBlock));
        crc = get_crc32(crc, p, step);
        p += step;
        n -= step;
    }
    return crc;
}

namespace {

// one extent of zeros, to read where nothing was stored
const std::array<uint8_t, MemoryStorage::kExtent>& zeros() {
    static const std::array<uint8_t, MemoryStorage::kExtent> z{};
    return z;
}

}  // namespace

bool all_zero(std::span<const uint8_t> bytes) {
    // most data is not zero, and says so in its first bytes
    if (bytes.empty()) return true;
    if (bytes[0] != 0) return false;
    while (!bytes.empty()) {
        const size_t n = std::min(bytes.size(), zeros().size());
        if (std::memcmp(bytes.data(), zeros().data(), n) != 0) return false;
        bytes = bytes.subspan(n);
    }
    return true;
}

bool partition_name_ok(std::string_view name) {
    if (name.empty() || name.size() > kMaxPartitionName || name.front() == '.') return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '-' || c == '.';
    });
}

bool MemoryStorage::write(const std::string& partition, uint64_t offset,
                          std::span<const uint8_t> bytes) {
    return store(partition, offset, bytes, nullptr);
}

bool MemoryStorage::write_kept(const std::string& partition, uint64_t offset,
                               std::span<const uint8_t> bytes,
                               const std::shared_ptr<const uint8_t[]>& owner) {
    return store(partition, offset, bytes, &owner);
}

bool MemoryStorage::store(const std::string& partition, uint64_t offset,
                          std::span<const uint8_t> bytes,
                          const std::shared_ptr<const uint8_t[]>* owner) {
    if (offset > UINT64_MAX - bytes.size()) return false;
    auto& part = parts_[partition];
    try {
        uint64_t pos = offset;
        while (!bytes.empty()) {
            const uint64_t number = pos / kExtent;
            const auto within = static_cast<size_t>(pos % kExtent);
            const size_t take = std::min(kExtent - within, bytes.size());
            auto slice = bytes.first(take);
            auto it = part.extents.find(number);
            if (owner != nullptr && take == kExtent) {
                // a whole extent of kept bytes: pointed at, not copied (zeros stay a hole)
                if (all_zero(slice)) {
                    if (it != part.extents.end()) part.extents.erase(it);
                } else {
                    part.extents[number] = {{*owner, slice.data()}, nullptr};
                }
            } else if (it != part.extents.end()) {
                if (it->second.writable == nullptr) {
                    // kept bytes are never changed: this extent gets its own copy first
                    auto copy = std::make_shared_for_overwrite<uint8_t[]>(kExtent);
                    std::memcpy(copy.get(), it->second.bytes.get(), kExtent);
                    it->second = {copy, copy.get()};
                }
                std::memcpy(it->second.writable + within, slice.data(), take);
            } else if (!all_zero(slice)) {
                // a new extent: what this write does not cover reads as zeros
                auto extent = std::make_shared_for_overwrite<uint8_t[]>(kExtent);
                std::memset(extent.get(), 0, within);
                std::memcpy(extent.get() + within, slice.data(), take);
                std::memset(extent.get() + within + take, 0, kExtent - within - take);
                part.extents.emplace(number, Extent{extent, extent.get()});
            }
            bytes = bytes.subspan(take);
            pos += take;
        }
        part.size = std::max(part.size, pos);
    } catch (const std::bad_alloc&) {
        // more than memory holds is a failed write, not the end of the device
        return false;
    }
    return true;
}

std::optional<uint32_t> MemoryStorage::crc(const std::string& partition, uint64_t offset,
                                           uint64_t length) {
    auto it = parts_.find(partition);
    if (it == parts_.end()) return std::nullopt;
    const Partition& part = it->second;
    if (offset > part.size || length > part.size - offset) return std::nullopt;
    uint32_t crc = 0;
    while (length > 0) {
        const auto within = static_cast<size_t>(offset % kExtent);
        const auto take = static_cast<size_t>(std::min<uint64_t>(kExtent - within, length));
        auto extent = part.extents.find(offset / kExtent);
        const uint8_t* p =
            extent != part.extents.end() ? extent->second.bytes.get() + within : zeros().data();
        crc = get_crc32(crc, p, static_cast<uint32_t>(take));
        offset += take;
        length -= take;
    }
    return crc;
}

uint64_t MemoryStorage::size(const std::string& partition) {
    auto it = parts_.find(partition);
    return it == parts_.end() ? 0 : it->second.size;
}

}  // namespace devsim
