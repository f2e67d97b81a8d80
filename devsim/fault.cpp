#include "devsim/fault.h"

#include <charconv>

#include "devsim/glob_match.h"
#include "devsim/parse_number.h"

namespace devsim {

namespace {

struct ActionName {
    std::string_view name;
    FaultAction action;
};

constexpr ActionName kActions[] = {
    {"fail", FaultAction::Fail},
    {"status", FaultAction::Status},
    {"info", FaultAction::Info},
    {"data-count", FaultAction::DataCount},
    {"short-write", FaultAction::ShortWrite},
    {"silence", FaultAction::Silence},
    {"vanish", FaultAction::VanishCommand},
    {"corrupt", FaultAction::Corrupt},
    {"away", FaultAction::Away},
    {"oversize", FaultAction::Oversize},
    {"flood", FaultAction::Flood},
    {"serial", FaultAction::Reserial},
    {"restart", FaultAction::Restart},
};

FaultParse error(std::string_view rule, std::string_view why) {
    return {std::nullopt, "bad fault '" + std::string(rule) + "': " + std::string(why)};
}

}  // namespace

FaultParse parse_fault(std::string_view rule) {
    // commands never contain '=', so the first one ends the pattern
    size_t eq = rule.find('=');
    if (eq == std::string_view::npos) return error(rule, "expected PATTERN=ACTION");
    Fault f;
    std::string_view pattern = rule.substr(0, eq);
    std::string_view action = rule.substr(eq + 1);

    size_t hash = pattern.rfind('#');
    if (hash != std::string_view::npos) {
        auto n = parse_decimal(pattern.substr(hash + 1));
        if (!n || *n == 0) return error(rule, "the occurrence after '#' must be a number from 1");
        f.occurrence = *n;
        pattern = pattern.substr(0, hash);
    }
    if (pattern.empty()) return error(rule, "empty pattern");
    f.pattern = std::string(pattern);

    size_t colon = action.find(':');
    std::string_view name = action.substr(0, colon);
    std::optional<std::string_view> arg;
    if (colon != std::string_view::npos) arg = action.substr(colon + 1);

    const ActionName* found = nullptr;
    for (const auto& a : kActions) {
        if (a.name == name) found = &a;
    }
    if (!found) return error(rule, "unknown action '" + std::string(name) + "'");
    f.action = found->action;

    switch (f.action) {
        case FaultAction::Fail:
            f.text = std::string(arg.value_or(""));
            break;
        case FaultAction::Status:
        case FaultAction::Info:
        case FaultAction::Reserial:
            if (!arg) return error(rule, std::string(name) + " needs :TEXT");
            f.text = std::string(*arg);
            break;
        case FaultAction::DataCount: {
            auto v = arg ? parse_hex32(*arg) : std::nullopt;
            if (!v) return error(rule, "data-count needs a hexadecimal count");
            f.value = *v;
            break;
        }
        case FaultAction::ShortWrite:
        case FaultAction::Silence:
        case FaultAction::Away:
        case FaultAction::Flood: {
            auto v = arg ? parse_decimal(*arg) : std::nullopt;
            if (!v) return error(rule, std::string(name) + " needs a decimal number");
            f.value = *v;
            break;
        }
        case FaultAction::Oversize: {
            // the answer is "OKAY" and filler: at least the code, and no more than a link frame
            // that the host would still read
            auto v = arg ? parse_decimal(*arg) : std::nullopt;
            if (!v || *v < 4 || *v > 65536)
                return error(rule, "oversize needs a length of 4 to 65536");
            f.value = *v;
            break;
        }
        case FaultAction::VanishCommand: {
            if (arg == "command") break;
            if (arg == "status") {
                f.action = FaultAction::VanishStatus;
                break;
            }
            if (arg && arg->starts_with("data:")) {
                auto v = parse_decimal(arg->substr(5));
                if (!v) return error(rule, "vanish:data needs a decimal byte count");
                f.action = FaultAction::VanishData;
                f.value = *v;
                break;
            }
            return error(rule, "vanish needs command, data:N or status");
        }
        case FaultAction::Corrupt:
        case FaultAction::Restart:
            if (arg) return error(rule, std::string(name) + " takes no argument");
            break;
        case FaultAction::VanishData:
        case FaultAction::VanishStatus:
            break;
    }
    return {std::move(f), {}};
}

std::vector<const Fault*> faults_for_command(std::vector<Fault>& faults, std::string_view cmd) {
    const std::string text(cmd);
    std::vector<const Fault*> hits;
    for (auto& f : faults) {
        if (!glob_match(f.pattern, text)) continue;
        ++f.seen;
        if (f.occurrence == 0 || f.seen == f.occurrence) hits.push_back(&f);
    }
    return hits;
}

FaultHits::FaultHits(const std::vector<const Fault*>& faults) {
    for (const Fault* f : faults) {
        switch (f->action) {
            case FaultAction::Fail:
                if (!answer) answer = "FAIL" + f->text;
                break;
            case FaultAction::Status:
                if (!answer) answer = f->text;
                break;
            case FaultAction::Info:
                infos.push_back("INFO" + f->text);
                break;
            case FaultAction::DataCount:
                data_count = f->value;
                break;
            case FaultAction::ShortWrite:
                short_write = f->value;
                break;
            case FaultAction::Silence:
                silence_ms += f->value;
                break;
            case FaultAction::VanishCommand:
                vanish_command = true;
                break;
            case FaultAction::VanishData:
                vanish_data = f->value;
                break;
            case FaultAction::VanishStatus:
                vanish_status = true;
                break;
            case FaultAction::Corrupt:
                corrupt = true;
                break;
            case FaultAction::Away:
                away_ms = f->value;
                break;
            case FaultAction::Oversize:
                if (!answer) {
                    answer = "OKAY" + std::string(f->value - 4, 'x');
                    oversize = true;
                }
                break;
            case FaultAction::Flood:
                flood += f->value;
                break;
            case FaultAction::Reserial:
                reserial = f->text;
                break;
            case FaultAction::Restart:
                restart = true;
                break;
        }
    }
}

}  // namespace devsim
