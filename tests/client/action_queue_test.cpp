#include "client/action_queue.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "client/transport.h"
#include "scripted_device.h"

using namespace std::string_literals;

namespace {

char g_image[4096];  // a caller's image: the queue must never free it
const std::string kImage(g_image, sizeof g_image);

class Queue : public ::testing::Test {
  protected:
    void SetUp() override { fresh(); }
    void TearDown() override {
        fb_free_queue();
        g_device = nullptr;
    }
    void fresh() {
        fb_free_queue();
        dev = ScriptedDevice{};
        g_device = &dev;
        std::strcpy(retvalue, "old");
        std::strcpy(ERROR, "earlier");
    }
    // runs the queue and gives back what it printed on standard error
    std::string execute(int* result) {
        testing::internal::CaptureStderr();
        *result = fb_execute_queue(&dev.handle);
        return testing::internal::GetCapturedStderr();
    }
    ScriptedDevice dev;
};

TEST_F(Queue, EachOperationQueuesItsSteps) {
    fb_queue_display("product", "product");
    fb_queue_set("doload", "1", "doload");
    fb_queue_check("kernel:0:1000:1a2b3c4d");
    fb_queue_flash("boot", g_image, 5000);
    fb_queue_reboot();
    struct Step {
        uint32_t op;
        const char* cmd;
        action_callback func;
        const char* owned_data;  // the step's own text, or null
        const char* msg;
        int freemsg;
    };
    const Step steps[] = {
        {OP_QUERY, "getvar:product", cb_display, "product", nullptr, 0},
        {OP_COMMAND, "setvar:doload 1", cb_display, "doload 1", "setting 'doload' to '1'", 1},
        {OP_COMMAND, "check:kernel:0:1000:1a2b3c4d", cb_default, nullptr,
         "checking 'kernel:0:1000:1a2b3c4d'", 1},
        {OP_DOWNLOAD, "", cb_default, nullptr, "sending 'boot' (4 KB)", 1},
        {OP_COMMAND, "flash:boot", cb_default, nullptr, "writing 'boot'", 1},
        {OP_COMMAND, "reboot", cb_do_nothing, nullptr, "rebooting", 0},
    };
    Action* a = action_list;
    for (const Step& s : steps) {
        SCOPED_TRACE(s.cmd);
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(a->op, s.op);
        EXPECT_STREQ(a->cmd, s.cmd);
        EXPECT_EQ(a->func, s.func);
        EXPECT_EQ(a->freedata, s.owned_data ? 1 : 0);
        if (s.owned_data) {
            EXPECT_STREQ(static_cast<char*>(a->data), s.owned_data);
        } else if (s.op != OP_DOWNLOAD) {
            EXPECT_EQ(a->data, nullptr);
        }
        EXPECT_STREQ(a->msg, s.msg);
        EXPECT_EQ(a->freemsg, s.freemsg);
        EXPECT_EQ(a->prod, nullptr);
        EXPECT_EQ(a->start, -1.0);
        if (a->next == nullptr) {
            EXPECT_EQ(action_last, a);
        }
        a = a->next;
    }
    EXPECT_EQ(a, nullptr);
    Action* download = action_list->next->next->next;
    EXPECT_EQ(download->data, g_image);
    EXPECT_EQ(download->size, 5000u);

    // freeing releases the steps' own texts and leaves the image alone
    fb_free_queue();
    EXPECT_EQ(action_list, nullptr);
    EXPECT_EQ(action_last, nullptr);
    fb_queue_check("x");
    EXPECT_EQ(action_list, action_last);
    EXPECT_STREQ(action_list->cmd, "check:x");
}

TEST_F(Queue, CommandOf63CharactersIsQueued) {
    const std::string cmd = "check:" + std::string(57, 'c');
    fb_queue_check(cmd.c_str() + 6);
    EXPECT_EQ(action_list->cmd, cmd);
}

TEST(QueueDeath, ImpossibleConditionsEndTheProcess) {
    const std::string long_name(58, 'n');
    const std::pair<std::function<void()>, const char*> cases[] = {
        {[&] { fb_queue_check(long_name.c_str()); },
         "^error: Command length \\(64\\) exceeds maximum size \\(64\\)\n$"},
        {[&] { fb_queue_set("doload", std::string(100, 'v').c_str(), "doload"); },
         "^error: Command length \\(114\\) exceeds maximum size \\(64\\)\n$"},
        {[] {
             queue_action(9, "oem odd");
             fb_execute_queue(nullptr);
         },
         "^error: bogus action\n$"},
        {[] { die("code %d of %s", 7, "x"); }, "^error: code 7 of x\n$"},
    };
    for (const auto& [run, expected] : cases) {
        EXPECT_EXIT(run(), testing::ExitedWithCode(1), expected);
    }
}

TEST_F(Queue, EmptyQueueSucceedsWithoutTraffic) {
    int r = -5;
    EXPECT_EQ(execute(&r), "");
    EXPECT_EQ(r, 0);
    EXPECT_TRUE(dev.writes.empty());
    EXPECT_TRUE(dev.read_sizes.empty());
}

TEST_F(Queue, OneExchangeEach) {
    struct Case {
        const char* name;
        std::function<void()> queue;
        std::vector<ScriptedDevice::Packet> packets;
        int result;
        std::string retvalue;
        std::string printed;
        std::vector<std::string> writes;
    };
    const std::string k60(60, 'v');
    const Case cases[] = {
        {"query",
         [] { fb_queue_display("product", "product"); },
         {{"OKAYRQ3"}},
         0,
         "RQ3",
         "",
         {"getvar:product"}},
        {"empty answer",
         [] { fb_queue_display("verflag", "verflag"); },
         {{"OKAY"}},
         0,
         "",
         "",
         {"getvar:verflag"}},
        {"full answer",
         [] { fb_queue_display("serialno", "serialno"); },
         {{"OKAY" + k60}},
         0,
         k60,
         "",
         {"getvar:serialno"}},
        {"set",
         [] { fb_queue_set("systype", "dual", "systype"); },
         {{"OKAYignored"}},
         0,
         "",
         "",
         {"setvar:systype dual"}},
        {"failed query",
         [] { fb_queue_display("product", "product"); },
         {{"FAILunknown"}},
         -1,
         "old",
         "getvar:product FAILED (remote: unknown)\n",
         {"getvar:product"}},
        {"failed set",
         [] { fb_queue_set("recvmode", "recvrecv", "recvmode"); },
         {{"FAIL"}},
         -1,
         "old",
         "setvar:recvmode recvrecv FAILED (remote failure)\n",
         {"setvar:recvmode recvrecv"}},
        {"failed check",
         [] { fb_queue_check("k"); },
         {{"FAILcrc"}},
         -1,
         "old",
         "FAILED (remote: crc)\n",
         {"check:k"}},
        {"flash",
         [] { fb_queue_flash("boot", g_image, sizeof g_image); },
         {{"DATA00001000"}, {"OKAY"}, {"OKAY"}},
         0,
         "old",
         "",
         {"download:00001000", kImage, "flash:boot"}},
        {"failed download",
         [] { fb_queue_flash("boot", g_image, sizeof g_image); },
         {{"FAILtoo big"}},
         -1,
         "old",
         "FAILED (remote: too big)\n",
         {"download:00001000"}},
        {"failed flash",
         [] { fb_queue_flash("boot", g_image, sizeof g_image); },
         {{"DATA00001000"}, {"OKAY"}, {"FAILbad block"}},
         -1,
         "old",
         "FAILED (remote: bad block)\n",
         {"download:00001000", kImage, "flash:boot"}},
        {"reboot", fb_queue_reboot, {{"OKAY"}}, 0, "old", "\n", {"reboot"}},
        {"refused reboot", fb_queue_reboot, {{"FAIL"}}, 0, "old", "\n", {"reboot"}},
        {"reboot, device gone", fb_queue_reboot, {{"", EPIPE}}, 0, "old", "\n", {"reboot"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        c.queue();
        dev.packets.assign(c.packets.begin(), c.packets.end());
        int r = 0;
        EXPECT_EQ(execute(&r), c.printed);
        EXPECT_EQ(r, c.result);
        EXPECT_EQ(retvalue, c.retvalue);
        EXPECT_EQ(dev.writes, c.writes);
        EXPECT_TRUE(dev.packets.empty());
    }
}

TEST_F(Queue, StepsRunInOrderAndStopAtTheFirstFailure) {
    const std::vector<std::string> all = {"getvar:product", "getvar:serialno",
                                          "setvar:systype tess", "reboot"};
    for (size_t failing = 0; failing <= 3; ++failing) {
        SCOPED_TRACE(failing);
        fresh();
        fb_queue_display("product", "product");
        fb_queue_display("serialno", "serialno");
        fb_queue_set("systype", "tess", "systype");
        fb_queue_reboot();
        for (size_t i = 0; i < all.size() && i <= failing; ++i) {
            dev.send(i == failing && failing < 3 ? "FAILno" : "OKAY");
        }
        double before = now();
        int r = 0;
        execute(&r);
        // a failed reboot does not fail the queue, the others stop it
        EXPECT_EQ(r, failing < 3 ? -1 : 0);
        std::vector<std::string> sent(all.begin(), all.begin() + failing + 1);
        EXPECT_EQ(dev.writes, sent);
        size_t i = 0;
        for (Action* a = action_list; a != nullptr; a = a->next, ++i) {
            if (i <= failing) {
                EXPECT_GE(a->start, before);
            } else {
                EXPECT_EQ(a->start, -1.0);
            }
        }
    }
}

struct Seen {
    int status;
    std::string text;
};
std::vector<Seen> g_seen;
int g_stop_at = -1;

int recording_callback(Action*, int status, const char* resp) {
    g_seen.push_back({status, resp});
    return static_cast<int>(g_seen.size()) == g_stop_at ? 7 : 0;
}

TEST_F(Queue, CallbacksGetTheTextAndTheirResultStopsTheQueue) {
    g_seen.clear();
    g_stop_at = 4;
    queue_action(OP_QUERY, "getvar:a")->func = recording_callback;
    queue_action(OP_COMMAND, "oem b")->func = recording_callback;
    queue_action(OP_QUERY, "getvar:c")->func = recording_callback;
    queue_action(OP_COMMAND, "oem d")->func = recording_callback;
    queue_action(OP_COMMAND, "oem e")->func = recording_callback;
    for (const char* p : {"OKAYanswer", "OKAYnot for a command", "FAILnope", "OKAY"}) dev.send(p);

    int r = 0;
    execute(&r);
    EXPECT_EQ(r, 7);
    ASSERT_EQ(g_seen.size(), 4u);
    EXPECT_EQ(g_seen[0].text, "answer");
    EXPECT_EQ(g_seen[1].text, "");
    EXPECT_EQ(g_seen[2].status, -1);
    EXPECT_EQ(g_seen[2].text, "remote: nope");
    EXPECT_EQ(g_seen[3].status, 0);
    EXPECT_EQ(dev.writes.size(), 4u);
}

TEST_F(Queue, StepsAfterALostHandleDoNotTouchIt) {
    fb_queue_reboot();
    fb_queue_display("product", "product");
    dev.fail_read(USB_ERR_IO);  // the device went away while rebooting: the transport closed it
    int r = 0;
    std::string printed = execute(&r);
    EXPECT_EQ(r, -1);
    EXPECT_EQ(dev.writes, std::vector<std::string>{"reboot"});
    EXPECT_EQ(dev.closes, 1);
    EXPECT_EQ(printed, "\ngetvar:product FAILED (command write failed (device gone))\n");
}

TEST(Clock, NowIsWallClockSeconds) {
    double wall =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    EXPECT_NEAR(now(), wall, 1.0);
}

}  // namespace
