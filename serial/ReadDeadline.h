// The read time-outs of a port as deadlines (internal): a read ends when all bytes came, when
// readMultiplier x length + readConstant has passed since it began, or when the gap after a
// received byte exceeds readInterval (0: no gap limit). All three 0: no time-out. A negative
// readInterval with the other two 0 returns at once with what is queued.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>

#include "serial/ComPort.h"

class TReadDeadline {
 public:
  using Clock = std::chrono::steady_clock;

  TReadDeadline(const TTimeoutConfig& to, size_t length, Clock::time_point start = Clock::now())
      : immediate_(to.readInterval < 0 && to.readMultiplier <= 0 && to.readConstant <= 0),
        hasTotal_(to.readMultiplier > 0 || to.readConstant > 0),
        interval_(std::max(0, to.readInterval)),
        total_(start + std::chrono::milliseconds(
                           static_cast<long long>(std::max(0, to.readMultiplier)) *
                               static_cast<long long>(length) +
                           std::max(0, to.readConstant))) {}

  // Takes only what is queued.
  bool Immediate() const { return immediate_; }

  // A byte came at now: the gap limit counts from here.
  void ByteArrived(Clock::time_point now = Clock::now()) {
    gap_ = now + std::chrono::milliseconds(interval_);
    anyByte_ = true;
  }

  // How long the next wait for a byte may last in milliseconds, rounded up: -1 without limit,
  // 0 when the read is over.
  int WaitMs(Clock::time_point now = Clock::now()) const {
    if (immediate_) return 0;
    int wait = -1;
    if (hasTotal_) wait = Until(total_, now);
    if (anyByte_ && interval_ > 0) {
      const int gap = Until(gap_, now);
      wait = wait < 0 ? gap : std::min(wait, gap);
    }
    return wait;
  }

 private:
  static int Until(Clock::time_point deadline, Clock::time_point now) {
    const auto left = deadline - now;
    if (left <= Clock::duration::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<long long>(ms, 1 << 30));
  }

  bool immediate_;
  bool hasTotal_;
  int interval_;
  Clock::time_point total_;
  Clock::time_point gap_{};
  bool anyByte_ = false;
};
