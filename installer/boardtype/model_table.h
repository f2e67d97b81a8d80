// The model table: every difference between the models is a column of a row here (the codes a
// board id begins with, the name shown to the user, the config.bin names a package for the model
// may carry, and what the install does differently: storage layout, final loader, data image,
// boot firmware, the loader chain, the storage-variant switch).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// Rows of the table; the first six are the models, in the order checkmatch tries them, the
// others split a model by storage size.
enum class board_kind {
    tamso,
    pagora7,
    pagora8,
    vrx2,
    vrx3,
    selkin,
    vrx3_4gb,
    vrx3_32gb,
    vrx2_4g,
    vrx2_2g,
};

// The other storage size a unit can be switched to: the package asks for it with a non-empty
// marker file, and the device is given the other size's board id.
struct storage_variant {
    std::string_view label;      // "4GB" in "###4GB Version."; empty: no switch on this row
    std::string_view marker;     // the package file that asks for the other size
    std::string_view switch_to;  // what "respcb" is set to: the board id asked for
    board_kind becomes;          // the row the device must be of after the switch
};

// What the install does differently on a model. A column no row of a board id sets has the value
// given here, which is also what a board id no row lists gets.
struct model_install {
    // the partition tables: the embedded images "mbr" + layout and "embr" + layout, and where
    // the extended one lies (the second system's kernel follows 1 MiB later)
    std::string_view layout = "def";
    uint32_t embr_base = 0x66300000;
    std::string_view final_loader = "loader_belto";  // the loader the device ends with
    std::string_view data_file = "data.bin";         // the user data image, sized for storage
    bool bios = false;        // the package carries its own boot firmware (bios.bin, s-bios.bin)
    bool chain_skip = false;  // the loader is never walked up the staged chain
    bool bad_prod = false;    // an old final loader goes to "xzbadprod" instead of "xzprod"
    storage_variant variant = {};
};

// The columns of model_install a row sets. A board id gets the columns of every row it matches, a
// later row's over an earlier one's: a storage variant's row (after its model's) overrides only
// what it sets, as a quirk file's keys do.
struct install_columns {
    std::optional<std::string_view> layout = std::nullopt;
    std::optional<uint32_t> embr_base = std::nullopt;
    std::optional<std::string_view> final_loader = std::nullopt;
    std::optional<std::string_view> data_file = std::nullopt;
    std::optional<bool> bios = std::nullopt;
    std::optional<bool> chain_skip = std::nullopt;
    std::optional<bool> bad_prod = std::nullopt;
    std::optional<storage_variant> variant = std::nullopt;
};

struct board_model {
    board_kind kind;
    std::string_view name;  // model name in the Device line; empty for a storage variant
    // the board id must begin with one of these; each is compared over its own length
    std::span<const std::string_view> prefixes;
    // a package's config.bin line must begin with one of these; compared over their lengths
    std::span<const std::string_view> configs;
    install_columns install = {};
};

// The models, in the order a device is recognised (storage variants not included).
std::span<const board_model> board_models();
// Every row, storage variants included.
std::span<const board_model> board_rows();
// The row of any kind, storage variants included.
const board_model& board_row(board_kind kind);
// 1 when the board id begins with one of the row's prefixes, else 0 (loads the board id first).
int board_id_matches(const board_model& row);
// The codes a board id of the row may begin with, as text: "067 or 068".
std::string board_codes(const board_model& row);
// What the install does on the stored board id: the columns of its model's row, then of its
// storage variant's row, over the defaults.
model_install board_install();
// The same for a board id that begins with the row's first code.
model_install row_install(const board_model& row);
