// Package decoding: the scrambler, both handheld forms, both server forms, and the run step
// that decodes a run's packages.
#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "firmware/Decode.h"
#include "firmware/Packages.h"
#include "tests/firmware/RunFixture.h"
#include "tools/DemoPackages.h"
#include "tools/PackageBuilder.h"

namespace {

// A handheld image of the given size for hardware hw, its other bytes counting up.
TBytes Block(uint8_t hw, size_t size, uint8_t salt = 0) {
  TBytes block(size);
  for (size_t i = 0; i < size; ++i) block[i] = static_cast<uint8_t>(i * 7 + salt);
  block[0] = hw;
  return block;
}

TBytes Text(const std::string& text) { return TBytes(text.begin(), text.end()); }

// SFF packages with a hand-made header: length field, marker, then the record words.
TBytes Sff(uint16_t lengthField, uint8_t marker, const std::vector<uint16_t>& words) {
  TBytes plain{static_cast<uint8_t>(lengthField >> 8), static_cast<uint8_t>(lengthField), marker,
               0x00};
  for (uint16_t w : words) {
    plain.push_back(static_cast<uint8_t>(w >> 8));
    plain.push_back(static_cast<uint8_t>(w));
  }
  return ScramblePackage(0x3C, 0x96, plain);
}
uint16_t SffLength(const std::vector<uint16_t>& words) {
  return static_cast<uint16_t>(2 * words.size() + 2);
}

TServerImage SmallServerImage() {
  TServerImage image = EmptyServerImage();
  for (uint16_t w = 0x0100; w < 0x0108; ++w) image[w] = static_cast<uint16_t>(0x2800 + w);
  image[0x0200] = 0x3FFF;
  image[0x1FFC] = 0x0123;
  return image;
}

// The small image in HEX form with the given line ends.
std::string SmallHex(const std::string& lineEnd) { return BuildHex(SmallServerImage(), lineEnd); }

// The whole array: words below 0x0100 are no program words and must stay undefined too.
void ExpectSameServerImage(const TServerImage& actual, const TServerImage& expected) {
  for (uint32_t w = 0; w <= kSrvLastWord; ++w) {
    if (actual[w] != expected[w]) {
      ADD_FAILURE() << "word " << std::hex << w << " is " << actual[w] << ", expected "
                    << expected[w];
      return;
    }
  }
}

const TBytes kBlock21 = Block(0x21, 300, 1);
const TBytes kBlock22 = Block(0x22, 200, 2);
const TServerImage kEmpty = EmptyServerImage();

struct THandheldCase {
  const char* name;
  uint8_t hw;
  std::function<TBytes()> package;
  TDecodeStatus status;
  std::optional<TBytes> image;  // what TPImage[2] holds afterwards (its length is the size)
  std::string reply;
};

const THandheldCase kHandheldCases[] = {
    {"second block for this handheld", 0x22, [] { return BuildTPF({kBlock21, kBlock22}); },
     TDecodeStatus::Ok, kBlock22, ""},
    {"no block for this handheld keeps the last", 0x23,
     [] { return BuildTPF({kBlock21, kBlock22}); }, TDecodeStatus::HwNotSupported, kBlock22,
     "\r\n TallyPilot firmware (hardware not supported)"},
    {"first matching block ends reading", 0x21,
     [] {
       TBytes p = BuildTPF({kBlock21, kBlock22});
       p.resize(p.size() - 5);  // the second block is cut short but never read
       return p;
     },
     TDecodeStatus::Ok, kBlock21, ""},
    // Broken TPF packages below are 8192 bytes or more, so they cannot pass as binary images.
    {"one trailing byte", 0x22,
     [] {
       TBytes p = BuildTPF({Block(0x21, 8187)});
       p.push_back(0x00);
       return p;
     },
     TDecodeStatus::BadFormat, std::nullopt, "\r\n TallyPilot firmware"},
    {"one trailing byte in a package of binary size: a binary image of other hardware", 0x22,
     [] {
       TBytes p = BuildTPF({kBlock21}, 0x5A, 0x00);
       p.push_back(0x00);
       return p;
     },
     TDecodeStatus::HwNotSupported, std::nullopt,
     "\r\n TallyPilot firmware (hardware not supported)"},
    {"block of 64 bytes", 0x22, [] { return BuildTPF({Block(0x22, 64)}); }, TDecodeStatus::Ok,
     Block(0x22, 64), ""},
    {"block length 63", 0x22,
     [] {
       TBytes plain{0x00, 63};
       const TBytes block = Block(0x22, 63);
       plain.insert(plain.end(), block.begin(), block.end());
       plain.resize(8190);
       return ScramblePackage(0x01, 0x02, plain);
     },
     TDecodeStatus::BadFormat, std::nullopt, "\r\n TallyPilot firmware"},
    {"block longer than the package", 0x22,
     [] {
       TBytes p = BuildTPF({Block(0x22, 8189)});
       p.pop_back();
       return p;
     },
     TDecodeStatus::BadFormat, std::nullopt, "\r\n TallyPilot firmware"},
    {"binary image of 64 bytes", 0x22, [] { return Block(0x22, 64); }, TDecodeStatus::BadFormat,
     std::nullopt, "\r\n TallyPilot firmware"},
    {"binary image of 65 bytes", 0x22, [] { return Block(0x22, 65); }, TDecodeStatus::Ok,
     Block(0x22, 65), ""},
    {"binary image of 8191 bytes", 0x22, [] { return Block(0x22, 8191); }, TDecodeStatus::Ok,
     Block(0x22, 8191), ""},
    {"binary image of 8192 bytes", 0x22, [] { return Block(0x22, 8192); },
     TDecodeStatus::BadFormat, std::nullopt, "\r\n TallyPilot firmware"},
    {"real image that is no TPF package", 0x22, [] { return DemoEepromImage(0x22); },
     TDecodeStatus::Ok, DemoEepromImage(0x22), ""},
    {"binary image for other hardware leaves the image", 0x23, [] { return Block(0x22, 500); },
     TDecodeStatus::HwNotSupported, TBytes{}, "\r\n TallyPilot firmware (hardware not supported)"},
    {"empty file", 0x22, [] { return TBytes{}; }, TDecodeStatus::BadFormat, std::nullopt,
     "\r\n TallyPilot firmware"},
};

TEST(DecodeTPF, Cases) {
  for (const THandheldCase& c : kHandheldCases) {
    SCOPED_TRACE(c.name);
    TRunFixture f;
    f.Run->TPHwVer = c.hw;
    const TPackageRecord record = MakePackageRecord(c.package());
    EXPECT_EQ(DecodeTPF(*f.Run, &record, 2, kDescEeprom), c.status);
    EXPECT_EQ(f.Run->Reply, c.reply);
    if (c.image) {
      ASSERT_EQ(f.Run->TPImageLen[2], c.image->size());
      EXPECT_TRUE(std::equal(c.image->begin(), c.image->end(), f.Run->TPImage[2].begin()));
    }
  }
}

struct TServerCase {
  const char* name;
  std::function<TBytes()> package;
  TDecodeStatus status;
  TServerImage image;  // what SrvImage[1] holds afterwards
};

TServerImage EdgeAddressImage() {
  TServerImage image = EmptyServerImage();
  image[0x0100] = 0x2211;  // bytes 0x0200, 0x0201 of the record at 0x01FE
  image[0x1FFF] = 0x0655;  // bytes 0x3FFE, 0x3FFF of the record at 0x3FFE
  return image;
}

TServerImage HalfWordImage() {
  TServerImage image = EmptyServerImage();
  image[0x0100] = 0x3F5A;  // low byte only: the first word counts as defined
  image[0x0301] = 0x25FF;  // high byte 0xE5 only, of which 14 bits count
  return image;
}

TServerImage ImageWith(std::initializer_list<std::pair<uint16_t, uint16_t>> words) {
  TServerImage image = EmptyServerImage();
  for (const auto& [address, value] : words) image[address] = value;
  return image;
}

// A complete image but for its first row.
TServerImage ImageFrom0104() {
  TServerImage image = SmallServerImage();
  for (uint16_t w = 0x0100; w < 0x0104; ++w) image[w] = kSrvNoData;
  return image;
}

const std::vector<uint16_t> kRowAndSkip = {0x0001, 0x0002, 0x0003, 0x0004, 0x8002};
const std::vector<uint16_t> kRowThenShortRow = {0x0001, 0x0002, 0x0003, 0x0004,
                                                0x0005, 0x0006, 0x0007};

const TServerCase kServerCases[] = {
    {"HEX with CR LF", [] { return Text(SmallHex("\r\n")); }, TDecodeStatus::Ok,
     SmallServerImage()},
    {"HEX with LF CR", [] { return Text(SmallHex("\n\r")); }, TDecodeStatus::Ok,
     SmallServerImage()},
    {"HEX with LF", [] { return Text(SmallHex("\n")); }, TDecodeStatus::Ok, SmallServerImage()},
    {"HEX without a line end at the end",
     [] {
       std::string hex = SmallHex("\n");
       hex.pop_back();
       return Text(hex);
     },
     TDecodeStatus::Ok, SmallServerImage()},
    {"HEX end record in lower case", [] {
       std::string hex = SmallHex("\n");
       for (char& c : hex) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
       return Text(hex);
     },
     TDecodeStatus::BadFormat, kEmpty},
    {"HEX with lower-case digits",
     [] {
       std::string hex = SmallHex("\n");
       const std::string end = ":00000001FF\n";
       for (size_t i = 0; i + end.size() < hex.size(); ++i)
         hex[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(hex[i])));
       return Text(hex);
     },
     TDecodeStatus::Ok, SmallServerImage()},
    {"HEX with only the end record", [] { return Text(":00000001FF\r\n"); },
     TDecodeStatus::BadFormat, kEmpty},
    {"HEX without the end record",
     [] {
       std::string hex = SmallHex("\r\n");
       hex.erase(hex.rfind(":00000001FF"));
       return Text(hex);
     },
     TDecodeStatus::BadFormat, kEmpty},
    {"HEX cut inside a data line",
     [] {
       const std::string hex = SmallHex("\r\n");
       return Text(hex.substr(0, hex.find('\r') - 3));  // checksum and half a byte gone
     },
     TDecodeStatus::BadFormat, kEmpty},
    // Count 3, the third byte only half there and no checksum: no half byte is taken.
    {"HEX data line cut inside its last byte",
     [] { return Text(":030400003412F\r\n:00000001FF\r\n"); }, TDecodeStatus::BadFormat, kEmpty},
    {"HEX data line longer than its count", [] {
       return Text(":020400003412B4B4\r\n:00000001FF\r\n");
     },
     TDecodeStatus::BadFormat, kEmpty},
    {"HEX with a blank line", [] { return Text(":0200000400F00A\r\n\r\n" + SmallHex("\r\n")); },
     TDecodeStatus::BadFormat, kEmpty},
    {"HEX with a blank line after the end record", [] { return Text(SmallHex("\n") + "\n"); },
     TDecodeStatus::BadFormat, kEmpty},
    {"HEX with CR CR", [] { return Text(SmallHex("\r\r")); }, TDecodeStatus::BadFormat, kEmpty},
    {"HEX data outside the program words", [] {
       return Text(
           ":020000040001F9\r\n"      // extended address record: data at 0x0000
           ":0401FE00AABB112265\r\n"  // 0x01FE..0x0201: the last two bytes count
           ":043FFE005506AAFFBB\r\n"  // 0x3FFE..0x4001: the first two bytes count
           ":00000001FF\r\n");
     },
     TDecodeStatus::Ok, EdgeAddressImage()},
    {"HEX low and high halves of words",
     [] { return Text(":010200005AA3\r\n:01060300E511\r\n:00000001FF\r\n"); },
     TDecodeStatus::Ok, HalfWordImage()},
    {"HEX data after the end record",
     [] { return Text(":00000001FF\r\n:020200003412B6\r\n"); }, TDecodeStatus::Ok,
     ImageWith({{0x0100, 0x1234}})},
    {"HEX record with a wrong checksum",
     [] { return Text(":020400003412FF\r\n:00000001FF\r\n"); }, TDecodeStatus::BadFormat, kEmpty},
    {"HEX data digit corrupted into another digit",
     [] {
       std::string hex = SmallHex("\r\n");
       hex[12] = hex[12] == '7' ? '6' : '7';  // in the second data byte of the first record
       return Text(hex);
     },
     TDecodeStatus::BadFormat, kEmpty},
    {"HEX record with a non-hex byte", [] { return Text(":020400003G12B4\r\n:00000001FF\r\n"); },
     TDecodeStatus::BadFormat, kEmpty},
    {"HEX record count beyond the line", [] { return Text(":100400003412B4\r\n:00000001FF\r\n"); },
     TDecodeStatus::BadFormat, kEmpty},
    {"SFF", [] { return BuildSFF(SmallServerImage()); }, TDecodeStatus::Ok, SmallServerImage()},
    {"SFF ending with a skip word", [] { return Sff(SffLength(kRowAndSkip), 0xFF, kRowAndSkip); },
     TDecodeStatus::Ok, ImageWith({{0x100, 1}, {0x101, 2}, {0x102, 3}, {0x103, 4}})},
    {"SFF with a wrong length", [] { return Sff(SffLength(kRowAndSkip) + 2, 0xFF, kRowAndSkip); },
     TDecodeStatus::BadFormat, kEmpty},
    {"SFF with an odd length",
     [] {
       TBytes p = Sff(SffLength(kRowAndSkip) + 1, 0xFF, kRowAndSkip);
       p.push_back(0x00);
       return p;
     },
     TDecodeStatus::BadFormat, kEmpty},
    {"SFF with a wrong marker", [] { return Sff(SffLength(kRowAndSkip), 0xFE, kRowAndSkip); },
     TDecodeStatus::BadFormat, kEmpty},
    // The first row was complete; a rejected package still leaves nothing behind.
    {"SFF row word with fewer than six bytes left",
     [] { return Sff(SffLength(kRowThenShortRow), 0xFF, kRowThenShortRow); },
     TDecodeStatus::BadFormat, kEmpty},
    {"SFF skipping past the last row",
     [] {
       const std::vector<uint16_t> words = {0x87C0, 0x0001, 0x0002, 0x0003, 0x0004};
       return Sff(SffLength(words), 0xFF, words);
     },
     TDecodeStatus::BadFormat, kEmpty},
    {"SFF last row", [] {
       const std::vector<uint16_t> words = {0x0005, 0x0006, 0x0007, 0x0008, 0x87BE,
                                            0x0001, 0x0002, 0x0003, 0x0004};
       return Sff(SffLength(words), 0xFF, words);
     },
     TDecodeStatus::Ok,
     ImageWith({{0x100, 5}, {0x101, 6}, {0x102, 7}, {0x103, 8}, {0x1FFC, 1}, {0x1FFD, 2},
                {0x1FFE, 3}, {0x1FFF, 4}})},
    // Without word 0x0100 the image cannot replace the program's first row.
    {"HEX with only an extended-address record and the end record",
     [] { return Text(":020000040000FA\r\n:00000001FF\r\n"); }, TDecodeStatus::BadFormat, kEmpty},
    {"HEX whose words start at 0x0104", [] { return Text(BuildHex(ImageFrom0104())); },
     TDecodeStatus::BadFormat, kEmpty},
    {"SFF whose words start at 0x0104", [] { return BuildSFF(ImageFrom0104()); },
     TDecodeStatus::BadFormat, kEmpty},
    {"too short for either form", [] { return TBytes{0x01, 0x02, 0x03, 0x04, 0x05}; },
     TDecodeStatus::BadFormat, kEmpty},
};

