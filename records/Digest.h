// Base64 for the spool file and the records' raw texts; SHA-256 digests come from run/Sha256.h.
#pragma once

#include <string>
#include <string_view>

#include "run/Sha256.h"

std::string Base64Encode(std::string_view bytes);
// Throws std::runtime_error for text that is not base64.
std::string Base64Decode(std::string_view text);
