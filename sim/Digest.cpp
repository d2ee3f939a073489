#include "sim/Digest.h"

#include <stdexcept>
#include <vector>

namespace sim {

std::string HandheldImageSha256(std::span<const uint8_t> memory) {
  if (memory.size() != 8192) {
    throw std::invalid_argument("a handheld image is 8192 bytes, not " +
                                std::to_string(memory.size()));
  }
  return Sha256Hex(memory);
}

std::string ServerImageSha256(std::span<const uint16_t> words) {
  constexpr size_t kFirst = 0x0100, kEnd = 0x2000;
  if (words.size() < kEnd) {
    throw std::invalid_argument("a server image needs the words up to 0x1FFF, got " +
                                std::to_string(words.size()) + " words");
  }
  std::vector<uint8_t> bytes;
  bytes.reserve(2 * (kEnd - kFirst));
  for (size_t a = kFirst; a < kEnd; ++a) {
    const uint16_t w = words[a] & 0x3FFF;
    bytes.push_back(static_cast<uint8_t>(w & 0xFF));
    bytes.push_back(static_cast<uint8_t>(w >> 8));
  }
  return Sha256Hex(bytes);
}

}  // namespace sim
