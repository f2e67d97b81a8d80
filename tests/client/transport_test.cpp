#include "client/transport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "scripted_device.h"

using namespace std::string_literals;

namespace {

const std::string k60(60, 'x');

// built out of line: GCC 12 at -O2 sees the nested braces of a table of these as maybe
// uninitialized on its clean-up path
ScriptedDevice::Packet packet(std::string bytes, int err = 0, int claim = -1) {
    return ScriptedDevice::Packet{std::move(bytes), err, claim};
}

class Transport : public ::testing::Test {
  protected:
    void SetUp() override { fresh(); }
    void TearDown() override { g_device = nullptr; }
    // a new device and a recognisable earlier failure text
    void fresh() {
        dev = ScriptedDevice{};
        g_device = &dev;
        std::strcpy(ERROR, "earlier");
    }
    ScriptedDevice dev;
};

TEST_F(Transport, FinalStatusOfACommand) {
    struct Case {
        ScriptedDevice::Packet packet;
        int result;
        std::string error;  // "earlier": left alone
        bool closed;
    };
    const Case cases[] = {
        {packet("OKAY"), 0, "earlier", false},
        {packet("OKAYdone"), 0, "earlier", false},
        {packet("FAIL"), -1, "remote failure", false},
        {packet("FAILbad partition"), -1, "remote: bad partition", false},
        {packet("FAIL\0junk"s), -1, "remote: ", false},
        {packet("FAIL" + k60), -1, "remote: " + k60, false},
        {packet("okay"), -1, "unknown status code", true},
        {packet("DATA00000010"), -1, "unknown status code", true},
        {packet("BOOMx"), -1, "unknown status code", true},
        {packet("OKA"), -1, "status malformed (3 bytes)", true},
        {packet(""), -1, "status malformed (0 bytes)", true},
        // the USB layer's codes in its own words, never the C library's for the same numbers
        {packet("", USB_ERR_IO), -1, "status read failed (USB transfer error)", true},
        {packet("", USB_ERR_TIMEOUT), -1, "status read failed (timed out)", true},
        {packet("", USB_ERR_INVALID_HANDLE), -1, "status read failed (device gone)", true},
        {packet("", USB_ERR_BUSY), -1, "status read failed (device in use by another program)",
         true},
        {packet("", USB_ERR_NOT_ENOUGH_MEMORY), -1, "status read failed (not enough memory)", true},
        {packet("", USB_ERR_BAD_COUNT), -1,
         "status read failed (more bytes reported than asked for)", true},
        // a USB layer claiming more than the 64 bytes asked must not make us write past them
        {packet("OKAY", 0, 65), -1, "status malformed (65 bytes)", true},
        {packet("OKAY", 0, 4096), -1, "status malformed (4096 bytes)", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.packet.bytes);
        fresh();
        dev.packets.push_back(c.packet);
        EXPECT_EQ(fb_command(&dev.handle, "getvar:product"), c.result);
        EXPECT_EQ(ERROR, c.error);
        EXPECT_EQ(dev.closes, c.closed ? 1 : 0);
        EXPECT_EQ(dev.writes, std::vector<std::string>{"getvar:product"});
        EXPECT_EQ(dev.read_sizes, std::vector<int>{64});
    }
}

TEST_F(Transport, OkayTextFillsTheResponseAndNothingBeyondIt) {
    struct Case {
        std::string packet;
        std::string response;
    };
    const Case cases[] = {
        {"OKAY", ""},          {"OKAYRQ3-4GB", "RQ3-4GB"},
        {"OKAY" + k60, k60},                    // a full packet carries no NUL of its own
        {"OKAYab\0cd"s, "ab"}, {"FAILno", ""},  // emptied before the command goes out
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.packet);
        fresh();
        dev.send(c.packet);
        char buf[61 + 8];
        std::memset(buf, '#', sizeof buf);
        fb_command_response(&dev.handle, "getvar:serialno", buf);
        EXPECT_EQ(std::string(buf), c.response);
        EXPECT_EQ(std::string(buf + 61, 8), std::string(8, '#'));
    }
}

TEST_F(Transport, InfoLinesArePrintedAndReadPast) {
    struct Case {
        std::vector<std::string> packets;
        int result;
        std::string printed;
    };
    const Case cases[] = {
        {{"INFOone", "INFOtwo", "OKAY"}, 0, "(bootloader) one\n(bootloader) two\n"},
        {{"INFO", "OKAY"}, 0, "(bootloader) \n"},
        {{"INFO" + k60, "FAILx"}, -1, "(bootloader) " + k60 + "\n"},
        {{"INFO100%s %d", "OKAY"}, 0, "(bootloader) 100%s %d\n"},
        {{"INFOerased\0hidden"s, "OKAY"}, 0, "(bootloader) erased\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.printed);
        fresh();
        for (const std::string& p : c.packets) dev.send(p);
        testing::internal::CaptureStderr();
        int r = fb_command(&dev.handle, "oem info");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.printed);
        EXPECT_EQ(r, c.result);
        EXPECT_TRUE(dev.packets.empty());
        EXPECT_EQ(dev.closes, 0);
    }
}

TEST_F(Transport, CommandOf64BytesIsSentAnd65IsRefusedUnsent) {
    const std::string cmd64 = "flash:" + std::string(58, 'p');
    dev.send("OKAY");
    EXPECT_EQ(fb_command(&dev.handle, cmd64.c_str()), 0);
    EXPECT_EQ(dev.writes, std::vector<std::string>{cmd64});

    fresh();
    char response[65] = "stale";
    EXPECT_EQ(fb_command_response(&dev.handle, (cmd64 + "p").c_str(), response), -1);
    EXPECT_STREQ(ERROR, "command too large");
    EXPECT_STREQ(response, "");
    EXPECT_TRUE(dev.writes.empty());
    EXPECT_TRUE(dev.read_sizes.empty());
    EXPECT_EQ(dev.closes, 0);
}

