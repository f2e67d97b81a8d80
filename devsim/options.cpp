#include "devsim/options.h"

#include <array>
#include <charconv>
#include <fstream>
#include <set>

#include "devsim/parse_number.h"
#include "devsim/replay.h"
#include "devsim/storage.h"
#include "payload/payload.h"

namespace devsim {

const char* const kUsage =
    "usage: tessaro-devsim --dir DIR | --listen A.B.C.D:PORT\n"
    "                      [--transcript FILE] [--storage DIR] [--rate BYTES_PER_SEC]\n"
    "                      --device NAME [device options] [--device NAME [device options] ...]\n"
    "device options: --serial TEXT | --no-serial | --vendor HEX | --product HEX | --class HEX |\n"
    "                --subclass HEX | --protocol HEX | --endpoints N | --var NAME=VALUE |\n"
    "                --address PARTITION=HEX | --reboot-delay MS | --appear-after MS |\n"
    "                --appear-at-reboot NAME[#N] |\n"
    "                --fault 'PATTERN[#N]=ACTION[:ARG]' | --loader-verflag IMAGE=VERFLAG |\n"
    "                --loader-check-fails IMAGE=N | --respcb-serial VALUE=SERIAL |\n"
    "                --replay REPORT\n"
    "--replay REPORT: the device of a run's report or trace (TESSARO_TRACE): its serial number,\n"
    "                its answers and the answer that failed, at the exchange where it came (given\n"
    "                before any --device, it makes the device 'replay')\n";

namespace {

// a report holds a whole run's console and trace: far less than this
constexpr size_t kMaxReplayFile = size_t{64} << 20;

std::string_view without_0x(std::string_view s) {
    if (s.starts_with("0x") || s.starts_with("0X")) s.remove_prefix(2);
    return s;
}

std::optional<uint32_t> hex_at_most(std::string_view s, uint32_t max) {
    auto v = parse_hex32(without_0x(s));
    if (!v || *v > max) return std::nullopt;
    return v;
}

bool is_loader(std::string_view name) {
    const payload_image* img = payload_find(name);
    return img != nullptr &&
           (img->kind == payload_kind::staged_loader || img->kind == payload_kind::final_loader);
}

std::optional<uint64_t> parse_u64(std::string_view s) {
    uint64_t v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return v;
}

class Parser {
  public:
    explicit Parser(const std::vector<std::string>& args) : args_(args) {}

    ParsedOptions parse() {
        ParsedOptions r;
        while (i_ < args_.size() && error_.empty()) {
            const std::string& opt = args_[i_++];
            if (opt == "--help" || opt == "-h") {
                r.help = true;
                return r;
            }
            option(opt);
        }
        if (error_.empty()) finish();
        if (!error_.empty()) {
            r.error = error_;
        } else {
            r.config = std::move(cfg_);
        }
        r.notes = std::move(notes_);
        return r;
    }

  private:
    void fail(std::string why) {
        if (error_.empty()) error_ = std::move(why);
    }

    // the option's value; empty with an error when there is none
    std::optional<std::string> value(const std::string& opt) {
        if (i_ >= args_.size()) {
            fail(opt + " needs a value");
            return std::nullopt;
        }
        return args_[i_++];
    }

    DeviceConfig* device(const std::string& opt) {
        if (cfg_.devices.empty()) {
            fail(opt + " must follow a --device");
            return nullptr;
        }
        return &cfg_.devices.back();
    }

    void hex_option(const std::string& opt, uint32_t max, auto assign) {
        DeviceConfig* d = device(opt);
        auto v = value(opt);
        if (!d || !v) return;
        auto n = hex_at_most(*v, max);
        if (!n)
            return fail(opt + " needs a hexadecimal number up to " + hex_text(max) + ", not '" +
                        *v + "'");
        assign(*d, *n);
    }

    void ms_option(const std::string& opt, uint32_t DeviceConfig::*field) {
        DeviceConfig* d = device(opt);
        auto v = value(opt);
        if (!d || !v) return;
        auto n = parse_decimal(*v);
        if (!n) return fail(opt + " needs milliseconds as a decimal number, not '" + *v + "'");
        d->*field = *n;
    }

    static std::string hex_text(uint32_t v) {
        char buf[16];
        auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, 16);
        return {buf, end};
    }

