// What the devices do beyond single answers: programming the handheld's memory and the server's
// program memory, the handheld's runs, the test cycle over the air, the operator plugging
// handhelds in one after another, and the report of the final state.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <map>

#include "SimTestUtil.h"
#include "sim/Bench.h"
#include "sim/Digest.h"

using simtest::AttachHandheld;
using simtest::AttachServer;
using simtest::Reply;
using simtest::Transact;
using simtest::TToolPort;
using simtest::WaitDsr;
using V = std::vector<int>;

namespace {

void WriteRegister(TToolPort& dongle, uint8_t r, uint8_t v) {
  ASSERT_EQ(dongle.Xfer({0x04, r, 0x06, v}), (V{0x04, r, 0x06, v}));
}

int ReadRegister(TToolPort& dongle, uint8_t r) {
  EXPECT_EQ(dongle.Xfer({0x04, r}), (V{0x04, r}));
  return dongle.Xfer(0x02);
}

// Prepares a run, restarts the handheld, waits for it and returns the run's status.
int RunHandheld(TBench& bench, TToolPort& dongle, uint8_t cmd) {
  WriteRegister(dongle, 23, cmd);
  AttachHandheld(bench, dongle);
  return ReadRegister(dongle, 23);
}

// Writes an image the way the tool programs a handheld; false when an echo or read-back differs.
bool ProgramImage(TToolPort& dongle, const std::vector<uint8_t>& image) {
  bool ok =
      dongle.Xfer({0x04, 0x00, 0x05, 0x00, 0x07, 0x00}) == V{0x04, 0x00, 0x05, 0x00, 0x07, 0x00};
  for (size_t i = 1; ok && i < image.size(); ++i) {
    ok = dongle.Xfer({0x07, image[i]}) == V{0x07, image[i]};
  }
  ok = ok && dongle.Xfer({0x04, 0x01, 0x05, 0x00}) == V{0x04, 0x01, 0x05, 0x00};
  for (size_t i = 1; ok && i < image.size(); ++i) ok = dongle.Xfer(0x03) == image[i];
  return ok && dongle.Xfer({0x04, 0x00, 0x05, 0x00, 0x07, image[0], 0x04, 0x00, 0x03}) ==
                   V{0x04, 0x00, 0x05, 0x00, 0x07, image[0], 0x04, 0x00, image[0]};
}

std::vector<uint8_t> SomeImage(uint8_t hwVersion, size_t length) {
  std::vector<uint8_t> image(length);
  for (size_t i = 0; i < length; ++i) image[i] = static_cast<uint8_t>(i * 37 + 11);
  image[0] = hwVersion;
  return image;
}

// ---------------------------------------------------------------------------------------------
// Handheld memory and runs

TEST(HandheldMemory, ProgrammingAndItsFirmwareKind) {
  TBench bench(R"({"handhelds": [{"hw_version": 34}]})");
  TToolPort dongle(bench, "SIM1");
  AttachHandheld(bench, dongle);
  sim::THandheld& h = bench.Handheld(0);
  EXPECT_EQ(h.Firmware(), "production");
  std::vector<uint8_t> image = SomeImage(34, 300);
  // Part-way: byte 0 holds 0 until the very end.
  ASSERT_EQ(dongle.Xfer({0x04, 0x00, 0x05, 0x00, 0x07, 0x00, 0x07, 0x55}),
            (V{0x04, 0x00, 0x05, 0x00, 0x07, 0x00, 0x07, 0x55}));
  EXPECT_EQ(h.Firmware(), "none");
  ASSERT_TRUE(ProgramImage(dongle, image));
  EXPECT_TRUE(std::equal(image.begin(), image.end(), h.Memory().begin()));
  EXPECT_EQ(h.Firmware(), "unknown");
  EXPECT_EQ(h.Programmings(), 1);
  EXPECT_EQ(RunHandheld(bench, dongle, 2), 0);  // a test cycle shows it holds test firmware
  EXPECT_EQ(h.Firmware(), "test");
  // Clearing register 57 ends a restore: production firmware again.
  EXPECT_EQ(dongle.Xfer({0x04, 0x39, 0x06, 0x00}), (V{0x04, 0x39, 0x06, -1}));
  EXPECT_EQ(h.Firmware(), "production");
}

TEST(HandheldMemory, ReadBackMismatchFault) {
  TBench bench(R"({"faults": [{"kind": "readback_mismatch", "handheld": 0, "address": 100}]})");
  TToolPort dongle(bench, "SIM1");
  AttachHandheld(bench, dongle);
  std::vector<uint8_t> image = SomeImage(0x22, 200);
  EXPECT_FALSE(ProgramImage(dongle, image));
  EXPECT_EQ(bench.Handheld(0).Memory()[100], image[100]);  // stored right, read back wrong
  EXPECT_EQ(dongle.Xfer({0x04, 100, 0x05, 0x00, 0x03, 0x03}),
            (V{0x04, 100, 0x05, 0x00, image[100] ^ 0xFF, image[101]}));
}

// The restore's last write, register 57 := 0, expects no answer, so the tool cannot tell when
// the value never reaches the handheld: the report can.
TEST(HandheldMemory, LostEndOfARestoreLeavesTheHandheldOffProductionFirmware) {
  // Programs the production image, runs the start run and clears register 57, as a restore
  // does; returns the number of the last byte written (the value 0) and the handheld's report.
  auto restore = [](const nlohmann::json& scenario, uint64_t& lastByte) {
    TBench bench(scenario);
    TToolPort dongle(bench, "SIM1");
    AttachHandheld(bench, dongle);
    EXPECT_TRUE(ProgramImage(dongle, SomeImage(34, 64)));
    WriteRegister(dongle, 57, 0x76);
    EXPECT_EQ(RunHandheld(bench, dongle, 1), 0);
    EXPECT_EQ(dongle.Xfer({0x04, 0x39, 0x06, 0x00}), (V{0x04, 0x39, 0x06, -1}));
    lastByte = bench.PortStats("SIM1").bytesFromTool;
    return bench.Report()["handhelds"][0];
  };
  uint64_t last = 0;
  EXPECT_EQ(restore(nlohmann::json::object(), last)["firmware"], "production");
  uint64_t again = 0;
  nlohmann::json lost = restore(
      nlohmann::json{{"faults", {{{"kind", "lose_sent"}, {"port", "SIM1"}, {"at", last}}}}},
      again);
  EXPECT_EQ(again, last);
  EXPECT_EQ(lost["firmware"], "unknown");  // the image, but not the end of the restore
  EXPECT_EQ(lost["programmings"], 1);
}

TEST(HandheldRuns, StartRunFillsTheRadioRegisters) {
  TBench bench(R"({"handhelds": [{"mac": "0x12345678", "modem_version": 35,
                                  "factory_compensation": -6, "pctool_compensation": 9,
                                  "restart_ms": 200, "start_run_ms": 1500}]})");
  TToolPort dongle(bench, "SIM1");
  AttachHandheld(bench, dongle);
  WriteRegister(dongle, 23, 1);
  dongle.ResetPulse();
  // DSR stays off for the restart and the start run: 1.7 s after the pulse (0.1 s ago).
  bench.VirtualClock().Sleep(std::chrono::milliseconds(1590));
  EXPECT_FALSE(dongle.Dsr());
  bench.VirtualClock().Sleep(std::chrono::milliseconds(10));
  EXPECT_TRUE(dongle.Dsr());
  dongle.Handshake();
  dongle.Xfer(0x00);
  V regs;
  for (uint8_t r : {23, 16, 17, 18, 19, 20, 21, 22}) regs.push_back(ReadRegister(dongle, r));
  EXPECT_EQ(regs, (V{0, 0x23, 0x78, 0x56, 0x34, 0x12, 0xFA, 0x09}));
}

