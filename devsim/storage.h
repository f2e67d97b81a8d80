// Where a device keeps its partitions: in memory, or one file per partition in a directory the
// user can inspect. Partition names reach here only after partition_name_ok has passed them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace devsim {

// Letters, digits, '_', '-' and '.', not starting with '.', at most 64 characters: a name that
// is safe as a file name and can never climb out of the storage directory.
bool partition_name_ok(std::string_view name);

class Storage {
  public:
    virtual ~Storage() = default;
    // Writes the bytes at `offset` of the partition, growing it (a gap reads as zeros).
    // False when the write failed.
    virtual bool write(const std::string& partition, uint64_t offset,
                       std::span<const uint8_t> bytes) = 0;
    // The same write, of bytes that lie in `owner`'s memory and never change again: a storage
    // may keep that memory instead of copying the bytes.
    virtual bool write_kept(const std::string& partition, uint64_t offset,
                            std::span<const uint8_t> bytes,
                            const std::shared_ptr<const uint8_t[]>& /*owner*/) {
        return write(partition, offset, bytes);
    }
    // The write of `length` bytes whose CRC-32 is `crc`, by a device that does not keep the
    // bytes; false (a failed write) for a storage that needs them.
    virtual bool write_digest(const std::string& /*partition*/, uint64_t /*offset*/,
                              uint64_t /*length*/, uint32_t /*crc*/) {
        return false;
    }
    // CRC-32 of `length` bytes from `offset`; nothing when that range was never stored.
    virtual std::optional<uint32_t> crc(const std::string& partition, uint64_t offset,
                                        uint64_t length) = 0;
    // The stored size of the partition (0 when it does not exist).
    virtual uint64_t size(const std::string& partition) = 0;
    // The device's variables as they stand now, for whoever inspects the storage afterwards.
    virtual void keep_vars(const std::map<std::string, std::string>& /*vars*/) {}
};

// Partitions in memory as extents of 1 MiB made when first written: a partition grows without
// moving what it holds, and an extent that would hold only zeros is never made, so a partition
// of many GiB written mostly with zeros costs only what is not zero. A whole extent of kept
// bytes (write_kept) is not copied: the extent points into their memory, and is copied only
// when a later write changes part of it.
class MemoryStorage : public Storage {
  public:
    static constexpr size_t kExtent = size_t{1} << 20;

    bool write(const std::string& partition, uint64_t offset,
               std::span<const uint8_t> bytes) override;
    bool write_kept(const std::string& partition, uint64_t offset, std::span<const uint8_t> bytes,
                    const std::shared_ptr<const uint8_t[]>& owner) override;
    std::optional<uint32_t> crc(const std::string& partition, uint64_t offset,
                                uint64_t length) override;
    uint64_t size(const std::string& partition) override;

  private:
    struct Extent {
        std::shared_ptr<const uint8_t[]> bytes;
        uint8_t* writable = nullptr;  // the same bytes when this extent owns them, else null
    };
    struct Partition {
        uint64_t size = 0;
        std::map<uint64_t, Extent> extents;  // by extent number
    };
    bool store(const std::string& partition, uint64_t offset, std::span<const uint8_t> bytes,
               const std::shared_ptr<const uint8_t[]>* owner);
    std::map<std::string, Partition> parts_;
};

// Each partition is the file DIR/PARTITION; what is there at start counts as stored. Blocks of
// zeros are left as holes, so a file of many GiB written mostly with zeros takes little disk.
class DirStorage : public Storage {
  public:
    explicit DirStorage(std::filesystem::path dir) : dir_(std::move(dir)) {}
    bool write(const std::string& partition, uint64_t offset,
               std::span<const uint8_t> bytes) override;
    std::optional<uint32_t> crc(const std::string& partition, uint64_t offset,
                                uint64_t length) override;
    uint64_t size(const std::string& partition) override;
    // written to DIR/.vars, one NAME=VALUE line each: no partition name starts with '.'
    void keep_vars(const std::map<std::string, std::string>& vars) override;

  private:
    std::filesystem::path dir_;
};

}  // namespace devsim
