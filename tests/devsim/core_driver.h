// Drives a bootloader core directly, the way an adapter does, and writes what it says as short
// texts that tests can compare: "A15" (15 bytes taken), "R:OKAY" (a status packet), "P250"
// (a 250 ms pause), "vanish", "reboot:500".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "devsim/bootloader.h"
#include "devsim/storage.h"
#include "devsim/transcript.h"

namespace devsim_test {

// One bulk OUT transfer: a command text, or `data_len` bytes of data (byte i is (i * 7 + seed)).
struct Transfer {
    std::string text;
    uint32_t data_len = 0;
    uint8_t seed = 0;
};
inline Transfer cmd(std::string text) {
    return {std::move(text), 0, 0};
}
inline Transfer data(uint32_t len, uint8_t seed = 0) {
    return {{}, len, seed};
}

std::vector<uint8_t> pattern_bytes(uint32_t len, uint8_t seed = 0);
std::string hex(uint32_t v);

class CoreDriver {
  public:
    explicit CoreDriver(devsim::DeviceConfig config, std::string transcript_path = {});

    // Hands in the transfer and returns what the core said.
    std::vector<std::string> send(const Transfer& t);
    // Hands in each transfer and returns everything said, in order.
    std::vector<std::string> run(const std::vector<Transfer>& ts);
    // A command's final packet (the last status it sent), or "" when it sent none.
    std::string answer(const std::string& command);
    // Download of `bytes` followed by flash:TARGET; the final packet of the flash.
    std::string flash(const std::string& target, const std::vector<uint8_t>& bytes);

    devsim::Bootloader& core() { return core_; }
    devsim::MemoryStorage& storage() { return storage_; }

  private:
    devsim::MemoryStorage storage_;
    devsim::Transcript transcript_;
    devsim::Bootloader core_;
};

devsim::DeviceConfig test_device(std::vector<std::string> faults = {});

}  // namespace devsim_test
