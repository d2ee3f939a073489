// The bench at the serial seam: port names, opening, the timing model and the answer faults.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include "SimTestUtil.h"
#include "serial/PortProvider.h"
#include "serial/SystemErrors.h"
#include "sim/Bench.h"

using simtest::NowUs;
using simtest::TToolPort;

namespace {

bool Listed(const std::string& name) {
  std::vector<std::string> names;
  TComPort().EnumComPorts(names);
  return std::find(names.begin(), names.end(), name) != names.end();
}

int OpenError(const std::string& name) {
  TComPort port;
  port.SetDeviceName(name);
  try {
    port.Open();
  } catch (const EComError& e) {
    EXPECT_FALSE(port.Active());
    return e.ErrorCode();
  }
  return 0;
}

TEST(BenchPorts, NamesAreOfferedWhileTheBenchExists) {
  {
    TBench bench(R"({"ports": ["BENCHA", "BENCHB"]})");
    EXPECT_EQ(bench.PortNames(), (std::vector<std::string>{"BENCHA", "BENCHB"}));
    EXPECT_TRUE(Listed("BENCHA"));
    EXPECT_TRUE(Listed("BENCHB"));
    TToolPort server(bench, "BENCHB");
    EXPECT_TRUE(server.port.Active());
  }
  EXPECT_FALSE(Listed("BENCHA"));
  EXPECT_NE(OpenError("BENCHA"), 0);
}

TEST(BenchPorts, OpenFailuresCarryTheErrorNumber) {
  TBench bench(R"({"faults": [{"kind": "open_fails", "port": "SIM3", "errno": "EACCES"}]})");
  EXPECT_EQ(OpenError("SIM3"), EACCES);
  TToolPort first(bench, "SIM2");
  EXPECT_EQ(OpenError("SIM2"), kErrPortInUse);  // open elsewhere, like a busy device
  first.port.Close();
  EXPECT_EQ(OpenError("SIM2"), 0);
}

TEST(BenchPorts, TheBenchGoingAwayLooksLikeARemovedDevice) {
  auto bench = std::make_unique<TBench>();
  TToolPort server(*bench, "SIM2");
  bench.reset();
  EXPECT_THROW(server.port.WriteByte(0x00), EComError);
  EXPECT_NO_THROW(server.port.Close());
}

// A round trip costs both bytes' line time (10 bits each) plus the device's reaction time.
TEST(BenchTiming, RoundTripTakesTwoByteTimesPlusReaction) {
  struct Case {
    int scenarioSpeed;
    TBaudRate portRate;  // brDefault: the scenario's speed
    int64_t byteUs;
  };
  for (const Case& c :
       {Case{9600, br9600, 1042}, Case{9600, br19200, 521}, Case{4800, brDefault, 2083}}) {
    SCOPED_TRACE(c.scenarioSpeed);
    TBench bench(nlohmann::json{{"speed", c.scenarioSpeed}, {"server", {{"reaction_us", 700}}}});
    TToolPort server(bench, "SIM2", 250, c.portRate);
    int64_t before = NowUs(bench);
    EXPECT_EQ(server.Xfer(0x00), 0x00);  // SrvSync
    EXPECT_EQ(NowUs(bench) - before, 2 * c.byteUs + 700);
    EXPECT_EQ(bench.PortStats("SIM2").speed,
              c.portRate == brDefault ? c.scenarioSpeed : BaudRateValue(c.portRate));
  }
}

TEST(BenchTiming, MissingAnswerCostsExactlyTheReadTimeout) {
  TBench bench(R"({"faults": [{"kind": "lose_answer", "port": "SIM2", "at": 2}]})");
  TToolPort server(bench, "SIM2", 250);
  EXPECT_EQ(server.Xfer(0x00), 0x00);
  int64_t before = NowUs(bench);
  server.port.WriteByte(0x00);
  try {
    server.port.ReadByte();
    ADD_FAILURE() << "the lost answer was read";
  } catch (const EComError& e) {
    EXPECT_STREQ(e.what(), "Timeout");
  }
  EXPECT_EQ(NowUs(bench) - before, 250'000);
  EXPECT_EQ(server.Xfer(0x00), 0x00);  // only the second byte's answer was lost

  // Read multiplier and interval time-outs count as well: 2 bytes x 10 ms + 30 ms.
  server.port.Timeouts().SetReadConstant(30);
  server.port.Timeouts().SetReadMultiplier(10);
  unsigned char buffer[2];
  before = NowUs(bench);
  EXPECT_THROW(server.port.Read(buffer, 2, true), EComError);
  EXPECT_EQ(NowUs(bench) - before, 50'000);
}

TEST(BenchTiming, InputCountSeesOnlyArrivedBytesAndPurgeDropsThem) {
  TBench bench;
  TToolPort server(bench, "SIM2");
  server.port.WriteByte(0x00);
  EXPECT_EQ(server.port.InputCount(), 0);  // still on the line
  bench.VirtualClock().Sleep(std::chrono::milliseconds(5));
  EXPECT_EQ(server.port.InputCount(), 1);
  server.port.PurgeInput();
  EXPECT_EQ(server.port.InputCount(), 0);
  EXPECT_EQ(server.Xfer(0x00), 0x00);
}

// A read that no time-out ends would block for ever on a real port once the bytes stop coming;
// on the bench it throws, so a caller that forgot its time-out cannot pass here and hang there.
TEST(BenchTiming, ReadWithoutTimeoutThrowsWhenItWouldHang) {
  TBench bench;
  TToolPort server(bench, "SIM2", 0);
  TToolPort silent(bench, "SIM3", 0);
  EXPECT_EQ(server.Xfer(0x00), 0x00);  // the byte comes: the read completes as before
  const int64_t before = NowUs(bench);
  silent.port.WriteByte(0x80);
  try {
    silent.port.ReadByte();
    ADD_FAILURE() << "the read returned";
  } catch (const std::logic_error& e) {
    EXPECT_NE(std::string(e.what()).find("\"SIM3\""), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("hang on a real port"), std::string::npos) << e.what();
  }
  EXPECT_EQ(NowUs(bench), before);

  // Two bytes asked, one answer: the interval time-out only counts after the first byte, so it
  // ends this read, but not a read that gets no byte at all.
  server.port.Timeouts().SetReadInterval(20);
  unsigned char buffer[2];
  server.port.WriteByte(0x00);
  EXPECT_THROW(server.port.Read(buffer, 2, true), EComError);  // short read: "Timeout"
  silent.port.Timeouts().SetReadInterval(20);
  silent.port.WriteByte(0x80);
  EXPECT_THROW(silent.port.Read(buffer, 1, true), std::logic_error);

  // The port stays usable once the caller sets a time-out.
  silent.port.Timeouts().SetReadConstant(50);
  EXPECT_EQ(silent.Xfer(0x80), -1);
}

TEST(BenchTiming, PacedModeSleepsScaledWallTime) {
  TBench bench;
  bench.SetPaced(100.0);
  auto wallStart = std::chrono::steady_clock::now();
  int64_t before = NowUs(bench);
  bench.VirtualClock().Sleep(std::chrono::milliseconds(1000));
  EXPECT_EQ(NowUs(bench) - before, 1'000'000);
  EXPECT_GE(std::chrono::steady_clock::now() - wallStart, std::chrono::milliseconds(10));
  EXPECT_THROW(bench.SetPaced(-1.0), std::invalid_argument);
}

// In paced mode the window thread lists ports (and may look at the report) while the worker
// talks to the devices.
TEST(BenchThreads, PortListAndReportWhileTheWorkerTalks) {
  TBench bench;
  bench.SetPaced(1000.0);
  std::atomic<bool> done{false};
  std::thread worker([&] {
    TToolPort server(bench, "SIM2");
    for (int i = 0; i < 200; ++i) EXPECT_EQ(server.Xfer(0x00), 0x00);
    done = true;
  });
  while (!done) {
    EXPECT_TRUE(Listed("SIM1"));
    EXPECT_TRUE(bench.Report().contains("server"));
    EXPECT_GE(NowUs(bench), 0);
  }
  worker.join();
  EXPECT_EQ(bench.Server().Syncs(), 200);
}

// Answer faults act on the answer to the n-th byte the tool writes to the port.
TEST(BenchFaults, AnswersLostDoubledOrCorrupted) {
  {
    TBench bench(R"({"faults": [{"kind": "double_answer", "port": "SIM2", "at": 1}]})");
    TToolPort server(bench, "SIM2");
    EXPECT_EQ(server.Xfer(0x00), 0x00);
    bench.VirtualClock().Sleep(std::chrono::milliseconds(5));
    EXPECT_EQ(server.port.InputCount(), 1);  // the second copy waits in the queue
  }
  {
    TBench bench(
        R"({"faults": [{"kind": "corrupt_answer", "port": "SIM2", "at": 2, "count": 2, "xor": 255}]})");
    TToolPort server(bench, "SIM2");
    EXPECT_EQ(server.Xfer({0x00, 0x00, 0x00, 0x00}), (std::vector<int>{0x00, 0xFF, 0xFF, 0x00}));
  }
}

// Sent-byte faults act on the n-th byte the tool writes to the port on its way to the device:
// the server's SrvSync (0x00 answered 0x00) shows what it saw.
TEST(BenchFaults, SentBytesLostDoubledOrCorrupted) {
  struct Case {
    const char* kind;
    int count;
    int xorMask;
    std::vector<int> answers;  // to the bytes 1, 2, 3 (all 0x00), one read each
    int syncs;                 // the 0x00 the server saw
    uint64_t bytesToTool;
  };
  const Case cases[] = {
      {"lose_sent", 1, 0, {0x00, -1, 0x00}, 2, 2},
      {"lose_sent", 2, 0, {0x00, -1, -1}, 1, 1},
      {"double_sent", 1, 0, {0x00, 0x00, 0x00}, 4, 4},
      // 0x80 starts the identification (hardware version 0x12), whose next 0x00 gets 0x55.
      {"corrupt_sent", 1, 0x80, {0x00, 0x12, 0x55}, 1, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.kind) + " count " + std::to_string(c.count));
    nlohmann::json fault = {{"kind", c.kind}, {"port", "SIM2"}, {"at", 2}, {"count", c.count}};
    if (c.xorMask != 0) fault["xor"] = c.xorMask;
    TBench bench(nlohmann::json{{"faults", {fault}}});
    TToolPort server(bench, "SIM2");
    EXPECT_EQ(server.Xfer({0x00, 0x00, 0x00}), c.answers);
    bench.VirtualClock().Sleep(std::chrono::milliseconds(10));
    EXPECT_EQ(bench.Server().Syncs(), c.syncs);
    EXPECT_EQ(bench.PortStats("SIM2").bytesFromTool, 3u);
    EXPECT_EQ(bench.PortStats("SIM2").bytesToTool, c.bytesToTool);
  }
}

TEST(BenchFaults, SilentAndLoopBackPorts) {
  TBench bench(R"({"ports": ["SIM1", "SIM2", "SIM3", "SIM4"],
                   "faults": [{"kind": "loopback", "port": "SIM3"},
                              {"kind": "silent", "port": "SIM2"}]})");
  TToolPort server(bench, "SIM2");
  TToolPort loop(bench, "SIM3");
  TToolPort empty(bench, "SIM4");
  EXPECT_EQ(server.Xfer(0x80), -1);
  EXPECT_EQ(empty.Xfer(0x80), -1);
  EXPECT_EQ(loop.Handshake()[0], 0x80);
  EXPECT_EQ(loop.Xfer({0x00, 0xA5, 0x55}), (std::vector<int>{0x00, 0xA5, 0x55}));
}

}  // namespace
