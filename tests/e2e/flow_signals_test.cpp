// Signals during a run: Ctrl+C (SIGINT) and a closing terminal (SIGHUP) arriving while a file
// is being written must not break the write off, but they stop a run that has sent nothing yet
// and one in its closing wait; SIGTERM still ends the run; a reader of the output that goes
// away (SIGPIPE) does not end it.
#include <algorithm>
#include <optional>

#include "e2e/flow_e2e.h"
#include "support/temp_dir.h"

namespace {

using namespace flow_e2e;

// Starts the installer with the given arguments as a job of its own (job control on, so the
// shell does not set SIGINT to ignored for it), waits until a file ("out" and "err" are the
// installer's own output) holds a text, sends the signals and writes the installer's output
// and then its exit status.
constexpr char kScript[] =
    R"(exec 3>&2 2>/dev/null  # the shell's job notices stay out of the output
set -m
dir=$(mktemp -d)
installer=$1 watch=$2 text=$3 args=$4 hold=$5 quick=$6
shift 6
# the installer's whole-second waits pass twenty times faster; the script's own do not
# (a sanitizer build's runtime is linked in, not preloaded: it is told not to mind)
[ -n "$quick" ] &&
  installer="env LD_PRELOAD=$quick ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0 $installer"
case $watch in out|err) watch=$dir/$watch ;; esac
if [ "$hold" = 1 ]; then
  # the input stays open after it, so a menu waits for a choice
  mkfifo "$dir/in"
  $installer $args <"$dir/in" >"$dir/out" 2>"$dir/err" &
  pid=$!
  exec 4>"$dir/in"
  cat >&4
else
  $installer $args <&0 >"$dir/out" 2>"$dir/err" &
  pid=$!
fi
for i in $(seq 400); do
  grep -qF -- "$text" "$watch" && break
  sleep 0.05
done
for sig in "$@"; do kill -s "$sig" "$pid"; done
wait "$pid"
status=$?
exec 4>&-
cat "$dir/out"
cat "$dir/err" >&3
echo "status=$status" >&3
rm -rf "$dir"
)";

struct SignalRun {
    std::string args;   // the installer's, separated by spaces
    std::string watch;  // "out", "err", or "transcript" for the device's
    std::string text;   // the signals go once this is in the watched file
    std::vector<std::string> signals;
    std::string input;
    bool hold_input = false;   // standard input stays open after `input`
    bool quick_sleep = false;  // the installer's whole-second waits are shortened
};

// `report`: where the run writes its report (TESSARO_REPORT), if anywhere.
e2e::RunResult run_with_signals(const std::filesystem::path& devsim_dir, const Package& pkg,
                                const SignalRun& s, const std::filesystem::path& report = {}) {
    e2e::RunOptions o;
    if (!report.empty()) o.env["TESSARO_REPORT"] = report.string();
    // the transcript lies beside the device sockets
    std::string watch = s.watch == "transcript"
                            ? (devsim_dir.parent_path() / "transcript.jsonl").string()
                            : s.watch;
    o.args = {"-c",
              kScript,
              "bash",
              e2e::installer_bin(),
              watch,
              s.text,
              s.args,
              s.hold_input ? "1" : "0",
              s.quick_sleep ? TESSARO_QUICK_SLEEP_LIB : ""};
    o.args.insert(o.args.end(), s.signals.begin(), s.signals.end());
    o.input = s.input;
    o.cwd = pkg.path();
    o.devsim_dir = devsim_dir;
    o.timeout = std::chrono::seconds(30);
    return e2e::run_program("/bin/bash", o);
}

// However a signal ends the run, its report is whole: the console output up to the note said
// on standard error, then the trace up to the last exchange.
void expect_whole_report(const std::filesystem::path& report, const std::string& note,
                         const std::string& last_command) {
    const std::string r = support::read_file(report);
    const size_t console = r.find("\n--- console ---\n");
    const size_t trace = r.find("\n--- trace ---\n");
    ASSERT_NE(console, std::string::npos) << r;
    ASSERT_NE(trace, std::string::npos) << r;
    EXPECT_EQ(r.substr(trace - note.size() + 1, note.size()), note) << r;
    // the trace's last line is whole
    ASSERT_EQ(r.back(), '\n');
    EXPECT_EQ(r.compare(r.rfind('\n', r.size() - 2) + 1, 5, "{\"t\":"), 0) << r;
    EXPECT_NE(r.find("\"text\":\"" + last_command + "\"", trace), std::string::npos) << r;
}

