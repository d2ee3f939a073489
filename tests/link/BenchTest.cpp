// Port discovery, device attach and the handheld reset against the emulated bench, on its
// virtual clock.
#include <algorithm>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "link/Devices.h"
#include "link/Discovery.h"
#include "link/Link.h"
#include "run/RunRecord.h"
#include "serial/ComPort.h"
#include "serial/PortProvider.h"
#include "serial/SystemErrors.h"
#include "sim/Bench.h"
#include "tests/link/ScriptedPort.h"
#include "tuning/SerThread.h"

namespace {

const char kDongleFound[] = "Dongle found on ";
const char kDongleId[] = ", #TPDONGLE00000042, HW1.1";
const char kServerId[] = ", #RFTPSERVER000123, HW1.2";
const char kDsrPrompt[] =
    "Make sure the TallyPilot is connected to the dongle, powered\rand switched ON.";

// A bench with the two port objects set up as the window sets them up, and the selectors
// filled as the front end fills them when a run starts.
struct TBenchRun {
  TBenchRun(const std::string& scenario, const std::string& dongleSel = "",
            const std::string& serverSel = "")
      : bench(scenario) {
    SetUpPortObject(objA, 0);
    SetUpPortObject(objB, 1);
    main.SerIF1 = &objA;
    main.SerIF2 = &objB;
    for (TComboModel* combo : {&main.COM1Combo, &main.COM2Combo}) {
      // Only the bench's ports: the machine's own serial devices must not be probed here.
      combo->Add("Auto detect");
      for (const std::string& n : bench.PortNames()) combo->Add(n);
    }
    SelectComboItem(main.COM1Combo, dongleSel);
    SelectComboItem(main.COM2Combo, serverSel);
  }
  ~TBenchRun() {
    objA.Close();
    objB.Close();
  }
  long long Ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(bench.VirtualClock().Now())
        .count();
  }

  TBench bench;
  TMainFields main;
  TRecordingBridge bridge;
  TRunRecord run{main, bridge, bench.VirtualClock()};
  TComPort objA, objB;  // created as SerIF1 and SerIF2
};

struct DiscoveryCase {
  const char* name;
  std::string scenario;
  std::string dongleSel, serverSel;  // "" = Auto detect
  std::string lastPort1, lastPort2;  // remembered from an earlier run
  std::vector<std::string> log;
  bool ok;
  std::string foundDongle, foundServer;  // LastPort1 and LastPort2 afterwards
  std::vector<int> opens;                // how often SIM1..SIM3 were opened
};

