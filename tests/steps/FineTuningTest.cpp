// The crystal fine-tuning of a handheld or a server against the golden reference, with storing
// the result, on the emulated bench.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "StepsRig.h"
#include "tuning/FineTuning.h"

namespace {

const ByteText kHeader = "--- Running crystal fine-tuning algorithm ---";
const ByteText kCycle = "Running test cycle...";
const ByteText kStoring = "Storing obtained compensation value";
const ByteText kFailureLines[] = {"Test cycle failed!", "Radio failure!",
                                  "Measurements inconsistent!",
                                  "Frequency offset too large to compensate!",
                                  "Communication error!"};

int FailureLines(const TRecordingBridge& bridge) {
  int n = 0;
  for (const ByteText& line : kFailureLines) n += bridge.Count(line);
  return n;
}

int LinesStartingWith(const TRecordingBridge& bridge, const ByteText& head) {
  int n = 0;
  for (const ByteText& line : bridge.Log) n += line.rfind(head, 0) == 0;
  return n;
}

// A rig ready for RunFineTuning: both devices attached, the test images staged.
std::unique_ptr<TStepsRig> TuningRig(const nlohmann::json& scenario, bool goldTP) {
  auto rig = std::make_unique<TStepsRig>(scenario, goldTP);
  EXPECT_TRUE(rig->Connect());
  rig->StageTP(3, HandheldImage(96, 0x0040, 9));
  return rig;
}

// Feeds the server packets at each test cycle: cycle i (from 0) gets the AFC readings afc[i],
// one packet each, from this handheld.
void FeedCycles(TStepsRig& rig, std::vector<std::vector<int>> afc,
                std::vector<std::vector<uint8_t>> rssi = {}) {
  auto cycle = std::make_shared<size_t>(0);
  rig.Bridge.OnLog = [&rig, cycle, afc, rssi](const ByteText& line) {
    if (line != kCycle) return;
    const size_t i = (*cycle)++;
    if (i >= afc.size()) return;
    for (size_t k = 0; k < afc[i].size(); ++k) {
      const uint8_t strength = i < rssi.size() ? rssi[i][k] : 150;
      rig.Server().Receive(Packet(afc[i][k], strength));
    }
  };
}

std::vector<int> TrialsSent(const TStepsRig& rig) {
  return Trials(Frames(Sent(RecordsAfter(rig.Run.ErrLog, kHeader), rig.ServerDigit())));
}

std::vector<int> Repeat(int value, int n) { return std::vector<int>(n, value); }

std::vector<int> Join(std::vector<int> a, const std::vector<int>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// ---------------------------------------------------------------------------------------------
// The tuned device ends within one step of the golden reference.

TEST(FineTuning, TunedDeviceMatchesTheGoldenReference) {
  struct Case {
    const char* name;
    bool goldTP;
    double tpError, srvError;
    int tpFactory, srvFactory;
    int cycles;  // search cycles until packets get through, plus the two measurements
    nlohmann::json faults;
  } cases[] = {
      {"handheld, found at trial 0", false, 12.4, 3.0, 10, -4, 2, nullptr},
      {"handheld, found at +50", false, 50.0, -2.0, 0, 5, 3, nullptr},
      {"handheld, found at -50", false, -48.5, 0.0, 3, 0, 4, nullptr},
      {"handheld, found at +100", false, 95.0, 0.0, 0, 0, 5, nullptr},
      {"handheld, found at the second -100", false, -96.0, 1.5, 0, 0, 6, nullptr},
      {"handheld, edge above +100", false, 125.0, 0.0, 0, 0, 5, nullptr},
      {"handheld, edge below -100", false, -120.0, 3.0, 0, -4, 6, nullptr},
      {"handheld, other packets skipped", false, 20.3, -3.0, 0, 2, 2,
       {{{"kind", "foreign_packets"}, {"count", 3}}, {{"kind", "malformed_packets"}, {"count", 3}}}},
      {"server, found at trial 0", true, 12.4, 3.0, 10, -4, 2, nullptr},
      {"server, found at -50", true, -60.0, 0.0, 0, 6, 4, nullptr},
      {"server, found at +100", true, 0.0, -110.0, 5, 0, 5, nullptr},
      {"server, found at the second -100", true, -3.0, 97.0, -2, 0, 6, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    nlohmann::json patch = {
        {"server", {{"crystal_error", c.srvError}, {"factory_compensation", c.srvFactory}}},
        {"handhelds",
         {{{"hw_version", kHandheldHw},
           {"mac", kHandheldMac},
           {"crystal_error", c.tpError},
           {"factory_compensation", c.tpFactory}}}}};
    if (!c.faults.is_null()) patch["faults"] = c.faults;
    auto rig = TuningRig(Scenario(patch), c.goldTP);

    RunFineTuning(rig->Run);

    ASSERT_EQ(rig->Run.Outcome, kOutcomeOk) << rig->Bridge.Log.back();
    EXPECT_EQ(rig->Bridge.Count(kCycle), c.cycles);
    EXPECT_EQ(rig->Bridge.Count(kStoring), 1);
    const auto report = rig->Bench.Report();
    const auto& tp = report["handhelds"][0];
    const auto& srv = report["server"];
    const double tuned = (c.goldTP ? srv : tp)["frequency_error"].get<double>();
    const double golden = (c.goldTP ? tp : srv)["frequency_error"].get<double>();
    EXPECT_LE(std::fabs(tuned - golden), 1.0) << "tuned " << tuned << ", golden " << golden;
    // The value stored is the one reported, and the reference was left alone.
    EXPECT_EQ((c.goldTP ? srv : tp)["pctool_compensation"].get<int>(),
              static_cast<int8_t>(rig->Run.NewComp));
    EXPECT_EQ((c.goldTP ? tp : srv)["pctool_compensation"].get<int>(), 0);
  }
}

// ---------------------------------------------------------------------------------------------
// The two measurements, traced value by value.

TEST(FineTuning, WorkedExampleWithTheServerAsReference) {
  // Server effective 5 (the reference), handheld effective 4 (the device being tuned).
  auto rig = TuningRig(Scenario({{"server", {{"factory_compensation", 5}}},
                                 {"handhelds",
                                  {{{"hw_version", kHandheldHw},
                                    {"mac", kHandheldMac},
                                    {"factory_compensation", 4}}}},
                                 {"air", {{"packets_per_cycle", 0}}}}),
                       false);
  std::vector<uint8_t> strengths;
  for (int s = 170; s < 182; ++s) strengths.push_back(static_cast<uint8_t>(s));  // 175.5
  FeedCycles(*rig, {Repeat(3, 10), Repeat(0, 12)}, {std::vector<uint8_t>(10, 200), strengths});

  RunFineTuning(rig->Run);

  ASSERT_EQ(rig->Run.Outcome, kOutcomeOk);
  EXPECT_EQ(rig->Run.NewComp, 0xFD);
  EXPECT_EQ(TrialsSent(*rig), (std::vector<int>{0, 8}));
  EXPECT_EQ(rig->Bridge.LinesFrom("10 packets received"),
            (std::vector<ByteText>{"10 packets received", kCycle, "12 packets received",
                                   "avRSSI = 175, offset = -3 = -1.4 kHz = -1.6 ppm, varAFC=0",
                                   "Compared to previous offset = -7 = -3.1 kHz = -3.6 ppm",
                                   kStoring}));
  EXPECT_EQ(rig->Handheld().Stored(), (std::vector<int8_t>{-3}));
}

TEST(FineTuning, CycleOutcomes) {
  constexpr int kNothing = 1000;
  struct Case {
    const char* name;
    bool goldTP;
    int refFactory;  // the golden reference's compensation
    std::vector<std::vector<int>> afc;
    std::vector<int> trials;
    ByteText lastLine;
    uint8_t outcome;
    int stored;  // what the tuned device holds afterwards
  } cases[] = {
      {"no packets", false, 0, {}, {0, 50, -50, 100, -100, -100}, "Radio failure!",
       kOutcomeFailed, kNothing},
      {"spread 4 accepted", false, 0,
       {{0, 4, 0, 4, 0, 4, 0, 4, 0, 4}, {2, -2, 2, -2, 2, -2, 2, -2}}, {0, 5}, kStoring,
       kOutcomeOk, -5},
      {"spread 5", false, 0, {{0, 5, 0, 5, 0, 5, 0, 5}}, {0}, "Measurements inconsistent!",
       kOutcomeFailed, kNothing},
      {"good then poor", false, 0, {Repeat(1, 8), Repeat(0, 7)}, {0, 2},
       "Measurements inconsistent!", kOutcomeFailed, kNothing},
      // 48 units are 128 steps: stored as the byte 0x80 it would read back as -128.
      {"+128 out of range", false, 0, {Repeat(48, 8)}, {0},
       "Frequency offset too large to compensate!", kOutcomeFailed, kNothing},
      {"-128 out of range", false, 0, {Repeat(-48, 8)}, {0},
       "Frequency offset too large to compensate!", kOutcomeFailed, kNothing},
      {"+127 in range", false, 0, {Join(Repeat(47, 3), Repeat(48, 5)), Repeat(0, 8)}, {0, 127},
       kStoring, kOutcomeOk, -127},
      {"final value below -127", false, -5, {Repeat(47, 8), Repeat(0, 8)}, {0, 125},
       "Frequency offset too large to compensate!", kOutcomeFailed, kNothing},
      // -7 x 8 / 30: -1 (truncated toward zero), not -2.
      {"correction truncates toward zero", false, 0, {Join(Repeat(-1, 7), Repeat(0, 3)),
       Repeat(0, 8)}, {0, -1}, kStoring, kOutcomeOk, 1},
      {"final 0 stored as -1", false, 0, {Repeat(0, 8), Repeat(0, 8)}, {0, 0}, kStoring,
       kOutcomeOk, -1},
      // More packets than an 8-bit count holds are still counted as many.
      {"260 packets in a cycle", false, 0, {Repeat(0, 260), Repeat(0, 8)}, {0, 0}, kStoring,
       kOutcomeOk, -1},
      {"server tuned: final 1 stored as 2", true, 1, {Repeat(0, 8), Repeat(0, 8)}, {0, 0},
       kStoring, kOutcomeOk, 2},
      {"server tuned: not negated", true, 0, {Repeat(3, 10), Repeat(0, 12)}, {0, 8}, kStoring,
       kOutcomeOk, 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int tpFactory = c.goldTP ? c.refFactory : 0;
    const int srvFactory = c.goldTP ? 0 : c.refFactory;
    auto rig = TuningRig(Scenario({{"server", {{"factory_compensation", srvFactory}}},
                                   {"handhelds",
                                    {{{"hw_version", kHandheldHw},
                                      {"mac", kHandheldMac},
                                      {"factory_compensation", tpFactory}}}},
                                   {"air", {{"packets_per_cycle", 0}}}}),
                         c.goldTP);
    FeedCycles(*rig, c.afc);

    RunFineTuning(rig->Run);

    EXPECT_EQ(rig->Run.Outcome, c.outcome);
    EXPECT_EQ(TrialsSent(*rig), c.trials);
    EXPECT_EQ(rig->Bridge.Log.back(), c.lastLine);
    EXPECT_EQ(FailureLines(rig->Bridge), c.outcome == kOutcomeOk ? 0 : 1);
    // The report lines come only with a result.
    EXPECT_EQ(LinesStartingWith(rig->Bridge, "avRSSI = "), c.outcome == kOutcomeOk ? 1 : 0);
    if (c.goldTP) {
      EXPECT_EQ(rig->Server().Setting(3), c.stored == kNothing ? 0 : c.stored & 0xFF);
    } else {
      EXPECT_EQ(rig->Handheld().Stored(),
                c.stored == kNothing ? std::vector<int8_t>{}
                                     : std::vector<int8_t>{static_cast<int8_t>(c.stored)});
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Failures of the devices and the link, and cancelling.

TEST(FineTuning, DeviceAndLinkFailures) {
  struct Case {
    const char* name;
    bool goldTP;
    nlohmann::json faults;
    int packetsPerCycle;
    // Acts on the n-th time (from 1) that the line is logged.
    ByteText line;
    int nth;
    std::function<void(TStepsRig&)> act;
    ByteText lastLine;
    uint8_t outcome;
    bool reported;  // the measurement was complete and reported before the failure
  };
  auto closeDongle = [](TStepsRig& r) { r.DonglePort().Close(); };
  auto closeServer = [](TStepsRig& r) { r.ServerPort().Close(); };
  auto cancel = [](TStepsRig& r) { r.Run.RequestTermination(); };
  const Case cases[] = {
      {"test cycle run fails", false, {{{"kind", "run_status"}, {"run", 2}, {"at", 1}}}, 12, "",
       0, nullptr, "Test cycle failed!", kOutcomeFailed, false},
      {"link lost in the readout", false, nullptr, 12, "Initializing TallyPilot RF module...", 1,
       closeDongle, "Communication error!", kOutcomeFailed, false},
      // Not to be taken for a poor second measurement.
      {"link lost in the second cycle", false, nullptr, 12, kCycle, 2, closeServer,
       "Communication error!", kOutcomeFailed, false},
      {"store run fails", false, {{{"kind", "run_status"}, {"run", 3}}}, 12, "", 0, nullptr,
       "Communication error!", kOutcomeFailed, true},
      {"link lost storing in the handheld", false, nullptr, 12, kStoring, 1, closeDongle,
       "Communication error!", kOutcomeFailed, true},
      {"link lost storing in the server", true, nullptr, 12, kStoring, 1, closeServer,
       "Communication error!", kOutcomeFailed, true},
      // Not to be taken for a radio failure: the operator stopped it.
      {"cancel in the last search cycle", false, nullptr, 0, kCycle, 6, cancel, kCycle,
       kOutcomeOk, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    nlohmann::json patch = {{"handhelds",
                             {{{"hw_version", kHandheldHw},
                               {"mac", kHandheldMac},
                               {"crystal_error", 6.5}}}},
                            {"air", {{"packets_per_cycle", c.packetsPerCycle}}}};
    if (!c.faults.is_null()) patch["faults"] = c.faults;
    auto rig = TuningRig(Scenario(patch), c.goldTP);
    if (c.act) {
      auto seen = std::make_shared<int>(0);
      rig->Bridge.OnLog = [&c, seen, r = rig.get()](const ByteText& line) {
        if (line == c.line && ++*seen == c.nth) c.act(*r);
      };
    }

    RunFineTuning(rig->Run);

    EXPECT_EQ(rig->Run.Outcome, c.outcome);
    EXPECT_EQ(rig->Bridge.Log.back(), c.lastLine);
    EXPECT_EQ(FailureLines(rig->Bridge), c.outcome == kOutcomeOk ? 0 : 1);
    EXPECT_EQ(LinesStartingWith(rig->Bridge, "avRSSI = "), c.reported ? 1 : 0);
  }
}

// A server that answers the packet request with anything but a packet or the end mark (0x15
// here, as a restarted server or a garbled request gets) must not keep the cycle asking for ever.
TEST(FineTuning, AReplyThatIsNeitherPacketNorEndMarkEndsTheCycle) {
  const nlohmann::json patch = {
      {"handhelds", {{{"hw_version", kHandheldHw}, {"mac", kHandheldMac}, {"crystal_error", 6.5}}}}};
  // A first run finds how many bytes went to the server before the first packet request.
  uint64_t before = 0;
  std::string port;
  {
    auto rig = TuningRig(Scenario(patch), false);
    port = rig->ServerPort().DeviceName();
    rig->Bridge.OnLog = [&before, &port, r = rig.get()](const ByteText& line) {
      if (line == kCycle && before == 0) before = r->Bench.PortStats(port).bytesFromTool;
    };
    RunFineTuning(rig->Run);
    ASSERT_EQ(rig->Run.Outcome, kOutcomeOk);
    ASSERT_GT(before, 0u);
  }
  // The same run with the check byte of that request (header, command, check) garbled on its
  // way: the server answers 0x15.
  nlohmann::json faulty = Scenario(patch);
  faulty["faults"] = {{{"kind", "corrupt_sent"}, {"port", port}, {"at", before + 3}, {"xor", 0x01}}};
  auto rig = TuningRig(faulty, false);
  RunFineTuning(rig->Run);
  EXPECT_EQ(rig->Run.Outcome, kOutcomeFailed);
  EXPECT_EQ(rig->Bridge.Log.back(), "Communication error!");
  EXPECT_EQ(LinesStartingWith(rig->Bridge, "avRSSI = "), 0);
}

TEST(FineTuning, AnalysisOnlyStoresNothing) {
  for (bool goldTP : {false, true}) {
    SCOPED_TRACE(goldTP ? "server tuned" : "handheld tuned");
    auto rig = TuningRig(Scenario({{"server", {{"crystal_error", -4.0}}},
                                   {"handhelds",
                                    {{{"hw_version", kHandheldHw},
                                      {"mac", kHandheldMac},
                                      {"crystal_error", 17.0}}}}}),
                         goldTP);
    rig->Fields.AnalysisOnly = true;

    RunFineTuning(rig->Run);

    EXPECT_EQ(rig->Run.Outcome, kOutcomeOk);
    EXPECT_EQ(LinesStartingWith(rig->Bridge, "avRSSI = "), 1);
    EXPECT_EQ(LinesStartingWith(rig->Bridge, "Compared to previous offset = "), 1);
    EXPECT_EQ(rig->Bridge.Count(kStoring), 0);
    EXPECT_TRUE(rig->Handheld().Stored().empty());
    EXPECT_EQ(rig->Handheld().RunsExecuted(3), 0);
    EXPECT_EQ(rig->Server().Setting(3), 0);
  }
}

}  // namespace
