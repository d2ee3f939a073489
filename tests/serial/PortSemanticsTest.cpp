// TComPort's own behaviour above the binding (open sequence, setters, transfer finishing,
// closed/open port checks) and the provider seam, observed through a scripted fake binding.
#include <cerrno>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "serial/ComPort.h"
#include "serial/PortProvider.h"
#include "serial/SystemErrors.h"

namespace {

using testing::ElementsAre;
using Bytes = std::vector<uint8_t>;

// The device behind the fake binding: what was done to it and what it will do.
struct FakeDevice {
  std::vector<std::string> calls;
  std::deque<uint8_t> input;
  Bytes output;
  bool drains = true;              // WaitWritten's answer
  size_t writeTakes = SIZE_MAX;    // how many bytes one Write accepts
  bool refuseLineSettings = false;
  bool refuseEveryChange = false;  // all three groups raise
  TLineConfig line;
  TTimeoutConfig timeouts;
  int32_t inputSize = -1, outputSize = -1;
};

class FakeBinding : public TPortBinding {
 public:
  explicit FakeBinding(FakeDevice& d) : d_(d) {}
  void Open(const std::string& name) override { d_.calls.push_back("Open " + name); }
  void Close() noexcept override { d_.calls.push_back("Close"); }
  void ApplyLineSettings(const TLineConfig& c) override {
    d_.calls.push_back("ApplyLineSettings");
    if (d_.refuseLineSettings || d_.refuseEveryChange) throw EComError(EIO, std::strerror(EIO));
    d_.line = c;
  }
  void ApplyTimeouts(const TTimeoutConfig& c) override {
    d_.calls.push_back("ApplyTimeouts");
    if (d_.refuseEveryChange) throw EComError(EIO, std::strerror(EIO));
    d_.timeouts = c;
  }
  void ApplyBufferSizes(int32_t in, int32_t out) override {
    d_.calls.push_back("ApplyBufferSizes");
    if (d_.refuseEveryChange) throw EComError(EIO, std::strerror(EIO));
    d_.inputSize = in;
    d_.outputSize = out;
  }
  size_t Read(unsigned char* buffer, size_t length) override {
    d_.calls.push_back("Read");
    size_t n = 0;
    for (; n < length && !d_.input.empty(); ++n) {
      buffer[n] = d_.input.front();
      d_.input.pop_front();
    }
    return n;
  }
  size_t Write(const unsigned char* buffer, size_t length) override {
    d_.calls.push_back("Write");
    const size_t n = std::min(length, d_.writeTakes);
    d_.output.insert(d_.output.end(), buffer, buffer + n);
    return n;
  }
  bool WaitWritten() override {
    d_.calls.push_back("WaitWritten");
    return d_.drains;
  }
  int32_t InputCount() override { return static_cast<int32_t>(d_.input.size()); }
  void PurgeInput() override {
    d_.calls.push_back("PurgeInput");
    d_.input.clear();
  }
  void PurgeOutput() override { d_.calls.push_back("PurgeOutput"); }
  TModemStatus ModemStatus() override { return {msDSR}; }

 private:
  FakeDevice& d_;
};

// Claims the names that begin with its prefix.
class FakeProvider : public TPortProvider {
 public:
  explicit FakeProvider(std::string prefix) : prefix_(std::move(prefix)) {}
  bool Claims(const std::string& name) const override { return name.rfind(prefix_, 0) == 0; }
  std::unique_ptr<TPortBinding> CreateBinding(const std::string&) override {
    return std::make_unique<FakeBinding>(device);
  }
  void EnumPorts(std::vector<std::string>& names) const override {
    names.push_back(prefix_ + "1");
    names.push_back(prefix_ + "2");
  }
  FakeDevice device;

 private:
  std::string prefix_;
};

class FakePort : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterPortProvider(&provider_);
    port_.SetDeviceName("FAKE1");
  }
  void TearDown() override {
    port_.Close();
    UnregisterPortProvider(&provider_);
  }
  FakeDevice& Device() { return provider_.device; }

  FakeProvider provider_{"FAKE"};
  TComPort port_;
};

// Runs f and returns the EComError it raised (fails the test when it raised none).
EComError Raised(const std::function<void()>& f) {
  try {
    f();
  } catch (const EComError& e) {
    return e;
  }
  ADD_FAILURE() << "no EComError";
  return EComError(-1, "none");
}

