// ser2net (Debian's, a device server no one here wrote) in front of pseudo-terminals whose modem
// lines are emulated (pty_bridge and the preloaded FakeModemLines library): it tells line
// changes when it polls them, once a second, and one of its ports is set to XON/XOFF.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Peer.h"
#include "serial/ComPort.h"

namespace fs = std::filesystem;
using namespace std::chrono;

namespace {

constexpr const char* kSer2net = "/usr/sbin/ser2net";

class Ser2net : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("tptune-ser2net-" + std::to_string(::getpid()) + "-" +
                                        testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "lines");
    // ser2net is a required test peer: a missing one fails the test, never skips it.
    ASSERT_TRUE(fs::exists(kSer2net)) << "ser2net is not installed (scripts/setup-deps.sh)";
  }
  void TearDown() override {
    ser2net_.reset();
    bridges_.clear();
    sim_.reset();
    fs::remove_all(dir_);
  }

  // tptune-sim with args; its served names (SIM1 …, or ECHO) in order.
  std::vector<std::string> StartSim(std::vector<std::string> args, int ports) {
    args.insert(args.end(), {"--listen", "127.0.0.1:0"});
    sim_ = std::make_unique<TPeer>(TPTUNE_SIM, args);
    std::vector<std::string> names;
    for (int i = 0; i < ports; ++i) {
      const std::string line = sim_->WaitForLine("rfc2217://", seconds(10));
      if (line.empty()) throw std::runtime_error("tptune-sim did not start:\n" + sim_->Output());
      names.push_back(line.substr(line.find("rfc2217://")));
    }
    return names;
  }

  // A pseudo-terminal carrying a served port, with modem lines; its slave's name.
  std::string Bridge(const std::string& port) {
    bridges_.push_back(std::make_unique<TPeer>(PTY_BRIDGE, std::vector<std::string>{port, (dir_ / "lines").string()}));
    const std::string line = bridges_.back()->WaitForLine("/dev/", seconds(10));
    if (line.empty()) throw std::runtime_error("pty_bridge did not start:\n" + bridges_.back()->Output());
    return line;
  }

  // ser2net serving each device ("DEVICE[,OPTIONS]") with RFC 2217 on a free port; the names.
  std::vector<std::string> StartSer2net(const std::vector<std::string>& devices) {
    std::ofstream config(dir_ / "ser2net.yaml");
    std::vector<std::string> names;
    for (size_t i = 0; i < devices.size(); ++i) {
      const int port = FreeLoopbackPort();
      config << "connection: &port" << i << "\n  accepter: telnet(rfc2217),tcp,127.0.0.1," << port
             << "\n  connector: serialdev," << devices[i] << "\n";
      names.push_back("rfc2217://127.0.0.1:" + std::to_string(port));
    }
    config.close();
    setenv("FAKE_MODEM_LINES_DIR", (dir_ / "lines").c_str(), 1);
    setenv("LD_PRELOAD", FAKE_MODEM_LINES, 1);
    ser2net_ = std::make_unique<TPeer>(kSer2net, std::vector<std::string>{"-d", "-c", (dir_ / "ser2net.yaml").string()});
    unsetenv("LD_PRELOAD");
    unsetenv("FAKE_MODEM_LINES_DIR");
    // Ready once it takes connections.
    for (const std::string& name : names) {
      TComPort probe;
      probe.SetDeviceName("socket" + name.substr(name.find("://")));
      const auto until = steady_clock::now() + seconds(10);
      for (;;) {
        try {
          probe.Open();
          break;
        } catch (const EComError&) {
          if (steady_clock::now() > until) throw std::runtime_error("ser2net did not start:\n" + ser2net_->Output());
          std::this_thread::sleep_for(milliseconds(50));
        }
      }
    }
    std::this_thread::sleep_for(milliseconds(200));  // the probes' connections are over there too
    return names;
  }

  fs::path dir_;
  std::unique_ptr<TPeer> sim_;
  std::vector<std::unique_ptr<TPeer>> bridges_;
  std::unique_ptr<TPeer> ser2net_;
};

