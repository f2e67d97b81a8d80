// A device made from a trace or a report: what it answers to the recorded commands, and how a
// file that is not a good trace is read (each bad line named and skipped). Whole runs replayed
// against the installer are the fault matrix's --replay mode.
#include "devsim/replay.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "core_driver.h"

namespace devsim_test {
namespace {

struct Row {
    const char* name;
    std::string file;
    std::vector<Transfer> sent;        // to the replayed device
    std::vector<std::string> said;     // what it says (see core_driver.h)
    std::vector<std::string> skipped;  // the notes on the file
};

std::string command(const std::string& text) {
    return R"({"t":0.5,"ev":"command","text":")" + text + "\"}\n";
}
std::string reply(const std::string& text) {
    return R"({"t":0.6,"ev":"reply","text":")" + text + "\"}\n";
}

const std::string kQuery = command("getvar:verflag") + reply("OKAY8.0");

const Row kRows[] = {
    {"queries answer as recorded, in turn, then as the device was first found",
     command("getvar:verflag") + reply("INFOslow") + reply("OKAY8.0") + command("getvar:verflag") +
         reply("OKAYZ07") + command("getvar:systype") + reply("FAILunknown variable"),
     {cmd("getvar:verflag"), cmd("getvar:verflag"), cmd("getvar:verflag"), cmd("getvar:systype")},
     {"A14", "R:INFOslow", "R:OKAY8.0", "A14", "R:OKAYZ07", "A14", "R:OKAY8.0", "A14",
      "R:FAILunknown variable"},
     {}},
    {"a report's trace is the part after its mark",
     "tessaro-installer report\ndevice: model=vrx3 serial=067A0001\n--- console ---\n"
     "{\"ev\":\"console line\"}\n--- trace ---\n--- trace ---\r\n" +
         kQuery,
     {cmd("getvar:verflag")},
     {"A14", "R:OKAY8.0"},
     {}},
    {"the refused answers at their exchanges; the rest the device does itself",
     command("download:00000004") + reply("DATA00000004") +
         R"({"ev":"data","bytes":4,"sent":4,"seconds":0.1})"
         "\n" +
         reply("OKAY") + command("flash:xzkernel") + reply("FAILwrite failed") +
         command("flash:xzkernel") + reply("OKAY") + command("check:xzkernel 141000 4 0") +
         reply("OKAY"),
     {cmd("download:00000004"), data(4), cmd("flash:xzkernel"), cmd("flash:xzkernel"),
      cmd("check:xzkernel 141000 4 0")},
     {"A17", "R:DATA00000004", "A4", "R:OKAY", "A14", "R:FAILwrite failed", "A14", "R:OKAY", "A25",
      "R:OKAY"},
     {}},
    {"malformed and unknown packets are sent as they came",
     command("getvar:product") + reply("OK") + command("reboot") + reply(""),
     {cmd("getvar:product"), cmd("reboot")},
     {"A14", "R:OK", "A6", "R:"},
     {}},
    {"the link lost at the command, before the status, and a loader restarting",
     command("setvar:a b") +
         R"({"ev":"usb_error","op":"command write","code":6,"text":"device gone"})"
         "\n" +
         command("setvar:a b") +
         R"({"ev":"usb_error","op":"status read","code":6,"text":"device gone"})"
         "\n" +
         command("reboot") +
         R"({"ev":"usb_error","op":"status read","code":6,"text":"device gone"})"
         "\n",
     {cmd("setvar:a b"), cmd("setvar:a b"), cmd("reboot")},
     {"vanish", "A10", "vanish", "A6", "reboot:500"},
     {}},
    {"a data phase the device left, and one it took short",
     command("download:00000010") + reply("DATA00000010") +
         R"({"ev":"data","bytes":16,"sent":0,"seconds":0.1})"
         "\n" +
         R"({"ev":"usb_error","op":"data","code":6,"text":"device gone"})"
         "\n" +
         command("download:00000010") + reply("DATA00000010") +
         R"({"ev":"data","bytes":16,"sent":5,"seconds":0.1})"
         "\n",
     {cmd("download:00000010"), data(16), cmd("download:00000010"), data(16)},
     {"A17", "R:DATA00000010", "vanish", "A17", "R:DATA00000010", "A5"},
     {}},
    {"a silence past the host's wait, and an answer too long to read",
     R"({"t":1.0,"ev":"command","text":"getvar:product"})"
     "\n"
     R"({"t":2.5,"ev":"usb_error","op":"status read","code":121,"text":"timed out"})"
     "\n" +
         command("setvar:x y") +
         R"({"ev":"usb_error","op":"status read","code":31,"text":"USB transfer error"})"
         "\n",
     {cmd("getvar:product"), cmd("setvar:x y")},
     {"A14", "P2500", "R:OKAYRQ3", "A10", std::string("R:OKAY") + std::string(196, 'x')},
     {}},
    {"lines that are not trace events are named and skipped",
     "not json\n{\"ev\":\"reply\",\"text\":\"OKAY\"}\n{\"ev\":\"command\"}\n"
     "{\"ev\":\"command\",\"text\":\"a\" \"b\"}\n{\"ev\":\"command\",\"text\":\"\\u0100\"}\n"
     "{\"ev\":1,\"ev\":2}\n\n   \n{\"ev\":\"data\",\"bytes\":5,\"sent\":9}\n"
     "{\"ev\":\"command\",\"text\":\"x\"} "
     "more\n{\"text\":[1]}\n{\"ev\":\"command\",\"text\":\"a\x01"
     "b\"}\n"
     "{\"ev\":\"command\",\"text\":\"\xff\"\n{\"t\":-1e999,\"ev\":\"sleep\"}\n{\"ev\":true}\n" +
         kQuery,
     {cmd("getvar:verflag")},
     {"A14", "R:OKAY8.0"},
     {"line 1: not a JSON object; skipped", "line 2: an answer before any command; skipped",
      "line 3: a command without its text; skipped", "line 4: no ',' or '}' after a value; skipped",
      "line 5: a bad string; skipped", "line 6: a key given twice; skipped",
      "line 9: a data phase without its byte counts; skipped",
      "line 10: more after the object; skipped", "line 11: an array of other than strings; skipped",
      "line 12: a bad string; skipped", "line 13: no ',' or '}' after a value; skipped",
      "line 14: a bad value; skipped", "line 15: no event kind; skipped"}},
    {"what the device cannot do again is named",
     command("download:00000004") + reply("DATA00000004") +
         R"({"ev":"data","bytes":4,"sent":4,"seconds":0.1})"
         "\n" +
         reply("FAILlate") + command("download:00000004") +
         R"({"ev":"usb_error","op":"status read","code":6,"text":"device gone"})"
         "\n",
     {cmd("download:00000004"), data(4), cmd("download:00000004")},
     {"A17", "R:DATA00000004", "A4", "R:OKAY", "vanish"},
     {"line 1: a download's last answer other than OKAY; not replayed",
      "line 6: the device left between a download's command and its answer; not replayed"}},
};

