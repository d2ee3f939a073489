// The crystal fine-tuning of one device against the golden reference.
//
// The handheld, running its test firmware, sends test packets; the server, running its test
// firmware with a trial compensation value, receives them and reports each packet's signal
// strength and frequency-offset (AFC) reading. The trial is first searched (0, +50, -50, +100,
// -100, -100) until enough packets get through, then corrected by the measured offset and
// measured once more; the second measurement gives the device's new compensation value,
// relative to the reference's.
#pragma once

#include "run/RunRecord.h"

// The limits a measurement is judged against: a test cycle counts as a measurement with at least
// MinPackets accepted packets, whose AFC readings spread over at most MaxAfcSpread units; the new
// value must lie within CompMin..CompMax (+128 would read back as -128).
struct TTuningLimits {
  unsigned MinPackets = 8;
  int MaxAfcSpread = 4;
  int CompMin = -127;
  int CompMax = 127;
};
inline constexpr TTuningLimits kTuningLimits{};

// The run step for one handheld: both readouts, the test cycles, and the store of the result
// (skipped when only an analysis was asked for). A link failure anywhere ends it with
// "Communication error!".
void RunFineTuning(TRunRecord& run);

// The measuring loop. On success NewComp holds the value to store (never 0, and never 1 when the
// server is tuned, since those mean "no setting"); on failure Outcome is 1 or LinkOk is clear.
void RunTestCycles(TRunRecord& run);

// Stores NewComp in the device being tuned: the server's PC-tool setting (read back to check)
// when the handheld is the reference, otherwise through a store run of the handheld's test
// firmware. Failures only clear LinkOk.
void StoreComp(TRunRecord& run);
