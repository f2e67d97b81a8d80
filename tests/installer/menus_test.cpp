// The install menus in-process: reading a choice, the plans of the other families for every
// menu, choice and current system, the automatic choices, and what is printed again on a
// rejected choice. The RQ3 lists write to a device and are covered end to end.
#include "installer/stages/menus.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "base/unique_file.h"
#include "console/console.h"
#include "installer/steps/run.h"
#include "installer/steps/texts.h"

namespace {

// the run the stages under test are given
InstallRun run;

using base::unique_file;

// An input stream holding exactly `text` (fmemopen cannot take an empty buffer).
unique_file input(const std::string& text) {
    FILE* f = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), f);
    std::rewind(f);
    return unique_file(f);
}

class MenuTest : public testing::Test {
  protected:
    void SetUp() override {
        console_set_encoding(ConsoleEncoding::Utf8);
        run.dofast = 0;
        run.sys_type = 0;
        run.sys_new = -1;
        run.wipe = -1;
    }
    void TearDown() override { console_set_encoding(ConsoleEncoding::Gbk); }

    // Runs the family menu on `typed` and gives what it printed.
    std::string family(int firmware, const std::string& typed, MenuOutcome* outcome) {
        auto in = input(typed);
        testing::internal::CaptureStdout();
        *outcome = family_menu(run, firmware, in.get());
        std::fflush(stdout);
        return testing::internal::GetCapturedStdout();
    }
};

TEST(ReadChoice, FirstCharacterOfEachToken) {
    struct Case {
        std::string input;
        std::string choices;  // what successive reads give
    };
    const std::string long_token(5000, '7');
    const Case cases[] = {
        {"1\n", "10"},
        {"   \t\n 2 ", "20"},
        {"12abc 3\n", "130"},
        {"-1 x9 ", "-x0"},
        {"", "00"},
        {" \n\t ", "0"},
        // an over-long token is consumed whole: its tail does not come back as more choices
        {long_token + " 2\n", "720"},
        {long_token, "70"},
    };
    for (const auto& c : cases) {
        auto in = input(c.input);
        std::string got;
        for (size_t i = 0; i < c.choices.size(); ++i) got += read_choice(in.get());
        EXPECT_EQ(got, c.choices) << "input of " << c.input.size() << " bytes";
    }
}

TEST_F(MenuTest, FamilyPlansForEveryMenuChoiceAndCurrentSystem) {
    struct Case {
        int firmware;
        int current;
        const char* typed;
        MenuOutcome outcome;
        int sys_new;  // -1: left as it was
        int wipe;
    };
    const Case cases[] = {
        {0, 0, "1", MenuOutcome::Done, 0, 0},
        {0, 2, "1", MenuOutcome::Done, 0, 0},
        {0, 1, "0", MenuOutcome::Exit, -1, 0},
        // menu 0 has no 2 to 5: rejected, then the next token decides
        {0, 0, "2 3 4 5 1", MenuOutcome::Done, 0, 0},
        {1, 0, "1", MenuOutcome::Done, 1, 1},
        {1, 1, "1", MenuOutcome::Done, 1, 0},
        {1, 2, "1", MenuOutcome::Done, 2, 0},
        {1, 0, "2", MenuOutcome::Done, 1, 1},
        {1, 1, "2", MenuOutcome::Done, 1, 1},
        {1, 2, "2", MenuOutcome::Done, 2, 1},
        {1, 2, "3", MenuOutcome::Done, 1, 1},
        {1, 0, "4 5 0", MenuOutcome::Exit, -1, 0},
        {2, 0, "1", MenuOutcome::Done, 1, 1},
        {2, 1, "1", MenuOutcome::Done, 1, 0},
        {2, 2, "1", MenuOutcome::Done, 2, 0},
        {2, 0, "2", MenuOutcome::Done, 1, 1},
        {2, 2, "2", MenuOutcome::Done, 2, 1},
        {2, 0, "3", MenuOutcome::Done, 1, 1},
        {2, 2, "4", MenuOutcome::Done, 0, 0},
        {2, 1, "5", MenuOutcome::Done, 2, 1},
        {2, 0, "6 9 0", MenuOutcome::Exit, -1, 0},
        {2, 0, "", MenuOutcome::Exit, -1, 0},
        {1, 2, "a\n", MenuOutcome::Exit, -1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "menu " << c.firmware << ", system " << c.current
                                        << ", typed \"" << c.typed << "\"");
        run.sys_type = c.current;
        run.sys_new = -1;
        run.wipe = 1;  // the "0" choice must clear a wipe flag
        MenuOutcome outcome;
        family(c.firmware, c.typed, &outcome);
        EXPECT_EQ(outcome, c.outcome);
        EXPECT_EQ(run.sys_new, c.sys_new);
        EXPECT_EQ(run.wipe, c.wipe);
    }
}

