// The fault matrix: every road's clean install, then the same install once per (exchange ×
// fault) cell with tessaro-devsim injecting that fault at that exchange. It prints, per road, the
// cells tried, the runs that claimed success, the wrong claims, crashes and hangs, and lists
// every cell that breaks the rule:
//   a run that claims success leaves the device exactly as the clean run did;
//   a run that does not, says so ("Downloading Error!" or an error line);
//   a run whose device did nothing wrong (a loader restarting before it answers "reboot") ends
//   as done; one whose device leaves the bus once it has the closing reboot is held to the clean
//   run's device but for the loader version it reports, which only its next start changes;
//   no run ends on a signal, and none outlasts its own bounded waits;
//   nothing is sent to a second device plugged in while the road's own reboots.
// Exit status 1 when a cell breaks it.
//
//   fault_matrix [--fast] [--verbose] [--jobs N] [--road TEXT] [--record DIR] [--replay]
//
// --replay: every cell whose run said it failed is run again against a device made from that
// run's trace (tessaro-devsim --replay); the replay must end the same: the same commands to the
// device, the same output, exit status and last trace line.
// --verbose prints every cell as it is judged. --record DIR keeps every run (the clean one and
// each cell's) as DIR/ROAD/NAME.out and .err, the installer's bytes as written, and NAME.meta:
// the exit status, the verdict, the commands the device received and every partition's size
// and CRC-32. Two trees recorded from two builds compare with diff -r.
//
// The installer's fixed waits (whole seconds after start-up, reboots and before its last line)
// are shortened twentyfold by a preloaded sleep; the device's timing, the link's read
// timeouts and the installer's own logic are untouched.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "check/crc32.h"
#include "e2e/flow_e2e.h"
#include "matrix/cells.h"
#include "matrix/replay_compare.h"
#include "matrix/roads.h"
#include "support/process.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using matrix::Cell;
using matrix::Road;

// every partition (and the variables, ".vars") by name: size and CRC-32
using DeviceState = std::map<std::string, std::pair<uintmax_t, uint32_t>>;

DeviceState device_state(const fs::path& dir) {
    DeviceState state;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        const std::string bytes = support::read_file(e.path());
        state[e.path().filename().string()] = {
            bytes.size(), GetBufferCRC(bytes.data(), static_cast<uint32_t>(bytes.size()))};
    }
    return state;
}

struct Outcome {
    int status = -1;
    bool timed_out = false;
    bool claimed = false;  // "###完成！", or "###All Done." without "Downloading Error!"
    // "Downloading Error!", an error line, or the refusal of the package: a device that will
    // not give its serial number is not one the package is for, and nothing is written
    bool said_failed = false;
    bool waiting = false;     // "< waiting for device >" on standard error
    bool as_planned = false;  // the device holds what the clean run left
    double seconds = 0;
    bool sent_to_second = false;  // a command reached the second device
    DeviceState state;
    std::string vars;                   // the device's variables, as it keeps them
    std::vector<std::string> commands;  // what the device received
    std::string out, err;               // the installer's bytes
    std::string trace_end;              // the trace's last line, with --replay
    // with --replay, for a run that said it failed: how its replay ended otherwise (empty: the
    // same)
    std::optional<std::string> replay_differs;
};

// --record's directory; empty when runs are not kept
fs::path record_dir;
// --replay: the cells whose runs said they failed are replayed from their traces
bool replay_failures = false;

std::string slug(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const bool plain =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        out += plain ? c : '_';
    }
    return out;
}

void record_run(const std::string& road, const std::string& name, const Outcome& o,
                const std::string& verdict) {
    if (record_dir.empty()) return;
    const fs::path dir = record_dir / slug(road);
    std::error_code ec;
    fs::create_directories(dir, ec);
    support::write_file((dir / (name + ".out")).string(), o.out);
    support::write_file((dir / (name + ".err")).string(), o.err);
    std::string meta = "status " + std::to_string(o.status) + "\nverdict " + verdict + "\n";
    for (const auto& c : o.commands) meta += "command " + c + "\n";
    for (const auto& [part, sc] : o.state) {
        char line[160];
        std::snprintf(line, sizeof line, "partition %s %ju %08x\n", part.c_str(), sc.first,
                      static_cast<unsigned>(sc.second));
        meta += line;
    }
    support::write_file((dir / (name + ".meta")).string(), meta);
}

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string quick_sleep_lib() {
#ifdef TESSARO_QUICK_SLEEP_LIB
    return TESSARO_QUICK_SLEEP_LIB;
#else
    return "";
#endif
}

