// The bootloader of one simulated device, with no I/O of its own: an adapter hands it each bulk
// OUT transfer and drains what it has to say (status packets for the IN pipe, the count taken
// for each transfer, pauses, and going away). The socket server is one such adapter; the same
// core can sit behind an emulated usbfs or a VM's USB redirection.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "devsim/byte_buffer.h"
#include "devsim/device_config.h"
#include "devsim/storage.h"
#include "devsim/transcript.h"

struct payload_image;

namespace devsim {

enum class OutputKind {
    Ack,     // `value`: bytes taken of the transfer just handed in (one per transfer)
    Work,    // the device now acts on the command it acknowledged: send the Ack, then call
             // run_pending() (a slow command must not hold back the acknowledgement)
    Status,  // `packet`: one bulk IN transfer
    Pause,   // `value`: milliseconds before anything further goes out
    Vanish,  // the device leaves the bus and is back at once (call back() when it is)
    Reboot,  // the device leaves the bus for `value` milliseconds (call back() when it is back)
};

struct Output {
    OutputKind kind;
    uint32_t value = 0;
    std::string packet;
};

// the largest download the device accepts
constexpr uint32_t kMaxDownload = 1U << 30;
constexpr size_t kMaxStatusPacket = 64;

class Bootloader {
  public:
    Bootloader(DeviceConfig config, Storage& storage, Transcript& transcript);

    // Where the next bulk OUT transfer of `len` bytes goes: during a data phase, straight into
    // the download at its current position.
    std::span<uint8_t> transfer_buffer(uint32_t len);
    // The transfer placed in transfer_buffer() has arrived.
    void transfer_done(uint32_t len);

    // What the device has to say, in order; the adapter pops from the front.
    std::deque<Output>& output() { return out_; }

    // Carries out the command acknowledged before the Work output; its answers follow.
    void run_pending();

    // The host closed its end: a data phase in progress is abandoned.
    void host_left();
    // The device is on the bus again after a Vanish or Reboot.
    void back();

    const DeviceConfig& config() const { return config_; }

  private:
    struct DataPhase {
        uint32_t size = 0;
        uint32_t pos = 0;
        bool first = true;
        std::optional<uint32_t> short_write;
        std::optional<uint32_t> vanish_after;
        bool vanish_before_status = false;
        bool corrupt = false;
        uint32_t crc = 0;  // of what arrived, when the download's bytes are not kept
    };

    void command(std::string_view text);
    void data(uint32_t len);
    void finish_data();
    std::string run(std::string_view text, const FaultHits& hits);
    std::string getvar(std::string_view name);
    std::string setvar(std::string_view arg);
    std::string download(std::string_view arg, const FaultHits& hits);
    std::string flash(std::string_view arg, const FaultHits& hits);
    std::string check(std::string_view arg);

    // A status packet is cut to its limit, unless a fault sends it whole.
    void answer(std::string_view packet, bool whole = false);
    void go_away(std::string_view why);
    void forget_volatile_state();
    void note_loader(const std::string& partition, std::span<const uint8_t> bytes);
    void note_loader(const std::string& partition, const payload_image* img);
    std::string flash_digest(const std::string& partition, uint64_t offset);
    void run_new_loader();
    void take_respcb();

    DeviceConfig config_;
    Storage& storage_;
    Transcript& transcript_;
    std::deque<Output> out_;

    ByteBuffer scratch_;
    bool direct_ = false;  // the last transfer_buffer() pointed into the download

    ByteBuffer download_;
    std::optional<uint32_t> download_size_;  // set once a data phase has completed
    uint32_t download_crc_ = 0;              // its CRC-32, when its bytes are not kept
    std::optional<DataPhase> phase_;
    struct Pending {
        std::string text;
        FaultHits hits;
    };
    std::optional<Pending> pending_;
    bool reboot_after_answer_ = false;
    uint32_t reboot_away_ms_ = 0;

    // the loader image written last, which the device runs from its next reboot on
    std::string loader_to_run_;
    // the loader image each partition holds, by partition
    std::map<std::string, std::string> loader_in_;
};

}  // namespace devsim
