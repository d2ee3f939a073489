#include "records/Digest.h"

#include <openssl/evp.h>

#include <stdexcept>

std::string Base64Encode(std::string_view bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                reinterpret_cast<const unsigned char*>(bytes.data()),
                                static_cast<int>(bytes.size()));
  text.resize(static_cast<size_t>(n));
  return text;
}

std::string Base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) throw std::runtime_error("bad base64 text");
  std::string bytes(3 * (text.size() / 4) + 1, '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<int>(text.size()));
  if (n < 0) throw std::runtime_error("bad base64 text");
  // EVP_DecodeBlock counts the padding as zero bytes.
  size_t length = static_cast<size_t>(n);
  if (!text.empty() && text.back() == '=') --length;
  if (text.size() >= 2 && text[text.size() - 2] == '=') --length;
  bytes.resize(length);
  return bytes;
}
