#include "tools/PackageBuilder.h"

#include <stdexcept>

#include "firmware/Decode.h"
#include "firmware/Packages.h"

namespace {

constexpr size_t kMinBlock = 64;
constexpr size_t kMaxImage = kTPImageSize - 1;
constexpr uint16_t kRowWords = 4;
constexpr uint16_t kMaxSkip = 0x7FFF;

void PutBE16(TBytes& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

const char kHexDigits[] = "0123456789ABCDEF";

void PutHexByte(std::string& line, uint8_t value) {
  line += kHexDigits[value >> 4];
  line += kHexDigits[value & 0x0F];
}

std::string DataRecord(uint16_t address, const TBytes& data) {
  std::string line = ":";
  uint8_t sum = static_cast<uint8_t>(data.size() + (address >> 8) + (address & 0xFF));
  PutHexByte(line, static_cast<uint8_t>(data.size()));
  PutHexByte(line, static_cast<uint8_t>(address >> 8));
  PutHexByte(line, static_cast<uint8_t>(address));
  PutHexByte(line, 0x00);
  for (uint8_t b : data) {
    PutHexByte(line, b);
    sum = static_cast<uint8_t>(sum + b);
  }
  PutHexByte(line, static_cast<uint8_t>(-sum));
  return line;
}

bool RowDefined(const TServerImage& image, uint16_t row) {
  for (uint16_t i = 0; i < kRowWords; ++i)
    if (image[row + i] != kSrvNoData) return true;
  return false;
}

void PutSkips(std::vector<uint16_t>& words, uint32_t rows) {
  while (rows > 0) {
    const uint32_t step = std::min<uint32_t>(rows, kMaxSkip);
    words.push_back(static_cast<uint16_t>(0x8000 + step));
    rows -= step;
  }
}

}  // namespace

TServerImage EmptyServerImage() {
  TServerImage image;
  image.fill(kSrvNoData);
  return image;
}

TBytes ScramblePackage(uint8_t b0, uint8_t b1, std::span<const uint8_t> plain) {
  TBytes out{b0, b1};
  uint32_t reg = ScramblerStart(b0, b1);
  for (uint8_t b : plain) out.push_back(static_cast<uint8_t>(b ^ ScramblerStep(reg)));
  return out;
}

TBytes BuildTPF(const std::vector<TBytes>& blocks, uint8_t b0, uint8_t b1) {
  if (blocks.empty()) throw std::invalid_argument("a TPF package needs at least one block");
  TBytes plain;
  for (const TBytes& block : blocks) {
    if (block.size() < kMinBlock || block.size() > kMaxImage)
      throw std::invalid_argument("a TPF block holds 64 to 8191 bytes");
    PutBE16(plain, static_cast<uint16_t>(block.size()));
    plain.insert(plain.end(), block.begin(), block.end());
  }
  return ScramblePackage(b0, b1, plain);
}

TBytes BuildBinary(std::span<const uint8_t> image) {
  if (image.size() <= kMinBlock || image.size() > kMaxImage)
    throw std::invalid_argument("a binary image holds 65 to 8191 bytes");
  return TBytes(image.begin(), image.end());
}

std::string BuildHex(const TServerImage& image, const std::string& lineEnd) {
  std::string text;
  TBytes data;
  uint16_t start = 0;
  auto flush = [&] {
    if (!data.empty()) text += DataRecord(start, data) + lineEnd;
    data.clear();
  };
  for (uint32_t w = kSrvFirstWord; w <= kSrvLastWord; ++w) {
    if (image[w] == kSrvNoData) {
      flush();
      continue;
    }
    const uint16_t address = static_cast<uint16_t>(2 * w);
    if (!data.empty() && (data.size() >= 16 || start + data.size() != address)) flush();
    if (data.empty()) start = address;
    data.push_back(static_cast<uint8_t>(image[w] & 0xFF));
    data.push_back(static_cast<uint8_t>((image[w] >> 8) & 0x3F));
  }
  flush();
  return text + ":00000001FF" + lineEnd;
}

std::vector<uint16_t> SffRecordWords(const TServerImage& image, bool endWithSkip) {
  std::vector<uint16_t> words;
  uint32_t skipped = 0;
  for (uint32_t row = kSrvFirstWord; row + kRowWords - 1 <= kSrvLastWord; row += kRowWords) {
    if (!RowDefined(image, static_cast<uint16_t>(row))) {
      ++skipped;
      continue;
    }
    PutSkips(words, skipped);
    skipped = 0;
    // The first word of a row must stay below the skip words.
    words.push_back(static_cast<uint16_t>(image[row] & 0x3FFF));
    for (uint16_t i = 1; i < kRowWords; ++i) words.push_back(image[row + i]);
  }
  if (endWithSkip) PutSkips(words, skipped);
  return words;
}

TBytes BuildSFFFromWords(std::span<const uint16_t> words, uint8_t b0, uint8_t b1) {
  const size_t bodyBytes = 2 * words.size();
  if (bodyBytes + 2 > 0xFFFF) throw std::invalid_argument("too many words for an SFF package");
  TBytes plain;
  PutBE16(plain, static_cast<uint16_t>(bodyBytes + 2));
  plain.push_back(0xFF);  // marker
  plain.push_back(0x00);  // not used
  for (uint16_t w : words) PutBE16(plain, w);
  return ScramblePackage(b0, b1, plain);
}

TBytes BuildSFF(const TServerImage& image, bool endWithSkip, uint8_t b0, uint8_t b1) {
  return BuildSFFFromWords(SffRecordWords(image, endWithSkip), b0, b1);
}

TBytes BuildBundle(const std::string& title, const std::array<TBytes, 5>& packages, uint8_t flags) {
  const TBytes titleBytes(title.begin(), title.end());
  TBytes bundle = MakePackageRecord(titleBytes);
  for (const TBytes& package : packages) {
    if (package.size() > kMaxPackageFileSize)
      throw std::invalid_argument("a package is larger than the tuning program reads");
    const TPackageRecord record = MakePackageRecord(package);
    bundle.insert(bundle.end(), record.begin(), record.end());
  }
  bundle.push_back(flags);
  return bundle;
}

TBytes AttachBundle(std::span<const uint8_t> program, std::span<const uint8_t> bundle) {
  const TReadAt readAt = [program](uint64_t offset, uint8_t* buffer, size_t count) {
    if (offset > program.size() || count > program.size() - offset) return false;
    std::copy_n(program.begin() + static_cast<std::ptrdiff_t>(offset), count, buffer);
    return true;
  };
  const TBundleLocation location = LocateBundle(program.size(), readAt);
  if (!location.HeaderReadable)
    throw std::invalid_argument("not an ELF or Windows program file, or its header is cut short");

  uint64_t keep = location.Start;
  const bool windows = program[0] == 'M' && program[1] == 'Z';
  const uint32_t header = windows ? static_cast<uint32_t>(program[60]) | (program[61] << 8) |
                                        (program[62] << 16) |
                                        (static_cast<uint32_t>(program[63]) << 24)
                                  : 0;
  // In a Windows program the offset field may hold a genuine image version; only a well-formed
  // bundle behind the header is taken for an earlier bundle and replaced.
  if (windows && keep < program.size() &&
      (keep < uint64_t{header} + 72 || !WalkBundle(program.subspan(keep))))
    keep = program.size();

  TBytes out(program.begin(), program.begin() + static_cast<std::ptrdiff_t>(keep));
  if (windows) {
    if (out.size() > 0x7FFFFFFF) throw std::invalid_argument("program too large for a bundle");
    const uint32_t offset = static_cast<uint32_t>(out.size());
    for (int i = 0; i < 4; ++i)
      out[header + 68 + static_cast<size_t>(i)] = static_cast<uint8_t>(offset >> (8 * i));
  }
  out.insert(out.end(), bundle.begin(), bundle.end());
  return out;
}
