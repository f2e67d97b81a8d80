// The simulated device's bootloader against any host: the input is a few fault rules and then a
// sequence of bulk OUT transfers (commands and data phases) handed to the core the way the
// socket adapter hands them. Whatever arrives, every status packet is at most 64 bytes, each
// transfer is acknowledged once with no more than it carried (unless the device went away),
// and the transfer buffer is exactly the size asked for.
//
// Input: one byte, the number of faults (0 to 3), each a length byte and that many bytes of
// `PATTERN[#N]=ACTION[:ARG]` (bad ones are left out); then transfers, each a byte L: below 0xf0
// a transfer of the next L input bytes, 0xf0 to 0xfd a data transfer of (L - 0xef) * 1031
// pattern bytes, 0xfe the host closing its end, 0xff a transfer of 16 KiB.
#include <cstring>
#include <string>

#include "devsim/bootloader.h"
#include "devsim/fault.h"
#include "devsim/parse_number.h"
#include "devsim/storage.h"
#include "devsim/transcript.h"
#include "fuzz_input.h"

namespace {

using devsim::OutputKind;

constexpr size_t kLargeTransfer = size_t{16} * 1024;

// Memory storage that refuses partitions larger than 1 MiB: a flash at an offset near 4 GiB is
// a failed write here instead of gigabytes of zeros the fuzzer cannot afford.
class SmallStorage : public devsim::Storage {
  public:
    static constexpr uint64_t kLimit = 1 << 20;
    bool write(const std::string& partition, uint64_t offset,
               std::span<const uint8_t> bytes) override {
        if (offset > kLimit || bytes.size() > kLimit - offset) return false;
        return mem_.write(partition, offset, bytes);
    }
    std::optional<uint32_t> crc(const std::string& partition, uint64_t offset,
                                uint64_t length) override {
        return mem_.crc(partition, offset, length);
    }
    uint64_t size(const std::string& partition) override { return mem_.size(partition); }

  private:
    devsim::MemoryStorage mem_;
};

devsim::DeviceConfig device(FuzzInput& in) {
    devsim::DeviceConfig d;
    d.name = "fuzz";
    d.vars = {{"product", "RQ3"}, {"serialno", "P00118FUZZ0001"}, {"verflag", "Z05"}};
    d.addresses = devsim::default_addresses();
    int faults = in.byte() % 4;
    for (int i = 0; i < faults; ++i) {
        auto rule = in.take(in.byte());
        auto parsed = devsim::parse_fault(
            std::string_view(reinterpret_cast<const char*>(rule.data()), rule.size()));
        FUZZ_CHECK(parsed.fault.has_value() != !parsed.error.empty());
        if (parsed.fault) d.faults.push_back(*parsed.fault);
    }
    return d;
}

// A download the core would take but the fuzzer cannot afford: under AddressSanitizer every
// reservation of up to 1 GiB costs a tenth of a second. Sizes above 16 MiB are left to the
// seeds (download-sizes).
bool costly_download(std::span<const uint8_t> bytes) {
    std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (!text.starts_with("download:")) return false;
    auto size = devsim::parse_hex32(text.substr(9));
    return size && *size > (16U << 20) && *size <= devsim::kMaxDownload;
}

// Hands one transfer to the core and drains what it says, as the socket adapter does.
void transfer(devsim::Bootloader& core, std::span<const uint8_t> bytes) {
    auto len = static_cast<uint32_t>(bytes.size());
    auto buf = core.transfer_buffer(len);
    FUZZ_CHECK(buf.size() == len);
    if (len > 0) std::memcpy(buf.data(), bytes.data(), len);
    core.transfer_done(len);

    int acks = 0;
    bool gone = false;
    auto& out = core.output();
    while (!out.empty()) {
        devsim::Output o = std::move(out.front());
        out.pop_front();
        switch (o.kind) {
            case OutputKind::Ack:
                ++acks;
                FUZZ_CHECK(o.value <= len);
                break;
            case OutputKind::Work:
                core.run_pending();
                break;
            case OutputKind::Status:
                FUZZ_CHECK(o.packet.size() <= devsim::kMaxStatusPacket);
                break;
            case OutputKind::Pause:
                break;
            case OutputKind::Vanish:
            case OutputKind::Reboot:
                gone = true;
                core.back();
                break;
        }
    }
    FUZZ_CHECK(acks <= 1);
    FUZZ_CHECK(acks == 1 || gone);
    // the link closes when the device leaves: what the host was in the middle of is lost
    if (gone) core.host_left();
}

#ifdef TESSARO_FUZZING
constexpr bool fuzzing = true;
#else
constexpr bool fuzzing = false;
#endif

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    SmallStorage storage;
    devsim::Transcript transcript;
    devsim::Bootloader core(device(in), storage, transcript);
    static const std::vector<uint8_t> filler = [] {
        std::vector<uint8_t> v(kLargeTransfer);
        for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint8_t>(i * 7 + i / 251);
        return v;
    }();
    while (!in.empty()) {
        uint8_t l = in.byte();
        if (l < 0xf0) {
            auto bytes = in.take(l);
            if (!costly_download(bytes) || !fuzzing) transfer(core, bytes);
        } else if (l == 0xfe) {
            core.host_left();
        } else {
            size_t n = l == 0xff ? kLargeTransfer : static_cast<size_t>(l - 0xefU) * 1031;
            transfer(core, std::span(filler).first(n));
        }
    }
    return 0;
}
