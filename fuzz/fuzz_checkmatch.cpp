// checkmatch against any "config.bin" (any bytes, any kind of entry) and any serial number: it
// accepts the package exactly when the serial's model code is known and the first line of the
// file (at most 31 bytes, newline kept) begins with a name accepted for that model, and it
// stores the serial as the board id whenever it got as far as reading the line.
//
// Input: one byte, the kind of the config.bin entry; one byte, the serial's length; the serial's
// bytes (NUL bytes included: the serial ends at the first); the rest is the file's contents.
#include <algorithm>
#include <array>
#include <initializer_list>
#include <string_view>

#include "fuzz_input.h"
#include "fuzz_package_dir.h"
#include "installer/boardtype/boardtype.h"
#include "installer/stages/identify.h"

namespace {

// The model codes and the names a package for each may carry, in the order they are tried.
struct Row {
    std::initializer_list<std::string_view> codes;
    std::initializer_list<std::string_view> names;
};
const std::initializer_list<Row> kModels = {
    {{"07F", "078", "079"}, {"tamso"}},
    {{"051", "062", "01908"}, {"pagora7", "belto"}},
    {{"P00118"}, {"pagora8"}},
    {{"02A", "02F", "027", "02E"}, {"vrx2"}},
    {{"067", "068", "13G"}, {"vrx3", "belto"}},
    {{"025", "047", "02510", "026", "048"}, {"selkin", "belto"}},
};

bool accepted(std::string_view serial, std::string_view line) {
    for (const Row& row : kModels) {
        for (std::string_view code : row.codes) {
            if (!serial.starts_with(code)) continue;
            for (std::string_view name : row.names) {
                if (line.starts_with(name)) return true;
            }
            return false;  // the first model that matches is the device's
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    const EntryKind kind = entry_kind(input.byte());
    const std::array<char, 256> serial = input.serial(input.byte());
    auto config = input.take(input.left());
    const std::string_view serial_text(serial.data());

    const PackageDir::Inside inside;
    PackageDir::get().put("config.bin", kind, config);

    // the first line: up to and including the first newline, at most 31 bytes
    std::string_view all(reinterpret_cast<const char*>(config.data()), config.size());
    const size_t newline = all.find('\n');
    const size_t line_len = newline == std::string_view::npos ? all.size() : newline + 1;
    std::string_view line = all.substr(0, std::min<size_t>(31, line_len));
    const bool read = readable_file(kind) && !config.empty();

    // a board id left from the input before must not decide this one
    BOARD_TYPE_SET("", 0);
    const int result = checkmatch(serial.data());
    FUZZ_CHECK(result == 0 || result == 1);
    FUZZ_CHECK((result == 1) == (read && accepted(serial_text, line)));
    if (read) FUZZ_CHECK(serial_text == g_boardtype_serialno);
    return 0;
}
