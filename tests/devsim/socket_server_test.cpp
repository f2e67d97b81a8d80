// The socket adapter: framing, one host at a time, reboots that remove and re-create the socket,
// faults seen from the host's side, storage files, the rate limit and the transcript.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "check/crc32.h"
#include "simlink/wire.h"
#include "support/sim_thread.h"
#include "support/simlink_peer.h"
#include "support/temp_dir.h"

namespace devsim_test {
namespace {

namespace fs = std::filesystem;
using support::LinkClient;
using support::SimThread;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Packets = std::vector<std::string>;

bool eventually(const std::function<bool()>& cond, std::chrono::milliseconds limit = 3000ms) {
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(5ms);
    }
    return cond();
}

std::string hex8(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08x", v);
    return buf;
}

// connects and takes the descriptor frame
void open(LinkClient& c, const std::string& path) {
    ASSERT_TRUE(c.connect(path)) << path;
    auto d = c.read();
    ASSERT_TRUE(d);
    ASSERT_EQ(d->kind, simlink::kDescriptors);
}

std::vector<std::string> dev0_options(const std::vector<std::string>& more) {
    std::vector<std::string> args{"--device", "dev0"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

// One device, "dev0", with `more` of its options after its name, and a host connected to it.
struct Dev0 {
    SimThread sim;
    LinkClient c;
    explicit Dev0(const std::vector<std::string>& more = {}) : sim(dev0_options(more)) {
        open(c, sim.socket("dev0"));
    }
};

TEST(Greeting, DescriptorsAndSerialNumber) {
    SimThread sim({"--device", "a", "--serial", "P00118X", "--vendor", "0bb4", "--product", "c01",
                   "--class", "fe", "--subclass", "41", "--protocol", "1", "--endpoints", "3",
                   "--device", "b", "--no-serial"});
    LinkClient a;
    ASSERT_TRUE(a.connect(sim.socket("a")));
    auto d = a.read();
    ASSERT_TRUE(d);
    EXPECT_EQ(d->kind, 'D');
    const std::string expected_device(
        "\x12\x01\x00\x02\x00\x00\x00\x40\xb4\x0b\x01\x0c\x00\x01\x01\x02\x03\x01", 18);
    const std::string expected_interface("\x09\x04\x00\x00\x03\xfe\x41\x01\x00", 9);
    EXPECT_EQ(d->payload, expected_device + expected_interface + "P00118X");

    LinkClient b;
    ASSERT_TRUE(b.connect(sim.socket("b")));
    auto db = b.read();
    ASSERT_TRUE(db);
    ASSERT_EQ(db->payload.size(), 27u);  // no serial bytes
    EXPECT_EQ(db->payload[16], 0);       // iSerialNumber: none
    EXPECT_EQ(db->payload.substr(18), std::string("\x09\x04\x00\x00\x02\xff\x42\x03\x00", 9));
}

TEST(Framing, CommandsAnswersAndTranscript) {
    SimThread sim(
        {"--device", "dev0", "--var", "product=RQ3", "--fault", "getvar:serialno=info:hello"});
    LinkClient c;
    open(c, sim.socket("dev0"));
    EXPECT_EQ(c.command("getvar:product"), (Packets{"OKAYRQ3"}));
    EXPECT_EQ(c.command("getvar:serialno"), (Packets{"INFOhello", "OKAYSIM0001"}));
    EXPECT_EQ(c.command("getvar:x"), (Packets{"FAILunknown variable"}));
    EXPECT_EQ(sim.transcript(), (std::vector<std::string>{
                                    R"({"dev":"dev0","ev":"command","text":"getvar:product"})",
                                    R"({"dev":"dev0","ev":"answer","text":"OKAYRQ3"})",
                                    R"({"dev":"dev0","ev":"command","text":"getvar:serialno"})",
                                    R"({"dev":"dev0","ev":"answer","text":"INFOhello"})",
                                    R"({"dev":"dev0","ev":"answer","text":"OKAYSIM0001"})",
                                    R"({"dev":"dev0","ev":"command","text":"getvar:x"})",
                                    R"({"dev":"dev0","ev":"answer","text":"FAILunknown variable"})",
                                }));
}

TEST(Framing, LargeDownloadInMiBTransfersArrivesIntact) {
    Dev0 d;
    const uint32_t size = (3 << 20) + 123;
    std::string image(size, '\0');
    for (uint32_t i = 0; i < size; ++i) image[i] = static_cast<char>((i * 2654435761u) >> 24);
    EXPECT_EQ(d.c.command("download:" + hex8(size)), (Packets{"DATA" + hex8(size)}));
    for (uint32_t off = 0; off < size; off += 1 << 20) {
        auto n = std::min<uint32_t>(1 << 20, size - off);
        EXPECT_EQ(d.c.write(std::string_view(image).substr(off, n)), n);
    }
    auto f = d.c.read();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->payload, "OKAY");
    EXPECT_EQ(d.c.command("flash:xzkernel"), (Packets{"OKAY"}));
    char check[80];
    std::snprintf(check, sizeof check, "check:xzkernel 141000 %x %x", size,
                  GetBufferCRC(image.data(), size));
    EXPECT_EQ(d.c.command(check), (Packets{"OKAY"}));
    auto t = d.sim.transcript();
    EXPECT_NE(std::find(t.begin(), t.end(),
                        R"({"dev":"dev0","ev":"data","bytes":)" + std::to_string(size) + "}"),
              t.end());
}

TEST(Framing, ANonWriteFrameEndsTheConnectionOnly) {
    Dev0 d;
    ASSERT_TRUE(d.c.send_frame('R', "OKAY"));
    EXPECT_TRUE(d.c.closes_within(2000ms));
    LinkClient again;
    open(again, d.sim.socket("dev0"));
    EXPECT_EQ(again.command("getvar:serialno"), (Packets{"OKAYSIM0001"}));
}

TEST(Framing, AFrameLongerThanTheLinkAllowsEndsTheConnection) {
    Dev0 d;
    unsigned char header[5] = {'W'};
    simlink::put_le32(header + 1, simlink::kMaxPayload + 1);
    ASSERT_TRUE(d.c.send_raw(std::string(reinterpret_cast<char*>(header), sizeof header)));
    EXPECT_TRUE(d.c.closes_within(2000ms));
}

TEST(Framing, FramesSplitAcrossManySendsAreReassembled) {
    Dev0 d;
    std::string frame = "W";
    frame += std::string("\x0f\x00\x00\x00", 4);
    frame += "getvar:serialno";
    for (char ch : frame) {
        ASSERT_TRUE(d.c.send_raw(std::string(1, ch)));
        std::this_thread::sleep_for(1ms);
    }
    auto ack = d.c.read();
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->kind, 'A');
    EXPECT_EQ(ack->payload, std::string("\x0f\x00\x00\x00", 4));
    EXPECT_EQ(d.c.read()->payload, "OKAYSIM0001");
}

TEST(OneHostAtATime, SecondConnectionIsClosedWithoutGreeting) {
    SimThread sim({"--device", "dev0"});
    LinkClient first, second;
    open(first, sim.socket("dev0"));
    ASSERT_TRUE(second.connect(sim.socket("dev0")));
    EXPECT_TRUE(second.closes_within(2000ms));
    // the first host is not disturbed
    EXPECT_EQ(first.command("getvar:serialno"), (Packets{"OKAYSIM0001"}));
    // once it leaves, the next host gets in
    first.close();
    LinkClient third;
    EXPECT_TRUE(eventually([&] {
        if (!third.connect(sim.socket("dev0"))) return false;
        auto d = third.read(500ms);
        return d && d->kind == 'D';
    }));
    EXPECT_EQ(third.command("getvar:serialno"), (Packets{"OKAYSIM0001"}));
}

TEST(OneHostAtATime, AHostThatReconnectsAtOnceIsTakenEveryTime) {
    // the installer closes a link it no longer trusts and opens the device again straight away;
    // the closed link must not count as a host still being served
    SimThread sim({"--device", "dev0"});
    LinkClient c;
    for (int i = 0; i < 100; ++i) {
        SCOPED_TRACE(i);
        open(c, sim.socket("dev0"));  // closes the previous link first
        ASSERT_EQ(c.command("getvar:serialno"), (Packets{"OKAYSIM0001"}));
    }
}

TEST(OneHostAtATime, DevicesAreIndependent) {
    SimThread sim({"--device", "a", "--serial", "A1", "--device", "b", "--serial", "B1"});
    LinkClient a, b;
    open(a, sim.socket("a"));
    open(b, sim.socket("b"));
    EXPECT_EQ(b.command("getvar:serialno"), (Packets{"OKAYB1"}));
    EXPECT_EQ(a.command("getvar:serialno"), (Packets{"OKAYA1"}));
}

TEST(Probes, ConnectingAndLeavingAddsNoTranscriptLines) {
    SimThread sim({"--device", "dev0"});
    {
        LinkClient probe;
        open(probe, sim.socket("dev0"));
        LinkClient busy;
        ASSERT_TRUE(busy.connect(sim.socket("dev0")));
        EXPECT_TRUE(busy.closes_within(2000ms));
    }
    LinkClient c;
    EXPECT_TRUE(eventually([&] { return c.connect(sim.socket("dev0")) && c.read(500ms); }));
    EXPECT_EQ(c.command("getvar:serialno"), (Packets{"OKAYSIM0001"}));
    EXPECT_EQ(sim.transcript().size(), 2u);
}

TEST(Reboot, RemovesTheSocketAndCreatesItAgain) {
    Dev0 d({"--reboot-delay", "300"});
    EXPECT_EQ(d.c.command("setvar:systype dual"), (Packets{"OKAY"}));
    const auto t0 = Clock::now();
    EXPECT_EQ(d.c.command("reboot"), (Packets{"OKAY"}));
    EXPECT_TRUE(d.c.closes_within(2000ms));
    EXPECT_FALSE(fs::exists(d.sim.socket("dev0")));
    LinkClient probe;
    EXPECT_FALSE(probe.connect(d.sim.socket("dev0")));
    EXPECT_TRUE(eventually([&] { return fs::exists(d.sim.socket("dev0")); }));
    EXPECT_GE(Clock::now() - t0, 280ms);
    LinkClient after;
    open(after, d.sim.socket("dev0"));
    EXPECT_EQ(after.command("getvar:systype"), (Packets{"OKAYdual"}));
    auto t = d.sim.transcript();
    ASSERT_GE(t.size(), 6u);
    EXPECT_EQ(t[3], R"({"dev":"dev0","ev":"answer","text":"OKAY"})");
    EXPECT_EQ(t[4], R"({"dev":"dev0","ev":"reboot"})");
    EXPECT_EQ(t[5], R"({"dev":"dev0","ev":"back"})");
}

TEST(Reboot, AwayFaultKeepsItAwayLonger) {
    Dev0 d({"--reboot-delay", "50", "--fault", "reboot#1=away:600"});
    const auto t0 = Clock::now();
    EXPECT_EQ(d.c.command("reboot"), (Packets{"OKAY"}));
    d.c.close();  // a host that closes at once: the reboot still happens
    EXPECT_TRUE(eventually([&] { return !fs::exists(d.sim.socket("dev0")); }));
    EXPECT_TRUE(eventually([&] { return fs::exists(d.sim.socket("dev0")); }));
    EXPECT_GE(Clock::now() - t0, 580ms);
}

TEST(Appear, SocketComesOnlyAfterTheDelay) {
    const auto t0 = Clock::now();
    SimThread sim({"--device", "late", "--appear-after", "300", "--device", "early"});
    EXPECT_TRUE(fs::exists(sim.socket("early")));
    EXPECT_FALSE(fs::exists(sim.socket("late")));
    EXPECT_TRUE(eventually([&] { return fs::exists(sim.socket("late")); }));
    EXPECT_GE(Clock::now() - t0, 280ms);
    LinkClient c;
    open(c, sim.socket("late"));
    EXPECT_EQ(c.command("getvar:serialno"), (Packets{"OKAYSIM0001"}));
    // appearing is not coming back
    EXPECT_EQ(sim.transcript().size(), 2u);
}

TEST(Stop, RemovesTheSockets) {
    SimThread sim({"--device", "a", "--device", "b"});
    ASSERT_TRUE(fs::exists(sim.socket("a")));
    sim.stop();
    EXPECT_FALSE(fs::exists(sim.socket("a")));
    EXPECT_FALSE(fs::exists(sim.socket("b")));
}

TEST(Stop, StaleSocketOfAKilledRunIsReplaced) {
    support::TempDir tmp;
    const fs::path& dir = tmp.path();
    // a socket file nobody listens on, as a killed run leaves it
    const std::string path = (dir / "a").string();
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);
    {
        devsim::SimConfig cfg;
        cfg.dir = dir.string();
        cfg.devices.emplace_back();
        cfg.devices.back().name = "a";
        devsim::SocketServer server(cfg);
        EXPECT_EQ(server.start(), "");
        LinkClient c;
        EXPECT_TRUE(c.connect(path));  // listening: the accept waits in the backlog
    }
    // a regular file in the socket's place is not touched
    std::ofstream(dir / "b") << "keep";
    devsim::SimConfig cfg;
    cfg.dir = dir.string();
    cfg.devices.emplace_back();
    cfg.devices.back().name = "b";
    devsim::SocketServer server(cfg);
    EXPECT_NE(server.start().find("exists and is not a socket"), std::string::npos);
    EXPECT_TRUE(fs::is_regular_file(dir / "b"));
}

