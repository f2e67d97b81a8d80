// What the console needs from the host: the locale's encoding, the UTF-8 to GBK conversion and
// the writing of bytes to a standard stream. console_posix.cpp and console_win.cpp each give
// one host's version.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "console/console.h"

namespace console_platform {

// The encoding the user's locale asks for (after setlocale(LC_ALL, "")).
ConsoleEncoding locale_encoding();

enum class Conversion { Done, NotGbk, NoConverter };
// The UTF-8 text as GBK bytes in *out. NoConverter leaves the reason in *out.
Conversion utf8_to_gbk(std::string_view utf8, std::string* out);

// Writes the bytes (in the console's encoding) to standard output or error.
void write(FILE* stream, std::string_view bytes);

}  // namespace console_platform
