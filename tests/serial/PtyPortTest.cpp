// TComPort on the POSIX terminal binding, against real pseudo-terminals: the test holds the
// master side and plays the device at the other end of the line.
#include <dlfcn.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "SpeedProbe.h"
#include "serial/ComPort.h"

namespace {

// How often the port layer asked for transmission to be waited for.
std::atomic<int> gDrains{0};

}  // namespace

// Counts the drains: this program's tcdrain stands in front of the C library's, which it calls.
extern "C" int tcdrain(int fd) {
  using TDrain = int (*)(int);
  static const auto next = reinterpret_cast<TDrain>(dlsym(RTLD_NEXT, "tcdrain"));
  gDrains.fetch_add(1);
  return next(fd);
}

namespace {

using Bytes = std::vector<uint8_t>;
using SteadyClock = std::chrono::steady_clock;

long ElapsedMs(SteadyClock::time_point since) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               SteadyClock::now() - since)
                               .count());
}

// The settings the main window gives both of its ports.
void ConfigureLikeTheWindow(TComPort& port) {
  port.SetBaudRate(br9600);
  port.SetDataBits(db8);
  port.SetParity(paNone);
  port.SetStopBits(sb1);
  port.FlowControl().SetDTR(dcDisable);
  port.FlowControl().SetRTS(rcEnable);
  port.FlowControl().SetXOnXOff(xcDisable);
  port.SetPriorityClass(pcNormal);
  port.SetThreadPriority(tpNormal);
  port.Timeouts().SetReadConstant(50);
}

class PtyPort : public ::testing::Test {
 protected:
  void SetUp() override {
    int slave = -1;
    char name[256] = {};
    ASSERT_EQ(openpty(&master_, &slave, name, nullptr, nullptr), 0) << std::strerror(errno);
    close(slave);
    device_ = name;
    ConfigureLikeTheWindow(port_);
    port_.SetDeviceName(device_);
  }

  void TearDown() override {
    port_.Close();
    CloseMaster();
  }

  void CloseMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

  void PeerSend(const Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
      ASSERT_GT(n, 0) << std::strerror(errno);
      done += static_cast<size_t>(n);
    }
  }

  // What the port sent, up to count bytes, waiting at most a few seconds for them.
  Bytes PeerReceive(size_t count) {
    Bytes got;
    const auto start = SteadyClock::now();
    while (got.size() < count && ElapsedMs(start) < 5000) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      unsigned char buf[4096];
      const ssize_t n = read(master_, buf, std::min(sizeof buf, count - got.size()));
      if (n <= 0) break;
      got.insert(got.end(), buf, buf + n);
    }
    return got;
  }

  // The terminal settings as the device holds them (the master reports the slave's).
  termios DeviceTermios() const {
    termios t{};
    EXPECT_EQ(tcgetattr(master_, &t), 0) << std::strerror(errno);
    return t;
  }

  // Waits a few seconds at most until the port reports count bytes queued.
  void AwaitInputCount(int32_t count) {
    const auto start = SteadyClock::now();
    while (port_.InputCount() < count && ElapsedMs(start) < 5000)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }

  int master_ = -1;
  std::string device_;
  TComPort port_;
};

TEST_F(PtyPort, BytesPassUntouchedInBothDirections) {
  port_.Open();
  // Characters that a terminal not in raw mode would act on: XON/XOFF, NUL, CR, LF, the
  // interrupt/quit/suspend/end-of-file/erase characters, and bytes with the top bit set.
  const Bytes special = {0x11, 0x13, 0x00, 0x0D, 0x0A, 0x03, 0x1C, 0x1A,
                         0x04, 0x7F, 0x08, 0x15, 0x16, 0x12, 0xFF, 0x80};
  for (uint8_t b : special) {
    SCOPED_TRACE(testing::Message() << "byte 0x" << std::hex << int(b));
    PeerSend({b});
    EXPECT_EQ(port_.ReadByte(), b);
    port_.WriteByte(b);
    EXPECT_EQ(PeerReceive(1), Bytes{b});
  }

  // A block of every byte value, both ways, waited for.
  Bytes block;
  for (int round = 0; round < 8; ++round)
    for (int v = 0; v < 256; ++v) block.push_back(static_cast<uint8_t>(v));
  port_.Timeouts().SetReadConstant(5000);
  PeerSend(block);
  Bytes in(block.size());
  port_.Read(in.data(), static_cast<int32_t>(in.size()), true);
  EXPECT_EQ(in, block);
  port_.Write(block.data(), static_cast<int32_t>(block.size()), true);
  EXPECT_EQ(PeerReceive(block.size()), block);
}

