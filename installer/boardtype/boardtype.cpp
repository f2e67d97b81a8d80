// The model table's rows, the stored board id and the model predicates read from it.
#include "installer/boardtype/boardtype.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "installer/boardtype/model_table.h"

char g_boardtype_serialno[256];
char g_boardtype_init;

namespace {

using namespace std::string_view_literals;

constexpr std::array tamso_codes{"07F"sv, "078"sv, "079"sv};
constexpr std::array pagora7_codes{"051"sv, "062"sv, "01908"sv};
constexpr std::array pagora8_codes{"P00118"sv};
constexpr std::array vrx2_codes{"02A"sv, "02F"sv, "027"sv, "02E"sv};
constexpr std::array vrx3_codes{"067"sv, "068"sv, "13G"sv};
// "02510" is already covered by "025"; it stays so the table reads like the model list
constexpr std::array selkin_codes{"025"sv, "047"sv, "02510"sv, "026"sv, "048"sv};
constexpr std::array vrx3_4gb_codes{"067"sv, "068"sv};
constexpr std::array vrx3_32gb_codes{"13G"sv};
constexpr std::array vrx2_4g_codes{"02A"sv, "027"sv};
constexpr std::array vrx2_2g_codes{"02F"sv, "02E"sv};

constexpr std::array tamso_configs{"tamso"sv};
// "belto" is the platform name shared by the pagora7, vrx3 and selkin packages
constexpr std::array pagora7_configs{"pagora7"sv, "belto"sv};
constexpr std::array pagora8_configs{"pagora8"sv};
constexpr std::array vrx2_configs{"vrx2"sv};
constexpr std::array vrx3_configs{"vrx3"sv, "belto"sv};
constexpr std::array selkin_configs{"selkin"sv, "belto"sv};

// clang-format off
const std::array<board_model, 10> table{{
    {board_kind::tamso,     "tamso",   tamso_codes,     tamso_configs,
     {.layout = "tiva", .embr_base = 0x77B00000, .final_loader = "loader_tiva", .bios = true,
      .chain_skip = true}},
    {board_kind::pagora7,   "pagora7", pagora7_codes,   pagora7_configs},
    // the RQ3 family has a road of its own, which installs only its final loader
    {board_kind::pagora8,   "pagora8", pagora8_codes,   pagora8_configs,
     {.final_loader = "loader_quessel"}},
    {board_kind::vrx2,      "vrx2",    vrx2_codes,      vrx2_configs},
    {board_kind::vrx3,      "vrx3",    vrx3_codes,      vrx3_configs},
    {board_kind::selkin,    "selkin",  selkin_codes,    selkin_configs},
    {board_kind::vrx3_4gb,  "",        vrx3_4gb_codes,  {},
     {.variant = storage_variant{"4GB", "ver32g.bin", "13G", board_kind::vrx3_32gb}}},
    {board_kind::vrx3_32gb, "",        vrx3_32gb_codes, {},
     {.layout = "13g", .embr_base = 0xE2300000, .data_file = "data32g.bin", .chain_skip = true,
      .bad_prod = true, .variant = storage_variant{"32GB", "ver4g.bin", "000", board_kind::vrx3_4gb}}},
    {board_kind::vrx2_4g,   "",        vrx2_4g_codes,   {},
     {.layout = "350_4g", .embr_base = 0x5FF00000}},
    {board_kind::vrx2_2g,   "",        vrx2_2g_codes,   {},
     {.layout = "350_2g", .embr_base = 0x35D00000, .data_file = "data2g.bin"}},
}};
// clang-format on

constexpr size_t model_count = 6;

bool begins_with_code(std::string_view id, const board_model& row) {
    return std::any_of(row.prefixes.begin(), row.prefixes.end(),
                       [id](std::string_view code) { return id.substr(0, code.size()) == code; });
}

// The row's columns over `base`. Naming every column of both structs, the bindings stop the build
// when a column is added to one and not here.
void apply(model_install& base, const install_columns& row) {
    auto& [layout, embr_base, final_loader, data_file, bios, chain_skip, bad_prod, variant] = base;
    const auto& [o_layout, o_embr_base, o_final_loader, o_data_file, o_bios, o_chain_skip,
                 o_bad_prod, o_variant] = row;
    layout = o_layout.value_or(layout);
    embr_base = o_embr_base.value_or(embr_base);
    final_loader = o_final_loader.value_or(final_loader);
    data_file = o_data_file.value_or(data_file);
    bios = o_bios.value_or(bios);
    chain_skip = o_chain_skip.value_or(chain_skip);
    bad_prod = o_bad_prod.value_or(bad_prod);
    variant = o_variant.value_or(variant);
}

// every row the id matches, in the table's order: a model's row, then its storage variant's
model_install install_for(std::string_view id) {
    model_install install;
    for (const board_model& row : table) {
        if (begins_with_code(id, row)) apply(install, row.install);
    }
    return install;
}

int predicate(board_kind kind) {
    return board_id_matches(board_row(kind));
}

}  // namespace

std::span<const board_model> board_models() {
    return std::span<const board_model>(table).first(model_count);
}

std::span<const board_model> board_rows() {
    return table;
}

model_install board_install() {
    BOARD_TYPE_INIT();
    // the buffer is always terminated, so a shorter board id never matches a longer code
    return install_for(std::string_view(g_boardtype_serialno, sizeof g_boardtype_serialno - 1));
}

model_install row_install(const board_model& row) {
    return install_for(row.prefixes.empty() ? std::string_view() : row.prefixes.front());
}

const board_model& board_row(board_kind kind) {
    return *std::find_if(table.begin(), table.end(),
                         [kind](const board_model& row) { return row.kind == kind; });
}

int board_id_matches(const board_model& row) {
    BOARD_TYPE_INIT();
    // the buffer is always terminated, so a shorter board id never matches a longer code
    std::string_view id(g_boardtype_serialno, sizeof g_boardtype_serialno - 1);
    for (std::string_view code : row.prefixes) {
        if (id.substr(0, code.size()) == code) return 1;
    }
    return 0;
}

std::string board_codes(const board_model& row) {
    std::string text;
    for (size_t i = 0; i < row.prefixes.size(); ++i) {
        if (i > 0) text += i + 1 == row.prefixes.size() ? " or " : ", ";
        text += row.prefixes[i];
    }
    return text;
}

void BOARD_TYPE_SET(const char* serial, int len) {
    size_t n = 0;
    if (serial != nullptr && len > 0) {
        n = std::min(static_cast<size_t>(len), sizeof g_boardtype_serialno - 1);
    }
    if (n > 0) std::memmove(g_boardtype_serialno, serial, n);
    // clear the tail: a shorter id stored after a longer one must not keep the longer one's end
    std::memset(g_boardtype_serialno + n, 0, sizeof g_boardtype_serialno - n);
    g_boardtype_init = 1;
}

void BOARD_TYPE_INIT() {
    // The installer stores the board id (checkmatch) before any model question is asked; with
    // nothing stored the id stays empty and no model matches.
}

int IS_TAMSO() {
    return predicate(board_kind::tamso);
}
int IS_RQ2() {
    return predicate(board_kind::pagora7);
}
int IS_RQ3() {
    return predicate(board_kind::pagora8);
}
int IS_VRX2() {
    return predicate(board_kind::vrx2);
}
int IS_VRX3() {
    return predicate(board_kind::vrx3);
}
int IS_VRX3_4GB() {
    return predicate(board_kind::vrx3_4gb);
}
int IS_VRX3_32GB() {
    return predicate(board_kind::vrx3_32gb);
}
int IS_SELKIN() {
    return predicate(board_kind::selkin);
}
