// Base64 (OpenSSL's libcrypto) for the spool file; SHA-256 digests come from run/Sha256.h.
#pragma once

#include <string>
#include <string_view>

#include "run/Sha256.h"

std::string Base64Encode(std::string_view bytes);
// Throws std::runtime_error for text that is not base64.
std::string Base64Decode(std::string_view text);