TEST(HandheldRuns, StoreRunAndFailingRuns) {
  TBench bench(R"({"handhelds": [{"factory_compensation": 7}],
                   "faults": [{"kind": "run_status", "handheld": 0, "run": 3, "status": 4,
                               "at": 1}]})");
  TToolPort dongle(bench, "SIM1");
  AttachHandheld(bench, dongle);
  sim::THandheld& h = bench.Handheld(0);
  WriteRegister(dongle, 16, 0xFD);
  EXPECT_EQ(RunHandheld(bench, dongle, 3), 4);  // the first store run fails: nothing stored
  EXPECT_EQ(h.PcToolCompensation(), 0);
  EXPECT_EQ(h.EffectiveCompensation(), 7);
  EXPECT_EQ(RunHandheld(bench, dongle, 3), 0);
  EXPECT_EQ(h.PcToolCompensation(), -3);
  EXPECT_EQ(h.Stored(), (std::vector<int8_t>{-3}));
  EXPECT_EQ(h.RunsExecuted(3), 2);
  // A restart without a prepared run runs nothing.
  AttachHandheld(bench, dongle);
  EXPECT_EQ(h.RunsExecuted(3), 2);
  EXPECT_EQ(h.Restarts(), 4);
}

// Bit 0 of register 57 is the width bit: a run started while it differs from the handheld's own
// (bit 0 of its power-up flags) fails without effect, and the report counts it.
TEST(HandheldRuns, WidthBitOtherThanTheHandheldsOwnFailsTheRun) {
  struct Case {
    int flags;
    int cfg;  // written to register 57 before the run; -1: left at its power-up value
    bool fails;
  };
  for (const Case& c : {Case{0, -1, false}, Case{0, 0x76, false}, Case{0, 0x77, true},
                        Case{1, -1, false}, Case{1, 0x77, false}, Case{1, 0x76, true},
                        Case{1, 0x10, true}}) {
    SCOPED_TRACE("flags " + std::to_string(c.flags) + ", register 57 " + std::to_string(c.cfg));
    TBench bench(nlohmann::json{{"handhelds", {{{"flags", c.flags}}}}});
    TToolPort dongle(bench, "SIM1");
    AttachHandheld(bench, dongle);
    WriteRegister(dongle, 16, 0x05);
    if (c.cfg >= 0) WriteRegister(dongle, 57, static_cast<uint8_t>(c.cfg));
    EXPECT_EQ(RunHandheld(bench, dongle, 3), c.fails ? sim::THandheld::kWidthMismatchStatus : 0);
    nlohmann::json report = bench.Report()["handhelds"][0];
    EXPECT_EQ(report["width_errors"], c.fails ? 1 : 0);
    EXPECT_EQ(report["stored"], c.fails ? nlohmann::json::array() : nlohmann::json::array({5}));
    EXPECT_EQ(report["firmware"], c.fails ? "production" : "test");
  }
}

