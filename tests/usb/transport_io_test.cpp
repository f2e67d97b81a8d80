// Bulk transfers over the core: 1 MiB chunks, the timeout formula, read retries on timeouts,
// kicks on a dead handle, errno, and writes that stop making progress.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "usb/fake_platform.h"
#include "usb/usb.h"

namespace {

constexpr int kMiB = 1048576;

class UsbIo : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::Interface ifc;
        ifc.name = "dev";
        fake::state().interfaces = {ifc};
        h_ = usb_open(match_trevan);
        ASSERT_NE(h_, nullptr);
    }
    void TearDown() override {
        usb_close(h_);
        EXPECT_EQ(fake::handles_left_open(), 0);
        EXPECT_EQ(fake::handles_closed_twice(), 0);
    }
    fake::Installed fake_;
    usb_handle* h_ = nullptr;
};

TEST_F(UsbIo, ReadAsksForAtMostOneMegabyteAndReturnsWhatOneTransferBrought) {
    std::vector<char> buf(2 * kMiB);
    fake::state().reads = {fake::Step::read(std::string(5000, 'x'))};
    EXPECT_EQ(usb_read(h_, buf.data(), 2 * kMiB), 5000);
    ASSERT_EQ(fake::state().read_calls.size(), 1U);
    EXPECT_EQ(fake::state().read_calls[0].len, static_cast<uint32_t>(kMiB));
    EXPECT_EQ(buf[4999], 'x');
}

TEST_F(UsbIo, WriteGoesOutInOneMegabyteChunksFromTheRightPlaces) {
    std::vector<char> data(3 * kMiB);
    fake::state().writes = {fake::Step::takes(kMiB), fake::Step::takes(kMiB),
                            fake::Step::takes(kMiB)};
    EXPECT_EQ(usb_write(h_, data.data(), 3 * kMiB), 3 * kMiB);
    const auto& calls = fake::state().write_calls;
    ASSERT_EQ(calls.size(), 3U);
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].len, static_cast<uint32_t>(kMiB));
        EXPECT_EQ(calls[i].buf, data.data() + i * kMiB);  // the caller's bytes, not a copy
    }
}

TEST_F(UsbIo, AShortChunkIsFollowedByTheRest) {
    std::vector<char> data(kMiB + kMiB / 2);
    fake::state().writes = {fake::Step::takes(1000), fake::Step::takes(kMiB),
                            fake::Step::takes(kMiB)};
    EXPECT_EQ(usb_write(h_, data.data(), static_cast<int>(data.size())),
              static_cast<int>(data.size()));
    const auto& calls = fake::state().write_calls;
    ASSERT_EQ(calls.size(), 3U);
    EXPECT_EQ(calls[0].len, static_cast<uint32_t>(kMiB));
    EXPECT_EQ(calls[1].buf, data.data() + 1000);
    EXPECT_EQ(calls[1].len, static_cast<uint32_t>(kMiB));
    EXPECT_EQ(calls[2].buf, data.data() + 1000 + kMiB);
    EXPECT_EQ(calls[2].len, static_cast<uint32_t>(data.size() - 1000 - kMiB));
}

TEST_F(UsbIo, EmptyOrNegativeWriteFailsWithoutTouchingTheDevice) {
    errno = 0;
    EXPECT_EQ(usb_write(h_, "x", 0), -1);
    EXPECT_EQ(errno, EINVAL);  // the transport's message must not show a stale reason
    EXPECT_EQ(usb_write(h_, "x", -5), -1);
    EXPECT_TRUE(fake::state().write_calls.empty());
}

TEST_F(UsbIo, TimeoutIsEightMillisecondsPerBytePlusHalfASecond) {
    struct Case {
        bool write;
        int len;
        uint32_t timeout;
    };
    const Case cases[] = {
        {false, 64, 1012},
        {true, 17, 636},
        {false, 2 * kMiB, 8U * 2 * kMiB + 500},
        // computed once from the whole write and used for every chunk
        {true, 3 * kMiB, 8U * 3 * kMiB + 500},
        // unsigned 32-bit arithmetic: 8 x 600 MiB wraps
        {true, 600 * kMiB, static_cast<uint32_t>(8ULL * 600 * kMiB + 500)},
    };
    for (const Case& c : cases) {
        fake::state().read_calls.clear();
        fake::state().write_calls.clear();
        std::vector<char> buf(c.write ? 3 * kMiB : c.len);
        if (c.write) {
            // the first chunk fails, so no 600 MiB buffer is needed
            fake::state().writes = {fake::Step::takes(kMiB), fake::Step::fail(USB_ERR_IO)};
            usb_write(h_, buf.data(), c.len);
            ASSERT_FALSE(fake::state().write_calls.empty());
            for (const auto& call : fake::state().write_calls) {
                EXPECT_EQ(call.timeout_ms, c.timeout) << c.len;
            }
        } else {
            fake::state().reads = {fake::Step::read("OKAY")};
            usb_read(h_, buf.data(), c.len);
            ASSERT_EQ(fake::state().read_calls.size(), 1U);
            EXPECT_EQ(fake::state().read_calls[0].timeout_ms, c.timeout) << c.len;
        }
    }
}

