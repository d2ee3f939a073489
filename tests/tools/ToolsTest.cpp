// The package and bundle builders and the two commands: what they produce is what the tuning
// program reads back.
#include <gtest/gtest.h>

#include <filesystem>

#include "firmware/Decode.h"
#include "firmware/Packages.h"
#include "tests/firmware/Commands.h"
#include "tests/firmware/RunFixture.h"
#include "tools/DemoPackages.h"
#include "tools/FileBytes.h"
#include "tools/PackageBuilder.h"

namespace {

const std::string kBundleTool = TPTUNE_BUNDLE_TOOL;
const std::string kMkpkgTool = TPTUNE_MKPKG_TOOL;
const std::string kProbe = TPTUNE_BUNDLE_PROBE;

TBytes Bytes(const std::string& text) { return TBytes(text.begin(), text.end()); }

TServerImage DecodeServer(const TBytes& package) {
  TRunFixture f;
  const TPackageRecord record = MakePackageRecord(package);
  EXPECT_EQ(DecodeSFF(*f.Run, &record, 2, kDescSrvTest), TDecodeStatus::Ok);
  return f.Run->SrvImage[2];
}

TEST(PackageBuilders, TPFBlocksForEachHardware) {
  const TBytes blocks[] = {DemoTestImage(0x20), DemoRfModemImage(0x21), DemoEepromImage(0x22)};
  const TBytes package = BuildTPF({blocks[0], blocks[1], blocks[2]});
  for (const TBytes& block : blocks) {
    TRunFixture f;
    f.Run->TPHwVer = block[0];
    const TPackageRecord record = MakePackageRecord(package);
    ASSERT_EQ(DecodeTPF(*f.Run, &record, 1, kDescRfModem), TDecodeStatus::Ok);
    ASSERT_EQ(f.Run->TPImageLen[1], block.size());
    EXPECT_TRUE(std::equal(block.begin(), block.end(), f.Run->TPImage[1].begin()));
  }
}

TEST(PackageBuilders, RefuseImagesTheDecodersReject) {
  EXPECT_THROW(BuildTPF({TBytes(63, 0x22)}), std::invalid_argument);
  EXPECT_THROW(BuildTPF({TBytes(8192, 0x22)}), std::invalid_argument);
  EXPECT_THROW(BuildTPF({}), std::invalid_argument);
  EXPECT_NO_THROW(BuildTPF({TBytes(64, 0x22), TBytes(8191, 0x22)}));
  EXPECT_THROW(BuildBinary(TBytes(64, 0x22)), std::invalid_argument);
  EXPECT_EQ(BuildBinary(TBytes(65, 0x22)), TBytes(65, 0x22));
}

TEST(PackageBuilders, ServerImageThroughHexAndSff) {
  const TServerImage image = DemoServerImage();
  EXPECT_EQ(DecodeServer(Bytes(BuildHex(image))), image);
  EXPECT_EQ(DecodeServer(BuildSFF(image)), image);
  const TBytes skipping = BuildSFF(image, true);
  EXPECT_GT(skipping.size(), BuildSFF(image).size());
  EXPECT_EQ(DecodeServer(skipping), image);

  // A used row without its first word: stored as the 14 bits a server would get.
  TServerImage gap = EmptyServerImage();
  gap[0x0100] = 0x0001;  // a server package always defines the program's first word
  gap[0x0401] = 0x1234;
  TServerImage expected = gap;
  expected[0x0400] = 0x3FFF;
  EXPECT_EQ(DecodeServer(BuildSFF(gap)), expected);
  EXPECT_EQ(DecodeServer(Bytes(BuildHex(gap))), gap);
}

TEST(PackageBuilders, HexIsIntelHex) {
  // Every line is ':' + hex digits whose bytes add up to 0, with the byte count it claims.
  const std::string hex = BuildHex(DemoServerImage());
  size_t start = 0, lines = 0;
  std::string last;
  while (start < hex.size()) {
    const size_t end = hex.find("\r\n", start);
    ASSERT_NE(end, std::string::npos);
    last = hex.substr(start, end - start);
    start = end + 2;
    ++lines;
    ASSERT_EQ(last[0], ':');
    ASSERT_EQ(last.size() % 2, 1u);
    unsigned sum = 0;
    for (size_t i = 1; i < last.size(); i += 2) sum += std::stoul(last.substr(i, 2), nullptr, 16);
    EXPECT_EQ(sum % 256, 0u) << last;
    EXPECT_EQ(std::stoul(last.substr(1, 2), nullptr, 16) * 2 + 11, last.size()) << last;
  }
  EXPECT_EQ(last, ":00000001FF");
  EXPECT_GT(lines, 100u);
}

TEST(AttachBundle, ReplacesAnEarlierBundle) {
  const TBytes program = ReadFileBytes(kProbe);
  const std::array<TBytes, 5> packages = {Bytes("a"), Bytes("b"), Bytes("c"), Bytes("d"), Bytes("e")};
  const TBytes first = BuildBundle("first", packages, 0x00);
  const TBytes second = BuildBundle("second title", packages, 0x0F);
  const TBytes once = AttachBundle(program, first);
  const TBytes twice = AttachBundle(once, second);
  EXPECT_EQ(once.size(), program.size() + first.size());
  EXPECT_EQ(twice.size(), program.size() + second.size());
  // The program stays as it was, except that a Windows program records where its bundle starts
  // in its header (the image version fields at the header offset + 68).
  TBytes expected = program;
  if (program.size() > 64 && program[0] == 'M' && program[1] == 'Z') {
    const size_t header = program[60] | (program[61] << 8) | (program[62] << 16) |
                          (static_cast<size_t>(program[63]) << 24);
    ASSERT_LT(header + 72, program.size());
    for (int i = 0; i < 4; ++i)
      expected[header + 68 + static_cast<size_t>(i)] =
          static_cast<uint8_t>(program.size() >> (8 * i));
  }
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), twice.begin()));

  EXPECT_THROW(AttachBundle(Bytes("#!/bin/sh\n"), first), std::invalid_argument);
}