// ---------------------------------------------------------------------------------------------
// Test cycles over the air

struct TCycleBench {
  explicit TCycleBench(const nlohmann::json& scenario)
      : bench(scenario), dongle(bench, "SIM1"), server(bench, "SIM2") {
    AttachHandheld(bench, dongle);
    AttachServer(server);
  }
  // One test cycle at the trial value; the packets the server then hands out.
  std::vector<V> Cycle(int8_t trial) {
    EXPECT_EQ(Reply(Transact(server, true, {0x03, static_cast<uint8_t>(trial)}), 2), V{0x07});
    EXPECT_EQ(RunHandheld(bench, dongle, 2), 0);
    std::vector<V> packets;
    for (int i = 0; i < 300; ++i) {
      V reply = Reply(Transact(server, true, {0x04}), 1);
      if (reply == V{0x07}) return packets;
      EXPECT_EQ(reply.size(), 17u);
      packets.push_back(reply);
    }
    ADD_FAILURE() << "the packets did not end";
    return packets;
  }
  TBench bench;
  TToolPort dongle;
  TToolPort server;
};

int Afc(const V& packet) {
  return packet[2] > 128 ? packet[2] - 256 : packet[2];
}

TEST(Air, PacketsCarryTheModelledOffset) {
  // offset = E_h - E_s - t = 22 - t; AFC = round(offset * 3 / 8), halves away from zero; lost
  // beyond the capture range of 40 steps.
  TCycleBench b(nlohmann::json::parse(R"({
      "server": {"firmware": "test", "crystal_error": 3.5},
      "handhelds": [{"mac": "0x00A1B2C3", "crystal_error": 25.5}],
      "air": {"afc_noise": 0, "rssi_noise": 0, "rssi": 170, "packets_per_cycle": 12}})"));
  struct Case {
    int8_t trial;
    int packets;
    int afc;
  };
  for (const Case& c : {Case{0, 12, 8}, Case{22, 12, 0}, Case{-18, 12, 15}, Case{-19, 0, 0},
                        Case{62, 12, -15}, Case{63, 0, 0}, Case{50, 12, -11}, Case{30, 12, -3}}) {
    SCOPED_TRACE(static_cast<int>(c.trial));
    std::vector<V> packets = b.Cycle(c.trial);
    ASSERT_EQ(static_cast<int>(packets.size()), c.packets);
    for (const V& p : packets) {
      EXPECT_EQ(p[0], 0x50);
      EXPECT_EQ(p[1], 170);
      EXPECT_EQ(Afc(p), c.afc);
      EXPECT_EQ((V{p[3], p[4], p[5], p[6], p[7], p[8], p[9]}),
                (V{0, 8, 0x00, 0xA1, 0xB2, 0xC3, 0}));
    }
  }
}

