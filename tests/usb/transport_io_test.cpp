// Bulk transfers over the core: 1 MiB chunks, the timeout formula, read retries on timeouts,
// kicks on a dead handle, errno, and writes that stop making progress.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <string>
#include <vector>

#include "support/fake_platform.h"
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

TEST_F(UsbIo, EmptyOrNegativeLengthFailsWithoutTouchingTheDevice) {
    char buf[8];
    for (int len : {0, -5}) {
        errno = 0;  // the transport's message must not show a stale reason
        EXPECT_EQ(usb_write(h_, "x", len), -1);
        EXPECT_EQ(errno, USB_ERR_INVALID_LENGTH);
    }
    errno = 0;
    EXPECT_EQ(usb_read(h_, buf, -1), -1);
    EXPECT_EQ(errno, USB_ERR_INVALID_LENGTH);
    EXPECT_TRUE(fake::state().write_calls.empty());
    EXPECT_TRUE(fake::state().read_calls.empty());
}

// Every platform transfer waits 8 ms per byte of that transfer plus 500 ms, whatever the size of
// the whole write: at most 8389108 ms for a full 1 MiB chunk, never a wrapped 32-bit value.
TEST_F(UsbIo, TimeoutOfEachTransferFollowsItsOwnLength) {
    constexpr uint32_t kFullChunk = 8U * kMiB + 500U;
    // the fake never touches the bytes, so the largest write needs address space only
    const size_t span = INT_MAX;
    void* mem =
        ::mmap(nullptr, span, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(mem, MAP_FAILED);
    const auto* data = static_cast<const char*>(mem);
    const int sizes[] = {
        1,         17,        64,         kMiB - 1,   kMiB,    kMiB + 1,       3 * kMiB,
        32 * kMiB, 536870850, 512 * kMiB, 600 * kMiB, 1 << 30, INT_MAX - kMiB, INT_MAX};
    for (int len : sizes) {
        SCOPED_TRACE(len);
        fake::state().write_calls.clear();
        fake::state().writes.assign(static_cast<size_t>(len / kMiB) + 1, fake::Step::takes(kMiB));
        EXPECT_EQ(usb_write(h_, data, len), len);
        uint64_t sent = 0;
        for (const auto& call : fake::state().write_calls) {
            EXPECT_EQ(call.timeout_ms, 8U * call.len + 500U);
            sent += call.len;
        }
        EXPECT_EQ(sent, static_cast<uint64_t>(len));
    }
    ::munmap(mem, span);

    // a read waits for the one transfer it makes
    std::vector<char> buf(2 * kMiB);
    for (int len : {64, kMiB, 2 * kMiB}) {
        fake::state().read_calls.clear();
        fake::state().reads = {fake::Step::read("OKAY")};
        usb_read(h_, buf.data(), len);
        ASSERT_EQ(fake::state().read_calls.size(), 1U);
        EXPECT_EQ(fake::state().read_calls[0].timeout_ms,
                  std::min<uint32_t>(8U * len + 500U, kFullChunk))
            << len;
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
        // releasing a kicked handle keeps the reason the transfer failed
        EXPECT_EQ(errno, c.error);
        EXPECT_EQ(usb_platform_last_error(), c.error);
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
    EXPECT_EQ(errno, USB_ERR_IO);  // a reason for the short count, not "no error"
}

TEST_F(UsbIo, APlatformReportingMoreThanOfferedIsAFailure) {
    fake::Step liar = fake::Step::takes(17);
    liar.report = 18;
    fake::state().writes = {liar};
    EXPECT_EQ(usb_write(h_, "download:00001000", 17), -1);
    EXPECT_EQ(errno, USB_ERR_BAD_COUNT);
    char buf[4];
    fake::state().reads = {fake::Step::read("OKAY!")};
    EXPECT_EQ(usb_read(h_, buf, sizeof buf), -1);
    EXPECT_EQ(errno, USB_ERR_BAD_COUNT);
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
