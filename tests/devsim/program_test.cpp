// The tessaro-devsim program as a process: "ready" once the sockets listen, and a clean stop on
// SIGTERM or SIGINT that removes them.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "link_client.h"

#ifdef TESSARO_DEVSIM_BIN

namespace devsim_test {
namespace {

namespace fs = std::filesystem;

class ProgramProcess : public testing::TestWithParam<int> {};

TEST_P(ProgramProcess, ReadyThenStopsOnSignalRemovingItsSockets) {
    char tmpl[] = "/tmp/devsim-prog-XXXXXX";
    const fs::path dir = ::mkdtemp(tmpl);
    const std::string sockets = (dir / "s").string();
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::execl(TESSARO_DEVSIM_BIN, TESSARO_DEVSIM_BIN, "--dir", sockets.c_str(), "--device", "a",
                "--device", "b", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    char buf[16] = {};
    ssize_t n = ::read(out[0], buf, sizeof buf - 1);
    ::close(out[0]);
    EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), "ready\n");
    // both sockets listen by the time "ready" is out
    LinkClient a, b;
    EXPECT_TRUE(a.connect(sockets + "/a"));
    EXPECT_TRUE(b.connect(sockets + "/b"));
    EXPECT_EQ(a.read()->kind, 'D');

    ::kill(pid, GetParam());
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_FALSE(fs::exists(sockets + "/a"));
    EXPECT_FALSE(fs::exists(sockets + "/b"));
    fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Signals, ProgramProcess, testing::Values(SIGTERM, SIGINT),
                         [](const auto& info) { return info.param == SIGTERM ? "TERM" : "INT"; });

}  // namespace
}  // namespace devsim_test

#endif
