#include "sim/VirtualClock.h"

#include <stdexcept>
#include <thread>

void TVirtualClock::Sleep(std::chrono::milliseconds duration) {
  if (duration.count() <= 0) return;
  Duration step = std::chrono::duration_cast<Duration>(duration);
  now_.fetch_add(step.count(), std::memory_order_acq_rel);
  Pace(step);
}

TVirtualClock::Duration TVirtualClock::AdvanceTo(Duration t) {
  int64_t before = now_.load(std::memory_order_acquire);
  if (t.count() <= before) return Duration(0);
  now_.store(t.count(), std::memory_order_release);
  return Duration(t.count() - before);
}

void TVirtualClock::Pace(Duration step) const {
  double factor = SpeedFactor();
  if (factor <= 0.0 || step.count() <= 0) return;
  std::this_thread::sleep_for(std::chrono::duration<double, std::micro>(step.count() / factor));
}

void TVirtualClock::SetPaced(double speedFactor) {
  if (!(speedFactor >= 0.0)) throw std::invalid_argument("bench speed factor must be 0 or more");
  factor_.store(speedFactor, std::memory_order_release);
}