TEST_F(PtyPort, OpenPutsTheLineIntoRawModeWithTheWindowSettings) {
  // A fresh pseudo-terminal starts cooked: canonical input, echo, CR/NL mapping, XON/XOFF.
  ASSERT_TRUE(DeviceTermios().c_lflag & ICANON);
  port_.Open();
  const termios t = DeviceTermios();
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_FALSE(t.c_cflag & (PARENB | CSTOPB | CRTSCTS));
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_FALSE(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | INPCK));
  EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN));
  EXPECT_FALSE(t.c_oflag & OPOST);
}

struct LineCase {
  const char* name;
  std::function<void(TComPort&)> change;
  std::function<bool(const termios&)> holds;
};

// Settings a pseudo-terminal holds (it runs 8 data bits without parity whatever it is told).
const LineCase kLineCases[] = {
    {"19200 bit/s", [](TComPort& p) { p.SetBaudRate(br19200); },
     [](const termios& t) { return cfgetospeed(&t) == B19200; }},
    {"two stop bits", [](TComPort& p) { p.SetStopBits(sb2); },
     [](const termios& t) { return (t.c_cflag & CSTOPB) != 0; }},
    {"XON/XOFF both ways", [](TComPort& p) { p.FlowControl().SetXOnXOff(xcInputOutput); },
     [](const termios& t) { return (t.c_iflag & (IXON | IXOFF)) == (IXON | IXOFF); }},
    {"XON/XOFF output only with own characters",
     [](TComPort& p) {
       p.Characters().SetXOn(0x01);
       p.Characters().SetXOff(0x02);
       p.FlowControl().SetXOnXOff(xcOutput);
     },
     [](const termios& t) {
       return (t.c_iflag & (IXON | IXOFF)) == IXON && t.c_cc[VSTART] == 0x01 &&
              t.c_cc[VSTOP] == 0x02;
     }},
    {"RTS/CTS handshake", [](TComPort& p) { p.FlowControl().SetRTS(rcHandshake); },
     [](const termios& t) { return (t.c_cflag & CRTSCTS) != 0; }},
    {"parity checking", [](TComPort& p) { p.SetOptions({opCheckParity}); },
     [](const termios& t) { return (t.c_iflag & INPCK) != 0; }},
};

TEST_F(PtyPort, SettingChangesReachAnOpenDeviceAtOnceAndAClosedOneAtOpen) {
  for (const LineCase& c : kLineCases) {
    SCOPED_TRACE(c.name);
    {
      TComPort open;
      ConfigureLikeTheWindow(open);
      open.SetDeviceName(device_);
      open.Open();
      ASSERT_FALSE(c.holds(DeviceTermios()));
      c.change(open);
      EXPECT_TRUE(c.holds(DeviceTermios()));
    }
    {
      TComPort closed;
      ConfigureLikeTheWindow(closed);
      closed.SetDeviceName(device_);
      closed.Open();
      closed.Close();
      c.change(closed);
      EXPECT_FALSE(c.holds(DeviceTermios())) << "changed the device while closed";
      closed.Open();
      EXPECT_TRUE(c.holds(DeviceTermios()));
    }
  }
}

TEST_F(PtyPort, RatesWithoutATerminalConstantGoThroughTheArbitraryRateInterface) {
  port_.Open();
  ASSERT_EQ(OutputSpeedOf(master_), 9600);
  struct {
    std::function<void()> set;
    long rate;
  } steps[] = {
      {[&] { port_.SetBaudRate(br10400); }, 10400},
      {[&] { port_.SetBaudRate(br256000); }, 256000},
      {[&] { port_.SetCustomBaudRate(250000); }, 250000},
      {[&] { port_.SetBaudRate(br9600); }, 9600},  // back to a standard rate
      {[&] { port_.SetCustomBaudRate(115200); }, 115200},
  };
  for (auto& s : steps) {
    s.set();
    EXPECT_EQ(OutputSpeedOf(master_), s.rate);
  }
}

