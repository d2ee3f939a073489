// The Win32 binding on a real communications device: a COM port that Wine maps to a
// pseudo-terminal whose master side echoes every byte (tests/serial/wine_com_peer.py, set up by
// scripts/wine-session.sh, which names the port in TPTUNE_WINE_COM).
//
// What Wine cannot show here: a pseudo-terminal has no modem lines, so the escape functions and
// the modem status fail with ERROR_NOT_SUPPORTED (50) there; and Wine lets a second opener in,
// where Windows refuses it with ERROR_ACCESS_DENIED. Both are checked as Wine does them, so a
// change in either shows up.
#include <windows.h>
// After windows.h: the set-up API's headers build on it.
#include <devguid.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "serial/ComPort.h"
#include "serial/PortProvider.h"
#include "serial/SystemErrors.h"

namespace {

using Ms = std::chrono::milliseconds;

class WineComPort : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* name = std::getenv("TPTUNE_WINE_COM");
    if (name == nullptr || *name == '\0')
      GTEST_SKIP() << "no COM port mapped to an echoing pseudo-terminal (TPTUNE_WINE_COM); "
                      "run under scripts/wine-session.sh";
    name_ = name;
  }

  // A port set up as the front ends set theirs up.
  void SetUpPort(TComPort& port) {
    port.SetDeviceName(name_);
    port.SetBaudRate(br9600);
    port.SetDataBits(db8);
    port.SetParity(paNone);
    port.SetStopBits(sb1);
    port.FlowControl().SetDTR(dcDisable);
    port.FlowControl().SetRTS(rcEnable);
    port.FlowControl().SetXOnXOff(xcDisable);
    port.SetPriorityClass(pcNormal);
    port.Timeouts().SetReadConstant(250);
  }

  // Waits until count bytes are queued (the peer's echo takes a moment), at most a second.
  static int32_t WaitForQueued(TComPort& port, int32_t count) {
    int32_t queued = 0;
    for (int i = 0; i < 100 && (queued = port.InputCount()) < count; ++i)
      std::this_thread::sleep_for(Ms(10));
    return queued;
  }

  std::string name_;
};

TEST_F(WineComPort, EveryByteValueMakesTheRoundTrip) {
  TComPort port;
  SetUpPort(port);
  port.Open();
  ASSERT_TRUE(port.Active());
  std::vector<unsigned char> sent(256), back(256);
  for (int i = 0; i < 256; ++i) sent[static_cast<size_t>(i)] = static_cast<unsigned char>(i);
  // Byte by byte as the link does it, and as one block.
  for (int i = 0; i < 256; ++i) {
    port.WriteByte(sent[static_cast<size_t>(i)]);
    ASSERT_EQ(port.ReadByte(), sent[static_cast<size_t>(i)]) << "byte " << i;
  }
  port.Write(sent.data(), 256, true);
  port.Read(back.data(), 256, true);
  EXPECT_EQ(back, sent);
  port.Close();
  EXPECT_FALSE(port.Active());
}

TEST_F(WineComPort, AReadWithNothingArrivingEndsWithTimeoutAfterItsTotalTime) {
  TComPort port;
  SetUpPort(port);
  port.Open();
  for (int attempt = 0; attempt < 2; ++attempt) {
    const auto start = std::chrono::steady_clock::now();
    try {
      port.ReadByte();
      FAIL() << "a byte came from nowhere";
    } catch (const EComError& e) {
      EXPECT_EQ(std::string(e.what()), "Timeout");
      EXPECT_EQ(e.ErrorCode(), 0);
    }
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, Ms(200));
    EXPECT_LT(took, Ms(2000));
    EXPECT_TRUE(port.Active());
  }
  // A read of three bytes when only two come back is short: "Timeout", with the two read.
  const unsigned char two[2] = {0x5A, 0xA5};
  port.Write(two, 2, true);
  unsigned char three[3] = {};
  try {
    port.Read(three, 3, true);
    FAIL() << "a short read passed";
  } catch (const EComError& e) {
    EXPECT_EQ(std::string(e.what()), "Timeout");
  }
  EXPECT_EQ(three[0], 0x5A);
  EXPECT_EQ(three[1], 0xA5);
  // The port is still usable afterwards.
  port.WriteByte(0x42);
  EXPECT_EQ(port.ReadByte(), 0x42);
}

TEST_F(WineComPort, InputCountSeesQueuedBytesAndPurgeInputDiscardsThem) {
  TComPort port;
  SetUpPort(port);
  port.Open();
  EXPECT_EQ(port.InputCount(), 0);
  port.WriteByte(0x01);
  port.WriteByte(0x02);
  EXPECT_EQ(WaitForQueued(port, 2), 2);
  std::this_thread::sleep_for(Ms(50));
  EXPECT_EQ(port.InputCount(), 2);
  port.PurgeInput();
  EXPECT_EQ(port.InputCount(), 0);
  // Output purge with nothing under way changes nothing for the next transfer.
  port.PurgeOutput();
  port.WriteByte(0x03);
  EXPECT_EQ(port.ReadByte(), 0x03);
}

