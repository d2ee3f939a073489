// Discovery's re-synchronisation byte by byte against a scripted device, and the two small
// helpers of discovery.
#include <gtest/gtest.h>

#include "link/Discovery.h"
#include "link/Link.h"
#include "run/RunRecord.h"
#include "serial/ComPort.h"
#include "tests/link/ScriptedPort.h"

namespace {

std::vector<int> Chars(const std::string& text) {
  std::vector<int> out;
  for (char c : text) out.push_back(static_cast<uint8_t>(c));
  return out;
}

std::vector<int> Join(std::initializer_list<std::vector<int>> parts) {
  std::vector<int> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// SCR1 stays silent; the device on SCR2 is silent in the first pass and answers from the
// script in the second, where every port still listed is re-synchronised before the handshake.
TEST(Resynchronisation, SecondPass) {
  const std::vector<int> serverHandshake =
      Join({{0x12, 0x55, 0xF0}, Chars("RFTPSERVER000123")});
  struct Case {
    const char* name;
    std::vector<int> answers;  // the device's answers in the second pass
    ByteText wire;             // what it received in the second pass
    bool identified;
  };
  const Case cases[] = {
      {"silent: four unanswered zeros end the drain, then the handshake", {},
       Bytes({0x00, 0x00, 0x00, 0x00, 0x00, 0x80}), false},
      {"zero answered at once", Join({{0x00, 0x00}, serverHandshake}),
       Bytes({0x00, 0x00, 0x80, 0x00, 0xA5}) + ByteText(16, '\x55'), true},
      {"inside its identity text: let it finish, feed zeros, identified",
       Join({{0x55, 'A', 'B', -1, -1, 0x00}, serverHandshake}),
       Bytes({0x00, 0x55, 0x55, 0x55, 0x00, 0x00, 0x80, 0x00, 0xA5}) + ByteText(16, '\x55'),
       true},
      {"identity text ends on another byte: handshake skipped", {0x55, 'A', 0xF0},
       Bytes({0x00, 0x55, 0x55}), false},
      {"seventeen identity characters: handshake skipped", Join({{0x55}, std::vector<int>(17, 'A')}),
       Bytes({0x00}) + ByteText(17, '\x55'), false},
      {"at most 66 zeros", std::vector<int>(1 + 66 + 2, 0x01),
       Bytes({0x00}) + ByteText(66, '\0') + Bytes({0x80, 0x00}), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TFakeClock clock;
    TScriptedProvider provider(clock);
    provider.Peer("SCR1");
    TScriptedPeer& dev = provider.Peer("SCR2");
    auto second = AnswerList(c.answers);
    dev.answer = [&dev, second](uint8_t b) { return dev.opens >= 2 ? second(b) : ByteText(); };

    TMainFields main;
    TRecordingBridge bridge;
    TRunRecord run(main, bridge, clock);
    TComPort a, b;
    b.SetTag(1);
    main.SerIF1 = &a;
    main.SerIF2 = &b;
    for (TComboModel* combo : {&main.COM1Combo, &main.COM2Combo}) {
      for (const char* item : {"Auto detect", "SCR1", "SCR2"}) combo->Add(item);
      combo->Select(0);
    }

    DiscoverPorts(run);

    ASSERT_EQ(dev.opens, 2);
    // The first pass sent the handshake's first byte only.
    EXPECT_EQ(dev.written.substr(1), c.wire);
    const std::vector<std::string> log =
        c.identified ? std::vector<std::string>{"Server found on SCR2, #RFTPSERVER000123, HW1.2",
                                                "Dongle not found!"}
                     : std::vector<std::string>{"Dongle not found!", "Server not found!"};
    EXPECT_EQ(bridge.Log, log);
    a.Close();
    b.Close();
  }
}

TEST(DiscoveryHelpers, HardwareVersionText) {
  const std::pair<uint8_t, const char*> cases[] = {
      {0x12, "1.2"}, {0x1A, "1.10"}, {0x00, "0.0"}, {0xFF, "15.15"}};
  for (const auto& [version, text] : cases) EXPECT_EQ(HwVerText(version), text);
}

TEST(DiscoveryHelpers, PromotePort) {
  struct Case {
    std::vector<std::string> list;
    const char* name;
    bool insert;
    std::vector<std::string> result;
  };
  const Case cases[] = {
      {{"A", "B", "C"}, "C", false, {"C", "A", "B"}},
      {{"A", "B", "C"}, "D", false, {"A", "B", "C"}},
      {{"A", "B", "C"}, "D", true, {"D", "A", "B", "C"}},
      {{"A", "B", "C"}, "B", true, {"B", "A", "C"}},
      {{"A", "B"}, "", true, {"A", "B"}},
  };
  for (Case c : cases) {
    PromotePort(c.list, c.name, c.insert);
    EXPECT_EQ(c.list, c.result) << c.name << (c.insert ? " inserted" : "");
  }
}

}  // namespace
