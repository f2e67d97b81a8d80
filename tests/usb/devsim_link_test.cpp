// The simulated-link backend against a small in-test device speaking the frame format.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "simlink/wire.h"
#include "support/simlink_peer.h"
#include "support/temp_dir.h"
#include "usb/usb.h"
#include "usb/usb_platform.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// Points the backend at a directory for one test, with the simulated link installed.
class SimulatedLink : public ::testing::Test {
  protected:
    void SetUp() override {
        previous_ = usb_platform_current();
        usb_platform_install(usb_platform_devsim());
        setenv("TESSARO_DEVSIM_DIR", dir_.path().c_str(), 1);
    }
    void TearDown() override {
        unsetenv("TESSARO_DEVSIM_DIR");
        usb_platform_install(previous_);
        serial = nullptr;
    }
    std::string at(const std::string& name) const { return (dir_ / name).string(); }
    const usb_platform& link() const { return *usb_platform_devsim(); }

    support::TempDir dir_;
    const usb_platform* previous_ = nullptr;
};

// Accepts one connection, greets it with descriptors and hands it to `then`. A search first
// looks at the device (`looks` connections greeted, which the host closes unused), then opens it.
std::thread serve_one(const support::Listener& l, std::string greeting,
                      std::function<void(int)> then, int looks = 0) {
    return std::thread([&l, greeting = std::move(greeting), then = std::move(then), looks] {
        for (int i = 0; i <= looks; ++i) {
            int fd = l.accept_one();
            if (fd < 0) return;
            support::send_frame(fd, simlink::kDescriptors, greeting);
            if (i < looks) {
                EXPECT_EQ(support::recv_frame(fd).first, '\0');  // nothing sent to a look
            } else {
                then(fd);
            }
            ::close(fd);
        }
    });
}

// serve_one for usb_open
std::thread serve_search(const support::Listener& l, std::string greeting,
                         std::function<void(int)> then) {
    return serve_one(l, std::move(greeting), std::move(then), 1);
}

// A device at `path` served by serve_one, its thread joined when the object goes.
struct ServedDevice {
    ServedDevice(const std::string& path, std::string greeting, std::function<void(int)> then,
                 int looks)
        : listener(path),
          thread(serve_one(listener, std::move(greeting), std::move(then), looks)) {}
    ~ServedDevice() { thread.join(); }
    ServedDevice(const ServedDevice&) = delete;
    ServedDevice& operator=(const ServedDevice&) = delete;

    support::Listener listener;
    std::thread thread;
};

// The interface the link created for a served device (by default one that waits until the host
// closes), or nullptr when it could not; closed when the object goes.
struct ServedInterface {
    ServedInterface(
        const usb_platform& link, const std::string& path, std::string greeting,
        std::function<void(int)> then = [](int fd) { support::recv_frame(fd); })
        : platform(link),
          device(path, std::move(greeting), std::move(then), 0),
          ifc(link.create_interface(path.c_str())) {}
    ~ServedInterface() {
        if (ifc != nullptr) platform.close_handle(ifc);
    }
    ServedInterface(const ServedInterface&) = delete;
    ServedInterface& operator=(const ServedInterface&) = delete;

    const usb_platform& platform;
    ServedDevice device;
    void* const ifc;
};

// The handle usb_open gave for the device served at `path` (serve_search), or nullptr; closed
// when the object goes.
struct OpenedDevice {
    OpenedDevice(const std::string& path, std::string greeting, std::function<void(int)> then)
        : device(path, std::move(greeting), std::move(then), 1), h(usb_open(match_trevan)) {}
    ~OpenedDevice() { usb_close(h); }
    OpenedDevice(const OpenedDevice&) = delete;
    OpenedDevice& operator=(const OpenedDevice&) = delete;

    ServedDevice device;
    usb_handle* const h;
};

TEST_F(SimulatedLink, EnumerationListsOnlySocketsInByteOrderOfTheirNames) {
    support::Listener b(at("b")), a(at("a")), upper(at("B")), under(at("_x")),
        accented(at("\xC3\xA9"));
    std::ofstream(at("c")) << "not a socket";
    mkdir(at("d").c_str(), 0700);

    void* en = link().enum_interfaces();
    ASSERT_NE(en, nullptr);
    std::vector<std::string> names;
    char name[2048];
    while (link().next_interface(en, name, sizeof name)) names.push_back(name);
    link().close_enum(en);
    EXPECT_EQ(names,
              (std::vector<std::string>{at("B"), at("_x"), at("a"), at("b"), at("\xC3\xA9")}));

    unsetenv("TESSARO_DEVSIM_DIR");
    EXPECT_EQ(link().enum_interfaces(), nullptr);
    setenv("TESSARO_DEVSIM_DIR", at("missing").c_str(), 1);
    EXPECT_EQ(link().enum_interfaces(), nullptr);
}

