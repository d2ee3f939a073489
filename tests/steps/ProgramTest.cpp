// Writing images into the handheld and the server, and restoring the handheld's production
// firmware, against the emulated bench.
#include <gtest/gtest.h>

#include "StepsRig.h"
#include "firmware/Program.h"

namespace {

const ByteText kProgTP = "Programming TallyPilot, please wait...";
const ByteText kProgSrv = "Programming server, please wait...";
const ByteText kProgFailed = "Communication error, programming failed!";

// ---------------------------------------------------------------------------------------------
// ProgramTP

TEST(ProgramTP, WritesFromAddressOneReadsBackAndSetsByteZeroLast) {
  TStepsRig rig(Scenario());
  ASSERT_TRUE(rig.Connect());
  const std::vector<uint8_t> image = {kHandheldHw, 0x11, 0xA5, 0x00, 0xFF};
  rig.StageTP(3, image);

  ProgramTP(rig.Run, 3);

  ASSERT_EQ(rig.Run.Outcome, kOutcomeOk);
  EXPECT_TRUE(rig.Run.LinkOk);
  const std::vector<int> expected = {
      4, 0, 5, 0, 7, 0,                       // address 0, byte 0 written as 0
      7, 0x11, 7, 0xA5, 7, 0x00, 7, 0xFF,     // bytes 1..4
      4, 1, 5, 0,                             // back to address 1
      3, 3, 3, 3,                             // read back 1..4
      4, 0, 5, 0, 7, kHandheldHw, 4, 0, 3};   // byte 0 and its read-back
  const auto records = RecordsAfter(rig.Run.ErrLog, kProgTP);
  EXPECT_EQ(Sent(records, rig.DongleDigit()), expected);
  for (size_t i = 0; i < image.size(); ++i) EXPECT_EQ(rig.Handheld().Memory()[i], image[i]) << i;

  // Twice the length as total, 2 x (length - 1) steps: the bar stops short of full.
  EXPECT_EQ(rig.Bridge.Starts, 1);
  EXPECT_EQ(rig.Bridge.Ends, 1);
  EXPECT_EQ(rig.Bridge.Steps, (std::vector<int>{10, 20, 30, 40, 50, 60, 70, 80}));
}

TEST(ProgramTP, ReadBackMismatchStopsTheTrafficWithOneMessage) {
  TStepsRig rig(Scenario({{"faults", {{{"kind", "readback_mismatch"}, {"address", 100}}}}}));
  ASSERT_TRUE(rig.Connect());
  rig.StageTP(3, HandheldImage(300, 0x0100, 1));

  ProgramTP(rig.Run, 3);

  EXPECT_EQ(rig.Run.Outcome, kOutcomeFailed);
  EXPECT_FALSE(rig.Run.LinkOk);
  EXPECT_EQ(rig.Bridge.LinesFrom(kProgTP), (std::vector<ByteText>{kProgTP, kProgFailed}));
  const auto records = RecordsAfter(rig.Run.ErrLog, kProgTP);
  // 6 + 2 x 299 bytes written, 4 to go back to address 1, then reads of bytes 1..100 only.
  EXPECT_EQ(Sent(records, rig.DongleDigit()).size(), 6u + 2 * 299 + 4 + 100);
  // Nothing follows the wrong byte but the failure line.
  ASSERT_GE(records.size(), 2u);
  EXPECT_EQ(records[records.size() - 2].kind, 'r');
  EXPECT_EQ(records.back().text, kProgFailed);
  // The hardware version byte was never written: the handheld does not take this image for
  // a complete one.
  EXPECT_EQ(rig.Handheld().Memory()[0], 0);
}

TEST(ProgramTP, AfterCancelNothingIsSentOrLogged) {
  TStepsRig rig(Scenario());
  ASSERT_TRUE(rig.Connect());
  rig.StageTP(3, HandheldImage(100, 0x0050, 2));
  const ByteText trace = rig.Run.ErrLog;
  const size_t lines = rig.Bridge.Log.size();

  rig.Run.RequestTermination();
  rig.Run.Finishing = true;  // not even the closing restore programs the handheld
  ProgramTP(rig.Run, 3);

  EXPECT_EQ(rig.Run.ErrLog, trace);
  EXPECT_EQ(rig.Bridge.Log.size(), lines);
  EXPECT_EQ(rig.Bridge.Starts, 0);
  EXPECT_EQ(rig.Run.Outcome, kOutcomeOk);
}

// ---------------------------------------------------------------------------------------------
// ProgramServer

// Rows at 0x0100 (the first row), 0x0800 (one word of four) and 0x1FF0.
void StageRows(TStepsRig& rig, int k) {
  auto& image = rig.Run.SrvImage[k];
  image.fill(kSrvNoData);
  image[0x0100] = 0x2801;
  image[0x0101] = 0x0002;
  image[0x0102] = 0x3FFE;
  image[0x0103] = 0x0004;
  image[0x0800] = 0x2805;
  image[0x1FF1] = 0x1234;
}

TFrame Row(bool check, std::vector<int> bytes) {
  if (check) bytes.insert(bytes.begin(), 0x00);
  return {check, bytes};
}

TEST(ProgramServer, RowsFromTheTopDownWrittenThenCheckedFirstRowLast) {
  TStepsRig rig(Scenario());
  rig.OpenServerOnly();
  StageRows(rig, 1);

  ProgramServer(rig.Run, 1);

  ASSERT_EQ(rig.Run.Outcome, kOutcomeOk);
  EXPECT_TRUE(rig.Run.LinkOk);
  const std::vector<int> top = {0x1F, 0xF0, 0x3F, 0xFF, 0x12, 0x34, 0x3F, 0xFF, 0x3F, 0xFF};
  const std::vector<int> mid = {0x08, 0x00, 0x28, 0x05, 0x3F, 0xFF, 0x3F, 0xFF, 0x3F, 0xFF};
  const std::vector<int> first = {0x01, 0x00, 0x28, 0x01, 0x00, 0x02, 0x3F, 0xFE, 0x00, 0x04};
  const std::vector<TFrame> expected = {
      Row(false, {0x01, 0x00, 0x34, 0x05, 0x34, 0x05, 0x34, 0x05, 0x34, 0x05}),
      Row(false, top), Row(false, mid), Row(false, first),
      Row(true, top),  Row(true, mid),  Row(true, first)};
  EXPECT_EQ(Frames(Sent(ParseTrace(rig.Run.ErrLog), rig.ServerDigit())), expected);
  EXPECT_EQ(rig.Server().ProgramWord(0x0100), 0x2801);
  EXPECT_EQ(rig.Server().ProgramWord(0x1FF1), 0x1234);
  EXPECT_EQ(rig.Server().RowMismatches(), 0);

  // Three rows: a total of 6, and the bar ends full.
  EXPECT_EQ(rig.Bridge.Steps, (std::vector<int>{16, 33, 50, 66, 83, 100}));
  EXPECT_EQ(rig.Bridge.Ends, 1);
  EXPECT_EQ(rig.Bridge.Log, (std::vector<ByteText>{kProgSrv}));
}

TEST(ProgramServer, ClosingRestoreProgramsCompletelyAfterCancel) {
  TStepsRig rig(Scenario());
  rig.OpenServerOnly();
  StageRows(rig, 1);
  rig.Run.RequestTermination();
  rig.Run.Finishing = true;

  ProgramServer(rig.Run, 1);

  EXPECT_EQ(rig.Run.Outcome, kOutcomeOk);
  EXPECT_TRUE(rig.Run.LinkOk);
  EXPECT_EQ(rig.Server().RowsWritten(), 4);
  EXPECT_EQ(rig.Server().RowsChecked(), 3);
  EXPECT_EQ(rig.Bridge.Steps.back(), 100);
  EXPECT_TRUE(rig.Bridge.StepsFinishing.back());
}

TEST(ProgramServer, CancelWithoutFinishingSendsNothing) {
  TStepsRig rig(Scenario());
  rig.OpenServerOnly();
  StageRows(rig, 2);
  rig.Run.RequestTermination();

  ProgramServer(rig.Run, 2);

  EXPECT_TRUE(rig.Run.ErrLog.empty());
  EXPECT_TRUE(rig.Bridge.Log.empty());
  EXPECT_EQ(rig.Run.Outcome, kOutcomeOk);
}

TEST(ProgramServer, FirstRowAnsweredWrongSendsNoPass) {
  // The 12th byte is the first frame's check byte, answered by the reply code 0x07, here
  // turned into 0x06.
  TStepsRig rig(Scenario(
      {{"faults",
        {{{"kind", "corrupt_answer"}, {"port", "SIM2"}, {"at", 12}, {"xor", 0x01}}}}}));
  rig.OpenServerOnly();
  StageRows(rig, 2);

  ProgramServer(rig.Run, 2);

  EXPECT_EQ(rig.Run.Outcome, kOutcomeFailed);
  EXPECT_EQ(Sent(ParseTrace(rig.Run.ErrLog), rig.ServerDigit()).size(), 12u);
  EXPECT_EQ(rig.Bridge.Log, (std::vector<ByteText>{kProgSrv, kProgFailed}));
  EXPECT_TRUE(rig.Bridge.Steps.empty());
  EXPECT_EQ(rig.Bridge.Ends, 1);
}

// ---------------------------------------------------------------------------------------------
// RestoreTPFirmware

const ByteText kModemLine = "--- Restoring TallyPilot RF modem firmware to V2.3 ---";
const ByteText kEepromLine = "--- Restoring TallyPilot EEPROM firmware to V1.0 ---";

// A connected handheld with a 40-byte RF modem image (bytes 27-28 holding 1) and a 120-byte
// EEPROM image staged.
void PrepareRestore(TStepsRig& rig) {
  ASSERT_TRUE(rig.Connect());
  rig.StageTP(1, HandheldImage(40, 0x0001, 3));
  rig.StageTP(2, HandheldImage(120, 0x0400, 4));
  rig.Run.ModemVer = " to V2.3";
  rig.Run.EepromVer = " to V1.0";
}

TEST(RestoreTPFirmware, ModemUpdateThenEepromFirmware) {
  TStepsRig rig(Scenario());
  PrepareRestore(rig);
  const size_t before = rig.Bridge.Log.size();

  RestoreTPFirmware(rig.Run);

  ASSERT_EQ(rig.Run.Outcome, kOutcomeOk);
  EXPECT_TRUE(rig.Run.LinkOk);
  EXPECT_EQ(std::vector<ByteText>(rig.Bridge.Log.begin() + before, rig.Bridge.Log.end()),
            (std::vector<ByteText>{kModemLine, kProgTP, "Preparing to execute firmware update...",
                                   "Waiting for firmware update to finish...", kEepromLine,
                                   kProgTP}));
  // The update run gets the 16-bit value at bytes 27-28 less 2, modulo 65536; the image in the
  // handheld keeps the value it was written with.
  EXPECT_EQ(rig.Run.TPImage[1][27], 0xFF);
  EXPECT_EQ(rig.Run.TPImage[1][28], 0xFF);
  EXPECT_EQ(rig.Handheld().Register(48), 0xFF);
  EXPECT_EQ(rig.Handheld().Register(49), 0xFF);
  EXPECT_EQ(rig.Handheld().RunsExecuted(1), 1);
  EXPECT_EQ(rig.Handheld().Programmings(), 2);
  EXPECT_EQ(rig.Handheld().Register(57), 0);
  EXPECT_EQ(rig.Bench.Report()["handhelds"][0]["firmware"], "production");
  const auto eeprom = HandheldImage(120, 0x0400, 4);
  EXPECT_TRUE(std::equal(eeprom.begin(), eeprom.end(), rig.Handheld().Memory().begin()));
}

TEST(RestoreTPFirmware, EmptyModemVersionText) {
  TStepsRig rig(Scenario());
  PrepareRestore(rig);
  rig.Run.ModemVer.clear();
  RestoreTPFirmware(rig.Run);
  EXPECT_EQ(rig.Bridge.Count("--- Restoring TallyPilot RF modem firmware ---"), 1);
}

TEST(RestoreTPFirmware, EachFailingPointGivesItsOneMessage) {
  struct Case {
    const char* name;
    nlohmann::json faults;
    bool closeDongleAfterEeprom;  // the link goes at the final register write
    ByteText message;
    bool eepromStarted;
  };
  const Case cases[] = {
      {"modem image read-back", {{{"kind", "readback_mismatch"}, {"address", 10}}}, false,
       kProgFailed, false},
      // Port discovery restarts the handheld once; the update run is its second restart.
      {"handheld not back", {{{"kind", "no_comeback"}, {"after_restarts", 2}}}, false,
       "Communication error, firmware execution failed!", false},
      {"update status not 0", {{{"kind", "run_status"}, {"run", 1}, {"status", 1}}}, false,
       "Modem firmare update failed!", false},
      {"EEPROM image read-back", {{{"kind", "readback_mismatch"}, {"address", 100}}}, false,
       kProgFailed, true},
      {"final register write", nlohmann::json::array(), true,
       "Communication error, finalization failed!", true},
  };
  const ByteText failures[] = {kProgFailed, "Communication error, firmware execution failed!",
                               "Modem firmare update failed!",
                               "Communication error, finalization failed!"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TStepsRig rig(Scenario({{"faults", c.faults}}));
    PrepareRestore(rig);
    if (c.closeDongleAfterEeprom) {
      rig.Bridge.OnProgressEnd = [&rig] {
        if (rig.Bridge.Ends == 2) rig.DonglePort().Close();
      };
    }

    RestoreTPFirmware(rig.Run);

    EXPECT_EQ(rig.Run.Outcome, kOutcomeFailed);
    EXPECT_EQ(rig.Bridge.Log.back(), c.message);
    int failureLines = 0;
    for (const ByteText& f : failures) failureLines += rig.Bridge.Count(f);
    EXPECT_EQ(failureLines, 1);
    EXPECT_EQ(rig.Bridge.Count(kEepromLine), c.eepromStarted ? 1 : 0);
  }
}

TEST(RestoreTPFirmware, CancelledRunRestoresNothing) {
  TStepsRig rig(Scenario());
  PrepareRestore(rig);
  const ByteText trace = rig.Run.ErrLog;
  rig.Run.RequestTermination();
  RestoreTPFirmware(rig.Run);
  EXPECT_EQ(rig.Run.ErrLog, trace);
  EXPECT_EQ(rig.Run.Outcome, kOutcomeOk);
}

}  // namespace
