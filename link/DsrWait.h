// The one wait for the handheld's DSR line, as the dongle reports it on the port in the SerIF1
// role, for the three moments the run waits on it.
#pragma once

#include <functional>

#include "run/RunRecord.h"

class TComPort;

enum class TDsrAwait {
  // Attach: the handheld plugged in, powered and switched on. No time limit; a port that
  // cannot report its lines ends the wait.
  kPluggedIn,
  // After a reset pulse: the handheld up again, within a budget of samples. A port that
  // cannot report its lines ends the wait at once.
  kBack,
  // After the firmware restore: the handheld unplugged. No time limit; a port that cannot
  // report its lines any more has nothing plugged in.
  kUnplugged,
};

enum class TDsrWaitEnd { kSeen, kOutOfBudget, kLinesUnreadable, kTerminated };

// Samples DSR every 50 ms until five samples in a row show the awaited state. The reset wait
// (kBack) takes at most budget samples and goes on during the closing restore; the other two
// end on a termination request. missing, when given, runs once at the first sample that does
// not show the awaited state.
//
// Where the port says its news of the lines may be late (a device server that reports what it
// sees on its own schedule), DSR on at attach or after a reset pulse may still be news from
// before the pulse: it counts only once a sample has shown DSR off (the news has moved on
// since) or the port's lateness has passed since the wait began, and the reset wait's budget
// grows by that lateness. The unplug wait comes after the handheld was seen up on fresh news,
// so it takes every off as it comes. A port whose news is never late keeps its timing exactly.
TDsrWaitEnd WaitForDsr(TRunRecord& run, TComPort& port, TDsrAwait awaited, int budget = 0,
                       const std::function<void()>& missing = {});
