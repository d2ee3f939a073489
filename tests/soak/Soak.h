// The fault-injection soak: bench scenarios generated across the whole space of options,
// devices, crystal errors, firmware states, faults and operator answers, each run as a whole job
// through the console front end, and checked for the outcomes that must never happen: a crash or
// hang, a success reported while a device is left wrong, a stored value under analysis only, a
// trace that is not CR-ended records.
#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

struct TSoakCase {
  uint64_t seed = 0;
  uint64_t index = 0;
  nlohmann::json scenario;
  bool goldHandheld = false;
  bool analysisOnly = false;
  bool restoreServer = false;
  bool restoreHandheld = false;
  std::vector<std::string> answers;
  std::vector<std::string> faultKinds;  // one entry per fault in the scenario
};

// What a run left behind.
struct TSoakOutput {
  bool ended = false;
  int status = -1;
  std::string out;    // the console's standard output
  std::string trace;  // the error log file's bytes; traceWritten false when there is none
  bool traceWritten = false;
  nlohmann::json report;
  bool operatorGaveUp = false;  // the run waited so long that the operator cancelled it
  // What a server holds once the production package is programmed into it (image digest).
  std::string productionServerDigest;
  // Completed records per MAC ("0x..." as the log shows it), in the store or its spool.
  std::map<std::string, int> completedRecords;
};

// Case number index of the series seed: always the same case for the same two numbers.
TSoakCase MakeSoakCase(uint64_t seed, uint64_t index);

// Runs the case through the console front end on the bench, in workDir (created and emptied),
// with the demo packages of demoDir. A run that is still going after wallLimitSeconds ends the
// process with the case's reproduction printed: it would never end on its own.
TSoakOutput RunSoakCase(const TSoakCase& c, const std::string& workDir, const std::string& demoDir,
                        int wallLimitSeconds = 60);

// The invariants a run must keep; each violation is one line naming the invariant and the device.
std::vector<std::string> CheckSoakRun(const TSoakCase& c, const TSoakOutput& o);

// The names of the invariants, as violation lines start with them.
const std::vector<std::string>& SoakInvariants();

// A command line of the soak program that runs this case again on its own.
std::string SoakReproduction(const TSoakCase& c);

// Counts over a series of cases.
struct TSoakTally {
  uint64_t cases = 0, completedRuns = 0, cancelledByOperator = 0;
  std::map<std::string, uint64_t> perFault;        // cases with at least one fault of the kind
  std::map<std::string, uint64_t> perInvariant;    // violations
  std::map<int, uint64_t> perStatus;               // exit statuses
  void Add(const TSoakCase& c, const TSoakOutput& o, const std::vector<std::string>& violations);
  // Adds another tally's counts (of other cases of the same series).
  void Merge(const TSoakTally& other);
  nlohmann::json Json() const;
  static TSoakTally FromJson(const nlohmann::json& j);
  std::string Text() const;
};