TEST_F(WineComPort, ThePortListShowsTheMappedPort) {
  TComPort port;
  std::vector<std::string> ports;
  port.EnumComPorts(ports);
  EXPECT_NE(std::find(ports.begin(), ports.end(), name_), ports.end());
  for (const std::string& p : ports) EXPECT_EQ(p.rfind("COM", 0), 0u) << p;
}

// A device in the port class as a driver's installation leaves it: registered, with its friendly
// name and, in its hardware key, the port name it took. Removed again when the object goes.
class PortClassDevice {
 public:
  PortClassDevice(const std::wstring& portName, const std::wstring& friendlyName) {
    list_ = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_PORTS, nullptr);
    if (list_ == INVALID_HANDLE_VALUE) return;
    device_.cbSize = sizeof device_;
    if (!SetupDiCreateDeviceInfoW(list_, L"TPTUNETEST", &GUID_DEVCLASS_PORTS, nullptr, nullptr,
                                  DICD_GENERATE_ID, &device_) ||
        !SetupDiRegisterDeviceInfo(list_, &device_, 0, nullptr, nullptr, nullptr))
      return;
    registered_ = true;
    const DWORD bytes = static_cast<DWORD>((friendlyName.size() + 1) * sizeof(wchar_t));
    const HKEY key = SetupDiCreateDevRegKeyW(list_, &device_, DICS_FLAG_GLOBAL, 0, DIREG_DEV,
                                             nullptr, nullptr);
    ready_ = SetupDiSetDeviceRegistryPropertyW(
                 list_, &device_, SPDRP_FRIENDLYNAME,
                 reinterpret_cast<const BYTE*>(friendlyName.c_str()), bytes) &&
             key != INVALID_HANDLE_VALUE &&
             RegSetValueExW(key, L"PortName", 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(portName.c_str()),
                            static_cast<DWORD>((portName.size() + 1) * sizeof(wchar_t))) ==
                 ERROR_SUCCESS;
    if (key != INVALID_HANDLE_VALUE) RegCloseKey(key);
  }
  ~PortClassDevice() {
    if (registered_) SetupDiRemoveDevice(list_, &device_);
    if (list_ != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(list_);
  }
  bool Ready() const { return ready_; }

 private:
  HDEVINFO list_ = INVALID_HANDLE_VALUE;
  SP_DEVINFO_DATA device_{};
  bool registered_ = false;
  bool ready_ = false;
};

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// The adapter names come from the system's device set-up, as Device Manager shows them; a device
// of the port class that is no COM port (a printer port) names no port, and a device that is
// gone names nothing any more.
TEST_F(WineComPort, TheAdapterBehindAPortIsNamedAsTheSystemNamesIt) {
  EXPECT_EQ(PortAdapterNames().count(name_), 0u);
  {
    PortClassDevice adapter(Wide(name_), L"TallyLink USB Serial Port (" + Wide(name_) + L")");
    PortClassDevice printer(L"LPT3", L"Printer Port (LPT3)");
    ASSERT_TRUE(adapter.Ready() && printer.Ready()) << "error " << GetLastError();
    const std::map<std::string, std::string> adapters = PortAdapterNames();
    ASSERT_EQ(adapters.count(name_), 1u);
    EXPECT_EQ(adapters.at(name_), "TallyLink USB Serial Port (" + name_ + ")");
    EXPECT_EQ(adapters.count("LPT3"), 0u);
  }
  EXPECT_EQ(PortAdapterNames().count(name_), 0u);
}

TEST_F(WineComPort, WhatAPseudoTerminalBehindWineCannotDo) {
  TComPort first, second;
  SetUpPort(first);
  SetUpPort(second);
  first.Open();
  // No modem lines: the status and a DTR change ordered on the open port fail with the system's
  // error 50; the port stays open and usable.
  for (auto op : {+[](TComPort& p) { p.ModemStatus(); },
                  +[](TComPort& p) { p.FlowControl().SetDTR(dcEnable); }}) {
    try {
      op(first);
      ADD_FAILURE() << "a pseudo-terminal reported modem lines";
    } catch (const EComError& e) {
      EXPECT_EQ(e.ErrorCode(), ERROR_NOT_SUPPORTED);
      EXPECT_EQ(std::string(e.what()), PlatformErrorText(ERROR_NOT_SUPPORTED));
    }
  }
  EXPECT_TRUE(first.Active());
  // Windows refuses a second opener with access denied; Wine lets it in.
  EXPECT_NO_THROW(second.Open());
  second.Close();
  first.WriteByte(0x7E);
  EXPECT_EQ(first.ReadByte(), 0x7E);
}

TEST_F(WineComPort, APortThatDoesNotExistFailsWithTheSystemsError) {
  TComPort port;
  SetUpPort(port);
  port.Close();
  port.SetDeviceName("COM99");
  try {
    port.Open();
    FAIL() << "COM99 opened";
  } catch (const EComError& e) {
    EXPECT_EQ(e.ErrorCode(), kErrPortNotFound);
    EXPECT_EQ(std::string(e.what()), PlatformErrorText(kErrPortNotFound));
  }
  EXPECT_FALSE(port.Active());
  port.SetDeviceName(name_);
  port.Open();
  EXPECT_TRUE(port.Active());
}

}  // namespace
