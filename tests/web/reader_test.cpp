// The ### reader over every recorded run under tests/web/records (the installer's own bytes, as
// the end-to-end tests and the fault matrix kept them): nothing is lost or thrown, the events do
// not depend on how the bytes were cut, and each ending is the one the recorder judged.
#include "web/reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "web/causes.h"
#include "web/outcome.h"
#include "web/runs.h"
#include "web/trace_follow.h"

namespace fs = std::filesystem;
using web::EventKind;

namespace {

std::vector<web::Event> read_all(const std::string& bytes, size_t chunk) {
    web::Reader r;
    std::vector<web::Event> events;
    for (size_t i = 0; i < bytes.size(); i += chunk) {
        auto e = r.feed(std::string_view(bytes).substr(i, chunk));
        events.insert(events.end(), e.begin(), e.end());
    }
    auto e = r.finish();
    events.insert(events.end(), e.begin(), e.end());
    return events;
}

std::string without_line_ends(std::string s) {
    std::erase_if(s, [](char c) { return c == '\n' || c == '\r'; });
    return s;
}

std::string signature(const std::vector<web::Event>& events) {
    std::string s;
    for (const auto& e : events) {
        s += std::string(web::kind_name(e.kind)) + "|" + e.text + "|" + e.value + "|" +
             std::to_string(e.percent) + "|" + std::to_string(e.choices.size()) + "\n";
    }
    return s;
}

size_t count(const std::vector<web::Event>& events, EventKind kind) {
    return static_cast<size_t>(std::count_if(
        events.begin(), events.end(), [kind](const web::Event& e) { return e.kind == kind; }));
}

std::string verdict_of(const fs::path& meta) {
    std::ifstream in(meta);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("verdict ", 0) == 0) return line.substr(8);
    }
    return {};
}

}  // namespace

TEST(WebReader, EveryRecordedRun) {
    const fs::path dir = fs::path(TESSARO_SOURCE_DIR) / "tests/web/records";
    std::map<std::string, size_t> verdicts;
    size_t runs = 0, menus = 0, files = 0, percents = 0;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        const fs::path p = entry.path();
        if (p.extension() != ".out" && p.extension() != ".err") continue;
        SCOPED_TRACE(p.string());
        const std::string bytes = support::read_file(p);
        std::vector<web::Event> whole;
        ASSERT_NO_THROW(whole = read_all(bytes, bytes.size() + 1));
        // every byte of every line is in an event, whatever kind it was given
        std::string seen;
        for (const auto& e : whole) seen += e.text;
        EXPECT_EQ(without_line_ends(seen), without_line_ends(web::to_utf8(bytes)));
        // a pipe gives the bytes in pieces of any size
        for (const size_t chunk : {size_t{1}, size_t{7}, size_t{4096}}) {
            EXPECT_EQ(signature(read_all(bytes, chunk)), signature(whole)) << "chunk " << chunk;
        }
        if (p.extension() == ".err") continue;
        ++runs;
        menus += count(whole, EventKind::Menu);
        files += count(whole, EventKind::File);
        percents += count(whole, EventKind::Percent);
        fs::path meta = p;
        const std::string verdict = verdict_of(meta.replace_extension(".meta"));
        if (verdict.empty()) continue;
        ++verdicts[verdict];
        const bool done = count(whole, EventKind::Done) > 0;
        EXPECT_EQ(done, verdict == "claimed") << verdict;
        if (verdict == "said failed") {
            const auto err =
                read_all(support::read_file(fs::path(p).replace_extension(".err")), 4096);
            EXPECT_GT(count(whole, EventKind::Failed) + count(err, EventKind::Error), 0u);
        }
    }
    // the recordings hold every kind of road and ending
    EXPECT_GT(runs, 50u);
    EXPECT_GT(menus, 0u);
    EXPECT_GT(files, 0u);
    EXPECT_GT(percents, 0u);
    EXPECT_GT(verdicts["claimed"], 0u);
    EXPECT_GT(verdicts["said failed"], 0u);
}

