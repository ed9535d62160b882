#include "platform/checksum.h"

#include <zlib.h>

namespace bw {

std::uint32_t Crc32(const std::string& text) {
    const uLong seed = crc32(0L, Z_NULL, 0);
    return static_cast<std::uint32_t>(
        crc32(seed, reinterpret_cast<const Bytef*>(text.data()), static_cast<uInt>(text.size())));
}

}  // namespace bw
