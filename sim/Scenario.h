// What a bench is made of: ports, devices, the air between handheld and server, the operator
// who plugs handhelds in, and the faults to inject. Parsed from the scenario JSON (README.md in
// this folder lists every key); every value is checked, and an unknown key is an error, so a
// misspelt key cannot silently fall back to its default.
#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// Virtual time in microseconds.
using TSimTime = int64_t;

// A fault on the traffic of one port for the at-th byte the tool writes to the port (counted
// from 1 since the bench started, over every open) and the count-1 bytes after it. On the
// answers: the device's answers to those bytes are lost, come twice or come xor-ed. On the sent
// bytes: the device never sees them, sees each twice, or sees it xor-ed.
struct TByteFault {
  enum Kind { kLose, kDouble, kCorrupt };
  Kind kind = kLose;
  uint64_t at = 1;
  uint64_t count = 1;
  uint8_t xorMask = 0x01;  // kCorrupt: the byte is xor-ed with this

  bool Hits(uint64_t number) const { return number >= at && number - at < count; }
};

struct TPortConfig {
  std::string name;
  int openErrno = 0;      // Open fails with this error number (0: opens normally)
  bool silent = false;    // whatever is on the port never answers
  bool loopback = false;  // a loop-back plug: every byte comes back
  std::vector<TByteFault> answerFaults;  // on what the device sends back
  std::vector<TByteFault> sentFaults;    // on what the tool sends, on its way to the device
};

struct TDongleConfig {
  std::string port;
  std::string identity = "TPDONGLE00000042";
  uint8_t hwVersion = 0x11;
  int reactionUs = 200;
  bool answerAttach = false;  // the first lone 0x00 after identification reaches the handheld
  // After this many reset pulses a different dongle answers (0: never).
  int swapAfterResets = 0;
  std::string swapIdentity = "TPDONGLE00000099";
  uint8_t swapHwVersion = 0x11;
};

struct TServerConfig {
  std::string port;
  std::string identity = "RFTPSERVER000123";
  uint8_t hwVersion = 0x12;
  double crystalError = 0.0;
  // The crystal error moves by this much (steps) with each handheld plugged in after the first:
  // an ageing golden reference, for trying the records' drift rule.
  double crystalDriftPerHandheld = 0.0;
  int8_t factoryCompensation = 0;
  int8_t pctoolCompensation = 0;
  std::string firmware = "production";  // production, test or none
  uint8_t firmwareVersion = 0x25;       // production firmware: version byte
  uint8_t firmwareBuild = 6;            // production firmware: build byte
  uint8_t testFirmwareVersion = 0x01;   // test firmware: its version byte
  int reactionUs = 500;
  // Where the server is at start: between frames, or stuck part-way into a frame or into the
  // identification handshake (until the tool re-synchronises it).
  enum Start { kIdle, kMidFrame, kMidHandshake };
  Start start = kIdle;
  int stuckAmount = 0;  // kMidFrame: data bytes still expected; kMidHandshake: characters given
};

struct TDsrDrop {
  TSimTime fromUs = 0;
  TSimTime untilUs = 0;
};

struct TRunStatusFault {
  int run = 2;  // 1 start, 2 test cycle, 3 store
  int at = 0;   // the at-th run of that kind on the handheld (counted from 1); 0: every one
  uint8_t status = 1;
};

struct THandheldConfig {
  uint8_t hwVersion = 0x22;
  uint32_t mac = 0x00A10001;
  double crystalError = 0.0;
  int8_t factoryCompensation = 0;
  int8_t pctoolCompensation = 0;
  uint8_t modemVersion = 0x23;
  uint8_t flags = 0x00;  // register 57 at power-up; bit 0: the width bit (set: word width)
  std::string firmware = "production";  // what its memory holds at start: production or none
  int restartMs = 200;                  // DSR off after a reset pulse, without a run
  int startRunMs = 1500;  // extra time of a start run (RF initialisation, firmware update)
  int testRunMs = 300;    // extra time of a test cycle run
  int storeRunMs = 200;   // extra time of a store run
  int reactionUs = 300;
  // Faults.
  bool noDsr = false;       // never raises DSR
  int noComebackAfter = 0;  // DSR stays off after this many restarts (0: always back)
  std::vector<TDsrDrop> dsrDrops;
  std::vector<TRunStatusFault> runStatus;
  std::vector<uint16_t> readbackMismatch;  // memory addresses that read back wrong
};

struct TPacketFault {
  enum Kind { kForeign, kMalformed, kAfcSpread };
  Kind kind = kForeign;
  int handheld = -1;          // plug index, -1: every handheld
  int count = 1;              // kForeign, kMalformed: extra packets per cycle
  uint32_t mac = 0x0BADF00D;  // kForeign: their sender address
};

struct TAirConfig {
  int packetsPerCycle = 12;
  double afcNoise = 0.3;       // standard deviation, AFC units
  double captureRange = 40.0;  // steps
  int rssi = 180;
  int rssiNoise = 2;  // RSSI varies uniformly by up to this much either way
  uint64_t seed = 1;
  std::vector<TPacketFault> faults;
};

struct TOperatorConfig {
  int unplugMs = 400;  // from the first quiet DSR poll after a restore to the unplugging
  int plugMs = 800;    // from the tool's first DSR poll after the unplugging to the next plug-in
};

struct TScenario {
  int speed = 9600;
  std::vector<TPortConfig> ports;
  std::optional<TDongleConfig> dongle;
  std::optional<TServerConfig> server;
  std::vector<THandheldConfig> handhelds;
  std::vector<TDongleConfig> extraDongles;
  std::vector<TServerConfig> extraServers;
  TAirConfig air;
  TOperatorConfig op;
};

// Checks and converts a scenario; throws std::runtime_error naming the offending key.
TScenario ParseScenario(const nlohmann::json& scenario);

// The scenario of a plain day at the bench: a server as golden reference running production
// firmware, one dongle, three handhelds with different crystal errors plugged in one after the
// other.
nlohmann::json DefaultScenarioJson();

}  // namespace sim
