#include "firmware/Packages.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "run/Paths.h"

namespace {

uint32_t ReadLE32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// A plain file opened for reading, in binary mode (on Windows the text mode would turn bytes
// 0x0D 0x0A into one and stop at 0x1A); closed on every way out. Only a regular file is opened:
// a name that turns out to be a FIFO or a device would otherwise block the open until a writer
// comes or the device answers (for ever, and in the window on its own thread).
class TInputFile {
 public:
  explicit TInputFile(const std::string& name) {
    std::error_code error;
    const std::filesystem::path path = FilePath(name);
    if (std::filesystem::is_regular_file(path, error)) in_.open(path, std::ios::binary);
  }

  bool IsOpen() const { return in_.is_open(); }

  // The file's size, or none when it cannot be measured.
  std::optional<uint64_t> Size() {
    in_.clear();
    if (!in_.seekg(0, std::ios::end)) return std::nullopt;
    const std::streamoff end = in_.tellg();
    if (end < 0) return std::nullopt;
    return static_cast<uint64_t>(end);
  }

  // Reads exactly count bytes from offset.
  bool ReadAt(uint64_t offset, uint8_t* buffer, size_t count) {
    in_.clear();
    if (!in_.seekg(static_cast<std::streamoff>(offset))) return false;
    in_.read(reinterpret_cast<char*>(buffer), static_cast<std::streamsize>(count));
    return static_cast<size_t>(in_.gcount()) == count;
  }

 private:
  std::ifstream in_;
};

// ---- ELF image extent ----

class TElfReader {
 public:
  TElfReader(uint64_t fileSize, const TReadAt& readAt) : size_(fileSize), readAt_(readAt) {}

  // The end of the ELF image, or none when its headers cannot be read.
  std::optional<uint64_t> ImageEnd() {
    uint8_t ident[16];
    if (!Read(0, ident, sizeof ident)) return std::nullopt;
    if (ident[4] != 1 && ident[4] != 2) return std::nullopt;  // 32 or 64 bit
    if (ident[5] != 1 && ident[5] != 2) return std::nullopt;  // little or big endian
    wide_ = ident[4] == 2;
    little_ = ident[5] == 1;

    const size_t headerSize = wide_ ? 64 : 52;
    std::vector<uint8_t> header(headerSize);
    if (!Read(0, header.data(), headerSize)) return std::nullopt;
    const uint8_t* h = header.data();
    const uint64_t phoff = wide_ ? U64(h + 0x20) : U32(h + 0x1C);
    const uint64_t shoff = wide_ ? U64(h + 0x28) : U32(h + 0x20);
    const uint16_t phentsize = U16(h + (wide_ ? 0x36 : 0x2A));
    uint64_t phnum = U16(h + (wide_ ? 0x38 : 0x2C));
    const uint16_t shentsize = U16(h + (wide_ ? 0x3A : 0x2E));
    uint64_t shnum = U16(h + (wide_ ? 0x3C : 0x30));

    const size_t shdrSize = wide_ ? 64 : 40;
    const size_t phdrSize = wide_ ? 56 : 32;
    // Counts too large for the header live in the first section header.
    if (shoff != 0 && (shnum == 0 || phnum == 0xFFFF)) {
      if (shentsize < shdrSize) return std::nullopt;
      std::vector<uint8_t> first(shdrSize);
      if (!Read(shoff, first.data(), shdrSize)) return std::nullopt;
      if (shnum == 0) shnum = wide_ ? U64(first.data() + 32) : U32(first.data() + 20);
      if (phnum == 0xFFFF) phnum = U32(first.data() + (wide_ ? 44 : 28));
    }

    uint64_t end = headerSize;
    std::vector<uint8_t> table;
    if (phoff != 0 && phnum != 0) {
      if (phentsize < phdrSize || !ReadTable(phoff, phnum, phentsize, table)) return std::nullopt;
      end = std::max(end, phoff + phnum * phentsize);
      for (uint64_t i = 0; i < phnum; ++i) {
        const uint8_t* p = table.data() + i * phentsize;
        const uint64_t offset = wide_ ? U64(p + 8) : U32(p + 4);
        const uint64_t filesz = wide_ ? U64(p + 32) : U32(p + 16);
        end = std::max(end, SaturatingAdd(offset, filesz));
      }
    }
    if (shoff != 0 && shnum != 0) {
      if (shentsize < shdrSize || !ReadTable(shoff, shnum, shentsize, table)) return std::nullopt;
      end = std::max(end, shoff + shnum * shentsize);
      constexpr uint32_t kNoBits = 8;  // a section without file contents
      for (uint64_t i = 0; i < shnum; ++i) {
        const uint8_t* s = table.data() + i * shentsize;
        if (U32(s + 4) == kNoBits) continue;
        const uint64_t offset = wide_ ? U64(s + 24) : U32(s + 16);
        const uint64_t size = wide_ ? U64(s + 32) : U32(s + 20);
        end = std::max(end, SaturatingAdd(offset, size));
      }
    }
    return end;
  }

