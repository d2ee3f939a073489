// TComPort: settings, open/close sequences and transfers on top of a port binding.
#include "serial/ComPort.h"

#include "serial/PlatformError.h"
#include "serial/PortProvider.h"
#include "serial/SystemBinding.h"

// ---------------------------------------------------------------------------------------------
// Error helpers

void RaisePlatformError(int errorNumber) {
  throw EComError(errorNumber, PlatformErrorText(errorNumber));
}

void RaiseComError(const char* message) { throw EComError(0, message); }

// ---------------------------------------------------------------------------------------------
// Baud rates

int BaudRateValue(TBaudRate rate) {
  switch (rate) {
    case br50: return 50;
    case br75: return 75;
    case br110: return 110;
    case br150: return 150;
    case br300: return 300;
    case br600: return 600;
    case br1200: return 1200;
    case br1800: return 1800;
    case br2000: return 2000;
    case br2400: return 2400;
    case br3600: return 3600;
    case br4800: return 4800;
    case br7200: return 7200;
    case br9600: return 9600;
    case br10400: return 10400;
    case br14400: return 14400;
    case br15625: return 15625;
    case br19200: return 19200;
    case br28800: return 28800;
    case br38400: return 38400;
    case br56000: return 56000;
    case br57600: return 57600;
    case br115200: return 115200;
    case br128000: return 128000;
    case br256000: return 256000;
    case brDefault:
    case brCustom: return 0;
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Settings objects: each setter does nothing for an unchanged value, otherwise stores it and
// re-applies its group (which reaches the device only while the port is open). A value the
// open device refuses is taken back before the error goes on, so the object keeps describing
// what the device has and the next change of another setting is not refused for it again.

namespace {

template <class T, class Apply>
void StoreAndApply(T& field, T value, Apply apply) {
  if (field == value) return;
  const T previous = field;
  field = value;
  try {
    apply();
  } catch (...) {
    field = previous;
    throw;
  }
}

}  // namespace

void TFlowControl::SetDTR(TDTRControl value) {
  StoreAndApply(dtr_, value, [this] { port_.ApplyLineSettings(); });
}
void TFlowControl::SetRTS(TRTSControl value) {
  StoreAndApply(rts_, value, [this] { port_.ApplyLineSettings(); });
}
void TFlowControl::SetXOnXOff(TXOnXOffControl value) {
  StoreAndApply(xOnXOff_, value, [this] { port_.ApplyLineSettings(); });
}
void TFlowControl::SetXOnLimit(uint16_t value) {
  StoreAndApply(xOnLimit_, value, [this] { port_.ApplyLineSettings(); });
}
void TFlowControl::SetXOffLimit(uint16_t value) {
  StoreAndApply(xOffLimit_, value, [this] { port_.ApplyLineSettings(); });
}

void TCharacters::SetXOn(unsigned char value) {
  StoreAndApply(xOn_, value, [this] { port_.ApplyLineSettings(); });
}
void TCharacters::SetXOff(unsigned char value) {
  StoreAndApply(xOff_, value, [this] { port_.ApplyLineSettings(); });
}
void TCharacters::SetError(unsigned char value) {
  StoreAndApply(error_, value, [this] { port_.ApplyLineSettings(); });
}
void TCharacters::SetEof(unsigned char value) {
  StoreAndApply(eof_, value, [this] { port_.ApplyLineSettings(); });
}
void TCharacters::SetEvent(unsigned char value) {
  StoreAndApply(event_, value, [this] { port_.ApplyLineSettings(); });
}

void TBufferSizes::SetInput(int32_t value) {
  StoreAndApply(input_, value, [this] { port_.ApplyBufferSizes(); });
}
void TBufferSizes::SetOutput(int32_t value) {
  StoreAndApply(output_, value, [this] { port_.ApplyBufferSizes(); });
}

void TTimeouts::Set(int32_t TTimeoutConfig::*field, int32_t value) {
  StoreAndApply(v_.*field, value, [this] { port_.ApplyTimeouts(); });
}
void TTimeouts::SetReadInterval(int32_t value) { Set(&TTimeoutConfig::readInterval, value); }
void TTimeouts::SetReadMultiplier(int32_t value) { Set(&TTimeoutConfig::readMultiplier, value); }
void TTimeouts::SetReadConstant(int32_t value) { Set(&TTimeoutConfig::readConstant, value); }
void TTimeouts::SetWriteMultiplier(int32_t value) { Set(&TTimeoutConfig::writeMultiplier, value); }
void TTimeouts::SetWriteConstant(int32_t value) { Set(&TTimeoutConfig::writeConstant, value); }

// ---------------------------------------------------------------------------------------------
// The port

TComPort::TComPort() = default;

TComPort::~TComPort() { CloseSequence(); }

bool TComPort::Active() const { return binding_ != nullptr; }

void TComPort::SetActive(bool value) {
  if (value == Active()) return;
  if (value)
    Open();
  else
    Close();
}

void TComPort::CheckOpen() const {
  if (!binding_) RaiseComError(kClosedPortMessage);
}

void TComPort::CheckClosed() const {
  if (binding_) RaiseComError(kOpenPortMessage);
}

void TComPort::SetDeviceName(const std::string& value) {
  if (value == deviceName_) return;
  CheckClosed();
  deviceName_ = value;
}

void TComPort::SetSynchronizeEvents(bool value) {
  if (value == synchronizeEvents_) return;
  CheckClosed();
  synchronizeEvents_ = value;
}

void TComPort::SetPriorityClass(TPriorityClass value) {
  if (value == priorityClass_) return;
  CheckClosed();
  priorityClass_ = value;
}

void TComPort::SetBaudRate(TBaudRate value) {
  StoreAndApply(baudRate_, value, [this] { ApplyLineSettings(); });
}

void TComPort::SetCustomBaudRate(int32_t value) {
  if (value == customBaudRate_ && baudRate_ == brCustom) return;
  const int32_t previousRate = customBaudRate_;
  const TBaudRate previousBaudRate = baudRate_;
  customBaudRate_ = value;
  baudRate_ = brCustom;
  try {
    ApplyLineSettings();
  } catch (...) {
    customBaudRate_ = previousRate;
    baudRate_ = previousBaudRate;
    throw;
  }
}

void TComPort::SetDataBits(TDataBits value) {
  StoreAndApply(dataBits_, value, [this] { ApplyLineSettings(); });
}

void TComPort::SetParity(TParity value) {
  StoreAndApply(parity_, value, [this] { ApplyLineSettings(); });
}

void TComPort::SetStopBits(TStopBits value) {
  StoreAndApply(stopBits_, value, [this] { ApplyLineSettings(); });
}

void TComPort::SetOptions(TOptions value) {
  StoreAndApply(options_, value, [this] { ApplyLineSettings(); });
}

TLineConfig TComPort::LineConfig() const {
  TLineConfig c;
  c.baudRate = baudRate_;
  c.customBaudRate = customBaudRate_;
  c.dataBits = dataBits_;
  c.parity = parity_;
  c.stopBits = stopBits_;
  c.dtr = flowControl_.DTR();
  c.rts = flowControl_.RTS();
  c.xOnXOff = flowControl_.XOnXOff();
  c.xOnLimit = flowControl_.XOnLimit();
  c.xOffLimit = flowControl_.XOffLimit();
  c.options = options_;
  c.xOnChar = characters_.XOn();
  c.xOffChar = characters_.XOff();
  c.errorChar = characters_.Error();
  c.eofChar = characters_.Eof();
  c.eventChar = characters_.Event();
  return c;
}

void TComPort::ApplyLineSettings() {
  if (binding_) binding_->ApplyLineSettings(LineConfig());
}

void TComPort::ApplyTimeouts() {
  if (binding_) binding_->ApplyTimeouts(timeouts_.Values());
}

void TComPort::ApplyBufferSizes() {
  if (binding_) binding_->ApplyBufferSizes(bufferSizes_.Input(), bufferSizes_.Output());
}

void TComPort::Open() {
  if (binding_) return;
  CloseSequence();
  try {
    ApplyPriorityClass(priorityClass_, savedPriority_);
    std::unique_ptr<TPortBinding> binding = CreatePortBinding(deviceName_);
    binding->Open(deviceName_);
    binding_ = std::move(binding);
    PurgeInput();
    PurgeOutput();
    ApplyBufferSizes();
    ApplyLineSettings();
    ApplyTimeouts();
  } catch (...) {
    CloseSequence();
    throw;
  }
}

void TComPort::Close() {
  if (!binding_) return;
  CloseSequence();
}

void TComPort::CloseSequence() noexcept {
  if (binding_) {
    binding_->Close();
    binding_.reset();
  }
  // Transfers still outstanding are abandoned with the device.
  pendingRead_ = Pending{};
  pendingWrite_ = false;
  pendingWriteLength_ = 0;
  pendingWriteTaken_ = 0;
  RestorePriorityClass(savedPriority_);
}

// Reads. The binding moves bytes synchronously within the read time-outs, so a read that is not
// waited for is carried out when it is finished: by the next Read, into the buffer recorded for
// it (which the caller keeps for that long). Its time-outs therefore count from that moment;
// the bytes that arrived meanwhile are waiting in the driver's input queue.
void TComPort::FinishRead() {
  if (!pendingRead_.active) return;
  const Pending read = pendingRead_;
  pendingRead_ = Pending{};
  const size_t got = binding_->Read(static_cast<unsigned char*>(read.buffer),
                                    static_cast<size_t>(read.length));
  if (got != static_cast<size_t>(read.length)) RaiseComError(kTimeoutMessage);
}

void TComPort::Read(void* buffer, int32_t length, bool waitOnCompletion) {
  CheckOpen();
  FinishRead();
  if (length < 0) RaisePlatformError(kErrInvalidArgument);
  if (length > 0 && buffer == nullptr) RaisePlatformError(kErrBadBuffer);
  if (length == 0) return;
  pendingRead_ = Pending{true, buffer, length};
  if (waitOnCompletion) FinishRead();
}

// Writes. The bytes are handed to the driver at once. Finishing a write is the binding's wait:
// without write time-outs a write is complete once the driver has taken its bytes; with them
// the bytes must leave the port within the time-outs.
void TComPort::FinishWrite() {
  if (!pendingWrite_) return;
  pendingWrite_ = false;
  const bool drained = binding_->WaitWritten();
  if (!drained || pendingWriteTaken_ != pendingWriteLength_) RaiseComError(kTimeoutMessage);
}

void TComPort::Write(const void* buffer, int32_t length, bool waitOnCompletion) {
  CheckOpen();
  FinishWrite();
  if (length < 0) RaisePlatformError(kErrInvalidArgument);
  if (length > 0 && buffer == nullptr) RaisePlatformError(kErrBadBuffer);
  if (length == 0) return;
  pendingWriteLength_ = length;
  pendingWriteTaken_ = 0;
  pendingWrite_ = true;
  pendingWriteTaken_ = static_cast<int32_t>(
      binding_->Write(static_cast<const unsigned char*>(buffer), static_cast<size_t>(length)));
  if (waitOnCompletion) FinishWrite();
}

unsigned char TComPort::ReadByte() {
  unsigned char value = 0;
  Read(&value, 1, true);
  return value;
}

void TComPort::WriteByte(unsigned char value) {
  CheckOpen();
  FinishWrite();
  writeByte_ = value;
  Write(&writeByte_, 1, false);
}

int32_t TComPort::InputCount() {
  // No open check of its own: a closed port has no device to ask.
  if (!binding_) RaisePlatformError(kErrNoDevice);
  return binding_->InputCount();
}

void TComPort::PurgeInput() {
  if (!binding_) return;
  pendingRead_ = Pending{};  // an outstanding read ends with the discarded queue
  binding_->PurgeInput();
}

void TComPort::PurgeOutput() {
  if (!binding_) return;
  pendingWrite_ = false;  // an outstanding write ends with the discarded queue
  binding_->PurgeOutput();
}

TModemStatus TComPort::ModemStatus() {
  CheckOpen();
  return binding_->ModemStatus();
}

int TComPort::ModemNewsLateMs() const { return binding_ ? binding_->ModemNewsLateMs() : 0; }

void TComPort::EnumComPorts(std::vector<std::string>& list) const { EnumAllPorts(list); }
