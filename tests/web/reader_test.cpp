// The ### reader over every recorded run under tests/web/records (the installer's own bytes, as
// the end-to-end tests and the fault matrix kept them): nothing is lost or thrown, the events do
// not depend on how the bytes were cut, and each ending is the one the recorder judged.
#include "web/reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "support/temp_dir.h"

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
