// Every user-visible text leaves the process through here, so that the "###" lines reach a
// wrapper program the same way from every part of the installer.
//
// The texts in the source are UTF-8. Standard output and standard error carry them as GBK
// (code page 936) bytes, which is what a wrapper reading the "###" lines expects, except when
// the user's locale (after setlocale(LC_ALL, "")) has the codeset UTF-8: then a person's
// terminal gets UTF-8. Only the format text is converted; arguments (device answers, file
// names) are passed through as the bytes they are.
#pragma once

#include <string>
#include <string_view>

enum class ConsoleEncoding { Gbk, Utf8 };

// Chooses the output encoding from the locale. Call once at start-up.
void console_init();
// Forces an encoding (tests).
void console_set_encoding(ConsoleEncoding enc);
ConsoleEncoding console_encoding();

// Converts one of the system's UTF-8 texts to GBK. A text that cannot be converted is a fault
// in the system's own texts: the process ends with status 1 and says which text it was.
std::string console_to_gbk(std::string_view utf8);
// The text as it goes out under the current encoding.
std::string console_encode(std::string_view utf8);

// printf-style output of one of the system's texts (UTF-8 format, encoded on the way out).
void con_out(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void con_err(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// One of the system's texts, encoded on the way out, never read as a format.
void con_out_text(std::string_view utf8);
// Raw bytes, no conversion (for text that came from the device or the file system).
void con_out_raw(std::string_view bytes);
// Flushes standard output: the "###" protocol is flushed at fixed points.
void con_flush();

// Is given every text written to either stream, in the order written: the system's texts as
// UTF-8 whatever the console's encoding, raw bytes as they are. The run's report keeps the
// console output through it. Null (the default): nothing is given.
using ConsoleTee = void (*)(std::string_view text);
void console_set_tee(ConsoleTee tee);
