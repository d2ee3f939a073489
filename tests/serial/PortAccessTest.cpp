// Ports the user may not open: the check of the device node, the hint, and the refused open.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "serial/ComPort.h"
#include "serial/PortAccess.h"
#include "tests/common/Unprivileged.h"

namespace {

namespace fs = std::filesystem;

TEST(PortAccess, TheHintNamesTheGroupAndTheCommandThatHelps) {
  struct Case {
    const char* what;
    TPortAccess access;
    std::string user, hint;
  } cases[] = {
      {"the group may open it: join it", {true, false, "dialout", true}, "op",
       "Hint: no permission to open /dev/ttyUSB0. It belongs to group \"dialout\"; add the user "
       "to it with: sudo usermod -aG dialout op (then log out and in again)."},
      {"user unknown", {true, false, "uucp", true}, "",
       "Hint: no permission to open /dev/ttyUSB0. It belongs to group \"uucp\"; add the user to "
       "it with: sudo usermod -aG uucp $USER (then log out and in again)."},
      {"the group has no access: joining would not help", {true, false, "dialout", false}, "op",
       "Hint: no permission to open /dev/ttyUSB0. Its group \"dialout\" may not open it either; a "
       "udev rule can give it one (example: 99-tptune.rules, with the tool)."},
      {"group root: not a group to join", {true, false, "root", true}, "op",
       "Hint: no permission to open /dev/ttyUSB0. Its group \"root\" may not open it either; a "
       "udev rule can give it one (example: 99-tptune.rules, with the tool)."},
      {"no node to look at", {false, true, "", false}, "op",
       "Hint: no permission to open /dev/ttyUSB0. Ask for access to it, or join the group that "
       "owns it (ls -l /dev/ttyUSB0 shows it)."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(PermissionHint("/dev/ttyUSB0", c.access, c.user), c.hint);
  }
  EXPECT_EQ(PortAccessMark({true, false, "dialout", true}), "no permission (group dialout)");
  EXPECT_EQ(PortAccessMark({true, true, "dialout", true}), "");
  for (int e : {EACCES, EPERM}) EXPECT_TRUE(IsPermissionError(e)) << e;
  for (int e : {0, EBUSY, ENOENT, EIO}) EXPECT_FALSE(IsPermissionError(e)) << e;
}

class PortNodes : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("tptune-nodes-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    unprivileged::MakeNode(dir_ / "ttyLOCKED", 0060);
    unprivileged::MakeNode(dir_ / "ttyOPEN", 0666);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

// Seen by an ordinary user: the node of another group is marked, its group read from the node,
// and opening it is refused with the error that calls for the hint.
TEST_F(PortNodes, ANodeOfAnotherGroupIsMarkedAndRefused) {
  const std::string locked = (dir_ / "ttyLOCKED").string(), open = (dir_ / "ttyOPEN").string();
  const std::string seen = unprivileged::Run([&] {
    const TPortAccess a = PortAccess(locked), b = PortAccess(open);
    std::string r = std::to_string(a.Node) + std::to_string(a.MayOpen) + std::to_string(a.GroupMayOpen) +
                    " " + a.Group + " " + std::to_string(b.MayOpen) + " ";
    TComPort port;
    port.SetDeviceName(locked);
    try {
      port.Open();
      r += "opened";
    } catch (const EComError& e) {
      r += IsPermissionError(e.ErrorCode()) ? "refused" : "other error " + std::to_string(e.ErrorCode());
    }
    return r;
  });
  EXPECT_EQ(seen, "101 " + unprivileged::GroupName(unprivileged::NodeGroup()) + " 1 refused");
}

TEST_F(PortNodes, ANameWithoutANodeIsNotMarked) {
  const TPortAccess a = PortAccess((dir_ / "SIM1").string());
  EXPECT_FALSE(a.Node);
  EXPECT_TRUE(a.MayOpen);
  EXPECT_EQ(PortAccessMark(a), "");
}

}  // namespace