 private:
  static uint64_t SaturatingAdd(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

  bool Read(uint64_t offset, uint8_t* buffer, size_t count) {
    return offset <= size_ && count <= size_ - offset && readAt_(offset, buffer, count);
  }
  // A table of count entries; it must lie inside the file.
  bool ReadTable(uint64_t offset, uint64_t count, uint64_t entrySize, std::vector<uint8_t>& table) {
    if (count > size_ / entrySize) return false;
    table.resize(count * entrySize);
    return Read(offset, table.data(), table.size());
  }

  uint16_t U16(const uint8_t* p) const {
    return little_ ? static_cast<uint16_t>(p[0] | (p[1] << 8))
                   : static_cast<uint16_t>((p[0] << 8) | p[1]);
  }
  uint32_t U32(const uint8_t* p) const {
    return little_ ? ReadLE32(p)
                   : (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
                         (static_cast<uint32_t>(p[2]) << 8) | p[3];
  }
  uint64_t U64(const uint8_t* p) const {
    const uint64_t first = U32(p), second = U32(p + 4);
    return little_ ? (second << 32) | first : (first << 32) | second;
  }

  uint64_t size_;
  const TReadAt& readAt_;
  bool wide_ = false;
  bool little_ = true;
};

void FailLoading(TRunRecord& run, const std::string& errors) {
  AddLog(run, "Error reading file(s):" + errors);
  run.Outcome = kOutcomeFailed;
}

}  // namespace

TPackageRecord MakePackageRecord(std::span<const uint8_t> fileBytes) {
  TPackageRecord record(fileBytes.size() + 4);
  const uint32_t length = static_cast<uint32_t>(record.size());
  for (int i = 0; i < 4; ++i) record[static_cast<size_t>(i)] = static_cast<uint8_t>(length >> (8 * i));
  std::copy(fileBytes.begin(), fileBytes.end(), record.begin() + 4);
  return record;
}

std::optional<TPackageRecord> ReadPackageFile(const std::string& fileName) {
  TInputFile file(fileName);
  if (!file.IsOpen()) return std::nullopt;
  const std::optional<uint64_t> measured = file.Size();
  if (!measured) return std::nullopt;
  const uint64_t size = *measured;
  if (size > kMaxPackageFileSize) return std::nullopt;
  TPackageRecord record(size + 4);
  for (int i = 0; i < 4; ++i) record[static_cast<size_t>(i)] = static_cast<uint8_t>((size + 4) >> (8 * i));
  if (!file.ReadAt(0, record.data() + 4, size)) return std::nullopt;
  return record;
}

std::string EscapedFileName(const std::string& name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string shown;
  shown.reserve(name.size());
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) {
      shown += c;
    } else if (c == '\r') {
      shown += "\\r";
    } else if (c == '\n') {
      shown += "\\n";
    } else if (c == '\t') {
      shown += "\\t";
    } else {
      shown += "\\x";
      shown += kHex[byte >> 4];
      shown += kHex[byte & 0x0F];
    }
  }
  return shown;
}

bool LoadPackageFile(TRunRecord& run, TComboModel* combo, const std::string& fileName,
                     const std::string& description, int slot, std::string& errors) {
  const std::string name = combo != nullptr ? combo->Text : fileName;
  auto& blob = run.FwBlob[static_cast<size_t>(slot)];
  auto record = ReadPackageFile(name);
  if (!record) {
    blob.reset();
    errors += "\r\n " + description + " \"" + EscapedFileName(name) + "\"";
    return false;
  }
  blob = std::make_shared<const TPackageRecord>(std::move(*record));
  if (combo != nullptr) AddComboHistory(*combo);
  return true;
}

void LoadPackages(TRunRecord& run) {
  TMainFields& main = run.Main;
  for (auto& blob : run.FwBlob) blob.reset();
  std::string errors;

  if (main.EmbPkg) {
    // The slots get their own copies of the bundle's records; the bundle itself stays as read.
    const auto layout = WalkBundle(*main.EmbPkg);
    if (!layout) {
      FailLoading(run, std::string("\r\n ") + kDescBundle);
      return;
    }
    for (int k = 1; k < kBundleRecordCount; ++k) {
      const auto& record = layout->Records[static_cast<size_t>(k)];
      run.FwBlob[static_cast<size_t>(k)] =
          std::make_shared<const TPackageRecord>(record.begin(), record.end());
    }
    return;
  }

  LoadPackageFile(run, nullptr, main.ProgDir + kTPTestFileName, kDescTPTest, kSlotTPTest, errors);
  LoadPackageFile(run, nullptr, main.ProgDir + kSrvTestFileName, kDescSrvTest, kSlotSrvTest,
                  errors);
  // The production firmwares are read only when the run will write them into a device.
  if (main.RestoreTP || !main.GoldTP) {
    LoadPackageFile(run, &main.File1Combo, {}, kDescRfModem, kSlotRfModem, errors);
    LoadPackageFile(run, &main.File2Combo, {}, kDescEeprom, kSlotEeprom, errors);
  }
  if (main.RestoreSrv || main.GoldTP)
    LoadPackageFile(run, &main.File3Combo, {}, kDescServer, kSlotServer, errors);

  if (!errors.empty()) FailLoading(run, errors);
}

