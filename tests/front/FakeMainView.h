// A main-window view for the presenter's tests: it records each rendered state, the log, the
// files it was asked for and the Records windows it opened, answers file questions from a list,
// and serves the worker's calls when the presenter waits.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "front/MainPresenter.h"

class TFakeView final : public TMainView {
 public:
  std::vector<TMainState> states;
  std::vector<std::string> log;
  int runsStarted = 0;
  int closed = 0;
  int recordsWritten = 0;
  std::vector<TFileRequest> fileRequests;
  std::deque<std::optional<std::string>> fileAnswers;  // none left: cancelled
  std::vector<TRecordsRequest> recordsOpened;
  TRect rect{10, 20, 350, 388};
  std::vector<TWindowPlacement> placements;
  TMainPresenter* presenter = nullptr;

  void Render(const TMainState& state) override { states.push_back(state); }
  void AppendLog(const ByteText& line) override { log.push_back(line); }
  void RunStarting() override {
    ++runsStarted;
    log.clear();
  }
  // The view's close calls the presenter's, as a window's close does.
  void CloseWindow() override {
    ++closed;
    if (presenter) presenter->Close();
  }
  void Wake() override {
    std::lock_guard lock(mutex_);
    woken_ = true;
    cv_.notify_one();
  }
  // Serves the worker's calls as they are announced until done holds; a run that never gets
  // there fails the test instead of hanging it.
  void PumpUntil(const std::function<bool()>& done) override {
    using namespace std::chrono_literals;
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "the state never came";
        return;
      }
      {
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, 100ms, [this] { return woken_; });
        woken_ = false;
      }
      presenter->ServeWorker();
    }
  }
  std::optional<std::string> AskForFile(const TFileRequest& request) override {
    fileRequests.push_back(request);
    if (fileAnswers.empty()) return std::nullopt;
    auto answer = fileAnswers.front();
    fileAnswers.pop_front();
    return answer;
  }
  void OpenRecords(const TRecordsRequest& request) override { recordsOpened.push_back(request); }
  void RecordsWritten() override { ++recordsWritten; }
  TRect WindowRect() const override { return rect; }
  void PlaceWindow(const TWindowPlacement& placement) override {
    placements.push_back(placement);
    if (placement.Left) rect.X = *placement.Left;
    if (placement.Top) rect.Y = *placement.Top;
    if (placement.Width) rect.W = *placement.Width;
    if (placement.Height) rect.H = *placement.Height;
  }

  bool Logged(const std::string& line) const {
    for (const std::string& l : log)
      if (l == line) return true;
    return false;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool woken_ = false;
};
