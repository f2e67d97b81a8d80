// Runs on devices of the other families, end to end: the current-system banner for each
// "systype" answer, the menu for each package class, typed and automatic choices and the plan
// they set. The devices report a loader version the loader chain cannot start from, so the run
// ends at the loader stage, before anything is written, through the error exit without rebooting
// the device (or, when the plan would write no file of the package, right after the menu).
#include "e2e/flow_e2e.h"

namespace {

using namespace flow_e2e;

const std::vector<std::string> kQueries = {"getvar:product", "getvar:serialno", "getvar:systype"};

std::vector<std::string> vrx2_device(const std::string& systype) {
    return {"--device",     "v",     "--serial",           "02A0001", "--var",
            "product=VRX2", "--var", "systype=" + systype, "--var",   "verflag=8.5"};
}

// where the loader stage ends such a run
const std::string kLoaderOut = kBanner + "\n###Ver:8.5\n";
const std::string kLoaderErr = "###verflag:8.5\n";
// where a plan that writes no package file ends
const std::string kNothingToWrite =
    "\nerror: the package holds none of the files this choice installs\n";
const std::vector<std::string> kLoaderQueries = {
    "getvar:product", "getvar:serialno", "getvar:systype", "getvar:verflag", "getvar:verflag"};

// Option lines and prompt of the three menus, by package class.
std::string family_options(int firmware) {
    if (firmware == 0)
        return lines({"###1.升级(Upgrade)；", "###0.退出(Exit)。"}) + e2e::gbk("###请选择(0-1):");
    std::string out = lines({"###1.升级Tessaro(Upgrade)；", "###2.升级Tessaro&重置(Upgrade&Wipe)；",
                             "###3.转换为Tessaro系统(Tessaro)；"});
    if (firmware == 2) out += lines({"###4.转换为原始系统(Pagora)；"});
    return out + lines({"###0.退出(Exit)。"}) +
           e2e::gbk(firmware == 2 ? "###请选择(0-4):" : "###请选择(0-3):");
}

std::string current_system(const char* name) {
    return kBanner + e2e::gbk("\n###Tessaro系统升级，当前系统：") + e2e::gbk(name) + "\n";
}

struct PlanCase {
    const char* name;
    std::vector<const char*> files;
    std::string systype;
    const char* current;  // the name the banner shows
    int firmware;         // the menu the package gets
    int dofast;
    std::string input;
    int rejected;
    const char* automatic;  // printed after the prompt when unattended
    int sys_new, wipe;
    bool empty_plan = false;  // the plan writes no file of the package: the run stops there
};

TEST(FlowFamily, MenusSetThePlanForEachPackageAndCurrentSystem) {
    const PlanCase cases[] = {
        {"native package, unattended",
         {"system.bin", "kernel.bin"},
         "sing",
         "原生系统",
         0,
         1,
         "",
         0,
         "1\n",
         0,
         0},
        {"native package, empty systype, typed 1",
         {"system.bin", "kernel.bin"},
         "",
         "原生系统",
         0,
         -1,
         "1\n",
         0,
         "",
         0,
         0},
        {"esystem alone is no set",
         {"esystem.bin"},
         "tess",
         "Tessaro系统",
         0,
         -1,
         "3 1\n",
         1,
         "",
         0,
         0,
         true},
        {"second set, native device, unattended",
         {"esystem.bin", "vemkit.bin"},
         "sing",
         "原生系统",
         1,
         1,
         "",
         0,
         "3\n",
         1,
         1},
        {"edata alone, second-system device, typed 1",
         {"edata.bin"},
         "tess",
         "Tessaro系统",
         1,
         -1,
         "1\n",
         0,
         "",
         1,
         0},
        {"second set, dual device, typed 2",
         {"esystem.bin", "ekernel.bin"},
         "dualboot",
         "双系统",
         1,
         -1,
         "2\n",
         0,
         "",
         2,
         1},
        {"second set, native device, typed 1",
         {"esystem.bin", "vemkit.bin"},
         "",
         "原生系统",
         1,
         -1,
         "1\n",
         0,
         "",
         1,
         1},
        {"second set refuses 4 and 5",
         {"esystem.bin", "vemkit.bin"},
         "tess",
         "Tessaro系统",
         1,
         -1,
         "4 5 3\n",
         2,
         "",
         1,
         1},
        {"both sets, dofast 2",
         {"system.bin", "kernel.bin", "esystem.bin", "vemkit.bin"},
         "dual",
         "双系统",
         2,
         2,
         "",
         0,
         "5\n",
         2,
         1},
        {"both sets, dofast 1",
         {"system.bin", "kernel.bin", "esystem.bin", "vemkit.bin"},
         "sing",
         "原生系统",
         2,
         1,
         "",
         0,
         "3\n",
         1,
         1},
        {"both sets, dual device, typed 4",
         {"system.bin", "kernel.bin", "edata.bin"},
         "dual",
         "双系统",
         2,
         -1,
         "4\n",
         0,
         "",
         0,
         0},
        {"both sets, typed hidden 5",
         {"system.bin", "kernel.bin", "edata.bin"},
         "tessaro",
         "Tessaro系统",
         2,
         -1,
         "5\n",
         0,
         "",
         2,
         1},
        {"both sets, over-long token then 2",
         {"system.bin", "kernel.bin", "edata.bin"},
         "tess",
         "Tessaro系统",
         2,
         -1,
         std::string(2000, '9') + "\n2\n",
         1,
         "",
         1,
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Package pkg;
        pkg.config("vrx2\n");
        for (const char* f : c.files) pkg.file(f);
        support::Devsim dev(vrx2_device(c.systype));

        // doreboot 1: the error exit must not reboot all the same
        auto r = run(dev, pkg, {"1", std::to_string(c.dofast)}, c.input);

        std::string out = argument_lines(1, c.dofast) + current_system(c.current);
        for (int i = 0; i <= c.rejected; ++i) out += family_options(c.firmware);
        out += std::string(c.automatic) + (c.empty_plan ? "" : kLoaderOut) + kDownloadingError +
               kAllDone;
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, out);
        EXPECT_EQ(r.err, unsigned_lines(c.files) + (c.empty_plan ? kNothingToWrite : kLoaderErr));
        EXPECT_EQ(dev.commands(), c.empty_plan ? kQueries : kLoaderQueries);
    }
}

TEST(FlowFamily, EmptySystemImageDoesNotCountAsPresent) {
    // system.bin of 0 bytes: the native set is incomplete, so the second-system menu shows;
    // on a dual device its "1" keeps the device dual
    Package pkg;
    pkg.config("vrx2\n").file("system.bin", 0).files({"kernel.bin", "esystem.bin", "vemkit.bin"});
    support::Devsim dev(vrx2_device("dual"));
    auto r = run(dev, pkg, {"0", "-1"}, "1\n");
    EXPECT_EQ(r.out, argument_lines(0, -1) + current_system("双系统") + family_options(1) +
                         kLoaderOut + kDownloadingError + kAllDone);
    EXPECT_EQ(r.err, unsigned_lines({"kernel.bin", "vemkit.bin"}) + kLoaderErr);
}

// A signed image without its signature is named before the menu; a plan that would write no
// package file at all stops there, before anything is sent beyond the queries.
TEST(FlowFamily, UnsignedImagesAreNamedAndAnEmptyPlanStopsBeforeAnyWrite) {
    const std::string& none = kNothingToWrite;
    const std::string unsigned_kernel = unsigned_lines({"kernel.bin"});
    const struct {
        const char* name;
        std::vector<const char*> files;
        std::string err;
        bool empty_plan;
    } cases[] = {
        {"config.bin alone", {}, none, true},
        {"kernel without signature alone", {"kernel.bin"}, unsigned_kernel + none, true},
        {"kernel without signature beside the system",
         {"system.bin", "kernel.bin"},
         unsigned_kernel + kLoaderErr,
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Package pkg;
        pkg.config("vrx2\n");
        for (const char* f : c.files) pkg.file(f);
        support::Devsim dev(vrx2_device("sing"));
        auto r = run(dev, pkg, {"1", "1"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, argument_lines(1, 1) + current_system("原生系统") + family_options(0) +
                             "1\n" + (c.empty_plan ? "" : kLoaderOut) + kDownloadingError +
                             kAllDone);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(dev.commands(), c.empty_plan ? kQueries : kLoaderQueries);
    }
}

TEST(FlowFamily, ChoiceZeroAndEndedInputLeaveThroughTheRebootExit) {
    struct Case {
        const char* name;
        int doreboot;
        std::string input;
        int rejected;
    };
    const Case cases[] = {
        {"typed 0", 1, "0\n", 0},
        {"input ends", 1, "", 0},
        {"input ends after rejected tokens", 1, "8 x", 2},
        {"typed 0, no reboot asked", 0, "  0", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Package pkg;
        // the kernel with its signature, so that nothing is named before the menu
        pkg.config("vrx2\n").files({"system.bin", "kernel.bin", "kernel.sign", "edata.bin"});
        support::Devsim dev(vrx2_device("sing"));

        auto r = run(dev, pkg, {std::to_string(c.doreboot), "-1"}, c.input);

        std::string out = argument_lines(c.doreboot, -1) + current_system("原生系统");
        for (int i = 0; i <= c.rejected; ++i) out += family_options(2);
        expect_reboot_exit(r, dev, c.doreboot, out, kQueries);
    }
}

TEST(FlowFamily, WithoutArgumentsAWipingPlanClosesWithTheResetLineAfterAMinute) {
    // the default run: no argument lines, the menu is asked, and the closing wait is 60 s
    Package pkg;
    pkg.config("vrx2\n").files({"esystem.bin", "vemkit.bin"});
    support::Devsim dev(vrx2_device("sing"));
    e2e::RunOptions o;
    o.input = "2\n";
    o.cwd = pkg.path();
    o.devsim = &dev;
    o.timeout = std::chrono::seconds(120);

    auto started = std::chrono::steady_clock::now();
    auto r = e2e::run_installer(o);
    auto took = std::chrono::steady_clock::now() - started;

    EXPECT_EQ(r.status, 0);
    // the failed install leaves the device unrebooted whatever doreboot says, and the closing
    // line follows the wipe of the chosen plan
    EXPECT_EQ(r.out, current_system("原生系统") + family_options(1) + kLoaderOut +
                         kDownloadingError + e2e::gbk("\n###系统重置...") + kAllDone);
    EXPECT_EQ(r.err, unsigned_lines({"vemkit.bin"}) + kLoaderErr);
    EXPECT_EQ(dev.commands(), kLoaderQueries);
    EXPECT_GE(took, std::chrono::seconds(60));
}

}  // namespace
