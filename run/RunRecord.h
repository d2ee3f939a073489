// The state of one tuning run: what every step of the link, firmware and tuning subsystems
// reads and writes, plus the few services they share (logging through the operator bridge, the
// progress bar, the clock, the termination request and the operator wait).
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "run/Bridge.h"
#include "run/ByteText.h"
#include "run/Clock.h"
#include "run/MainFields.h"
#include "run/PassFacts.h"

// Outcome codes.
constexpr uint8_t kOutcomeOk = 0;         // no failure so far
constexpr uint8_t kOutcomeFailed = 1;     // the procedure failed (the reason was logged)
constexpr uint8_t kOutcomeDone = 0x80;    // completed; after the question: Yes
constexpr uint8_t kOutcomeAnswerNo = 0x81;  // the operator answered No

// A package as kept in memory: 4-byte little-endian total length, then the file's bytes.
using TPackageRecord = std::vector<uint8_t>;

constexpr size_t kTPImageSize = 8192;
constexpr uint16_t kSrvFirstWord = 0x0100;
constexpr uint16_t kSrvLastWord = 0x1FFF;
constexpr uint16_t kSrvNoData = 0xFFFF;

// The wait for the operator's answer. A release that comes before the wait is remembered, and a
// termination request opens the gate for good.
class TOperatorGate {
 public:
  void Release();
  void Terminate();
  void Wait();

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool released_ = false;
  bool terminated_ = false;
};

class TRunRecord {
 public:
  TRunRecord(TMainFields& main, TOperatorBridge& bridge, Clock& clock);
  TRunRecord(const TRunRecord&) = delete;
  TRunRecord& operator=(const TRunRecord&) = delete;

  TMainFields& Main;
  TOperatorBridge& Bridge;
  Clock& Clk;

  // Termination: requested by the front end at any time (Cancel, closing the window).
  void RequestTermination();
  bool Terminated() const { return terminated_.load(std::memory_order_acquire); }
  // The steps may go on: no termination, or the closing server restore is running.
  bool MayGoOn() const { return !Terminated() || Finishing; }

  // The operator's answer to a prompt, given on the front end's thread: Ok/Yes leave Outcome as
  // it is, No sets it to 0x81 (only while the worker waits). Then the worker goes on.
  void ReleaseOperator(bool answeredNo = false);
  // The worker's wait for that answer (returns at once after a termination request).
  void OperatorWait();

  bool Finishing = false;
  uint32_t ModemMAC = 0;
  ByteText ErrLog;
  ByteText ErrLogHead;
  ByteText ModemVer;
  ByteText EepromVer;
  ByteText SrvFileVer;
  ByteText SrvVer;
  int8_t DutComp = 0;
  int8_t RefComp = 0;
  uint8_t Outcome = kOutcomeOk;
  uint8_t NewComp = 0;
  ByteText Reply;
  // The last message logged, as the operator saw it (the reason of a failure, say).
  ByteText LastLog;
  ByteText DongleId;
  uint8_t TPHwVer = 0;
  uint8_t TPFlags = 0;
  // Handheld images 1 RF modem firmware, 2 EEPROM firmware, 3 test firmware (index 0 unused).
  std::array<uint16_t, 4> TPImageLen{};
  std::array<std::array<uint8_t, kTPImageSize>, 4> TPImage{};
  // Server images 1 production firmware, 2 test firmware (index 0 unused), indexed by word
  // address; only 0x0100..0x1FFF are used, 0xFFFF marks a word without data.
  std::array<std::array<uint16_t, kSrvLastWord + 1>, 3> SrvImage{};
  bool LinkOk = false;
  bool SrvFound = false;
  // The server's program memory was written in this run (test firmware installed, or a restore
  // begun), so it must get its production firmware back before the run ends, even when a later
  // attempt never found it again. Cleared when discovery can no longer tell which server that
  // was (a second server answered).
  bool SrvNeedsRestore = false;
  // Package slots 1 RF modem, 2 EEPROM, 3 server, 4 handheld test, 5 server test (0 unused).
  std::array<std::shared_ptr<const TPackageRecord>, 6> FwBlob;
  // The operator was told how to get permission for a port that refused to open (once a run).
  bool PermissionHintShown = false;

  // Facts about the devices for the production record, and who wants to know when the
  // handheld's MAC has been read (it may log a line).
  TPassFacts Facts;
  std::function<void(TRunRecord&)> ModemMacRead;

 private:
  std::atomic<bool> terminated_{false};
  TOperatorGate gate_;
};

// The one way to log: the message becomes Reply, a ">" record of the trace, and a log line.
void AddLog(TRunRecord& run, const ByteText& text);

// Shows Reply as a log line without adding it to the trace (the result lines of a handheld).
void ShowLogLine(TRunRecord& run);

// Progress of programming: bracket the work with ProgressStart/ProgressEnd and call
// ProgressAdvance after each unit; the bar moves only when the whole percentage grows.
void ProgressStart(TRunRecord& run);
void ProgressAdvance(TRunRecord& run, uint16_t& done, uint16_t total);
void ProgressEnd(TRunRecord& run);