TEST(Air, NoiseIsSeededAndAveragesOut) {
  auto afcs = [](uint64_t seed) {
    TCycleBench b(
        nlohmann::json{{"server", {{"firmware", "test"}, {"crystal_error", 0}}},
                       {"handhelds", {{{"crystal_error", 8.0}}}},
                       {"air", {{"afc_noise", 1.0}, {"seed", seed}, {"packets_per_cycle", 200}}}});
    std::vector<int> values;
    for (const V& p : b.Cycle(0)) values.push_back(Afc(p));
    return values;
  };
  std::vector<int> a = afcs(5), again = afcs(5), other = afcs(6);
  EXPECT_EQ(a, again);
  EXPECT_NE(a, other);
  ASSERT_EQ(a.size(), 200u);
  double mean = 0;
  for (int v : a) mean += v;
  mean /= 200;
  EXPECT_NEAR(mean, 3.0, 0.25);  // 8 steps * 3 / 8
  EXPECT_GT(*std::max_element(a.begin(), a.end()) - *std::min_element(a.begin(), a.end()), 1);
}

TEST(Air, PacketFaults) {
  TCycleBench b(nlohmann::json::parse(R"({
      "server": {"firmware": "test"},
      "handhelds": [{"mac": "0x00000007", "crystal_error": 0}],
      "air": {"afc_noise": 0, "packets_per_cycle": 10},
      "faults": [{"kind": "foreign_packets", "count": 2, "mac": "0x0BADF00D"},
                 {"kind": "malformed_packets", "count": 3},
                 {"kind": "afc_spread"}]})"));
  std::vector<V> packets = b.Cycle(0);
  int genuine = 0, foreign = 0, malformed = 0, minAfc = 999, maxAfc = -999;
  for (const V& p : packets) {
    bool ours = p[6] == 0 && p[7] == 0 && p[8] == 7;
    bool wellFormed = p[3] == 0 && p[4] == 8 && p[9] == 0;
    if (ours && wellFormed) {
      ++genuine;
      minAfc = std::min(minAfc, Afc(p));
      maxAfc = std::max(maxAfc, Afc(p));
    } else if (!ours) {
      ++foreign;
    } else {
      ++malformed;
    }
  }
  EXPECT_EQ(genuine, 10);
  EXPECT_EQ(foreign, 2);
  EXPECT_EQ(malformed, 3);
  EXPECT_GT(maxAfc - minAfc, 4);
}

TEST(Air, OnlyATestFirmwareServerReceives) {
  TCycleBench b(nlohmann::json::parse(R"({"server": {"firmware": "production"}})"));
  EXPECT_EQ(RunHandheld(b.bench, b.dongle, 2), 0);
  EXPECT_EQ(b.bench.Server().PendingPackets(), 0u);
}

// ---------------------------------------------------------------------------------------------
// Server programming

// Writes program words the way the tool programs the server: the placeholder row first, the
// used rows from the top down, then every row checked.
bool ProgramServer(TToolPort& server, const std::map<uint16_t, uint16_t>& words) {
  auto row = [&](uint16_t a) {
    std::vector<uint8_t> r{static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a & 0xFF)};
    for (uint16_t i = 0; i < 4; ++i) {
      auto it = words.find(static_cast<uint16_t>(a + i));
      uint16_t w = it == words.end() ? 0xFFFF : it->second;
      r.push_back(static_cast<uint8_t>((w >> 8) & 0x3F));
      r.push_back(static_cast<uint8_t>(w & 0xFF));
    }
    return r;
  };
  std::vector<uint16_t> rows;
  for (auto it = words.rbegin(); it != words.rend(); ++it) {
    uint16_t a = it->first & 0xFFFC;
    if (rows.empty() || rows.back() != a) rows.push_back(a);
  }
  bool ok =
      Reply(Transact(server, false, {0x01, 0x00, 0x34, 0x05, 0x34, 0x05, 0x34, 0x05, 0x34, 0x05}),
            10) == V{0x07};
  for (uint16_t a : rows) ok = ok && Reply(Transact(server, false, row(a)), 10) == V{0x07};
  for (uint16_t a : rows) {
    std::vector<uint8_t> check{0x00};
    std::vector<uint8_t> r = row(a);
    check.insert(check.end(), r.begin(), r.end());
    ok = ok && Reply(Transact(server, true, check), 11) == V{0x07};
  }
  return ok;
}

