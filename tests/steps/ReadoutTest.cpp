// The compensation readout of both devices and the rendering of compensation values.
#include <gtest/gtest.h>

#include <algorithm>

#include "StepsRig.h"
#include "tuning/Readout.h"

namespace {

const ByteText kInstallTP = "Test firmware needs to be installed on TallyPilot";
const ByteText kInstallSrv = "Test firmware needs to be installed on server";

// ---------------------------------------------------------------------------------------------
// FormatComp

TEST(FormatComp, RendersStepsKilohertzAndPpm) {
  struct Case {
    uint8_t value;
    const char* text;
  } cases[] = {
      {1, "1 = 0.5 kHz = 0.5 ppm"},
      {5, "5 = 2.3 kHz = 2.6 ppm"},     // 2.25: a tie, rounded away from zero
      {7, "7 = 3.1 kHz = 3.6 ppm"},     // 7 x 0.45 is stored just below 3.15
      {13, "13 = 5.8 kHz = 6.7 ppm"},   // extended precision gives 5.8499..., not 5.8500...
      {12, "12 = 5.4 kHz = 6.2 ppm"},
      {127, "127 = 57.1 kHz = 65.8 ppm"},
      {0x80, "-128 = -57.6 kHz = -66.3 ppm"},
      {0xFB, "-5 = -2.3 kHz = -2.6 ppm"},  // the tie away from zero on the negative side
  };
  for (const Case& c : cases) EXPECT_EQ(FormatComp(0, c.value, false, "."), c.text);
}

TEST(FormatComp, NoneAndRelativeValues) {
  EXPECT_EQ(FormatComp(4, 0, false, "."), "-");
  // Relative to the device's previous value, 0 is a difference like any other.
  EXPECT_EQ(FormatComp(4, 0, true, "."), "-4 = -1.8 kHz = -2.1 ppm");
  EXPECT_EQ(FormatComp(0, 0, true, "."), "0 = 0.0 kHz = 0.0 ppm");
  EXPECT_EQ(FormatComp(4, 0xFD, true, "."), "-7 = -3.1 kHz = -3.6 ppm");
  // The widest difference: -128 against a previous +127.
  EXPECT_EQ(FormatComp(127, 0x80, true, "."), "-255 = -114.8 kHz = -132.2 ppm");
  EXPECT_EQ(FormatComp(-128, 127, true, "."), "255 = 114.8 kHz = 132.2 ppm");
}

TEST(FormatComp, UsesTheGivenDecimalSeparator) {
  EXPECT_EQ(FormatComp(0, 5, false, ","), "5 = 2,3 kHz = 2,6 ppm");
  // The run's form takes the separator of the current locale ("C" in the tests).
  TStepsRig rig(Scenario());
  rig.Run.DutComp = 2;
  EXPECT_EQ(FormatComp(rig.Run, 7, true), "5 = 2.3 kHz = 2.6 ppm");
}

// ---------------------------------------------------------------------------------------------
// ReadTPComp

TEST(ReadTPComp, InstallsMissingTestFirmwareAndReportsTheModem) {
  TStepsRig rig(Scenario({{"handhelds", {{{"hw_version", kHandheldHw},
                                          {"mac", 0x00A1BC0F},
                                          {"factory_compensation", 10},
                                          {"pctool_compensation", 0},
                                          {"modem_version", 0x23}}}}}));
  ASSERT_TRUE(rig.Connect());
  auto image = HandheldImage(200, 0x0080, 5);
  rig.StageTP(3, image);

  ReadTPComp(rig.Run);

  ASSERT_TRUE(rig.Run.LinkOk);
  EXPECT_EQ(rig.Bridge.LinesFrom(kInstallTP),
            (std::vector<ByteText>{kInstallTP, "Programming TallyPilot, please wait...",
                                   "Initializing TallyPilot RF module...",
                                   "RF modem V2.3, MAC=0x00A1BC0F",
                                   "TallyPilot offset compensation settings:",
                                   "- from factory = 10 = 4.5 kHz = 5.2 ppm",
                                   "- from PC tool = -", "- effective = 10 = 4.5 kHz = 5.2 ppm"}));
  EXPECT_EQ(rig.Run.ModemMAC, 0x00A1BC0Fu);
  EXPECT_EQ(rig.Run.DutComp, 10);
  // The value at bytes 27-28 is lowered by 2 before the image is written and the run started.
  image[27] = 0x7E;
  EXPECT_TRUE(std::equal(image.begin(), image.end(), rig.Handheld().Memory().begin()));
  EXPECT_EQ(rig.Handheld().Register(48), 0x7E);
  EXPECT_EQ(rig.Handheld().Register(49), 0x00);
  EXPECT_EQ(rig.Handheld().RunsExecuted(1), 1);
}

TEST(ReadTPComp, HandheldMatchingAtTheCheckedBytesIsNotReprogrammed) {
  TStepsRig rig(Scenario());
  ASSERT_TRUE(rig.Connect());
  const auto image = HandheldImage(200, 0x0080, 6);
  rig.StageTP(3, image);
  // Only byte 0 and the three bytes before W = 0x80 are the test image's; the rest differs.
  auto& memory = rig.Handheld().Memory();
  ASSERT_NE(memory[10], image[10]);
  for (size_t a : {0x00, 0x7D, 0x7E, 0x7F}) memory[a] = image[a];

  ReadTPComp(rig.Run);

  EXPECT_TRUE(rig.Run.LinkOk);
  EXPECT_EQ(rig.Bridge.Count(kInstallTP), 0);
  EXPECT_EQ(rig.Handheld().Programmings(), 0);
  EXPECT_EQ(rig.Handheld().RunsExecuted(1), 1);
  EXPECT_EQ(rig.Bridge.Count("RF modem V2.3, MAC=0x00A10001"), 1);
}

TEST(ReadTPComp, FailedStartRunIsALinkFailureWithoutReport) {
  TStepsRig rig(Scenario({{"faults", {{{"kind", "run_status"}, {"run", 1}, {"status", 3}}}}}));
  ASSERT_TRUE(rig.Connect());
  rig.StageTP(3, HandheldImage(100, 0x0040, 7));
  ReadTPComp(rig.Run);
  EXPECT_FALSE(rig.Run.LinkOk);
  EXPECT_EQ(rig.Run.Outcome, kOutcomeOk);  // the caller reports it
  EXPECT_EQ(rig.Bridge.Log.back(), "Initializing TallyPilot RF module...");
}

// ---------------------------------------------------------------------------------------------
// ReadSrvComp

TEST(ReadSrvComp, InstallsTestFirmwareOnlyWhenAnotherRuns) {
  struct Case {
    const char* firmware;
    int testVersion;
    bool install;
  } cases[] = {
      {"production", 1, true},
      {"test", kServerTestVersion, false},
      {"test", 2, true},  // another test firmware than the loaded one
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.firmware) + " " + std::to_string(c.testVersion));
    TStepsRig rig(Scenario({{"server",
                             {{"firmware", c.firmware},
                              {"test_firmware_version", c.testVersion},
                              {"factory_compensation", -4},
                              {"pctool_compensation", 1}}}}));
    rig.OpenServerOnly();
    rig.Run.SrvVer = " to V2.1.6a";

