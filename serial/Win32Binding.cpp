// The Win32 binding: a communications device opened for overlapped I/O, configured through its
// device control block and time-out record.
//
// Transfers: Read starts an overlapped ReadFile and waits for it with GetOverlappedResult; the
// time-outs end it with what has arrived. Write copies the bytes into a buffer the binding owns
// and starts an overlapped WriteFile without waiting; WaitWritten (and the next Write, and
// Close) waits for that write to finish first. Close cancels transfers still under way and waits
// for them before it closes the device, so no buffer is written after it went away.
//
// Wine (where the tests run) differs from Windows in a few places, which the binding absorbs:
//  - a read whose total time-out ends with no byte fails with ERROR_TIMEOUT; that is a read of
//    0 bytes, as Windows reports it;
//  - a device without modem lines (a pseudo-terminal behind a Wine COM port) refuses the
//    escape functions and the modem status with ERROR_NOT_SUPPORTED; see ApplyLineSettings;
//  - Wine does not refuse a second opener of a device; Windows does (ERROR_ACCESS_DENIED).
#include <windows.h>

#include <vector>

#include "serial/PlatformError.h"
#include "serial/SystemBinding.h"
#include "serial/Win32Dcb.h"
#include "serial/Win32Ports.h"

namespace {

// The one check of every platform call: a failure whose error is neither 0 nor "I/O pending"
// raises EComError with the system's code and text.
void Check(BOOL ok) {
  if (ok) return;
  const DWORD error = GetLastError();
  if (error == ERROR_SUCCESS || error == ERROR_IO_PENDING) return;
  SetLastError(ERROR_SUCCESS);
  RaisePlatformError(static_cast<int>(error));
}

class TWin32Binding final : public TPortBinding {
 public:
  ~TWin32Binding() override { Close(); }

  void Open(const std::string& deviceName) override {
    Close();
    SetLastError(ERROR_SUCCESS);
    // Manual-reset completion events, signalled while no transfer is under way.
    readEvent_ = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    writeEvent_ = readEvent_ ? CreateEventW(nullptr, TRUE, TRUE, nullptr) : nullptr;
    if (!writeEvent_) Fail();
    handle_ = CreateFileW(DevicePath(deviceName).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                          nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) Fail();
    linesApplied_ = false;
  }

  void Close() noexcept override {
    if (handle_ != INVALID_HANDLE_VALUE) {
      if (writeOutstanding_) {
        CancelIo(handle_);
        DWORD moved = 0;
        GetOverlappedResult(handle_, &writeOverlapped_, &moved, TRUE);
        writeOutstanding_ = false;
      }
      CloseHandle(handle_);
      handle_ = INVALID_HANDLE_VALUE;
    }
    for (HANDLE* event : {&writeEvent_, &readEvent_}) {
      if (*event) CloseHandle(*event);
      *event = nullptr;
    }
  }

  // The control block with the settings, then DTR and RTS through the escape functions, so the
  // lines are as ordered when the call returns. A device that has no modem lines refuses the
  // escape functions; that is no failure of the settings when the port is opened (its data
  // lines work), but a line change ordered on the open port that the device refuses is.
  void ApplyLineSettings(const TLineConfig& c) override {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    Check(GetCommState(handle_, &dcb));
    if (const int error = ComposeDcb(c, dcb)) RaisePlatformError(error);
    Check(SetCommState(handle_, &dcb));

    const bool opening = !linesApplied_;
    linesApplied_ = true;
    if (c.dtr == dcEnable || c.dtr == dcDisable)
      Escape(c.dtr == dcEnable ? SETDTR : CLRDTR, opening || c.dtr == appliedDtr_);
    if (c.rts == rcEnable || c.rts == rcDisable)
      Escape(c.rts == rcEnable ? SETRTS : CLRRTS, opening || c.rts == appliedRts_);
    appliedDtr_ = c.dtr;
    appliedRts_ = c.rts;
  }

  // The five values one to one; a negative interval is the system's "no interval" (MAXDWORD).
  void ApplyTimeouts(const TTimeoutConfig& t) override {
    COMMTIMEOUTS ct{};
    Check(GetCommTimeouts(handle_, &ct));
    ct.ReadIntervalTimeout = t.readInterval < 0 ? MAXDWORD : static_cast<DWORD>(t.readInterval);
    ct.ReadTotalTimeoutMultiplier = static_cast<DWORD>(t.readMultiplier);
    ct.ReadTotalTimeoutConstant = static_cast<DWORD>(t.readConstant);
    ct.WriteTotalTimeoutMultiplier = static_cast<DWORD>(t.writeMultiplier);
    ct.WriteTotalTimeoutConstant = static_cast<DWORD>(t.writeConstant);
    Check(SetCommTimeouts(handle_, &ct));
  }

