// The installer program as built, with its libusb backend, against the simulated bootloader
// behind an emulated usbfs: each scenario runs once over the simulated link and once over the
// emulated bus, and the two must give the same output, the same device transcript byte for byte
// and the same partitions. Beside the device sit a keyboard and a second interface of the
// device's own, which the installer must never open or claim.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <optional>

#include "check/crc32.h"
#include "devsim/options.h"
#include "devsim/storage.h"
#include "devsim/transcript.h"
#include "e2e/flow_e2e.h"
#include "umockdev/usb_bus.h"

namespace {

using namespace flow_e2e;
namespace fs = std::filesystem;

// What the simulated device is made of, as tessaro-devsim options (without --storage).
struct Scenario {
    const char* name;
    std::vector<std::string> device;
    const char* model;  // config.bin
    std::vector<const char*> files;
    size_t file_size;
    bool sign;
    std::vector<std::string> args;
};

const Scenario kRq3 = {"RQ3, both systems, unattended",
                       {"--device", "rq3", "--serial", "P00118E2E0001", "--var", "product=RQ3",
                        "--var", "verflag=Z05"},
                       "pagora8\n",
                       {"data.bin", "recovery.bin", "kernel.bin", "system.bin", "userdata.bin",
                        "ekernel.bin", "vemkit.bin", "esystem.bin"},
                       3000,
                       false,
                       {"1", "1"}};

// A current loader, so no loader image is sent (a build with stand-in loaders writes them only
// to simulated devices), and the storage-variant switch: a reboot in the middle of the run
// that the installer must find the device again after, under a new device number.
const Scenario kSwitch = {
    "the storage-variant switch, then both systems",
    {"--device", "d", "--serial", "13GA0001", "--var", "product=VRX3", "--var", "verflag=Z07",
     "--var", "bootmode=main", "--var", "systype=sing", "--respcb-serial", "000=067A0001"},
    "vrx3\n",
    {"system.bin", "var.bin", "kernel.bin", "data.bin", "esystem.bin", "edata.bin", "vemkit.bin",
     "ver4g.bin"},
    70000,
    true,
    {"1", "2"}};

void make_package(const Scenario& s, Package& pkg) {
    pkg.config(s.model);
    for (const char* f : s.files) {
        pkg.file(f, s.file_size);
        if (!s.sign) continue;
        const std::string bytes = support::read_file(pkg.path() / f);
        const std::string name = f;
        std::FILE* out =
            std::fopen((pkg.path() / (name.substr(0, name.size() - 4) + ".sign")).c_str(), "w");
        ASSERT_NE(out, nullptr);
        std::fprintf(out, "%08x\n",
                     GetBufferCRC(bytes.data(), static_cast<uint32_t>(bytes.size())));
        std::fclose(out);
    }
}

std::vector<std::string> lines_of(const fs::path& p) {
    std::vector<std::string> out;
    std::string all = support::read_file(p), line;
    for (char c : all) {
        if (c != '\n') {
            line += c;
        } else {
            out.push_back(line);
            line.clear();
        }
    }
    return out;
}

// Each partition's size and CRC-32.
std::map<std::string, std::string> partitions(const fs::path& dir) {
    std::map<std::string, std::string> out;
    if (!fs::exists(dir)) return out;
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::string bytes = support::read_file(e.path());
        char text[40];
        std::snprintf(text, sizeof text, "%zu bytes, %08x", bytes.size(),
                      GetBufferCRC(bytes.data(), static_cast<uint32_t>(bytes.size())));
        out[e.path().filename().string()] = text;
    }
    return out;
}

// What a run over the simulated link gave: the reference for the emulated bus.
struct Reference {
    e2e::RunResult run;
    std::vector<std::string> transcript;
    std::map<std::string, std::string> partitions;
};

Reference over_simulated_link(const Scenario& s, const Package& pkg,
                              const std::vector<std::string>& faults) {
    support::TempDir storage;
    std::vector<std::string> args = {"--storage", storage.path().string()};
    args.insert(args.end(), s.device.begin(), s.device.end());
    for (const auto& f : faults) args.insert(args.end(), {"--fault", f});
    support::Devsim dev(args);
    Reference ref;
    ref.run = run(dev, pkg, s.args);
    ref.transcript = dev.transcript();
    ref.partitions = partitions(storage.path() / s.device[1]);
    return ref;
}