// On a port ser2net has set to XON/XOFF the tool's port asks for no flow control, so the bytes
// 0x11 and 0x13 pass like any other; and DTR comes back as DSR on the loop-back plug, told by
// ser2net's once-a-second poll.
TEST_F(Ser2net, XonXoffPortCarriesEveryByteAndDsrComesLate) {
  const std::vector<std::string> echo = StartSim({"--echo"}, 1);
  const std::vector<std::string> names = StartSer2net({Bridge(echo[0]) + ",9600n81,xonxoff"});
  TComPort port;
  port.SetDeviceName(names[0]);
  port.SetBaudRate(br9600);
  port.FlowControl().SetXOnXOff(xcDisable);
  port.Timeouts().SetReadConstant(3000);
  ASSERT_NO_THROW(port.Open()) << ser2net_->Output();
  std::vector<unsigned char> all(256), back(256);
  for (int i = 0; i < 256; ++i) all[static_cast<size_t>(i)] = static_cast<unsigned char>(i);
  port.Write(all.data(), 256, true);
  try {
    port.Read(back.data(), 256, true);
  } catch (const EComError& e) {
    ADD_FAILURE() << e.what();
  }
  EXPECT_EQ(back, all);

  for (bool on : {false, true}) {
    port.FlowControl().SetDTR(on ? dcEnable : dcDisable);
    const auto start = steady_clock::now();
    while (port.ModemStatus().Contains(msDSR) != on && steady_clock::now() - start < seconds(5))
      std::this_thread::sleep_for(milliseconds(20));
    EXPECT_EQ(port.ModemStatus().Contains(msDSR), on);
    std::cerr << "DSR " << (on ? "on" : "off") << " told after "
              << duration_cast<milliseconds>(steady_clock::now() - start).count() << " ms\n";
  }
}

// The demo job with its dongle behind ser2net, whose DSR news is up to a second late.
TEST_F(Ser2net, WholeJobWithTheDongleBehindSer2netCompletes) {
  const std::vector<std::string> ports =
      StartSim({SCENARIO, "--speed-factor", "1000", "--report", (dir_ / "report.json").string()}, 2);
  const std::vector<std::string> names = StartSer2net({Bridge(ports[0]) + ",9600n81"});
  const std::string demo = DEMO_PACKAGES_DIR;
  TPeer cli(TPTUNE_CLI,
            {"--gold", "server", "--restore-server", "--dongle", names[0], "--server", ports[1],
             "--rf-modem", demo + "/rfmodem.tpf", "--eeprom", demo + "/eeprom.tpf",
             "--server-firmware", demo + "/server.sff", "--answers", "ok,no", "--trace",
             (dir_ / "job.ERR").string(), "--records", "none"},
            false);
  const auto start = steady_clock::now();
  cli.WaitForLine("\x01never\x01", seconds(240));
  const int status = cli.Wait(seconds(1));
  std::cerr << "whole job through ser2net: "
            << duration_cast<milliseconds>(steady_clock::now() - start).count() << " ms\n";
  EXPECT_EQ(status, 0) << cli.Output();
  EXPECT_NE(cli.Output().find("Dongle found on " + names[0]), std::string::npos) << cli.Output();
  EXPECT_NE(cli.Output().find("Disconnect the TallyPilot...\nCompleted successfully!\n"), std::string::npos)
      << cli.Output();
  if (HasFailure()) {
    // The last records of the trace show which byte went unanswered or came back wrong.
    std::ifstream in(dir_ / "job.ERR");
    std::string trace((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::replace(trace.begin(), trace.end(), '\r', ' ');
    std::cerr << "end of the trace: " << trace.substr(trace.size() > 600 ? trace.size() - 600 : 0) << "\n";
  }
}

}  // namespace
