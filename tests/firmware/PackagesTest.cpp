// Loading packages from files and from the embedded bundle, and what a bundle fixes in the
// window's choices.
#include <gtest/gtest.h>

#include <fcntl.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>

#include "firmware/Packages.h"
#include "tests/firmware/RunFixture.h"
#include "tools/PackageBuilder.h"

namespace {

TBytes Bytes(const std::string& text) { return TBytes(text.begin(), text.end()); }

TBytes RecordOf(const std::string& text) { return MakePackageRecord(Bytes(text)); }

bool SlotHolds(const TRunRecord& run, int slot, const std::string& text) {
  const auto& blob = run.FwBlob[static_cast<size_t>(slot)];
  return blob && *blob == RecordOf(text);
}

// Package files in a scratch directory that serves as the program's directory: the two test
// firmwares and three production files, each holding its own name.
struct TFilesFixture : TRunFixture {
  TScratchDir Dir;
  TFilesFixture() {
    Main.ProgDir = Dir.Dir();
    Dir.Write("tpftune.tpf", Bytes("tpftune.tpf"));
    Dir.Write("srvftune.sff", Bytes("srvftune.sff"));
    Main.File1Combo.Text = Dir.Write("modem.tpf", Bytes("modem.tpf"));
    Main.File2Combo.Text = Dir.Write("eeprom.tpf", Bytes("eeprom.tpf"));
    Main.File3Combo.Text = Dir.Write("server.sff", Bytes("server.sff"));
  }
};

TEST(PackageRecords, LengthThenFileBytes) {
  TScratchDir dir;
  const auto record = ReadPackageFile(dir.Write("p", {0xAA, 0xBB, 0xCC}));
  ASSERT_TRUE(record);
  EXPECT_EQ(*record, (TBytes{7, 0, 0, 0, 0xAA, 0xBB, 0xCC}));
  const auto empty = ReadPackageFile(dir.Write("e", {}));
  ASSERT_TRUE(empty);
  EXPECT_EQ(*empty, (TBytes{4, 0, 0, 0}));
  // The length of a record beyond 16 bits.
  const auto large = ReadPackageFile(dir.Write("l", TBytes(0x12345)));
  ASSERT_TRUE(large);
  EXPECT_EQ(TBytes(large->begin(), large->begin() + 4), (TBytes{0x49, 0x23, 0x01, 0x00}));
}

TEST(PackageRecords, UnreadableFiles) {
  TScratchDir dir;
  EXPECT_FALSE(ReadPackageFile((dir.Path() / "missing").string()));
  EXPECT_FALSE(ReadPackageFile(dir.Path().string()));  // a directory
  const std::string large = dir.Write("large", {});
  std::filesystem::resize_file(large, kMaxPackageFileSize + 1);
  EXPECT_FALSE(ReadPackageFile(large));
  std::filesystem::resize_file(large, kMaxPackageFileSize);
  EXPECT_TRUE(ReadPackageFile(large));
}

TEST(LoadPackages, ReadsTheFilesTheChoicesNeed) {
  const struct {
    const char* name;
    bool goldTP, restoreTP, restoreSrv;
    bool handheld, server;  // whether the production files are read
  } cases[] = {
      {"server gold, restore server", false, false, true, true, true},
      {"server gold, keep server firmware", false, false, false, true, false},
      {"handheld gold, keep handheld firmware", true, false, false, false, true},
      {"handheld gold, restore both", true, true, true, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TFilesFixture f;
    f.Main.GoldTP = c.goldTP;
    f.Main.RestoreTP = c.restoreTP;
    f.Main.RestoreSrv = c.restoreSrv;
    // Files that are not needed are not even looked for.
    if (!c.handheld) f.Main.File1Combo.Text = f.Main.File2Combo.Text = f.Dir.Dir() + "missing";
    if (!c.server) f.Main.File3Combo.Text = f.Dir.Dir() + "missing";

    LoadPackages(*f.Run);

    EXPECT_EQ(f.Run->Outcome, kOutcomeOk);
    EXPECT_TRUE(f.Bridge.Lines.empty());
    EXPECT_TRUE(SlotHolds(*f.Run, kSlotTPTest, "tpftune.tpf"));
    EXPECT_TRUE(SlotHolds(*f.Run, kSlotSrvTest, "srvftune.sff"));
    EXPECT_EQ(SlotHolds(*f.Run, kSlotRfModem, "modem.tpf"), c.handheld);
    EXPECT_EQ(SlotHolds(*f.Run, kSlotEeprom, "eeprom.tpf"), c.handheld);
    EXPECT_EQ(SlotHolds(*f.Run, kSlotServer, "server.sff"), c.server);
    EXPECT_EQ(f.Run->FwBlob[kSlotRfModem] == nullptr, !c.handheld);
    EXPECT_EQ(f.Run->FwBlob[kSlotServer] == nullptr, !c.server);
  }
}

TEST(LoadPackages, EveryFailedFileOnOneLineInReadingOrder) {
  TFilesFixture f;
  f.Main.RestoreSrv = true;
  std::filesystem::remove(f.Dir.Path() / "srvftune.sff");
  f.Main.File2Combo.Text = f.Dir.Dir() + "gone.tpf";
  f.Main.File3Combo.Text = f.Dir.Dir();  // a directory is no package

  LoadPackages(*f.Run);

  EXPECT_EQ(f.Run->Outcome, kOutcomeFailed);
  ASSERT_EQ(f.Bridge.Lines.size(), 1u);
  const std::string dir = f.Dir.Dir();
  const std::string line = "Error reading file(s):\r\n Server test firmware \"" + dir +
                           "srvftune.sff\"\r\n TallyPilot firmware \"" + dir +
                           "gone.tpf\"\r\n Server firmware \"" + dir + "\"";
  EXPECT_EQ(f.Bridge.Lines[0], line);
  // In the trace every line of it is a log record of its own: records end with CR alone.
  EXPECT_EQ(f.Run->ErrLog, ">Error reading file(s):\r> Server test firmware \"" + dir +
                               "srvftune.sff\"\r> TallyPilot firmware \"" + dir +
                               "gone.tpf\"\r> Server firmware \"" + dir + "\"\r");
  EXPECT_FALSE(f.Run->FwBlob[kSlotSrvTest]);
  EXPECT_FALSE(f.Run->FwBlob[kSlotEeprom]);
  EXPECT_TRUE(SlotHolds(*f.Run, kSlotRfModem, "modem.tpf"));
  // The failed name does not enter the history; the read one does.
  EXPECT_TRUE(f.Main.File2Combo.Items.empty());
  EXPECT_EQ(f.Main.File1Combo.Items, std::vector<std::string>{f.Dir.Dir() + "modem.tpf"});
}

TEST(LoadPackages, TestFirmwaresFirst) {
  TFilesFixture f;
  std::filesystem::remove(f.Dir.Path() / "tpftune.tpf");
  std::filesystem::remove(f.Dir.Path() / "modem.tpf");
  LoadPackages(*f.Run);
  ASSERT_EQ(f.Bridge.Lines.size(), 1u);
  EXPECT_EQ(f.Bridge.Lines[0], "Error reading file(s):\r\n TallyPilot test firmware \"" +
                                   f.Dir.Dir() + "tpftune.tpf\"\r\n RF modem firmware \"" +
                                   f.Dir.Dir() + "modem.tpf\"");
}

TEST(LoadPackages, TypedNameBecomesFirstHistoryEntry) {
  TFilesFixture f;
  const std::string typed = f.Main.File1Combo.Text;
  f.Main.File1Combo.Items = {"older.tpf", "oldest.tpf"};
  f.Main.File1Combo.ItemIndex = 0;
  f.Main.File1Combo.Text = typed;  // typed over the selected entry

  LoadPackages(*f.Run);

  EXPECT_EQ(f.Run->Outcome, kOutcomeOk);
  EXPECT_TRUE(SlotHolds(*f.Run, kSlotRfModem, "modem.tpf"));
  EXPECT_EQ(f.Main.File1Combo.Items, (std::vector<std::string>{typed, "older.tpf", "oldest.tpf"}));
  EXPECT_EQ(f.Main.File1Combo.ItemIndex, 0);
  EXPECT_EQ(f.Main.File1Combo.Text, typed);
}

// FIFOs and device nodes are POSIX things.
#ifndef _WIN32
// A name that is no plain file: loading neither waits for it (a FIFO without a writer, a
// device) nor takes it. A regression would hang, so the load runs under a time limit.
TEST(LoadPackages, AFifoOrADeviceIsAReadingFailureWithoutWaiting) {
  for (const char* kind : {"FIFO", "/dev/null", "/dev/zero"}) {
    SCOPED_TRACE(kind);
    TFilesFixture f;
    const std::string fifo = f.Dir.Dir() + "server.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string name = std::string(kind) == "FIFO" ? fifo : kind;
    f.Main.RestoreSrv = true;
    f.Main.File3Combo.Text = name;

    auto load = std::async(std::launch::async, [&f] { LoadPackages(*f.Run); });
    if (load.wait_for(std::chrono::seconds(5)) == std::future_status::timeout) {
      ADD_FAILURE() << "loading waits for the file";
      // A writer releases a reader that waits in opening the FIFO, so that the test ends.
      const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
      if (writer >= 0) ::close(writer);
    }
    load.get();

    EXPECT_EQ(f.Run->Outcome, kOutcomeFailed);
    EXPECT_EQ(f.Bridge.Lines,
              std::vector<ByteText>{"Error reading file(s):\r\n Server firmware \"" + name + "\""});
    EXPECT_FALSE(f.Run->FwBlob[kSlotServer]);
    EXPECT_TRUE(f.Main.File3Combo.Items.empty());
  }
}
#endif

TEST(EscapedFileName, ControlCharactersOnly) {
  const struct {
    std::string name, shown;
  } cases[] = {
      {"/srv/fw/server 2.sff", "/srv/fw/server 2.sff"},
      {"a\rb\nc\td", "a\\rb\\nc\\td"},
      {"\x01\x1B\x1F\x7F", "\\x01\\x1B\\x1F\\x7F"},
      {"C:\\fw\\rf.tpf", "C:\\fw\\rf.tpf"},      // a backslash stays as it is
      {"caf\xC3\xA9 \"~\"", "caf\xC3\xA9 \"~\""},  // so do bytes from 0x80 and printable ones
  };
  for (const auto& c : cases) EXPECT_EQ(EscapedFileName(c.name), c.shown) << c.shown;
}

// Every record of the trace is the log line or one of its "\r\n " list items: a file name cannot
// end a record, so nothing it holds passes for a trace record or a further list item.
TEST(LoadPackages, ControlCharactersInANameForgeNoRecords) {
  const struct {
    const char* name;
    std::string file, shown;
  } cases[] = {
      {"CR", "x\r1<65\r1>65\r>Completed successfully!",
       "x\\r1<65\\r1>65\\r>Completed successfully!"},
      {"LF", "x\n RF modem firmware \"y", "x\\n RF modem firmware \"y"},
      {"CR LF", "x\r\n Server test firmware \"z", "x\\r\\n Server test firmware \"z"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TFilesFixture f;
    f.Main.RestoreSrv = true;
    f.Main.File3Combo.Text = f.Dir.Dir() + c.file;  // no such file

    LoadPackages(*f.Run);

    const std::string line =
        "Error reading file(s):\r\n Server firmware \"" + f.Dir.Dir() + c.shown + "\"";
    EXPECT_EQ(f.Bridge.Lines, std::vector<ByteText>{line});
    // The same, record by record: one log record and one list item, nothing else.
    std::vector<std::string> records;
    for (size_t start = 0, end; start < f.Run->ErrLog.size(); start = end + 1) {
      end = f.Run->ErrLog.find('\r', start);
      ASSERT_NE(end, std::string::npos) << "a record without its end";
      records.push_back(f.Run->ErrLog.substr(start, end - start));
    }
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0], ">Error reading file(s):");
    EXPECT_EQ(records[1], "> Server firmware \"" + f.Dir.Dir() + c.shown + "\"");
  }
}

// ---- The embedded bundle ----

TBytes TestBundle(uint8_t flags) {
  return BuildBundle("Line 3 tuning", {Bytes("rf"), Bytes("ee"), Bytes("srv"), Bytes("tpt"), Bytes("st")},
                     flags);
}

TEST(LoadPackages, BundleReplacesEveryFile) {
  TFilesFixture f;  // the files exist, but a bundled program does not look at them
  f.Main.File1Combo.Text = f.Dir.Dir() + "missing";
  f.Main.EmbPkg = std::make_shared<const std::vector<uint8_t>>(TestBundle(0x09));
  f.Main.GoldTP = true;

  LoadPackages(*f.Run);

  EXPECT_EQ(f.Run->Outcome, kOutcomeOk);
  EXPECT_TRUE(f.Bridge.Lines.empty());
  EXPECT_TRUE(SlotHolds(*f.Run, kSlotRfModem, "rf"));
  EXPECT_TRUE(SlotHolds(*f.Run, kSlotEeprom, "ee"));
  EXPECT_TRUE(SlotHolds(*f.Run, kSlotServer, "srv"));
  EXPECT_TRUE(SlotHolds(*f.Run, kSlotTPTest, "tpt"));
  EXPECT_TRUE(SlotHolds(*f.Run, kSlotSrvTest, "st"));
  EXPECT_TRUE(f.Main.File1Combo.Items.empty());
}

// Bundles whose records cannot be walked: each is still a bundle to the window, but no run
// can load its packages.
TEST(LoadPackages, MalformedBundle) {
  const TBytes good = TestBundle(0x09);
  auto withLength = [&](size_t at, uint32_t length) {
    TBytes bundle = good;
    for (int i = 0; i < 4; ++i) bundle[at + static_cast<size_t>(i)] = static_cast<uint8_t>(length >> (8 * i));
    return bundle;
  };
  const size_t lastRecord = good.size() - 1 - 6;  // the server test record "st"
  const struct {
    const char* name;
    TBytes bundle;
    bool titleReadable;
  } cases[] = {
      {"last record past the end", withLength(lastRecord, 100), true},
      {"last record over the flags byte", withLength(lastRecord, 7), true},
      {"record length below 4", withLength(lastRecord, 3), true},
      {"only five records",
       [&] {
         TBytes five(good.begin(), good.begin() + static_cast<long>(lastRecord));
         five.push_back(0x09);
         return five;
       }(),
       true},
      {"title past the end", withLength(0, 0xFFFFFFF0u), false},
      {"flags byte alone", TBytes{0x09}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const TBytes& bundle = c.bundle;
    TFilesFixture f;
    f.Main.EmbPkg = std::make_shared<const std::vector<uint8_t>>(bundle);

    EXPECT_FALSE(WalkBundle(bundle));
    LoadPackages(*f.Run);

    EXPECT_EQ(f.Run->Outcome, kOutcomeFailed);
    EXPECT_EQ(f.Bridge.Lines, std::vector<ByteText>{"Error reading file(s):\r\n embedded firmware bundle"});
    for (const auto& blob : f.Run->FwBlob) EXPECT_FALSE(blob);
    const TBundleChoices choices = BundleChoices(bundle);
    EXPECT_TRUE(choices.goldLocked);
    EXPECT_EQ(choices.title.has_value(), c.titleReadable);
    if (choices.title) {
      EXPECT_EQ(*choices.title, "Line 3 tuning");
    }
  }
}

TEST(BundleChoices, FlagsFixChoices) {
  const struct {
    uint8_t flags;
    bool goldLocked, gold, analysisLocked, analysis;
  } cases[] = {
      {0x09, true, true, false, false},  // handheld gold fixed, analysis left to the operator
      {0x0A, false, false, false, false},
      {0x00, true, false, true, false},
      {0x05, true, true, true, true},
      {0xF6, false, false, true, true},  // bits 4-7 mean nothing
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.flags));
    const TBundleChoices choices = BundleChoices(TestBundle(c.flags));
    EXPECT_EQ(choices.goldLocked, c.goldLocked);
    EXPECT_EQ(choices.analysisLocked, c.analysisLocked);
    EXPECT_EQ(choices.title, std::optional<std::string>("Line 3 tuning"));

    // Applied over the remembered settings: the unlocked choice keeps the remembered value.
    for (bool remembered : {false, true}) {
      TMainFields main;
      main.GoldTP = main.AnalysisOnly = remembered;
      ApplyBundleChoices(choices, main);
      EXPECT_EQ(main.GoldTP, c.goldLocked ? c.gold : remembered);
      EXPECT_EQ(main.AnalysisOnly, c.analysisLocked ? c.analysis : remembered);
      EXPECT_TRUE(main.RestoreSrv);
      EXPECT_TRUE(main.RestoreTP);
    }
  }
}

