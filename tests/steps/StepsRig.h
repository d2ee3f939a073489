// The rig for the device-step tests: the emulated bench with one dongle (and a handheld behind
// it) and one server, a run record on the bench's virtual clock, a bridge that records what the
// steps show, and helpers that read the run trace.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "run/DirectBridge.h"
#include "run/MainFields.h"
#include "run/RunRecord.h"
#include "serial/ComPort.h"
#include "sim/Bench.h"

// Records log lines and progress calls; hooks let a test act at a given moment of a step (the
// steps run on the test's own thread, so the hooks may touch the bench and the ports).
class TRecordingBridge : public TDirectBridge {
 public:
  void ShowLogLine(const ByteText& text) override {
    Log.push_back(text);
    if (OnLog) OnLog(text);
  }
  void ProgressStart() override { ++Starts; }
  void ProgressStep(int percent, bool finishing) override {
    Steps.push_back(percent);
    StepsFinishing.push_back(finishing);
  }
  void ProgressEnd() override {
    ++Ends;
    if (OnProgressEnd) OnProgressEnd();
  }

  // The log lines from the first one equal to first on (all of them when first is empty).
  std::vector<ByteText> LinesFrom(const ByteText& first) const;
  int Count(const ByteText& line) const;

  std::vector<ByteText> Log;
  std::vector<int> Steps;
  std::vector<bool> StepsFinishing;
  int Starts = 0;
  int Ends = 0;
  std::function<void(const ByteText&)> OnLog;
  std::function<void()> OnProgressEnd;
};

// A bench scenario: SIM1 holds the dongle with one handheld, SIM2 the server; patch (a JSON merge
// patch) changes what a test needs.
nlohmann::json Scenario(const nlohmann::json& patch = nlohmann::json::object());

constexpr uint32_t kHandheldMac = 0x00A10001;
constexpr uint8_t kHandheldHw = 0x22;
constexpr uint8_t kServerTestVersion = 0x01;

struct TStepsRig {
  explicit TStepsRig(const nlohmann::json& scenario, bool goldTP = false);
  ~TStepsRig();

  // Port discovery and the attach of both devices, as a run does it before the first handheld.
  // Returns whether the run may go on.
  bool Connect();
  // Opens only the server's port, ready for frames (no discovery).
  void OpenServerOnly();
  // Stages handheld image k (1..3) or server image k (1..2) in the run record.
  void StageTP(int k, const std::vector<uint8_t>& image);
  void StageServerTestImage();

  TComPort& DonglePort() { return *Fields.SerIF1; }
  TComPort& ServerPort() { return *Fields.SerIF2; }
  char DongleDigit() const;
  char ServerDigit() const;
  sim::THandheld& Handheld() { return Bench.Handheld(0); }
  sim::TServer& Server() { return Bench.Server(); }

  TBench Bench;
  TMainFields Fields;
  TRecordingBridge Bridge;
  TComPort PortA, PortB;
  TRunRecord Run;
};

// A handheld image of length bytes: byte 0 the hardware version, bytes 27-28 the 16-bit value w
// (little-endian), the rest a pattern that depends on seed.
std::vector<uint8_t> HandheldImage(size_t length, uint16_t w, uint8_t seed);

// One record of the run trace.
struct TTraceRecord {
  char kind;  // '>' log line, '<' byte sent, 'r' byte received, 'R' reopen
  char digit; // the port's trace digit (byte records)
  int value;  // the byte (-1: none received)
  bool refused = false;
  std::string text;  // log line
};
std::vector<TTraceRecord> ParseTrace(const ByteText& trace);
// The records after the first log record equal to line (all records when line is empty).
std::vector<TTraceRecord> RecordsAfter(const ByteText& trace, const ByteText& line);
// The bytes sent on a port among records.
std::vector<int> Sent(const std::vector<TTraceRecord>& records, char digit);

// Server frames taken from the bytes sent to the server: header, then its data bytes; the check
// byte and poll bytes are skipped.
struct TFrame {
  bool isCmd;
  std::vector<int> data;
  bool operator==(const TFrame&) const = default;
};
void PrintTo(const TFrame& frame, std::ostream* os);
std::vector<TFrame> Frames(const std::vector<int>& sent);
// The values of the SrvSetOffset frames, read as signed.
std::vector<int> Trials(const std::vector<TFrame>& frames);

// A test packet as the server hands it out after the reply code: signal strength, AFC byte,
// markers and the sender's address.
std::array<uint8_t, 16> Packet(int afc, uint8_t rssi = 150, uint32_t mac = kHandheldMac);