TEST(AttachBundle, WindowsProgramRecordsTheOffset) {
  TBytes program(600, 0x00);
  program[0] = 'M';
  program[1] = 'Z';
  program[60] = 0x80;
  program[0x80 + 68] = 0x01;  // a genuine image version 1.0, not a bundle offset
  const TBytes bundle = BuildBundle("t", {Bytes("a"), Bytes("b"), Bytes("c"), Bytes("d"), Bytes("e")}, 9);

  TScratchDir dir;
  const TBytes once = AttachBundle(program, bundle);
  ASSERT_EQ(once.size(), program.size() + bundle.size());
  EXPECT_EQ(TBytes(once.begin() + 0x80 + 68, once.begin() + 0x80 + 72), (TBytes{0x58, 0x02, 0, 0}));
  const TEmbeddedBundle read = ReadEmbeddedBundle(dir.Write("once.exe", once));
  ASSERT_EQ(read.Status, TEmbeddedBundle::TStatus::kPresent);
  EXPECT_EQ(*read.Bytes, bundle);
  EXPECT_EQ(AttachBundle(once, bundle), once);
}

TEST(BundleCommand, Errors) {
  TScratchDir dir;
  const std::string package = dir.Write("p", Bytes("package"));
  const std::string out = dir.Dir() + "out";
  auto run = [&](const std::string& program, const std::string& flags, const std::string& last) {
    return RunCommand({kBundleTool, program, out, "Title", flags, package, package, package, package,
                       last})
        .Status;
  };
  EXPECT_EQ(RunCommand({kBundleTool, kProbe, out}).Status, 2);
  EXPECT_EQ(run(kProbe, "256", package), 2);
  EXPECT_EQ(run(kProbe, "0x1G", package), 2);
  EXPECT_EQ(run(kProbe, "9", dir.Dir() + "missing"), 1);
  EXPECT_EQ(run(package, "9", package), 1);  // not a program
  EXPECT_FALSE(std::filesystem::exists(out));
  EXPECT_EQ(run(kProbe, "0x0B", package), 0);
  const TEmbeddedBundle read = ReadEmbeddedBundle(out);
  ASSERT_EQ(read.Status, TEmbeddedBundle::TStatus::kPresent);
  EXPECT_EQ(read.Bytes->back(), 0x0B);
}

TEST(DemoPackages, DecodeIntoConsistentImages) {
  TScratchDir dir;
  ASSERT_EQ(RunCommand({kMkpkgTool, "demo", dir.Dir() + "demo"}).Status, 0);
  const std::string demo = dir.Dir() + "demo/";
  for (const char* name : {"rfmodem.tpf", "eeprom.tpf", "server.sff", "server.hex", "tpftune.tpf",
                           "srvftune.sff"})
    EXPECT_TRUE(std::filesystem::is_regular_file(demo + name)) << name;

  for (const char* server : {"server.sff", "server.hex"}) {
    SCOPED_TRACE(server);
    TRunFixture f;
    f.Main.ProgDir = demo;
    f.Main.RestoreSrv = true;
    f.Main.File1Combo.Text = demo + "rfmodem.tpf";
    f.Main.File2Combo.Text = demo + "eeprom.tpf";
    f.Main.File3Combo.Text = demo + server;
    f.Run->TPHwVer = kDemoHwVersion;
    LoadPackages(*f.Run);
    DecodePackages(*f.Run);
    ASSERT_EQ(f.Run->Outcome, kOutcomeOk) << (f.Bridge.Lines.empty() ? "" : f.Bridge.Lines[0]);

    EXPECT_EQ(f.Run->ModemVer, " to V2.3");
    EXPECT_EQ(f.Run->EepromVer, " to V1.4.2");
    EXPECT_EQ(f.Run->SrvFileVer, " to V2.3.2a");
    EXPECT_EQ(f.Run->SrvImage[1], DemoServerImage());
    EXPECT_EQ(f.Run->SrvImage[2][0x0103] & 0xFF, kDemoServerTestVersion);
    // The test firmware: the three bytes before its start word lie inside the image and are
    // what the tuning program compares.
    const auto& test = f.Run->TPImage[3];
    const unsigned start = test[27] | (test[28] << 8);
    EXPECT_EQ(start, kDemoTestStart);
    EXPECT_LE(start, f.Run->TPImageLen[3]);
    EXPECT_GE(start, 3u + 32u);
    for (int k = 1; k <= 3; ++k) {
      const auto& image = f.Run->TPImage[static_cast<size_t>(k)];
      EXPECT_EQ(image[0], kDemoHwVersion);
      EXPECT_EQ(image[2], kDemoSetup2);
      EXPECT_EQ(image[24], kDemoSetup24);
      EXPECT_EQ(image[31], kDemoSetup31);
    }
  }
}

}  // namespace