TEST(DiscoveryOnBench, Scenarios) {
  const std::string server1 = R"("server": {"port": "SIM1"})";
  const std::string server2 = R"("server": {"port": "SIM2"})";
  const std::string server3 = R"("server": {"port": "SIM3"})";
  const std::string dongle1 = R"("dongle": {"port": "SIM1"})";
  const std::string dongle2 = R"("dongle": {"port": "SIM2"})";
  const std::string dongle3 = R"("dongle": {"port": "SIM3"})";
  auto scenario = [](std::initializer_list<std::string> parts) {
    std::string s = "{";
    for (const std::string& p : parts) s += (s.size() > 1 ? ", " : "") + p;
    return s + "}";
  };
  const std::vector<DiscoveryCase> cases = {
      {"auto-detect, server on the first port: roles exchanged",
       scenario({server1, dongle2}), "", "", "", "",
       {"Server found on SIM1" + std::string(kServerId), kDongleFound + std::string("SIM2") + kDongleId},
       true, "SIM2", "SIM1", {1, 1, 0}},
      {"both selectors set: only those two, the server's first",
       scenario({dongle3, server2, R"("faults": [{"kind": "loopback", "port": "SIM1"}])"}),
       "SIM3", "SIM2", "", "",
       {"Server found on SIM2" + std::string(kServerId), kDongleFound + std::string("SIM3") + kDongleId},
       true, "SIM3", "SIM2", {0, 1, 1}},
      {"remembered ports are probed first", scenario({dongle2, server3}), "", "", "SIM2", "SIM3",
       {"Server found on SIM3" + std::string(kServerId), kDongleFound + std::string("SIM2") + kDongleId},
       true, "SIM2", "SIM3", {0, 1, 1}},
      {"both selectors on the same port", scenario({dongle1, server2}), "SIM1", "SIM1", "", "",
       {"At least 2 communication ports required!"}, false, "", "", {0, 0, 0}},
      {"server on the port selected for the dongle", scenario({server1, dongle2}), "SIM1", "", "",
       "", {"Dongle expected on SIM1, server found instead!"}, false, "", "", {1, 0, 0}},
      {"dongle on the port selected for the server", scenario({dongle1, server2}), "", "SIM1", "",
       "", {"Server expected on SIM1, dongle found instead!"}, false, "", "", {1, 0, 0}},
      {"dongle elsewhere than selected", scenario({dongle1, server2}), "SIM3", "", "", "",
       {"Dongle not found on SIM3 but on SIM1", kDongleFound + std::string("SIM1") + kDongleId,
        "Server found on SIM2" + std::string(kServerId)},
       true, "SIM1", "SIM2", {1, 1, 1}},
      {"second dongle with auto-detect",
       scenario({dongle1, server3, R"("extra_devices": [{"type": "dongle", "port": "SIM2"}])"}),
       "", "", "", "",
       {kDongleFound + std::string("SIM1") + kDongleId,
        "Second dongle found, uncertain which one to use?!"},
       false, "SIM1", "", {1, 1, 0}},
      {"second dongle with a selected port is ignored",
       scenario({dongle1, server3, R"("extra_devices": [{"type": "dongle", "port": "SIM2"}])"}),
       "SIM1", "", "", "",
       {kDongleFound + std::string("SIM1") + kDongleId, "Server found on SIM3" + std::string(kServerId)},
       true, "SIM1", "SIM3", {1, 1, 1}},
      {"second server with auto-detect",
       scenario({server1, dongle3, R"("extra_devices": [{"type": "server", "port": "SIM2"}])"}),
       "", "", "", "",
       {"Server found on SIM1" + std::string(kServerId),
        "Second server found, uncertain which one to use?!"},
       false, "", "SIM1", {1, 1, 0}},
      {"loop-back port never identified, in either pass",
       scenario({dongle2, R"("server": null)", R"("faults": [{"kind": "loopback", "port": "SIM1"}])"}),
       "", "", "", "", {kDongleFound + std::string("SIM2") + kDongleId, "Server not found!"},
       false, "SIM2", "", {2, 1, 2}},
      {"server but no dongle: no second pass", scenario({server1, R"("dongle": null)"}), "", "",
       "", "", {"Server found on SIM1" + std::string(kServerId), "Dongle not found!"}, false, "",
       "SIM1", {1, 1, 1}},
      {"nothing anywhere", scenario({R"("dongle": null)", R"("server": null)"}), "", "", "", "",
       {"Dongle not found!", "Server not found!"}, false, "", "", {2, 2, 2}},
      {"server stuck in its handshake answers after re-synchronisation",
       scenario({server1, dongle2,
                 R"("faults": [{"kind": "server_stuck", "state": "mid_handshake", "at": 8}])"}),
       "", "", "", "",
       {kDongleFound + std::string("SIM2") + kDongleId, "Server found on SIM1" + std::string(kServerId)},
       true, "SIM2", "SIM1", {2, 1, 1}},
      {"server stuck in a frame answers after re-synchronisation",
       scenario({server1, dongle2,
                 R"("faults": [{"kind": "server_stuck", "state": "mid_frame", "remaining": 20}])"}),
       "", "", "", "",
       {kDongleFound + std::string("SIM2") + kDongleId, "Server found on SIM1" + std::string(kServerId)},
       true, "SIM2", "SIM1", {2, 1, 1}},
      {"identity character outside the set ends the handshake",
       // The answer to the 7th IdNext of the dongle's handshake loses its meaning.
       scenario({dongle1, server2,
                 R"("faults": [{"kind": "corrupt_answer", "port": "SIM1", "at": 10, "xor": 128}])"}),
       "", "", "", "", {"Server found on SIM2" + std::string(kServerId), "Dongle not found!"},
       false, "", "SIM2", {1, 1, 1}},
      {"a port that cannot be opened is passed over",
       scenario({dongle2, server3, R"("faults": [{"kind": "open_fails", "port": "SIM1", "errno": "EBUSY"}])"}),
       "", "", "", "",
       {kDongleFound + std::string("SIM2") + kDongleId, "Server found on SIM3" + std::string(kServerId)},
       true, "SIM2", "SIM3", {0, 1, 1}},
  };

  for (const DiscoveryCase& c : cases) {
    SCOPED_TRACE(c.name);
    TBenchRun b(c.scenario, c.dongleSel, c.serverSel);
    b.main.LastPort1 = c.lastPort1;
    b.main.LastPort2 = c.lastPort2;

    DiscoverPorts(b.run);

    EXPECT_EQ(b.bridge.Log, c.log);
    EXPECT_EQ(b.run.Outcome, c.ok ? kOutcomeOk : kOutcomeFailed);
    EXPECT_EQ(b.main.LastPort1, c.foundDongle.empty() ? c.lastPort1 : c.foundDongle);
    EXPECT_EQ(b.main.LastPort2, c.foundServer.empty() ? c.lastPort2 : c.foundServer);
    // After a second server answered, neither counts as found: the run must not program one.
    const bool uncertain = std::find(c.log.begin(), c.log.end(),
                                     "Second server found, uncertain which one to use?!") != c.log.end();
    EXPECT_EQ(b.run.SrvFound, !c.foundServer.empty() && !uncertain);
    std::vector<int> opens;
    for (const char* port : {"SIM1", "SIM2", "SIM3"}) opens.push_back(b.bench.PortStats(port).opens);
    EXPECT_EQ(opens, c.opens);
    if (!c.foundDongle.empty()) {
      EXPECT_EQ(b.run.DongleId, ByteText(1, '\x11') + "TPDONGLE00000042");
    }
    if (c.ok) {
      // The dongle open in the SerIF1 role, the server in the SerIF2 role, both identified.
      EXPECT_EQ(b.main.SerIF1->DeviceName(), c.foundDongle);
      EXPECT_EQ(b.main.SerIF2->DeviceName(), c.foundServer);
      for (TComPort* p : {b.main.SerIF1, b.main.SerIF2}) {
        EXPECT_TRUE(p->Active());
        EXPECT_TRUE(p->Tag() & kTagHeldOpen);
        EXPECT_EQ(p->Timeouts().ReadConstant(), 250);
      }
      EXPECT_TRUE(b.run.LinkOk);
    }
  }
}

