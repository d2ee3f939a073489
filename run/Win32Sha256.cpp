// SHA-256 with Windows' own cryptography library (CNG), the counterpart of libcrypto on Linux.
#include <windows.h>
#include <bcrypt.h>

#include <stdexcept>

#include "run/Sha256.h"

std::string Sha256Hex(std::span<const uint8_t> bytes) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) < 0)
    throw std::runtime_error("SHA-256 is not available");
  BCRYPT_HASH_HANDLE hash = nullptr;
  unsigned char digest[32];
  bool ok = BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) >= 0;
  ok = ok && BCryptHashData(hash, const_cast<PUCHAR>(bytes.data()),
                            static_cast<ULONG>(bytes.size()), 0) >= 0;
  ok = ok && BCryptFinishHash(hash, digest, sizeof digest, 0) >= 0;
  if (hash != nullptr) BCryptDestroyHash(hash);
  BCryptCloseAlgorithmProvider(algorithm, 0);
  if (!ok) throw std::runtime_error("SHA-256 digest failed");
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(64);
  for (unsigned char b : digest) {
    hex += kHex[b >> 4];
    hex += kHex[b & 0xF];
  }
  return hex;
}
