// The firmware package: loose files in the current directory.
#pragma once

#include <cstdint>

extern const char* const kernel_fn;
extern const char* const vemkit_fn;
extern const char* const system_fn;
extern const char* const var_fn;
extern const char* const data_fn;
extern const char* const data2g_fn;
extern const char* const data32g_fn;
extern const char* const kernel_sign;
extern const char* const vemkit_sign;
extern const char* const bios_fn;
extern const char* const bios_sign;
extern const char* const sbios_fn;
extern const char* const sbios_sign;

// 1 when the file opens and holds at least one byte, with its size stored through _sz (when
// not null); 0 otherwise, leaving *_sz untouched. Sizes are 64-bit: images of 4 GiB and more
// are measured correctly.
int test_file(const char* fn, uint64_t* _sz);

// 0: no complete second-system set; 1: second-system set, native set incomplete; 2: both.
int checkfirmware();
