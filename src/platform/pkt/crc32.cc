// Two ways to the same CRC. Where the processor multiplies carry-less
// (PCLMULQDQ, x86-64 since about 2010), whole runs of 64 bytes and more are
// folded 16 bytes at a time, as Intel's "Fast CRC Computation for Generic
// Polynomials Using PCLMULQDQ Instruction" describes: about ten times faster
// than the tables, so that checking a stuffed packet costs next to nothing.
// Elsewhere, and for what is left over, slice-by-8: eight tables let the loop
// fold eight bytes per step.
#include "platform/pkt/crc32.h"

#include <array>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define CRC32_CLMUL 1
#endif

namespace {

using Tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr Tables makeTables() {
  Tables t{};
  for (uint32_t i = 0; i < 256; i++) {
    uint32_t c = i;
    for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[0][i] = c;
  }
  for (uint32_t i = 0; i < 256; i++) {
    for (int s = 1; s < 8; s++) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
  }
  return t;
}

constexpr Tables kTables = makeTables();

uint32_t load32le(const unsigned char *p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The tables' loop on the register value c (the CRC before its final xor).
uint32_t tableUpdate(uint32_t c, const unsigned char *p, size_t len) {
  while (len >= 8) {
    uint32_t lo = load32le(p) ^ c;
    uint32_t hi = load32le(p + 4);
    c = kTables[7][lo & 0xFF] ^ kTables[6][(lo >> 8) & 0xFF] ^ kTables[5][(lo >> 16) & 0xFF] ^
        kTables[4][lo >> 24] ^ kTables[3][hi & 0xFF] ^ kTables[2][(hi >> 8) & 0xFF] ^
        kTables[1][(hi >> 16) & 0xFF] ^ kTables[0][hi >> 24];
    p += 8;
    len -= 8;
  }
  while (len-- > 0) c = kTables[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
  return c;
}

#ifdef CRC32_CLMUL
#define CLMUL_TARGET __attribute__((target("pclmul,sse4.1")))

CLMUL_TARGET inline __m128i load128(const unsigned char *q) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i *>(q));
}

// x folded forward by the distance the constants k stand for, plus `next`.
CLMUL_TARGET inline __m128i fold(__m128i x, __m128i k, __m128i next) {
  return _mm_xor_si128(
      _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

// Folds `len` bytes (at least 64, a multiple of 16) into the register value
// c. The constants are x^(4*128+32), x^(4*128-32), x^(128+32), x^(128-32)
// and x^64 modulo the polynomial, bit-reflected, then the polynomial and
// its Barrett constant.
CLMUL_TARGET uint32_t clmulUpdate(uint32_t c, const unsigned char *p, size_t len) {
  const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
  const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
  const __m128i k5k0 = _mm_set_epi64x(0, 0x0163cd6124);
  const __m128i poly = _mm_set_epi64x(0x01f7011641, 0x01db710641);
  const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);
  __m128i x1 = _mm_xor_si128(load128(p), _mm_cvtsi32_si128(static_cast<int>(c)));
  __m128i x2 = load128(p + 16), x3 = load128(p + 32), x4 = load128(p + 48);
  p += 64;
  len -= 64;
  for (; len >= 64; p += 64, len -= 64) {
    x1 = fold(x1, k1k2, load128(p));
    x2 = fold(x2, k1k2, load128(p + 16));
    x3 = fold(x3, k1k2, load128(p + 32));
    x4 = fold(x4, k1k2, load128(p + 48));
  }
  x1 = fold(fold(fold(x1, k3k4, x2), k3k4, x3), k3k4, x4);
  for (; len >= 16; p += 16, len -= 16) x1 = fold(x1, k3k4, load128(p));
  // 128 bits to 64, then Barrett's reduction to 32.
  __m128i x = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, k3k4, 0x10));
  x = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x, low32), k5k0, 0x00),
                    _mm_srli_si128(x, 4));
  __m128i t = _mm_and_si128(_mm_clmulepi64_si128(_mm_and_si128(x, low32), poly, 0x10), low32);
  x = _mm_xor_si128(x, _mm_clmulepi64_si128(t, poly, 0x00));
  return static_cast<uint32_t>(_mm_extract_epi32(x, 1));
}

bool haveClmul() {
  static const bool have = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  return have;
}
#endif

}  // namespace

extern "C" {

uint32_t crc32_ieee_update(uint32_t crc, const void *buf, size_t len) {
  const unsigned char *p = static_cast<const unsigned char *>(buf);
  uint32_t c = ~crc;
#ifdef CRC32_CLMUL
  if (len >= 64 && haveClmul()) {
    size_t folded = len & ~size_t{15};
    c = clmulUpdate(c, p, folded);
    p += folded;
    len -= folded;
  }
#endif
  return ~tableUpdate(c, p, len);
}

uint32_t crc32_ieee(const void *buf, size_t len) { return crc32_ieee_update(0, buf, len); }

}  // extern "C"
