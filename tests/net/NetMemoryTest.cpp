// Memory on both sides stays bounded when the other side floods: tptune-sim when a client
// floods a port with no device behind it, or floods its echo port without reading; the network
// port when a server floods it before it agrees to the COM port option. Each prints its peak.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "Peer.h"
#include "serial/ComPort.h"
#include "sim/Bench.h"

using namespace std::chrono;

namespace {

constexpr long kLimitKiB = 64 * 1024;
constexpr size_t kFlood = 20u << 20;

int ConnectLoopback(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  fcntl(fd, F_SETFL, O_NONBLOCK);
  return fd;
}

int PortOf(const std::string& line) { return std::stoi(line.substr(line.rfind(':') + 1)); }

// Sends up to 20 MiB of 0x41 (never read back) for at most limit; how many bytes went.
size_t Flood(int fd, milliseconds limit) {
  const std::vector<uint8_t> chunk(64 * 1024, 0x41);
  size_t sent = 0;
  const auto until = steady_clock::now() + limit;
  while (sent < kFlood && steady_clock::now() < until) {
    const ssize_t n = send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    pollfd p{fd, POLLOUT, 0};
    poll(&p, 1, 50);
  }
  return sent;
}

struct TFloodCase {
  const char* what;
  std::vector<std::string> args;
  const char* port;  // the port flooded
};

TEST(Memory, TptuneSimStaysBoundedUnderAFlood) {
  // Under AddressSanitizer freed memory waits in a quarantine of up to 256 MB before reuse;
  // without it the peak is the program's own.
  setenv("ASAN_OPTIONS", "quarantine_size_mb=0", 1);
  const TFloodCase cases[] = {
      {"a port with no device", {SCENARIO, "--speed-factor", "1000"}, "SIM3 "},
      {"an echo port whose client does not read", {"--echo"}, "ECHO "},
  };
  for (const TFloodCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--listen", "127.0.0.1:0"});
    TPeer sim(TPTUNE_SIM, args);
    const std::string line = sim.WaitForLine(c.port, seconds(10));
    ASSERT_FALSE(line.empty()) << sim.Output();
    ASSERT_FALSE(sim.WaitForLine("ready", seconds(10)).empty()) << sim.Output();
    const int fd = ConnectLoopback(PortOf(line));
    ASSERT_GE(fd, 0);
    const size_t sent = Flood(fd, seconds(3));
    const long peak = PeakMemoryKiB(sim.Pid());
    std::cerr << c.what << ": " << sent << " bytes taken in 3 s, tptune-sim peak " << peak / 1024
              << " MiB\n";
    EXPECT_GT(peak, 0);
    EXPECT_LT(peak, kLimitKiB);
    close(fd);
    EXPECT_EQ(sim.Stop(), 0) << sim.Output();
  }
  unsetenv("ASAN_OPTIONS");
}

// While one port is flooded, the dongle on another answers its handshake in time.
TEST(Memory, AFloodedPortDoesNotHoldUpTheOthers) {
  TPeer sim(TPTUNE_SIM, {SCENARIO, "--speed-factor", "1000", "--listen", "127.0.0.1:0"});
  const std::string dongle = sim.WaitForLine("SIM1 ", seconds(10));
  const std::string idle = sim.WaitForLine("SIM3 ", seconds(10));
  ASSERT_FALSE(idle.empty()) << sim.Output();
  const int fd = ConnectLoopback(PortOf(idle));
  ASSERT_GE(fd, 0);
  std::atomic<bool> done{false};
  std::thread flood([&] {
    while (!done) Flood(fd, milliseconds(200));
  });
  TComPort port;
  port.SetDeviceName(dongle.substr(dongle.find("rfc2217://")));
  port.Timeouts().SetReadConstant(250);
  port.FlowControl().SetDTR(dcDisable);
  port.FlowControl().SetRTS(rcEnable);
  ASSERT_NO_THROW(port.Open());
  port.FlowControl().SetDTR(dcEnable);
  port.FlowControl().SetRTS(rcDisable);
  port.PurgeInput();
  const auto hw = TBench::DefaultScenario()["dongle"]["hw_version"].get<int>();
  for (int round = 0; round < 20; ++round) {
    port.WriteByte(0x80);  // the version byte again and again: one round trip each
    ASSERT_EQ(port.ReadByte(), hw) << "round " << round;
  }
  done = true;
  flood.join();
  close(fd);
  EXPECT_EQ(sim.Stop(), 0) << sim.Output();
}

// A server that floods data and never agrees to the COM port option: the port gives up after
// its 3 s, having kept no more than its input buffer.
TEST(Memory, NetworkPortStaysBoundedUnderAFloodingServer) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
  listen(listener, 1);
  size_t sent = 0;
  std::thread server([&] {
    const int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) return;
    fcntl(fd, F_SETFL, O_NONBLOCK);
    sent = Flood(fd, seconds(4));
    close(fd);
  });
  const long before = PeakMemoryKiB(getpid());
  TComPort port;
  port.SetDeviceName("rfc2217://127.0.0.1:" + std::to_string(ntohs(a.sin_port)));
  try {
    port.Open();
    ADD_FAILURE() << "opened";
  } catch (const EComError& e) {
    EXPECT_NE(std::string(e.what()).find("did not answer option COM-PORT-OPTION"), std::string::npos)
        << e.what();
  }
  const long after = PeakMemoryKiB(getpid());
  server.join();
  close(listener);
  std::cerr << "flooding server: " << sent << " bytes sent, client peak grew by "
            << (after - before) / 1024 << " MiB\n";
  EXPECT_LT(after - before, kLimitKiB);
}

}  // namespace