// ---- Finding the bundle in a program file ----

TEmbeddedBundle ReadBundleOf(const TScratchDir& dir, const TBytes& program) {
  return ReadEmbeddedBundle(dir.Write("program", program));
}

void PutLE32(TBytes& bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
}

// A Windows program of 512 bytes whose header is at 0x80, followed by tail.
TBytes WindowsProgram(uint32_t offsetField, const TBytes& tail = {}) {
  TBytes program(512, 0x00);
  program[0] = 'M';
  program[1] = 'Z';
  PutLE32(program, 60, 0x80);
  PutLE32(program, 0x80 + 68, offsetField);
  program.insert(program.end(), tail.begin(), tail.end());
  return program;
}

TEST(ReadEmbeddedBundle, WindowsProgram) {
  using S = TEmbeddedBundle::TStatus;
  const TBytes bundle = TestBundle(0x09);
  const uint32_t end = 512 + static_cast<uint32_t>(bundle.size());
  const struct {
    const char* name;
    TBytes program;
    S status;
  } cases[] = {
      {"offset recorded", WindowsProgram(512, bundle), S::kPresent},
      {"offset 0", WindowsProgram(0, bundle), S::kNone},
      {"offset at the end of the file", WindowsProgram(end, bundle), S::kNone},
      {"negative offset", WindowsProgram(0x80000200u, bundle), S::kNone},
      {"header beyond the file", [] {
         TBytes p = WindowsProgram(0);
         PutLE32(p, 60, 0x200);
         return p;
       }(), S::kHeaderUnreadable},
      {"header offset overflowing", [] {
         TBytes p = WindowsProgram(0);
         PutLE32(p, 60, 0xFFFFFFF0u);
         return p;
       }(), S::kHeaderUnreadable},
      {"cut short before the header offset", TBytes{'M', 'Z', 0, 0}, S::kHeaderUnreadable},
  };
  TScratchDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const TEmbeddedBundle read = ReadBundleOf(dir, c.program);
    EXPECT_EQ(read.Status, c.status);
    if (c.status == S::kPresent) {
      ASSERT_TRUE(read.Bytes);
      EXPECT_EQ(*read.Bytes, bundle);
    } else {
      EXPECT_FALSE(read.Bytes);
    }
  }
}