std::map<uint16_t, uint16_t> ProductionImage(uint8_t version, uint8_t build) {
  std::map<uint16_t, uint16_t> words{
      {0x100, 0x2805}, {0x101, 0x0000}, {0x102, 0x3000}, {0x103, 0x3077}};
  const uint16_t start = 0x0800;  // the signature's first word
  for (uint16_t i = 0; i < sim::kServerVersionSignature.size(); ++i) {
    words[static_cast<uint16_t>(start + i)] = sim::kServerVersionSignature[i];
  }
  const uint16_t end = static_cast<uint16_t>(start + sim::kServerVersionSignature.size() - 1);
  words[static_cast<uint16_t>(end - 43)] = static_cast<uint16_t>(0x3000 | version);
  words[static_cast<uint16_t>(end - 40)] = static_cast<uint16_t>(0x3000 | build);
  return words;
}

TEST(ServerProgramming, TestImageThenProductionImage) {
  TBench bench(R"({"server": {"firmware": "production", "firmware_version": [37, 6],
                              "factory_compensation": -4}})");
  TToolPort server(bench, "SIM2");
  AttachServer(server);
  std::map<uint16_t, uint16_t> test{
      {0x100, 0x2805}, {0x101, 0x0000}, {0x103, 0x3409}, {0x1FF0, 0x0123}};
  ASSERT_TRUE(ProgramServer(server, test));
  EXPECT_EQ(bench.Server().ProgramWord(0x1FF1), 0x3FFF);  // undefined words of a sent row
  EXPECT_EQ(bench.Server().Firmware(), "test");
  EXPECT_EQ(Reply(Transact(server, true, {0x01}), 1), (V{0x42, 0x09, 0xFC}));
  EXPECT_EQ(Reply(Transact(server, true, {0x00}), 1), V{0x06});

  ASSERT_TRUE(ProgramServer(server, ProductionImage(0x27, 2)));
  EXPECT_EQ(bench.Server().Firmware(), "production");
  EXPECT_EQ(Reply(Transact(server, true, {0x01}), 1), V{0x07});
  EXPECT_EQ(Reply(Transact(server, true, {0x00}), 1), (V{0x42, 0x27, 2}));
  EXPECT_EQ(bench.Server().Programmings(), 2);

  // Test firmware again over the production image: nothing of it (its version signature above
  // all) survives, so the server runs the test firmware.
  ASSERT_TRUE(ProgramServer(server, test));
  EXPECT_EQ(bench.Server().Firmware(), "test");
  EXPECT_EQ(bench.Server().ProgramWord(0x0800), 0x3FFF);
  EXPECT_EQ(Reply(Transact(server, true, {0x01}), 1), (V{0x42, 0x09, 0xFC}));
}

TEST(ServerProgramming, PlaceholderRowMeansNoFirmwareAndBadRowsAreRefused) {
  TBench bench;
  TToolPort server(bench, "SIM2");
  AttachServer(server);
  EXPECT_EQ(
      Reply(Transact(server, false, {0x01, 0x00, 0x34, 0x05, 0x34, 0x05, 0x34, 0x05, 0x34, 0x05}),
            10),
      V{0x07});
  EXPECT_EQ(bench.Server().Firmware(), "none");
  // A row that differs, and a row address that is not a row.
  EXPECT_EQ(Reply(Transact(server, true,
                           {0x00, 0x01, 0x00, 0x34, 0x05, 0x34, 0x05, 0x34, 0x05, 0x00, 0x00}),
                  11),
            V{0x15});
  EXPECT_EQ(Reply(Transact(server, false, {0x01, 0x02, 0, 0, 0, 0, 0, 0, 0, 0}), 10), V{0x15});
  EXPECT_EQ(Reply(Transact(server, true, {0x00}), 1), V{0x15});  // nothing runs
  EXPECT_EQ(bench.Server().RowMismatches(), 1);
}