TEST_F(FakePort, OpenAppliesEverythingInOrderAndCloseReleasesTheBinding) {
  port_.SetBaudRate(br9600);
  port_.SetDataBits(db8);
  port_.FlowControl().SetDTR(dcDisable);
  port_.FlowControl().SetRTS(rcEnable);
  port_.Timeouts().SetReadConstant(50);
  EXPECT_TRUE(Device().calls.empty()) << "a closed port touched a device";
  port_.Open();
  EXPECT_TRUE(port_.Active());
  EXPECT_THAT(Device().calls, ElementsAre("Open FAKE1", "PurgeInput", "PurgeOutput",
                                          "ApplyBufferSizes", "ApplyLineSettings",
                                          "ApplyTimeouts"));
  EXPECT_EQ(Device().line.baudRate, br9600);
  EXPECT_EQ(Device().line.dataBits, db8);
  EXPECT_EQ(Device().line.parity, paDefault);
  EXPECT_EQ(Device().line.dtr, dcDisable);
  EXPECT_EQ(Device().line.rts, rcEnable);
  EXPECT_EQ(Device().line.xOnChar, 0x11);
  EXPECT_EQ(Device().line.xOffChar, 0x13);
  EXPECT_EQ(Device().timeouts.readConstant, 50);
  EXPECT_EQ(Device().inputSize, 4096);
  EXPECT_EQ(Device().outputSize, 2048);

  Device().calls.clear();
  port_.Open();
  EXPECT_TRUE(Device().calls.empty()) << "Open on an open port did something";
  port_.Close();
  port_.Close();
  EXPECT_THAT(Device().calls, ElementsAre("Close"));
  EXPECT_FALSE(port_.Active());
}

TEST_F(FakePort, AFailingOpenStepLeavesThePortClosed) {
  Device().refuseLineSettings = true;
  const EComError e = Raised([&] { port_.Open(); });
  EXPECT_EQ(e.ErrorCode(), EIO);
  EXPECT_FALSE(port_.Active());
  EXPECT_EQ(Device().calls.back(), "Close");
  // Nothing is left over: the next attempt opens normally.
  Device().refuseLineSettings = false;
  port_.Open();
  EXPECT_TRUE(port_.Active());
}

struct SetterCase {
  const char* name;
  const char* applies;                                // the group the binding gets again
  std::function<void(TComPort&, bool)> set;           // second argument picks one of 2 values
  std::function<bool(const FakeDevice&, bool)> seen;  // the binding holds that value
};

