// Version texts read out of decoded images.
#include <gtest/gtest.h>

#include <string>

#include "firmware/Versions.h"
#include "tests/firmware/RunFixture.h"

namespace {

TEST(VersionTexts, Rendering) {
  EXPECT_EQ(VerText(0x23), "V2.3");
  EXPECT_EQ(VerText(0x00), "V0.0");
  EXPECT_EQ(VerText(0xAF), "V10.15");
  const struct {
    uint8_t version, build;
    const char* text;
  } server[] = {
      {0x27, 2, "V2.3.2a"}, {0x06, 5, "V2.2.5"},   {0x25, 6, "V2.1.6a"},
      {0x1F, 0, "V8.3.0"},  {0x20, 10, "V1.0.10a"}, {0xFF, 255, "V8.3.255g"},
  };
  for (const auto& c : server) EXPECT_EQ(ServerVersionText(c.version, c.build), c.text);
}

// An RF modem image with its version byte at 3 and, optionally, the signature at offset at,
// with the bytes before and after it.
void PutModemImage(TRunRecord& run, size_t length, int at, uint8_t before, uint8_t after) {
  auto& image = run.TPImage[1];
  image.fill(0x00);
  image[3] = 0x11;
  run.TPImageLen[1] = static_cast<uint16_t>(length);
  if (at < 0) return;
  image[static_cast<size_t>(at) - 1] = before;
  std::copy(kRfVersionSignature.begin(), kRfVersionSignature.end(), image.begin() + at);
  image[static_cast<size_t>(at) + kRfVersionSignature.size()] = after;
}

TEST(VersionTexts, ModemVer) {
  const struct {
    const char* name;
    size_t length;
    int at;
    uint8_t before, after;
    const char* text;
  } cases[] = {
      {"equal bytes around the signature", 1000, 500, 0x23, 0x23, " to V2.3"},
      {"different bytes around it", 1000, 500, 0x23, 0x24, " to V1.1"},
      {"no signature", 1000, -1, 0, 0, " to V1.1"},
      {"signature ending the image", 509, 501, 0x23, 0x23, " to V2.3"},
      {"signature running past the image", 508, 501, 0x23, 0x23, " to V1.1"},
      {"signature at the first searched offset", 1000, 66, 0x23, 0x23, " to V2.3"},
      {"signature in the header", 1000, 65, 0x23, 0x23, " to V1.1"},
      {"image shorter than 67 bytes", 66, 10, 0x23, 0x23, " to V1.1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TRunFixture f;
    PutModemImage(*f.Run, c.length, c.at, c.before, c.after);
    BuildModemVer(*f.Run);
    EXPECT_EQ(f.Run->ModemVer, c.text);
  }
}

// An EEPROM image of the given length with header byte 1 = 0x14, text placed at 0x0E00 and
// the version pointer set to pointer.
void PutEepromImage(TRunRecord& run, size_t length, const std::string& text, size_t pointer) {
  auto& image = run.TPImage[2];
  image.fill(0x00);
  image[1] = 0x14;
  run.TPImageLen[2] = static_cast<uint16_t>(length);
  std::copy(text.begin(), text.end(), image.begin() + 0x0E00);
  image[kEepromVersionPointer] = static_cast<uint8_t>(pointer >> 8);
  image[kEepromVersionPointer + 1] = static_cast<uint8_t>(pointer);
}

TEST(VersionTexts, EepromVer) {
  constexpr size_t kEnd = 0x0E00 - 2;  // add the text's length: the pointer to its last char but one
  const struct {
    const char* name;
    size_t length;
    std::string text;
    size_t pointer;
    const char* version;
  } cases[] = {
      {"pointer to v2.3.2a", 0x0F00, "v2.3.2a", kEnd + 7, " to V2.3.2a"},
      {"capital V", 0x1000, "xV3.0", kEnd + 5, " to V3.0"},
      {"twelve characters", 0x0F00, "v12.34.56abc", kEnd + 12, " to V12.34.56abc"},
      {"thirteen characters", 0x0F00, "v12.34.56abcd", kEnd + 13, " to V1.4"},
      {"other character before the v", 0x0F00, "v2.3-2a", kEnd + 7, " to V1.4"},
      {"image shorter than 0x0F00", 0x0EFF, "v2.3.2a", kEnd + 7, " to V1.4"},
      {"pointer 0x40", 0x0F00, "v2.3.2a", 0x40, " to V1.4"},
      {"pointer at the image length", 0x0F00, "v2.3.2a", 0x0F00, " to V1.4"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TRunFixture f;
    PutEepromImage(*f.Run, c.length, c.text, c.pointer);
    BuildEepromVer(*f.Run);
    EXPECT_EQ(f.Run->EepromVer, c.version);
  }
}

TEST(VersionTexts, EepromScanGivesUpAtTheHeader) {
  // Letters reaching down to offset 0x41: the scan stops at 0x40 without finding a "v".
  TRunFixture f;
  auto& image = f.Run->TPImage[2];
  image.fill(0x00);
  image[1] = 0x25;
  f.Run->TPImageLen[2] = 0x0F00;
  for (size_t i = 0x41; i <= 0x46; ++i) image[i] = '1';
  image[kEepromVersionPointer + 1] = 0x45;
  BuildEepromVer(*f.Run);
  EXPECT_EQ(f.Run->EepromVer, " to V2.5");
}

// A server image holding the signature with its last word at last, and the words 43 and 40
// before that end.
void PutServerImage(TRunRecord& run, uint16_t last, uint16_t versionWord, uint16_t buildWord) {
  auto& image = run.SrvImage[1];
  image.fill(kSrvNoData);
  const uint16_t first = static_cast<uint16_t>(last - (kServerVersionSignature.size() - 1));
  std::copy(kServerVersionSignature.begin(), kServerVersionSignature.end(), image.begin() + first);
  image[last - 43] = versionWord;
  image[last - 40] = buildWord;
}

TEST(VersionTexts, SrvFileVer) {
  const struct {
    const char* name;
    uint16_t last, versionWord, buildWord;
    const char* text;
  } cases[] = {
      {"version words", 0x0800, 0x3027, 0x3002, " to V2.3.2a"},
      {"version below 0x20", 0x0800, 0x3006, 0x3005, " to V2.2.5"},
      {"signature at the last word", 0x1FFF, 0x3025, 0x3006, " to V2.1.6a"},
      {"signature at the first searched word", 0x010C + 36, 0x3025, 0x3006, " to V2.1.6a"},
      {"signature before the searched words", 0x010B + 36, 0x3025, 0x3006, ""},
      {"version word not a literal load", 0x0800, 0x2027, 0x3002, ""},
      {"build word not a literal load", 0x0800, 0x3027, 0x3102, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TRunFixture f;
    f.Run->SrvFileVer = " to old";
    PutServerImage(*f.Run, c.last, c.versionWord, c.buildWord);
    BuildSrvFileVer(*f.Run);
    EXPECT_EQ(f.Run->SrvFileVer, c.text);
  }
  TRunFixture f;
  BuildSrvFileVer(*f.Run);  // an empty image
  EXPECT_EQ(f.Run->SrvFileVer, "");
}

}  // namespace
