// One production record: one attempt on one device, with its identity, every measurement, the
// outcome and the station it was made on. Filled by the run driver when a device's pass ends and
// kept by a record store.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

// One test cycle of the fine-tuning measurement.
struct TTestCycle {
  int Trial = 0;       // compensation value the server received with
  int Packets = 0;     // accepted packets
  int AvgRssi = 0;     // average signal strength of the accepted packets (0 without packets)
  int64_t AfcSum = 0;  // sum of their AFC readings
  int AfcMin = 0;      // smallest and largest AFC reading (256 and -256 without packets)
  int AfcMax = 0;
  bool operator==(const TTestCycle&) const = default;
};

// Firmware put back into the tuned device during its pass.
struct TFirmwareRestore {
  std::string Kind;     // "rf_modem", "eeprom" or "server"
  std::string Version;  // as the log shows it ("V1.2")
  bool Done = false;    // programmed to the end (and, for the RF modem, its update ran)
  bool operator==(const TFirmwareRestore&) const = default;
};

// The package slots whose SHA-256 digests a record keeps, in the run's slot order.
inline constexpr std::array<const char*, 5> kPackageNames = {"rf_modem", "eeprom", "server",
                                                             "tp_test", "srv_test"};

// Outcome texts.
inline constexpr const char* kRecordCompleted = "completed";
inline constexpr const char* kRecordFailed = "failed";
inline constexpr const char* kRecordAborted = "aborted";

struct TTuningRecord {
  int64_t Id = 0;             // the store's number; 0 until stored
  std::string Uid;            // unique id given when the record is made (resends stay single)
  std::string StartedAt;      // UTC, ISO 8601 with milliseconds: 2026-12-10T13:22:49.123Z
  std::string EndedAt;
  std::string Station;        // host name
  std::string ProgramVersion;
  bool Bench = false;         // made on the emulated bench
  std::string Golden;         // golden reference: "server" or "handheld"
  bool AnalysisOnly = false;

  std::string DonglePort, DongleIdentity, DongleHwVersion;
  std::string ServerPort, ServerIdentity, ServerHwVersion;
  std::string ServerFirmware;  // the production firmware version the server ran at the start

  std::string DeviceKind;      // the tuned device: "handheld" or "server"
  std::string DeviceIdentity;  // the handheld's MAC (8 hex digits) or the server's identity
  std::string Mac;             // the handheld's MAC, 8 upper-case hex digits ("" if not read)
  std::string HandheldHwVersion, RfModemVersion;

  // The tuned device's compensation settings before tuning, and the golden reference's.
  std::optional<int> FactoryComp, PcToolComp, EffectiveComp, GoldenComp;
  std::vector<TTestCycle> Cycles;
  // The measured offset (new value less the previous effective one) and the new value, in
  // steps and, as the log shows them, in kHz and ppm (one decimal).
  std::optional<int> OffsetSteps;
  std::optional<double> OffsetKhz, OffsetPpm;
  std::optional<int> NewCompSteps;
  std::optional<double> NewCompKhz, NewCompPpm;
  bool Stored = false;    // the device accepted the new value
  bool ReadBack = false;  // and it was read back (the server; a handheld is not read back)

  std::vector<TFirmwareRestore> Restored;
  std::array<std::string, 5> PackageSha256;  // lower-case hex, "" for a package not loaded

  // Who and what for: the run that made the record (retries of a device in one run share it),
  // the attempt on this device within the run (1, 2 ... after each retry), the operator and the
  // work order or lot given at the start ("" when none was given).
  std::string RunId;
  int Attempt = 1;
  std::string Operator, WorkOrder;
  // The limits the pass was judged against and the verdict of each measurement, as JSON
  // ({"min_packets":8,...,"cycles":[{"cycle":1,"packets":"pass","afc_spread":"pass"}],
  // "new_comp":"pass"}); "" for a record made before they were kept.
  std::string Limits;

  std::string Outcome;        // kRecordCompleted, kRecordFailed or kRecordAborted
  std::string FailureReason;  // for a failure: the log line that said why
  std::string Log;            // the device's log lines, each ended by '\n'
  std::string Trace;          // its part of the run trace (the error log file's records)

  bool operator==(const TTuningRecord&) const = default;
};

// Text as a store and an export keep it: valid UTF-8 without NUL. Bytes that are not part of a
// UTF-8 character (a Latin-1 file name, a device's reply) and NUL become "\xNN", so nothing is
// lost and every store takes it.
std::string ValidUtf8(std::string_view bytes);

// A fresh unique id (32 hex digits from the system's random source).
std::string NewRecordUid();
// Now, UTC, as ISO 8601 with milliseconds.
std::string IsoTimeNow();

// A point in time as the records' filters take it, in the form the records keep their times
// (UTC, milliseconds, "2026-12-10T13:22:49.123Z"), so that it compares as the instant it names.
// Accepted: a date alone (its midnight), a date and time to the minute, second or fraction, with
// "T" or a space between, and "Z", an offset ("+05:00", "-0130", "+05") or nothing (UTC).
// Empty for anything else: a day or hour that does not exist, a word, a time without a date.
std::string ParseRecordTime(const std::string& text);
// The accepted forms, for messages.
extern const char* const kRecordTimeForms;

// The record as JSON. With logs, also "log" and "trace" (as text; bytes that are not UTF-8
// become \xNN), else without them (the console's per-device line).
nlohmann::json RecordJson(const TTuningRecord& record, bool withLogs);

// Lossless form for the spool file (log and trace base64-encoded), and back. RecordFromSpool
// throws std::runtime_error for a line that is not such a record.
std::string RecordToSpoolLine(const TTuningRecord& record);
TTuningRecord RecordFromSpoolLine(const std::string& line);

// Compensation steps in ppm (exact, for statistics): n / 1.92955.
double StepsToPpm(double steps);