TEST_F(SimulatedLink, OpenReadsTheDescriptorsAndTheSerialNumber) {
    ServedInterface dev(link(), at("dev"), support::descriptors(0x0BB4, 2, "SIM42"));
    void* ifc = dev.ifc;
    ASSERT_NE(ifc, nullptr);
    uint8_t dd[18], id[9];
    ASSERT_TRUE(link().device_descriptor(ifc, dd));
    ASSERT_TRUE(link().interface_descriptor(ifc, id));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(dd), 18),
              support::descriptors(0x0BB4, 2, "").substr(0, 18));
    EXPECT_EQ(id[4], 2);
    EXPECT_EQ(id[7], 0x03);
    char text[256];
    ASSERT_TRUE(link().serial_number(ifc, text, sizeof text));
    EXPECT_STREQ(text, "SIM42");
    size_t len = 0;
    ASSERT_TRUE(link().interface_name(ifc, nullptr, &len));
    EXPECT_EQ(len, at("dev").size() + 1);
    std::vector<char> name(len);
    ASSERT_TRUE(link().interface_name(ifc, name.data(), &len));
    EXPECT_EQ(std::string(name.data()), at("dev"));
}

TEST_F(SimulatedLink, ADeviceWithoutSerialHasAnUnreadableOne) {
    ServedInterface dev(link(), at("dev"), support::descriptors(0x18D1, 2, ""));
    ASSERT_NE(dev.ifc, nullptr);
    char text[256];
    EXPECT_FALSE(link().serial_number(dev.ifc, text, sizeof text));
}

TEST_F(SimulatedLink, ABusyInterfaceIsSkippedForTheNextOne) {
    support::Listener busy(at("a-busy")), free_one(at("b-free"));
    // a device already serving another host closes a new connection without a greeting
    std::thread refuse([&busy] {
        for (int i = 0; i < 2; ++i) ::close(busy.accept_one());
    });
    std::thread serve = serve_search(free_one, support::descriptors(0x18D1, 2, "FREE"),
                                     [](int fd) { support::recv_frame(fd); });

    EXPECT_EQ(link().create_interface(at("a-busy").c_str()), nullptr);
    EXPECT_EQ(usb_platform_last_error(), USB_ERR_BUSY);
    usb_handle* h = usb_open(match_trevan);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(std::string(h->interface_name), at("b-free"));
    usb_close(h);
    refuse.join();
    serve.join();
}

TEST_F(SimulatedLink, AWriteIsOneFrameAndTakesTheAcknowledgedCount) {
    support::Listener l(at("dev"));
    std::vector<std::string> received;
    std::thread t = serve_search(l, support::descriptors(0x18D1, 2, "S"), [&received](int fd) {
        auto [kind, payload] = support::recv_frame(fd);
        received.push_back(std::string(1, kind) + payload);
        support::send_frame(fd, simlink::kAck, support::count(payload.size()));
        std::tie(kind, payload) = support::recv_frame(fd);
        received.push_back(std::string(1, kind) + payload);
        support::send_frame(fd, simlink::kAck, support::count(3));  // a short write
        support::recv_frame(fd);
    });
    usb_handle* h = usb_open(match_trevan);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(usb_write(h, "getvar:product", 14), 14);
    uint32_t put = 99;
    EXPECT_TRUE(link().write_sync(h->qrb_write_pipe, "flash:boot", 10, &put, 1000));
    EXPECT_EQ(put, 3U);
    usb_close(h);
    t.join();
    EXPECT_EQ(received, (std::vector<std::string>{"Wgetvar:product", "Wflash:boot"}));
}

TEST_F(SimulatedLink, APacketLongerThanAskedIsAnIoErrorAndTheNextOneStillArrives) {
    OpenedDevice dev(at("dev"), support::descriptors(0x18D1, 2, "S"), [](int fd) {
        support::send_frame(fd, simlink::kRead, std::string(100, 'x'));
        support::send_frame(fd, simlink::kRead, "OKAY");
        support::recv_frame(fd);
    });
    ASSERT_NE(dev.h, nullptr);
    char buf[64];
    EXPECT_EQ(usb_read(dev.h, buf, sizeof buf), -1);
    EXPECT_EQ(errno, USB_ERR_IO);
    EXPECT_EQ(usb_read(dev.h, buf, sizeof buf), 4);
    EXPECT_EQ(std::string(buf, 4), "OKAY");
}

