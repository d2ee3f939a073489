// The binding contract: the cases every binding passes (round trip, read time-outs and short
// reads, queued count and purge, second opener, closed-port errors), plus line settings and the
// modem lines, against three echoing peers started here: tptune-sim's echo port and pySerial's
// example server serving pySerial's loop:// port (a program we did not write) through the
// network binding, and a pseudo-terminal through the system's binding, so the network ports are
// held to what a local port does. What the protocol cannot express is listed in
// tests/net/README.md.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Peer.h"
#include "serial/ComPort.h"
#include "serial/SystemErrors.h"

namespace {

using namespace std::chrono;
using Bytes = std::vector<unsigned char>;

struct TServerKind {
  const char* name;
  // Starts the server; returns the port name to open.
  std::string (*start)(std::unique_ptr<TPeer>& peer);
  bool busyClosesAtOnce;  // a second client is refused at once (else it waits unanswered)
  // How long the server takes to serve a new client after the last one left: pySerial's
  // example server ends its reader thread by its port's 3 s read time-out first.
  int reopenAfterMs;
  // A network port names itself in its error texts; a device port gives the platform's text.
  bool errorNamesPort = true;
  // DTR comes back as DSR; without modem lines (a pseudo-terminal) both raise instead.
  bool modemLines = true;
  // Data bits and parity are carried; a pseudo-terminal runs 8 bits without parity and refuses
  // other framings.
  bool anyFraming = true;
};

// Test output names the server, not the bytes of the case.
void PrintTo(const TServerKind& kind, std::ostream* out) { *out << kind.name; }

std::string StartSimEcho(std::unique_ptr<TPeer>& peer) {
  peer = std::make_unique<TPeer>(TPTUNE_SIM, std::vector<std::string>{"--echo", "--listen",
                                                                        "127.0.0.1:0"});
  const std::string line = peer->WaitForLine("ECHO ", seconds(10));
  if (line.empty() || peer->WaitForLine("ready", seconds(10)).empty())
    throw std::runtime_error("tptune-sim did not start:\n" + peer->Output());
  return line.substr(line.find("rfc2217://"));
}

std::string StartPySerialLoop(std::unique_ptr<TPeer>& peer) {
  const int port = FreeLoopbackPort();
  peer = std::make_unique<TPeer>(kSystemPython, std::vector<std::string>{
                                                    PYSERIAL_RFC2217_SERVER, "-p",
                                                    std::to_string(port), "loop://"});
  if (peer->WaitForLine("TCP/IP port", seconds(15)).empty())
    throw std::runtime_error("pySerial's rfc2217_server.py did not start:\n" + peer->Output());
  return "rfc2217://127.0.0.1:" + std::to_string(port);
}

// The system's binding on a pseudo-terminal whose master side echoes (bench/pty_echo), so the
// same cases hold the network ports to what a local port does.
std::string StartPtyEcho(std::unique_ptr<TPeer>& peer) {
  peer = std::make_unique<TPeer>(PTY_ECHO, std::vector<std::string>{});
  const std::string line = peer->WaitForLine("/dev/", seconds(10));
  if (line.empty()) throw std::runtime_error("pty_echo did not start:\n" + peer->Output());
  return line;
}

const TServerKind kServers[] = {
    {"TptuneSimEcho", StartSimEcho, true, 0},
    {"PySerialLoop", StartPySerialLoop, false, 3500},
    // Refused with EBUSY, or EWOULDBLOCK from the lock for a privileged user; the pseudo-
    // terminal's own tests tell the two apart.
    {"PosixPty", StartPtyEcho, false, 0, false, false, false},
};

class PortContract : public testing::TestWithParam<TServerKind> {
 protected:
  void SetUp() override {
    // A peer that cannot be started fails the test; it is never skipped.
    ASSERT_NO_THROW(name_ = GetParam().start(peer_));
    port_.SetDeviceName(name_);
    port_.SetBaudRate(br9600);
    port_.Timeouts().SetReadConstant(2000);
    ASSERT_NO_THROW(port_.Open()) << peer_->Output();
  }
  void TearDown() override {
    port_.Close();
    if (HasFailure()) std::cerr << "server output:\n" << peer_->Output();
  }