// ---------------------------------------------------------------------------------------------
// Operator and report

TEST(Operator, UnplugsAfterTheRestoreAndPlugsInTheNextHandheld) {
  TBench bench(R"({"handhelds": [{"hw_version": 33}, {"hw_version": 34}],
                   "operator": {"unplug_ms": 400, "plug_ms": 800}})");
  TToolPort dongle(bench, "SIM1");
  AttachHandheld(bench, dongle);
  auto poll = [&] {
    bool dsr = dongle.Dsr();
    bench.VirtualClock().Sleep(std::chrono::milliseconds(50));
    return dsr;
  };
  // Polls before the restore has ended do not make the operator act.
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(poll());
  ASSERT_EQ(dongle.Xfer({0x04, 0x39, 0x06, 0x00}), (V{0x04, 0x39, 0x06, -1}));
  // Waiting for the disconnection: DSR on for 400 ms, then off.
  int on = 0;
  while (poll()) ++on;
  EXPECT_EQ(on, 8);
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(poll());  // five polls off: the tool stops waiting
  // The next attach polls DSR: the next handheld comes 800 ms later, and attaches afresh.
  int off = 0;
  while (!poll()) ++off;
  EXPECT_EQ(off, 16);
  EXPECT_EQ(bench.CurrentHandheld(), 1u);
  EXPECT_EQ(dongle.Xfer({0x00, 0x00}), (V{-1, 34}));
  // After the last handheld DSR stays off for good.
  ASSERT_EQ(dongle.Xfer({0x04, 0x39, 0x06, 0x00}), (V{0x04, 0x39, 0x06, -1}));
  for (int i = 0; i < 100; ++i) poll();
  EXPECT_FALSE(poll());
  EXPECT_EQ(bench.CurrentHandheld(), 2u);
}

