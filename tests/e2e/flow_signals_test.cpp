// Signals during a run: Ctrl+C (SIGINT) and a closing terminal (SIGHUP) arriving while a file
// is being written must not break the write off; SIGTERM still ends the run.
#include "e2e/flow_e2e.h"

namespace {

using namespace flow_e2e;

// Starts the installer as a job of its own (job control on, so the shell does not set SIGINT
// to ignored for it), waits until the device has been asked to take a download, sends the
// signals and reports the installer's exit status on standard error.
constexpr char kScript[] = R"(exec 3>&2 2>/dev/null  # the shell's job notices stay out of the output
set -m
"$1" 1 1 2>&3 &
pid=$!
for i in $(seq 400); do
  grep -q '"text":"download:' "$2" 2>/dev/null && break
  sleep 0.05
done
shift 2
for sig in "$@"; do kill -s "$sig" "$pid"; done
wait "$pid"
echo "status=$?" >&3
)";

e2e::RunResult run_with_signals(const support::Devsim& dev, const Package& pkg,
                                std::vector<std::string> signals) {
    e2e::RunOptions o;
    // the transcript lies beside the device sockets
    o.args = {"-c", kScript, "bash", e2e::installer_bin(),
              (dev.socket_dir().parent_path() / "transcript.jsonl").string()};
    o.args.insert(o.args.end(), signals.begin(), signals.end());
    o.cwd = pkg.path();
    o.devsim_dir = dev.socket_dir();
    o.timeout = std::chrono::seconds(30);
    return e2e::run_program("/bin/bash", o);
}

TEST(FlowSignals, InterruptAndHangupDoNotBreakAWrite) {
    Package pkg;
    pkg.config("pagora8\n").file("data.bin", 60000);
    // the link carries 40000 bytes a second: the write takes about 1.5 s
    support::Devsim dev({"--rate", "40000", "--device", "rq3", "--serial", "P00118SIG", "--var",
                     "product=RQ3", "--var", "verflag=Z05"});

    auto r = run_with_signals(dev, pkg, {"INT", "HUP", "INT"});

    EXPECT_EQ(r.err, "\nstatus=0\n");
    const std::string end = "\n###Downloading:cache\n" + bar(0) + bar(100) + bar(100) +
                            e2e::gbk("\n###完成！\n") + e2e::gbk("\n###系统重启...");
    ASSERT_GE(r.out.size(), end.size());
    EXPECT_EQ(r.out.substr(r.out.size() - end.size()), end);
    EXPECT_EQ(dev.commands(), concat({{"getvar:product", "getvar:serialno", "getvar:verflag"},
                                      flash_commands("cache", 60000),
                                      {"reboot"}}));
}

TEST(FlowSignals, TerminateStillEndsTheRun) {
    Package pkg;
    pkg.config("pagora8\n").file("data.bin", 60000);
    support::Devsim dev({"--rate", "40000", "--device", "rq3", "--serial", "P00118SIG", "--var",
                     "product=RQ3", "--var", "verflag=Z05"});

    auto r = run_with_signals(dev, pkg, {"TERM"});

    EXPECT_EQ(r.err, "status=143\n");
    EXPECT_EQ(r.out.find(e2e::gbk("完成")), std::string::npos);
    auto commands = dev.commands();
    EXPECT_TRUE(std::find(commands.begin(), commands.end(), "reboot") == commands.end());
}

}  // namespace
