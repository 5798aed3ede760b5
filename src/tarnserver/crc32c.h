// CRC-32C (Castagnoli) of a byte range, for the ring file's record and
// checkpoint checksums. Uses the processor's CRC instruction where there is
// one. Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnserver {

uint32_t crc32c(uint32_t seed, const void *data, size_t n);

}  // namespace tarnserver
