// Network ports that fail while the run looks for its devices: the operator reads why, on a
// line of its own before the run says which device was not found.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "FakeServer.h"
#include "link/Discovery.h"
#include "run/RunRecord.h"
#include "serial/ComPort.h"
#include "serial/Rfc2217.h"
#include "tests/link/ScriptedPort.h"

namespace {

using namespace rfc2217;

// A name nobody listens on: a server that was there and went.
std::string VanishedName() {
  TFakeBehaviour silent;
  silent.negotiation = TFakeBehaviour::kSilent;
  auto gone = std::make_unique<TFakeServer>(silent);
  const std::string name = gone->Name();
  TComPort probe;  // connect once so the fake's thread ends at once
  probe.SetDeviceName("socket" + name.substr(name.find("://")));
  probe.Open();
  probe.Close();
  gone.reset();
  return name;
}

struct TFailCase {
  const char* what;
  bool useServer;            // else the name below
  TFakeBehaviour behaviour;
  const char* name;
  const char* text;          // after "NAME: "
};

TEST(NetDiscovery, NetworkErrorsReachTheLog) {
  TFakeBehaviour silent;
  silent.negotiation = TFakeBehaviour::kSilent;
  TFakeBehaviour broken;
  broken.onFirstData = {kIac, kSb, kOptComPort, 107, kIac, 0x01};
  const TFailCase cases[] = {
      {"refused", false, {}, "", "connection refused"},
      {"no such host", false, {}, "rfc2217://no-such-host.invalid:4001", "host not found"},
      {"silent server", true, silent, "",
       "server did not answer option COM-PORT-OPTION within 3 s"},
      {"broken frame", true, broken, "", "connection lost (malformed subnegotiation: IAC 1 inside it)"},
  };
  const std::string serverName = VanishedName();
  for (const TFailCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<TFakeServer> fake;
    if (c.useServer) fake = std::make_unique<TFakeServer>(c.behaviour);
    const std::string dongleName = fake ? fake->Name() : *c.name ? c.name : VanishedName();

    TMainFields main;
    TRecordingBridge bridge;
    TRunRecord run(main, bridge, RealClock());
    TComPort a, b;
    b.SetTag(1);
    main.SerIF1 = &a;
    main.SerIF2 = &b;
    for (auto [combo, name] : {std::pair{&main.COM1Combo, dongleName}, {&main.COM2Combo, serverName}}) {
      combo->Add("Auto detect");
      combo->Add(name);
      combo->Select(1);
    }

    DiscoverPorts(run);

    const std::string dongleLine = dongleName + ": " + c.text;
    const auto& log = bridge.Log;
    const auto told = std::find(log.begin(), log.end(), dongleLine);
    const auto notFound = std::find(log.begin(), log.end(), ByteText("Dongle not found!"));
    ASSERT_NE(told, log.end()) << testing::PrintToString(log);
    EXPECT_EQ(std::count(log.begin(), log.end(), dongleLine), 1) << testing::PrintToString(log);
    ASSERT_NE(notFound, log.end()) << testing::PrintToString(log);
    EXPECT_LT(told, notFound);
    EXPECT_NE(std::find(log.begin(), log.end(), serverName + ": connection refused"), log.end());
    EXPECT_EQ(run.Outcome, kOutcomeFailed);
    a.Close();
    b.Close();
  }
}

}  // namespace
