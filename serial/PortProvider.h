// The seam between TComPort and whatever stands behind a port name: the operating system's
// serial devices (the system's binding) or the emulated bench's virtual ports.
//
// A provider claims device names and creates bindings for them; TComPort asks the registered
// providers in turn (most recently registered first) and falls back to the system's binding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "serial/ComPort.h"

// One open device. Every failing operation raises EComError with the platform's error number
// and text (or the binding's own equivalent).
class TPortBinding {
 public:
  virtual ~TPortBinding() = default;

  // Opens the named device exclusively. Raises on failure and leaves nothing open.
  virtual void Open(const std::string& deviceName) = 0;
  // Closes the device; abandons transfers under way. Never raises.
  virtual void Close() noexcept = 0;

  virtual void ApplyLineSettings(const TLineConfig& config) = 0;
  virtual void ApplyTimeouts(const TTimeoutConfig& config) = 0;
  virtual void ApplyBufferSizes(int32_t input, int32_t output) = 0;

  // Reads up to length bytes, waiting at most as the time-outs allow; returns how many came.
  virtual size_t Read(unsigned char* buffer, size_t length) = 0;
  // Hands the bytes to the driver without waiting for them to leave; returns how many it took.
  virtual size_t Write(const unsigned char* buffer, size_t length) = 0;
  // Waits until the bytes written so far are finished: taken by the driver, and with write
  // time-outs also transmitted, bounded by those time-outs; returns false when the time-out
  // ended the wait first.
  virtual bool WaitWritten() = 0;

  virtual int32_t InputCount() = 0;
  virtual void PurgeInput() = 0;
  virtual void PurgeOutput() = 0;
  virtual TModemStatus ModemStatus() = 0;
  // How late the news of a change of the modem input lines may come, in milliseconds: 0 where
  // the lines are read as they are (a local device, the bench), more where a device server
  // reports the changes it sees on its own schedule.
  virtual int ModemNewsLateMs() const { return 0; }
};

class TPortProvider {
 public:
  virtual ~TPortProvider() = default;
  // True when deviceName names one of this provider's ports.
  virtual bool Claims(const std::string& deviceName) const = 0;
  virtual std::unique_ptr<TPortBinding> CreateBinding(const std::string& deviceName) = 0;
  // Appends the names of this provider's ports.
  virtual void EnumPorts(std::vector<std::string>& names) const = 0;
};

// Registration of additional providers (the emulated bench). The caller keeps the provider
// alive until it unregisters it. Thread-safe.
void RegisterPortProvider(TPortProvider* provider);
void UnregisterPortProvider(TPortProvider* provider);

// True for the name of a port on the network, "rfc2217://HOST:PORT" (a serial port on a device
// server, with its modem lines) or "socket://HOST:PORT" (a raw TCP stream). Such names are
// typed by the user: no port list offers them, and port detection never probes them.
bool IsNetworkPortName(const std::string& deviceName);

// The binding for deviceName: from the first registered provider that claims it; for a typed
// network name ("rfc2217://HOST:PORT", "socket://HOST:PORT") the network binding; else the
// system's binding.
std::unique_ptr<TPortBinding> CreatePortBinding(const std::string& deviceName);
// All ports: the registered providers' ports first, then the operating system's serial devices.
void EnumAllPorts(std::vector<std::string>& names);
// The adapters behind the operating system's serial ports, by port name, as the system names
// them (on Windows the device's friendly name, as Device Manager shows it: "USB Serial Port
// (COM5)"); ports without a name (a bench port, a platform that gives none) are not in it.
std::map<std::string, std::string> PortAdapterNames();
