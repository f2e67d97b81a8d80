// The model table: every difference between the models (the codes a board id begins with, the
// name shown to the user, the config.bin names a package for the model may carry) is a row here.
#pragma once

#include <span>
#include <string>
#include <string_view>

// Rows of the table; the first six are the models, in the order checkmatch tries them, the last
// two split the "vrx3" model by storage size.
enum class board_kind {
    tamso,
    pagora7,
    pagora8,
    vrx2,
    vrx3,
    selkin,
    vrx3_4gb,
    vrx3_32gb,
};

struct board_model {
    board_kind kind;
    std::string_view name;  // model name in the Device line; empty for a storage variant
    // the board id must begin with one of these; each is compared over its own length
    std::span<const std::string_view> prefixes;
    // a package's config.bin line must begin with one of these; compared over their lengths
    std::span<const std::string_view> configs;
};

// The models, in the order a device is recognised (storage variants not included).
std::span<const board_model> board_models();
// The row of any kind, storage variants included.
const board_model& board_row(board_kind kind);
// 1 when the board id begins with one of the row's prefixes, else 0 (loads the board id first).
int board_id_matches(const board_model& row);
// The codes a board id of the row may begin with, as text: "067 or 068".
std::string board_codes(const board_model& row);
