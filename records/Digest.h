// SHA-256 digests (OpenSSL's libcrypto) and base64, for package digests and the spool file.
#pragma once

#include <string>
#include <string_view>

// Lower-case hexadecimal SHA-256 digest of bytes.
std::string Sha256Hex(std::string_view bytes);

std::string Base64Encode(std::string_view bytes);
// Throws std::runtime_error for text that is not base64.
std::string Base64Decode(std::string_view text);