TEST(FaultsOnTheLink, VanishClosesAndComesBackAtOnce) {
    Dev0 d({"--fault", "getvar:product#1=vanish:command"});
    ASSERT_TRUE(d.c.send_frame('W', "getvar:product"));
    EXPECT_TRUE(d.c.closes_within(2000ms));  // no acknowledgement, no answer
    EXPECT_TRUE(fs::exists(d.sim.socket("dev0")));
    LinkClient again;
    open(again, d.sim.socket("dev0"));
    EXPECT_EQ(again.command("getvar:serialno"), (Packets{"OKAYSIM0001"}));
    auto t = d.sim.transcript();
    ASSERT_GE(t.size(), 3u);
    EXPECT_EQ(t[1], R"({"dev":"dev0","ev":"gone","why":"vanish:command"})");
    EXPECT_EQ(t[2], R"({"dev":"dev0","ev":"back"})");
}

TEST(FaultsOnTheLink, VanishInTheDataPhase) {
    Dev0 d({"--fault", "download:*=vanish:data:1500"});
    EXPECT_EQ(d.c.command("download:00001000"), (Packets{"DATA00001000"}));
    EXPECT_EQ(d.c.write(std::string(1024, 'x')), 1024u);
    ASSERT_TRUE(d.c.send_frame('W', std::string(1024, 'x')));
    EXPECT_TRUE(d.c.closes_within(2000ms));
    auto t = d.sim.transcript();
    ASSERT_GE(t.size(), 4u);
    EXPECT_EQ(t[2], R"({"dev":"dev0","ev":"data","bytes":1500})");
    EXPECT_EQ(t[3], R"({"dev":"dev0","ev":"gone","why":"vanish:data"})");
}