    void option(const std::string& opt) {
        if (opt == "--dir" || opt == "--transcript" || opt == "--storage") {
            auto v = value(opt);
            if (!v) return;
            if (v->empty()) return fail(opt + " needs a non-empty path");
            (opt == "--dir"          ? cfg_.dir
             : opt == "--transcript" ? cfg_.transcript
                                     : cfg_.storage) = *v;
        } else if (opt == "--listen") {
            auto v = value(opt);
            if (!v) return;
            cfg_.listen = simlink::parse_address(*v);
            if (!cfg_.listen)
                return fail("--listen needs an address A.B.C.D:PORT, not '" + *v + "'");
        } else if (opt == "--rate") {
            auto v = value(opt);
            if (!v) return;
            auto n = parse_u64(*v);
            if (!n)
                return fail("--rate needs bytes per second as a decimal number, not '" + *v + "'");
            cfg_.rate = *n;
        } else if (opt == "--device") {
            auto v = value(opt);
            if (!v) return;
            // the name becomes a file name in --dir and --storage
            if (!partition_name_ok(*v)) {
                return fail("--device needs a plain name (letters, digits, '_', '-', '.'), not '" +
                            *v + "'");
            }
            if (!names_.insert(*v).second) return fail("two devices are named '" + *v + "'");
            cfg_.devices.emplace_back();
            cfg_.devices.back().name = *v;
        } else if (opt == "--serial") {
            DeviceConfig* d = device(opt);
            auto v = value(opt);
            if (!d || !v) return;
            if (v->size() > kMaxSerial) return fail("--serial is longer than 255 bytes");
            d->serial = *v;
        } else if (opt == "--no-serial") {
            if (DeviceConfig* d = device(opt)) d->serial_readable = false;
        } else if (opt == "--vendor") {
            hex_option(opt, 0xffff,
                       [](DeviceConfig& d, uint32_t v) { d.vendor = static_cast<uint16_t>(v); });
        } else if (opt == "--product") {
            hex_option(opt, 0xffff,
                       [](DeviceConfig& d, uint32_t v) { d.product = static_cast<uint16_t>(v); });
        } else if (opt == "--class") {
            hex_option(opt, 0xff,
                       [](DeviceConfig& d, uint32_t v) { d.ifc_class = static_cast<uint8_t>(v); });
        } else if (opt == "--subclass") {
            hex_option(opt, 0xff, [](DeviceConfig& d, uint32_t v) {
                d.ifc_subclass = static_cast<uint8_t>(v);
            });
        } else if (opt == "--protocol") {
            hex_option(opt, 0xff, [](DeviceConfig& d, uint32_t v) {
                d.ifc_protocol = static_cast<uint8_t>(v);
            });
        } else if (opt == "--endpoints") {
            DeviceConfig* d = device(opt);
            auto v = value(opt);
            if (!d || !v) return;
            auto n = parse_decimal(*v);
            if (!n || *n > 255)
                return fail("--endpoints needs a number from 0 to 255, not '" + *v + "'");
            d->endpoints = static_cast<uint8_t>(*n);
        } else if (opt == "--var") {
            DeviceConfig* d = device(opt);
            auto v = value(opt);
            if (!d || !v) return;
            size_t eq = v->find('=');
            if (eq == 0 || eq == std::string::npos)
                return fail("--var needs NAME=VALUE, not '" + *v + "'");
            d->vars[v->substr(0, eq)] = v->substr(eq + 1);
        } else if (opt == "--address") {
            DeviceConfig* d = device(opt);
            auto v = value(opt);
            if (!d || !v) return;
            size_t eq = v->find('=');
            auto addr = eq == std::string::npos
                            ? std::nullopt
                            : hex_at_most(std::string_view(*v).substr(eq + 1), 0xffffffff);
            if (eq == std::string::npos || !partition_name_ok(std::string_view(*v).substr(0, eq)) ||
                !addr) {
                return fail("--address needs PARTITION=HEX, not '" + *v + "'");
            }
            d->addresses[v->substr(0, eq)] = *addr;
        } else if (opt == "--reboot-delay") {
            ms_option(opt, &DeviceConfig::reboot_delay_ms);
        } else if (opt == "--appear-after") {
            ms_option(opt, &DeviceConfig::appear_after_ms);
        } else if (opt == "--appear-at-reboot") {
            DeviceConfig* d = device(opt);
            auto v = value(opt);
            if (!d || !v) return;
            const size_t hash = v->find('#');
            std::optional<uint32_t> count = 1;
            if (hash != std::string::npos) count = parse_decimal(v->substr(hash + 1));
            if (hash == 0 || !count || *count == 0) {
                return fail("--appear-at-reboot needs NAME or NAME#N (N from 1), not '" + *v + "'");
            }
            d->appear_at_reboot_of = v->substr(0, hash);
            d->appear_at_reboot_count = *count;
        } else if (opt == "--loader-verflag" || opt == "--loader-check-fails") {
            DeviceConfig* d = device(opt);
            auto v = value(opt);
            if (!d || !v) return;
            const bool verflag = opt == "--loader-verflag";
            size_t eq = v->find('=');
            std::string image = v->substr(0, eq);
            std::string rest = eq == std::string::npos ? std::string() : v->substr(eq + 1);
            auto count = verflag ? std::optional<uint32_t>(0) : parse_decimal(rest);
            if (eq == std::string::npos || !is_loader(image) || !count) {
                return fail(opt + (verflag ? " needs IMAGE=VERFLAG" : " needs IMAGE=N") +
                            " with IMAGE one of porter, porter1, porter2, porter3, loader_belto, "
                            "loader_tiva, loader_quessel, not '" +
                            *v + "'");
            }
            if (verflag) {
                d->loader_verflags[image] = rest;
            } else {
                d->loader_check_fails[image] = *count;
            }
        } else if (opt == "--respcb-serial") {
            DeviceConfig* d = device(opt);
            auto v = value(opt);
            if (!d || !v) return;
            size_t eq = v->find('=');
            if (eq == 0 || eq == std::string::npos || v->size() - eq - 1 > kMaxSerial)
                return fail("--respcb-serial needs VALUE=SERIAL, not '" + *v + "'");
            d->respcb_serials[v->substr(0, eq)] = v->substr(eq + 1);
        } else if (opt == "--replay") {
            replay(opt);
        } else if (opt == "--fault") {
            DeviceConfig* d = device(opt);
            auto v = value(opt);
            if (!d || !v) return;
            FaultParse f = parse_fault(*v);
            if (!f.fault) return fail(f.error);
            d->faults.push_back(std::move(*f.fault));
        } else {
            fail("unknown option '" + opt + "'");
        }
    }

