// GBK (code page 936) bytes to UTF-8, by the host's own converter.
#pragma once

#include <string>
#include <string_view>

namespace web {

// A byte that does not start a GBK character becomes U+FFFD; the rest goes on.
[[nodiscard]] std::string gbk_to_utf8(std::string_view gbk);

}  // namespace web