  // Writes bytes and reads as many back (with the read time-outs in force).
  Bytes RoundTrip(const Bytes& sent) {
    port_.Write(sent.data(), static_cast<int32_t>(sent.size()), true);
    Bytes got(sent.size());
    port_.Read(got.data(), static_cast<int32_t>(got.size()), true);
    return got;
  }

  // Waits until the condition holds, at most limit; returns whether it did.
  template <typename F>
  bool Eventually(F condition, milliseconds limit = seconds(3)) {
    const auto deadline = steady_clock::now() + limit;
    while (!condition()) {
      if (steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(milliseconds(5));
    }
    return true;
  }

  std::unique_ptr<TPeer> peer_;
  std::string name_;
  TComPort port_;
};

TEST_P(PortContract, RoundTripOfEveryByteValue) {
  Bytes all(256);
  for (int i = 0; i < 256; ++i) all[static_cast<size_t>(i)] = static_cast<unsigned char>(i);
  EXPECT_EQ(RoundTrip(all), all);
  // Telnet command sequences as data stay data.
  const Bytes telnetLike{0xFF, 0xFA, 0x2C, 0x01, 0xFF, 0xF0, 0xFF, 0xFF, 0xFF, 0xFB, 0x2C};
  EXPECT_EQ(RoundTrip(telnetLike), telnetLike);
  for (unsigned char b : {0x00, 0xFF, 0x80, 0x55}) {
    port_.WriteByte(b);
    EXPECT_EQ(port_.ReadByte(), b);
  }
}

// Read time-outs: which setting ends a read that does not get all its bytes, how soon, and
// that the bytes that did come are delivered.
struct TTimeoutCase {
  const char* what;
  int interval, multiplier, constant;
  int sent, asked;
  int minMs, maxMs;
};

const TTimeoutCase kTimeoutCases[] = {
    {"total: constant", 0, 0, 300, 3, 10, 280, 1500},
    {"total: per byte", 0, 60, 0, 0, 5, 280, 1500},
    {"total: constant plus per byte", 0, 20, 200, 2, 5, 280, 1500},
    {"gap after the last byte", 150, 0, 0, 2, 6, 120, 1500},
    {"gap shorter than the total", 150, 0, 2000, 1, 4, 120, 1500},
};

TEST_P(PortContract, ReadTimeOutsEndShortReads) {
  for (const TTimeoutCase& c : kTimeoutCases) {
    SCOPED_TRACE(c.what);
    port_.Timeouts().SetReadInterval(c.interval);
    port_.Timeouts().SetReadMultiplier(c.multiplier);
    port_.Timeouts().SetReadConstant(c.constant);
    Bytes sent(static_cast<size_t>(c.sent));
    for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<unsigned char>(0xF0 + i * 7);
    if (!sent.empty()) port_.Write(sent.data(), static_cast<int32_t>(sent.size()), true);
    Bytes got(static_cast<size_t>(c.asked), 0xEE);
    const auto start = steady_clock::now();
    try {
      port_.Read(got.data(), c.asked, true);
      ADD_FAILURE() << "a short read must end in Timeout";
    } catch (const EComError& e) {
      EXPECT_STREQ(e.what(), "Timeout");
    }
    const auto ms = duration_cast<milliseconds>(steady_clock::now() - start).count();
    EXPECT_GE(ms, c.minMs);
    EXPECT_LE(ms, c.maxMs);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + c.sent), sent);
  }
}

TEST_P(PortContract, QueuedCountAndPurge) {
  const Bytes five{1, 2, 0xFF, 4, 5};
  port_.Write(five.data(), 5, true);
  EXPECT_TRUE(Eventually([&] { return port_.InputCount() == 5; })) << port_.InputCount();
  port_.PurgeInput();
  EXPECT_EQ(port_.InputCount(), 0);
  port_.PurgeOutput();
  // Nothing stale comes after the purge.
  EXPECT_EQ(RoundTrip({0x42}), Bytes{0x42});
  EXPECT_EQ(port_.InputCount(), 0);
}