TEST(FaultsOnTheLink, VanishBeforeStatusAcknowledgesTheCommand) {
    Dev0 d({"--fault", "reboot=vanish:status"});
    EXPECT_EQ(d.c.write("reboot"), 6u);
    EXPECT_TRUE(d.c.closes_within(2000ms));
}

TEST(FaultsOnTheLink, SilenceDelaysTheAnswerNotTheAcknowledgement) {
    Dev0 d({"--fault", "getvar:serialno=silence:300"});
    const auto t0 = Clock::now();
    EXPECT_EQ(d.c.write("getvar:serialno"), 15u);
    EXPECT_LT(Clock::now() - t0, 250ms);
    EXPECT_FALSE(d.c.read(100ms));
    auto f = d.c.read(2000ms);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->payload, "OKAYSIM0001");
    EXPECT_GE(Clock::now() - t0, 280ms);
}

TEST(FaultsOnTheLink, ShortWriteAcknowledgesLess) {
    Dev0 d({"--fault", "download:*=short-write:10"});
    EXPECT_EQ(d.c.command("download:00000020"), (Packets{"DATA00000020"}));
    EXPECT_EQ(d.c.write(std::string(0x20, 'a')), 10u);
    EXPECT_EQ(d.c.write(std::string(0x20 - 10, 'a')), 0x20u - 10);
    EXPECT_EQ(d.c.read()->payload, "OKAY");
}