TEST(DecodeSFF, Cases) {
  for (const TServerCase& c : kServerCases) {
    SCOPED_TRACE(c.name);
    TRunFixture f;
    f.Run->SrvImage[1].fill(0x1111);  // whatever an earlier package left
    const TPackageRecord record = MakePackageRecord(c.package());
    EXPECT_EQ(DecodeSFF(*f.Run, &record, 1, kDescServer), c.status);
    EXPECT_EQ(f.Run->Reply, c.status == TDecodeStatus::Ok ? "" : "\r\n Server firmware");
    ExpectSameServerImage(f.Run->SrvImage[1], c.image);
  }
}

TEST(Scrambler, KeyStreamFromTheSeedBytes) {
  // Key bytes worked out by hand from the register rule for two pairs of seed bytes.
  const struct {
    uint8_t b0, b1;
    std::array<uint8_t, 8> keys;
  } cases[] = {
      {0x00, 0x00, {0x7D, 0x00, 0x1F, 0xC7, 0x07, 0xD1, 0x88, 0xFC}},
      {0x12, 0x34, {0x79, 0xBB, 0x42, 0xE4, 0x1D, 0x7E, 0x2B, 0x78}},
  };
  for (const auto& c : cases) {
    uint32_t reg = ScramblerStart(c.b0, c.b1);
    for (uint8_t expected : c.keys) {
      EXPECT_EQ(ScramblerStep(reg), expected);
      EXPECT_EQ(reg >> 24, 0u);
    }
  }
}