TEST(Operator, TrafficAfterTheRestoreKeepsTheHandheldPlugged) {
  TBench bench(R"({"handhelds": [{}, {}]})");
  TToolPort dongle(bench, "SIM1");
  AttachHandheld(bench, dongle);
  ASSERT_EQ(dongle.Xfer({0x04, 0x39, 0x06, 0x00}), (V{0x04, 0x39, 0x06, -1}));
  ReadRegister(dongle, 57);  // the tool goes on talking: no disconnection wait
  for (int i = 0; i < 40; ++i) {
    EXPECT_TRUE(dongle.Dsr());
    bench.VirtualClock().Sleep(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(bench.CurrentHandheld(), 0u);
}

TEST(Digest, KnownAnswersAndTheImageLayouts) {
  EXPECT_EQ(sim::Sha256Hex(std::span<const uint8_t>()),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  const std::vector<uint8_t> abc{'a', 'b', 'c'};
  EXPECT_EQ(sim::Sha256Hex(abc),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // Server words 0x0100..0x1FFF, 14 bits each, low byte first; words below 0x0100 do not count.
  std::vector<uint16_t> words(0x2000, 0xFFFF);
  words[0x0000] = 0x1234;
  words[0x0100] = 0x2805;
  std::vector<uint8_t> bytes;
  for (size_t a = 0x100; a < 0x2000; ++a) bytes.insert(bytes.end(), {0xFF, 0x3F});
  bytes[0] = 0x05;
  bytes[1] = 0x28;
  EXPECT_EQ(sim::ServerImageSha256(words), sim::Sha256Hex(bytes));
  EXPECT_THROW(sim::ServerImageSha256(std::vector<uint16_t>(0x1FFF)), std::invalid_argument);
  EXPECT_THROW(sim::HandheldImageSha256(std::vector<uint8_t>(100)), std::invalid_argument);
}

// The report's digests: a fresh device's start and current image agree; after programming, the
// current one is the digest of what the test wrote.
TEST(Report, ImageDigestsOfHandheldAndServer) {
  TBench bench(R"({"extra_devices": [{"type": "server", "port": "SIM3"}]})");
  const std::vector<uint8_t> startMemory = bench.Handheld(0).Memory();
  std::vector<uint8_t> erased;
  for (size_t a = 0x100; a < 0x2000; ++a) erased.insert(erased.end(), {0xFF, 0x3F});
  nlohmann::json r = bench.Report();
  EXPECT_EQ(r["handhelds"][0]["image_sha256"], sim::Sha256Hex(startMemory));
  EXPECT_EQ(r["handhelds"][0]["start_image_sha256"], sim::Sha256Hex(startMemory));
  EXPECT_NE(r["handhelds"][0]["image_sha256"], r["handhelds"][1]["image_sha256"]);
  EXPECT_EQ(r["server"]["image_sha256"], sim::Sha256Hex(erased));
  EXPECT_EQ(r["server"]["start_image_sha256"], sim::Sha256Hex(erased));
  EXPECT_EQ(r["extra_devices"][0]["image_sha256"], sim::Sha256Hex(erased));

  TToolPort dongle(bench, "SIM1");
  AttachHandheld(bench, dongle);
  const std::vector<uint8_t> image = SomeImage(0x22, 8192);
  ASSERT_TRUE(ProgramImage(dongle, image));
  TToolPort server(bench, "SIM2");
  AttachServer(server);
  const std::map<uint16_t, uint16_t> test{
      {0x100, 0x2805}, {0x101, 0x0000}, {0x103, 0x3409}, {0x1FF0, 0x0123}};
  ASSERT_TRUE(ProgramServer(server, test));
  // The server image as a decoded package holds it: word-addressed, 0xFFFF where no data.
  std::vector<uint16_t> package(0x2000, 0xFFFF);
  for (const auto& [address, word] : test) package[address] = word;

  r = bench.Report();
  EXPECT_EQ(r["handhelds"][0]["image_sha256"], sim::Sha256Hex(image));
  EXPECT_EQ(r["handhelds"][0]["start_image_sha256"], sim::Sha256Hex(startMemory));
  EXPECT_EQ(r["server"]["image_sha256"], sim::ServerImageSha256(package));
  EXPECT_EQ(r["server"]["start_image_sha256"], sim::Sha256Hex(erased));
  EXPECT_EQ(r["extra_devices"][0]["image_sha256"], sim::Sha256Hex(erased));
}

TEST(Report, HoldsEveryDevicesFinalState) {
  TBench bench(R"({"server": {"crystal_error": 2.5, "factory_compensation": -4,
                              "pctool_compensation": 1},
                   "handhelds": [{"crystal_error": -1.5, "factory_compensation": 3,
                                  "mac": "0x00A10001"}, {}]})");
  {
    TToolPort dongle(bench, "SIM1");
    AttachHandheld(bench, dongle);
    WriteRegister(dongle, 16, 0x05);
    EXPECT_EQ(RunHandheld(bench, dongle, 3), 0);
  }
  nlohmann::json r = bench.Report();
  for (const char* key : {"crystal_error", "factory_compensation", "pctool_compensation",
                          "effective_compensation", "firmware"}) {
    EXPECT_TRUE(r["server"].contains(key)) << key;
    EXPECT_TRUE(r["handhelds"][0].contains(key)) << key;
  }
  EXPECT_EQ(r["server"]["effective_compensation"], -4);  // 1 means none on the server
  EXPECT_EQ(r["server"]["frequency_error"], -1.5);
  EXPECT_EQ(r["server"]["firmware"], "production");
  EXPECT_EQ(r["handhelds"].size(), 2u);
  EXPECT_EQ(r["handhelds"][0]["mac"], "0x00A10001");
  EXPECT_EQ(r["handhelds"][0]["pctool_compensation"], 5);
  EXPECT_EQ(r["handhelds"][0]["effective_compensation"], 5);
  EXPECT_EQ(r["handhelds"][0]["frequency_error"], 3.5);
  EXPECT_EQ(r["handhelds"][0]["stored"], nlohmann::json::array({5}));
  EXPECT_EQ(r["handhelds"][0]["firmware"], "test");
  EXPECT_EQ(r["handhelds"][1]["state"], "waiting");
  EXPECT_EQ(r["ports"]["SIM1"]["opens"], 1);

  std::string path = ::testing::TempDir() + "/bench-report.json";
  bench.WriteReport(path);
  std::ifstream in(path);
  EXPECT_EQ(nlohmann::json::parse(in), bench.Report());
  EXPECT_THROW(bench.WriteReport(::testing::TempDir() + "/no-such-dir/report.json"),
               std::runtime_error);
}

}  // namespace