// The same device on the emulated bus, between a keyboard and nothing.
class BusDevice {
  public:
    BusDevice(umock::UsbBus& bus, const Scenario& s, const std::vector<std::string>& faults)
        : name_(s.device[1]) {
        std::vector<std::string> args = {"--dir", dir_.path().string()};
        args.insert(args.end(), s.device.begin(), s.device.end());
        for (const auto& f : faults) args.insert(args.end(), {"--fault", f});
        devsim::ParsedOptions parsed = devsim::parse_options(args);
        EXPECT_TRUE(parsed.config) << parsed.error;
        const devsim::DeviceConfig cfg = parsed.config->devices.at(0);
        transcript_.open((dir_.path() / "transcript.jsonl").string());
        storage_.emplace(dir_.path() / "storage" / name_);
        core_.emplace(cfg, *storage_, transcript_);

        // the device's own first interface has bulk pipes, but not the bootloader's protocol;
        // the keyboard comes last, which libusb lists first
        usb_ = &bus.plug({cfg.vendor,
                          cfg.product,
                          cfg.serial_readable ? cfg.serial : "",
                          {{0xff, 0x42, 0x01, 2},
                           {cfg.ifc_class, cfg.ifc_subclass, cfg.ifc_protocol, cfg.endpoints}}},
                         &*core_);
        keyboard_ = &bus.plug({0x046d, 0xc52b, "KBD1", {{3, 1, 1, 1}}}, nullptr);
        env_ = bus.env();
    }

    e2e::RunResult run(const Package& pkg, const std::vector<std::string>& args) {
        e2e::RunOptions o;
        o.args = args;
        o.cwd = pkg.path();
        o.env = env_;
        o.timeout = std::chrono::seconds(40);
        return e2e::run_installer(o);
    }
    std::vector<std::string> transcript() const {
        return lines_of(dir_.path() / "transcript.jsonl");
    }
    std::map<std::string, std::string> partitions() const {
        return ::partitions(dir_.path() / "storage" / name_);
    }
    umock::UsbfsDevice& usb() { return *usb_; }

    // Neither the keyboard nor the second interface was touched.
    void expect_only_bootloader_taken() {
        EXPECT_EQ(keyboard_->seen().opens, 0);
        EXPECT_EQ(usb_->seen().claimed, std::set<unsigned>{1});
    }

  private:
    support::TempDir dir_;
    std::string name_;
    devsim::Transcript transcript_;
    std::optional<devsim::DirStorage> storage_;
    std::optional<devsim::Bootloader> core_;
    umock::UsbfsDevice* keyboard_ = nullptr;
    umock::UsbfsDevice* usb_ = nullptr;
    std::map<std::string, std::string> env_;
};

void expect_same(const Reference& ref, const e2e::RunResult& r,
                 const std::vector<std::string>& transcript,
                 const std::map<std::string, std::string>& parts) {
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, ref.run.status);
    EXPECT_EQ(r.out, ref.run.out);
    EXPECT_EQ(r.err, ref.run.err);
    EXPECT_EQ(transcript, ref.transcript);
    EXPECT_EQ(parts, ref.partitions);
}

class LibusbInstall : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string why = umock::UsbBus::unavailable();
        if (!why.empty()) GTEST_SKIP() << "umockdev is not available: " << why;
    }
};

// Whole installs, a device that goes silent for longer than a read's timeout, and one that
// leaves the bus in the middle of a data phase: the same as over the simulated link.
TEST_F(LibusbInstall, SameAsOverTheSimulatedLink) {
    struct Case {
        const Scenario& scenario;
        std::vector<std::string> faults;
        bool done;
    };
    const Case cases[] = {
        {kRq3, {}, true},
        {kSwitch, {}, true},
        {kRq3, {"getvar:serialno=silence:1500"}, true},
        {kRq3, {"download:*#2=vanish:data:1000"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.scenario.name) + (c.faults.empty() ? "" : ", " + c.faults[0]));
        Package pkg;
        make_package(c.scenario, pkg);
        const Reference ref = over_simulated_link(c.scenario, pkg, c.faults);
        // the reference itself is what the simulated-link tests hold it to
        EXPECT_EQ(ref.run.out.find(e2e::gbk("完成")) != std::string::npos, c.done) << ref.run.out;
        ASSERT_FALSE(ref.transcript.empty());

        umock::UsbBus bus;
        BusDevice dev(bus, c.scenario, c.faults);
        e2e::RunResult r = dev.run(pkg, c.scenario.args);
        expect_same(ref, r, dev.transcript(), dev.partitions());
        dev.expect_only_bootloader_taken();
    }
}