  void ApplyBufferSizes(int32_t input, int32_t output) override {
    Check(SetupComm(handle_, static_cast<DWORD>(input), static_cast<DWORD>(output)));
  }

  size_t Read(unsigned char* buffer, size_t length) override {
    if (length == 0) return 0;
    OVERLAPPED overlapped{};
    overlapped.hEvent = readEvent_;
    ResetEvent(readEvent_);
    DWORD moved = 0;
    if (!ReadFile(handle_, buffer, static_cast<DWORD>(length), &moved, &overlapped)) {
      DWORD error = GetLastError();
      if (error == ERROR_IO_PENDING) {
        if (GetOverlappedResult(handle_, &overlapped, &moved, TRUE)) return moved;
        error = GetLastError();
      }
      // The time-out ended the read before a byte came; a purge ended it early.
      if (error == ERROR_TIMEOUT || error == ERROR_OPERATION_ABORTED) return moved;
      SetLastError(error);
      Check(FALSE);
    }
    return moved;
  }

  size_t Write(const unsigned char* buffer, size_t length) override {
    FinishWrite();
    writeBuffer_.assign(buffer, buffer + length);
    writeRequested_ = static_cast<DWORD>(length);
    writeShort_ = false;
    writeOverlapped_ = OVERLAPPED{};
    writeOverlapped_.hEvent = writeEvent_;
    ResetEvent(writeEvent_);
    DWORD moved = 0;
    if (WriteFile(handle_, writeBuffer_.data(), writeRequested_, &moved, &writeOverlapped_))
      return moved;
    const DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
      writeOutstanding_ = true;
      return length;  // whether all of it went out, WaitWritten tells
    }
    if (error == ERROR_TIMEOUT) return moved;
    Check(FALSE);
    return moved;
  }

  bool WaitWritten() override {
    FinishWrite();
    const bool complete = !writeShort_;
    writeShort_ = false;
    return complete;
  }

  int32_t InputCount() override {
    DWORD errors = 0;
    COMSTAT status{};
    Check(ClearCommError(handle_, &errors, &status));
    return static_cast<int32_t>(status.cbInQue);
  }

  void PurgeInput() override { Check(PurgeComm(handle_, PURGE_RXABORT | PURGE_RXCLEAR)); }

  void PurgeOutput() override {
    Check(PurgeComm(handle_, PURGE_TXABORT | PURGE_TXCLEAR));
    FinishWrite();
    writeShort_ = false;
  }

  TModemStatus ModemStatus() override {
    DWORD lines = 0;
    Check(GetCommModemStatus(handle_, &lines));
    TModemStatus s;
    if (lines & MS_CTS_ON) s.Include(msCTS);
    if (lines & MS_DSR_ON) s.Include(msDSR);
    if (lines & MS_RING_ON) s.Include(msRing);
    if (lines & MS_RLSD_ON) s.Include(msRLSD);
    return s;
  }

 private:
  [[noreturn]] void Fail() {
    const DWORD error = GetLastError();
    Close();
    RaisePlatformError(static_cast<int>(error));
  }

  // DTR or RTS at once. tolerateNoLines: a device without modem lines may refuse.
  void Escape(DWORD function, bool tolerateNoLines) {
    if (EscapeCommFunction(handle_, function)) return;
    if (tolerateNoLines && GetLastError() == ERROR_NOT_SUPPORTED) return;
    Check(FALSE);
  }

  // Waits for the outstanding write, if any, and notes whether it moved fewer bytes than asked.
  void FinishWrite() {
    if (!writeOutstanding_) return;
    writeOutstanding_ = false;
    DWORD moved = 0;
    if (!GetOverlappedResult(handle_, &writeOverlapped_, &moved, TRUE)) {
      const DWORD error = GetLastError();
      if (error != ERROR_TIMEOUT && error != ERROR_OPERATION_ABORTED) {
        SetLastError(error);
        Check(FALSE);
      }
    }
    writeShort_ = moved != writeRequested_;
  }

  HANDLE handle_ = INVALID_HANDLE_VALUE;
  HANDLE readEvent_ = nullptr;
  HANDLE writeEvent_ = nullptr;
  // The write under way: its overlapped record and the bytes it moves, owned here.
  OVERLAPPED writeOverlapped_{};
  std::vector<unsigned char> writeBuffer_;
  DWORD writeRequested_ = 0;
  bool writeOutstanding_ = false;
  bool writeShort_ = false;
  // DTR and RTS as last ordered, so a refused change is told from the first setting at Open.
  bool linesApplied_ = false;
  TDTRControl appliedDtr_ = dcDefault;
  TRTSControl appliedRts_ = rcDefault;
};

}  // namespace

std::unique_ptr<TPortBinding> CreateSystemBinding() { return std::make_unique<TWin32Binding>(); }
