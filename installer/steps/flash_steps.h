// The write and verify steps the install plans are built from. Each is one exchange: queue,
// open the device, execute, free.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/unique_malloc.h"

struct RunDevice;

// Piece size for writing package files: 32 MiB.
constexpr uint32_t split = 33554432;
// The device can report success for downloads of at most this many bytes.
constexpr uint64_t max_download = 2147483647;

// Writes a whole file to a partition. 1 when the file was loaded and written; 0 when an argument
// is null or the file is not there or empty (nothing printed, nothing sent); -1 when the file is
// there but cannot be sent (no regular, readable file, larger than one download, a read error, a
// short read, too little memory: nothing printed, nothing sent) or when the device refused the
// write (after the queue's FAILED line and the bar at 100%).
int flash_one(RunDevice& device, const char* pname, const char* fname);
// Writes a file of any size in pieces of `split` bytes, one piece in memory at a time. 0 when
// every piece was accepted; -1 on a host-side failure or when the device refused a piece (no
// further piece of that file is sent).
int flash_file(RunDevice& device, const char* pname, const char* fn, uint32_t split);
// Writes an image held in memory; 0 on success, the queue's result otherwise.
int flash_buffer(RunDevice& device, const void* buf, uint32_t len, const char* name);
// Has the device verify a written range against the CRC text in a ".sign" file. 0 when the
// device accepted it or there was no sign file; -1 when the device reported a failure.
int do_check(RunDevice& device, const char* part, const char* kernel_sign, uint64_t kernel_base,
             uint64_t kernel_size);
// The CRC text the device is given for a signature file: the value the host's check reads from
// it, as 8 lower-case hexadecimal digits. False when the file is no regular, readable file.
bool sign_crc_text(const char* sign, char (&text)[9]);
// The same with the CRC text given.
int do_check_buf(RunDevice& device, const char* part, const char* buf_sign, uint64_t kernel_base,
                 uint64_t kernel_size);
// The progress bar: "\r[", 33 columns, "] NN% ".
void percent(int per);

using file_buffer = base::unique_malloc<unsigned char[]>;
// The whole file in a new buffer (size through *sz), or null. load_fd closes fd in every case.
file_buffer load_file(const char* fn, uint64_t* sz);
file_buffer load_fd(int fd, uint64_t* sz);
// Size of an open file, -1 when it cannot be determined.
int64_t file_size(int fd);

// Internal, exposed for tests.
// The name of the piece at `offset` of partition `pname`: the partition's own name for the first
// piece, "NAME:OFFSET" (offset in lower-case hexadecimal, 64-bit) after it. False when the name
// does not fit `size` bytes or, with "flash:" in front, the queue's command limit.
bool piece_name(char* out, size_t size, const char* pname, uint64_t offset);