std::vector<std::string> rq3_device() {
    return {"--rate",    "40000", "--device",    "rq3",   "--serial",
            "P00118SIG", "--var", "product=RQ3", "--var", "verflag=Z05"};
}

// An RQ3 package of one 60000-byte file and the device it goes to, whose link carries 40000
// bytes a second: the write takes about 1.5 s. POSIX signals: the Linux build, its socket
// directory.
struct Rq3Write {
    Package pkg;
    support::Devsim dev{rq3_device(), false};
    Rq3Write() { pkg.config("pagora8\n").file("data.bin", 60000); }
};

const std::vector<std::string> kRq3Install =
    concat({{"getvar:product", "getvar:serialno", "getvar:verflag"},
            flash_commands("cache", 60000),
            {"reboot"}});

TEST(FlowSignals, InterruptAndHangupDoNotBreakAWrite) {
    Rq3Write w;
    auto r =
        run_with_signals(w.dev.socket_dir(), w.pkg,
                         {"1 1", "transcript", "\"text\":\"download:", {"INT", "HUP", "INT"}, ""});

    EXPECT_EQ(r.err, "\nstatus=0\n");
    const std::string end = "\n###Downloading:cache\n" + bar(0) + bar(100) + bar(100) +
                            e2e::gbk("\n###完成！\n") + e2e::gbk("\n###系统重启...");
    ASSERT_GE(r.out.size(), end.size());
    EXPECT_EQ(r.out.substr(r.out.size() - end.size()), end);
    EXPECT_EQ(w.dev.commands(), kRq3Install);
}

// Before the first command and in the closing wait there is nothing to protect: a user must be
// able to stop a run waiting for a device that never comes, and a closed terminal must not leave
// it waiting to install on whatever device appears later.
TEST(FlowSignals, InterruptAndHangupStopARunThatSendsNothing) {
    struct Case {
        const char* name;
        bool device;
        SignalRun run;
        int status;
        std::vector<std::string> commands;
    };
    const std::string restarting = e2e::gbk("###系统重启...");
    const Case cases[] = {
        {"Ctrl+C waiting for the device",
         false,
         {"1 1", "err", "< waiting for device >", {"INT"}, ""},
         130,
         {}},
        {"hang-up waiting for the device",
         false,
         {"1 1", "err", "< waiting for device >", {"HUP"}, ""},
         129,
         {}},
        {"Ctrl+C in the closing wait after Exit and a reboot",
         true,
         {"1 0", "out", restarting, {"INT"}, ""},
         130,
         {"getvar:product", "getvar:serialno", "getvar:verflag", "reboot"}},
        {"hang-up in the closing wait of a finished RQ3 install",
         true,
         {"1 0", "out", restarting, {"HUP"}, "1\n"},
         129,
         kRq3Install},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Package pkg;
        pkg.config("pagora8\n").file("data.bin", 60000);
        support::TempDir empty;
        std::optional<support::Devsim> dev;
        if (c.device) dev.emplace(rq3_device(), false);

        auto r = run_with_signals(dev ? dev->socket_dir() : empty.path(), pkg, c.run);

        EXPECT_FALSE(r.timed_out);
        EXPECT_NE(r.err.find("status=" + std::to_string(c.status) + "\n"), std::string::npos)
            << r.err;
        EXPECT_EQ(r.out.find("All Done"), std::string::npos);
        // what was said before the wait is out, not lost with the process
        if (c.run.watch == "out") {
            EXPECT_NE(r.out.find(c.run.text), std::string::npos);
        }
        if (dev) {
            EXPECT_EQ(dev->commands(), c.commands);
        }
    }
}

