// The write and verify steps: a whole file, a file in pieces, an image in memory, the device's
// CRC check, and the progress bar.
#include "installer/steps/flash_steps.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/unique_file.h"
#include "check/crc32.h"
#include "client/action_queue.h"
#include "console/console.h"
#include "installer/steps/device.h"
#include "installer/steps/file_chunks.h"
#include "installer/steps/package.h"
#include "installer/steps/progress.h"
#include "installer/steps/regular_file.h"
#include "installer/steps/stop_note.h"
#include "payload/payload.h"

static_assert(sizeof(off_t) >= 8, "file sizes must be 64-bit");

namespace {

// largest piece flash_file accepts: 128 MiB
constexpr uint32_t max_piece = 134217728;
// the queue refuses commands longer than 63 characters; "flash:" and "check:" go in front
constexpr size_t max_command = 63;
constexpr size_t command_prefix = 6;

}  // namespace

bool piece_name(char* out, size_t size, const char* pname, uint64_t offset) {
    // the first piece is named like the partition, the others carry their offset
    int n = offset == 0 ? std::snprintf(out, size, "%s", pname)
                        : std::snprintf(out, size, "%s:%" PRIx64, pname, offset);
    // the name also has to fit the queue's command once "flash:" is in front, or the queue
    // would end the process
    return n >= 0 && static_cast<size_t>(n) < size &&
           static_cast<size_t>(n) + command_prefix <= max_command;
}

