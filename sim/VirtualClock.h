// The bench's clock. Virtual time moves only when the worker waits: a sleep, or a read that
// waits for an answer or runs into its time-out. A whole run with all its polls and time-outs
// therefore takes milliseconds and is exactly repeatable.
//
// Paced mode (for the window and the demo): every advance of virtual time also takes wall time,
// divided by the speed factor, so that a person can follow the run.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "run/Clock.h"

class TVirtualClock final : public Clock {
 public:
  Duration Now() override { return Duration(now_.load(std::memory_order_acquire)); }
  // Advances virtual time by the duration (and waits in wall time when paced).
  void Sleep(std::chrono::milliseconds duration) override;

  // Moves virtual time forward to t (never backwards) without waiting; returns the step taken.
  Duration AdvanceTo(Duration t);
  // Waits the wall time that a virtual step takes in paced mode; nothing when not paced.
  void Pace(Duration step) const;

  // 0: instant (the default); above 0: one virtual second takes 1/factor wall seconds.
  void SetPaced(double speedFactor);
  double SpeedFactor() const { return factor_.load(std::memory_order_acquire); }

 private:
  std::atomic<int64_t> now_{0};
  std::atomic<double> factor_{0.0};
};
