// Text that came from a device (an answer, an information line, a serial number) is the
// device's, not the installer's: printed as it is, a line end in it would begin a line of its
// own, and a "###" line after it would read to a wrapper as the installer's own progress.
#pragma once

#include <string>
#include <string_view>

// The bytes as they may be printed: each control byte (0x00 to 0x1F and 0x7F) becomes \xNN with
// two lowercase hexadecimal digits; every other byte is kept, so a device's GBK or UTF-8 text
// and every text without control bytes come out unchanged.
[[nodiscard]] std::string device_text(std::string_view bytes);
