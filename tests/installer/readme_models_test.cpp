// The users' table of models (docs/usage.md) against the installer's own model table: a model
// added, renamed or given another board-id prefix or config.bin name shows here until the doc
// says so too.
#include <gtest/gtest.h>

#include <fstream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "installer/boardtype/model_table.h"

namespace {

std::string code_list(std::span<const std::string_view> words) {
    std::string out;
    for (std::string_view w : words) {
        if (!out.empty()) out += ", ";
        out += "`" + std::string(w) + "`";
    }
    return out;
}

// The rows between the doc's two model markers.
std::vector<std::string> readme_model_rows() {
    std::ifstream in(std::string(TESSARO_SOURCE_DIR) + "/docs/usage.md");
    std::vector<std::string> rows;
    bool inside = false;
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("<!-- models:") || line.starts_with("<!-- end of models")) {
            inside = line.starts_with("<!-- models:");
        } else if (inside && line.starts_with("| `")) {
            rows.push_back(line);
        }
    }
    return rows;
}

TEST(ReadmeModels, OneRowPerModelInTheOrderTheyAreRecognised) {
    const std::vector<std::string> rows = readme_model_rows();
    const std::span<const board_model> models = board_models();
    ASSERT_EQ(rows.size(), models.size())
        << "docs/usage.md's table of models has another row count";
    for (size_t i = 0; i < models.size(); ++i) {
        const board_model& m = models[i];
        const std::string name(m.name);
        const std::string expected = "| `" + name + "` | " + code_list(m.prefixes) + " | " +
                                     code_list(m.configs) + " | `--model " + name + "` |";
        EXPECT_TRUE(rows[i].starts_with(expected)) << "docs/usage.md row " << i + 1 << ":\n  "
                                                   << rows[i] << "\nthe code says:\n  " << expected;
    }
}

}  // namespace
