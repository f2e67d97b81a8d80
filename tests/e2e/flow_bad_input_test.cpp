// Bad input from the package and the user, whole runs against a simulated device: an odd
// "config.bin", signature files written in other ways, entries that are no files, a read-only
// package directory and standard input that is no plain choice. A run that goes on leaves the
// package's bytes in the partitions; a run that stops names the file and the reason and never
// claims success.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>

#include "check/crc32.h"
#include "e2e/flow_e2e.h"

namespace {

using namespace flow_e2e;
using support::read_file;

struct Device {
    const char* name;  // storage folder
    const char* serial;
    const char* product;
    const char* verflag;  // current: no loader is written
};
const Device kRq3 = {"rq3", "P00118E2E0001", "RQ3", "Z05"};
const Device kVrx3 = {"vrx3", "067A0001", "VRX3", "Z07"};

std::string crc_of(const Package& pkg, const char* file) {
    const std::string bytes = read_file(pkg.path() / file);
    char text[9];
    std::snprintf(text, sizeof text, "%08x",
                  GetBufferCRC(bytes.data(), static_cast<uint32_t>(bytes.size())));
    return text;
}

// A UNIX socket's file under `path` (it stays after its descriptor is closed).
void make_socket(const std::filesystem::path& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    EXPECT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);
}

const std::vector<const char*> kRq3Native = {"data.bin", "recovery.bin", "kernel.bin",
                                             "system.bin"};
const std::vector<std::pair<const char*, const char*>> kRq3NativeWritten = {
    {"data.bin", "cache"},
    {"recovery.bin", "recovery"},
    {"kernel.bin", "kernel"},
    {"system.bin", "system"}};
const std::vector<const char*> kVrx3Native = {"system.bin", "var.bin", "kernel.bin"};

// One run; by default a native RQ3 package installed unattended.
struct BadInput {
    const char* name = "";
    const Device* device = &kRq3;
    std::string config = "pagora8\n";
    std::vector<const char*> files = kRq3Native;
    // after the files are made: a signature, an entry that is no file, a permission
    std::function<void(const Package&)> prepare = {};
    std::vector<std::string> args = {"1", "1"};
    std::string input = {};
    // the run goes on: package file -> partition, each to hold the file's bytes; and
    // partitions that must stay unwritten
    std::vector<std::pair<const char*, const char*>> written = {};
    std::vector<const char*> untouched = {};
    // the run stops: the text that says why (on standard error, or standard output for a
    // refused package); empty for a run that goes on
    std::string stop = {};
};

void run_case(const BadInput& c) {
    SCOPED_TRACE(c.name);
    Package pkg;
    pkg.config(c.config);
    for (const char* f : c.files) pkg.file(f);
    if (c.prepare) c.prepare(pkg);
    support::TempDir storage;
    const Device& d = *c.device;
    support::Devsim dev({"--storage", storage.path().string(), "--device", d.name, "--serial",
                         d.serial, "--var", std::string("product=") + d.product, "--var",
                         std::string("verflag=") + d.verflag, "--var", "bootmode=main"});

    auto r = run(dev, pkg, c.args, c.input);
    ::chmod(pkg.path().c_str(), 0755);  // so the directory can go

    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(r.timed_out);
    const auto commands = dev.commands();
    const bool rebooted = !commands.empty() && commands.back() == "reboot";
    if (c.stop.empty()) {
        EXPECT_NE(r.out.find(e2e::gbk("###完成！")), std::string::npos) << r.out;
        EXPECT_EQ(r.err.find("error"), std::string::npos) << r.err;
        EXPECT_TRUE(rebooted);
        for (const auto& [file, partition] : c.written) {
            EXPECT_EQ(read_file(storage.path() / d.name / partition), read_file(pkg.path() / file))
                << file << " in " << partition;
        }
    } else {
        EXPECT_EQ(r.out.find(e2e::gbk("完成")), std::string::npos) << r.out;
        EXPECT_NE((r.out + r.err).find(c.stop), std::string::npos) << r.out << r.err;
        EXPECT_FALSE(rebooted);
    }
    for (const char* partition : c.untouched) {
        EXPECT_FALSE(std::filesystem::exists(storage.path() / d.name / partition)) << partition;
    }
}

// The Device and Firmware lines of a refused package, the line as read (at most 31 bytes).
std::string refused(const char* model, const std::string& line) {
    return e2e::gbk(std::string("###当前机型(Device)：") + model + "\n") +
           e2e::gbk("###当前固件(Firmware)：") + line + "\n";
}

// The kernel's signature: its CRC between `before` and `after`, in capitals when asked.
std::function<void(const Package&)> kernel_sign(std::string before, std::string after = "",
                                                bool capitals = false) {
    return [=](const Package& pkg) {
        std::string crc = crc_of(pkg, "kernel.bin");
        if (capitals) std::ranges::transform(crc, crc.begin(), ::toupper);
        support::write_file((pkg.path() / "kernel.sign").string(), before + crc + after);
    };
}
// A signature of other bytes.
std::function<void(const Package&)> kernel_sign_text(std::string text) {
    return [text](const Package& pkg) {
        support::write_file((pkg.path() / "kernel.sign").string(), text);
    };
}

