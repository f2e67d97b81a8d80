// The tessaro-devsim program as a process: "ready" once the sockets listen, and a clean stop on
// SIGTERM or SIGINT that removes them.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <string>

#include "support/process.h"
#include "support/simlink_peer.h"

#ifdef TESSARO_DEVSIM_BIN

namespace devsim_test {
namespace {

namespace fs = std::filesystem;

class ProgramProcess : public testing::TestWithParam<int> {};

TEST_P(ProgramProcess, ReadyThenStopsOnSignalRemovingItsSockets) {
    support::Devsim sim({"--device", "a", "--device", "b"});
    EXPECT_EQ(sim.greeting(), "ready\n");
    const std::string sockets = sim.socket_dir().string();
    // both sockets listen by the time "ready" is out
    support::LinkClient a, b;
    EXPECT_TRUE(a.connect(sockets + "/a"));
    EXPECT_TRUE(b.connect(sockets + "/b"));
    EXPECT_EQ(a.read()->kind, 'D');

    int status = sim.stop(GetParam());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_FALSE(fs::exists(sockets + "/a"));
    EXPECT_FALSE(fs::exists(sockets + "/b"));
}

INSTANTIATE_TEST_SUITE_P(Signals, ProgramProcess, testing::Values(SIGTERM, SIGINT),
                         [](const auto& info) { return info.param == SIGTERM ? "TERM" : "INT"; });

}  // namespace
}  // namespace devsim_test

#endif
