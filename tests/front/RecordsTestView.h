// A view of the records browser for the tests: it takes the browser's results on the test's
// thread, as a window's event loop does.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "front/RecordsBrowser.h"

using Clock = std::chrono::steady_clock;

class TTestView : public TRecordsView {
 public:
  void WakeRecords() override {
    {
      std::lock_guard l(m_);
      woken_ = true;
    }
    cv_.notify_all();
  }
  void RecordsChanged(bool countChanged, bool) override {
    if (countChanged) Counts.push_back(Browser->State().Count);
  }
  void RowsArrived(int64_t first, int64_t last) override { Rows.emplace_back(first, last); }
  void RecordTextArrived(int64_t id, const std::string& text) override { Texts[id] = text; }
  void ExportEnded(bool ok, const std::string& error) override {
    Exports.push_back(ok ? std::string() : error.empty() ? "?" : error);
  }

  // Waits for a wake up to a turn's length, without taking the results.
  bool WaitWake(std::chrono::milliseconds most) {
    std::unique_lock l(m_);
    const bool woken = cv_.wait_for(l, most, [this] { return woken_; });
    woken_ = false;
    return woken;
  }
  // One turn of the view's loop: wait a little for a wake, then take what came.
  void Turn() {
    WaitWake(std::chrono::milliseconds(10));
    Browser->Pump();
  }
  // Turns until done() holds (false after a generous time).
  template <class F>
  bool TurnUntil(F done, std::chrono::seconds most = std::chrono::seconds(20)) {
    const auto end = Clock::now() + most;
    while (!done()) {
      if (Clock::now() > end) return false;
      Turn();
    }
    return true;
  }

  TRecordsBrowser* Browser = nullptr;
  std::vector<int64_t> Counts;
  std::vector<std::pair<int64_t, int64_t>> Rows;
  std::map<int64_t, std::string> Texts;
  std::vector<std::string> Exports;

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool woken_ = false;
};