TEST_F(SimulatedLink, SilenceIsATimeout) {
    ServedInterface dev(link(), at("dev"), support::descriptors(0x18D1, 2, "S"));
    ASSERT_NE(dev.ifc, nullptr);
    void* in = link().open_read_pipe(dev.ifc);
    char buf[64];
    uint32_t got = 99;
    auto start = steady_clock::now();
    EXPECT_FALSE(link().read_sync(in, buf, sizeof buf, &got, 150));
    EXPECT_EQ(usb_platform_last_error(), USB_ERR_TIMEOUT);
    EXPECT_GE(steady_clock::now() - start, milliseconds(140));
    EXPECT_EQ(got, 0U);
    link().close_handle(in);
}

TEST_F(SimulatedLink, ADeviceThatGoesAwayIsAnInvalidHandleNeverASignal) {
    support::Listener l(at("dev"));
    std::thread t = serve_search(l, support::descriptors(0x18D1, 2, "S"), [](int) {});
    usb_handle* h = usb_open(match_trevan);
    ASSERT_NE(h, nullptr);
    t.join();  // the device has closed its end
    std::vector<char> data(4 << 20, 'd');
    // writing into a closed link must not raise SIGPIPE (that would end this test program)
    EXPECT_EQ(usb_write(h, data.data(), static_cast<int>(data.size())), -1);
    EXPECT_EQ(errno, USB_ERR_INVALID_HANDLE);
    EXPECT_EQ(h->qrb_write_pipe, nullptr);  // kicked
    EXPECT_EQ(usb_close(h), 0);

    // the same for a read
    std::thread t2 = serve_search(l, support::descriptors(0x18D1, 2, "S"), [](int) {});
    h = usb_open(match_trevan);
    ASSERT_NE(h, nullptr);
    t2.join();
    char buf[64];
    EXPECT_EQ(usb_read(h, buf, sizeof buf), -1);
    EXPECT_EQ(errno, USB_ERR_INVALID_HANDLE);
    EXPECT_EQ(h->qrb_read_pipe, nullptr);
    EXPECT_EQ(usb_close(h), 0);
}

TEST_F(SimulatedLink, AnAnswerBeforeTheAcknowledgementIsKeptForTheNextRead) {
    OpenedDevice dev(at("dev"), support::descriptors(0x18D1, 2, "S"), [](int fd) {
        auto frame = support::recv_frame(fd);
        support::send_frame(fd, simlink::kRead, "INFOhello");
        support::send_frame(fd, simlink::kRead, "OKAY");
        support::send_frame(fd, simlink::kAck, support::count(frame.second.size()));
        support::recv_frame(fd);
    });
    ASSERT_NE(dev.h, nullptr);
    EXPECT_EQ(usb_write(dev.h, "reboot", 6), 6);
    char buf[64];
    ASSERT_EQ(usb_read(dev.h, buf, sizeof buf), 9);
    EXPECT_EQ(std::string(buf, 9), "INFOhello");
    ASSERT_EQ(usb_read(dev.h, buf, sizeof buf), 4);
    EXPECT_EQ(std::string(buf, 4), "OKAY");
}

TEST_F(SimulatedLink, ALateAcknowledgementIsSkipped) {
    ServedInterface dev(link(), at("dev"), support::descriptors(0x18D1, 2, "S"), [](int fd) {
        auto frame = support::recv_frame(fd);
        std::this_thread::sleep_for(milliseconds(200));
        support::send_frame(fd, simlink::kAck, support::count(frame.second.size()));
        support::send_frame(fd, simlink::kRead, "OKAY");
        support::recv_frame(fd);
    });
    ASSERT_NE(dev.ifc, nullptr);
    void* in = link().open_read_pipe(dev.ifc);
    void* out = link().open_write_pipe(dev.ifc);
    uint32_t n = 0;
    EXPECT_FALSE(link().write_sync(out, "getvar:x", 8, &n, 50));
    EXPECT_EQ(usb_platform_last_error(), USB_ERR_TIMEOUT);
    char buf[64];
    ASSERT_TRUE(link().read_sync(in, buf, sizeof buf, &n, 2000));
    EXPECT_EQ(std::string(buf, n), "OKAY");
    link().close_handle(out);
    link().close_handle(in);
}

TEST_F(SimulatedLink, AFrameOfAnotherKindBreaksTheLink) {
    OpenedDevice dev(at("dev"), support::descriptors(0x18D1, 2, "S"), [](int fd) {
        support::send_frame(fd, 'Z', "??");
        support::recv_frame(fd);
    });
    ASSERT_NE(dev.h, nullptr);
    char buf[64];
    EXPECT_EQ(usb_read(dev.h, buf, sizeof buf), -1);
    EXPECT_EQ(errno, USB_ERR_IO);
    // out of step from now on: the device counts as gone
    EXPECT_EQ(usb_read(dev.h, buf, sizeof buf), -1);
    EXPECT_EQ(errno, USB_ERR_INVALID_HANDLE);
}

}  // namespace
