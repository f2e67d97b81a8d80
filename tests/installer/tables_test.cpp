// The installer's decisions held as tables (the model table's install columns, the loader chain,
// the package plan): walked here for what must hold of any row, never restated.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

#include "installer/boardtype/boardtype.h"
#include "installer/boardtype/model_table.h"
#include "installer/stages/file_plan.h"
#include "installer/stages/loader_chain.h"
#include "installer/steps/package.h"
#include "installer/steps/steps.h"
#include "payload/payload.h"

namespace {

bool is_package_name(std::string_view name) {
    const auto names = package_names();
    return std::any_of(names.begin(), names.end(), [&](const char* n) { return name == n; });
}

bool image_of_kind(const std::string& name, payload_kind kind) {
    const payload_image* image = payload_find(name);
    return image != nullptr && image->kind == kind;
}

TEST(ModelTable, EveryRowNamesWhatTheBuildCarries) {
    for (const board_model& row : board_rows()) {
        const model_install in = row_install(row);
        SCOPED_TRACE(std::string(row.prefixes.front()));
        EXPECT_TRUE(image_of_kind("mbr" + std::string(in.layout), payload_kind::main_table));
        EXPECT_TRUE(image_of_kind("embr" + std::string(in.layout), payload_kind::extended_table));
        EXPECT_TRUE(image_of_kind(std::string(in.final_loader), payload_kind::final_loader));
        EXPECT_TRUE(is_package_name(in.data_file));
        if (!in.variant.label.empty()) {
            EXPECT_TRUE(is_package_name(in.variant.marker));
        }
    }
}

// Every code gets a whole set of columns: its storage variant's row's where that row sets them,
// else its model's row's, else the defaults. A column set on a model's row is never dropped
// because a variant's row matches too.
TEST(ModelTable, EveryCodeGetsItsModelsColumnsUnlessItsVariantSetsThem) {
    const model_install defaults{};
    for (const board_model& row : board_rows()) {
        for (std::string_view code : row.prefixes) {
            SCOPED_TRACE(std::string(code));
            BOARD_TYPE_SET(code.data(), static_cast<int>(code.size()));
            const board_model* model = nullptr;
            const board_model* variant = nullptr;
            for (const board_model& r : board_rows()) {
                if (board_id_matches(r) == 0) continue;
                (r.name.empty() ? variant : model) = &r;
            }
            ASSERT_NE(model, nullptr);
            const model_install got = board_install();
            const auto pick = [&](auto column, auto fallback) {
                if (variant != nullptr && (variant->install.*column)) {
                    return *(variant->install.*column);
                }
                return (model->install.*column).value_or(fallback);
            };
            EXPECT_EQ(got.layout, pick(&install_columns::layout, defaults.layout));
            EXPECT_EQ(got.embr_base, pick(&install_columns::embr_base, defaults.embr_base));
            EXPECT_EQ(got.final_loader,
                      pick(&install_columns::final_loader, defaults.final_loader));
            EXPECT_EQ(got.data_file, pick(&install_columns::data_file, defaults.data_file));
            EXPECT_EQ(got.bios, pick(&install_columns::bios, defaults.bios));
            EXPECT_EQ(got.chain_skip, pick(&install_columns::chain_skip, defaults.chain_skip));
            EXPECT_EQ(got.bad_prod, pick(&install_columns::bad_prod, defaults.bad_prod));
            EXPECT_EQ(got.variant.label, pick(&install_columns::variant, defaults.variant).label);
        }
    }
}

TEST(LoaderChain, WindowsFollowEachOtherAndEachStagesBoundLiesInItsOwn) {
    const auto& chain = kChain;
    ASSERT_GE(std::size(chain), 2u);
    EXPECT_EQ(chain[0].refuse_below, nullptr);      // the first window takes any older loader
    EXPECT_EQ(std::end(chain)[-1].image, nullptr);  // the last is the final loader's turn
    for (size_t i = 0; i + 1 < std::size(chain); ++i) {
        const chain_stage& s = chain[i];
        const chain_stage& next = chain[i + 1];
        SCOPED_TRACE(s.image);
        ASSERT_NE(s.image, nullptr);
        EXPECT_TRUE(image_of_kind(s.image, payload_kind::staged_loader));
        EXPECT_GT(s.restart_seconds, 0);
        if (s.refuse_below != nullptr) {
            EXPECT_LT(version_cmp(s.refuse_below, next.refuse_below), 0);
            EXPECT_LE(version_cmp(s.refuse_below, s.install_upto), 0);
        }
        // what a stage installs for ends where the next window begins, never inside it
        const int end = version_cmp(s.install_upto, next.refuse_below);
        EXPECT_TRUE(end < 0 || (end == 0 && !s.upto_inclusive));
    }
}

TEST(FilePlan, BothSystemsAreTheTwoPlansAndNoTargetWritesAPartitionTwice) {
    for (int target = 0; target < 3; ++target) {
        std::set<std::string> written;
        for (const plan_file& row : kFilePlan) {
            SCOPED_TRACE(row.label);
            if (target == 2) {
                // both systems take every file of either one
                EXPECT_EQ(row.partition[2] != nullptr,
                          row.partition[0] != nullptr || row.partition[1] != nullptr);
            }
            if (row.file != nullptr) {
                EXPECT_TRUE(is_package_name(row.file));
            }
            if (row.sign != nullptr) {
                EXPECT_TRUE(is_package_name(row.sign));
            }
            EXPECT_TRUE(row.check == plan_check::none || row.sign != nullptr);
            if (row.partition[target] == nullptr) continue;
            EXPECT_TRUE(written.insert(row.partition[target]).second) << row.partition[target];
        }
        EXPECT_FALSE(written.empty()) << "target " << target;
    }
}

}  // namespace
