/*
 * CRC-32 as IEEE 802.3, zlib and PNG compute it (reflected polynomial
 * 0xEDB88320, initial value and final xor 0xFFFFFFFF): crc32_ieee("123456789")
 * is 0xCBF43926. The stuffed-packet checksum and the tarn tool's --json
 * output both use it.
 *
 * Thread-safety: pure functions, callable from any thread.
 */
#ifndef PLATFORM_PKT_CRC32_H
#define PLATFORM_PKT_CRC32_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The CRC-32 of `len` bytes at `buf` (buf may be NULL when len is 0). */
uint32_t crc32_ieee(const void *buf, size_t len);

/* Continues a CRC-32 over more bytes: crc32_ieee_update(crc32_ieee(a, n), b, m)
 * equals the CRC-32 of a followed by b. Start from 0 for an empty prefix. */
uint32_t crc32_ieee_update(uint32_t crc, const void *buf, size_t len);

#ifdef __cplusplus
}
#endif

#endif /* PLATFORM_PKT_CRC32_H */
