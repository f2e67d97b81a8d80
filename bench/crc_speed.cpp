// CRC-32 speed: get_crc32 (the loop chosen at run time) over a 256 MiB buffer and GetFileCRC over
// a 1 GiB file in the page cache, each against zlib's crc32_z measured in the same run over the
// same bytes, and the buffer also against the carry-less-multiply loop called directly. Every
// figure is the best of three passes. Prints rows for scripts/bench.sh.
//   crc_speed WORKDIR
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "check/crc32.h"
#include "check/crc32_impl.h"
#include "support/bench_support.h"

namespace {

constexpr size_t kBuffer = size_t{256} << 20;
constexpr uint64_t kFile = uint64_t{1} << 30;
constexpr double GB = 1e9;

template <class F>
double best_rate(uint64_t bytes, F&& run) {
    double best = 1e30;
    for (int pass = 0; pass < 3; ++pass) {
        auto t0 = bench::Clock::now();
        run();
        best = std::min(best, bench::seconds_since(t0));
    }
    return static_cast<double>(bytes) / best / GB;
}

uint32_t zlib_file_crc(const char* path) {
    int fd = ::open(path, O_RDONLY);
    std::vector<unsigned char> block(1 << 20);
    uLong crc = crc32_z(0, nullptr, 0);
    for (;;) {
        ssize_t n = ::read(fd, block.data(), block.size());
        if (n <= 0) break;
        crc = crc32_z(crc, block.data(), static_cast<size_t>(n));
    }
    ::close(fd);
    return static_cast<uint32_t>(crc);
}

}  // namespace

int main(int argc, char** argv) {
    bench::WorkDir work(argc > 1 ? argv[1] : "bench-tmp");
    std::vector<unsigned char> buf(kBuffer);
    uint64_t x = 0x9e3779b97f4a7c15ULL;
    for (auto& b : buf) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        b = static_cast<unsigned char>(x);
    }

    uint32_t ours = 0, theirs = 0, clmul = 0;
    const auto len = static_cast<uint32_t>(buf.size());
    double r_ours = best_rate(kBuffer, [&] { ours = get_crc32(0, buf.data(), len); });
    double r_zlib = best_rate(kBuffer, [&] {
        theirs = static_cast<uint32_t>(crc32_z(crc32_z(0, nullptr, 0), buf.data(), buf.size()));
    });
    auto loop = crc32_impl::clmul();
    double r_clmul = loop == nullptr ? 0 : best_rate(kBuffer, [&] {
        clmul = loop(0xFFFFFFFFU, buf.data(), buf.size()) ^ 0xFFFFFFFFU;
    });
    double r_slice = best_rate(
        kBuffer, [&] { (void)crc32_impl::slicing8(0xFFFFFFFFU, buf.data(), buf.size()); });
    if (ours != theirs || (loop != nullptr && clmul != ours)) {
        std::fprintf(stderr, "CRC mismatch: ours %08x zlib %08x clmul %08x\n", ours, theirs, clmul);
        return 1;
    }
    bench::row("CRC-32 256 MiB buffer vs zlib crc32_z", r_ours, r_zlib, r_ours / r_zlib, ">= 1.0",
               "GB/s");
    bench::row("CRC-32 256 MiB buffer vs PCLMUL loop", r_ours, r_clmul,
               r_clmul > 0 ? r_ours / r_clmul : 0, ">= 0.8", "GB/s");
    bench::row("CRC-32 256 MiB buffer, slicing-by-8 fallback vs zlib", r_slice, r_zlib,
               r_slice / r_zlib, "(info)", "GB/s");

    // the 1 GiB file, written once and read from the page cache by both
    const auto file = work.path() / "crc.bin";
    {
        std::FILE* f = std::fopen(file.c_str(), "wb");
        for (uint64_t done = 0; done < kFile; done += kBuffer)
            std::fwrite(buf.data(), 1, kBuffer, f);
        std::fclose(f);
    }
    uint32_t file_ours = 0, file_zlib = 0;
    double f_ours = best_rate(kFile, [&] {
        std::FILE* f = std::fopen(file.c_str(), "rb");
        file_ours = GetFileCRC(f);
        std::fclose(f);
    });
    double f_zlib = best_rate(kFile, [&] { file_zlib = zlib_file_crc(file.c_str()); });
    if (file_ours != file_zlib) {
        std::fprintf(stderr, "file CRC mismatch: ours %08x zlib %08x\n", file_ours, file_zlib);
        return 1;
    }
    bench::row("CRC-32 1 GiB file (page cache) vs zlib crc32_z", f_ours, f_zlib, f_ours / f_zlib,
               ">= 1.0", "GB/s");
    return 0;
}
