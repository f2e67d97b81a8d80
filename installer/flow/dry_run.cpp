// The dry run: the real device is only asked, the twin is written, and the plan is told.
#include "installer/flow/dry_run.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/unique_file.h"
#include "check/crc32.h"
#include "client/action_queue.h"
#include "console/console.h"
#include "installer/boardtype/boardtype.h"
#include "installer/boardtype/model_table.h"
#include "installer/steps/device.h"
#include "installer/steps/loader_write.h"
#include "installer/steps/plan_report.h"
#include "payload/payload.h"
#include "usb/usb.h"
#include "usb/usb_twin.h"

namespace {

// USB 2.0 high-speed bulk, as a device's bootloader takes it
constexpr double kDefaultRate = 35.0;

// Everything the road reads of a device before it writes anything.
constexpr const char* kAsked[] = {"product", "serialno", "systype", "verflag", "bootmode"};

// One question to the real device, kept quiet: a variable it does not know is no error here,
// and the run against the twin says so itself when it asks.
struct ProbeAnswer {
    bool answered = false;
    std::string text;
};
ProbeAnswer g_answer;

int cb_probe(Action* /*a*/, int status, const char* resp) {
    g_answer.answered = status == 0;
    if (status == 0) g_answer.text = resp;
    return 0;
}

// The answer, or nothing when the link failed.
std::optional<ProbeAnswer> ask(RunDevice& device, const char* var) {
    g_answer = ProbeAnswer{};
    fb_queue_display(var, var);
    action_last->func = cb_probe;
    (void)run_queue(device);
    if (last_exchange_lost_link(device)) return std::nullopt;
    return g_answer;
}

// The rate the plan's time is stated at: TESSARO_RATE in MB/s, when it is a positive number.
double stated_rate() {
    const char* text = std::getenv("TESSARO_RATE");
    if (text == nullptr || *text == '\0') return kDefaultRate;
    char* end = nullptr;
    const double rate = std::strtod(text, &end);
    if (end != nullptr && *end == '\0' && rate > 0 && rate < 1e6) return rate;
    con_err("\nwarning: TESSARO_RATE is not a rate in MB/s; the plan's time is at %.0f MB/s\n",
            kDefaultRate);
    return kDefaultRate;
}

// The twin of the device the probe found: its USB identity, the answers it gave (a variable it
// refused stays unknown to the twin too), and, for a model with a storage-variant switch, the
// board id it takes when asked for the other variant.
devsim::DeviceConfig twin_config(const usb_ifc_info& found, const std::vector<std::string>& vars,
                                 const std::vector<bool>& known) {
    devsim::DeviceConfig c;
    c.name = "twin";
    c.serial = found.serial_number;
    c.serial_readable = found.serial_number[0] != '\0';
    c.vendor = found.dev_vendor;
    c.product = found.dev_product;
    c.ifc_class = found.ifc_class;
    c.ifc_subclass = found.ifc_subclass;
    c.ifc_protocol = found.ifc_protocol;
    c.vars.clear();
    for (size_t i = 0; i < vars.size(); ++i) {
        if (known[i]) c.vars[kAsked[i]] = vars[i];
    }
    const std::string serialno = known[1] ? vars[1] : std::string();
    for (const board_model& row : board_rows()) {
        if (!row.install.variant || serialno.size() < 3) continue;
        const storage_variant& v = *row.install.variant;
        if (v.label.empty()) continue;
        const board_model& asked = board_row(v.becomes);
        if (asked.prefixes.empty()) continue;
        c.respcb_serials[std::string(v.switch_to)] =
            std::string(asked.prefixes[0]) + serialno.substr(asked.prefixes[0].size());
    }
    return c;
}

// The package file of this size and CRC in the current directory; by size alone when one file
// has it, by CRC among several.
std::string package_file(uint64_t bytes, uint32_t crc) {
    std::vector<std::string> sized;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(".", ec)) {
        std::error_code e;
        if (!entry.is_regular_file(e) || entry.file_size(e) != bytes || e) continue;
        sized.push_back(entry.path().filename().string());
    }
    if (sized.size() == 1) return sized[0];
    for (const std::string& name : sized) {
        base::unique_file f(std::fopen(name.c_str(), "rb"));
        if (f && GetFileCRC(f.get()) == crc) return name;
    }
    return {};
}

void write_plan_file(const std::string& json) {
    const char* path = std::getenv("TESSARO_PLAN");
    if (path == nullptr || *path == '\0') return;
    base::unique_file f(std::fopen(path, "w"));
    if (!f || std::fputs((json + "\n").c_str(), f.get()) < 0) {
        con_err("\nwarning: the plan could not be written to TESSARO_PLAN\n");
    }
}

}  // namespace

int dry_run(int argc, char** argv, InstallFn install) {
    // the run's own arguments: the program, then DOREBOOT DOFAST SERIAL
    std::vector<char*> args = {argv[0]};
    for (int i = 2; i < argc; ++i) args.push_back(argv[i]);
    const int nargs = static_cast<int>(args.size());
    args.push_back(nullptr);

    // found as a run finds it, and only asked
    InstallRun probe;
    if (nargs > 3) serial = args[3];
    follow_first_device(probe.device, true);
    std::vector<std::string> vars;
    std::vector<bool> known;
    for (const char* var : kAsked) {
        const std::optional<ProbeAnswer> answer = ask(probe.device, var);
        if (!answer) {
            con_err("\nerror: device stopped answering (getvar:%s); nothing was written\n", var);
            return 0;
        }
        vars.push_back(answer->text);
        known.push_back(answer->answered);
    }
    const usb_ifc_info found = probe.device.accepted;
    const usb_platform* real = usb_platform_current();
    const bool simulated = usb_is_simulated(probe.device.handle) != 0;
    (void)close_device(probe.device);

    // the whole install against the twin
    usb_twin::start(twin_config(found, vars, known), simulated, found.device_path);
    usb_platform_install(usb_platform_twin());
    skip_waits(true);
    const unsigned refusals = loader_refusals();
    InstallRun run;
    const int status = install(run, nargs, args.data());
    skip_waits(false);

    PlanFacts facts;
    facts.serial = found.serial_number[0] != '\0' ? found.serial_number : vars[1];
    facts.loader_from = known[3] ? vars[3] : std::string();
    facts.layout = std::string(board_install().layout);
    facts.variant = std::string(board_install().variant.label);
    facts.wipe = run.wipe != 0;
    facts.standin_stop = loader_refusals() != refusals;
    facts.rate = stated_rate();
    facts.status = status;
    facts.file_named = package_file;
    const Plan plan = make_plan(usb_twin::events(), usb_twin::writes(), facts);
    // the plan is the installer's own text: every device or file text in it is plain ASCII
    con_out_raw(console_encode(plan_text(plan)));
    con_flush();
    write_plan_file(plan_json(plan));

    usb_twin::stop();
    usb_platform_install(real);
    return status;
}
