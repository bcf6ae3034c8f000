#pragma once
// CRC-32 (IEEE 802.3, reflected, initial and final xor 0xFFFFFFFF, as in
// zlib) of the key tree images and of every checksummed study file record.
// One implementation for all of them, from libdeflate, which picks a
// carry-less-multiply kernel where the processor has one.

#include <cstddef>
#include <cstdint>

#include "platform/SkrivoExport.h"

namespace sk {

// crc continues a checksum over earlier bytes: Crc32(b, m, Crc32(a, n)) is the
// checksum of a followed by b.
SKRIVO_API uint32_t Crc32(const void* data, size_t len, uint32_t crc = 0);

} // namespace sk