TEST_F(Transport, FailedCommandWriteClosesTheHandle) {
    const std::pair<ScriptedDevice::WriteResult, std::string> cases[] = {
        {{-1, USB_ERR_INVALID_HANDLE}, "command write failed (device gone)"},
        {{3, USB_ERR_IO}, "command write failed (USB transfer error)"},
        {{-1, USB_ERR_TIMEOUT}, "command write failed (timed out)"},
        {{-1, USB_ERR_INVALID_LENGTH}, "command write failed (invalid transfer length)"},
    };
    for (const auto& [w, error] : cases) {
        SCOPED_TRACE(error);
        fresh();
        dev.write_results.push_back(w);
        EXPECT_EQ(fb_command(&dev.handle, "reboot"), -1);
        EXPECT_EQ(ERROR, error);
        EXPECT_EQ(dev.closes, 1);
        EXPECT_TRUE(dev.read_sizes.empty());
    }
}

TEST_F(Transport, DownloadExchanges) {
    std::vector<char> image(4096);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 7);
    const std::string data(image.begin(), image.end());
    struct Case {
        std::vector<std::string> packets;
        std::vector<ScriptedDevice::WriteResult> writes;  // results of command, then data write
        int result;
        std::string error;
        bool closed;
        bool data_sent;
    };
    const ScriptedDevice::WriteResult cmd_ok{17, 0};  // the download command goes out whole
    const Case cases[] = {
        {{"DATA00001000", "OKAY"}, {}, 0, "earlier", false, true},
        // fewer announced than we have: all of it still goes out
        {{"DATA00000800", "OKAY"}, {}, 0, "earlier", false, true},
        {{"DATA00001001"}, {}, -1, "data size too large", true, false},
        {{"DATA1ffffffffffffffffffff"}, {}, -1, "data size too large", true, false},
        // counts that are not hexadecimal read as 0, never as a huge or negative number
        {{"DATAzzzz", "OKAY"}, {}, 0, "earlier", false, true},
        {{"DATA-1", "OKAY"}, {}, 0, "earlier", false, true},
        {{"DATA", "OKAY"}, {}, 0, "earlier", false, true},
        {{"DATA \t0x1000", "OKAY"}, {}, 0, "earlier", false, true},
        {{"OKAY", "OKAY"}, {}, 0, "earlier", false, true},
        {{"INFOwait", "DATA00001000", "INFOwriting", "OKAY"}, {}, 0, "earlier", false, true},
        {{"FAILno room"}, {}, -1, "remote: no room", false, false},
        {{"DATA00001000", "FAILflash full"}, {}, -1, "remote: flash full", false, true},
        {{"DATA00001000", "DATA00001000"}, {}, -1, "unknown status code", true, true},
        {{"DATA00001000", "OK"}, {}, -1, "status malformed (2 bytes)", true, true},
        {{},
         {{-1, USB_ERR_BUSY}},
         -1,
         "command write failed (device in use by another program)",
         true,
         false},
        {{"DATA00001000"},
         {cmd_ok, {-1, USB_ERR_IO}},
         -1,
         "data transfer failure (USB transfer error)",
         true,
         true},
        {{"DATA00001000"},
         {cmd_ok, {4095, 0}},
         -1,
         "data transfer failure (short transfer)",
         true,
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.packets.empty() ? c.error : c.packets.front());
        fresh();
        for (const std::string& p : c.packets) dev.send(p);
        dev.write_results.assign(c.writes.begin(), c.writes.end());
        EXPECT_EQ(fb_download_data(&dev.handle, image.data(), 4096), c.result);
        EXPECT_EQ(ERROR, c.error);
        EXPECT_EQ(dev.closes, c.closed ? 1 : 0);
        EXPECT_TRUE(dev.packets.empty()) << "the host stopped reading too early";
        std::vector<std::string> sent{"download:00001000"};
        if (c.data_sent) sent.push_back(data);
        EXPECT_EQ(dev.writes, sent);
    }
}

TEST_F(Transport, DownloadSizeLimits) {
    // nothing to send: refused unsent, the earlier failure text stays
    EXPECT_EQ(fb_download_data(&dev.handle, "x", 0), -1);
    EXPECT_STREQ(ERROR, "earlier");
    // more than the transport can count: refused before the device is told to expect it
    EXPECT_EQ(fb_download_data(&dev.handle, "x", 0x80000000u), -1);
    EXPECT_STREQ(ERROR, "data size too large");
    EXPECT_TRUE(dev.writes.empty());
    EXPECT_EQ(dev.closes, 0);

    const std::pair<uint32_t, std::string> commands[] = {
        {1, "download:00000001"}, {0xabcdef, "download:00abcdef"}, {INT_MAX, "download:7fffffff"}};
    for (const auto& [size, cmd] : commands) {
        fresh();
        dev.send("FAIL");
        EXPECT_EQ(fb_download_data(&dev.handle, "x", size), -1);
        EXPECT_EQ(dev.writes, std::vector<std::string>{cmd});
    }
}

TEST_F(Transport, DataCountIsReturnedWhileDataIsAnnounced) {
    dev.send("DATA00000080");
    EXPECT_EQ(check_response(&dev.handle, 0x100, nullptr), 0x80);
    dev.send("DATA00000100");
    EXPECT_EQ(check_response(&dev.handle, 0x100, nullptr), 0x100);
    dev.send("DATA00000000");
    EXPECT_EQ(check_response(&dev.handle, 0x100, nullptr), 0);
    EXPECT_EQ(dev.closes, 0);
    EXPECT_EQ(fb_get_error(), ERROR);
}

}  // namespace
