// A report or trace handed to tessaro-devsim --replay, against any bytes: every line that is not
// used is named by its number, and the device made from the rest answers the commands it was
// recorded with without breaking the core's promises (no status packet past 64 bytes unless an
// over-long one was recorded as such, one acknowledgement per transfer).
//
// Input: the file's text.
#include <algorithm>
#include <string>
#include <vector>

#include "devsim/bootloader.h"
#include "devsim/replay.h"
#include "devsim/storage.h"
#include "devsim/transcript.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    devsim::DeviceConfig dev;
    dev.name = "fuzz";
    const devsim::ReplayRead read = devsim::replay_into(in.all(), dev);
    for (const std::string& note : read.skipped) FUZZ_CHECK(note.starts_with("line "));
    FUZZ_CHECK(dev.serial.size() <= devsim::kMaxSerial);

    // the recorded commands again, each once, as the installer would send them
    std::vector<std::string> commands;
    for (const devsim::Fault& f : dev.faults) {
        std::string text;
        for (size_t i = 0; i < f.pattern.size(); ++i) {
            if (f.pattern[i] == '\\' && i + 1 < f.pattern.size()) ++i;
            text += f.pattern[i];
        }
        if (!text.empty() && text.size() <= 64) commands.push_back(text);
    }
    devsim::MemoryStorage storage;
    devsim::Transcript transcript;
    devsim::Bootloader core(dev, storage, transcript);
    for (const std::string& c : commands) {
        auto buf = core.transfer_buffer(static_cast<uint32_t>(c.size()));
        FUZZ_CHECK(buf.size() == c.size());
        std::copy(c.begin(), c.end(), buf.begin());
        core.transfer_done(static_cast<uint32_t>(c.size()));
        int acks = 0;
        for (auto& out = core.output(); !out.empty(); out.pop_front()) {
            const devsim::OutputKind kind = out.front().kind;
            // only a recorded over-long answer is sent whole
            FUZZ_CHECK(out.front().packet.size() <= 64 || out.front().packet.size() == 200);
            if (kind == devsim::OutputKind::Work) core.run_pending();
            if (kind == devsim::OutputKind::Ack) ++acks;
            if (kind == devsim::OutputKind::Vanish || kind == devsim::OutputKind::Reboot) {
                core.back();
            }
        }
        FUZZ_CHECK(acks <= 1);
        core.host_left();
    }
    return 0;
}
