// A build that carries the device maker's loaders takes them from TESSARO_LOADER_DIR through
// tools/make_payload, which must refuse any file that is not the maker's image, naming it.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "e2e/harness.h"

namespace {

TEST(LoaderDir, FilesThatAreNotTheMakersFailNamingEachFile) {
    support::TempDir dir;
    // right name, wrong size; right size, wrong bytes; porter3 is missing
    dir.write("porter", std::string(1000, 'x'));
    dir.write("porter1", std::string(84820, '\0'));
    dir.write("porter2", std::string(86004, '\0'));
    dir.write("loader_belto", std::string(101864, '\0'));
    dir.write("loader_tiva", std::string(138868, '\0'));
    dir.write("loader_quessel", std::string(208896, '\0'));
    support::TempDir out;
    e2e::RunOptions o;
    o.args = {(out.path() / "payload_data.cpp").string(), "--loader-dir", dir.path().string()};
    o.cwd = out.path();

    auto r = e2e::run_program(e2e::tools_dir() + "/make_payload", o);

    EXPECT_EQ(r.status, 1);
    const std::string d = dir.path().string();
    for (const std::string& line : std::vector<std::string>{
             d + "/porter: 1000 bytes, the device maker's porter has 152964\n",
             d + "/porter1: CRC-32 ", "the device maker's porter1 has 16a141ac\n",
             d + "/porter3: missing", d + "/loader_quessel: CRC-32 ",
             "the device maker's loader_belto has 8c5fbf26\n"})
        EXPECT_NE(r.err.find(line), std::string::npos) << line << "\nin:\n" << r.err;
    EXPECT_FALSE(std::filesystem::exists(out.path() / "payload_data.cpp"));
}

}  // namespace
