#include "firmware/Decode.h"

#include <algorithm>

#include "firmware/Packages.h"
#include "firmware/Versions.h"

namespace {

constexpr uint8_t kCR = 0x0D;
constexpr uint8_t kLF = 0x0A;

// Handheld blocks and binary images: the image buffer bounds the size, and a real image holds
// at least its header.
constexpr int64_t kMinBlock = 64;
constexpr int64_t kMaxBlock = static_cast<int64_t>(kTPImageSize) - 1;

// Intel HEX byte addresses that hold server program words 0x0100..0x1FFF.
constexpr uint32_t kHexFirstAddress = 0x0200;
constexpr uint32_t kHexLastAddress = 0x3FFF;
const std::string kHexEndRecord = ":00000001FF";
// The characters of a data record besides its data bytes: colon, count, address, type, checksum.
constexpr size_t kHexRecordChars = 11;

// SFF: a word with the top bit set skips rows; a row is four words.
constexpr uint16_t kSkipWord = 0x8000;
constexpr uint16_t kSffLastAddress = 0x20FF;
constexpr uint16_t kSffLastRow = 0x1FFC;
constexpr uint8_t kSffMarker = 0xFF;

// Reads a scrambled package after its two seed bytes. The decoders only ask for bytes they have
// counted as present; past the end it yields 0 rather than reading outside the package.
class TDescrambler {
 public:
  explicit TDescrambler(std::span<const uint8_t> file)
      : file_(file), reg_(ScramblerStart(file[0], file[1])) {}

  uint8_t Byte() {
    const uint8_t key = ScramblerStep(reg_);
    return pos_ < file_.size() ? static_cast<uint8_t>(file_[pos_++] ^ key) : 0;
  }
  uint16_t Word() {
    const uint8_t high = Byte();
    return static_cast<uint16_t>((high << 8) | Byte());
  }