TEST(HostLeaves, MidDataPhaseTheNextHostStartsClean) {
    SimThread sim({"--device", "dev0"});
    {
        LinkClient c;
        open(c, sim.socket("dev0"));
        EXPECT_EQ(c.command("download:00100000"), (Packets{"DATA00100000"}));
        EXPECT_EQ(c.write(std::string(4096, 'x')), 4096u);
    }
    LinkClient next;
    EXPECT_TRUE(eventually([&] { return next.connect(sim.socket("dev0")) && next.read(500ms); }));
    EXPECT_EQ(next.command("getvar:serialno"), (Packets{"OKAYSIM0001"}));
    EXPECT_EQ(next.command("flash:xzkernel"), (Packets{"FAILno download"}));
}

TEST(Storage, PartitionsAreFilesUnderTheDeviceName) {
    support::TempDir store;
    {
        SimThread sim({"--storage", store.path().string(), "--device", "dev0"});
        LinkClient c;
        open(c, sim.socket("dev0"));
        EXPECT_EQ(c.command("download:00000005"), (Packets{"DATA00000005"}));
        EXPECT_EQ(c.write("hello"), 5u);
        EXPECT_EQ(c.read()->payload, "OKAY");
        EXPECT_EQ(c.command("flash:xzsystem:3"), (Packets{"OKAY"}));
    }
    EXPECT_EQ(support::read_file(store / "dev0" / "xzsystem"), std::string("\0\0\0hello", 8));
}

TEST(RateLimit, SlowsTheDataPhaseToTheRate) {
    // 1 MiB at 4 MiB/s takes a quarter of a second; without a limit it takes far less
    SimThread sim({"--rate", std::to_string(4 << 20), "--device", "dev0"});
    LinkClient c;
    open(c, sim.socket("dev0"));
    EXPECT_EQ(c.command("download:00100000"), (Packets{"DATA00100000"}));
    const std::string chunk(256 << 10, 'r');
    const auto t0 = Clock::now();
    for (int i = 0; i < 4; ++i) EXPECT_EQ(c.write(chunk), chunk.size());
    EXPECT_GE(Clock::now() - t0, 240ms);
    EXPECT_EQ(c.read()->payload, "OKAY");
}

}  // namespace
}  // namespace devsim_test
