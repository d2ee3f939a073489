// The list of serial devices, read from a fake sysfs and /dev tree in a temporary directory.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "serial/PosixPorts.h"

namespace {

namespace fs = std::filesystem;
using testing::ElementsAre;

class FakeSysfs : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("serial-ports-" + std::to_string(getpid()) + "-" +
             testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(Sys() / "class" / "tty");
    fs::create_directories(Sys() / "devices" / "platform");
    fs::create_directories(Dev() / "serial" / "by-id");
  }
  void TearDown() override { fs::remove_all(root_); }

  fs::path Sys() const { return root_ / "sys"; }
  fs::path Dev() const { return root_ / "dev"; }

  // A tty as sysfs shows it: with a device link when a driver stands behind it, a UART type
  // for legacy serial slots, and its device node.
  void AddTty(const std::string& name, bool withDevice, int uartType = -1, bool node = true) {
    const fs::path dir = Sys() / "class" / "tty" / name;
    fs::create_directories(dir);
    if (withDevice) fs::create_directory_symlink("../../devices/platform", dir / "device");
    if (uartType >= 0) std::ofstream(dir / "type") << uartType << "\n";
    if (node) std::ofstream(Dev() / name).put('\0');
  }

  std::vector<std::string> List() const {
    std::vector<std::string> names;
    EnumPosixPortsIn(Sys(), Dev(), names);
    return names;
  }

  fs::path root_;
};

TEST_F(FakeSysfs, ListsRealDevicesOnceInNaturalOrderUnderStableNames) {
  AddTty("ttyS10", true, 4);
  AddTty("ttyS0", true, 4);
  AddTty("ttyS1", true, 0);  // legacy slot without a UART
  AddTty("ttyS2", true, 4);
  AddTty("ttyUSB0", true);
  AddTty("ttyACM0", true);
  AddTty("tty1", false);     // a virtual console
  AddTty("console", false);
  AddTty("ttyUSB1", true, -1, false);  // no device node to open
  const std::string stable = "usb-Maker_Adapter_A1B2-if00-port0";
  fs::create_symlink("../../ttyUSB0", Dev() / "serial" / "by-id" / stable);

  const std::string dev = Dev().string();
  EXPECT_THAT(List(), ElementsAre(dev + "/ttyACM0", dev + "/ttyS0", dev + "/ttyS2",
                                  dev + "/ttyS10", dev + "/serial/by-id/" + stable));
}

TEST_F(FakeSysfs, AppendsToTheCallersListAndFindsNothingWithoutDevices) {
  AddTty("tty0", false);
  std::vector<std::string> names{"SIM1"};
  EnumPosixPortsIn(Sys(), Dev(), names);
  EXPECT_THAT(names, ElementsAre("SIM1"));
  // No sysfs at all is no error either.
  EnumPosixPortsIn(root_ / "missing", Dev(), names);
  EXPECT_THAT(names, ElementsAre("SIM1"));
}

}  // namespace