TEST_F(PtyPort, SettingsTheLineCannotHaveAreRefusedWithThePlatformError) {
  struct Case {
    const char* name;
    std::function<void(TComPort&)> change;
    std::vector<int> errors;  // acceptable error numbers
  } cases[] = {
      // Not expressible as terminal settings at all.
      {"4 data bits", [](TComPort& p) { p.SetDataBits(db4); }, {EINVAL}},
      {"DSR output flow", [](TComPort& p) { p.SetOptions({opOutputDSRFlow}); }, {EINVAL}},
      // The driver substitutes its own framing: a pseudo-terminal stays at 8 bits, no parity.
      {"7 data bits", [](TComPort& p) { p.SetDataBits(db7); }, {EINVAL}},
      {"5 data bits", [](TComPort& p) { p.SetDataBits(db5); }, {EINVAL}},
      {"even parity", [](TComPort& p) { p.SetParity(paEven); }, {EINVAL}},
      {"mark parity", [](TComPort& p) { p.SetParity(paMark); }, {EINVAL}},
      // RTS while sending needs the driver's RS-485 mode, which a pseudo-terminal lacks.
      {"RTS toggle", [](TComPort& p) { p.FlowControl().SetRTS(rcToggle); }, {ENOTTY, EINVAL}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    {
      // On an open port the setter raises, the device keeps its previous settings, and the
      // port stays open and usable.
      TComPort open;
      ConfigureLikeTheWindow(open);
      open.SetDeviceName(device_);
      open.Open();
      const termios before = DeviceTermios();
      try {
        c.change(open);
        ADD_FAILURE() << "no error";
      } catch (const EComError& e) {
        EXPECT_THAT(c.errors, testing::Contains(e.ErrorCode()));
        EXPECT_EQ(std::string(e.what()), std::strerror(e.ErrorCode()));
      }
      const termios after = DeviceTermios();
      EXPECT_EQ(after.c_cflag, before.c_cflag);
      EXPECT_EQ(after.c_iflag, before.c_iflag);
      EXPECT_TRUE(open.Active());
      PeerSend({0x5A});
      EXPECT_EQ(open.ReadByte(), 0x5A);
    }
    {
      // Stored while closed, the setting makes Open fail and leaves the port closed.
      TComPort closed;
      ConfigureLikeTheWindow(closed);
      closed.SetDeviceName(device_);
      c.change(closed);
      try {
        closed.Open();
        ADD_FAILURE() << "Open succeeded";
      } catch (const EComError& e) {
        EXPECT_THAT(c.errors, testing::Contains(e.ErrorCode()));
      }
      EXPECT_FALSE(closed.Active());
    }
  }
}

TEST_F(PtyPort, ReadsEndAfterTheirTimeoutsWithTimeoutAndThePortStaysUsable) {
  struct Case {
    const char* name;
    int interval, multiplier, constant;
    int32_t length;
    Bytes arriving;  // sent by the peer before the read starts
    long minElapsedMs;
  } cases[] = {
      {"total constant", 0, 0, 200, 1, {}, 160},
      {"multiplier per byte", 0, 50, 0, 4, {}, 160},
      {"gap after some bytes", 150, 0, 0, 10, {1, 2, 3}, 120},
  };
  port_.Open();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    port_.Timeouts().SetReadInterval(c.interval);
    port_.Timeouts().SetReadMultiplier(c.multiplier);
    port_.Timeouts().SetReadConstant(c.constant);
    PeerSend(c.arriving);
    Bytes buffer(static_cast<size_t>(c.length), 0xEE);
    const auto start = SteadyClock::now();
    try {
      port_.Read(buffer.data(), c.length, true);
      ADD_FAILURE() << "no Timeout";
    } catch (const EComError& e) {
      EXPECT_EQ(std::string(e.what()), "Timeout");
      EXPECT_EQ(e.ErrorCode(), 0);
    }
    EXPECT_GE(ElapsedMs(start), c.minElapsedMs);
    EXPECT_TRUE(std::equal(c.arriving.begin(), c.arriving.end(), buffer.begin()));
    EXPECT_TRUE(port_.Active());
    // The next read starts afresh.
    port_.Timeouts().SetReadInterval(0);
    port_.Timeouts().SetReadMultiplier(0);
    port_.Timeouts().SetReadConstant(2000);
    PeerSend({0x42});
    EXPECT_EQ(port_.ReadByte(), 0x42);
  }
}

TEST_F(PtyPort, InputCountSeesQueuedBytesAndPurgeInputDiscardsThem) {
  port_.Open();
  EXPECT_EQ(port_.InputCount(), 0);
  PeerSend({0x10, 0x20});
  AwaitInputCount(2);
  EXPECT_EQ(port_.InputCount(), 2);
  port_.PurgeInput();
  EXPECT_EQ(port_.InputCount(), 0);
  EXPECT_THROW(port_.ReadByte(), EComError);
  PeerSend({0x30});
  EXPECT_EQ(port_.ReadByte(), 0x30);
}

