// The serial port component: one serial device, its line settings, time-outs and queue sizes,
// byte transfers with completion waits, input discard, modem input lines, DTR/RTS through the
// flow-control settings, and the list of ports present. Every failure is an EComError.
//
// The component talks to the device through a binding chosen at Open from DeviceName by the
// port providers (PortProvider.h): a serial device of the operating system goes to the system's
// binding (POSIX terminals, or Win32 communications devices), a name owned by the emulated bench
// goes to its virtual port.
//
// Line-event notification (event handlers, the event thread and its error hook) is not built:
// nothing in this program assigns an event handler, so the component reports every failure to
// its caller as an exception.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// A small set of enumeration members: member n is bit n.
template <typename E>
class TSmallSet {
 public:
  constexpr TSmallSet() = default;
  constexpr TSmallSet(std::initializer_list<E> members) {
    for (E m : members) Include(m);
  }
  static constexpr TSmallSet FromBits(uint32_t bits) {
    TSmallSet s;
    s.bits_ = bits;
    return s;
  }
  constexpr bool Contains(E m) const { return (bits_ >> static_cast<unsigned>(m)) & 1u; }
  constexpr void Include(E m) { bits_ |= 1u << static_cast<unsigned>(m); }
  constexpr void Exclude(E m) { bits_ &= ~(1u << static_cast<unsigned>(m)); }
  constexpr uint32_t Bits() const { return bits_; }
  constexpr bool Empty() const { return bits_ == 0; }
  friend constexpr bool operator==(TSmallSet a, TSmallSet b) { return a.bits_ == b.bits_; }

 private:
  uint32_t bits_ = 0;
};

// Members ending in Default leave the device's current value untouched.
enum TBaudRate {
  brDefault, br50, br75, br110, br150, br300, br600, br1200, br1800, br2000, br2400, br3600,
  br4800, br7200, br9600, br10400, br14400, br15625, br19200, br28800, br38400, br56000,
  br57600, br115200, br128000, br256000, brCustom
};
enum TDataBits { dbDefault, db4, db5, db6, db7, db8 };
enum TParity { paDefault, paNone, paOdd, paEven, paMark, paSpace };
enum TStopBits { sbDefault, sb1, sb1_5, sb2 };
enum TDTRControl { dcDefault, dcDisable, dcEnable, dcHandshake };
enum TRTSControl { rcDefault, rcDisable, rcEnable, rcHandshake, rcToggle };
enum TXOnXOffControl { xcDefault, xcDisable, xcInput, xcOutput, xcInputOutput };
enum TOption {
  opCheckParity, opOutputCTSFlow, opOutputDSRFlow, opDSRSensitivity, opTXContinueOnXOff,
  opUseErrorChar, opDiscardNullBytes, opAbortOnError
};
using TOptions = TSmallSet<TOption>;
enum TPriorityClass { pcDefault, pcIdle, pcNormal, pcHigh, pcRealTime };
enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };
enum TModemStatusValue { msCTS, msDSR, msRing, msRLSD };
using TModemStatus = TSmallSet<TModemStatusValue>;

// Platform value of a baud rate member (0 for brDefault and brCustom).
int BaudRateValue(TBaudRate rate);

class EComError : public std::runtime_error {
 public:
  EComError(int errorCode, const std::string& message)
      : std::runtime_error(message), errorCode_(errorCode) {}
  // The operating system's error number, or 0 for the component's own messages.
  int ErrorCode() const { return errorCode_; }

 private:
  int errorCode_;
};

class TComPort;

// Line settings as handed to a binding; the Default members mean "keep the device's value".
struct TLineConfig {
  TBaudRate baudRate = brDefault;
  int customBaudRate = 0;
  TDataBits dataBits = dbDefault;
  TParity parity = paDefault;
  TStopBits stopBits = sbDefault;
  TDTRControl dtr = dcDefault;
  TRTSControl rts = rcDefault;
  TXOnXOffControl xOnXOff = xcDefault;
  uint16_t xOnLimit = 0;
  uint16_t xOffLimit = 0;
  TOptions options;
  unsigned char xOnChar = 0x11, xOffChar = 0x13, errorChar = 0, eofChar = 0, eventChar = 0;
};

