// The storage-variant switch's marker files, as any kind of entry with any contents, on a device
// with any serial number: the switch is asked for exactly when a VRX3 device of one storage size
// finds the marker of the other size as a non-empty regular file, and a marker that is there
// but unusable is named before anything is sent.
//
// Input: one byte each, the kinds of "ver32g.bin" and "ver4g.bin"; one byte, the length of the
// first file's contents; one byte, the serial's length; the serial's bytes; the first file's
// contents; the rest is the second file's contents.
#include <array>
#include <cstring>
#include <string_view>

#include "fuzz_input.h"
#include "fuzz_package_dir.h"
#include "installer/boardtype/boardtype.h"
#include "installer/stages/layout_stages.h"
#include "installer/steps/package.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    const EntryKind kind32 = entry_kind(input.byte());
    const EntryKind kind4 = entry_kind(input.byte());
    const size_t len32 = input.byte();
    const std::array<char, 256> serial = input.serial(input.byte());
    auto bytes32 = input.take(len32);
    auto bytes4 = input.take(input.left());
    const std::string_view id(serial.data());

    const PackageDir::Inside inside;
    const PackageDir& dir = PackageDir::get();
    dir.put("ver32g.bin", kind32, bytes32);
    dir.put("ver4g.bin", kind4, bytes4);
    BOARD_TYPE_SET(serial.data(), static_cast<int>(id.size()));

    const bool small = id.starts_with("067") || id.starts_with("068");
    const bool large = id.starts_with("13G");
    const bool wants_large = readable_file(kind32) && !bytes32.empty();
    const bool wants_small = readable_file(kind4) && !bytes4.empty();
    const char* want = small && wants_large ? "13G" : large && wants_small ? "000" : nullptr;

    const char* got = variant_request();
    FUZZ_CHECK((got == nullptr) == (want == nullptr));
    if (got != nullptr) FUZZ_CHECK(std::strcmp(got, want) == 0);

    const bool unusable = unusable_entry(kind32) || unusable_entry(kind4);
    FUZZ_CHECK((check_package_names() != 0) == unusable);
    return 0;
}
