// SHA-256 digests of package files and device images, from the platform's well-kept crypto
// library (OpenSSL's libcrypto here), as 64 lower-case hexadecimal digits.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

std::string Sha256Hex(std::span<const uint8_t> bytes);

inline std::string Sha256Hex(std::string_view bytes) {
  return Sha256Hex(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}
