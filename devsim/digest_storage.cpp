#include "devsim/digest_storage.h"

#include <algorithm>
#include <iterator>

#include "check/crc32.h"
#include "devsim/storage_detail.h"

namespace devsim {

bool DigestStorage::write(const std::string& partition, uint64_t offset,
                          std::span<const uint8_t> bytes) {
    return write_digest(partition, offset, bytes.size(), crc_of(0, bytes.data(), bytes.size()));
}

bool DigestStorage::write_digest(const std::string& partition, uint64_t offset, uint64_t length,
                                 uint32_t crc) {
    if (offset > UINT64_MAX - length) return false;
    writes_.push_back({partition, offset, length, crc});
    Partition& p = parts_[partition];
    const uint64_t end = offset + length;
    // what the write covers, even in part, is no longer what was written before: a piece cut
    // into goes whole, since its CRC is of bytes some of which are gone
    auto it = p.pieces.upper_bound(offset);
    if (it != p.pieces.begin() && std::prev(it)->first + std::prev(it)->second.length > offset)
        --it;
    while (it != p.pieces.end() && it->first < end) it = p.pieces.erase(it);
    if (length > 0) p.pieces[offset] = {length, crc};
    p.size = std::max(p.size, end);
    return true;
}

std::optional<uint32_t> DigestStorage::crc(const std::string& partition, uint64_t offset,
                                           uint64_t length) {
    auto part = parts_.find(partition);
    if (part == parts_.end() || offset > part->second.size) return std::nullopt;
    uint32_t crc = 0;
    uint64_t covered = 0;
    auto it = part->second.pieces.find(offset);
    while (covered < length) {
        if (it == part->second.pieces.end() || it->first != offset + covered ||
            it->second.length > length - covered)
            return std::nullopt;
        crc = crc32_combine(crc, it->second.crc, it->second.length);
        covered += it->second.length;
        ++it;
    }
    return crc;
}

uint64_t DigestStorage::size(const std::string& partition) {
    auto it = parts_.find(partition);
    return it == parts_.end() ? 0 : it->second.size;
}

}  // namespace devsim
