// Byte text: a length-counted string of bytes 0 to 255, used for requests, expected answers,
// replies, log messages and the run trace. std::string holds any byte value.
#pragma once

#include <cstdint>
#include <string>

using ByteText = std::string;

inline ByteText Bytes(std::initializer_list<uint8_t> bytes) {
  ByteText t;
  for (uint8_t b : bytes) t.push_back(static_cast<char>(b));
  return t;
}

inline uint8_t ByteAt(const ByteText& text, size_t i) { return static_cast<uint8_t>(text[i]); }
