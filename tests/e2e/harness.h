// End-to-end harness: runs of the tessaro-installer program against a simulated device
// (support::Devsim) with given arguments and input.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/temp_dir.h"

namespace e2e {

struct RunResult {
    int status = -1;  // exit status, or 128 + signal, or -1 when it was killed on timeout
    std::string out;  // standard output, as bytes
    std::string err;  // standard error, as bytes
    bool timed_out = false;
};

struct RunOptions {
    std::vector<std::string> args;  // after the program name
    std::string input;              // standard input (closed after it)
    // then, in order: once standard output has shown the first text (after the last one seen),
    // the second goes to standard input; it is closed after the last. The run's output must show
    // each before it is answered, as a wrapper program reading it would need.
    std::vector<std::pair<std::string, std::string>> replies;
    std::filesystem::path cwd;                // the package directory
    std::filesystem::path devsim_dir;         // TESSARO_DEVSIM_DIR
    const support::Devsim* devsim = nullptr;  // or the link to these devices (DIR or ADDR)
    std::map<std::string, std::string> env;   // further variables (LC_ALL=C is the default)
    std::chrono::milliseconds timeout{60000};
};

// With TESSARO_RECORD_DIR set, every run of the installer inside a test is kept there as
// TEST.N.out and TEST.N.err (its bytes as written) and TEST.N.meta (arguments, input, exit
// status), TEST being the test's full name: recorded outputs of every road, for readers of the
// ### lines to be fed with, and for two builds' runs to be compared with diff -r.

// Runs tessaro-installer and collects what it wrote.
RunResult run_installer(const RunOptions& options);
// Runs any program the same way (argv[0] is the program's path).
RunResult run_program(const std::string& program, const RunOptions& options);

// One of the system's UTF-8 texts as the installer writes it under LC_ALL=C (GBK).
std::string gbk(const std::string& utf8);

// Paths of the programs under test. TESSARO_TEST_INSTALLER, when set, names another build of the
// installer to run instead, and TESSARO_TEST_EMULATOR a program to run it with (wine).
std::string installer_bin();
std::string tools_dir();

}  // namespace e2e
