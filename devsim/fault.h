// Fault injection: each fault names the commands it hits with a glob over the command text and,
// optionally, which occurrence of a matching command (the Nth) it hits.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace devsim {

enum class FaultAction {
    Fail,           // answer FAIL, with `text` when it has one
    Status,         // answer the raw packet `text`
    Info,           // send INFO`text` before the answer
    DataCount,      // answer a download with DATA and `value`
    ShortWrite,     // take only `value` bytes of the data phase's first transfer
    Silence,        // wait `value` ms before the answer
    VanishCommand,  // go away on receiving the command
    VanishData,     // go away once `value` bytes of the data phase have arrived
    VanishStatus,   // go away before the final status
    Corrupt,        // store the bytes with one byte flipped
    Away,           // on reboot, stay away `value` ms
    Oversize,       // answer with a packet of `value` bytes, longer than a status packet may be
    Flood,          // send `value` INFO packets before the answer
    Reserial,       // on reboot, come back with the USB serial number `text`
    Restart,        // on reboot, close the link without answering and restart all the same
};

struct Fault {
    std::string pattern;
    uint32_t occurrence = 0;  // 0: every matching command
    FaultAction action = FaultAction::Fail;
    std::string text;
    uint32_t value = 0;
    uint32_t seen = 0;  // matching commands so far
};

// Parses `PATTERN[#N]=ACTION[:ARG]`; the error text says what is wrong.
struct FaultParse {
    std::optional<Fault> fault;
    std::string error;
};
FaultParse parse_fault(std::string_view rule);

// Counts the command against every fault whose pattern matches it and returns the faults that
// hit this occurrence, in the order they were given.
std::vector<const Fault*> faults_for_command(std::vector<Fault>& faults, std::string_view cmd);

// What the faults that hit one command ask of the device, gathered.
struct FaultHits {
    std::optional<std::string> answer;  // fail or status: the packet sent instead
    std::vector<std::string> infos;
    std::optional<uint32_t> data_count;
    std::optional<uint32_t> short_write;
    std::optional<uint32_t> vanish_data;
    uint32_t silence_ms = 0;
    bool vanish_command = false;
    bool vanish_status = false;
    bool corrupt = false;
    std::optional<uint32_t> away_ms;
    bool oversize = false;  // `answer` is sent whole, past the status packet's limit
    uint32_t flood = 0;
    std::optional<std::string> reserial;
    bool restart = false;

    explicit FaultHits(const std::vector<const Fault*>& faults);
};

}  // namespace devsim
