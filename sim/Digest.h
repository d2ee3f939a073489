// Digests of device memory images, as the bench report gives them: SHA-256 in lower-case hex.
// Tests compute the same digest from the bytes or program words they hold (a decoded package,
// an image they wrote) to compare it with what a device holds.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "run/Sha256.h"

namespace sim {

// SHA-256 of the bytes, as 64 lower-case hex digits.
using ::Sha256Hex;

// A handheld's image: its 8192 bytes of memory, address 0 first. Throws std::invalid_argument
// for another size.
std::string HandheldImageSha256(std::span<const uint8_t> memory);

// A server's image: program words 0x0100..0x1FFF of a word-addressed image (at least 0x2000
// words, index = word address; words below 0x0100 are not part of it), each masked to its
// 14 bits and taken as two bytes, low byte first. A word without data (0xFFFF, as a decoded
// package marks it) thus counts as the erased word 0x3FFF that the server holds there. Throws
// std::invalid_argument for fewer than 0x2000 words.
std::string ServerImageSha256(std::span<const uint16_t> words);

}  // namespace sim
