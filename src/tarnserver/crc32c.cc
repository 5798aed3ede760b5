#include "tarnserver/crc32c.h"

#include <cstring>

namespace tarnserver {
namespace {

struct Table {
  uint32_t t[256];
  Table() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0x82f63b78u : c >> 1;
      t[i] = c;
    }
  }
};

uint32_t softCrc(uint32_t crc, const unsigned char *p, size_t n) {
  static const Table table;
  for (size_t i = 0; i < n; ++i) crc = table.t[(crc ^ p[i]) & 0xff] ^ (crc >> 8);
  return crc;
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) uint32_t hardCrc(uint32_t crc, const unsigned char *p, size_t n) {
  uint64_t c = crc;
  while (n >= 8) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    c = __builtin_ia32_crc32di(c, v);
    p += 8;
    n -= 8;
  }
  uint32_t c32 = static_cast<uint32_t>(c);
  while (n--) c32 = __builtin_ia32_crc32qi(c32, *p++);
  return c32;
}

bool haveHardCrc() {
  static const bool have = __builtin_cpu_supports("sse4.2");
  return have;
}
#endif

}  // namespace

uint32_t crc32c(uint32_t seed, const void *data, size_t n) {
  const auto *p = static_cast<const unsigned char *>(data);
  uint32_t crc = ~seed;
#if defined(__x86_64__)
  if (haveHardCrc()) return ~hardCrc(crc, p, n);
#endif
  return ~softCrc(crc, p, n);
}

}  // namespace tarnserver
