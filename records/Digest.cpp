#include "records/Digest.h"

#include <stdexcept>

namespace {
const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Sextet(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}
}  // namespace

// Base64 as RFC 4648 has it, with padding: three bytes become four characters.
std::string Base64Encode(std::string_view bytes) {
  std::string text;
  text.reserve(4 * ((bytes.size() + 2) / 3));
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t n = std::min<size_t>(3, bytes.size() - i);
    uint32_t v = 0;
    for (size_t k = 0; k < 3; ++k)
      v = (v << 8) | (k < n ? static_cast<uint8_t>(bytes[i + k]) : 0u);
    for (size_t k = 0; k < 4; ++k)
      text += k <= n ? kAlphabet[(v >> (18 - 6 * k)) & 0x3F] : '=';
  }
  return text;
}

std::string Base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) throw std::runtime_error("bad base64 text");
  std::string bytes;
  bytes.reserve(3 * (text.size() / 4));
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    size_t pad = 0;
    uint32_t v = 0;
    for (size_t k = 0; k < 4; ++k) {
      const char c = text[i + k];
      if (c == '=' && last && k >= 2 && (pad > 0 || k == 3 || text[i + 3] == '=')) {
        ++pad;
        v <<= 6;
        continue;
      }
      const int s6 = Sextet(c);
      if (s6 < 0 || pad > 0) throw std::runtime_error("bad base64 text");
      v = (v << 6) | static_cast<uint32_t>(s6);
    }
    for (size_t k = 0; k < 3 - pad; ++k) bytes += static_cast<char>((v >> (16 - 8 * k)) & 0xFF);
  }
  return bytes;
}