// The cause of a failed run, from its recorded lines: each cause the page has words for, and a
// failure it has none for (a loader version that changed between two answers), which gets no
// advice. The stand-in line is the installer's own: a build of stand-ins meets no real device here.
TEST(WebReader, CausesOfFailedRuns) {
    struct Row {
        const char* record;  // under tests/web/records, without .out and .err; or empty
        std::string err;     // else standard error's bytes
        const char* cause;
        const char* detail;
        const char* device = "";
        const char* package = "";
    };
    const Row rows[] = {
        {"causes/loader_8_5", "", "loader-chain", "8.5"},
        {"causes/refused_check", "", "package-damaged", "kernel.bin"},
        {"causes/damaged_kernel", "", "package-damaged", "kernel.bin"},
        {"causes/gone_in_system", "", "device-lost", "system.bin"},
        {"matrix/tess____second__1_/0099-010-gone_before_the_status", "", "device-lost", ""},
        {"causes/refused_write", "", "write-refused", "system.bin"},
        {"causes/refused_table", "", "write-refused", "mbr"},
        {"e2e/FlowIdentify.PackageRefusedOrDeviceUnknown.0", "", "other-model", "", "tamso",
         "belto"},
        {"matrix/dual____both__1_/0051-006-FAIL_with_text", "", "", ""},
        {"matrix/loader_chain_from_8_0/clean", "", "", ""},
        {"",
         "\nerror: this build carries no loader firmware for this device, only stand-ins for "
         "simulated devices; to install loaders on real devices, build the installer with "
         "-DTESSARO_LOADER_DIR=DIR, where DIR holds the device maker's loader images\n",
         "stand-in", ""},
    };
    const fs::path dir = fs::path(TESSARO_SOURCE_DIR) / "tests/web/records";
    for (const auto& row : rows) {
        SCOPED_TRACE(*row.record ? row.record : row.cause);
        web::CauseFinder finder;
        for (const bool err : {false, true}) {
            const std::string bytes =
                *row.record
                    ? support::read_file(dir / (std::string(row.record) + (err ? ".err" : ".out")))
                : err ? row.err
                      : std::string();
            for (const auto& e : read_all(bytes, bytes.size() + 1)) finder.take(err, e);
        }
        const web::Finding& f = finder.finding();
        EXPECT_EQ(web::cause_name(f.cause), row.cause);
        EXPECT_EQ(f.detail, row.detail);
        EXPECT_EQ(f.device, row.device);
        EXPECT_EQ(f.package, row.package);
    }
}

// What a wrapper relies on before any line ends: a menu's prompt and a progress bar come out
// as soon as they are whole, the choices with their texts, and a line of no known kind is text.
TEST(WebReader, PromptAndBarBeforeTheLineEnds) {
    web::Reader r;
    auto e = r.feed(web::to_utf8("###1.升级(Upgrade)；\n###0.退出(Exit)。\n###请选择(0-1):"));
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].kind, EventKind::Menu);
    ASSERT_EQ(e[0].choices.size(), 2u);
    EXPECT_EQ(e[0].choices[0].key, '1');
    EXPECT_EQ(e[0].choices[0].text, "升级(Upgrade)");
    EXPECT_FALSE(e[0].choices[0].wipes);
    e = r.feed("\nDownloading system:\n\r[###########                      ] 33% ");
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].kind, EventKind::File);
    EXPECT_EQ(e[0].value, "system");
    EXPECT_EQ(e[1].percent, 33);
    e = r.feed("\nsomething new \xff\n");
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].kind, EventKind::Text);
    // a Windows build's lines end in "\r\n": one event each, an empty line kept
    e = r.feed("###Ver:Z07\r\n\r\nDownloading Error!\r\n");
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[0].value, "Z07");
    EXPECT_EQ(e[1].text, "");
    EXPECT_EQ(e[2].kind, EventKind::Failed);
}

// How a run ends: only standard output carries endings, a failure sticks, done needs status 0
// after a done ending, a Stop that ends the run at a wait is stopped; a line too long is cut.
TEST(WebReader, EndingsOfARun) {
    struct Row {
        const char* what;
        std::vector<std::pair<char, std::string>> bytes;  // 'o': standard output, 'e': error
        bool stop;
        int status;
        const char* kinds;
        const char* state;
    };
    const std::string cut(web::kMaxLine, 'x');
    const std::vector<Row> rows = {
        {"done", {{'o', "###完成！\n###All Done.\n"}}, false, 0, "done text", "done"},
        {"a device's text on standard error claims the ending",
         {{'e', "(bootloader) Z07\n###完成！\n###All Done.\n"}, {'o', "###Ver:Z07\n"}},
         false,
         0,
         "text text text loader",
         "failed"},
        {"a failure sticks",
         {{'o', "Downloading Error!\n###完成！\n###All Done.\n"}},
         false,
         0,
         "failed text text",
         "failed"},
        {"done, then a nonzero exit", {{'o', "###完成！\n"}}, false, 1, "done", "failed"},
        {"a menu left with 0",
         {{'o', "###1.升级(Upgrade)；\n###0.退出(Exit)。\n###请选择(0-1):0\n###All Done.\n"}},
         false,
         0,
         "menu choice left",
         "left"},
        {"stopped while it waits for the device",
         {{'e', "< waiting for device >\n\nstopped: nothing has been written\n"}},
         true,
         130,
         "text text text",
         "stopped"},
        {"a Stop that came while it wrote: it went on to the end",
         {{'o', "###完成！\n"}},
         true,
         0,
         "done",
         "done"},
        {"stopped in the closing wait, after done",
         {{'o', "###完成！\n"}},
         true,
         130,
         "done",
         "stopped"},
        {"a line longer than 64 KiB is cut, with its line end",
         {{'o', cut + "y\r\n###All Done.\n"}},
         false,
         0,
         "text done",
         "done"},
    };
    // whole, and in 7-byte pieces as a pipe may give them
    for (const size_t piece : {size_t{0}, size_t{7}}) {
        for (const auto& row : rows) {
            SCOPED_TRACE(std::string(row.what) + ", pieces of " + std::to_string(piece));
            web::Reader out(true), err(false);
            web::Outcome outcome;
            if (row.stop) outcome.stop();
            std::string kinds;
            auto take = [&](const std::vector<web::Event>& events) {
                for (const auto& e : events) {
                    kinds +=
                        (kinds.empty() ? "" : " ") + std::string(web::kind_name(outcome.take(e)));
                    // a cut line: its first 64 KiB and the mark
                    if (e.text.size() > web::kMaxLine) {
                        EXPECT_EQ(e.text.size(), web::kMaxLine + web::kCutMark.size());
                        EXPECT_TRUE(e.text.ends_with("x" + std::string(web::kCutMark)));
                    }
                }
            };
            for (const auto& [stream, bytes] : row.bytes) {
                web::Reader& reader = stream == 'o' ? out : err;
                const size_t n = piece == 0 ? bytes.size() : piece;
                for (size_t i = 0; i < bytes.size(); i += n) take(reader.feed(bytes.substr(i, n)));
            }
            take(out.finish());
            take(err.finish());
            EXPECT_EQ(kinds, row.kinds);
            EXPECT_EQ(outcome.state(), "running");
            EXPECT_EQ(outcome.end(row.status), row.state);
        }
    }
}

