// CRC-32 (ISO-HDLC / IEEE 802.3, the one of zlib and PNG) of files and buffers, compared with
// expected values written as hexadecimal text, alone or in a ".sign" file.
#pragma once

#include <cstdint>
#include <cstdio>

// Continues a CRC over `len` bytes; start with 0. Feeding each block's result into the next
// call gives the CRC of the whole.
uint32_t get_crc32(uint32_t crc, const void* buf, uint32_t len);
// The CRC of A followed by B from the CRC of A, the CRC of B and B's length: what a device that
// keeps only the CRCs of its writes needs to answer a check over several of them.
uint32_t crc32_combine(uint32_t crc_a, uint32_t crc_b, uint64_t len_b);

// CRC of everything from the file's current position to its end, read in 16 KiB blocks.
uint32_t GetFileCRC(FILE* file);
// CRC of a buffer, processed in 16 KiB passes; 0 for an empty buffer.
uint32_t GetBufferCRC(const void* buf, uint32_t len);

// The expected CRC written in the first (at most) 32 bytes of a signature file; 0 when nothing
// can be read.
uint32_t GetFileSUM(FILE* file);
// The value of an expected-CRC text, parsed as strtoul does with base 16; 0 for null.
uint32_t GetBufferSUM(const char* text);

// 1 when the data file's CRC equals the value in the signature file; 0 on a mismatch or when
// either file cannot be opened (reported on standard error as "Error: <reason>").
int crc32check(const char* datafile, const char* signfile);
// 1 when the buffer's CRC equals the text's value, else 0.
int crc32buffer(const void* buf, uint32_t len, const char* text);