// Time-outs in milliseconds. A read ends when all bytes arrived, when readMultiplier x length +
// readConstant has elapsed, or when a gap between two bytes exceeds readInterval (0: no gap
// limit); all three 0 means no time-out. Writes likewise with the two write values.
struct TTimeoutConfig {
  int readInterval = 0;
  int readMultiplier = 0;
  int readConstant = 0;
  int writeMultiplier = 0;
  int writeConstant = 0;
};

class TFlowControl {
 public:
  explicit TFlowControl(TComPort& port) : port_(port) {}
  TDTRControl DTR() const { return dtr_; }
  void SetDTR(TDTRControl value);
  TRTSControl RTS() const { return rts_; }
  void SetRTS(TRTSControl value);
  TXOnXOffControl XOnXOff() const { return xOnXOff_; }
  void SetXOnXOff(TXOnXOffControl value);
  uint16_t XOnLimit() const { return xOnLimit_; }
  void SetXOnLimit(uint16_t value);
  uint16_t XOffLimit() const { return xOffLimit_; }
  void SetXOffLimit(uint16_t value);

 private:
  TComPort& port_;
  TDTRControl dtr_ = dcDefault;
  TRTSControl rts_ = rcDefault;
  TXOnXOffControl xOnXOff_ = xcDefault;
  uint16_t xOnLimit_ = 0;
  uint16_t xOffLimit_ = 0;
};

class TCharacters {
 public:
  explicit TCharacters(TComPort& port) : port_(port) {}
  unsigned char XOn() const { return xOn_; }
  void SetXOn(unsigned char value);
  unsigned char XOff() const { return xOff_; }
  void SetXOff(unsigned char value);
  unsigned char Error() const { return error_; }
  void SetError(unsigned char value);
  unsigned char Eof() const { return eof_; }
  void SetEof(unsigned char value);
  unsigned char Event() const { return event_; }
  void SetEvent(unsigned char value);

 private:
  TComPort& port_;
  unsigned char xOn_ = 0x11, xOff_ = 0x13, error_ = 0, eof_ = 0, event_ = 0;
};

class TBufferSizes {
 public:
  explicit TBufferSizes(TComPort& port) : port_(port) {}
  int32_t Input() const { return input_; }
  void SetInput(int32_t value);
  int32_t Output() const { return output_; }
  void SetOutput(int32_t value);

 private:
  TComPort& port_;
  int32_t input_ = 4096;
  int32_t output_ = 2048;
};

class TTimeouts {
 public:
  explicit TTimeouts(TComPort& port) : port_(port) {}
  int32_t ReadInterval() const { return v_.readInterval; }
  void SetReadInterval(int32_t value);
  int32_t ReadMultiplier() const { return v_.readMultiplier; }
  void SetReadMultiplier(int32_t value);
  int32_t ReadConstant() const { return v_.readConstant; }
  void SetReadConstant(int32_t value);
  int32_t WriteMultiplier() const { return v_.writeMultiplier; }
  void SetWriteMultiplier(int32_t value);
  int32_t WriteConstant() const { return v_.writeConstant; }
  void SetWriteConstant(int32_t value);
  const TTimeoutConfig& Values() const { return v_; }

 private:
  void Set(int32_t TTimeoutConfig::*field, int32_t value);
  TComPort& port_;
  TTimeoutConfig v_;
};

class TPortBinding;

// The process or thread priority a port changed at Open, to be put back at Close. What the
// fields hold is the platform's business (serial/SystemBinding.h).
struct TSavedPriority {
  bool saved = false;
  long who = 0;
  int value = 0;
};

class TComPort {
 public:
  TComPort();
  ~TComPort();
  TComPort(const TComPort&) = delete;
  TComPort& operator=(const TComPort&) = delete;

  // Free integer for the owner (this program keeps its trace digit and "held open" bit here).
  int Tag() const { return tag_; }
  void SetTag(int value) { tag_ = value; }

  // Opening and closing. Open does nothing on an open port; on failure the port is left closed
  // and the EComError propagates. Close does nothing on a closed port.
  void Open();
  void Close();
  bool Active() const;
  void SetActive(bool value);

