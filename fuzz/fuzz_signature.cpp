// The expected-CRC text and the signature file, as any bytes and any kind of entry: the text's
// value is what the C library's strtoul gives with base 16, held to 32 bits; a signature file's
// value is that of its first 32 bytes; the host's check of a file against it agrees with that
// value; and the device is asked to check the very value the host checked, as 8 lower-case
// hexadecimal digits.
//
// Input: one byte, the kind of the signature file's entry; the rest is the text (and the file's
// contents).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "check/crc32.h"
#include "fuzz_input.h"
#include "fuzz_package_dir.h"
#include "installer/steps/flash_steps.h"

namespace {

// strtoul as a 32-bit unsigned long would give it: a magnitude beyond 32 bits saturates,
// whatever the sign; a minus sign negates in 32 bits
uint32_t strtoul32(const std::string& text) {
    const char* p = text.c_str();
    while (*p != '\0' && std::strchr(" \t\n\v\f\r", *p) != nullptr) ++p;
    const bool negative = *p == '-';
    errno = 0;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 16);  // NOLINT(google-runtime-int)
    if (errno == ERANGE) return 0xFFFFFFFFU;
    const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : value;
    if (magnitude > 0xFFFFFFFFU) return 0xFFFFFFFFU;
    const auto m = static_cast<uint32_t>(magnitude);
    return negative ? 0U - m : m;
}

// The data file every signature is checked against, and its CRC.
constexpr char kData[] = "123456789";
constexpr uint32_t kDataCrc = 0xCBF43926U;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    const EntryKind kind = entry_kind(input.byte());
    auto bytes = input.take(input.left());
    const std::string text(reinterpret_cast<const char*>(bytes.data()), bytes.size());

    // the text as the caller holds it: terminated, so it ends at its first NUL byte
    FUZZ_CHECK(GetBufferSUM(text.c_str()) == strtoul32(text));

    const PackageDir::Inside inside;
    const PackageDir& dir = PackageDir::get();
    static const bool data_written = [&dir] {
        dir.put("kernel.bin", EntryKind::file,
                {reinterpret_cast<const uint8_t*>(kData), sizeof kData - 1});
        return true;
    }();
    (void)data_written;
    dir.put("kernel.sign", kind, bytes);

    const bool readable = readable_file(kind);
    const uint32_t value = strtoul32(text.substr(0, 32));
    if (readable) {
        std::FILE* f = std::fopen("kernel.sign", "rb");
        FUZZ_CHECK(f != nullptr);
        FUZZ_CHECK(GetFileSUM(f) == (bytes.empty() ? 0 : value));
        std::fclose(f);
    }
    // a FIFO is never handed to the check: the package's names are looked at before it
    if (kind != EntryKind::fifo) {
        FUZZ_CHECK(crc32check("kernel.bin", "kernel.sign") == (readable && value == kDataCrc));
    }

    char device_text[9] = "unset";
    const bool sent = sign_crc_text("kernel.sign", device_text);
    FUZZ_CHECK(sent == readable);
    if (sent) {
        char expected[9];
        std::snprintf(expected, sizeof expected, "%08x", value);
        FUZZ_CHECK(std::strcmp(device_text, expected) == 0);
    }
    return 0;
}
