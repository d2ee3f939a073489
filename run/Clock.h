// Time as the worker sees it. Every wait of a run (line pulses, DSR polls, read time-outs of
// the emulated bench) goes through a Clock, so that the emulated bench can supply a virtual one
// and a whole run becomes fast and repeatable.
#pragma once

#include <chrono>

class Clock {
 public:
  using Duration = std::chrono::microseconds;
  virtual ~Clock() = default;
  // Time since an arbitrary start.
  virtual Duration Now() = 0;
  virtual void Sleep(std::chrono::milliseconds duration) = 0;
};

// Wall time (steady clock, real sleeps).
Clock& RealClock();