    ReadSrvComp(rig.Run);

    ASSERT_TRUE(rig.Run.LinkOk);
    EXPECT_EQ(rig.Bridge.Count(kInstallSrv), c.install ? 1 : 0);
    EXPECT_EQ(rig.Server().Programmings(), c.install ? 1 : 0);
    EXPECT_EQ(rig.Run.SrvVer.empty(), c.install);
    EXPECT_EQ(rig.Server().Running(), sim::TServer::kTest);
    // A PC-tool value of 1 means none on the server.
    EXPECT_EQ(rig.Bridge.LinesFrom("Server offset compensation settings:"),
              (std::vector<ByteText>{"Server offset compensation settings:",
                                     "- from factory = -4 = -1.8 kHz = -2.1 ppm",
                                     "- from PC tool = -",
                                     "- effective = -4 = -1.8 kHz = -2.1 ppm"}));
    EXPECT_EQ(rig.Run.RefComp, -4);
  }
}

TEST(ReadSrvComp, WithoutLinkNothingIsSent) {
  TStepsRig rig(Scenario());
  rig.OpenServerOnly();
  rig.Run.LinkOk = false;
  ReadSrvComp(rig.Run);
  EXPECT_TRUE(rig.Run.ErrLog.empty());
  EXPECT_TRUE(rig.Bridge.Log.empty());
}

// ---------------------------------------------------------------------------------------------
// Both readouts: which value is the device's being tuned, which the reference's.

