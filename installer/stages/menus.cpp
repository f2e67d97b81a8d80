// The install menus. A menu prints its header and option lines and its prompt, then either
// takes its automatic choice (unattended runs) or reads typed tokens until one begins with a
// character it has an action for.
#include "installer/stages/menus.h"

#include <cctype>
#include <initializer_list>
#include <span>
#include <string_view>

#include "check/crc32.h"
#include "console/console.h"
#include "installer/steps/failure_cause.h"
#include "installer/steps/flash_steps.h"
#include "installer/steps/package.h"
#include "installer/steps/run.h"
#include "installer/steps/signals.h"
#include "installer/steps/texts.h"
#include "trace/trace.h"

namespace {

struct Menu {
    std::initializer_list<const char*> headers;
    std::initializer_list<const char*> options;
    const char* prompt;
    std::string_view accepted;  // the characters that have an action
};

// A menu text goes out encoded like any of the system's texts, but never read as a format.
void put_text(const char* text) {
    con_out_text(text);
}

void print_options(const Menu& m) {
    for (const char* line : m.options) {
        put_text(line);
        con_out("\n");
    }
    put_text(m.prompt);
}

// Shows the menu and gives the chosen character, one of m.accepted.
char run_menu(const InstallRun& run, const Menu& m, char automatic, FILE* in) {
    for (const char* line : m.headers) {
        put_text(line);
        con_out("\n");
    }
    print_options(m);
    if (run.dofast > 0) {
        con_out("%c\n", automatic);
        trace::Event("choice")
            .text("choice", std::string_view(&automatic, 1))
            .flag("unattended", true);
        return automatic;
    }
    // nothing is on its way to the device while a person chooses: Ctrl+C may end the run here
    InterruptibleWait wait;
    for (;;) {
        char c = read_choice(in);
        if (m.accepted.find(c) != std::string_view::npos) {
            trace::Event("choice")
                .text("choice", std::string_view(&c, 1))
                .flag("unattended", false);
            return c;
        }
        print_options(m);
    }
}

// The RQ3 file lists: (partition, package file, its signature file if it can have one), written
// in order with flash_one.
struct FileStep {
    const char* partition;
    const char* file;
    const char* sign;
};
constexpr FileStep kNativeList[] = {{"cache", "data.bin", nullptr},
                                    {"recovery", "recovery.bin", nullptr},
                                    {"kernel", "kernel.bin", "kernel.sign"},
                                    {"system", "system.bin", nullptr}};
constexpr FileStep kWipeList[] = {{"cache", "userdata.bin", nullptr}};
constexpr FileStep kSecondList[] = {{"kernel", "ekernel.bin", nullptr},
                                    {"kernel", "vemkit.bin", "vemkit.sign"},
                                    {"system", "esystem.bin", nullptr}};
using FileList = std::span<const FileStep>;

// Writes the chosen lists in order. A file with its signature file beside it is checked on the
// host, and every file's size against one download, before anything is sent. A missing file is
// skipped and the list goes on; a file that is there but cannot be sent, or that the device
// refused, stops the install, since reporting it as complete would be false, and so does a choice
// that finds none of its files.
MenuOutcome install_lists(RunDevice& device, std::initializer_list<FileList> lists) {
    for (FileList list : lists) {
        for (const FileStep& step : list) {
            // a file too large for one download would fail only at its turn, after the files
            // before it were written: refuse it before anything is sent
            uint64_t size = 0;
            if (test_file(step.file, &size) && size > max_download) {
                con_err("\nerror: downloading %s\n", step.file);
                return MenuOutcome::Failed;
            }
            if (step.sign != nullptr && test_file(step.file, nullptr) &&
                test_file(step.sign, nullptr) && !crc32check(step.file, step.sign)) {
                con_err("\nerror: file checksum %s\n", step.file);
                note_failure(FailureCause::package_damaged, step.file);
                return MenuOutcome::Failed;
            }
        }
    }
    int written = 0;
    for (FileList list : lists) {
        for (const FileStep& step : list) {
            int result = flash_one(device, step.partition, step.file);
            if (result < 0) {
                con_err("\nerror: downloading %s\n", step.file);
                note_failure(FailureCause::write_refused, step.file);
                return MenuOutcome::Failed;
            }
            written += result;
        }
    }
    if (written == 0) {
        con_err("\nerror: the package holds none of the files this choice installs\n");
        return MenuOutcome::Failed;
    }
    return MenuOutcome::Done;
}

}  // namespace

