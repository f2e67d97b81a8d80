// The install menus fed any standard input: a menu takes the first token whose first character
// it has an action for (or "0" when the input ends), reads no further than that token and the
// character after it, and turns the choice into the plan its table gives. The package directory
// is empty, so an RQ3 choice other than "0" finds none of its files and fails without the
// device.
//
// Input: one byte (bit 0: RQ3 menu or the other families'; bits 1-2: the package class 0 to 3;
// bits 3-4: dofast 0, -1, 1 or 2; bits 5-6: the system the device carries, 0 to 2); the rest is
// standard input.
#include <cstdio>
#include <string_view>
#include <vector>

#include "fuzz_input.h"
#include "fuzz_package_dir.h"
#include "installer/stages/menus.h"
#include "installer/steps/run.h"

namespace {

bool space(char c) {
    return std::string_view(" \t\n\v\f\r").find(c) != std::string_view::npos;
}

struct Choice {
    char c;
    long consumed;  // bytes of input read to reach it
};

// The first token that begins with one of `accepted`; "0" when the input ends first.
Choice expected_choice(std::string_view in, std::string_view accepted) {
    size_t i = 0;
    for (;;) {
        while (i < in.size() && space(in[i])) ++i;
        if (i == in.size()) return {'0', static_cast<long>(i)};
        const char first = in[i];
        while (i < in.size() && !space(in[i])) ++i;
        if (i < in.size()) ++i;  // the white space that ended the token is read with it
        if (accepted.find(first) != std::string_view::npos) return {first, static_cast<long>(i)};
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    const uint8_t setup = input.byte();
    const bool rq3 = (setup & 1) != 0;
    const int firmware = (setup >> 1) & 3;
    const int fast[] = {0, -1, 1, 2};
    const int type = ((setup >> 5) & 3) % 3;
    auto stdin_bytes = input.take(input.left());
    const std::string_view text(reinterpret_cast<const char*>(stdin_bytes.data()),
                                stdin_bytes.size());

    const PackageDir::Inside inside;  // an empty directory: no package file is there
    InstallRun run;
    run.dofast = fast[(setup >> 3) & 3];
    run.sys_type = type;
    run.sys_new = -1;
    run.wipe = -1;

    // the bytes as standard input, NUL bytes included, in a buffer of exactly their size
    std::vector<char> buffer(text.begin(), text.end());
    static char nothing = 0;
    std::FILE* in = ::fmemopen(buffer.empty() ? &nothing : buffer.data(), buffer.size(), "r");
    FUZZ_CHECK(in != nullptr);

    std::string_view accepted;
    char automatic = '0';
    if (rq3) {
        accepted = firmware == 1 ? "120" : firmware == 2 ? "1230" : "10";
        automatic = firmware == 1 || firmware == 2 ? '2' : '1';
    } else {
        accepted = firmware == 1 ? "1230" : firmware == 2 ? "123450" : "10";
        automatic = firmware == 1 ? '3' : firmware == 2 ? (run.dofast > 1 ? '5' : '3') : '1';
    }
    Choice want = run.dofast > 0 ? Choice{automatic, 0} : expected_choice(text, accepted);

    const MenuOutcome got = rq3 ? rq3_menu(run, firmware, in) : family_menu(run, firmware, in);
    FUZZ_CHECK(std::ftell(in) == want.consumed);
    std::fclose(in);

    if (want.c == '0') {
        FUZZ_CHECK(got == MenuOutcome::Exit && run.wipe == 0 && run.sys_new == -1);
        return 0;
    }
    if (rq3) {
        FUZZ_CHECK(got == MenuOutcome::Failed);
        return 0;
    }
    // the plan (sys_new, wipe) of the other families' table
    const bool native_menu = firmware != 1 && firmware != 2;
    int target = -1;
    int wipes = -1;
    switch (want.c) {
        case '1':
            if (native_menu) {
                target = 0, wipes = 0;
            } else {
                target = type == 0 ? 1 : type, wipes = type == 0 ? 1 : 0;
            }
            break;
        case '2':
            target = type == 0 ? 1 : type, wipes = 1;
            break;
        case '3':
            target = 1, wipes = 1;
            break;
        case '4':
            target = 0, wipes = 0;
            break;
        default:  // '5'
            target = 2, wipes = 1;
            break;
    }
    FUZZ_CHECK(got == MenuOutcome::Done && run.sys_new == target && run.wipe == wipes);
    return 0;
}
