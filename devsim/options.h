// The command line of tessaro-devsim.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "devsim/device_config.h"

namespace devsim {

struct ParsedOptions {
    std::optional<SimConfig> config;  // set when the options are good
    bool help = false;                // --help was asked for
    std::string error;                // what is wrong, when neither of the above
    // the lines of a --replay file that were not used, each "FILE line N: why"
    std::vector<std::string> notes;
};

// `args` without the program name.
ParsedOptions parse_options(const std::vector<std::string>& args);

extern const char* const kUsage;

}  // namespace devsim
