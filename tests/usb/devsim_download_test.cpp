// A 64 MiB download through the transport to the simulated device's own server, run
// in-process: every byte must arrive, and the rate is printed (the link is meant to carry well
// over 1 GB/s in an optimised build, so a download never waits on the simulation).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "check/crc32.h"
#include "devsim/device_config.h"
#include "devsim/socket_server.h"
#include "support/simlink_peer.h"
#include "support/temp_dir.h"
#include "usb/usb.h"
#include "usb/usb_platform.h"

namespace {

std::string status(usb_handle* h) {
    char buf[65] = {};
    int n = usb_read(h, buf, 64);
    return n < 0 ? "(read failed)" : std::string(buf, static_cast<size_t>(n));
}

// The simulated device's own server, run on a thread, with the transport pointed at it; all
// undone when the test ends, whichever way it ends.
class ServedDevice {
  public:
    explicit ServedDevice(devsim::SimConfig config)
        : config_(config), server_(std::move(config)), previous_(usb_platform_current()) {}
    ~ServedDevice() {
        unsetenv("TESSARO_DEVSIM_DIR");
        usb_platform_install(previous_);
        if (serving_.joinable()) {
            server_.request_stop();
            serving_.join();
        }
    }
    std::string start() {
        std::string err = server_.start();
        if (!err.empty()) return err;
        serving_ = std::thread([this] { server_.run(); });
        usb_platform_install(usb_platform_devsim());
        setenv("TESSARO_DEVSIM_DIR", config_.dir.c_str(), 1);
        return "";
    }

  private:
    devsim::SimConfig config_;
    devsim::SocketServer server_;
    const usb_platform* previous_;
    std::thread serving_;
};

struct Closer {
    usb_handle* h;
    ~Closer() { usb_close(h); }
};

TEST(SimulatedDownload, SixtyFourMegabytesArriveWhole) {
    support::TempDir dir;
    devsim::DeviceConfig dev;
    dev.name = "perf";
    devsim::SimConfig config;
    config.dir = (dir / "sockets").string();
    config.devices = {dev};
    ServedDevice served(config);
    ASSERT_EQ(served.start(), "");

    usb_handle* h = usb_open(match_trevan);
    ASSERT_NE(h, nullptr);
    Closer closer{h};
    const int size = 64 << 20;
    std::vector<unsigned char> data(size);
    for (int i = 0; i < size; ++i) data[i] = static_cast<unsigned char>(i * 7 + (i >> 20));

    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(usb_write(h, "download:04000000", 17), 17);
    EXPECT_EQ(status(h), "DATA04000000");
    EXPECT_EQ(usb_write(h, data.data(), size), size);
    EXPECT_EQ(status(h), "OKAY");
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;

    // the device holds what it was sent: flash it and have it check the CRC-32 of the bytes
    ASSERT_EQ(usb_write(h, "flash:prod", 10), 10) << errno;
    EXPECT_EQ(status(h), "OKAY");
    // in 1 MiB pieces: the device answers a command only after carrying it out, and a CRC over
    // all 64 MiB in an unoptimised build can outlast a short command's write timeout
    const int piece = 1 << 20;
    for (int off = 0; off < size; off += piece) {
        const uint32_t crc = get_crc32(0, data.data() + off, piece);
        char check[64];
        std::snprintf(check, sizeof check, "check:prod:%x %x %x %08x", off, off, piece, crc);
        const int check_len = static_cast<int>(std::strlen(check));
        ASSERT_EQ(usb_write(h, check, check_len), check_len) << errno;
        ASSERT_EQ(status(h), "OKAY") << check;
    }

    const double rate = size / took.count();
    std::printf("64 MiB download over the simulated link: %.3f s, %.2f GB/s\n", took.count(),
                rate / 1e9);
    RecordProperty("download_bytes_per_second", std::to_string(static_cast<long long>(rate)));
}

}  // namespace
