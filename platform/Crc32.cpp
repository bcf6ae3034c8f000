#include "platform/Crc32.h"

#include <libdeflate.h>

namespace sk {

uint32_t Crc32(const void* data, size_t len, uint32_t crc) {
    // libdeflate takes the checksum as zlib does, conditioning included.
    return len ? libdeflate_crc32(crc, data, len) : crc;
}

} // namespace sk
