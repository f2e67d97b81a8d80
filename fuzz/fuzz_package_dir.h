// A package directory for the targets that read package files: a fresh directory for the life
// of the process, with entries of any kind put in it under a package file's name, and made the
// current directory only while one input runs (libFuzzer writes its corpus and artifacts to the
// paths it was given, which may be relative). Whether the installer may read an entry is known
// from its kind.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>
#include <system_error>

#include "fuzz_input.h"

enum class EntryKind : uint8_t {
    absent,
    file,
    directory,
    fifo,
    dangling_link,
    link_to_file,
    unreadable,  // a file without read permission (which root still reads)
};
constexpr uint8_t kEntryKinds = 7;

inline EntryKind entry_kind(uint8_t b) {
    return static_cast<EntryKind>(b % kEntryKinds);
}

// True when an entry of this kind opens as a regular file for reading.
inline bool readable_file(EntryKind kind) {
    return kind == EntryKind::file || kind == EntryKind::link_to_file ||
           (kind == EntryKind::unreadable && ::geteuid() == 0);
}
// True when an entry of this kind is there but is no file the installer can read.
inline bool unusable_entry(EntryKind kind) {
    return kind != EntryKind::absent && !readable_file(kind);
}

class PackageDir {
  public:
    static PackageDir& get() {
        static PackageDir dir;
        return dir;
    }
    PackageDir(const PackageDir&) = delete;
    PackageDir& operator=(const PackageDir&) = delete;

    // The package directory is the current directory while this lives.
    class Inside {
      public:
        Inside() : previous_(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
            FUZZ_CHECK(previous_ >= 0);
            FUZZ_CHECK(::chdir(get().path_.c_str()) == 0);
        }
        ~Inside() {
            FUZZ_CHECK(::fchdir(previous_) == 0);
            ::close(previous_);
        }
        Inside(const Inside&) = delete;
        Inside& operator=(const Inside&) = delete;

      private:
        int previous_;
    };

    // Whatever is under `name` is replaced by an entry of `kind`; a file (or the file a link
    // points at) holds `bytes`. Only inside the directory.
    void put(const std::string& name, EntryKind kind, std::span<const uint8_t> bytes) const {
        std::error_code ec;
        std::filesystem::remove_all(name, ec);
        std::filesystem::remove_all(name + ".target", ec);
        switch (kind) {
            case EntryKind::absent:
                break;
            case EntryKind::file:
                write(name, bytes, 0644);
                break;
            case EntryKind::unreadable:
                write(name, bytes, 0);
                break;
            case EntryKind::directory:
                FUZZ_CHECK(::mkdir(name.c_str(), 0755) == 0);
                break;
            case EntryKind::fifo:
                FUZZ_CHECK(::mkfifo(name.c_str(), 0644) == 0);
                break;
            case EntryKind::dangling_link:
                FUZZ_CHECK(::symlink((name + ".target").c_str(), name.c_str()) == 0);
                break;
            case EntryKind::link_to_file:
                write(name + ".target", bytes, 0644);
                FUZZ_CHECK(::symlink((name + ".target").c_str(), name.c_str()) == 0);
                break;
        }
    }

  private:
    PackageDir() {
        char tmpl[] = "/tmp/tessaro-fuzz-package-XXXXXX";
        FUZZ_CHECK(::mkdtemp(tmpl) != nullptr);
        path_ = tmpl;
    }
    ~PackageDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }

    static void write(const std::string& name, std::span<const uint8_t> bytes, mode_t mode) {
        int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        FUZZ_CHECK(fd >= 0);
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
            FUZZ_CHECK(n > 0);
            done += static_cast<size_t>(n);
        }
        FUZZ_CHECK(::fchmod(fd, mode) == 0);
        ::close(fd);
    }

    std::string path_;
};