TEST_F(PtyPort, ASecondOpenerIsRefusedUntilTheFirstCloses) {
  port_.Open();
  TComPort second;
  second.SetDeviceName(device_);
  try {
    second.Open();
    ADD_FAILURE() << "second open succeeded";
  } catch (const EComError& e) {
    // EBUSY from the terminal's exclusive mode, EWOULDBLOCK from the lock (privileged users).
    EXPECT_TRUE(e.ErrorCode() == EBUSY || e.ErrorCode() == EWOULDBLOCK) << e.ErrorCode();
    EXPECT_EQ(std::string(e.what()), std::strerror(e.ErrorCode()));
  }
  EXPECT_FALSE(second.Active());
  // The refused opener left the first one's exclusive use intact.
  PeerSend({0x77});
  EXPECT_EQ(port_.ReadByte(), 0x77);
  port_.Close();
  second.Open();
  EXPECT_TRUE(second.Active());
  second.Close();
  // Closing released the exclusive mode and the lock: the first port can open again.
  port_.Open();
  EXPECT_TRUE(port_.Active());
}

TEST_F(PtyPort, OpenOfAMissingDeviceFailsAndAnotherNameThenWorks) {
  TComPort port;
  ConfigureLikeTheWindow(port);
  port.SetDeviceName("/dev/ttyNoSuchDevice7");
  try {
    port.Open();
    ADD_FAILURE() << "Open succeeded";
  } catch (const EComError& e) {
    EXPECT_EQ(e.ErrorCode(), ENOENT);
    EXPECT_EQ(std::string(e.what()), std::strerror(ENOENT));
  }
  EXPECT_FALSE(port.Active());
  port.SetDeviceName(device_);
  port.Open();
  EXPECT_TRUE(port.Active());
  PeerSend({0x99});
  EXPECT_EQ(port.ReadByte(), 0x99);
}

TEST_F(PtyPort, DeviceNameChangesOnlyWhileClosed) {
  port_.Open();
  port_.Open();  // harmless
  EXPECT_NO_THROW(port_.SetDeviceName(device_));
  try {
    port_.SetDeviceName("/dev/ttyS0");
    ADD_FAILURE() << "no error";
  } catch (const EComError& e) {
    EXPECT_EQ(std::string(e.what()), "Can't perform this operation on an open port");
    EXPECT_EQ(e.ErrorCode(), 0);
  }
  EXPECT_EQ(port_.DeviceName(), device_);
  port_.Close();
  port_.Close();  // harmless
  EXPECT_FALSE(port_.Active());
  port_.SetDeviceName("/dev/ttyS0");
  EXPECT_EQ(port_.DeviceName(), "/dev/ttyS0");
}