const SetterCase kSetters[] = {
    {"BaudRate", "ApplyLineSettings",
     [](TComPort& p, bool a) { p.SetBaudRate(a ? br19200 : br4800); },
     [](const FakeDevice& d, bool a) { return d.line.baudRate == (a ? br19200 : br4800); }},
    {"CustomBaudRate", "ApplyLineSettings",
     [](TComPort& p, bool a) { p.SetCustomBaudRate(a ? 31250 : 250000); },
     [](const FakeDevice& d, bool a) {
       return d.line.baudRate == brCustom && d.line.customBaudRate == (a ? 31250 : 250000);
     }},
    {"DataBits", "ApplyLineSettings", [](TComPort& p, bool a) { p.SetDataBits(a ? db7 : db6); },
     [](const FakeDevice& d, bool a) { return d.line.dataBits == (a ? db7 : db6); }},
    {"Parity", "ApplyLineSettings", [](TComPort& p, bool a) { p.SetParity(a ? paOdd : paMark); },
     [](const FakeDevice& d, bool a) { return d.line.parity == (a ? paOdd : paMark); }},
    {"StopBits", "ApplyLineSettings", [](TComPort& p, bool a) { p.SetStopBits(a ? sb2 : sb1); },
     [](const FakeDevice& d, bool a) { return d.line.stopBits == (a ? sb2 : sb1); }},
    {"Options", "ApplyLineSettings",
     [](TComPort& p, bool a) {
       p.SetOptions(a ? TOptions{opCheckParity} : TOptions{opDiscardNullBytes, opCheckParity});
     },
     [](const FakeDevice& d, bool a) {
       return d.line.options ==
              (a ? TOptions{opCheckParity} : TOptions{opDiscardNullBytes, opCheckParity});
     }},
    {"FlowControl.DTR", "ApplyLineSettings",
     [](TComPort& p, bool a) { p.FlowControl().SetDTR(a ? dcEnable : dcDisable); },
     [](const FakeDevice& d, bool a) { return d.line.dtr == (a ? dcEnable : dcDisable); }},
    {"FlowControl.RTS", "ApplyLineSettings",
     [](TComPort& p, bool a) { p.FlowControl().SetRTS(a ? rcDisable : rcEnable); },
     [](const FakeDevice& d, bool a) { return d.line.rts == (a ? rcDisable : rcEnable); }},
    {"FlowControl.XOnXOff", "ApplyLineSettings",
     [](TComPort& p, bool a) { p.FlowControl().SetXOnXOff(a ? xcInput : xcDisable); },
     [](const FakeDevice& d, bool a) { return d.line.xOnXOff == (a ? xcInput : xcDisable); }},
    {"FlowControl.XOnLimit", "ApplyLineSettings",
     [](TComPort& p, bool a) { p.FlowControl().SetXOnLimit(a ? 10 : 20); },
     [](const FakeDevice& d, bool a) { return d.line.xOnLimit == (a ? 10 : 20); }},
    {"FlowControl.XOffLimit", "ApplyLineSettings",
     [](TComPort& p, bool a) { p.FlowControl().SetXOffLimit(a ? 30 : 40); },
     [](const FakeDevice& d, bool a) { return d.line.xOffLimit == (a ? 30 : 40); }},
    {"Characters.XOn", "ApplyLineSettings",
     [](TComPort& p, bool a) { p.Characters().SetXOn(a ? 1 : 2); },
     [](const FakeDevice& d, bool a) { return d.line.xOnChar == (a ? 1 : 2); }},
    {"Characters.XOff", "ApplyLineSettings",
     [](TComPort& p, bool a) { p.Characters().SetXOff(a ? 3 : 4); },
     [](const FakeDevice& d, bool a) { return d.line.xOffChar == (a ? 3 : 4); }},
    {"Characters.Error", "ApplyLineSettings",
     [](TComPort& p, bool a) { p.Characters().SetError(a ? 5 : 6); },
     [](const FakeDevice& d, bool a) { return d.line.errorChar == (a ? 5 : 6); }},
    {"Characters.Eof", "ApplyLineSettings",
     [](TComPort& p, bool a) { p.Characters().SetEof(a ? 7 : 8); },
     [](const FakeDevice& d, bool a) { return d.line.eofChar == (a ? 7 : 8); }},
    {"Characters.Event", "ApplyLineSettings",
     [](TComPort& p, bool a) { p.Characters().SetEvent(a ? 9 : 10); },
     [](const FakeDevice& d, bool a) { return d.line.eventChar == (a ? 9 : 10); }},
    {"BufferSizes.Input", "ApplyBufferSizes",
     [](TComPort& p, bool a) { p.BufferSizes().SetInput(a ? 100 : 200); },
     [](const FakeDevice& d, bool a) { return d.inputSize == (a ? 100 : 200); }},
    {"BufferSizes.Output", "ApplyBufferSizes",
     [](TComPort& p, bool a) { p.BufferSizes().SetOutput(a ? 300 : 400); },
     [](const FakeDevice& d, bool a) { return d.outputSize == (a ? 300 : 400); }},
    {"Timeouts.ReadInterval", "ApplyTimeouts",
     [](TComPort& p, bool a) { p.Timeouts().SetReadInterval(a ? 11 : 12); },
     [](const FakeDevice& d, bool a) { return d.timeouts.readInterval == (a ? 11 : 12); }},
    {"Timeouts.ReadMultiplier", "ApplyTimeouts",
     [](TComPort& p, bool a) { p.Timeouts().SetReadMultiplier(a ? 13 : 14); },
     [](const FakeDevice& d, bool a) { return d.timeouts.readMultiplier == (a ? 13 : 14); }},
    {"Timeouts.ReadConstant", "ApplyTimeouts",
     [](TComPort& p, bool a) { p.Timeouts().SetReadConstant(a ? 250 : 50); },
     [](const FakeDevice& d, bool a) { return d.timeouts.readConstant == (a ? 250 : 50); }},
    {"Timeouts.WriteMultiplier", "ApplyTimeouts",
     [](TComPort& p, bool a) { p.Timeouts().SetWriteMultiplier(a ? 15 : 16); },
     [](const FakeDevice& d, bool a) { return d.timeouts.writeMultiplier == (a ? 15 : 16); }},
    {"Timeouts.WriteConstant", "ApplyTimeouts",
     [](TComPort& p, bool a) { p.Timeouts().SetWriteConstant(a ? 17 : 18); },
     [](const FakeDevice& d, bool a) { return d.timeouts.writeConstant == (a ? 17 : 18); }},
};