TEST(Readouts, SettingsLinesAndRoles) {
  struct Case {
    bool goldTP;
    int tpFactory, tpPcTool, srvFactory, srvPcTool;
    std::vector<ByteText> tpLines, srvLines;  // factory, PC tool, effective
    int dutComp, refComp;
  } cases[] = {
      {false, 10, 0, -4, 1,
       {"10 = 4.5 kHz = 5.2 ppm", "-", "10 = 4.5 kHz = 5.2 ppm"},
       {"-4 = -1.8 kHz = -2.1 ppm", "-", "-4 = -1.8 kHz = -2.1 ppm"}, 10, -4},
      {true, -5, 7, 3, 9,
       {"-5 = -2.3 kHz = -2.6 ppm", "7 = 3.1 kHz = 3.6 ppm", "7 = 3.1 kHz = 3.6 ppm"},
       {"3 = 1.4 kHz = 1.6 ppm", "9 = 4.0 kHz = 4.7 ppm", "9 = 4.0 kHz = 4.7 ppm"}, 9, 7},
      {false, 0, 0, 0, 0, {"-", "-", "-"}, {"-", "-", "-"}, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "goldTP " << c.goldTP << " tp " << c.tpFactory);
    TStepsRig rig(Scenario({{"server",
                             {{"firmware", "test"},
                              {"factory_compensation", c.srvFactory},
                              {"pctool_compensation", c.srvPcTool}}},
                            {"handhelds",
                             {{{"hw_version", kHandheldHw},
                               {"mac", kHandheldMac},
                               {"factory_compensation", c.tpFactory},
                               {"pctool_compensation", c.tpPcTool}}}}}),
                  c.goldTP);
    ASSERT_TRUE(rig.Connect());
    rig.StageTP(3, HandheldImage(64, 0x0030, 8));
    rig.Run.DutComp = rig.Run.RefComp = 99;

    ReadTPComp(rig.Run);
    ReadSrvComp(rig.Run);

    ASSERT_TRUE(rig.Run.LinkOk);
    const auto tp = rig.Bridge.LinesFrom("TallyPilot offset compensation settings:");
    const auto srv = rig.Bridge.LinesFrom("Server offset compensation settings:");
    ASSERT_EQ(tp.size(), 8u);
    ASSERT_EQ(srv.size(), 4u);
    const char* heads[] = {"- from factory = ", "- from PC tool = ", "- effective = "};
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(tp[1 + i], heads[i] + c.tpLines[i]);
      EXPECT_EQ(srv[1 + i], heads[i] + c.srvLines[i]);
    }
    EXPECT_EQ(rig.Run.DutComp, c.dutComp);
    EXPECT_EQ(rig.Run.RefComp, c.refComp);
  }
}

// The golden reference's settings decide every result, so they are read twice: an answer
// garbled in a way its check does not catch (the server's check byte flipped along with the
// value so that they still fit; a handheld register, which has no check) fails the readout.
TEST(Readouts, AGarbledReferenceSettingIsCaughtByTheSecondRead) {
  struct Case {
    const char* name;
    bool goldTP;
    std::vector<int> request;  // the bytes of the reading request, as sent
    size_t answered;           // which byte after the request's start gets the garbled answer
    int count, xorWith;
  } cases[] = {
      // SrvGetParam 3: header, command, setting, check byte, then the poll of the value and the
      // reply's check byte. The value 0 and its check byte 0x82 both xor 0x51 still fit.
      {"server setting 3", false, {0x42, 0x02, 0x03}, 4, 2, 0x51},
      // ReadReg 21 (factory compensation): address, register, read.
      {"handheld register 21", true, {0x04, 0x15, 0x02}, 2, 1, 0x01},
  };
  const nlohmann::json patch = {{"server", {{"firmware", "test"}, {"pctool_compensation", 0}}},
                                {"handhelds",
                                 {{{"hw_version", kHandheldHw},
                                   {"mac", kHandheldMac},
                                   {"factory_compensation", 10}}}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // A clean readout shows where the request goes out.
    std::string port;
    uint64_t at = 0;
    {
      TStepsRig rig(Scenario(patch), c.goldTP);
      ASSERT_TRUE(rig.Connect());
      rig.StageTP(3, HandheldImage(64, 0x0030, 8));
      const bool server = !c.goldTP;
      port = server ? rig.ServerPort().DeviceName() : rig.DonglePort().DeviceName();
      const char digit = server ? rig.ServerDigit() : (rig.ServerDigit() == '1' ? '2' : '1');
      const uint64_t before = rig.Bench.PortStats(port).bytesFromTool;
      const size_t traced = rig.Run.ErrLog.size();
      ReadTPComp(rig.Run);
      ReadSrvComp(rig.Run);
      ASSERT_TRUE(rig.Run.LinkOk);
      const std::vector<int> sent = Sent(ParseTrace(rig.Run.ErrLog.substr(traced)), digit);
      const auto start = std::search(sent.begin(), sent.end(), c.request.begin(), c.request.end());
      ASSERT_NE(start, sent.end());
      at = before + static_cast<uint64_t>(start - sent.begin()) + c.answered + 1;
    }
    nlohmann::json faulty = Scenario(patch);
    faulty["faults"] = {{{"kind", "corrupt_answer"}, {"port", port}, {"at", at},
                         {"count", c.count}, {"xor", c.xorWith}}};
    TStepsRig rig(faulty, c.goldTP);
    ASSERT_TRUE(rig.Connect());
    rig.StageTP(3, HandheldImage(64, 0x0030, 8));
    ReadTPComp(rig.Run);
    ReadSrvComp(rig.Run);
    EXPECT_FALSE(rig.Run.LinkOk);
  }
}

}  // namespace
