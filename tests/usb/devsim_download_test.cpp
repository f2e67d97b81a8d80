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
#include "usb/socket_peer.h"
#include "usb/usb.h"
#include "usb/usb_platform.h"

namespace {

std::string status(usb_handle* h) {
    char buf[65] = {};
    int n = usb_read(h, buf, 64);
    return n < 0 ? "(read failed)" : std::string(buf, static_cast<size_t>(n));
}

TEST(SimulatedDownload, SixtyFourMegabytesArriveWhole) {
    peer::Dir dir;
    devsim::DeviceConfig dev;
    dev.name = "perf";
    devsim::SimConfig config;
    config.dir = dir.path() + "/sockets";
    config.devices = {dev};
    devsim::SocketServer server(config);
    ASSERT_EQ(server.start(), "");
    std::thread serving([&server] { server.run(); });

    const usb_platform* previous = usb_platform_current();
    usb_platform_install(usb_platform_devsim());
    setenv("TESSARO_DEVSIM_DIR", config.dir.c_str(), 1);

    usb_handle* h = usb_open(match_trevan);
    ASSERT_NE(h, nullptr);
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
    ASSERT_EQ(usb_write(h, "flash:prod", 10), 10);
    EXPECT_EQ(status(h), "OKAY");
    const uint32_t crc = get_crc32(0, data.data(), size);
    char check[64];
    std::snprintf(check, sizeof check, "check:prod 0 %x %08x", size, crc);
    ASSERT_EQ(usb_write(h, check, static_cast<int>(std::strlen(check))),
              static_cast<int>(std::strlen(check)));
    EXPECT_EQ(status(h), "OKAY");

    const double rate = size / took.count();
    std::printf("64 MiB download over the simulated link: %.3f s, %.2f GB/s\n", took.count(),
                rate / 1e9);
    RecordProperty("download_bytes_per_second", std::to_string(static_cast<long long>(rate)));

    usb_close(h);
    unsetenv("TESSARO_DEVSIM_DIR");
    usb_platform_install(previous);
    server.request_stop();
    serving.join();
}

}  // namespace
