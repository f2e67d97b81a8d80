#include "devsim/storage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <new>

#include "base/unique_fd.h"
#include "check/crc32.h"

namespace devsim {

namespace {

constexpr size_t kMaxPartitionName = 64;
constexpr size_t kCrcBlock = 1 << 20;

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

// one extent of zeros, to read where nothing was stored
const std::array<uint8_t, MemoryStorage::kExtent>& zeros() {
    static const std::array<uint8_t, MemoryStorage::kExtent> z{};
    return z;
}

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

bool write_all(int fd, std::span<const uint8_t> bytes, off_t pos) {
    while (!bytes.empty()) {
        ssize_t n = ::pwrite(fd, bytes.data(), bytes.size(), pos);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes = bytes.subspan(static_cast<size_t>(n));
        pos += n;
    }
    return true;
}

bool punch_hole(int fd, off_t pos, off_t len) {
#ifdef FALLOC_FL_PUNCH_HOLE
    return ::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, pos, len) == 0;
#else
    (void)fd;
    (void)pos;
    (void)len;
    return false;
#endif
}

}  // namespace

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

bool DirStorage::write(const std::string& partition, uint64_t offset,
                       std::span<const uint8_t> bytes) {
    if (offset > static_cast<uint64_t>(INT64_MAX) - bytes.size()) return false;
    std::error_code ec;
    std::filesystem::create_directories(dir_, ec);
    base::unique_fd fd(::open((dir_ / partition).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    if (fd.get() < 0) return false;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return false;
    const auto old_size = static_cast<uint64_t>(st.st_size);
    auto pos = static_cast<off_t>(offset);
    while (!bytes.empty()) {
        auto block = bytes.first(std::min(bytes.size(), MemoryStorage::kExtent));
        // zeros past the old end are a hole the final size makes; over old bytes, a punched hole
        const bool zero = all_zero(block);
        const bool hole = zero && (static_cast<uint64_t>(pos) >= old_size ||
                                   punch_hole(fd.get(), pos, static_cast<off_t>(block.size())));
        if (!hole && !write_all(fd.get(), block, pos)) return false;
        pos += static_cast<off_t>(block.size());
        bytes = bytes.subspan(block.size());
    }
    // a write that ends in a hole past the old end still gives the partition its new size
    return static_cast<uint64_t>(pos) <= old_size || ::ftruncate(fd.get(), pos) == 0;
}

std::optional<uint32_t> DirStorage::crc(const std::string& partition, uint64_t offset,
                                        uint64_t length) {
    base::unique_fd fd(::open((dir_ / partition).c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return std::nullopt;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return std::nullopt;
    auto size = static_cast<uint64_t>(st.st_size);
    if (offset > size || length > size - offset) return std::nullopt;
    std::vector<uint8_t> block(std::min<uint64_t>(length, kCrcBlock));
    uint32_t crc = 0;
    auto pos = static_cast<off_t>(offset);
    while (length > 0) {
        size_t want = std::min<uint64_t>(length, block.size());
        ssize_t n = ::pread(fd.get(), block.data(), want, pos);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        crc = crc_of(crc, block.data(), static_cast<uint64_t>(n));
        length -= static_cast<uint64_t>(n);
        pos += n;
    }
    return crc;
}

uint64_t DirStorage::size(const std::string& partition) {
    std::error_code ec;
    auto n = std::filesystem::file_size(dir_ / partition, ec);
    return ec ? 0 : n;
}

void DirStorage::keep_vars(const std::map<std::string, std::string>& vars) {
    std::error_code ec;
    std::filesystem::create_directories(dir_, ec);
    // replaced whole, so a reader never sees half of it
    const auto tmp = dir_ / ".vars.new";
    {
        std::ofstream out(tmp, std::ios::trunc);
        for (const auto& [name, value] : vars) out << name << '=' << value << '\n';
    }
    std::filesystem::rename(tmp, dir_ / ".vars", ec);
}

}  // namespace devsim
