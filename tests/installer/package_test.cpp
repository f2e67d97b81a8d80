#include "installer/steps/package.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <map>
#include <string>

#include "support/temp_dir.h"

using support::sparse_file;
using support::write_file;

TEST(CheckFirmware, PackageClassFollowsTheImageSets) {
    struct row {
        const char* what;
        std::map<std::string, size_t> files;  // name -> size in bytes
        int expected;
    };
    const row rows[] = {
        {"empty directory", {}, 0},
        {"native set only", {{"system.bin", 10}, {"kernel.bin", 10}}, 0},
        {"esystem alone", {{"esystem.bin", 10}}, 0},
        {"vemkit and ekernel without esystem", {{"vemkit.bin", 1}, {"ekernel.bin", 1}}, 0},
        {"esystem and ekernel", {{"esystem.bin", 10}, {"ekernel.bin", 10}}, 1},
        {"esystem and vemkit", {{"esystem.bin", 10}, {"vemkit.bin", 10}}, 1},
        {"esystem, ekernel and the native set",
         {{"esystem.bin", 1}, {"ekernel.bin", 1}, {"system.bin", 1}, {"kernel.bin", 1}},
         2},
        {"edata alone", {{"edata.bin", 1}}, 1},
        {"edata and the native set", {{"edata.bin", 1}, {"system.bin", 1}, {"kernel.bin", 1}}, 2},
        {"edata and half the native set", {{"edata.bin", 1}, {"kernel.bin", 1}}, 1},
        {"empty system.bin is no image",
         {{"system.bin", 0}, {"kernel.bin", 5}, {"esystem.bin", 5}, {"vemkit.bin", 5}},
         1},
        {"empty edata.bin is no image",
         {{"edata.bin", 0}, {"system.bin", 1}, {"kernel.bin", 1}},
         0},
        {"empty esystem.bin is no image", {{"esystem.bin", 0}, {"ekernel.bin", 3}}, 0},
    };
    for (const row& r : rows) {
        support::ScratchDir dir;
        for (const auto& [name, size] : r.files) write_file(name, std::string(size, 'x'));
        EXPECT_EQ(checkfirmware(), r.expected) << r.what;
    }
}

TEST(CheckFirmware, DirectoryNamedLikeAnImageIsNoImage) {
    support::ScratchDir dir;
    write_file("esystem.bin", "x");
    ASSERT_EQ(::mkdir("ekernel.bin", 0755), 0);
    EXPECT_EQ(checkfirmware(), 0);
}

TEST(TestFile, PresenceAndSize) {
    support::ScratchDir dir;
    write_file("one.bin", "A");
    write_file("empty.bin", "");
    write_file("some.bin", std::string(70000, 'z'));
    ASSERT_EQ(::mkdir("folder.bin", 0755), 0);
    ASSERT_EQ(::mkfifo("pipe.bin", 0644), 0);

    struct row {
        const char* name;
        int present;
        uint64_t size;  // what ends up in the size variable, which starts at 777
    };
    const row rows[] = {
        {"one.bin", 1, 1},
        {"some.bin", 1, 70000},
        {"empty.bin", 0, 777},    // size left untouched
        {"missing.bin", 0, 777},  // size left untouched
        {"folder.bin", 0, 777},
        {"pipe.bin", 0, 777},  // returns at once instead of waiting for a writer
    };
    for (const row& r : rows) {
        uint64_t size = 777;
        EXPECT_EQ(test_file(r.name, &size), r.present) << r.name;
        EXPECT_EQ(size, r.size) << r.name;
        EXPECT_EQ(test_file(r.name, nullptr), r.present) << r.name;
    }
    EXPECT_EQ(test_file(nullptr, nullptr), 0);
}

TEST(TestFile, SizesOf4GiBAndMoreAreNotWrapped) {
    support::ScratchDir dir;
    const uint64_t sizes[] = {(1ULL << 32), (1ULL << 32) + 1, 5ULL << 30};
    for (uint64_t want : sizes) {
        sparse_file("big.bin", want);
        uint64_t size = 0;
        EXPECT_EQ(test_file("big.bin", &size), 1);
        EXPECT_EQ(size, want);
    }
}

TEST(PackageFileEntry, ThereButUnusableIsNotAbsent) {
    support::ScratchDir dir;
    write_file("image.bin", "x");
    write_file("empty.bin", "");
    ASSERT_EQ(::symlink("image.bin", "link.bin"), 0);
    ASSERT_EQ(::mkdir("folder.bin", 0755), 0);
    ASSERT_EQ(::mkfifo("pipe.bin", 0644), 0);
    ASSERT_EQ(::symlink("nowhere.bin", "dangling.bin"), 0);
    ASSERT_EQ(::symlink("/dev/zero", "zero.bin"), 0);
    struct row {
        const char* name;
        package_entry entry;
        std::string why;
    };
    const row rows[] = {
        {"missing.bin", package_entry::absent, ""},
        {"image.bin", package_entry::regular, ""},
        {"empty.bin", package_entry::regular, ""},
        {"link.bin", package_entry::regular, ""},
        {"folder.bin", package_entry::unusable, "is a directory"},
        {"pipe.bin", package_entry::unusable, "is a FIFO"},
        {"dangling.bin", package_entry::unusable, "is a dangling link"},
        {"zero.bin", package_entry::unusable, "is a device"},
    };
    for (const row& r : rows) {
        std::string why;
        EXPECT_EQ(package_file_entry(r.name, &why), r.entry) << r.name;
        EXPECT_EQ(why, r.why) << r.name;
    }
}
