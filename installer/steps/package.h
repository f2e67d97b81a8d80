// The firmware package: loose files in the current directory.
#pragma once

#include <cstdint>
#include <span>
#include <string>

extern const char* const kernel_fn;
extern const char* const vemkit_fn;
extern const char* const system_fn;

// 1 when the file opens and holds at least one byte, with its size stored through _sz (when
// not null); 0 otherwise, leaving *_sz untouched. Sizes are 64-bit: images of 4 GiB and more
// are measured correctly.
int test_file(const char* fn, uint64_t* _sz);

// 0: no complete second-system set; 1: second-system set, native set incomplete; 2: both.
int checkfirmware();

// What a package file's name stands for in the current directory.
enum class package_entry {
    absent,    // nothing by that name: the file is not part of this package
    regular,   // a regular file that opens for reading (empty or not)
    unusable,  // there, but a directory, a device, a FIFO, a dangling link or unreadable
};
// Classifies `fn`; for an unusable entry, `why` (when not null) gets the reason as words that
// follow the name ("is a directory").
package_entry package_file_entry(const char* fn, std::string* why = nullptr);

// Every name a package file can have, on either road, signature and marker files included.
std::span<const char* const> package_names();
// Looks at every package name before anything is sent: each one that is there but is no
// regular, readable file is named on standard error with the reason. 0 when there is none,
// -1 otherwise.
int check_package_names();