    void replay(const std::string& opt) {
        auto path = value(opt);
        if (!path) return;
        if (cfg_.devices.empty()) {
            names_.insert("replay");
            cfg_.devices.emplace_back();
            cfg_.devices.back().name = "replay";
        }
        // read to its end, whatever kind of file it is (a pipe too), but never past the limit
        std::ifstream in(*path, std::ios::binary);
        std::string text;
        std::array<char, 65536> piece{};
        while (in && text.size() <= kMaxReplayFile) {
            in.read(piece.data(), piece.size());
            text.append(piece.data(), static_cast<size_t>(in.gcount()));
        }
        if (text.size() > kMaxReplayFile) {
            return fail("--replay: " + *path + " is larger than 64 MiB");
        }
        if (!in.eof()) return fail("--replay: " + *path + " cannot be read");
        const ReplayRead read = replay_into(text, cfg_.devices.back());
        for (const std::string& why : read.skipped) notes_.push_back(*path + " " + why);
        if (read.exchanges == 0) fail("--replay: " + *path + " holds no exchange with a device");
    }

    void finish() {
        if (cfg_.dir.empty() == !cfg_.listen) return fail("one of --dir and --listen is required");
        if (cfg_.devices.empty()) return fail("at least one --device is required");
        for (const auto& d : cfg_.devices) {
            const std::string& other = d.appear_at_reboot_of;
            if (!other.empty() && (other == d.name || !names_.contains(other))) {
                return fail("--appear-at-reboot of '" + d.name +
                            "' needs another device's name, not '" + other + "'");
            }
        }
        // the serialno variable tells what the serial number says unless set on its own
        for (auto& d : cfg_.devices) d.vars.try_emplace("serialno", d.serial);
    }

    const std::vector<std::string>& args_;
    size_t i_ = 0;
    SimConfig cfg_;
    std::set<std::string> names_;
    std::string error_;
    std::vector<std::string> notes_;
};

}  // namespace

ParsedOptions parse_options(const std::vector<std::string>& args) {
    return Parser(args).parse();
}

}  // namespace devsim
