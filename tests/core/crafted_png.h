#pragma once
// A grey 8-bit PNG of width x height black pixels holding at most 2 KiB of
// rows: complete when small, and when big a file of a few kilobytes whose
// header claims a huge size.
#include <algorithm>
#include <cstdint>
#include <string>

#include "test_support.h"

namespace quorvel::testing {

inline std::uint32_t pngCrc(const std::string& bytes) {
  std::uint32_t crc = 0xffffffffu;
  for (unsigned char c : bytes) {
    crc ^= c;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
  }
  return crc ^ 0xffffffffu;
}

inline std::string bigEndian(std::uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}

inline std::string pngChunk(const std::string& type, const std::string& data) {
  return bigEndian(static_cast<std::uint32_t>(data.size())) + type + data + bigEndian(pngCrc(type + data));
}

inline void writeHeaderBombPng(const std::string& path, std::uint32_t width, std::uint32_t height) {
  const std::string header = bigEndian(width) + bigEndian(height) + std::string("\x08\x00\x00\x00\x00", 5);
  // A zlib stream of stored blocks of zeros: filter byte 0 and black pixels.
  std::string zlib = "\x78\x01";
  // All the rows of a small image; of a big one, the first 2 KiB.
  std::uint64_t left = std::min<std::uint64_t>((std::uint64_t{width} + 1) * height, 2048);
  std::uint32_t a = 1, b = 0;
  while (left > 0) {
    const std::uint16_t n = static_cast<std::uint16_t>(std::min<std::uint64_t>(left, 1024));
    left -= n;
    zlib += static_cast<char>(left == 0 ? 1 : 0);
    zlib += {static_cast<char>(n & 0xff), static_cast<char>(n >> 8),
             static_cast<char>(~n & 0xff), static_cast<char>((~n >> 8) & 0xff)};
    zlib += std::string(n, '\0');
    for (int k = 0; k < n; ++k) b = (b + a) % 65521;  // adler-32 of zeros: a stays 1
  }
  zlib += bigEndian((b << 16) | a);
  writeFile(path, std::string("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", header) + pngChunk("IDAT", zlib) +
                      pngChunk("IEND", ""));
}

}  // namespace quorvel::testing
