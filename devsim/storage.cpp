#include "devsim/storage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
    auto& part = parts_[partition];
    uint64_t end = offset + bytes.size();
    if (end > part.max_size()) return false;
    try {
        if (part.size() < end) part.resize(end);
    } catch (const std::bad_alloc&) {
        // an offset far beyond what memory holds is a failed write, not the end of the device
        return false;
    }
    if (!bytes.empty()) std::memcpy(part.data() + offset, bytes.data(), bytes.size());
    return true;
}

std::optional<uint32_t> MemoryStorage::crc(const std::string& partition, uint64_t offset,
                                           uint64_t length) {
    auto it = parts_.find(partition);
    if (it == parts_.end()) return std::nullopt;
    const auto& part = it->second;
    if (offset > part.size() || length > part.size() - offset) return std::nullopt;
    return crc_of(0, part.data() + offset, length);
}

uint64_t MemoryStorage::size(const std::string& partition) {
    auto it = parts_.find(partition);
    return it == parts_.end() ? 0 : it->second.size();
}

bool DirStorage::write(const std::string& partition, uint64_t offset,
                       std::span<const uint8_t> bytes) {
    std::error_code ec;
    std::filesystem::create_directories(dir_, ec);
    base::unique_fd fd(::open((dir_ / partition).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    if (fd.get() < 0) return false;
    const uint8_t* p = bytes.data();
    size_t left = bytes.size();
    auto pos = static_cast<off_t>(offset);
    while (left > 0) {
        ssize_t n = ::pwrite(fd.get(), p, left, pos);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        left -= static_cast<size_t>(n);
        pos += n;
    }
    return true;
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
