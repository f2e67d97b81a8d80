#include "scratch_dir.h"

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>

void write_file(const std::string& name, std::string_view bytes) {
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + name);
}

void sparse_file(const std::string& name, uint64_t size) {
    int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) throw std::runtime_error("cannot create " + name);
    int rc = ::ftruncate(fd, static_cast<off_t>(size));
    ::close(fd);
    if (rc != 0) throw std::runtime_error("cannot size " + name);
}

std::string patterned_bytes(size_t size) {
    std::string bytes(size, '\0');
    uint32_t x = 0x12345678;
    for (char& c : bytes) {
        x = x * 1103515245 + 12345;
        c = static_cast<char>(x >> 24);
    }
    return bytes;
}
