#include "run/Clock.h"

#include <thread>

namespace {

class TRealClock final : public Clock {
 public:
  Duration Now() override {
    return std::chrono::duration_cast<Duration>(
        std::chrono::steady_clock::now().time_since_epoch());
  }
  void Sleep(std::chrono::milliseconds duration) override {
    std::this_thread::sleep_for(duration);
  }
};

}  // namespace

Clock& RealClock() {
  static TRealClock clock;
  return clock;
}
