// The checksum component: a 32-bit CRC (zlib's crc32) over the bytes of a text.
#pragma once

#include <cstdint>
#include <string>

namespace bw {

std::uint32_t Crc32(const std::string& text);

}  // namespace bw
