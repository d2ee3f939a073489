#include "tools/DemoPackages.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "firmware/Versions.h"
#include "run/Paths.h"

namespace {

// Deterministic filler, so that the demo packages are the same on every build.
class TFiller {
 public:
  explicit TFiller(uint32_t seed) : state_(seed) {}
  uint32_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return state_;
  }

 private:
  uint32_t state_;
};

TBytes HandheldImage(uint8_t hw, size_t size, uint16_t start, uint32_t seed) {
  TBytes image(size);
  TFiller filler(seed);
  for (size_t i = 64; i < size; ++i) image[i] = static_cast<uint8_t>(filler.Next());
  image[0] = hw;
  image[2] = kDemoSetup2;
  image[24] = kDemoSetup24;
  image[27] = static_cast<uint8_t>(start);
  image[28] = static_cast<uint8_t>(start >> 8);
  image[31] = kDemoSetup31;
  // The code at the start word, which the tuning program checks to recognise the firmware.
  image[start - 3] = 0xA5;
  image[start - 2] = 0x5A;
  image[start - 1] = 0x3C;
  return image;
}

void FillWords(TServerImage& image, uint16_t first, uint16_t last, uint32_t seed) {
  TFiller filler(seed);
  for (uint32_t w = first; w <= last; ++w) image[w] = static_cast<uint16_t>(filler.Next() & 0x3FFF);
}

TBytes TextBytes(const std::string& text) { return TBytes(text.begin(), text.end()); }

}  // namespace

TBytes DemoRfModemImage(uint8_t hw) {
  TBytes image = HandheldImage(hw, 0x0800, kDemoModemStart, 0x1234567u);
  image[3] = kDemoModemVersion;
  // The version byte on both sides of the RF version signature.
  constexpr size_t kAt = 0x0180;
  image[kAt - 1] = kDemoModemVersion;
  std::copy(kRfVersionSignature.begin(), kRfVersionSignature.end(), image.begin() + kAt);
  image[kAt + kRfVersionSignature.size()] = kDemoModemVersion;
  return image;
}

TBytes DemoEepromImage(uint8_t hw) {
  TBytes image = HandheldImage(hw, 0x1000, kDemoTestStart, 0x2345678u);
  image[1] = kDemoEepromVersion;
  // The version text at 0x0E00, and the pointer to its last character but one.
  const std::string text = kDemoEepromVersionText;
  constexpr size_t kAt = 0x0E00;
  image[kAt - 1] = 0x00;
  std::copy(text.begin(), text.end(), image.begin() + kAt);
  const uint16_t pointer = static_cast<uint16_t>(kAt + text.size() - 2);
  image[kEepromVersionPointer] = static_cast<uint8_t>(pointer >> 8);
  image[kEepromVersionPointer + 1] = static_cast<uint8_t>(pointer);
  return image;
}

TBytes DemoTestImage(uint8_t hw) { return HandheldImage(hw, 0x0400, kDemoTestStart, 0x3456789u); }

TServerImage DemoServerImage() {
  TServerImage image = EmptyServerImage();
  FillWords(image, 0x0100, 0x05FF, 0x4567891u);
  // The version routine: load version, ..., load build, ..., then the signature.
  constexpr uint16_t kLast = 0x0500;
  const uint16_t first = kLast - (kServerVersionSignature.size() - 1);
  std::copy(kServerVersionSignature.begin(), kServerVersionSignature.end(), image.begin() + first);
  image[kLast - kSrvVersionWordBack] = static_cast<uint16_t>((kSrvLoadLiteral << 8) | kDemoServerVersion);
  image[kLast - kSrvBuildWordBack] = static_cast<uint16_t>((kSrvLoadLiteral << 8) | kDemoServerBuild);
  // A table after a gap of unused rows.
  for (uint16_t w = 0x0800; w < 0x0840; ++w) image[w] = static_cast<uint16_t>(0x3400 | (w & 0xFF));
  return image;
}

TServerImage DemoServerTestImage() {
  TServerImage image = EmptyServerImage();
  FillWords(image, 0x0100, 0x02FF, 0x5678912u);
  image[0x0103] = static_cast<uint16_t>(0x3400 | kDemoServerTestVersion);  // return the version
  return image;
}

std::vector<TDemoFile> DemoPackageFiles() {
  TBytes otherHardware = DemoRfModemImage(static_cast<uint8_t>(kDemoHwVersion - 1));
  return {
      {"rfmodem.tpf", BuildTPF({otherHardware, DemoRfModemImage()}, 0x11, 0x22)},
      {"eeprom.tpf", BuildTPF({DemoEepromImage()}, 0x33, 0x44)},
      {"server.sff", BuildSFF(DemoServerImage(), false, 0x55, 0x66)},
      {"server.hex", TextBytes(BuildHex(DemoServerImage()))},
      {"tpftune.tpf", BuildTPF({DemoTestImage()}, 0x77, 0x88)},
      {"srvftune.sff", BuildSFF(DemoServerTestImage(), false, 0x99, 0xAA)},
  };
}

std::vector<std::string> WriteDemoPackages(const std::string& dir) {
  std::filesystem::create_directories(FilePath(dir));
  std::vector<std::string> written;
  for (const TDemoFile& file : DemoPackageFiles()) {
    const std::filesystem::path path = FilePath(dir) / FilePath(file.Name);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(file.Bytes.data()),
              static_cast<std::streamsize>(file.Bytes.size()));
    out.close();
    if (!out) throw std::runtime_error("cannot write " + PathText(path));
    written.push_back(PathText(path));
  }
  return written;
}
