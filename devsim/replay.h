// A device made from a run's bug report or trace (TESSARO_TRACE): its serial number, the variables
// it answered, the addresses its checks took, and every answer it gave that a sound device would
// not have given (a FAIL, a refused check, a malformed packet, INFO lines, a link lost at the
// command, in the data phase or before the status, a silence past the read timeout), each at the
// exchange where it came. The queries and checks answer as recorded, whatever the package
// written; the rest the device does itself. An installer run against it with the same package
// and arguments takes the same road and ends at the same exchange.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "devsim/device_config.h"

namespace devsim {

struct ReplayRead {
    std::vector<std::string> skipped;  // "line N: why", one for each line that was not used
    size_t exchanges = 0;              // the commands found
};

// `file` is the whole report (its lines after "--- trace ---") or a plain trace. Sets `dev` up
// as the recorded device; never fails on what the file holds.
[[nodiscard]] ReplayRead replay_into(std::string_view file, DeviceConfig& dev);

}  // namespace devsim