TEST(DiscoveryOnBench, RolesAndTrace) {
  // The server on the first port probed: the object created as SerIF1 found it and now holds
  // the SerIF2 role; the trace digits stay with the objects.
  TBenchRun b(R"({"server": {"port": "SIM1"}, "dongle": {"port": "SIM2"}})");
  DiscoverPorts(b.run);
  ASSERT_EQ(b.run.Outcome, kOutcomeOk);
  EXPECT_EQ(b.main.SerIF2, &b.objA);
  EXPECT_EQ(b.main.SerIF1, &b.objB);
  const ByteText& t = b.run.ErrLog;
  EXPECT_EQ(t.substr(0, 17), "1R\r1<128\r1>18\r1<0");
  EXPECT_NE(t.find(">Server found on SIM1" + std::string(kServerId) + "\r2R\r2<128\r2>17\r"),
            std::string::npos);

  // The server's first frame after discovery goes to the object that found it.
  InitDevice(b.run, *b.main.SerIF2, false);
  EXPECT_TRUE(b.run.LinkOk);
  EXPECT_EQ(SrvTransact(b.run, Bytes({SrvGetVersion}), true), Bytes({0x42, 0x25, 6}));
}

// A network port in the selectors' list (typed by the operator earlier) is not probed by
// "Auto detect": opening one would reach out to whatever answers at that address.
TEST(DiscoveryOnBench, NetworkPortsInTheListAreNotProbed) {
  struct TCountingProvider final : TPortProvider {
    std::vector<std::string> asked;
    bool Claims(const std::string& name) const override { return IsNetworkPortName(name); }
    std::unique_ptr<TPortBinding> CreateBinding(const std::string& name) override {
      asked.push_back(name);
      throw EComError(kErrPortNotFound, "not here");
    }
    void EnumPorts(std::vector<std::string>&) const override {}
  } network;
  TBenchRun b(R"({"dongle": {"port": "SIM3"}, "server": {"port": "SIM2"}})");
  RegisterPortProvider(&network);
  for (TComboModel* combo : {&b.main.COM1Combo, &b.main.COM2Combo}) {
    combo->Items.insert(combo->Items.begin() + 1, "rfc2217://10.1.2.3:4001");
    combo->Add("socket://bench-7:7000");
  }
  DiscoverPorts(b.run);
  UnregisterPortProvider(&network);
  EXPECT_EQ(b.run.Outcome, kOutcomeOk);
  EXPECT_EQ(network.asked, std::vector<std::string>{});
  EXPECT_EQ(b.main.LastPort1, "SIM3");
  EXPECT_EQ(b.main.LastPort2, "SIM2");
}

