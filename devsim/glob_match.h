// A fault's pattern over a command text: a shell-style glob ('*', '?', '[...]').
#pragma once

#include <string>

namespace devsim {

[[nodiscard]] bool glob_match(const std::string& pattern, const std::string& text);

}  // namespace devsim