// `without`: the device does not hold this variable (its "--var NAME=..." is left out).
// `plug_in_at`: a twin of the device, "c" (listed before it), appears at its reboot of that
// number. `trace`: the installer's trace goes to this file. `replay`: the device is made from this
// trace instead of the road's options.
Outcome run_once(const Road& road, const flow_e2e::Package& pkg, const std::string& rule,
                 std::chrono::milliseconds timeout, const std::string& without = "",
                 int plug_in_at = 0, const std::string& trace = "",
                 const std::string& replay = "") {
    support::TempDir storage;
    std::vector<std::string> args;
    if (plug_in_at > 0) {
        args = {"--device", "c"};
        args.insert(args.end(), road.device.begin(), road.device.end());
        args.insert(args.end(), {"--appear-at-reboot", "d#" + std::to_string(plug_in_at)});
    }
    args.insert(args.end(),
                {"--storage", storage.path().string(), "--device", "d", "--reboot-delay", "30"});
    if (!replay.empty()) args.insert(args.end(), {"--replay", replay});
    for (size_t i = 0; replay.empty() && i < road.device.size(); ++i) {
        if (!without.empty() && road.device[i] == "--var" && i + 1 < road.device.size() &&
            road.device[i + 1].starts_with(without + "=")) {
            ++i;
            continue;
        }
        args.push_back(road.device[i]);
    }
    if (!rule.empty()) args.insert(args.end(), {"--fault", rule});
    support::Devsim dev(args);

    e2e::RunOptions o;
    o.args = road.args;
    o.input = road.input;
    o.cwd = pkg.path();
    o.devsim_dir = dev.socket_dir();
    o.timeout = timeout;
    o.env["LD_PRELOAD"] = quick_sleep_lib();
    if (!trace.empty()) o.env["TESSARO_TRACE"] = trace;
    const auto start = Clock::now();
    const e2e::RunResult r = e2e::run_installer(o);

    Outcome out;
    out.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    out.status = r.status;
    out.timed_out = r.timed_out;
    const bool error_end = r.out.find("Downloading Error!") != std::string::npos;
    out.claimed = r.out.find(e2e::gbk("###完成！")) != std::string::npos ||
                  (!error_end && ends_with(r.out, "###All Done."));
    out.said_failed = error_end || r.err.find("error:") != std::string::npos ||
                      r.out.find("(Device Not Match)!") != std::string::npos;
    out.waiting = r.err.find("< waiting for device >") != std::string::npos;
    out.commands = dev.commands();
    for (const auto& line : dev.transcript()) {
        out.sent_to_second = out.sent_to_second || line.starts_with(R"({"dev":"c","ev":"command")");
    }
    out.out = r.out;
    out.err = r.err;
    if (!trace.empty()) out.trace_end = matrix::trace_end(trace);
    dev.stop(SIGTERM);
    out.state = device_state(storage.path() / "d");
    out.vars = support::read_file(storage.path() / "d" / ".vars");
    return out;
}

// The variables but the one a start of the device changes: the version of the loader it runs.
std::string vars_but_started(const std::string& vars) {
    std::string out;
    size_t at = 0;
    while (at < vars.size()) {
        size_t end = vars.find('\n', at);
        end = end == std::string::npos ? vars.size() : end + 1;
        if (vars.compare(at, 8, "verflag=") != 0) out.append(vars, at, end - at);
        at = end;
    }
    return out;
}

// A device that left the bus once it had the closing reboot holds every file written and
// checked, and the run ends as done; whether it started again (and now reports its new loader)
// no host can see, so the partitions and every other variable are the clean run's.
bool as_planned_but_started(const Outcome& o, const Outcome& clean) {
    DeviceState parts = o.state, clean_parts = clean.state;
    parts.erase(".vars");
    clean_parts.erase(".vars");
    return parts == clean_parts && vars_but_started(o.vars) == vars_but_started(clean.vars);
}

matrix::RunEnd end_of(const Outcome& o) {
    return {o.status, o.timed_out, o.out, o.commands, o.trace_end};
}

struct Verdict {
    const char* bad = nullptr;  // why the cell breaks the rule; null when it keeps it
    bool crash = false, hang = false, wrong_claim = false, waited = false;
};

Verdict judge(const Cell& cell, const Outcome& o) {
    Verdict v;
    if (o.sent_to_second) {
        v.wrong_claim = o.claimed;
        v.bad = "sent commands to a device it had not identified";
    } else if (o.timed_out) {
        // a device that comes back as another device is not the one asked for: the installer
        // waits for its own, as long as it takes
        if (cell.waits_for_device && o.waiting && !o.claimed) {
            v.waited = true;
            return v;
        }
        v.hang = true;
        v.bad = "hang";
    } else if (o.status >= 128) {
        v.crash = true;
        v.bad = "crash";
    } else if (o.claimed && !o.as_planned) {
        v.wrong_claim = true;
        v.bad = "claimed success, device not as planned";
    } else if (!o.claimed && cell.must_end_done) {
        v.bad = "the device did nothing wrong, and the run did not end as done";
    } else if (!o.claimed && !o.said_failed) {
        v.bad = "no success and no error line";
    } else if (o.status != 0 && o.status != 1) {
        v.bad = "unexpected exit status";
    }
    return v;
}

