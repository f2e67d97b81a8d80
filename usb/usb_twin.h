// The installer's twin of a device: the simulated bootloader core (devsim/) in this process,
// behind a backend of the platform table of its own. It lists one interface, the device itself;
// it never sleeps and never waits (a pause the core asks for is skipped, a restart takes no
// time); it keeps of every write only its size and CRC-32. What it received is kept for whoever
// made it, as the events of its transcript and the writes its storage took.
#pragma once

#include <string>
#include <vector>

#include "devsim/device_config.h"
#include "devsim/digest_storage.h"
#include "usb/usb_platform.h"

namespace usb_twin {

// One transcript event as the twin saw it.
struct Event {
    std::string ev;  // "command", "answer", "data", "loader", "reboot", "gone", "back"
    std::string text;
    uint64_t bytes = 0;
};

// Makes the twin from `config` (whose download bytes are never kept), forgetting an earlier one.
// `counts_as_simulated` is what the platform says of its devices: the real device's answer, so
// that a run against the twin is refused what a run against the real device would be.
// `path` is where the real device hangs (empty where the host cannot tell), so that a run that
// follows a device by its place follows the twin.
void start(devsim::DeviceConfig config, bool counts_as_simulated, std::string path);
// Ends the twin: its interface is no longer listed.
void stop();

const std::vector<Event>& events();
const std::vector<devsim::DigestStorage::Write>& writes();
// The twin's variable as it stands now; empty when it has none.
std::string variable(const std::string& name);

}  // namespace usb_twin

// The backend that reaches the twin started last.
const usb_platform* usb_platform_twin();