TEST_P(PortContract, SecondOpenerIsRefused) {
  TComPort second;
  second.SetDeviceName(name_);
  const auto start = steady_clock::now();
  try {
    second.Open();
    ADD_FAILURE() << "a second opener got in";
  } catch (const EComError& e) {
    if (GetParam().busyClosesAtOnce) {
      EXPECT_EQ(e.ErrorCode(), kErrPortInUse) << e.what();
    }
    if (GetParam().errorNamesPort) {
      EXPECT_NE(std::string(e.what()).find(name_), std::string::npos) << e.what();
    }
  }
  EXPECT_LT(steady_clock::now() - start, seconds(5));
  EXPECT_FALSE(second.Active());
  // The first opener is unharmed.
  EXPECT_EQ(RoundTrip({7, 8}), (Bytes{7, 8}));
}

TEST_P(PortContract, ClosedPortRaises) {
  port_.Close();
  unsigned char b = 0;
  for (auto op : std::vector<void (*)(TComPort&, unsigned char&)>{
           [](TComPort& p, unsigned char& x) { p.Read(&x, 1, true); },
           [](TComPort& p, unsigned char& x) { p.Write(&x, 1, true); },
           [](TComPort& p, unsigned char&) { p.ModemStatus(); },
       }) {
    try {
      op(port_, b);
      ADD_FAILURE() << "an operation on a closed port passed";
    } catch (const EComError& e) {
      EXPECT_STREQ(e.what(), "Can't perform this operation on a closed port");
    }
  }
  // And it opens again on the same server.
  std::this_thread::sleep_for(milliseconds(GetParam().reopenAfterMs));
  try {
    port_.Open();
  } catch (const EComError& e) {
    FAIL() << e.what();
  }
  EXPECT_EQ(RoundTrip({0xFF}), Bytes{0xFF});
}

TEST_P(PortContract, SpeedAndFramingChangesAreAccepted) {
  port_.SetBaudRate(br115200);
  port_.SetStopBits(sb2);
  if (GetParam().anyFraming) {
    port_.SetDataBits(db7);
    port_.SetParity(paEven);
  } else {
    // A refused value stays set on the port object, as with any refused setting: each is put
    // back before the next change is applied.
    EXPECT_THROW(port_.SetDataBits(db7), EComError);
    port_.SetDataBits(db8);
    EXPECT_THROW(port_.SetParity(paEven), EComError);
    port_.SetParity(paNone);
  }
  EXPECT_EQ(RoundTrip({0x11, 0x22}), (Bytes{0x11, 0x22}));
  port_.SetCustomBaudRate(250000);
  port_.SetDataBits(db8);
  port_.SetParity(paNone);
  port_.SetStopBits(sb1);
  EXPECT_EQ(RoundTrip({0x33}), Bytes{0x33});
}

// Both loop-back servers wire DTR to DSR, as a loop-back plug does. DSR comes from the server's
// notifications, so the change shows after a while, not at once.
TEST_P(PortContract, DtrComesBackAsDsr) {
  if (!GetParam().modemLines) {
    EXPECT_THROW(port_.FlowControl().SetDTR(dcDisable), EComError);
    EXPECT_THROW(port_.ModemStatus(), EComError);
    return;
  }
  port_.FlowControl().SetDTR(dcEnable);
  EXPECT_TRUE(Eventually([&] { return port_.ModemStatus().Contains(msDSR); }));
  port_.FlowControl().SetDTR(dcDisable);
  EXPECT_TRUE(Eventually([&] { return !port_.ModemStatus().Contains(msDSR); }));
  port_.FlowControl().SetDTR(dcEnable);
  EXPECT_TRUE(Eventually([&] { return port_.ModemStatus().Contains(msDSR); }));
}

INSTANTIATE_TEST_SUITE_P(Servers, PortContract, testing::ValuesIn(kServers),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