TEST(DiscoveryOnBench, StopsOnTermination) {
  TBenchRun b(R"({"dongle": {"port": "SIM1"}, "server": {"port": "SIM2"}})");
  b.run.RequestTermination();
  DiscoverPorts(b.run);
  EXPECT_TRUE(b.bridge.Log.empty());
  EXPECT_EQ(b.run.Outcome, kOutcomeOk);
  EXPECT_EQ(b.bench.PortStats("SIM1").opens, 0);
}

// The handheld attach after a discovery: the DSR wait with its status text, the attach probe.
TEST(InitDeviceOnBench, Handheld) {
  {
    SCOPED_TRACE("handheld switched on late");
    TBenchRun b(R"({"dongle": {"port": "SIM1"}, "server": {"port": "SIM2"},
                    "handhelds": [{"hw_version": 34, "flags": 1}],
                    "faults": [{"kind": "dsr_drop", "at_ms": 0, "duration_ms": 5000}]})");
    DiscoverPorts(b.run);
    InitDevice(b.run, *b.main.SerIF2, false);
    ASSERT_TRUE(b.run.LinkOk);
    ASSERT_LT(b.Ms(), 5000);
    InitDevice(b.run, *b.main.SerIF1, true);
    EXPECT_EQ(b.bridge.Status, (std::vector<std::string>{"handheld:" + std::string(kDsrPrompt), "hide"}));
    EXPECT_GE(b.Ms(), 5000 + 4 * 50);  // five samples in a row once DSR is up
    EXPECT_LT(b.Ms(), 5000 + 6 * 50 + 1000);
    EXPECT_EQ(b.bridge.Log.back(), "TallyPilot HW2.2");
    EXPECT_EQ(b.run.Outcome, kOutcomeOk);
    EXPECT_EQ(b.run.TPHwVer, 0x22);
    EXPECT_EQ(b.run.TPFlags, 1);
    EXPECT_EQ(b.bench.Handheld(0).Register(CfgReg), 0x11);
  }
  {
    SCOPED_TRACE("handheld already on: no status text");
    TBenchRun b(R"({"dongle": {"port": "SIM1"}, "server": {"port": "SIM2"}})");
    DiscoverPorts(b.run);
    InitDevice(b.run, *b.main.SerIF1, true);
    EXPECT_TRUE(b.bridge.Status.empty());
    EXPECT_EQ(b.run.Outcome, kOutcomeOk);
    EXPECT_EQ(b.bench.Handheld(0).Register(CfgReg), 0x10);
  }
  {
    SCOPED_TRACE("first lone 0x00 answered");
    TBenchRun b(R"({"dongle": {"port": "SIM1"}, "server": {"port": "SIM2"},
                    "faults": [{"kind": "answer_attach"}]})");
    DiscoverPorts(b.run);
    InitDevice(b.run, *b.main.SerIF1, true);
    EXPECT_EQ(b.bridge.Log.back(), "Failed to initialize TallyPilot!");
    EXPECT_EQ(b.run.Outcome, kOutcomeFailed);
    EXPECT_FALSE(b.run.LinkOk);
  }
  {
    SCOPED_TRACE("Cancel while waiting for DSR");
    TBenchRun b(R"({"dongle": {"port": "SIM1"}, "server": {"port": "SIM2"},
                    "faults": [{"kind": "no_dsr"}]})");
    DiscoverPorts(b.run);
    const size_t logged = b.bridge.Log.size();
    b.bridge.OnShowStatus = [&b] { b.run.RequestTermination(); };
    InitDevice(b.run, *b.main.SerIF1, true);
    EXPECT_EQ(b.bridge.Status, (std::vector<std::string>{"handheld:" + std::string(kDsrPrompt), "hide"}));
    EXPECT_EQ(b.bridge.Log.size(), logged);
    EXPECT_EQ(b.run.Outcome, kOutcomeOk);
  }
}

