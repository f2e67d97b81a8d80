#include "installer/package.h"

#include <sys/types.h>
#include <unistd.h>

#include "installer/regular_file.h"

static_assert(sizeof(off_t) >= 8, "file sizes must be 64-bit");

const char* const kernel_fn = "kernel.bin";
const char* const vemkit_fn = "vemkit.bin";
const char* const system_fn = "system.bin";
const char* const var_fn = "var.bin";
const char* const data_fn = "data.bin";
const char* const data2g_fn = "data2g.bin";
const char* const data32g_fn = "data32g.bin";
const char* const kernel_sign = "kernel.sign";
const char* const vemkit_sign = "vemkit.sign";
const char* const bios_fn = "bios.bin";
const char* const bios_sign = "bios.sign";
const char* const sbios_fn = "s-bios.bin";
const char* const sbios_sign = "s-bios.sign";

int test_file(const char* fn, uint64_t* _sz) {
    unique_fd fd = open_regular_file(fn);
    if (!fd) return 0;
    // off_t is 64-bit here, so images of 4 GiB and more are measured, not wrapped
    off_t size = ::lseek(fd.get(), 0, SEEK_END);
    if (size <= 0) return 0;
    if (::lseek(fd.get(), 0, SEEK_SET) != 0) return 0;
    if (_sz != nullptr) *_sz = static_cast<uint64_t>(size);
    return 1;
}

int checkfirmware() {
    // every file is tested, always in this order; only presence counts
    uint64_t scratch = 0;
    bool system = test_file(system_fn, &scratch);
    bool kernel = test_file(kernel_fn, &scratch);
    bool esystem = test_file("esystem.bin", &scratch);
    bool vemkit = test_file(vemkit_fn, &scratch);
    bool ekernel = test_file("ekernel.bin", &scratch);
    bool edata = test_file("edata.bin", &scratch);

    // the second system needs its system image and one of its kernels; its data image alone
    // also counts as the set
    bool second = (esystem && (vemkit || ekernel)) || edata;
    bool native = system && kernel;
    if (!second) return 0;
    return native ? 2 : 1;
}