// A 32-bit big-endian ELF file: header, two section headers, then 10 bytes of section data
// that lie after the table, then tail.
TBytes BigEndianElf(const TBytes& tail) {
  TBytes elf(52 + 2 * 40 + 10, 0x00);
  const uint8_t ident[] = {0x7F, 'E', 'L', 'F', 1, 2, 1};
  std::copy(std::begin(ident), std::end(ident), elf.begin());
  auto be16 = [&](size_t at, uint16_t v) {
    elf[at] = static_cast<uint8_t>(v >> 8);
    elf[at + 1] = static_cast<uint8_t>(v);
  };
  auto be32 = [&](size_t at, uint32_t v) {
    be16(at, static_cast<uint16_t>(v >> 16));
    be16(at + 2, static_cast<uint16_t>(v));
  };
  be32(0x20, 52);  // e_shoff
  be16(0x2E, 40);  // e_shentsize
  be16(0x30, 2);   // e_shnum
  const size_t section = 52 + 40;
  be32(section + 4, 1);     // sh_type: program data
  be32(section + 16, 132);  // sh_offset
  be32(section + 20, 10);   // sh_size
  elf.insert(elf.end(), tail.begin(), tail.end());
  return elf;
}

TEST(ReadEmbeddedBundle, OtherFiles) {
  using S = TEmbeddedBundle::TStatus;
  TScratchDir dir;
  const TBytes bundle = TestBundle(0x0A);
  TEmbeddedBundle read = ReadBundleOf(dir, BigEndianElf(bundle));
  EXPECT_EQ(read.Status, S::kPresent);
  ASSERT_TRUE(read.Bytes);
  EXPECT_EQ(*read.Bytes, bundle);
  EXPECT_EQ(ReadBundleOf(dir, BigEndianElf({})).Status, S::kNone);

  TBytes cut = BigEndianElf({});
  cut.resize(100);  // the section header table is cut short
  EXPECT_EQ(ReadBundleOf(dir, cut).Status, S::kHeaderUnreadable);
  EXPECT_EQ(ReadBundleOf(dir, TBytes{0x7F, 'E', 'L', 'F', 2, 1}).Status, S::kHeaderUnreadable);
  EXPECT_EQ(ReadBundleOf(dir, Bytes("#!/bin/sh\necho\n")).Status, S::kHeaderUnreadable);
  EXPECT_EQ(ReadEmbeddedBundle(dir.Dir() + "no-such-program").Status, S::kHeaderUnreadable);
}

}  // namespace
