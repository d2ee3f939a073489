// The emulated bench: virtual serial ports with a dongle (and the handhelds plugged into it one
// after another) and a radio server behind them, all answering byte for byte, on a virtual
// clock. While a TBench exists its port names ("SIM1"... by default) reach its virtual ports
// through the serial port provider seam, so TComPort::Open("SIM2") talks to the emulated server
// and EnumComPorts lists the bench's ports.
//
// Deterministic and without threads of its own: everything happens inside the worker's own
// calls. A byte written at virtual time t reaches the device at t plus one byte time (10 bits at
// the port's speed); the device's answer starts after its reaction time and arrives one byte
// time later. A read advances the virtual clock to the answer, or by the read time-out when none
// comes; a read that no time-out ends and no byte will end throws std::logic_error, where a real
// port would hang. The worker must use VirtualClock() for its sleeps.
//
//   TBench bench(R"({"handhelds": [{"crystal_error": 12.5}]})");
//   TRunRecord run(fields, bridge, bench.VirtualClock());
#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "run/Clock.h"
#include "sim/Devices.h"

namespace sim {
class TBenchCore;
class TBenchProvider;
}  // namespace sim

// Traffic of one virtual port.
struct TSimPortStats {
  bool open = false;
  int opens = 0;
  uint64_t bytesFromTool = 0;  // bytes the tool wrote
  uint64_t bytesToTool = 0;    // bytes sent back (the answers, as faults left them)
  int speed = 0;               // line speed in use (bit/s)
};

class TBench {
 public:
  // The default scenario.
  TBench();
  // Checks the scenario; throws std::runtime_error naming the offending key.
  explicit TBench(const nlohmann::json& scenario);
  // The same from scenario text (JSON).
  explicit TBench(const char* scenarioText);
  explicit TBench(const std::string& scenarioText);
  ~TBench();
  TBench(const TBench&) = delete;
  TBench& operator=(const TBench&) = delete;

  // Reads a scenario file; throws std::runtime_error for an unreadable file or bad JSON.
  static nlohmann::json LoadScenario(const std::string& path);
  // The server as golden reference running production firmware, one dongle, three handhelds
  // with different crystal errors plugged in one after another.
  static nlohmann::json DefaultScenario();

  Clock& VirtualClock();
  // 0: instant (the default); above 0: virtual time follows wall time at that factor (every
  // wait of the worker really sleeps its duration divided by the factor).
  void SetPaced(double speedFactor);

  std::vector<std::string> PortNames() const;

  // For a program that serves the bench in wall time (tptune-sim): the virtual time at which the
  // next byte on any line arrives (at a device, or back at a port), Clock::Duration::max()
  // when none is on its way; and moving virtual time forward to t without waiting.
  Clock::Duration NextArrival() const;
  void AdvanceTo(Clock::Duration t);
  // DSR on the port now, as a look at the line that is not one of the tool's polls (the
  // operator model counts those).
  bool DsrNow(const std::string& port) const;
  // Bytes written to the port that have not yet left it for the line.
  size_t QueuedToLine(const std::string& port) const;

  // Final state of every device (README.md lists the keys).
  nlohmann::json Report() const;
  // Writes Report() as JSON; throws std::runtime_error when the file cannot be written.
  void WriteReport(const std::string& path) const;

  // The device models, to inspect or prepare them. Use them only while no worker is running.
  sim::TServer& Server();                           // the scenario's server (throws if none)
  sim::TDongle& Dongle();                           // the scenario's dongle (throws if none)
  sim::TServer* ServerOn(const std::string& port);  // any server, by port; null if none there
  sim::TDongle* DongleOn(const std::string& port);
  size_t HandheldCount() const;
  sim::THandheld& Handheld(size_t plugIndex);
  // Plug index of the handheld in the dongle or being plugged in (HandheldCount() when all
  // have gone).
  size_t CurrentHandheld() const;
  TSimPortStats PortStats(const std::string& port) const;

 private:
  std::shared_ptr<sim::TBenchCore> core_;
  std::unique_ptr<sim::TBenchProvider> provider_;
};