TEST_F(MenuTest, AutomaticChoices) {
    struct Case {
        int firmware;
        int fast;
        std::string printed;  // after the prompt
        int sys_new, wipe;
    };
    const Case cases[] = {
        {0, 1, "1\n", 0, 0}, {1, 1, "3\n", 1, 1}, {1, 7, "3\n", 1, 1},
        {2, 1, "3\n", 1, 1}, {2, 2, "5\n", 2, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "menu " << c.firmware << ", dofast " << c.fast);
        run.dofast = c.fast;
        run.sys_type = 2;
        MenuOutcome outcome;
        // no input is read: "0" waiting on the input must not be taken
        std::string out = family(c.firmware, "0\n", &outcome);
        EXPECT_EQ(outcome, MenuOutcome::Done);
        EXPECT_EQ(out.substr(out.size() - c.printed.size()), c.printed);
        EXPECT_EQ(run.sys_new, c.sys_new);
        EXPECT_EQ(run.wipe, c.wipe);
    }
}

TEST_F(MenuTest, NegativeDofastReadsTheInput) {
    run.dofast = -1;
    run.sys_type = 0;
    MenuOutcome outcome;
    family(2, "4\n", &outcome);
    EXPECT_EQ(outcome, MenuOutcome::Done);
    EXPECT_EQ(run.sys_new, 0);
    EXPECT_EQ(run.wipe, 0);
}

TEST_F(MenuTest, RejectedChoiceReprintsOptionsAndPromptOnly) {
    MenuOutcome outcome;
    std::string out = family(2, "9 1x\n", &outcome);
    const std::string options = std::string(txt::opt_upgrade_second) + "\n" +
                                txt::opt_upgrade_wipe_second + "\n" + txt::opt_convert_second +
                                "\n" + txt::opt_convert_native + "\n" + txt::opt_exit + "\n" +
                                txt::prompt_0_4;
    EXPECT_EQ(out, options + options);
    EXPECT_EQ(outcome, MenuOutcome::Done);
}

TEST_F(MenuTest, Rq3MenusPrintHeadersAndLeaveOnZero) {
    struct Case {
        int firmware;
        std::string expected;
    };
    const Case cases[] = {
        {0, std::string(txt::head_native_upgrade) + "\n" + txt::head_ten_minutes + "\n" +
                txt::opt_upgrade + "\n" + txt::opt_exit + "\n" + txt::prompt_0_1},
        {1, std::string(txt::head_second_upgrade) + "\n" + txt::head_first_install + "\n" +
                txt::head_ten_minutes + "\n" + txt::opt_upgrade + "\n" + txt::opt_upgrade_wipe +
                "\n" + txt::opt_exit + "\n" + txt::prompt_0_2},
        {2, std::string(txt::head_upgrade) + "\n" + txt::head_first_install_second + "\n" +
                txt::head_ten_minutes + "\n" + txt::opt_rq3_upgrade_second + "\n" +
                txt::opt_rq3_upgrade_wipe_second + "\n" + txt::opt_restore_native + "\n" +
                txt::opt_exit + "\n" + txt::prompt_0_3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "RQ3 menu " << c.firmware);
        // the input ends at the menu: that is the "0" choice, so nothing is written
        auto in = input("");
        testing::internal::CaptureStdout();
        MenuOutcome outcome = rq3_menu(run, c.firmware, in.get());
        std::fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.expected);
        EXPECT_EQ(outcome, MenuOutcome::Exit);
        EXPECT_EQ(run.wipe, 0);
    }
}

}  // namespace