  // Line settings: applied at once while open, stored while closed, nothing when unchanged.
  TBaudRate BaudRate() const { return baudRate_; }
  void SetBaudRate(TBaudRate value);
  int32_t CustomBaudRate() const { return customBaudRate_; }
  void SetCustomBaudRate(int32_t value);  // also selects brCustom
  TDataBits DataBits() const { return dataBits_; }
  void SetDataBits(TDataBits value);
  TParity Parity() const { return parity_; }
  void SetParity(TParity value);
  TStopBits StopBits() const { return stopBits_; }
  void SetStopBits(TStopBits value);
  TOptions Options() const { return options_; }
  void SetOptions(TOptions value);
  TFlowControl& FlowControl() { return flowControl_; }
  const TFlowControl& FlowControl() const { return flowControl_; }
  TCharacters& Characters() { return characters_; }
  const TCharacters& Characters() const { return characters_; }
  TBufferSizes& BufferSizes() { return bufferSizes_; }
  const TBufferSizes& BufferSizes() const { return bufferSizes_; }
  TTimeouts& Timeouts() { return timeouts_; }
  const TTimeouts& Timeouts() const { return timeouts_; }

  // These three can change only while the port is closed ("Can't perform this operation on an
  // open port" otherwise, when the value differs).
  const std::string& DeviceName() const { return deviceName_; }
  void SetDeviceName(const std::string& value);
  bool SynchronizeEvents() const { return synchronizeEvents_; }
  void SetSynchronizeEvents(bool value);
  TPriorityClass PriorityClass() const { return priorityClass_; }
  void SetPriorityClass(TPriorityClass value);
  TThreadPriority ThreadPriority() const { return threadPriority_; }
  void SetThreadPriority(TThreadPriority value) { threadPriority_ = value; }

  // Transfers. A read that is not waited for is finished (and checked) by the next Read; a
  // write that is not waited for is finished by the next Write. A finished transfer that moved
  // fewer bytes than requested raises "Timeout".
  void Read(void* buffer, int32_t length, bool waitOnCompletion);
  void Write(const void* buffer, int32_t length, bool waitOnCompletion);
  unsigned char ReadByte();
  void WriteByte(unsigned char value);
  int32_t InputCount();
  void PurgeInput();
  void PurgeOutput();
  TModemStatus ModemStatus();
  // How late ModemStatus may report a change of the lines, in milliseconds: 0 for a serial
  // device or the bench, whose lines are read as they are; a port on a device server reports
  // the server's latest notification (0 while closed).
  int ModemNewsLateMs() const;

  // Appends the names of the serial ports present, as Open accepts them in DeviceName.
  void EnumComPorts(std::vector<std::string>& list) const;

  // Used by the settings objects when one of their values changed.
  void ApplyLineSettings();
  void ApplyTimeouts();
  void ApplyBufferSizes();

 private:
  void CheckOpen() const;
  void CheckClosed() const;
  void CloseSequence() noexcept;
  TLineConfig LineConfig() const;
  void FinishRead();
  void FinishWrite();

  int tag_ = 0;
  TBaudRate baudRate_ = brDefault;
  int32_t customBaudRate_ = 0;
  TDataBits dataBits_ = dbDefault;
  TParity parity_ = paDefault;
  TStopBits stopBits_ = sbDefault;
  TOptions options_;
  std::string deviceName_ = "COM2";
  bool synchronizeEvents_ = true;
  TPriorityClass priorityClass_ = pcDefault;
  TThreadPriority threadPriority_ = tpTimeCritical;
  TSavedPriority savedPriority_;
  TFlowControl flowControl_{*this};
  TCharacters characters_{*this};
  TBufferSizes bufferSizes_{*this};
  TTimeouts timeouts_{*this};
  std::unique_ptr<TPortBinding> binding_;
  // Outstanding transfers not waited for: what was asked and what has been moved.
  struct Pending {
    bool active = false;
    void* buffer = nullptr;
    int32_t length = 0;
  } pendingRead_;
  bool pendingWrite_ = false;
  int32_t pendingWriteLength_ = 0;
  int32_t pendingWriteTaken_ = 0;  // how many of them the driver took
  unsigned char writeByte_ = 0;  // the byte of WriteByte, owned here while it goes out
};