TEST_F(FakePort, SettersStoreWhileClosedAndApplyOnlyChangesWhileOpen) {
  for (const SetterCase& c : kSetters) {
    SCOPED_TRACE(c.name);
    TComPort port;
    port.SetDeviceName("FAKE1");
    c.set(port, true);
    EXPECT_TRUE(Device().calls.empty()) << "applied to a closed port";
    port.Open();
    EXPECT_TRUE(c.seen(Device(), true)) << "stored value not applied at Open";
    Device().calls.clear();
    c.set(port, true);
    EXPECT_TRUE(Device().calls.empty()) << "unchanged value applied again";
    c.set(port, false);
    EXPECT_THAT(Device().calls, ElementsAre(c.applies));
    EXPECT_TRUE(c.seen(Device(), false));
    port.Close();
    Device().calls.clear();
  }
}

// A change the open device refuses is taken back: the object keeps the value the device still
// has, so asking for that value again changes nothing and other changes are not refused for it.
TEST_F(FakePort, AChangeTheDeviceRefusesIsTakenBack) {
  for (const SetterCase& c : kSetters) {
    SCOPED_TRACE(c.name);
    TComPort port;
    port.SetDeviceName("FAKE1");
    c.set(port, true);
    port.Open();
    Device().refuseEveryChange = true;
    EXPECT_EQ(Raised([&] { c.set(port, false); }).ErrorCode(), EIO);
    Device().refuseEveryChange = false;
    Device().calls.clear();
    c.set(port, true);
    EXPECT_TRUE(Device().calls.empty()) << "the refused value stayed on the port object";
    c.set(port, false);
    EXPECT_THAT(Device().calls, ElementsAre(c.applies));
    EXPECT_TRUE(c.seen(Device(), false));
    port.Close();
    Device().calls.clear();
  }
}

TEST_F(FakePort, OperationsOnAClosedPort) {
  TComPort port;
  unsigned char buffer[4] = {};
  const std::function<void()> refused[] = {
      [&] { port.Read(buffer, 1, true); },
      [&] { port.Read(buffer, 0, false); },
      [&] { port.Write(buffer, 1, true); },
      [&] { port.ReadByte(); },
      [&] { port.WriteByte(0x41); },
      [&] { port.ModemStatus(); },
  };
  for (const auto& op : refused) {
    const EComError e = Raised(op);
    EXPECT_EQ(std::string(e.what()), "Can't perform this operation on a closed port");
    EXPECT_EQ(e.ErrorCode(), 0);
  }
  // InputCount has no check of its own: it fails the way the platform does on no device.
  const EComError e = Raised([&] { port.InputCount(); });
  EXPECT_EQ(e.ErrorCode(), kErrNoDevice);
  EXPECT_EQ(std::string(e.what()), PlatformErrorText(kErrNoDevice));
  EXPECT_NO_THROW(port.PurgeInput());
  EXPECT_NO_THROW(port.PurgeOutput());
  EXPECT_NO_THROW(port.Close());
}

