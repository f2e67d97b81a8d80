// The installer's trace (TESSARO_TRACE) against what the device itself recorded: every command,
// every status packet and every data phase, in the same order, and not a byte of the run's
// output changed by it; the run's report (TESSARO_REPORT) with the same output and trace.
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "e2e/flow_e2e.h"
#include "support/temp_dir.h"

namespace {

using namespace flow_e2e;

// "> command", "< status packet" and "= data bytes" lines, in order, from JSON lines in which the
// text is the last field (both the device's transcript and the trace write them so) and the byte
// count follows "bytes".
std::vector<std::string> exchanges_of(const std::vector<std::string>& lines,
                                      std::string_view reply) {
    std::vector<std::string> out;
    auto text_of = [](const std::string& line, std::string_view ev) -> std::string {
        const std::string key = "\"ev\":\"" + std::string(ev) + "\",\"text\":\"";
        const auto at = line.find(key);
        const auto end = line.rfind("\"}");
        if (at == std::string::npos || end == std::string::npos) return "\x01";
        return line.substr(at + key.size(), end - at - key.size());
    };
    for (const std::string& line : lines) {
        if (std::string t = text_of(line, "command"); t != "\x01") out.push_back("> " + t);
        if (std::string t = text_of(line, reply); t != "\x01") out.push_back("< " + t);
        const std::string data = "\"ev\":\"data\",\"bytes\":";
        if (auto at = line.find(data); at != std::string::npos) {
            at += data.size();
            out.push_back("= " + line.substr(at, line.find_first_not_of("0123456789", at) - at));
        }
    }
    return out;
}

std::vector<std::string> read_lines_of(const std::string& all) {
    std::vector<std::string> lines;
    for (size_t at = 0; at < all.size();) {
        const size_t end = all.find('\n', at);
        lines.push_back(all.substr(at, end - at));
        at = end == std::string::npos ? all.size() : end + 1;
    }
    return lines;
}

std::vector<std::string> read_lines(const std::filesystem::path& path) {
    return read_lines_of(support::read_file(path));
}

// Whether `c` is the bytes of `a` and `b` interleaved, each in its order: the console as the
// run printed both streams.
bool interleaves(const std::string& c, const std::string& a, const std::string& b) {
    if (c.size() != a.size() + b.size()) return false;
    // can[j]: the first i + j bytes of c are the first i of a and the first j of b
    std::vector<bool> can(b.size() + 1);
    for (size_t i = 0; i <= a.size(); ++i) {
        for (size_t j = 0; j <= b.size(); ++j) {
            const bool from_a = i > 0 && can[j] && a[i - 1] == c[i + j - 1];
            const bool from_b = j > 0 && can[j - 1] && b[j - 1] == c[i + j - 1];
            can[j] = (i == 0 && j == 0) || from_a || from_b;
        }
    }
    return can[b.size()];
}

// The run's report (TESSARO_REPORT): its header, the whole console output of both streams (as
// UTF-8), and the trace's lines each with its wall-clock time.
void expect_report(const std::string& report, const e2e::RunResult& run,
                   const std::vector<std::string>& trace) {
    const std::regex head(
        "tessaro-installer report\ndate: 20[0-9-]{8}T[0-9:]{8}Z\nhost: .+\n"
        "version: tessaro-installer [0-9.]+\nloaders: (stand-in|maker's)\n"
        "device: model=vrx3 loader=Z07 system=1 variant=4GB place=[^ ]+ serial=067A0TRACE001\n"
        "arguments: 1 1\n--- console ---\n");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(report, m, head, std::regex_constants::match_continuous))
        << report.substr(0, 600);
    const size_t console = m.length(0);
    const size_t trace_at = report.find("\n--- trace ---\n", console);
    ASSERT_NE(trace_at, std::string::npos);
    // the heading of the trace begins a line of its own
    const std::string printed = e2e::gbk(report.substr(console, trace_at - console));
    EXPECT_TRUE(interleaves(printed, run.out, run.err) ||
                interleaves(printed + "\n", run.out, run.err))
        << printed;
    std::vector<std::string> lines = read_lines_of(report.substr(trace_at + 15));
    const std::regex at(R"(,"at":"20[0-9-]{8}T[0-9:]{8}\.[0-9]{3}Z")");
    for (std::string& line : lines) {
        EXPECT_TRUE(std::regex_search(line, at)) << line;
        line = std::regex_replace(line, at, "");
    }
    EXPECT_EQ(lines, trace);
}

TEST(Trace, RecordsEveryExchangeAndLeavesTheOutputAsItIs) {
    Package pkg;
    pkg.config("vrx3\n").files({"system.bin", "kernel.bin", "esystem.bin"});
    // a device whose checks fail and which adds an INFO line: commands, INFO, FAIL, data phases
    // and the error exit in one run
    const std::vector<std::string> device = {"--device", "d",
                                             "--serial", "067A0TRACE001",
                                             "--var",    "product=VRX3",
                                             "--var",    "verflag=Z07",
                                             "--var",    "bootmode=main",
                                             "--var",    "systype=tess",
                                             "--fault",  "check:*=fail:crc mismatch",
                                             "--fault",  "getvar:product=info:trace me"};

    support::Devsim plain_dev(device);
    const auto plain = run(plain_dev, pkg, {"1", "1"});

    support::Devsim traced_dev(device);
    support::TempDir dir;
    const auto trace_path = dir.path() / "trace.jsonl";
    e2e::RunOptions o;
    o.args = {"1", "1"};
    o.cwd = pkg.path();
    o.devsim = &traced_dev;  // over whichever link the run uses
    o.env["TESSARO_TRACE"] = trace_path.string();
    o.timeout = std::chrono::seconds(30);
    const auto report_path = dir.path() / "report.txt";
    o.env["TESSARO_REPORT"] = report_path.string();
    const auto traced = e2e::run_installer(o);

    EXPECT_EQ(traced.status, plain.status);
    EXPECT_EQ(traced.out, plain.out);
    EXPECT_EQ(traced.err, plain.err);
    expect_report(support::read_file(report_path), traced, read_lines(trace_path));

    const auto trace = read_lines(trace_path);
    const auto seen = exchanges_of(traced_dev.transcript(), "answer");
    ASSERT_GT(seen.size(), 10U);
    EXPECT_EQ(exchanges_of(trace, "reply"), seen);
    // the run's end, with its outcome, is the trace's last line
    ASSERT_FALSE(trace.empty());
    EXPECT_NE(trace.back().find(R"("ev":"end","outcome":"error exit","road":"family")"),
              std::string::npos)
        << trace.back();

    // a trace that cannot be written (a directory) is named once, and the run is the same
    support::Devsim unwritable_dev(device);
    o.devsim = &unwritable_dev;
    o.env["TESSARO_TRACE"] = dir.path().string();
    const auto untraced = e2e::run_installer(o);
    EXPECT_EQ(untraced.out, plain.out);
    const std::string head =
        "\nwarning: the trace file " + dir.path().string() + " cannot be written (";
    const std::string tail = "); the run goes on without a trace\n" + plain.err;
    ASSERT_GT(untraced.err.size(), head.size() + tail.size());
    EXPECT_EQ(untraced.err.substr(0, head.size()), head);
    EXPECT_EQ(untraced.err.substr(untraced.err.size() - tail.size()), tail);
}

}  // namespace
