// make_payload: writes the C++ source of the images the installer carries in itself, the ten
// partition tables and the seven loader images, each with its byte count, its CRC-32 text
// (computed here from the bytes) and, for final loaders, its version text.
//
//   make_payload OUT.cpp [--loader-dir DIR]
//
// Without --loader-dir the loaders are stand-ins: the device maker's sizes and headers around
// deterministic filler, good for the simulated device only. With it, the seven loaders are the
// files of that name in DIR, each of which must be the maker's image: its size and CRC-32 are
// checked, and any missing or different file fails the run (naming the file) so the build fails.
#include <array>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "check/crc32.h"

namespace {

using bytes = std::vector<uint8_t>;

void put_le32(bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

void put_be32(bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

uint32_t crc_of(const uint8_t* p, size_t n) {
    return GetBufferCRC(p, static_cast<uint32_t>(n));
}

std::string crc_text(const bytes& b) {
    char text[9];
    std::snprintf(text, sizeof text, "%08" PRIx32, crc_of(b.data(), b.size()));
    return text;
}

// The same bytes in every build: a xorshift sequence seeded from the image's name.
void fill(bytes& b, size_t from, std::string_view seed) {
    uint32_t x = crc_of(reinterpret_cast<const uint8_t*>(seed.data()), seed.size()) | 1U;
    for (size_t i = from; i < b.size(); ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b[i] = static_cast<uint8_t>(x >> 24);
    }
}

// ---- partition tables

struct Entry {
    bool boot;
    uint8_t type;
    uint32_t start;  // 512-byte sectors
    uint32_t count;
    uint8_t chs = 0xD0;  // the CHS fields hold 0x03, this, 0xFF (unless computed)
};

enum class Code : uint8_t {
    stub,       // our boot stub in bytes 0-74 and a disk signature
    zero,       // a zero code area and a disk signature
    untouched,  // zero outside the entries and the signature
};

struct Table {
    const char* name;
    bool extended;
    Code code;
    bool computed_chs;  // from the sector numbers instead of the fixed bytes
    std::array<Entry, 4> entries;
};

// clang-format off
const Table kTables[] = {
    {"mbr350_2g", false, Code::zero, false, {{{true, 0x83, 65536, 716800},
                                              {false, 0x83, 782336, 131072},
                                              {false, 0x83, 913408, 131072},
                                              {false, 0x0B, 1044480, 2781184}}}},
    {"mbr350_4g", false, Code::zero, false, {{{true, 0x83, 65536, 716800},
                                              {false, 0x83, 782336, 131072},
                                              {false, 0x83, 913408, 131072},
                                              {false, 0x0B, 1044480, 6688768}}}},
    {"mbrdef", false, Code::zero, false, {{{true, 0x83, 65536, 921600},
                                           {false, 0x83, 987136, 131072},
                                           {false, 0x83, 1118208, 131072},
                                           {false, 0x0B, 1249280, 6385664}}}},
    {"mbr13g", false, Code::stub, false, {{{true, 0x83, 65536, 921600},
                                           {false, 0x83, 987136, 131072},
                                           {false, 0x83, 1118208, 2097152},
                                           {false, 0x0B, 3215360, 57856000}}}},
    {"mbrtiva", false, Code::stub, false, {{{true, 0x83, 65536, 921600},
                                            {false, 0x83, 987136, 131072},
                                            {false, 0x83, 1118208, 131072},
                                            {false, 0x83, 1822720, 5812224, 0xE0}}}},
    {"embr350_2g", true, Code::stub, true, {{{false, 0x83, 1794048, 716800},
                                             {false, 0x83, 2510848, 2048},
                                             {false, 0x83, 2512896, 8192},
                                             {false, 0x83, 2674688, 1150976}}}},
    {"embr350_4g", true, Code::untouched, false, {{{true, 0x83, 3174400, 716800},
                                                   {false, 0x83, 3891200, 2048},
                                                   {false, 0x83, 3893248, 8192},
                                                   {false, 0x83, 4055040, 3678208}}}},
    {"embrdef", true, Code::untouched, false, {{{true, 0x83, 3379200, 870400},
                                                {false, 0x83, 4249600, 2048},
                                                {false, 0x83, 4251648, 8192},
                                                {false, 0x83, 4259840, 3375104}}}},
    {"embr13g", true, Code::untouched, false, {{{true, 0x83, 7442432, 870400},
                                                {false, 0x83, 8312832, 2048},
                                                {false, 0x83, 8314880, 8192},
                                                {false, 0x83, 8323072, 52748288}}}},
    {"embrtiva", true, Code::untouched, false, {{{true, 0x83, 3952640, 870400},
                                                 {false, 0x83, 4823040, 2048},
                                                 {false, 0x83, 4825088, 8192},
                                                 {false, 0x83, 4833280, 2801664}}}},
};
// clang-format on

// A PC that boots from this storage halts: cli, hlt, and a jump back to the hlt, followed by a
// text that says what the storage is. The devices never run it.
constexpr size_t kStubSize = 75;
bytes boot_stub() {
    bytes stub(kStubSize, 0);
    const uint8_t code[] = {0xFA, 0xF4, 0xEB, 0xFD};
    std::memcpy(stub.data(), code, sizeof code);
    constexpr char text[] = "e-reader storage: no PC boot code here";
    static_assert(sizeof code + sizeof text <= kStubSize);
    std::memcpy(stub.data() + sizeof code, text, sizeof text);
    return stub;
}

// Cylinder, head and sector of a sector number on the usual 255-head, 63-sector geometry, in
// the table's three-byte form; past cylinder 1023 the largest value stands.
std::array<uint8_t, 3> chs_of(uint32_t lba) {
    constexpr uint32_t heads = 255;
    constexpr uint32_t sectors = 63;
    uint32_t c = lba / (heads * sectors);
    uint32_t h = lba / sectors % heads;
    uint32_t s = lba % sectors + 1;
    if (c > 1023) {
        c = 1023;
        h = 254;
        s = 63;
    }
    return {static_cast<uint8_t>(h), static_cast<uint8_t>(s | ((c >> 2) & 0xC0)),
            static_cast<uint8_t>(c & 0xFF)};
}

bytes make_table(const Table& t) {
    bytes b(512, 0);
    if (t.code == Code::stub) {
        bytes stub = boot_stub();
        std::copy(stub.begin(), stub.end(), b.begin());
    }
    if (t.code != Code::untouched) {
        // the disk signature: any fixed value of our own, different per table
        put_le32(b, 440, crc_of(reinterpret_cast<const uint8_t*>(t.name), std::strlen(t.name)));
    }
    for (size_t i = 0; i < t.entries.size(); ++i) {
        const Entry& e = t.entries[i];
        const size_t at = 446 + 16 * i;
        std::array<uint8_t, 3> first{0x03, e.chs, 0xFF};
        std::array<uint8_t, 3> last = first;
        if (t.computed_chs) {
            first = chs_of(e.start);
            last = chs_of(e.start + e.count - 1);
        }
        b[at] = e.boot ? 0x80 : 0x00;
        std::copy(first.begin(), first.end(), b.begin() + static_cast<long>(at) + 1);
        b[at + 4] = e.type;
        std::copy(last.begin(), last.end(), b.begin() + static_cast<long>(at) + 5);
        put_le32(b, at + 8, e.start);
        put_le32(b, at + 12, e.count);
    }
    b[510] = 0x55;
    b[511] = 0xAA;
    return b;
}

// ---- loaders

enum class Shape { legacy_uboot, arm_boot, arm_boot_dcd };

struct Loader {
    const char* name;
    const char* kind;  // payload_kind
    Shape shape;
    uint32_t size;          // of the maker's image, and so of the stand-in
    const char* maker_crc;  // CRC-32 text of the maker's image
    const char* ver;        // final loaders: the version they install
};

constexpr Loader kLoaders[] = {
    {"porter", "staged_loader", Shape::legacy_uboot, 152964, "ff85ee6b", nullptr},
    {"porter1", "staged_loader", Shape::arm_boot, 84820, "16a141ac", nullptr},
    {"porter2", "staged_loader", Shape::arm_boot, 86004, "4749a802", nullptr},
    {"porter3", "staged_loader", Shape::arm_boot, 101112, "92d68a51", nullptr},
    {"loader_belto", "final_loader", Shape::arm_boot, 101864, "8c5fbf26", "Z07"},
    {"loader_tiva", "final_loader", Shape::arm_boot, 138868, "3101ea4d", "Z05"},
    {"loader_quessel", "final_loader", Shape::arm_boot_dcd, 208896, "4706ef0a", "Z05"},
};

// Legacy U-Boot image: a 64-byte big-endian header, then the data.
bytes legacy_uboot(const Loader& l) {
    constexpr size_t header = 64;
    constexpr uint32_t address = 0x88400000;
    bytes b(l.size, 0);
    fill(b, header, l.name);
    put_be32(b, 0, 0x27051956);  // magic
    // 4: header CRC, below; 8: time stamp, zero so every build is the same
    put_be32(b, 12, l.size - header);  // data bytes
    put_be32(b, 16, address);          // load
    put_be32(b, 20, address);          // entry
    put_be32(b, 24, crc_of(b.data() + header, l.size - header));
    b[28] = 5;  // OS: Linux
    b[29] = 2;  // architecture: ARM
    b[30] = 2;  // type: kernel
    b[31] = 0;  // compression: none
    constexpr char name[] = "uboot-test";
    std::memcpy(b.data() + 32, name, sizeof name);
    put_be32(b, 4, crc_of(b.data(), header));
    return b;
}

// Image Vector Table of the boot ROM at byte 1024, with its boot-data record right after it
// (the image's own address is the load start plus 1024).
constexpr size_t kIvt = 1024;
void ivt(bytes& b, uint32_t load, uint32_t entry, uint32_t dcd, uint32_t length, uint32_t plugin) {
    const uint32_t self = load + kIvt;
    b[kIvt] = 0xD1;  // tag, length 32 (big-endian), version
    b[kIvt + 1] = 0x00;
    b[kIvt + 2] = 0x20;
    b[kIvt + 3] = 0x40;
    put_le32(b, kIvt + 4, entry);
    put_le32(b, kIvt + 8, 0);
    put_le32(b, kIvt + 12, dcd);
    put_le32(b, kIvt + 16, self + 0x20);  // boot data
    put_le32(b, kIvt + 20, self);
    put_le32(b, kIvt + 24, 0);  // no signature block
    put_le32(b, kIvt + 28, 0);
    put_le32(b, kIvt + 32, load);
    put_le32(b, kIvt + 36, length);
    put_le32(b, kIvt + 40, plugin);
}
constexpr size_t kAfterBootData = kIvt + 44;

// A branch over the first kilobyte, zeros, the table, the code.
bytes arm_boot(const Loader& l) {
    bytes b(l.size, 0);
    fill(b, kAfterBootData, l.name);
    put_le32(b, 0, 0xEA000126);
    ivt(b, 0x00980000, 0x009804A0, 0, l.size + 1024, 1);
    return b;
}

// A zero first kilobyte, the table with device configuration data after the boot data, the
// code. The configuration data of a stand-in holds only no-operation commands.
bytes arm_boot_dcd(const Loader& l) {
    constexpr uint32_t load = 0x00981000;
    constexpr size_t dcd = kAfterBootData;
    constexpr size_t dcd_length = 0x0270;
    bytes b(l.size, 0);
    fill(b, dcd + dcd_length, l.name);
    ivt(b, load, 0x00982000, load + static_cast<uint32_t>(dcd), l.size, 0);
    b[dcd] = 0xD2;  // tag, length (big-endian), version
    b[dcd + 1] = static_cast<uint8_t>(dcd_length >> 8);
    b[dcd + 2] = static_cast<uint8_t>(dcd_length & 0xFF);
    b[dcd + 3] = 0x40;
    for (size_t at = dcd + 4; at < dcd + dcd_length; at += 4) {
        b[at] = 0xC0;  // no operation, 4 bytes
        b[at + 1] = 0x00;
        b[at + 2] = 0x04;
        b[at + 3] = 0x00;
    }
    return b;
}

bytes standin(const Loader& l) {
    switch (l.shape) {
        case Shape::legacy_uboot:
            return legacy_uboot(l);
        case Shape::arm_boot:
            return arm_boot(l);
        case Shape::arm_boot_dcd:
            return arm_boot_dcd(l);
    }
    return {};
}

// The maker's image from `dir`, or an empty result with the reason printed.
bool maker_image(const std::filesystem::path& dir, const Loader& l, bytes& out) {
    const std::filesystem::path path = dir / l.name;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "make_payload: %s: missing (the device maker's %s is needed)\n",
                     path.c_str(), l.name);
        return false;
    }
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (out.size() != l.size) {
        std::fprintf(stderr, "make_payload: %s: %zu bytes, the device maker's %s has %" PRIu32 "\n",
                     path.c_str(), out.size(), l.name, l.size);
        return false;
    }
    std::string crc = crc_text(out);
    if (crc != l.maker_crc) {
        std::fprintf(stderr, "make_payload: %s: CRC-32 %s, the device maker's %s has %s\n",
                     path.c_str(), crc.c_str(), l.name, l.maker_crc);
        return false;
    }
    return true;
}

// ---- the source

struct Image {
    std::string name;
    std::string kind;
    bytes data;
    const char* ver;
    bool standin;
};

// The bytes as adjacent string literals: printable characters as they are, the others as
// three-digit octal escapes (which never swallow a following digit).
void write_bytes(std::FILE* f, const bytes& b) {
    size_t column = 0;
    std::fputs("    \"", f);
    for (uint8_t c : b) {
        if (column >= 72) {
            std::fputs("\"\n    \"", f);
            column = 0;
        }
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\' && c != '?') {
            std::fputc(c, f);
            column += 1;
        } else {
            std::fprintf(f, "\\%03o", c);
            column += 4;
        }
    }
    std::fputs("\"", f);
}

