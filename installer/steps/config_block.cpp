// The boot configuration block: 1024 bytes that tell the loader which systems the user partition
// boots, written at a device address of "userpartition" or "xzuserpartition".
#include "installer/steps/config_block.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "check/crc32.h"
#include "console/console.h"
#include "installer/steps/flash_steps.h"
#include "installer/steps/steps.h"

namespace {

constexpr size_t kBlockSize = 1024;

// the "no system marked" pattern, also the block's fixed bytes 16-23
constexpr unsigned char kEmpty[8] = {0xAB, 0xCD, 0xEF, 0xFF, 0xFF, 0xEF, 0xCD, 0xAB};

using config_block = std::array<unsigned char, kBlockSize>;

// the block's markers are eight-byte runs with no terminating NUL
void put_marker(unsigned char* at, std::string_view marker) {
    std::copy_n(marker.begin(), 8, at);
}

config_block build_block(int systype) {
    config_block block{};
    unsigned char* p = block.data();
    if (systype == 2) {
        put_marker(p, "dualdual");
    } else if (systype == 1) {
        put_marker(p, "tessttes");
    } else {
        std::memcpy(p, kEmpty, 8);
    }
    put_marker(p + 8, "secondse");
    std::memcpy(p + 16, kEmpty, 8);
    put_marker(p + 24, "11111111");
    return block;
}

}  // namespace

int reset_config(InstallRun& run, int systype, int addr, const char* part, int check) {
    const config_block block = build_block(systype);
    // the block goes to PART at its offset ADDR, the name the device writes and checks it under
    char name[1024];
    std::snprintf(name, sizeof name, "%s:%x", part, static_cast<unsigned>(addr));
    // the device is given the CRC without leading zeros
    char strcrc[32];
    std::snprintf(strcrc, sizeof strcrc, "%x", GetBufferCRC(block.data(), kBlockSize));

    const Tried tried = write_and_check(
        {.attempts = kAttempts, .retry_failed_write = false},
        [&] {
            if (flash_buffer(run.device, block.data(), kBlockSize, name) != 0) return Write::failed;
            config_block_written(run);
            return Write::done;
        },
        [&] {
            return check == 0 || do_check_buf(run.device, name, strcrc, static_cast<unsigned>(addr),
                                              kBlockSize) == 0;
        });
    switch (tried) {
        case Tried::checked:
            return 0;
        case Tried::write_failed:
        case Tried::stopped:
            con_err("error: downloading %s\n", name);
            return -1;
        case Tried::checks_failed:
            break;
    }
    con_err("error retry.\n");
    return -1;
}