TEST_F(FakePort, NamePriorityAndEventSynchronisationChangeOnlyWhileClosed) {
  port_.Open();
  struct {
    const char* name;
    std::function<void()> same, other;
    std::function<bool()> unchanged;
  } cases[] = {
      {"DeviceName", [&] { port_.SetDeviceName("FAKE1"); }, [&] { port_.SetDeviceName("FAKE2"); },
       [&] { return port_.DeviceName() == "FAKE1"; }},
      {"PriorityClass", [&] { port_.SetPriorityClass(pcDefault); },
       [&] { port_.SetPriorityClass(pcNormal); },
       [&] { return port_.PriorityClass() == pcDefault; }},
      {"SynchronizeEvents", [&] { port_.SetSynchronizeEvents(true); },
       [&] { port_.SetSynchronizeEvents(false); },
       [&] { return port_.SynchronizeEvents(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_NO_THROW(c.same());
    const EComError e = Raised(c.other);
    EXPECT_EQ(std::string(e.what()), "Can't perform this operation on an open port");
    EXPECT_EQ(e.ErrorCode(), 0);
    EXPECT_TRUE(c.unchanged());
  }
  port_.Close();
  port_.SetDeviceName("FAKE2");
  port_.SetPriorityClass(pcNormal);
  port_.SetSynchronizeEvents(false);
  EXPECT_EQ(port_.DeviceName(), "FAKE2");
  EXPECT_EQ(port_.PriorityClass(), pcNormal);
  EXPECT_FALSE(port_.SynchronizeEvents());
}

TEST_F(FakePort, AReadNotWaitedForIsFinishedAndCheckedByTheNextRead) {
  port_.Open();
  unsigned char buffer[3] = {};
  unsigned char none = 0;

  // All three bytes come: a zero-length Read finishes the read and raises nothing.
  Device().input = {1, 2, 3};
  port_.Read(buffer, 3, false);
  port_.Read(&none, 0, false);
  EXPECT_THAT(buffer, ElementsAre(1, 2, 3));

  // Only two come: the finishing Read raises "Timeout", once.
  Device().input = {4, 5};
  port_.Read(buffer, 3, false);
  const EComError e = Raised([&] { port_.Read(&none, 0, false); });
  EXPECT_EQ(std::string(e.what()), "Timeout");
  EXPECT_EQ(e.ErrorCode(), 0);
  EXPECT_NO_THROW(port_.Read(&none, 0, false));

  // Discarding the input ends an outstanding read without a time-out.
  port_.Read(buffer, 3, false);
  port_.PurgeInput();
  EXPECT_NO_THROW(port_.Read(&none, 0, false));

  // ReadByte finishes an outstanding read first, then takes its own byte.
  Device().input = {6, 7, 8, 9};
  port_.Read(buffer, 3, false);
  EXPECT_EQ(port_.ReadByte(), 9);
  EXPECT_THAT(buffer, ElementsAre(6, 7, 8));
  EXPECT_THROW(port_.ReadByte(), EComError);
}

TEST_F(FakePort, WriteByteHandsOverAtOnceAndTheNextWriteWaitsForIt) {
  port_.Open();
  Device().calls.clear();
  port_.WriteByte(0xA1);
  EXPECT_THAT(Device().calls, ElementsAre("Write"));
  port_.WriteByte(0xA2);
  EXPECT_THAT(Device().calls, ElementsAre("Write", "WaitWritten", "Write"));
  EXPECT_THAT(Device().output, ElementsAre(0xA1, 0xA2));

  // A byte that did not leave within the write time-outs shows as "Timeout" on the next write,
  // which then sends nothing; the write after that starts afresh.
  Device().drains = false;
  const EComError late = Raised([&] { port_.WriteByte(0xA3); });
  EXPECT_EQ(std::string(late.what()), "Timeout");
  EXPECT_EQ(late.ErrorCode(), 0);
  Device().drains = true;
  Device().calls.clear();
  port_.WriteByte(0xA4);
  EXPECT_THAT(Device().calls, ElementsAre("Write"));
  EXPECT_THAT(Device().output, ElementsAre(0xA1, 0xA2, 0xA4));

  // A write the driver did not take completely raises "Timeout" when waited for.
  Device().writeTakes = 1;
  const EComError e = Raised([&] {
    const unsigned char two[2] = {0xB1, 0xB2};
    port_.Write(two, 2, true);
  });
  EXPECT_EQ(std::string(e.what()), "Timeout");
  EXPECT_EQ(e.ErrorCode(), 0);
}

TEST(PortProviders, TheMostRecentClaimantGetsTheNameAndTheRestGoesToTheSystem) {
  FakeProvider older("SIM"), newer("SIM");
  RegisterPortProvider(&older);
  RegisterPortProvider(&newer);
  {
    TComPort port;
    port.SetDeviceName("SIM3");
    port.Open();
    EXPECT_EQ(newer.device.calls.front(), "Open SIM3");
    EXPECT_TRUE(older.device.calls.empty());
    EXPECT_EQ(port.ModemStatus(), TModemStatus{msDSR});
  }
  std::vector<std::string> names{"kept"};
  TComPort().EnumComPorts(names);
  ASSERT_GE(names.size(), 5u);
  EXPECT_THAT(std::vector<std::string>(names.begin(), names.begin() + 5),
              ElementsAre("kept", "SIM1", "SIM2", "SIM1", "SIM2"));

  UnregisterPortProvider(&newer);
  {
    TComPort port;
    port.SetDeviceName("SIM1");
    port.Open();
    EXPECT_EQ(older.device.calls.front(), "Open SIM1");
  }
  UnregisterPortProvider(&older);

  // A name nobody claims goes to the operating system's devices.
  TComPort port;
  port.SetDeviceName("SIM1");
  EXPECT_EQ(Raised([&] { port.Open(); }).ErrorCode(), kErrPortNotFound);
  EXPECT_FALSE(port.Active());
}

}  // namespace