TEST(DecodeRecords, LengthFieldBoundsThePackage) {
  TRunFixture f;
  f.Run->TPHwVer = 0x22;
  TPackageRecord record = MakePackageRecord(Block(0x22, 100));
  record.resize(record.size() - 1);  // the length field now claims one byte too many
  EXPECT_EQ(DecodeTPF(*f.Run, &record, 3, kDescTPTest), TDecodeStatus::BadFormat);
  record = MakePackageRecord(Block(0x22, 100));
  record.push_back(0x00);  // a byte beyond the length field does not belong to the package
  EXPECT_EQ(DecodeTPF(*f.Run, &record, 3, kDescTPTest), TDecodeStatus::Ok);
  EXPECT_EQ(f.Run->TPImageLen[3], 100);
  EXPECT_EQ(DecodeSFF(*f.Run, nullptr, 2, kDescSrvTest), TDecodeStatus::BadFormat);
}

// ---- The run step ----

struct TPackagesFixture : TRunFixture {
  TPackagesFixture() {
    Run->TPHwVer = kDemoHwVersion;
    for (const TDemoFile& file : DemoPackageFiles()) {
      auto record = std::make_shared<const TPackageRecord>(MakePackageRecord(file.Bytes));
      if (file.Name == "rfmodem.tpf") Run->FwBlob[kSlotRfModem] = record;
      if (file.Name == "eeprom.tpf") Run->FwBlob[kSlotEeprom] = record;
      if (file.Name == "server.sff") Run->FwBlob[kSlotServer] = record;
      if (file.Name == "tpftune.tpf") Run->FwBlob[kSlotTPTest] = record;
      if (file.Name == "srvftune.sff") Run->FwBlob[kSlotSrvTest] = record;
    }
  }
  void Corrupt(int slot) {
    Run->FwBlob[static_cast<size_t>(slot)] =
        std::make_shared<const TPackageRecord>(MakePackageRecord(Text("not a package")));
  }
};

