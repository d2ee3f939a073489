#include "firmware/Versions.h"

#include <algorithm>
#include <string>

namespace {

const ByteText kTo = " to ";

std::string Decimal(unsigned value) {
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + value % 10));
    value /= 10;
  } while (value != 0);
  return digits;
}

bool IsVersionChar(char c) {
  return c == ' ' || c == '.' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
         (c >= 'a' && c <= 'z');
}

// The valid part of handheld image k (its length is never trusted beyond the buffer).
size_t ImageLength(const TRunRecord& run, int k) {
  return std::min<size_t>(run.TPImageLen[k], kTPImageSize);
}

}  // namespace

ByteText VerText(uint8_t value) {
  return "V" + Decimal(value >> 4) + "." + Decimal(value & 0x0F);
}

ByteText ServerVersionText(uint8_t version, uint8_t build) {
  ByteText text = "V";
  text += static_cast<char>('1' + ((version >> 2) & 7));
  text += '.';
  text += static_cast<char>('0' + (version & 3));
  text += '.';
  text += Decimal(build);
  if (version >= 0x20) text += static_cast<char>(0x60 + (version >> 5));
  return text;
}

void BuildModemVer(TRunRecord& run) {
  const auto& image = run.TPImage[1];
  const size_t length = ImageLength(run, 1);
  uint8_t version = image[3];
  if (length > kRfSignatureSearchStart) {
    const auto begin = image.begin() + kRfSignatureSearchStart;
    const auto end = image.begin() + static_cast<std::ptrdiff_t>(length);
    const auto found =
        std::search(begin, end, kRfVersionSignature.begin(), kRfVersionSignature.end());
    if (found != end) {
      // The version byte is repeated on both sides of the pattern; a lone match is not one.
      const size_t last = static_cast<size_t>(found - image.begin()) + kRfVersionSignature.size() - 1;
      if (last + 1 < image.size() && image[last + 1] == image[last - 8]) version = image[last + 1];
    }
  }
  run.ModemVer = kTo + VerText(version);
}

void BuildEepromVer(TRunRecord& run) {
  const auto& image = run.TPImage[2];
  const size_t length = ImageLength(run, 2);
  ByteText text;
  if (length >= kEepromVersionMinLength) {
    const size_t pointer = (static_cast<size_t>(image[kEepromVersionPointer]) << 8) |
                           image[kEepromVersionPointer + 1];
    if (pointer > 0x40 && pointer < length) {
      // The text ends at pointer + 1 and is read backwards up to its "v"; anything that does not
      // look like a short version text gives up.
      size_t i = pointer + 1;
      do {
        const char c = i < image.size() ? static_cast<char>(image[i]) : '\0';
        text.insert(text.begin(), c == 'v' ? 'V' : c);
        --i;
        if (i == 0x40 || text.size() > 12 || !IsVersionChar(text.front())) text.clear();
      } while (!text.empty() && text.front() != 'V');
    }
  }
  if (text.empty()) text = VerText(image[1]);
  run.EepromVer = kTo + text;
}

void BuildSrvFileVer(TRunRecord& run) {
  const auto& image = run.SrvImage[1];
  run.SrvFileVer.clear();
  const auto begin = image.begin() + kSrvSignatureSearchStart;
  const auto end = image.begin() + kSrvLastWord + 1;
  const auto found =
      std::search(begin, end, kServerVersionSignature.begin(), kServerVersionSignature.end());
  if (found == end) return;
  const size_t last = static_cast<size_t>(found - image.begin()) + kServerVersionSignature.size() - 1;
  const uint16_t versionWord = image[last - kSrvVersionWordBack];
  const uint16_t buildWord = image[last - kSrvBuildWordBack];
  if ((versionWord >> 8) != kSrvLoadLiteral || (buildWord >> 8) != kSrvLoadLiteral) return;
  run.SrvFileVer = kTo + ServerVersionText(static_cast<uint8_t>(versionWord & 0xFF),
                                           static_cast<uint8_t>(buildWord & 0xFF));
}
