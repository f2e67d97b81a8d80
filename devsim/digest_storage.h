// Partitions as the sizes and CRC-32s of what was written to them, never their bytes: a device
// that must answer checks of a GiB without holding it (the installer's twin of a device, which
// runs in the installer's own process).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "devsim/storage.h"

namespace devsim {

class DigestStorage : public Storage {
  public:
    // One write as the device took it, in order.
    struct Write {
        std::string partition;
        uint64_t offset = 0;
        uint64_t length = 0;
        uint32_t crc = 0;
    };

    bool write(const std::string& partition, uint64_t offset,
               std::span<const uint8_t> bytes) override;
    bool write_digest(const std::string& partition, uint64_t offset, uint64_t length,
                      uint32_t crc) override;
    // A check is answered when its range is one write or several that follow each other; a
    // range that begins or ends inside a write, or crosses one that a later write cut into,
    // reads as never written.
    std::optional<uint32_t> crc(const std::string& partition, uint64_t offset,
                                uint64_t length) override;
    uint64_t size(const std::string& partition) override;

    const std::vector<Write>& writes() const { return writes_; }

  private:
    struct Piece {
        uint64_t length = 0;
        uint32_t crc = 0;
    };
    struct Partition {
        uint64_t size = 0;
        std::map<uint64_t, Piece> pieces;  // by offset, never overlapping
    };
    std::map<std::string, Partition> parts_;
    std::vector<Write> writes_;
};

}  // namespace devsim
