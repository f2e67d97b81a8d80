// The package files in the current directory: their names, sizes, kinds and the class of the
// package (which systems it can install).
#include "installer/steps/package.h"

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "console/console.h"
#include "installer/steps/regular_file.h"

static_assert(sizeof(off_t) >= 8, "file sizes must be 64-bit");

const char* const kernel_fn = "kernel.bin";
const char* const vemkit_fn = "vemkit.bin";
const char* const system_fn = "system.bin";

int test_file(const char* fn, uint64_t* _sz) {
    base::unique_fd fd = open_regular_file(fn);
    if (!fd) return 0;
    // off_t is 64-bit here, so images of 4 GiB and more are measured, not wrapped
    off_t size = ::lseek(fd.get(), 0, SEEK_END);
    if (size <= 0) return 0;
    if (::lseek(fd.get(), 0, SEEK_SET) != 0) return 0;
    if (_sz != nullptr) *_sz = static_cast<uint64_t>(size);
    return 1;
}

int checkfirmware() {
    // every file is tested, always in this order; only presence counts
    uint64_t scratch = 0;
    bool system = test_file(system_fn, &scratch);
    bool kernel = test_file(kernel_fn, &scratch);
    bool esystem = test_file("esystem.bin", &scratch);
    bool vemkit = test_file(vemkit_fn, &scratch);
    bool ekernel = test_file("ekernel.bin", &scratch);
    bool edata = test_file("edata.bin", &scratch);

    // the second system needs its system image and one of its kernels; its data image alone
    // also counts as the set
    bool second = (esystem && (vemkit || ekernel)) || edata;
    bool native = system && kernel;
    if (!second) return 0;
    return native ? 2 : 1;
}

package_entry package_file_entry(const char* fn, std::string* why) {
    auto unusable = [why](std::string reason) {
        if (why != nullptr) *why = std::move(reason);
        return package_entry::unusable;
    };
    if (fn == nullptr) return package_entry::absent;
    struct stat link;
    if (::lstat(fn, &link) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return package_entry::absent;
        return unusable(std::string("cannot be looked at (") + std::strerror(errno) + ")");
    }
    struct stat st;
    if (::stat(fn, &st) != 0) {
        if (S_ISLNK(link.st_mode) && errno == ENOENT) return unusable("is a dangling link");
        return unusable(std::string("cannot be looked at (") + std::strerror(errno) + ")");
    }
    if (S_ISDIR(st.st_mode)) return unusable("is a directory");
    if (S_ISFIFO(st.st_mode)) return unusable("is a FIFO");
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return unusable("is a device");
    if (S_ISSOCK(st.st_mode)) return unusable("is a socket");
    if (!S_ISREG(st.st_mode)) return unusable("is not a regular file");
    if (!open_regular_file(fn)) {
        return unusable(std::string("cannot be read (") + std::strerror(errno) + ")");
    }
    return package_entry::regular;
}

namespace {

constexpr const char* kPackageNames[] = {
    "system.bin",  "kernel.bin",   "kernel.sign",  "var.bin",    "data.bin",
    "data2g.bin",  "data32g.bin",  "esystem.bin",  "edata.bin",  "ekernel.bin",
    "vemkit.bin",  "vemkit.sign",  "bios.bin",     "bios.sign",  "s-bios.bin",
    "s-bios.sign", "recovery.bin", "userdata.bin", "ver32g.bin", "ver4g.bin",
};

}  // namespace

std::span<const char* const> package_names() {
    return kPackageNames;
}

int check_package_names() {
    int result = 0;
    for (const char* name : package_names()) {
        std::string why;
        if (package_file_entry(name, &why) == package_entry::unusable) {
            con_err("\nerror: %s %s\n", name, why.c_str());
            result = -1;
        }
    }
    return result;
}