char read_choice(FILE* in) {
    // a wrapper program answers what it has read: the prompt must reach it before this waits
    con_flush();
    char buf[1024];
    int c;
    do {
        c = std::fgetc(in);
    } while (c != EOF && std::isspace(c));
    if (c == EOF) return '0';  // nobody left to answer: leave as "0" (Exit) would
    size_t n = 0;
    while (c != EOF && !std::isspace(c)) {
        // the rest of an over-long token is read and dropped; only the first character counts
        if (n < sizeof buf - 1) buf[n++] = static_cast<char>(c);
        c = std::fgetc(in);
    }
    buf[n] = '\0';
    return buf[0];
}

MenuOutcome rq3_menu(InstallRun& run, int firmware, FILE* in) {
    char choice;
    if (firmware == 1) {
        choice =
            run_menu(run,
                     {{txt::head_second_upgrade, txt::head_first_install, txt::head_ten_minutes},
                      {txt::opt_upgrade, txt::opt_upgrade_wipe, txt::opt_exit},
                      txt::prompt_0_2,
                      "120"},
                     '2', in);
    } else if (firmware == 2) {
        choice =
            run_menu(run,
                     {{txt::head_upgrade, txt::head_first_install_second, txt::head_ten_minutes},
                      {txt::opt_rq3_upgrade_second, txt::opt_rq3_upgrade_wipe_second,
                       txt::opt_restore_native, txt::opt_exit},
                      txt::prompt_0_3,
                      "1230"},
                     '2', in);
    } else {
        choice = run_menu(run,
                          {{txt::head_native_upgrade, txt::head_ten_minutes},
                           {txt::opt_upgrade, txt::opt_exit},
                           txt::prompt_0_1,
                           "10"},
                          '1', in);
    }

    switch (choice) {
        case '0':
            run.wipe = 0;
            return MenuOutcome::Exit;
        case '1':
            return firmware == 1 || firmware == 2 ? install_lists(run.device, {kSecondList})
                                                  : install_lists(run.device, {kNativeList});
        case '2':
            return install_lists(run.device, {kWipeList, kSecondList});
        default:  // '3'
            return install_lists(run.device, {kNativeList});
    }
}

MenuOutcome family_menu(InstallRun& run, int firmware, FILE* in) {
    char choice;
    if (firmware == 1) {
        choice = run_menu(run,
                          {{},
                           {txt::opt_upgrade_second, txt::opt_upgrade_wipe_second,
                            txt::opt_convert_second, txt::opt_exit},
                           txt::prompt_0_3,
                           "1230"},
                          '3', in);
    } else if (firmware == 2) {
        // "5" has no option line: both systems with a wipe, the choice of dofast above 1
        choice = run_menu(run,
                          {{},
                           {txt::opt_upgrade_second, txt::opt_upgrade_wipe_second,
                            txt::opt_convert_second, txt::opt_convert_native, txt::opt_exit},
                           txt::prompt_0_4,
                           "123450"},
                          run.dofast > 1 ? '5' : '3', in);
    } else {
        choice =
            run_menu(run, {{}, {txt::opt_upgrade, txt::opt_exit}, txt::prompt_0_1, "10"}, '1', in);
    }

    auto plan = [&run](int target, int wipes) {
        run.sys_new = target;
        run.wipe = wipes;
        return MenuOutcome::Done;
    };
    bool native_menu = firmware != 1 && firmware != 2;
    switch (choice) {
        case '0':
            run.wipe = 0;
            return MenuOutcome::Exit;
        case '1':
            if (native_menu) return plan(0, 0);
            // upgrades keep the kind of system the device carries; a native device turns into
            // a second-system device
            return run.sys_type == 0 ? plan(1, 1) : plan(run.sys_type, 0);
        case '2':
            return run.sys_type == 0 ? plan(1, 1) : plan(run.sys_type, 1);
        case '3':
            return plan(1, 1);
        case '4':
            return plan(0, 0);
        default:  // '5'
            return plan(2, 1);
    }
}