void PrintTo(const Row& row, std::ostream* os) {
    *os << row.name;
}

class Replay : public ::testing::TestWithParam<Row> {};

TEST_P(Replay, AnswersAsRecorded) {
    const Row& row = GetParam();
    devsim::DeviceConfig dev = test_device();
    const devsim::ReplayRead read = devsim::replay_into(row.file, dev);
    EXPECT_EQ(read.skipped, row.skipped);
    CoreDriver d(dev);
    EXPECT_EQ(d.run(row.sent), row.said);
}

INSTANTIATE_TEST_SUITE_P(Rows, Replay, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return "row" + std::to_string(info.index); });

TEST(Replay, TakesTheSerialNumberTheRunAskedFor) {
    devsim::DeviceConfig dev = test_device();
    const auto read = devsim::replay_into(R"({"ev":"start","args":["1","0","067A0001"]})"
                                          "\n" +
                                              command("getvar:serialno") + reply("OKAY13G0001") +
                                              command("check:xembr 1000 200 0") + reply("OKAY"),
                                          dev);
    EXPECT_TRUE(read.skipped.empty());
    EXPECT_EQ(read.exchanges, 2U);
    EXPECT_EQ(dev.serial, "067A0001");
    EXPECT_EQ(dev.vars.at("serialno"), "13G0001");
    EXPECT_EQ(dev.addresses.at("xembr"), 0x1000U);
}

}  // namespace
}  // namespace devsim_test