TEST(InitDeviceOnBench, Server) {
  // The server is probed first: its handshake is bytes 1 to 19 on its port, the attach probe
  // bytes 20 and 21.
  const std::string base = R"({"dongle": {"port": "SIM2"}, "server": {"port": "SIM1"}})";
  const struct {
    const char* name;
    const char* faults;
    bool ok;
  } cases[] = {
      {"attached", "[]", true},
      {"second lone 0x00 answered with something else",
       R"([{"kind": "corrupt_answer", "port": "SIM1", "at": 21}])", false},
      {"second lone 0x00 not answered", R"([{"kind": "lose_answer", "port": "SIM1", "at": 21}])",
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TBenchRun b(base.substr(0, base.size() - 1) + R"(, "faults": )" + c.faults + "}");
    DiscoverPorts(b.run);
    ASSERT_EQ(b.run.Outcome, kOutcomeOk);
    const size_t logged = b.bridge.Log.size();
    InitDevice(b.run, *b.main.SerIF2, false);
    EXPECT_EQ(b.run.LinkOk, c.ok);
    EXPECT_EQ(b.run.Outcome, c.ok ? kOutcomeOk : kOutcomeFailed);
    if (c.ok) {
      EXPECT_EQ(b.bridge.Log.size(), logged);
    } else {
      EXPECT_EQ(b.bridge.Log.back(), "Failed to initialize server!");
    }
    EXPECT_EQ(b.bench.PortStats("SIM1").bytesFromTool, 21u);
  }
}

// A run on the handheld as the tuning steps make it: set-up, reset, status.
TEST(ResetHandheldOnBench, RunAndDongleSwap) {
  {
    SCOPED_TRACE("test cycle run");
    TBenchRun b(R"({"dongle": {"port": "SIM1"}, "server": {"port": "SIM2"}})");
    DiscoverPorts(b.run);
    InitDevice(b.run, *b.main.SerIF1, true);
    ASSERT_EQ(b.run.Outcome, kOutcomeOk);
    PrepareRun(b.run, 3, RunTestCycle);
    ResetHandheld(b.run, 20);
    EXPECT_TRUE(b.run.LinkOk);
    EXPECT_EQ(ReadReg(b.run, CmdReg), 0);
    EXPECT_EQ(b.bench.Handheld(0).RunsExecuted(RunTestCycle), 1);
  }
  {
    SCOPED_TRACE("a different dongle after the pulse");
    TBenchRun b(R"({"dongle": {"port": "SIM1"}, "server": {"port": "SIM2"},
                    "faults": [{"kind": "dongle_swap", "after_resets": 2}]})");
    DiscoverPorts(b.run);  // the first reset: the discovery's open sequence
    InitDevice(b.run, *b.main.SerIF1, true);
    ASSERT_EQ(b.run.Outcome, kOutcomeOk);
    ResetHandheld(b.run, 20);
    EXPECT_FALSE(b.run.LinkOk);
    // Nothing after the identity exchange.
    EXPECT_EQ(b.run.ErrLog.substr(b.run.ErrLog.size() - 5), "1>57\r");
  }
}

}  // namespace