 private:
  std::span<const uint8_t> file_;
  size_t pos_ = 2;
  uint32_t reg_;
};

void AppendFailure(TRunRecord& run, const std::string& description, TDecodeStatus status) {
  run.Reply += "\r\n ";
  run.Reply += description;
  if (status == TDecodeStatus::HwNotSupported) run.Reply += " (hardware not supported)";
}

TDecodeStatus DecodeTPFForm(TRunRecord& run, std::span<const uint8_t> file, int k) {
  auto& image = run.TPImage[static_cast<size_t>(k)];
  TDecodeStatus status = TDecodeStatus::BadFormat;
  int64_t n = static_cast<int64_t>(file.size()) - 2;
  if (n > 1) {
    TDescrambler in(file);
    while (n > 1 && run.MayGoOn()) {
      const int64_t length = in.Word();
      n -= 2;
      if (length < kMinBlock || length > kMaxBlock || length > n) {
        n = -1;
        break;
      }
      status = TDecodeStatus::HwNotSupported;
      run.TPImageLen[static_cast<size_t>(k)] = static_cast<uint16_t>(length);
      n -= length;
      for (int64_t i = 0; i < length; ++i) image[static_cast<size_t>(i)] = in.Byte();
      // The first block built for this handheld wins; later blocks are not read.
      if (image[0] == run.TPHwVer) {
        status = TDecodeStatus::Ok;
        n = 0;
      }
    }
    // Only a package that ends exactly after its last block is well formed.
    if (n != 0) status = TDecodeStatus::BadFormat;
  }
  if (status != TDecodeStatus::BadFormat) return status;

  // Plain binary image.
  const int64_t size = static_cast<int64_t>(file.size());
  if (size <= kMinBlock || size > kMaxBlock) return TDecodeStatus::BadFormat;
  if (file[0] != run.TPHwVer) return TDecodeStatus::HwNotSupported;
  std::copy(file.begin(), file.end(), image.begin());
  run.TPImageLen[static_cast<size_t>(k)] = static_cast<uint16_t>(size);
  return TDecodeStatus::Ok;
}

int HexDigit(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The hexadecimal number in line[first, first + count), clipped to the line; -1 when the field
// is empty or holds anything but hexadecimal digits.
int32_t HexField(std::span<const uint8_t> line, size_t first, size_t count) {
  if (first >= line.size()) return -1;
  const size_t end = std::min(line.size(), first + count);
  int32_t value = 0;
  for (size_t i = first; i < end; ++i) {
    const int digit = HexDigit(line[i]);
    if (digit < 0) return -1;
    value = value * 16 + digit;
  }
  return value;
}

TDecodeStatus DecodeHexForm(TRunRecord& run, std::span<const uint8_t> file,
                            std::array<uint16_t, kSrvLastWord + 1>& image) {
  image.fill(kSrvNoData);
  bool ok = true;
  bool noData = true;
  // A text without its end record was cut short somewhere: it is not the whole image.
  bool endRecord = false;
  size_t pos = 0;
  while (pos < file.size() && ok && run.MayGoOn()) {
    const size_t start = pos;
    while (pos < file.size() && file[pos] != kCR && file[pos] != kLF) ++pos;
    const std::span<const uint8_t> line = file.subspan(start, pos - start);
    // CR LF and LF CR end one line; CR CR and LF LF leave an empty line between them.
    if (pos < file.size()) {
      const uint8_t other = file[pos] == kCR ? kLF : kCR;
      ++pos;
      if (pos < file.size() && file[pos] == other) ++pos;
    }

    if (line.size() > 12 && line[0] == ':') {
      // A data record; its type is not examined. It is exactly as long as its byte count says
      // (colon, count, address, type, the data bytes, checksum): a line cut short, even inside
      // its last byte, is damaged. All its bytes, the checksum included, add up to 0 modulo
      // 256; a record that does not is damaged, whatever its digits look like, and nothing of
      // it goes into the image.
      noData = false;
      const int32_t count = HexField(line, 1, 2);
      const int32_t field = HexField(line, 3, 4);
      if (count < 0 || field < 0 ||
          line.size() != kHexRecordChars + 2 * static_cast<size_t>(count)) {
        ok = false;
        continue;
      }
      // The record's bytes after the colon: count, address (high, low), type, data, checksum.
      std::array<uint8_t, kHexRecordChars / 2 + 255> bytes{};
      const size_t byteCount = (line.size() - 1) / 2;
      uint8_t sum = 0;
      for (size_t i = 0; i < byteCount && ok; ++i) {
        const int32_t value = HexField(line, 1 + 2 * i, 2);
        ok = value >= 0;
        bytes[i] = static_cast<uint8_t>(value);
        sum = static_cast<uint8_t>(sum + bytes[i]);
      }
      if (!ok || sum != 0) {
        ok = false;
        continue;
      }
      uint16_t address = static_cast<uint16_t>(field);
      for (int32_t j = 0; j < count; ++j) {
        const uint8_t value = bytes[4 + static_cast<size_t>(j)];
        if (address >= kHexFirstAddress && address <= kHexLastAddress) {
          uint16_t& word = image[address >> 1];
          if (address & 1)
            word = static_cast<uint16_t>(((value & 0x3F) << 8) | (word & 0x00FF));
          else
            word = static_cast<uint16_t>((word & 0x3F00) | value);
        }
        ++address;
      }
    } else if (std::equal(line.begin(), line.end(), kHexEndRecord.begin(), kHexEndRecord.end())) {
      endRecord = true;
    } else {
      ok = false;
    }
  }
  return ok && !noData && endRecord ? TDecodeStatus::Ok : TDecodeStatus::BadFormat;
}

TDecodeStatus DecodeSFFForm(TRunRecord& run, std::span<const uint8_t> file,
                            std::array<uint16_t, kSrvLastWord + 1>& image) {
  image.fill(kSrvNoData);
  int64_t n = static_cast<int64_t>(file.size()) - 2;
  if (n <= 3) return TDecodeStatus::BadFormat;

  TDescrambler in(file);
  const uint16_t header = in.Word();
  const uint8_t marker = in.Byte();
  in.Byte();  // not used, but it takes its key byte
  n -= 4;
  const uint16_t body = static_cast<uint16_t>(header - 2);
  if (n != body || (body & 1) != 0 || marker != kSffMarker) n = -1;

  uint16_t address = kSrvFirstWord;
  while (n > 0 && run.MayGoOn()) {
    n -= 2;
    const uint16_t word = in.Word();
    if (address > kSffLastAddress) {
      n = -1;
    } else if (word >= kSkipWord) {
      address = static_cast<uint16_t>(address + 4 * (word - kSkipWord));
    } else if (n < 6 || address < kSrvFirstWord || address > kSffLastRow) {
      n = -1;
    } else {
      image[address] = word;
      for (uint16_t i = 1; i < 4; ++i) image[address + i] = in.Word();
      address = static_cast<uint16_t>(address + 4);
      n -= 6;
    }
  }
  return n == 0 ? TDecodeStatus::Ok : TDecodeStatus::BadFormat;
}

}  // namespace

uint32_t ScramblerStart(uint8_t b0, uint8_t b1) {
  return (static_cast<uint32_t>(kScramblerSeed) << 16) | (static_cast<uint32_t>(b0) << 8) | b1;
}

uint8_t ScramblerStep(uint32_t& reg) {
  const uint32_t feedback = ((reg >> 10) ^ (reg >> 15)) & 0xFF;
  reg = ((reg & 0xFFFF) << 8) | ((reg >> 16) & 0xFF);
  reg ^= feedback;
  return static_cast<uint8_t>(reg & 0xFF);
}

std::optional<std::span<const uint8_t>> PackageBytes(const TPackageRecord& record) {
  if (record.size() < 4) return std::nullopt;
  const uint32_t length = static_cast<uint32_t>(record[0]) | (static_cast<uint32_t>(record[1]) << 8) |
                          (static_cast<uint32_t>(record[2]) << 16) |
                          (static_cast<uint32_t>(record[3]) << 24);
  if (length < 4 || length > record.size()) return std::nullopt;
  return std::span<const uint8_t>(record.data() + 4, length - 4);
}

TDecodeStatus DecodeTPF(TRunRecord& run, const TPackageRecord* record, int k,
                        const std::string& description) {
  TDecodeStatus status = TDecodeStatus::BadFormat;
  if (record != nullptr && k >= 1 && k <= 3) {
    if (const auto file = PackageBytes(*record)) status = DecodeTPFForm(run, *file, k);
  }
  if (status != TDecodeStatus::Ok) AppendFailure(run, description, status);
  return status;
}

TDecodeStatus DecodeSFF(TRunRecord& run, const TPackageRecord* record, int k,
                        const std::string& description) {
  TDecodeStatus status = TDecodeStatus::BadFormat;
  if (record != nullptr && k >= 1 && k <= 2) {
    if (const auto file = PackageBytes(*record)) {
      auto& image = run.SrvImage[static_cast<size_t>(k)];
      status = DecodeHexForm(run, *file, image);
      if (status != TDecodeStatus::Ok) status = DecodeSFFForm(run, *file, image);
      // Programming overwrites the first row with placeholder words and gives it its real words
      // last: an image that defines nothing at word 0x0100 would leave a placeholder there. The
      // run also takes that word as the mark of a decoded server image.
      if (status == TDecodeStatus::Ok && image[kSrvFirstWord] == kSrvNoData)
        status = TDecodeStatus::BadFormat;
      // A text cut short by a cancel would otherwise count as a complete image.
      if (!run.MayGoOn()) status = TDecodeStatus::BadFormat;
      // A rejected package leaves no rows behind: the closing server restore takes an image
      // with its first word defined as decoded and would program the fragment.
      if (status != TDecodeStatus::Ok) image.fill(kSrvNoData);
    }
  }
  if (status != TDecodeStatus::Ok) AppendFailure(run, description, status);
  return status;
}

void DecodePackages(TRunRecord& run) {
  if (run.Outcome != kOutcomeOk || !run.MayGoOn()) return;
  const TMainFields& main = run.Main;
  run.Reply.clear();
  if (!run.Finishing) {
    DecodeTPF(run, run.FwBlob[kSlotTPTest].get(), 3, kDescTPTest);
    DecodeSFF(run, run.FwBlob[kSlotSrvTest].get(), 2, kDescSrvTest);
  }
  if (!run.Finishing && (main.RestoreTP || !main.GoldTP)) {
    DecodeTPF(run, run.FwBlob[kSlotRfModem].get(), 1, kDescRfModem);
    DecodeTPF(run, run.FwBlob[kSlotEeprom].get(), 2, kDescEeprom);
  }
  if (main.GoldTP || main.RestoreSrv)
    DecodeSFF(run, run.FwBlob[kSlotServer].get(), 1, kDescServer);

  if (!run.Reply.empty()) {
    // A cancelled run stops quietly; its partly decoded images are never used.
    if (run.MayGoOn()) {
      AddLog(run, "Error decoding file(s):" + run.Reply);
      run.Outcome = kOutcomeFailed;
    }
    return;
  }
  run.ModemVer.clear();
  run.EepromVer.clear();
  run.SrvFileVer.clear();
  if (!main.GoldTP && !run.Finishing) {
    BuildModemVer(run);
    BuildEepromVer(run);
  }
  if (main.GoldTP || main.RestoreSrv) BuildSrvFileVer(run);
}
