// Whole runs on a simulated RQ3 device: every menu and choice, typed and unattended, with what
// the device received and what ended up in its partitions; the choice "0", input that ends at
// the menu, an over-long token, a loader older than the device's final loader, a write that the
// device refuses, and packages that cannot be installed.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "check/crc32.h"
#include "e2e/flow_e2e.h"
#include "payload/payload.h"

namespace {

using namespace flow_e2e;

constexpr char kSerial[] = "P00118E2E0001";

// The simulated RQ3 device, with its partitions kept as files under `storage`.
std::vector<std::string> rq3_device(const std::filesystem::path& storage, const char* verflag,
                                    std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--storage", storage.string(), "--device", "rq3",
                                     "--serial",  kSerial,          "--var",    "product=RQ3"};
    args.push_back("--var");
    args.push_back(std::string("verflag=") + verflag);
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

struct Menu {
    std::string headers;
    std::string options;  // option lines and the prompt, as printed again after a rejection
};

// The three RQ3 menus by package class, as users see them.
Menu rq3_menu(int firmware) {
    if (firmware == 0) {
        return {lines({"\n###原生系统升级", "\n###升级过程约10分钟”"}),
                lines({"###1.升级(Upgrade)；", "###0.退出(Exit)。"}) + e2e::gbk("###请选择(0-1):")};
    }
    if (firmware == 1) {
        return {
            lines({"\n###Tessaro系统升级", "\n###第一次安装系统选择：“2.升级&重置”",
                   "\n###升级过程约10分钟”"}),
            lines({"###1.升级(Upgrade)；", "###2.升级&重置(Upgrade&Wipe)；", "###0.退出(Exit)。"}) +
                e2e::gbk("###请选择(0-2):")};
    }
    return {lines({"\n###系统升级", "\n###第一次安装Tessaro系统选择：“2.升级&重置”",
                   "\n###升级过程约10分钟”"}),
            lines({"###1.升级Tessaro(Upgrade Tessaro)；",
                   "###2.升级Tessaro&重置(Upgrade&Wipe Tessaro)；", "###3.恢复原生系统(Pagora)；",
                   "###0.退出(Exit)。"}) +
                e2e::gbk("###请选择(0-3):")};
}

const std::initializer_list<const char*> kNativeFiles = {"data.bin", "recovery.bin", "kernel.bin",
                                                         "system.bin"};
const std::initializer_list<const char*> kSecondFiles = {"userdata.bin", "ekernel.bin",
                                                         "vemkit.bin", "esystem.bin"};

using Write = std::pair<const char*, const char*>;  // partition, package file
const std::vector<Write> kNativeList = {{"cache", "data.bin"},
                                        {"recovery", "recovery.bin"},
                                        {"kernel", "kernel.bin"},
                                        {"system", "system.bin"}};
const std::vector<Write> kWipeList = {{"cache", "userdata.bin"}};
const std::vector<Write> kSecondList = {
    {"kernel", "ekernel.bin"}, {"kernel", "vemkit.bin"}, {"system", "esystem.bin"}};

std::vector<Write> join(const std::vector<Write>& a, const std::vector<Write>& b) {
    std::vector<Write> out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

std::string read_file(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Writes NAME.sign beside NAME.bin with the image's CRC-32.
void sign(const Package& pkg, const std::string& image) {
    std::string bytes = read_file(pkg.path() / image);
    char text[16];
    std::snprintf(text, sizeof text, "%08x\n",
                  GetBufferCRC(bytes.data(), static_cast<uint32_t>(bytes.size())));
    std::ofstream(pkg.path() / (image.substr(0, image.size() - 4) + ".sign")) << text;
}

struct InstallCase {
    const char* name;
    bool native_set, second_set;
    int firmware;  // the menu the package gets
    int dofast;    // 1: unattended; -1: typed (and the closing wait is short)
    std::string input;
    int rejected;  // tokens refused before the choice
    std::string after_prompt;
    std::vector<Write> writes;
    std::vector<const char*> missing = {};       // images left out of the package
    std::vector<const char*> signed_files = {};  // images with a right ".sign" beside them
    std::vector<const char*> empty = {};         // images left empty (0 bytes)
};

TEST(FlowRq3, EveryMenuAndChoiceInstallsItsList) {
    const std::vector<Write> kNoRecovery = {
        {"cache", "data.bin"}, {"kernel", "kernel.bin"}, {"system", "system.bin"}};
    const std::vector<const char*> kRecovery = {"recovery.bin"}, kNone;
    const InstallCase cases[] = {
        {"native, typed 1", true, false, 0, -1, "1\n", 0, "", kNativeList},
        {"native, unattended", true, false, 0, 1, "", 0, "1\n", kNativeList},
        {"second, typed 1", false, true, 1, -1, "1\n", 0, "", kSecondList},
        {"second, typed 2", false, true, 1, -1, "2\n", 0, "", join(kWipeList, kSecondList)},
        {"second, unattended", false, true, 1, 1, "", 0, "2\n", join(kWipeList, kSecondList)},
        {"both, typed 1", true, true, 2, -1, "1\n", 0, "", kSecondList},
        {"both, typed 2", true, true, 2, -1, "2\n", 0, "", join(kWipeList, kSecondList)},
        {"both, typed 3", true, true, 2, -1, "3\n", 0, "", kNativeList},
        {"both, unattended", true, true, 2, 1, "", 0, "2\n", join(kWipeList, kSecondList)},
        // a rejected token prints the options and the prompt again, never the headers
        {"both, typed 9 then 3x", true, true, 2, -1, "9\n3x\n", 1, "", kNativeList},
        {"native, typed -1 a 1", true, false, 0, -1, "-1 a 1\n", 2, "", kNativeList},
        // an over-long token is one rejected choice, not many
        {"native, long token", true, false, 0, -1, std::string(3000, '8') + " 1\n", 1, "",
         kNativeList},
        // a missing image is skipped and the list goes on, and so is an empty one
        {"both, typed 3, no recovery.bin", true, true, 2, -1, "3\n", 0, "", kNoRecovery, kRecovery},
        {"both, typed 3, recovery.bin empty", true, true, 2, -1, "3\n", 0, "", kNoRecovery, kNone,
         kNone, kRecovery},
        // a right signature file lets its image through
        {"both, typed 3, kernel signed",
         true,
         true,
         2,
         -1,
         "3\n",
         0,
         "",
         kNativeList,
         {},
         {"kernel.bin"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Package pkg;
        pkg.config("pagora8\n");
        if (c.native_set) pkg.files(kNativeFiles);
        if (c.second_set) pkg.files(kSecondFiles);
        for (const char* m : c.missing) std::filesystem::remove(pkg.path() / m);
        for (const char* f : c.signed_files) sign(pkg, f);
        for (const char* e : c.empty) std::ofstream(pkg.path() / e, std::ios::trunc);
        support::TempDir storage;
        support::Devsim dev(rq3_device(storage.path(), "Z05"));

        auto r = run(dev, pkg, {"1", std::to_string(c.dofast)}, c.input);

        Menu menu = rq3_menu(c.firmware);
        std::string out =
            argument_lines(1, c.dofast) + "\n###Ver:Z05\n" + kBanner + menu.headers + menu.options;
        for (int i = 0; i < c.rejected; ++i) out += menu.options;
        out += c.after_prompt;
        std::vector<std::string> commands = {"getvar:product", "getvar:serialno", "getvar:verflag"};
        for (const auto& [partition, file] : c.writes) {
            out += std::string("\n###Downloading:") + partition + "\n" + bar(0) + bar(100);
            auto more = flash_commands(partition, pkg.size_of(file));
            commands.insert(commands.end(), more.begin(), more.end());
        }
        out += bar(100) + e2e::gbk("\n###完成！\n") + e2e::gbk("\n###系统重启...");
        commands.push_back("reboot");

        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, out);
        EXPECT_EQ(r.err, "\n");  // the reboot step's line
        EXPECT_EQ(dev.commands(), commands);
        // each partition holds the last file written to it (vemkit.bin over ekernel.bin)
        for (const auto& [partition, file] : c.writes) {
            std::string last;
            for (const auto& [p, f] : c.writes)
                if (std::string(p) == partition) last = f;
            EXPECT_EQ(read_file(storage.path() / "rq3" / partition), read_file(pkg.path() / last))
                << partition;
        }
    }
}

TEST(FlowRq3, PackageThatCannotBeInstalledNeverEndsAsDone) {
    const std::vector<std::string> queries = {"getvar:product", "getvar:serialno",
                                              "getvar:verflag"};
    enum Fault { kHuge, kDirectory, kToZero, kFifo, kBadSign, kNone };
    struct Case {
        std::initializer_list<const char*> files;
        const char* target;  // the file the fault is made of
        Fault fault;
        std::string input;  // empty: unattended
        std::string err;
        std::vector<std::string> commands;
    };
    const Case cases[] = {
        // refused before the files ahead of it in the list are written
        {kNativeFiles, "system.bin", kHuge, "", "\nerror: downloading system.bin\n", queries},
        {kSecondFiles, "vemkit.bin", kDirectory, "", "\nerror: vemkit.bin is a directory\n",
         queries},
        {{"system.bin", "kernel.bin", "ekernel.bin"},
         "esystem.bin",
         kToZero,
         "",
         "\nerror: esystem.bin is a device\n",
         queries},
        {{},
         "",
         kNone,
         "",
         "\nerror: the package holds none of the files this choice installs\n",
         queries},
        {kNativeFiles, "kernel.sign", kBadSign, "", "\nerror: file checksum kernel.bin\n", queries},
        {kSecondFiles, "vemkit.sign", kBadSign, "2\n", "\nerror: file checksum vemkit.bin\n",
         queries},
        {{},
         "config.bin",
         kFifo,
         "",
         "\nerror: config.bin is a FIFO\n",
         {"getvar:product", "getvar:serialno"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.err.substr(1));
        Package pkg;
        pkg.config("pagora8\n").files(c.files);
        const auto target = pkg.path() / c.target;
        if (c.fault != kHuge && c.fault != kNone) std::filesystem::remove(target);
        switch (c.fault) {
            case kHuge:  // sparse: nothing is written to make it
                ASSERT_EQ(::truncate(target.c_str(), 3LL << 30), 0);
                break;
            case kDirectory:
                std::filesystem::create_directory(target);
                break;
            case kToZero:
                std::filesystem::create_symlink("/dev/zero", target);
                break;
            case kFifo:
                ASSERT_EQ(::mkfifo(target.c_str(), 0644), 0);
                break;
            case kBadSign:
                std::ofstream(target) << "00000000\n";
                break;
            case kNone:
                break;
        }
        support::TempDir storage;
        support::Devsim dev(rq3_device(storage.path(), "Z05"));

        auto r = run(dev, pkg, {"1", c.input.empty() ? "1" : "-1"}, c.input);

        // no success line, and the error line with the error exit (or the refusal)
        const std::string ending = c.fault == kFifo
                                       ? lines({"###固件错误(Device Not Match)!", "###退出(Exit)!"})
                                       : kDownloadingError + kAllDone;
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.out.find(e2e::gbk("完成")), std::string::npos) << r.out;
        ASSERT_GE(r.out.size(), ending.size());
        EXPECT_EQ(r.out.substr(r.out.size() - ending.size()), ending);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(dev.commands(), c.commands);  // never a reboot
    }
}

TEST(FlowRq3, ChoiceZeroAndEndedInputLeaveThroughTheRebootExit) {
    struct Case {
        const char* name;
        int doreboot;
        std::string input;
    };
    const Case cases[] = {
        {"typed 0", 1, "0\n"},
        {"input ends", 1, ""},
        {"input ends after a rejected token", 1, "7"},
        {"typed 0, no reboot asked", 0, "0\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Package pkg;
        pkg.config("pagora8\n").files(kNativeFiles).files(kSecondFiles);
        support::TempDir storage;
        support::Devsim dev(rq3_device(storage.path(), "Z05"));

        auto r = run(dev, pkg, {std::to_string(c.doreboot), "-1"}, c.input);

        Menu menu = rq3_menu(2);
        std::string out = argument_lines(c.doreboot, -1) + "\n###Ver:Z05\n" + kBanner +
                          menu.headers + menu.options;
        if (c.input == "7") out += menu.options;
        expect_reboot_exit(r, dev, c.doreboot, out,
                           {"getvar:product", "getvar:serialno", "getvar:verflag"});
    }
}

TEST(FlowRq3, OlderLoaderGetsQuesselBeforeTheMenu) {
    // the device recognises the image it is given and runs it from the closing reboot on
    const std::string quessel(reinterpret_cast<const char*>(loader_quessel), loader_quessel_size);
    for (const char* verflag : {"Z04", "", "Y99"}) {
        SCOPED_TRACE(std::string("verflag '") + verflag + "'");
        Package pkg;
        pkg.config("pagora8\n").files(kNativeFiles);
        support::TempDir storage;
        support::Devsim dev(rq3_device(storage.path(), verflag));

        auto r = run(dev, pkg, {"1", "-1"}, "0\n");

        Menu menu = rq3_menu(0);
        EXPECT_EQ(r.out, argument_lines(1, -1) + "\n###Ver:" + verflag + "\n" + kBanner +
                             menu.headers + menu.options + bar(100) +
                             e2e::gbk("\n###完成！Rebooting!\n") + kAllDone);
        EXPECT_EQ(r.err, "\n") << "the reboot's line only";
        // an empty answer counts as an old loader once the device has given it twice
        std::vector<std::string> queries = {"getvar:product", "getvar:serialno", "getvar:verflag"};
        if (*verflag == '\0') queries.push_back("getvar:verflag");
        EXPECT_EQ(dev.commands(),
                  concat({queries, {"download:00033000", "flash:bootloader", "reboot"}}));
        EXPECT_EQ(read_file(storage.path() / "rq3" / "bootloader"), quessel);
        auto t = dev.transcript();
        EXPECT_NE(std::find(t.begin(), t.end(),
                            R"({"dev":"rq3","ev":"loader","image":"loader_quessel"})"),
                  t.end());
    }
}

TEST(FlowRq3, NewerLoaderGoesOnToTheMenu) {
    Package pkg;
    pkg.config("pagora8 build 7\n").files(kNativeFiles);
    support::TempDir storage;
    support::Devsim dev(rq3_device(storage.path(), "Z10"));

    auto r = run(dev, pkg, {"1", "-1"}, "0\n");

    Menu menu = rq3_menu(0);
    EXPECT_EQ(r.out, argument_lines(1, -1) + "\n###Ver:Z10\n" + kBanner + menu.headers +
                         menu.options + bar(100) + e2e::gbk("\n###完成！Rebooting!\n") + kAllDone);
}

// A wrapper program reads the menu from a pipe before it answers: each prompt must reach it
// while the installer waits for the answer, a choice it does not take (9) and the menu shown again
// included. The bytes are those of a run whose input was there from the start.
TEST(FlowRq3, WrapperOnPipesSeesEachPromptBeforeItAnswers) {
    Package pkg;
    pkg.config("pagora8\n").files(kNativeFiles);
    support::TempDir storage;
    support::Devsim dev(rq3_device(storage.path(), "Z10"));
    Menu menu = rq3_menu(0);
    const std::string prompt = e2e::gbk("###请选择(0-1):");

    e2e::RunOptions o;
    o.args = {"1", "-1"};
    o.cwd = pkg.path();
    o.devsim = &dev;
    o.replies = {{prompt, "9\n"}, {prompt, "0\n"}};
    o.timeout = std::chrono::seconds(20);
    auto r = e2e::run_installer(o);

    EXPECT_FALSE(r.timed_out) << r.out;
    EXPECT_EQ(r.out, argument_lines(1, -1) + "\n###Ver:Z10\n" + kBanner + menu.headers +
                         menu.options + menu.options + bar(100) +
                         e2e::gbk("\n###完成！Rebooting!\n") + kAllDone);
}

TEST(FlowRq3, RefusedWriteStopsTheListAndEndsWithTheErrorExit) {
    Package pkg;
    pkg.config("pagora8\n").files(kNativeFiles).files(kSecondFiles);
    support::TempDir storage;
    support::Devsim dev(rq3_device(storage.path(), "Z05", {"--fault", "flash:system=fail:denied"}));

    auto r = run(dev, pkg, {"1", "1"});

    Menu menu = rq3_menu(2);
    std::string out =
        argument_lines(1, 1) + "\n###Ver:Z05\n" + kBanner + menu.headers + menu.options + "2\n";
    std::vector<std::string> commands = {"getvar:product", "getvar:serialno", "getvar:verflag"};
    for (const auto& [partition, file] : join(kWipeList, kSecondList)) {
        out += std::string("\n###Downloading:") + partition + "\n" + bar(0) + bar(100);
        auto more = flash_commands(partition, pkg.size_of(file));
        commands.insert(commands.end(), more.begin(), more.end());
    }
    // never "完成", and the device is not rebooted
    out += kDownloadingError + kAllDone;
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, "FAILED (remote: denied)\n\nerror: downloading esystem.bin\n");
    EXPECT_EQ(dev.commands(), commands);
}

TEST(FlowRq3, RefusedWriteInTheMiddleSkipsTheRestOfTheList) {
    Package pkg;
    pkg.config("pagora8\n").files(kNativeFiles);
    support::TempDir storage;
    support::Devsim dev(rq3_device(storage.path(), "Z05", {"--fault", "flash:recovery=fail"}));

    auto r = run(dev, pkg, {"0", "1"});

    auto commands = concat({{"getvar:product", "getvar:serialno", "getvar:verflag"},
                            flash_commands("cache", pkg.size_of("data.bin")),
                            flash_commands("recovery", pkg.size_of("recovery.bin"))});
    EXPECT_EQ(dev.commands(), commands);
    EXPECT_NE(r.err.find("\nerror: downloading recovery.bin\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.substr(r.out.size() - (kDownloadingError + kAllDone).size()),
              kDownloadingError + kAllDone);
}

}  // namespace