TEST(DecodePackages, EveryRejectedPackageOnOneLineInSlotOrder) {
  TPackagesFixture f;
  f.Main.RestoreSrv = true;
  for (int slot : {kSlotServer, kSlotRfModem, kSlotSrvTest}) f.Corrupt(slot);
  f.Run->FwBlob[kSlotEeprom] = std::make_shared<const TPackageRecord>(
      MakePackageRecord(BuildTPF({DemoEepromImage(0x30)})));

  DecodePackages(*f.Run);

  EXPECT_EQ(f.Run->Outcome, kOutcomeFailed);
  ASSERT_EQ(f.Bridge.Lines.size(), 1u);
  EXPECT_EQ(f.Bridge.Lines[0],
            "Error decoding file(s):\r\n Server test firmware\r\n RF modem firmware"
            "\r\n TallyPilot firmware (hardware not supported)\r\n Server firmware");
  EXPECT_EQ(f.Run->ErrLog,
            ">Error decoding file(s):\r> Server test firmware\r> RF modem firmware"
            "\r> TallyPilot firmware (hardware not supported)\r> Server firmware\r");
}

TEST(DecodePackages, AServerPackageWithoutWord0100FailsTheRun) {
  const struct {
    const char* name;
    int slot;
    bool finishing;
    const char* line;
  } cases[] = {
      {"server test firmware", kSlotSrvTest, false,
       "Error decoding file(s):\r\n Server test firmware"},
      {"server firmware", kSlotServer, false, "Error decoding file(s):\r\n Server firmware"},
      {"server firmware at the closing restore", kSlotServer, true,
       "Error decoding file(s):\r\n Server firmware"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TPackagesFixture f;
    f.Main.RestoreSrv = true;
    f.Run->Finishing = c.finishing;
    f.Run->FwBlob[static_cast<size_t>(c.slot)] =
        std::make_shared<const TPackageRecord>(MakePackageRecord(BuildSFF(ImageFrom0104())));

    DecodePackages(*f.Run);

    EXPECT_EQ(f.Run->Outcome, kOutcomeFailed);
    EXPECT_EQ(f.Bridge.Lines, std::vector<ByteText>{c.line});
    EXPECT_EQ(f.Run->SrvImage[c.slot == kSlotServer ? 1 : 2][kSrvFirstWord], kSrvNoData);
  }
}

TEST(DecodePackages, DecodesWhatTheChoicesNeedAndBuildsVersions) {
  const struct {
    const char* name;
    bool goldTP, restoreTP, restoreSrv, finishing;
    bool handheldProduction, server;  // which images are decoded
    const char* modemVer;
    const char* srvFileVer;
  } cases[] = {
      {"server gold, restore server", false, false, true, false, true, true, " to V2.3",
       " to V2.3.2a"},
      {"server gold, no server restore", false, false, false, false, true, false, " to V2.3", ""},
      {"handheld gold, restore handheld", true, true, false, false, true, true, "", " to V2.3.2a"},
      {"handheld gold, keep handheld firmware", true, false, false, false, false, true, "",
       " to V2.3.2a"},
      {"closing server restore", false, false, true, true, false, true, "", " to V2.3.2a"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TPackagesFixture f;
    f.Main.GoldTP = c.goldTP;
    f.Main.RestoreTP = c.restoreTP;
    f.Main.RestoreSrv = c.restoreSrv;
    f.Run->Finishing = c.finishing;
    f.Run->ModemVer = f.Run->EepromVer = f.Run->SrvFileVer = " to old";
    // A package the choices do not need may be anything: it is not decoded.
    if (!c.handheldProduction) f.Corrupt(kSlotRfModem);
    if (!c.server) f.Corrupt(kSlotServer);
    if (c.finishing) f.Corrupt(kSlotTPTest);

    DecodePackages(*f.Run);

    EXPECT_EQ(f.Run->Outcome, kOutcomeOk);
    EXPECT_TRUE(f.Bridge.Lines.empty());
    EXPECT_EQ(f.Run->TPImageLen[1] != 0, c.handheldProduction);
    EXPECT_EQ(f.Run->SrvImage[1][0x0100] != kSrvNoData, c.server);
    EXPECT_EQ(f.Run->TPImageLen[3] != 0, !c.finishing);
    EXPECT_EQ(f.Run->ModemVer, c.modemVer);
    EXPECT_EQ(f.Run->EepromVer, *c.modemVer ? " to V1.4.2" : "");
    EXPECT_EQ(f.Run->SrvFileVer, c.srvFileVer);
  }
}

TEST(DecodePackages, CancelStopsQuietly) {
  TPackagesFixture f;
  f.Main.RestoreSrv = true;
  f.Corrupt(kSlotRfModem);
  f.Run->RequestTermination();
  DecodePackages(*f.Run);
  EXPECT_EQ(f.Run->Outcome, kOutcomeOk);
  EXPECT_TRUE(f.Bridge.Lines.empty());
  EXPECT_EQ(f.Run->TPImageLen[3], 0);  // nothing was decoded
  // The closing restore decodes the server image even after the cancel.
  f.Run->Finishing = true;
  DecodePackages(*f.Run);
  EXPECT_EQ(f.Run->Outcome, kOutcomeOk);
  EXPECT_EQ(f.Run->SrvFileVer, " to V2.3.2a");
}

}  // namespace
