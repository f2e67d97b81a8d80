// The partitions of a device kept as files of a directory (POSIX: holes for blocks of zeros).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <fstream>
#include <vector>

#include "base/unique_fd.h"
#include "devsim/storage.h"
#include "devsim/storage_detail.h"

namespace devsim {

namespace {

constexpr size_t kCrcBlock = 1 << 20;

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