int64_t file_size(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

file_buffer load_fd(int fd, uint64_t* sz) {
    base::unique_fd file(fd);
    int64_t size = file_size(fd);
    if (size < 0) return nullptr;
    // an empty file is an empty image; one byte keeps the allocation distinct from failure
    file_buffer data(
        static_cast<unsigned char*>(std::malloc(size > 0 ? static_cast<size_t>(size) : 1)));
    if (!data) {
        errno = ENOMEM;
        return nullptr;
    }
    int64_t got = read_full(fd, data.get(), static_cast<uint64_t>(size));
    if (got != size) {
        int saved = got < 0 ? errno : EIO;
        file.reset();
        errno = saved;  // the failing step's error, not the close's
        return nullptr;
    }
    if (sz != nullptr) *sz = static_cast<uint64_t>(size);
    return data;
}

file_buffer load_file(const char* fn, uint64_t* sz) {
    base::unique_fd fd = open_regular_file(fn);
    if (!fd) return nullptr;
    return load_fd(fd.release(), sz);
}

void percent(int per) {
    int j = per / 3;
    std::string bar;
    if (j > 0) bar.append(static_cast<size_t>(j), '#');
    if (j < 33) bar.append(static_cast<size_t>(j > 0 ? 33 - j : 33), ' ');
    if (progress_on_terminal()) {
        // the figures, and the end of a longer line drawn before, cleared (erase to its end)
        con_out("\r[%s] %02d%% %s\033[K", bar.c_str(), per, progress_figures().c_str());
    } else {
        con_out("\r[%s] %02d%% ", bar.c_str(), per);
    }
    con_flush();
}

namespace {

// What a person would call an image the installer carries, once the device has taken it.
std::string written_name(const void* buf) {
    const payload_image* img = payload_of(buf);
    // the one image the installer makes itself
    if (img == nullptr) return "the boot configuration block";
    const std::string name = img->name;
    switch (img->kind) {
        case payload_kind::staged_loader:
            // the catalog holds the staged loaders first, in chain order
            return "loader chain stage " + std::to_string(img - payload_catalog().data() + 1) +
                   " (" + name + ")";
        case payload_kind::final_loader:
            return "the final loader (" + name + ")";
        case payload_kind::main_table:
        case payload_kind::extended_table:
            break;
    }
    return "the partition table " + name;
}

}  // namespace

int flash_one(RunDevice& device, const char* pname, const char* fname) {
    if (pname == nullptr || fname == nullptr) return 0;

    base::unique_fd fd = open_regular_file(fname);
    if (!fd) {
        // a file that is not there is skipped; one that is there but is no regular, readable
        // file cannot be sent
        return package_file_entry(fname) == package_entry::absent ? 0 : -1;
    }
    // a whole-file write is one download, whose size the device can only accept below 2 GiB
    int64_t size = file_size(fd.get());
    if (size < 0 || static_cast<uint64_t>(size) > max_download) return -1;
    // an empty file is no file of the package, as everywhere else: skipped like a missing one
    if (size == 0) return 0;
    // the file is read as it is sent, one chunk in memory at a time; a file that cannot be read
    // at all (a read error, a short read, too little memory) is refused before anything is sent
    file_chunks data(std::move(fd), fname, static_cast<uint64_t>(size));
    if (!data.prime()) return -1;

    con_out("\n###Downloading:%s\n", pname);
    fb_queue_flash_source(pname, &data, static_cast<uint32_t>(size));
    FileProgress progress(static_cast<uint64_t>(size));
    percent(0);
    int result = run_queue(device);
    percent(100);
    if (result == 0) note_last_write(std::string("package file ") + fname);
    return result != 0 ? -1 : 1;
}

int flash_file(RunDevice& device, const char* pname, const char* fn, uint32_t split) {
    if (split == 0 || split > max_piece || pname == nullptr) {
        con_out("flash_file err1\n");
        return -1;
    }
    base::unique_fd fd = open_regular_file(fn);
    if (!fd) {
        con_out("flash_file err2\n");
        return -1;
    }

    // every exit from here on ends the bar's line
    int result = [&]() -> int {
        off_t end = ::lseek(fd.get(), 0, SEEK_END);
        if (end <= 0) {
            con_out("flash_file err3\n");
            return -1;
        }
        if (::lseek(fd.get(), 0, SEEK_SET) != 0) {
            con_out("flash_file err4\n");
            return -1;
        }
        const auto size = static_cast<uint64_t>(end);
#ifndef _WIN32
        (void)::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
#endif

        // one piece in memory at a time, reused for every piece
        file_buffer piece(static_cast<unsigned char*>(std::malloc(split)));
        if (!piece) {
            con_out("flash_file err5\n");
            return -1;
        }

        FileProgress progress(size);
        uint64_t offset = 0;
        while (offset < size) {
            uint32_t len = static_cast<uint32_t>(std::min<uint64_t>(size - offset, split));
            int64_t got = read_full(fd.get(), piece.get(), len);
            if (got != static_cast<int64_t>(len)) {
                con_out("flash_file err6:%d,%u\n", static_cast<int>(got), len);
                return -1;
            }

            // the next piece comes from the disk while this one is on the link
            read_ahead(fd.get(), offset + len, split);

            char name[128];
            if (!piece_name(name, sizeof name, pname, offset)) {
                con_out("flash_file err7\n");
                return -1;
            }

            fb_queue_flash(name, piece.get(), len);
            progress.at(offset);
            if (run_queue(device) != 0) {
                // the device refused this piece: the rest of the file is not sent
                return -1;
            }

            offset += len;
            note_last_write((offset < size ? "part of package file " : "package file ") +
                            std::string(fn));
            percent(
                static_cast<int>(static_cast<double>(offset) / static_cast<double>(size) * 100.0));
        }
        return 0;
    }();

    con_out("\n");
    return result;
}

int flash_buffer(RunDevice& device, const void* buf, uint32_t len, const char* name) {
    fb_queue_flash(name, buf, len);
    const int result = run_queue(device);
    if (result == 0) note_last_write(written_name(buf));
    return result;
}

int do_check_buf(RunDevice& device, const char* part, const char* buf_sign, uint64_t kernel_base,
                 uint64_t kernel_size) {
    char text[256];
    std::snprintf(text, sizeof text, "%s %" PRIx64 " %" PRIx64 " %s", part ? part : "", kernel_base,
                  kernel_size, buf_sign ? buf_sign : "");
    fb_queue_check(text);
    return run_queue(device) != 0 ? -1 : 0;
}

bool sign_crc_text(const char* sign, char (&text)[9]) {
    base::unique_fd fd = open_regular_file(sign);
    if (!fd) return false;
    base::unique_file file(::fdopen(fd.get(), "rb"));
    if (!file) return false;
    fd.release();  // the stream owns it now
    // the host checked the image against the text's value; the device is given that value
    // itself, so a signature in capitals, with "0x" or with spaces in front is checked against
    // the same number on both sides (its first 8 characters would be another number)
    std::snprintf(text, sizeof text, "%08x", GetFileSUM(file.get()));
    return true;
}

int do_check(RunDevice& device, const char* part, const char* kernel_sign, uint64_t kernel_base,
             uint64_t kernel_size) {
    // no signature, nothing to check against: the device is not asked
    if (!test_file(kernel_sign, nullptr)) return 0;
    char crc[9];
    if (!sign_crc_text(kernel_sign, crc)) return 0;
    return do_check_buf(device, part, crc, kernel_base, kernel_size);
}