// A flood of 100 MiB, half of it one line that begins like a bar and never ends, half
// information lines: memory stays bounded (the line is cut, the history capped), the time linear,
// and the run's file has every byte.
TEST(WebRun, AFloodIsBoundedAndTheFileWhole) {
    support::TempDir dir;
    constexpr size_t kHalf = 50u << 20;
    const std::string script =
        "printf '['; head -c " + std::to_string(kHalf) + " /dev/zero | tr '\\0' '#'; echo; " +
        "yes \"(bootloader) $(printf '%01000d' 0)\" | head -c " + std::to_string(kHalf) + " >&2";
    std::mutex m;
    std::condition_variable cv;
    std::deque<std::function<void()>> tasks;
    size_t published = 0, cut = 0;
    nlohmann::json end;
    web::Run run(
        "place", {"/bin/sh", {"-c", script}, dir.path(), {}},
        {dir.path() / "run.log", dir.path() / "trace.jsonl"},
        [&](std::function<void()> task) {
            std::lock_guard lock(m);
            tasks.push_back(std::move(task));
            cv.notify_all();
        },
        [&](const nlohmann::json& j) {
            ++published;
            if (j.value("text", "").ends_with(web::kCutMark)) ++cut;
            if (j.value("type", "") == "end") end = j;
        });
    while (end.is_null()) {
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return !tasks.empty(); });
        auto task = std::move(tasks.front());
        tasks.pop_front();
        lock.unlock();
        task();
    }
    EXPECT_EQ(end.value("state", ""), "failed");  // no ending of its own
    EXPECT_EQ(cut, 1u);
    EXPECT_GT(published, kHalf / 1100);  // every information line went out live
    EXPECT_LE(run.history().size(), 2 * web::kHistoryCap + 2);
    EXPECT_EQ(std::filesystem::file_size(dir.path() / "run.log"), 2 * kHalf + 2);
}

// The trace's lines as the page is given them: only what it reads, only of the right type.
TEST(WebTrace, LinesThePageReads) {
    const std::pair<const char*, const char*> rows[] = {
        {R"({"t":2.0,"ev":"loader","stage":2,"of":4,"image":"porter1","final":false,"phase":"writing","bytes":84820,"restart_seconds":3,"x":1})",
         R"({"bytes":84820,"ev":"loader","final":false,"image":"porter1","of":4,"phase":"writing","restart_seconds":3,"stage":2,"t":2.0,"type":"trace"})"},
        {R"({"t":1.5,"ev":"command","text":"download:00400000"})",
         R"({"bytes":4194304,"ev":"command","t":1.5,"text":"download:00400000","type":"trace"})"},
        {R"({"t":1.5,"ev":"command","text":"download:zz"})", ""},
        {R"({"t":1.5,"ev":"command","text":"getvar:product"})", ""},
        {R"({"t":1.6,"ev":"data","bytes":"many","sent":0,"seconds":0.5})",
         R"({"ev":"data","seconds":0.5,"sent":0,"t":1.6,"type":"trace"})"},
        {R"({"t":0.1,"ev":"plan","files":["system.bin"],"bytes":300})",
         R"({"bytes":300,"ev":"plan","files":["system.bin"],"t":0.1,"type":"trace"})"},
        {R"({"t":0.1,"ev":"reply","text":"OKAY"})", ""},
        {R"({"ev":"end"})", ""},
        {R"(["t",1])", ""},
        {R"({"t":0.1,"ev":"end","outcome":"success")", ""},
    };
    for (const auto& [line, want] : rows) {
        const auto got = web::trace_event(line);
        EXPECT_EQ(got ? got->dump() : "", want) << line;
    }
}
