// The commands the bootloader understands. Each returns the final status packet; the caller
// sends it (or what a fault puts in its place).
#include <cstdio>

#include "check/crc32.h"
#include "devsim/bootloader.h"
#include "devsim/parse_number.h"
#include "payload/payload.h"

namespace devsim {

namespace {

constexpr size_t kMaxStatusText = kMaxStatusPacket - 4;

struct Target {
    std::string partition;
    uint64_t offset = 0;
};

// PARTITION[:HEXOFFSET]; the offset may pass 4 GiB (a piece of a file larger than that)
std::optional<Target> parse_target(std::string_view text) {
    Target t;
    size_t colon = text.find(':');
    t.partition = std::string(text.substr(0, colon));
    if (!partition_name_ok(t.partition)) return std::nullopt;
    if (colon != std::string_view::npos) {
        auto off = parse_hex64(text.substr(colon + 1));
        if (!off) return std::nullopt;
        t.offset = *off;
    }
    return t;
}

// The installer's loader image of this size and CRC-32 (asked for only when a size matches);
// null for any other.
template <class CrcFn>
const payload_image* loader_image(uint64_t size, CrcFn&& crc_of) {
    std::optional<uint32_t> crc;
    for (const payload_image& img : payload_catalog()) {
        if (img.kind != payload_kind::staged_loader && img.kind != payload_kind::final_loader)
            continue;
        if (img.size != size) continue;
        if (!crc) crc = crc_of();
        if (*crc == GetBufferSUM(img.crc)) return &img;
    }
    return nullptr;
}

}  // namespace

void Bootloader::note_loader(const std::string& partition, std::span<const uint8_t> bytes) {
    note_loader(partition, loader_image(bytes.size(), [bytes] {
                    return GetBufferCRC(bytes.data(), static_cast<uint32_t>(bytes.size()));
                }));
}

void Bootloader::note_loader(const std::string& partition, const payload_image* img) {
    if (img == nullptr) {
        loader_in_.erase(partition);
        return;
    }
    transcript_.loader(config_.name, img->name);
    loader_in_[partition] = img->name;
    loader_to_run_ = img->name;
}

std::string Bootloader::run(std::string_view text, const FaultHits& hits) {
    if (text.starts_with("getvar:")) return getvar(text.substr(7));
    if (text.starts_with("setvar:")) return setvar(text.substr(7));
    if (text.starts_with("download:")) return download(text.substr(9), hits);
    if (text.starts_with("flash:")) return flash(text.substr(6), hits);
    if (text.starts_with("check:")) return check(text.substr(6));
    if (text == "reboot") {
        reboot_after_answer_ = true;
        reboot_away_ms_ = hits.away_ms.value_or(config_.reboot_delay_ms);
        return "OKAY";
    }
    return "FAILunknown command";
}

std::string Bootloader::getvar(std::string_view name) {
    auto it = config_.vars.find(std::string(name));
    if (it == config_.vars.end()) return "FAILunknown variable";
    return "OKAY" + it->second.substr(0, kMaxStatusText);
}

// NAME, one space, VALUE (which may hold further spaces, or be empty)
std::string Bootloader::setvar(std::string_view arg) {
    size_t space = arg.find(' ');
    if (space == 0 || space == std::string_view::npos) return "FAILexpected NAME VALUE";
    config_.vars[std::string(arg.substr(0, space))] = std::string(arg.substr(space + 1));
    return "OKAY";
}

std::string Bootloader::download(std::string_view arg, const FaultHits& hits) {
    auto size = arg.size() <= 8 ? parse_hex32(arg) : std::nullopt;
    if (!size) return "FAILbad download size";
    if (*size == 0) return "FAILempty download";
    if (*size > kMaxDownload) return "FAILdownload too large";
    // a new download replaces the last one, even when it does not complete
    download_size_.reset();
    if (config_.keep_download) download_.reserve(*size);
    DataPhase p;
    p.size = *size;
    p.short_write = hits.short_write;
    p.vanish_after = hits.vanish_data;
    p.vanish_before_status = hits.vanish_status;
    p.corrupt = hits.corrupt;
    phase_ = p;
    char reply[16];
    std::snprintf(reply, sizeof reply, "DATA%08x", hits.data_count.value_or(*size));
    return reply;
}

std::string Bootloader::flash(std::string_view arg, const FaultHits& hits) {
    auto t = parse_target(arg);
    if (!t) return "FAILbad partition";
    if (!download_size_) return "FAILno download";
    if (!config_.keep_download) return flash_digest(t->partition, t->offset);
    std::span<const uint8_t> bytes(download_.data(), *download_size_);
    // the download's memory is the device's RAM: storage may keep it rather than copy it
    if (!storage_.write_kept(t->partition, t->offset, bytes, download_.share()))
        return "FAILwrite failed";
    if (hits.corrupt) {
        const uint8_t flipped = bytes[0] ^ 0xFF;
        if (!storage_.write(t->partition, t->offset, {&flipped, 1})) return "FAILwrite failed";
    }
    // a loader is written whole; a damaged one is not the image it was
    if (t->offset == 0)
        note_loader(t->partition, hits.corrupt ? std::span<const uint8_t>{} : bytes);
    return "OKAY";
}

// The same write when only the download's size and CRC-32 were kept.
std::string Bootloader::flash_digest(const std::string& partition, uint64_t offset) {
    if (!storage_.write_digest(partition, offset, *download_size_, download_crc_))
        return "FAILwrite failed";
    if (offset == 0)
        note_loader(partition, loader_image(*download_size_, [this] { return download_crc_; }));
    return "OKAY";
}

// PARTITION[:HEXOFFSET] START LENGTH CRC: the device confirms that START is where that offset
// of the partition lies and that the bytes stored there have that CRC-32
std::string Bootloader::check(std::string_view arg) {
    size_t s1 = arg.find(' ');
    size_t s2 = s1 == std::string_view::npos ? s1 : arg.find(' ', s1 + 1);
    size_t s3 = s2 == std::string_view::npos ? s2 : arg.find(' ', s2 + 1);
    if (s3 == std::string_view::npos) return "FAILexpected PARTITION START LENGTH CRC";
    auto t = parse_target(arg.substr(0, s1));
    auto start = parse_hex32(arg.substr(s1 + 1, s2 - s1 - 1));
    auto length = parse_hex32(arg.substr(s2 + 1, s3 - s2 - 1));
    if (!t) return "FAILbad partition";
    if (!start || !length) return "FAILbad range";
    // the first N checks of a partition that holds a loader image configured to fail N times
    if (auto held = loader_in_.find(t->partition); held != loader_in_.end()) {
        auto fails = config_.loader_check_fails.find(held->second);
        if (fails != config_.loader_check_fails.end() && fails->second > 0) {
            --fails->second;
            return "FAILcrc mismatch";
        }
    }
    // the expected CRC is read the way the host reads a signature text
    const uint32_t expected = GetBufferSUM(std::string(arg.substr(s3 + 1)).c_str());

    // a given address wins; else the layout of the serial number the device reports now (the
    // storage-variant switch changes it at a reboot)
    uint64_t base = 0;
    if (auto it = config_.addresses.find(t->partition); it != config_.addresses.end()) {
        base = it->second;
    } else {
        auto serialno = config_.vars.find("serialno");
        base = layout_address(serialno != config_.vars.end() ? serialno->second : config_.serial,
                              t->partition)
                   .value_or(0);
    }
    if (base + t->offset != *start) return "FAILaddress mismatch";
    auto crc = storage_.crc(t->partition, t->offset, *length);
    if (!crc) return "FAILrange not written";
    if (*crc != expected) return "FAILcrc mismatch";
    return "OKAY";
}

}  // namespace devsim