struct RoadTally {
    size_t cells = 0, claimed = 0, wrong = 0, crashes = 0, hangs = 0, waited = 0, replayed = 0;
    double seconds = 0;
    std::vector<std::string> bad;
};

std::string describe(const Cell& c, const Outcome& o, const char* why) {
    char head[512];
    std::snprintf(head, sizeof head, "    #%zu %-28s at '%s': %s (exit %d, claimed %s, device %s)",
                  c.exchange + 1, c.fault.c_str(), c.command.c_str(), why, o.status,
                  o.claimed ? "yes" : "no", o.as_planned ? "as planned" : "differs");
    return head;
}

RoadTally run_road(const Road& road, bool fast, unsigned jobs, bool verbose) {
    RoadTally t;
    const auto start = Clock::now();
    flow_e2e::Package pkg;
    pkg.config(road.config + "\n");
    for (const auto& f : road.files) {
        pkg.file(f, 70000);
        const std::string bytes = support::read_file(pkg.path() / f);
        char crc[16];
        std::snprintf(crc, sizeof crc, "%08x\n",
                      GetBufferCRC(bytes.data(), static_cast<uint32_t>(bytes.size())));
        support::write_file((pkg.path() / (f.substr(0, f.size() - 4) + ".sign")).string(), crc);
    }

    const Outcome clean = run_once(road, pkg, "", std::chrono::seconds(120));
    record_run(road.name, "clean", clean, clean.claimed ? "claimed" : "not claimed");
    if (!clean.claimed || clean.status != 0) {
        t.bad.push_back("    the clean run did not end as done (exit " +
                        std::to_string(clean.status) + ")");
        t.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        return t;
    }
    const std::vector<Cell> cells = matrix::make_cells(clean.commands, fast);
    std::vector<Outcome> outcomes(cells.size());
    const support::TempDir traces;
    std::atomic<size_t> next{0};
    auto worker = [&] {
        for (size_t i = next++; i < cells.size(); i = next++) {
            const Cell& c = cells[i];
            // the installer's own bounded waits: what the clean run took, twice over, what the
            // fault adds, and a margin for a loaded machine
            const auto bound =
                std::chrono::milliseconds(static_cast<int64_t>(clean.seconds * 2000) + c.extra_ms +
                                          (c.waits_for_device ? 3000 : 10000));
            const std::string trace =
                replay_failures ? (traces / (std::to_string(i))).string() : "";
            Outcome o = run_once(road, pkg, c.rule, bound, "", c.plug_in_at_reboot, trace);
            o.as_planned =
                o.state == clean.state || (c.start_unseen && as_planned_but_started(o, clean));
            if (replay_failures && !o.claimed && !o.timed_out && judge(c, o).bad == nullptr) {
                const Outcome again =
                    run_once(road, pkg, "", bound, "", 0, trace + ".replay", trace);
                o.replay_differs = matrix::replay_difference(end_of(o), end_of(again));
            }
            outcomes[i] = std::move(o);
        }
    };
    std::vector<std::thread> threads;
    for (unsigned j = 0; j < jobs; ++j) threads.emplace_back(worker);
    for (auto& th : threads) th.join();

    // A refused query is the answer a device without that variable gives, and the installer
    // reads it as such (no "systype": the native system). A run that claims success then is
    // held to what it leaves on that device, not on the clean road's.
    std::map<std::string, DeviceState> without;
    for (size_t i = 0; i < cells.size(); ++i) {
        Outcome& o = outcomes[i];
        const std::string& var = cells[i].refused_var;
        if (var.empty() || !o.claimed || o.as_planned) continue;
        if (!without.contains(var)) {
            const Outcome ref = run_once(road, pkg, "", std::chrono::seconds(120), var);
            without[var] = ref.claimed ? ref.state : DeviceState{};
        }
        o.as_planned = o.state == without[var];
    }

    for (size_t i = 0; i < cells.size(); ++i) {
        const Outcome& o = outcomes[i];
        const Verdict v = judge(cells[i], o);
        ++t.cells;
        t.claimed += o.claimed ? 1 : 0;
        t.wrong += v.wrong_claim ? 1 : 0;
        t.crashes += v.crash ? 1 : 0;
        t.hangs += v.hang ? 1 : 0;
        t.waited += v.waited ? 1 : 0;
        if (v.bad != nullptr) t.bad.push_back(describe(cells[i], o, v.bad));
        if (o.replay_differs) {
            ++t.replayed;
            if (!o.replay_differs->empty()) {
                t.bad.push_back(describe(cells[i], o, "the replay of its trace ends otherwise") +
                                ": " + *o.replay_differs);
            }
        }
        char name[64];
        std::snprintf(name, sizeof name, "%04zu-%03zu-", i, cells[i].exchange + 1);
        record_run(road.name, name + slug(cells[i].fault), o,
                   v.bad       ? v.bad
                   : v.waited  ? "waited"
                   : o.claimed ? "claimed"
                               : "said failed");
        if (verbose) {
            std::printf("%s %.1fs\n",
                        describe(cells[i], o,
                                 v.bad      ? v.bad
                                 : v.waited ? "waited"
                                            : "ok")
                            .c_str(),
                        o.seconds);
        }
    }
    t.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    bool fast = false;
    bool verbose = false;
    unsigned jobs = 2;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--fast") == 0) {
            fast = true;
        } else if (std::strcmp(argv[i], "--verbose") == 0) {
            verbose = true;
        } else if (std::strcmp(argv[i], "--jobs") == 0 && i + 1 < argc) {
            jobs = static_cast<unsigned>(std::max(1, std::atoi(argv[++i])));
        } else if (std::strcmp(argv[i], "--road") == 0 && i + 1 < argc) {
            only = argv[++i];
        } else if (std::strcmp(argv[i], "--record") == 0 && i + 1 < argc) {
            record_dir = argv[++i];
        } else if (std::strcmp(argv[i], "--replay") == 0) {
            replay_failures = true;
        } else {
            std::fprintf(stderr,
                         "usage: fault_matrix [--fast] [--verbose] [--jobs N] [--road TEXT] "
                         "[--record DIR] [--replay]\n");
            return 2;
        }
    }
    if (quick_sleep_lib().empty()) {
        std::fprintf(stderr, "fault_matrix: built without its preloaded sleep\n");
        return 2;
    }

    std::vector<const Road*> chosen;
    if (fast) {
        chosen.push_back(&matrix::fast_road());
    } else {
        for (const auto& r : matrix::roads()) {
            if (only.empty() || r.name.find(only) != std::string::npos) chosen.push_back(&r);
        }
    }

    const auto start = Clock::now();
    std::printf("fault matrix%s, %u jobs\n\n", fast ? " (fast subset)" : "", jobs);
    std::printf("%-36s %6s %8s %7s %8s %6s %8s %8s\n", "road", "cells", "claimed", "wrong",
                "crashes", "hangs", "waited", "seconds");
    std::fflush(stdout);
    size_t bad = 0, total = 0, replayed = 0;
    std::vector<std::string> bad_lines;
    for (const Road* r : chosen) {
        const RoadTally t = run_road(*r, fast, jobs, verbose);
        std::printf("%-36s %6zu %8zu %7zu %8zu %6zu %8zu %8.1f\n", r->name.c_str(), t.cells,
                    t.claimed, t.wrong, t.crashes, t.hangs, t.waited, t.seconds);
        std::fflush(stdout);
        total += t.cells;
        replayed += t.replayed;
        bad += t.bad.size();
        if (!t.bad.empty()) {
            bad_lines.push_back("  " + r->name + ":");
            bad_lines.insert(bad_lines.end(), t.bad.begin(), t.bad.end());
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("\n%zu cells in %.1f s; %zu break the rule\n", total, seconds, bad);
    if (replay_failures) {
        std::printf("%zu runs that said they failed were replayed from their traces\n", replayed);
    }
    for (const auto& line : bad_lines) std::printf("%s\n", line.c_str());
    std::printf(
        "\n\"waited\": the device came back with another serial number and the installer,\n"
        "asked for its own, waited for it (stopped at the bound; nothing claimed).\n"
        "\"a twin plugged in meanwhile\": a second device like the road's own appears while it\n"
        "reboots; a run that sends it anything breaks the rule.\n"
        "\"link lost before the reboot's answer, the device restarts\": a loader that restarts\n"
        "before it answers; a run that does not end as done breaks the rule. A device gone\n"
        "before the closing reboot's status may not have started again: its loader version is\n"
        "not compared.\n"
        "A refused query (FAIL) is the answer of a device that does not hold the variable: a\n"
        "run that claims success after one is held to that device's clean run.\n");
    std::printf("Out of scope:\n");
    for (const auto& why : matrix::out_of_scope()) std::printf("  %s\n", why.c_str());
    return bad == 0 ? 0 : 1;
}