std::optional<TBundleLayout> WalkBundle(std::span<const uint8_t> bundle) {
  if (bundle.empty()) return std::nullopt;
  // The records end before the flags byte.
  const size_t recordsEnd = bundle.size() - 1;
  TBundleLayout layout;
  size_t start = 0;
  for (auto& record : layout.Records) {
    if (recordsEnd - start < 4) return std::nullopt;
    const uint32_t length = ReadLE32(bundle.data() + start);
    if (length < 4 || length > recordsEnd - start) return std::nullopt;
    record = bundle.subspan(start, length);
    start += length;
  }
  layout.Flags = bundle.back();
  return layout;
}

TBundleLocation LocateBundle(uint64_t fileSize, const TReadAt& readAt) {
  TBundleLocation location;
  uint8_t magic[4];
  if (fileSize < sizeof magic || !readAt(0, magic, sizeof magic)) return location;

  if (magic[0] == 0x7F && magic[1] == 'E' && magic[2] == 'L' && magic[3] == 'F') {
    TElfReader elf(fileSize, readAt);
    const auto end = elf.ImageEnd();
    if (!end) return location;
    location.HeaderReadable = true;
    location.Start = std::min(*end, fileSize);
    return location;
  }

  if (magic[0] == 'M' && magic[1] == 'Z') {
    // The offset of the program's own header is at 60; the bundle's offset is kept in that
    // header's image version fields, 68 bytes further on.
    uint8_t field[4];
    if (fileSize < 60 + 4 || !readAt(60, field, 4)) return location;
    const uint64_t at = static_cast<uint64_t>(ReadLE32(field)) + 68;
    if (fileSize < at + 4 || !readAt(at, field, 4)) return location;
    location.HeaderReadable = true;
    const int32_t start = static_cast<int32_t>(ReadLE32(field));
    location.Start = start > 0 && static_cast<uint64_t>(start) < fileSize
                         ? static_cast<uint64_t>(start)
                         : fileSize;
    return location;
  }
  return location;
}

TEmbeddedBundle ReadEmbeddedBundle(const std::string& programPath) {
  TEmbeddedBundle result;
  result.Status = TEmbeddedBundle::TStatus::kHeaderUnreadable;
  TInputFile file(programPath);
  const std::optional<uint64_t> measured = file.IsOpen() ? file.Size() : std::nullopt;
  if (!measured) return result;
  const uint64_t size = *measured;
  const TReadAt readAt = [&file](uint64_t offset, uint8_t* buffer, size_t count) {
    return file.ReadAt(offset, buffer, count);
  };
  const TBundleLocation location = LocateBundle(size, readAt);
  if (!location.HeaderReadable) return result;
  result.Status = TEmbeddedBundle::TStatus::kNone;
  if (location.Start >= size) return result;

  auto bytes = std::make_shared<std::vector<uint8_t>>(size - location.Start);
  if (!file.ReadAt(location.Start, bytes->data(), bytes->size())) {
    result.Status = TEmbeddedBundle::TStatus::kHeaderUnreadable;
    return result;
  }
  result.Status = TEmbeddedBundle::TStatus::kPresent;
  result.Bytes = std::move(bytes);
  return result;
}

TBundleChoices BundleChoices(std::span<const uint8_t> bundle) {
  TBundleChoices choices;
  const uint8_t flags = bundle.empty() ? 0 : bundle.back();
  choices.goldLocked = (flags & kBundleGoldOpen) == 0;
  choices.gold = (flags & kBundleGoldTP) != 0;
  choices.analysisLocked = (flags & kBundleAnalysisOpen) == 0;
  choices.analysis = (flags & kBundleAnalysis) != 0;
  // The title record is read on its own, so that a bundle damaged further on keeps its caption.
  if (bundle.size() >= 5) {
    const uint32_t length = ReadLE32(bundle.data());
    if (length >= 4 && length <= bundle.size() - 1)
      choices.title.emplace(bundle.begin() + 4, bundle.begin() + length);
  }
  return choices;
}

void ApplyBundleChoices(const TBundleChoices& choices, TMainFields& main) {
  if (choices.analysisLocked) main.AnalysisOnly = choices.analysis;
  if (choices.goldLocked) main.GoldTP = choices.gold;
  main.RestoreSrv = true;
  main.RestoreTP = true;
}