// Nothing is on its way to the device while a menu waits for a choice or the run waits for its
// device to come back from a reboot in the middle of the loader chain: Ctrl+C and a closed
// terminal end the run there, and it says what was written last, so that a new run is expected
// to go on from there.
TEST(FlowSignals, InterruptAndHangupEndTheRunAtEveryWait) {
    struct Case {
        const char* name;
        std::string config;
        std::vector<std::string> device;
        SignalRun run;
        int status;
        std::string note;  // on standard error
    };
    const std::vector<std::string> vrx3 = {
        "--device",     "d",     "--serial",      "067A0001", "--var",
        "product=VRX3", "--var", "bootmode=main", "--var",    "systype=sing"};
    auto with = [](std::vector<std::string> a, std::initializer_list<std::string> more) {
        a.insert(a.end(), more);
        return a;
    };
    const std::string menu = e2e::gbk("###请选择");
    const std::string nothing =
        "\nstopped: nothing has been written to the device yet; running "
        "the installer again starts from the beginning\n";
    auto left_with = [](const std::string& what) {
        return "\nstopped: the last thing written to the device was " + what +
               ";\nrunning the installer again resumes from there\n";
    };
    const Case cases[] = {
        {"Ctrl+C at the menu of the other families",
         "vrx3\n",
         with(vrx3, {"--var", "verflag=Z07"}),
         {"1 -1", "out", menu, {"INT"}, "", true},
         130,
         nothing},
        {"hang-up at the RQ3 menu",
         "pagora8\n",
         rq3_device(),
         {"1 -1", "out", menu, {"HUP"}, "", true},
         129,
         nothing},
        {"Ctrl+C waiting for a device that does not come back after the first chain stage",
         "vrx3\n",
         with(vrx3, {"--var", "verflag=8.0", "--fault", "reboot#1=away:60000"}),
         {"1 1", "err", "< waiting for device >", {"INT"}, ""},
         130,
         left_with("loader chain stage 1 (porter)")},
        // another reader in the same port is not the device identified: it is waited for
        {"Ctrl+C while another reader answers where the device hung after the first chain stage",
         "vrx3\n",
         with(vrx3, {"--var", "verflag=8.0", "--fault", "reboot#1=serial:OTHER0001"}),
         {"1 1",
          "err",
          "another device OTHER0001 is not the one being installed; left alone",
          {"INT"},
          ""},
         130,
         left_with("loader chain stage 1 (porter)")},
        {"hang-up waiting for a device that does not come back after the second chain stage",
         "vrx3\n",
         with(vrx3, {"--var", "verflag=8.0", "--fault", "reboot#2=away:600000"}),
         {"1 1", "err", "check the USB cable", {"HUP"}, "", false, true},
         129,
         // a minute of waits comes first: the run says what to check
         "< waiting for device >\nwaiting: the device has not come back from its reboot for a "
         "minute; check the USB cable, and that the device shows its bootloader screen\n" +
             left_with("loader chain stage 2 (porter1)")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Package pkg;
        pkg.config(c.config).files({"system.bin", "data.bin"});
        support::Devsim dev(c.device, false);
        support::TempDir dir;

        auto r = run_with_signals(dev.socket_dir(), pkg, c.run, dir.path() / "report.txt");

        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.err.substr(r.err.size() - std::min(r.err.size(), c.note.size() + 11)),
                  c.note + "status=" + std::to_string(c.status) + "\n");
        EXPECT_EQ(r.out.find("All Done"), std::string::npos);
        expect_whole_report(dir.path() / "report.txt", c.note, dev.commands().back());
    }
}

TEST(FlowSignals, TerminateStillEndsTheRun) {
    Rq3Write w;
    support::TempDir dir;
    auto r = run_with_signals(w.dev.socket_dir(), w.pkg,
                              {"1 1", "transcript", "\"text\":\"download:", {"TERM"}, ""},
                              dir.path() / "report.txt");

    EXPECT_EQ(r.err, "status=143\n");
    expect_whole_report(dir.path() / "report.txt", "\n", "download:0000ea60");
    EXPECT_EQ(r.out.find(e2e::gbk("完成")), std::string::npos);
    auto commands = w.dev.commands();
    EXPECT_TRUE(std::find(commands.begin(), commands.end(), "reboot") == commands.end());
}

// "| head" or a "| tee" whose terminal went away: the output is lost, the install is not.
TEST(FlowSignals, LostReaderOfTheOutputDoesNotStopTheInstall) {
    Rq3Write w;
    e2e::RunOptions o;
    // the reader is gone long before the first flush, a second after start-up
    o.args = {"-c", R"("$0" 1 1 | true; echo "status=${PIPESTATUS[0]}" >&2)", e2e::installer_bin()};
    o.cwd = w.pkg.path();
    o.devsim = &w.dev;
    o.timeout = std::chrono::seconds(30);
    auto r = e2e::run_program("/bin/bash", o);

    EXPECT_EQ(r.err, "\nstatus=0\n");
    EXPECT_EQ(w.dev.commands(), kRq3Install);
}

}  // namespace
