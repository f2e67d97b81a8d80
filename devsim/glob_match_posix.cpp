// The host's own shell-style matching, as the shell's users know it.
#include <fnmatch.h>

#include "devsim/glob_match.h"

namespace devsim {

bool glob_match(const std::string& pattern, const std::string& text) {
    return fnmatch(pattern.c_str(), text.c_str(), 0) == 0;
}

}  // namespace devsim
