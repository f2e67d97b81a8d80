// Without libFuzzer a fuzz target is a replay program: it runs its entry over every file of the
// seed directories (or the files) named on the command line, so the regression seeds run with
// the tests. A missing or empty directory fails, so a seed set cannot silently drop out.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "console/console.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

namespace fs = std::filesystem;

bool run_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        con_err("cannot read %s\n", path.c_str());
        return false;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    // a buffer of exactly the input's size, as libFuzzer hands it
    std::vector<uint8_t> exact(bytes.begin(), bytes.end());
    exact.shrink_to_fit();
    LLVMFuzzerTestOneInput(exact.data(), exact.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        con_err("usage: %s SEED_DIR_OR_FILE...\n", argv[0]);
        return 2;
    }
    int ran = 0;
    for (int i = 1; i < argc; ++i) {
        fs::path arg(argv[i]);
        std::error_code ec;
        if (!fs::is_directory(arg, ec)) {
            if (!run_file(arg)) return 1;
            ++ran;
            continue;
        }
        std::vector<fs::path> files;
        for (const auto& e : fs::directory_iterator(arg, ec)) {
            if (e.is_regular_file()) files.push_back(e.path());
        }
        if (files.empty()) {
            con_err("no seeds in %s\n", arg.c_str());
            return 1;
        }
        std::sort(files.begin(), files.end());
        for (const auto& f : files) {
            con_out("%s\n", f.filename().c_str());
            con_flush();
            if (!run_file(f)) return 1;
            ++ran;
        }
    }
    con_out("ran %d inputs\n", ran);
    return 0;
}