TEST_F(UsbIo, ReadIsRetriedOnTimeoutsWithoutLimit) {
    for (int i = 0; i < 50; ++i) fake::state().reads.push_back(fake::Step::fail(USB_ERR_TIMEOUT));
    fake::state().reads.push_back(fake::Step::read("OKAYdone"));
    char buf[64];
    EXPECT_EQ(usb_read(h_, buf, sizeof buf), 8);
    EXPECT_EQ(fake::state().read_calls.size(), 51U);
    EXPECT_EQ(std::string(buf, 8), "OKAYdone");
    EXPECT_NE(h_->qrb_read_pipe, nullptr);
}

TEST(UsbIoFailures, InvalidHandleKicksAndOtherFailuresDoNot) {
    struct Case {
        bool write;
        int error;
        bool kicked;
    };
    const Case cases[] = {
        {false, USB_ERR_IO, false},           {true, USB_ERR_IO, false},
        {true, USB_ERR_TIMEOUT, false},       {false, USB_ERR_INVALID_HANDLE, true},
        {true, USB_ERR_INVALID_HANDLE, true},
    };
    for (const Case& c : cases) {
        fake::Installed fresh;
        fake::Interface ifc;
        ifc.name = "dev";
        fake::state().interfaces = {ifc};
        usb_handle* h = usb_open(match_trevan);
        ASSERT_NE(h, nullptr);
        char buf[64] = {};
        errno = 0;
        int r;
        if (c.write) {
            fake::state().writes = {fake::Step::fail(c.error)};
            r = usb_write(h, buf, 17);
        } else {
            fake::state().reads = {fake::Step::fail(c.error)};
            r = usb_read(h, buf, 64);
        }
        EXPECT_EQ(r, -1);
        EXPECT_EQ(errno, c.error);
        EXPECT_EQ(h->qrb_read_pipe == nullptr, c.kicked) << c.error;
        EXPECT_EQ(fake::handles_left_open() == 0, c.kicked) << c.error;
        EXPECT_EQ(usb_close(h), 0);
        EXPECT_EQ(fake::handles_left_open(), 0);
        EXPECT_EQ(fake::handles_closed_twice(), 0);
    }
}

TEST_F(UsbIo, ErrnoIsTheLastErrorAfterEveryTransfer) {
    char buf[64];
    errno = 77;
    fake::state().reads = {fake::Step::read("OKAY")};
    EXPECT_EQ(usb_read(h_, buf, sizeof buf), 4);
    EXPECT_EQ(errno, USB_ERR_NONE);
    errno = 77;
    fake::state().writes = {fake::Step::takes(4)};
    EXPECT_EQ(usb_write(h_, "ping", 4), 4);
    EXPECT_EQ(errno, USB_ERR_NONE);
}

TEST_F(UsbIo, AWriteThatStopsMakingProgressEndsWithTheCountSoFar) {
    std::vector<char> data(2 * kMiB);
    fake::state().writes = {fake::Step::takes(0), fake::Step::takes(0)};
    EXPECT_EQ(usb_write(h_, data.data(), 2 * kMiB), 0);
    EXPECT_EQ(fake::state().write_calls.size(), 1U);

    fake::state().write_calls.clear();
    fake::state().writes = {fake::Step::takes(kMiB), fake::Step::takes(0), fake::Step::takes(0)};
    EXPECT_EQ(usb_write(h_, data.data(), 2 * kMiB), kMiB);
    EXPECT_EQ(fake::state().write_calls.size(), 2U);
}

TEST_F(UsbIo, APlatformReportingMoreThanOfferedIsAFailure) {
    fake::Step liar = fake::Step::takes(17);
    liar.report = 18;
    fake::state().writes = {liar};
    EXPECT_EQ(usb_write(h_, "download:00001000", 17), -1);
}

TEST(UsbIoNullHandle, FailsWithInvalidHandle) {
    fake::Installed fake;
    char buf[8];
    errno = 0;
    EXPECT_EQ(usb_read(nullptr, buf, sizeof buf), -1);
    EXPECT_EQ(usb_platform_last_error(), USB_ERR_INVALID_HANDLE);
    usb_platform_set_last_error(USB_ERR_NONE);
    EXPECT_EQ(usb_write(nullptr, buf, sizeof buf), -1);
    EXPECT_EQ(usb_platform_last_error(), USB_ERR_INVALID_HANDLE);
    EXPECT_TRUE(fake::state().read_calls.empty());
    EXPECT_TRUE(fake::state().write_calls.empty());
}

}  // namespace