// A pseudo-terminal has no modem lines. Open does without them, whatever DTR and RTS are set
// to, but an order for a line on the open port is refused with the platform's error (a reset
// pulse that cannot happen must not pass unnoticed). The port stays open and usable, and other
// settings, which leave the lines as they are, still apply.
TEST_F(PtyPort, APseudoTerminalHasNoModemLines) {
  const struct {
    const char* name;
    std::function<void(TComPort&)> order;
  } cases[] = {
      {"DTR on", [](TComPort& p) { p.FlowControl().SetDTR(dcEnable); }},
      {"DTR handshake", [](TComPort& p) { p.FlowControl().SetDTR(dcHandshake); }},
      {"RTS off", [](TComPort& p) { p.FlowControl().SetRTS(rcDisable); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    {
      TComPort open;
      ConfigureLikeTheWindow(open);
      open.SetDeviceName(device_);
      ASSERT_NO_THROW(open.Open());
      const TDTRControl dtrBefore = open.FlowControl().DTR();
      const TRTSControl rtsBefore = open.FlowControl().RTS();
      try {
        c.order(open);
        ADD_FAILURE() << "the line change passed unnoticed";
      } catch (const EComError& e) {
        EXPECT_EQ(e.ErrorCode(), ENOTTY);
        EXPECT_EQ(std::string(e.what()), std::strerror(ENOTTY));
      }
      // The refused order is not kept as the port's setting, and it is refused again when given
      // again rather than passing as already done.
      EXPECT_EQ(open.FlowControl().DTR(), dtrBefore);
      EXPECT_EQ(open.FlowControl().RTS(), rtsBefore);
      EXPECT_THROW(c.order(open), EComError);
      EXPECT_TRUE(open.Active());
      EXPECT_NO_THROW(open.SetBaudRate(br19200));
      const termios t = DeviceTermios();
      EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
      PeerSend({0x5A});
      EXPECT_EQ(open.ReadByte(), 0x5A);
      try {
        open.ModemStatus();
        ADD_FAILURE() << "ModemStatus invented line states";
      } catch (const EComError& e) {
        EXPECT_TRUE(e.ErrorCode() == ENOTTY || e.ErrorCode() == EINVAL) << e.ErrorCode();
      }
    }
    {
      // The same setting stored while closed: Open sets the lines it can and opens.
      TComPort closed;
      ConfigureLikeTheWindow(closed);
      closed.SetDeviceName(device_);
      c.order(closed);
      EXPECT_NO_THROW(closed.Open());
      EXPECT_TRUE(closed.Active());
    }
  }
}

TEST_F(PtyPort, AHangUpEndsAReadAtOnceWithThePlatformError) {
  for (bool whileWaiting : {false, true}) {
    SCOPED_TRACE(whileWaiting ? "hang-up while the read waits" : "hang-up before the read");
    CloseMaster();
    int slave = -1;
    char name[256] = {};
    ASSERT_EQ(openpty(&master_, &slave, name, nullptr, nullptr), 0);
    close(slave);
    TComPort port;
    ConfigureLikeTheWindow(port);
    port.SetDeviceName(name);
    port.Open();
    // Long enough that waiting it out would show; a hang-up must not wait.
    port.Timeouts().SetReadConstant(20000);
    std::thread peer;
    if (whileWaiting)
      peer = std::thread([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        CloseMaster();
      });
    else
      CloseMaster();
    const auto start = SteadyClock::now();
    try {
      port.ReadByte();
      ADD_FAILURE() << "read returned a byte";
    } catch (const EComError& e) {
      EXPECT_NE(e.ErrorCode(), 0) << e.what();
    }
    if (peer.joinable()) peer.join();
    EXPECT_LT(ElapsedMs(start), 10000);
    port.Close();
    EXPECT_FALSE(port.Active());
  }
}

TEST_F(PtyPort, AWriteTheDriverCannotTakeInTimeEndsWithTimeout) {
  port_.Open();
  port_.Timeouts().SetWriteConstant(200);
  // Nobody reads the master side, so the line's queues fill up.
  const Bytes lots(1 << 20, 0x55);
  try {
    port_.Write(lots.data(), static_cast<int32_t>(lots.size()), true);
    ADD_FAILURE() << "the whole megabyte went out";
  } catch (const EComError& e) {
    EXPECT_EQ(std::string(e.what()), "Timeout");
    EXPECT_EQ(e.ErrorCode(), 0);
  }
  EXPECT_TRUE(port_.Active());
  port_.PurgeOutput();
}

// Finishing a write waits for the bytes to leave only where write time-outs ask for it. Without
// them a write is complete once the driver has taken its bytes: a byte-by-byte writer (the
// lock-step link) pays no drain per byte.
TEST_F(PtyPort, WritesAreDrainedOnlyWhereWriteTimeoutsAskForIt) {
  const struct {
    const char* name;
    int multiplier, constant;
    int drains;  // for five WriteBytes and one waited Write: six writes finished
  } cases[] = {
      {"no write time-outs", 0, 0, 0},
      {"write constant", 0, 1000, 6},
      {"write multiplier", 100, 0, 6},
  };
  port_.Open();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    port_.Timeouts().SetWriteMultiplier(c.multiplier);
    port_.Timeouts().SetWriteConstant(c.constant);
    const int before = gDrains.load();
    const Bytes bytes = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
    for (size_t i = 0; i + 1 < bytes.size(); ++i) port_.WriteByte(bytes[i]);
    port_.Write(&bytes.back(), 1, true);
    EXPECT_EQ(gDrains.load() - before, c.drains);
    EXPECT_EQ(PeerReceive(bytes.size()), bytes);
  }
}

TEST_F(PtyPort, PriorityClassAppliesToTheOpeningThreadUntilClose) {
  // Run in a thread of its own: nice values are per thread and the test runner's must not move.
  std::thread([this] {
    const id_t tid = static_cast<id_t>(syscall(SYS_gettid));
    errno = 0;
    const int before = getpriority(PRIO_PROCESS, tid);
    ASSERT_EQ(errno, 0);
    TComPort port;
    ConfigureLikeTheWindow(port);
    port.SetDeviceName(device_);
    port.SetPriorityClass(pcIdle);  // lowering the priority is always allowed
    port.Open();
    EXPECT_EQ(getpriority(PRIO_PROCESS, tid), 19);
    try {
      port.SetPriorityClass(pcHigh);
      ADD_FAILURE() << "changed while open";
    } catch (const EComError& e) {
      EXPECT_EQ(std::string(e.what()), "Can't perform this operation on an open port");
    }
    port.Close();
    // Coming back from idle needs the right to raise a priority.
    if (geteuid() == 0) {
      EXPECT_EQ(getpriority(PRIO_PROCESS, tid), before);
    }
  }).join();
}

}  // namespace