TEST(FlowBadInput, ConfigLine) {
    const BadInput cases[] = {
        // config.bin: only the first 31 bytes of its first line count
        {.name = "config line with binary bytes after the name",
         .config = std::string("pagora8\0\xff\x01", 10),
         .written = kRq3NativeWritten},
        {.name = "config line without a newline",
         .config = "pagora8",
         .written = kRq3NativeWritten},
        {.name = "config line with CRLF",
         .config = "pagora8\r\nmore\r\n",
         .written = kRq3NativeWritten},
        {.name = "very long config line",
         .config = "pagora8" + std::string(100000, 'x') + "\n",
         .written = kRq3NativeWritten},
        {.name = "very long config line of another model",
         .config = std::string(100000, 'v') + "\n",
         .untouched = {"cache"},
         .stop = refused("pagora8", std::string(31, 'v'))},
        {.name = "config line of binary bytes",
         .config = "\x01\xfe\x80pagora8\n",
         .untouched = {"cache"},
         .stop = refused("pagora8", "\x01\xfe\x80pagora8\n")},
        // a byte-order mark is three bytes before the name, which then does not begin the line
        {.name = "config line after a UTF-8 byte-order mark",
         .config = "\xef\xbb\xbfpagora8\n",
         .untouched = {"cache"},
         .stop = refused("pagora8", "\xef\xbb\xbfpagora8\n")},
    };
    for (const auto& c : cases) run_case(c);
}

TEST(FlowBadInput, SignatureFiles) {
    const BadInput cases[] = {
        // the value counts, however it is written; the device checks the same value
        {.name = "signature in capitals with 0x and spaces",
         .device = &kVrx3,
         .config = "vrx3\n",
         .files = kVrx3Native,
         .prepare = kernel_sign("  0X", "\r\n", true),
         .written = {{"system.bin", "xzsystem"}, {"var.bin", "xzvar"}, {"kernel.bin", "xzkernel"}}},
        {.name = "signature without a newline",
         .device = &kVrx3,
         .config = "vrx3\n",
         .files = kVrx3Native,
         .prepare = kernel_sign(""),
         .written = {{"kernel.bin", "xzkernel"}}},
        {.name = "signature of garbage",
         .device = &kVrx3,
         .config = "vrx3\n",
         .files = kVrx3Native,
         .prepare = kernel_sign_text("not a number\n\x01\xff"),
         .untouched = {"xzkernel"},
         .stop = "\nerror: file checksum kernel.bin\n"},
        {.name = "signature with another number before the CRC",
         .prepare = kernel_sign("1 "),
         .untouched = {"kernel", "cache"},
         .stop = "\nerror: file checksum kernel.bin\n"},
        // an empty signature is none: the kernel is not written, the rest is
        {.name = "empty signature",
         .device = &kVrx3,
         .config = "vrx3\n",
         .files = kVrx3Native,
         .prepare = kernel_sign_text(""),
         .written = {{"system.bin", "xzsystem"}, {"var.bin", "xzvar"}},
         .untouched = {"xzkernel"}},
    };
    for (const auto& c : cases) run_case(c);
}

TEST(FlowBadInput, EntriesThatAreNoFilesAndAReadOnlyDirectory) {
    const BadInput cases[] = {
        // named before anything is written
        {.name = "socket where an image is expected",
         .files = {"data.bin", "kernel.bin"},
         .prepare = [](const Package& pkg) { make_socket(pkg.path() / "system.bin"); },
         .untouched = {"cache"},
         .stop = "\nerror: system.bin is a socket\n"},
        {.name = "dangling link where a signature is expected",
         .device = &kVrx3,
         .config = "vrx3\n",
         .files = kVrx3Native,
         .prepare =
             [](const Package& pkg) {
                 std::filesystem::create_symlink("nowhere.sign", pkg.path() / "kernel.sign");
             },
         .untouched = {"xzsystem"},
         .stop = "\nerror: kernel.sign is a dangling link\n"},
        {.name = "directory where the storage marker is expected",
         .device = &kVrx3,
         .config = "vrx3\n",
         .files = kVrx3Native,
         .prepare =
             [](const Package& pkg) {
                 std::filesystem::create_directory(pkg.path() / "ver32g.bin");
             },
         .untouched = {"xzsystem"},
         .stop = "\nerror: ver32g.bin is a directory\n"},
        // root reads any file of its own: it is given one that even root may not read
        {.name = "unreadable file where an image is expected",
         .files = {"data.bin", "kernel.bin", "system.bin"},
         .prepare =
             [](const Package& pkg) {
                 const auto path = pkg.path() / "recovery.bin";
                 if (::geteuid() == 0) {
                     std::filesystem::create_symlink("/proc/sys/vm/compact_memory", path);
                 } else {
                     support::write_file(path.string(), "x");
                     ::chmod(path.c_str(), 0);
                 }
             },
         .untouched = {"cache"},
         .stop = "\nerror: recovery.bin cannot be read (Permission denied)\n"},
        // nothing is written on the host
        {.name = "read-only package directory",
         .prepare = [](const Package& pkg) { ::chmod(pkg.path().c_str(), 0555); },
         .written = kRq3NativeWritten},
    };
    for (const auto& c : cases) run_case(c);
}

TEST(FlowBadInput, StandardInputThatIsNoPlainChoice) {
    const std::vector<std::string> typed = {"1", "-1"};  // read the input, close at once
    const BadInput cases[] = {
        // only the first character of a token counts, however long the token
        {.name = "megabyte-long token",
         .args = typed,
         .input = "1" + std::string(1 << 20, 'x') + "\n",
         .written = kRq3NativeWritten},
        {.name = "megabyte-long token that is no choice",
         .args = typed,
         .input = std::string(1 << 20, '9') + " 1\n",
         .written = kRq3NativeWritten},
        {.name = "NUL bytes",
         .args = typed,
         .input = std::string("\0\0 \0001\n1\n", 8),
         .written = kRq3NativeWritten},
        {.name = "invalid UTF-8",
         .args = typed,
         .input = "\xff\xfe \xc3\x28 1\n",
         .written = kRq3NativeWritten},
    };
    for (const auto& c : cases) run_case(c);
}

}  // namespace