// A stall on either bulk pipe in the middle of a download: the run fails, the halt is cleared,
// and the device is left in the middle of the download, as an installer killed there would leave
// it. The next run must get the device back from that and install.
TEST_F(LibusbInstall, StalledPipeThenAWholeInstall) {
    using Pipe = umock::UsbfsDevice::Pipe;
    struct Case {
        const char* what;
        Pipe pipe;
        uint32_t transfer;
        unsigned endpoint;  // interface 1's
    };
    // getvar:product, getvar:serialno, getvar:verflag, download:..., then its data (OUT) or
    // the answer to the download (IN)
    const Case cases[] = {
        {"OUT, the first data", Pipe::Out, 5, 0x03},
        {"IN, the answer to the download", Pipe::In, 4, 0x83},
    };
    Package pkg;
    make_package(kRq3, pkg);
    const Reference ref = over_simulated_link(kRq3, pkg, {});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        umock::UsbBus bus;
        BusDevice dev(bus, kRq3, {});
        dev.usb().stall_transfer(c.pipe, c.transfer);
        e2e::RunResult first = dev.run(pkg, kRq3.args);
        EXPECT_FALSE(first.timed_out);
        EXPECT_EQ(first.status, 0);
        const std::string failed = kDownloadingError + kAllDone;
        ASSERT_GE(first.out.size(), failed.size()) << first.out;
        EXPECT_EQ(first.out.substr(first.out.size() - failed.size()), failed);
        EXPECT_NE(first.err.find("USB transfer error"), std::string::npos) << first.err;
        EXPECT_EQ(dev.usb().seen().cleared, std::vector<unsigned>{c.endpoint});
        const size_t before = dev.transcript().size();

        e2e::RunResult second = dev.run(pkg, kRq3.args);
        std::vector<std::string> transcript = dev.transcript();
        transcript.erase(transcript.begin(), transcript.begin() + static_cast<long>(before));
        expect_same(ref, second, transcript, dev.partitions());
        dev.expect_only_bootloader_taken();
    }
}

// Two readers on the bus, the one the run is given listed after the other: the run claims and
// resets only its own, and the listing claims both for its queries and resets neither.
TEST_F(LibusbInstall, OnlyTheDeviceTakenIsReset) {
    Scenario idle = kRq3;
    idle.device[3] = "P00118E2E0002";
    Package pkg;
    make_package(kRq3, pkg);
    umock::UsbBus bus;
    // libusb lists the devices plugged later first
    BusDevice taken(bus, kRq3, {});
    BusDevice other(bus, idle, {});

    std::vector<std::string> args = kRq3.args;
    args.push_back(kRq3.device[3]);
    const e2e::RunResult run = taken.run(pkg, args);
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find(e2e::gbk("完成")), std::string::npos) << run.out << run.err;
    const int resets = taken.usb().seen().resets;
    EXPECT_GE(resets, 1);
    taken.expect_only_bootloader_taken();
    EXPECT_EQ(other.usb().seen().resets, 0);
    EXPECT_TRUE(other.usb().seen().claimed.empty());
    EXPECT_TRUE(other.transcript().empty());

    const e2e::RunResult list = taken.run(pkg, {"--list"});
    EXPECT_EQ(list.status, 0);
    for (const std::string& serial : {kRq3.device[3], idle.device[3]}) {
        EXPECT_NE(list.out.find("device " + serial + ": model "), std::string::npos) << list.out;
    }
    EXPECT_EQ(taken.usb().seen().resets, resets);
    EXPECT_EQ(other.usb().seen().resets, 0);
    taken.expect_only_bootloader_taken();
    other.expect_only_bootloader_taken();
}

}  // namespace