bool write_source(const std::filesystem::path& out, const std::vector<Image>& images,
                  bool firmware) {
    const std::filesystem::path tmp = out.string() + ".tmp";
    std::FILE* f = std::fopen(tmp.c_str(), "wb");
    if (f == nullptr) {
        std::fprintf(stderr, "make_payload: cannot write %s\n", tmp.c_str());
        return false;
    }
    std::fprintf(f,
                 "// Generated by tools/make_payload; do not edit.\n"
                 "#include \"payload/payload.h\"\n\n"
                 "namespace {\n");
    std::map<std::string, std::string> versions;  // text -> its one object
    for (const Image& img : images) {
        std::fprintf(f, "constexpr char %s_crc_text[] = \"%s\";\n", img.name.c_str(),
                     crc_text(img.data).c_str());
        if (img.ver != nullptr && !versions.contains(img.ver)) {
            std::string object = "version_" + std::to_string(versions.size());
            versions[img.ver] = object;
            std::fprintf(f, "constexpr char %s[] = \"%s\";\n", object.c_str(), img.ver);
        }
    }
    std::fprintf(f, "}  // namespace\n\n");
    for (const Image& img : images) {
        const char* n = img.name.c_str();
        std::fprintf(f, "alignas(4) const unsigned char %s[%zu] =\n", n, img.data.size() + 1);
        write_bytes(f, img.data);
        std::fprintf(f, ";\nconst uint32_t %s_size = %zu;\n", n, img.data.size());
        std::fprintf(f, "const char* const %s_crc = %s_crc_text;\n", n, n);
        if (img.ver != nullptr)
            std::fprintf(f, "const char* const %s_ver = %s;\n", n, versions[img.ver].c_str());
        std::fprintf(f, "\n");
    }
    std::fprintf(f, "namespace {\nconstinit const payload_image images[] = {\n");
    for (const Image& img : images) {
        const char* n = img.name.c_str();
        std::fprintf(f, "    {\"%s\", %s, %zu, %s_crc_text, %s, payload_kind::%s, %s},\n", n, n,
                     img.data.size(), n, img.ver ? versions[img.ver].c_str() : "nullptr",
                     img.kind.c_str(), img.standin ? "true" : "false");
    }
    std::fprintf(f,
                 "};\n}  // namespace\n\n"
                 "std::span<const payload_image> payload_catalog() {\n"
                 "    return images;\n}\n\n"
                 "const bool payload_loader_firmware = %s;\n",
                 firmware ? "true" : "false");
    bool ok = std::fflush(f) == 0 && std::ferror(f) == 0;
    ok = std::fclose(f) == 0 && ok;
    std::error_code ec;
    if (ok) std::filesystem::rename(tmp, out, ec);
    if (!ok || ec) {
        std::fprintf(stderr, "make_payload: cannot write %s\n", out.c_str());
        std::filesystem::remove(tmp, ec);
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::filesystem::path out;
    std::filesystem::path loader_dir;
    bool firmware = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        if (a == "--loader-dir" && i + 1 < argc) {
            loader_dir = argv[++i];
            firmware = true;
        } else if (out.empty() && !a.starts_with("-")) {
            out = a;
        } else {
            out.clear();
            break;
        }
    }
    if (out.empty()) {
        std::fprintf(stderr, "usage: make_payload OUT.cpp [--loader-dir DIR]\n");
        return 2;
    }

    std::vector<Image> images;
    bool good = true;
    for (const Loader& l : kLoaders) {
        Image img{l.name, l.kind, {}, l.ver, !firmware};
        if (firmware) {
            // look at every file, so one run names all that are wrong
            good = maker_image(loader_dir, l, img.data) && good;
        } else {
            img.data = standin(l);
        }
        images.push_back(std::move(img));
    }
    if (!good) {
        std::fprintf(stderr,
                     "make_payload: %s does not hold the device maker's loader images; build "
                     "without TESSARO_LOADER_DIR for stand-ins\n",
                     loader_dir.c_str());
        return 1;
    }
    for (const Table& t : kTables)
        images.push_back(
            {t.name, t.extended ? "extended_table" : "main_table", make_table(t), nullptr, false});
    return write_source(out, images, firmware) ? 0 : 1;
}
