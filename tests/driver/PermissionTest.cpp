// Ports the user may not open, as the console shows them: the hint beside the run's log, once a
// run, and the mark in the port list.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/ConsoleFrontEnd.h"
#include "serial/PortAccess.h"
#include "tests/common/Unprivileged.h"

namespace fs = std::filesystem;

namespace {

class Permissions : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("tptune-perm-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    for (const char* f : {"tpftune.tpf", "srvftune.sff"})
      fs::copy_file(std::string(DEMO_PACKAGES_DIR) + "/" + f, dir_ / f);
    // The program file: a plain program without a firmware bundle (this test itself).
    fs::copy_file("/proc/self/exe", dir_ / "tptune-cli");
    node_ = (dir_ / "ttyUSB7").string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  // A bench whose dongle port carries the name of a stand-in device node.
  std::string Scenario(const std::string& openErrno) const {
    return R"({"ports": [")" + node_ + R"(", "SIM2"], "dongle": {"port": ")" + node_ +
           R"("}, "server": {"port": "SIM2"}, "faults": [{"kind": "open_fails", "port": ")" +
           node_ + R"(", "errno": ")" + openErrno + R"("}]})";
  }

  int Run(TCliOptions o, std::ostringstream& out, std::ostringstream& err) {
    const std::string demo = DEMO_PACKAGES_DIR;
    o.bench = true;
    o.benchScenario = (dir_ / "scenario.json").string();
    o.rfModem = demo + "/rfmodem.tpf";
    o.eeprom = demo + "/eeprom.tpf";
    o.serverFirmware = demo + "/server.sff";
    const int devNull = open("/dev/null", O_RDONLY);
    TCliIo io{out, err, devNull, false, nullptr, {}};
    const int status = RunCli(o, (dir_ / "tptune-cli").string(), io);
    close(devNull);
    return status;
  }

  static size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
  }

  fs::path dir_;
  std::string node_;
};

// Two attempts that each fail to open the dongle's port: the log says what it always says,
// and the hint, naming the node's group and the command, comes once and stays out of the trace.
TEST_F(Permissions, ARefusedPortGetsOneHintPerRun) {
  unprivileged::MakeNode(node_, 0660);
  const std::string group = unprivileged::GroupName(unprivileged::NodeGroup());
  struct Case {
    const char* openErrno;
    bool hint;
  } cases[] = {{"EACCES", true}, {"EPERM", true}, {"EBUSY", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.openErrno);
    std::ofstream(dir_ / "scenario.json") << Scenario(c.openErrno);
    TCliOptions o;
    o.restoreServer = true;
    o.answers = {"ok", "yes", "ok", "no"};
    std::ostringstream out, err;
    EXPECT_EQ(Run(o, out, err), 1);
    const std::string log = out.str();
    EXPECT_EQ(Count(log, "\nDongle not found!\n"), 2u) << log;
    const std::string hint = "Hint: no permission to open " + node_ + ". It belongs to group \"" +
                             group + "\"; add the user to it with: sudo usermod -aG " + group +
                             " " + CurrentUserName() + " (then log out and in again).\n";
    EXPECT_EQ(Count(log, hint), c.hint ? 1u : 0u) << log;
    EXPECT_EQ(Count(log, "Hint:"), c.hint ? 1u : 0u);
    std::ifstream trace(dir_ / "tptune-cli.ERR", std::ios::binary);
    const std::string traced((std::istreambuf_iterator<char>(trace)), {});
    EXPECT_NE(traced.find(">Dongle not found!\r"), std::string::npos);
    EXPECT_EQ(traced.find("Hint"), std::string::npos);
  }
}

// The port list as an ordinary user sees it: the node of a group the user is not in is marked
// after a tab; the bench's own port, which has no node, is not.
TEST_F(Permissions, ThePortListMarksPortsTheUserMayNotOpen) {
  unprivileged::MakeNode(node_, 0060);
  std::ofstream(dir_ / "scenario.json") << Scenario("EACCES");
  const std::string listed = unprivileged::Run([&] {
    TCliOptions o;
    o.listPorts = true;
    std::ostringstream out, err;
    const int status = Run(o, out, err);
    return std::to_string(status) + "\n" + out.str();
  });
  const std::string group = unprivileged::GroupName(unprivileged::NodeGroup());
  EXPECT_EQ(listed.rfind("0\n", 0), 0u) << listed;
  EXPECT_NE(listed.find("\n" + node_ + "\tno permission (group " + group + ")\n"), std::string::npos)
      << listed;
  EXPECT_NE(listed.find("\nSIM2\n"), std::string::npos) << listed;
}

}  // namespace
