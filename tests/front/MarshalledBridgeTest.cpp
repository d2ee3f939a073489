// The marshalled operator bridge: the worker's calls carried onto the front end's thread, with
// the wake-up a front end's event loop needs.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "front/MarshalledBridge.h"

namespace {

// The front end's side: notes each call with the thread it ran on.
class TRecordingSide final : public TOperatorBridge {
 public:
  std::vector<std::string> calls;
  std::vector<std::thread::id> threads;
  std::function<void()> onStatus;  // run from within ShowStatus

  void ShowLogLine(const ByteText& text) override { Note("log " + text); }
  void ProgressStart() override { Note("progress start"); }
  void ProgressStep(int percent, bool finishing) override {
    Note("progress " + std::to_string(percent) + (finishing ? " finishing" : ""));
  }
  void ProgressEnd() override { Note("progress end"); }
  void ShowStatus(const ByteText& text) override {
    Note("status " + text);
    if (onStatus) onStatus();
  }
  void HideStatus() override { Note("hide status"); }
  void ShowOkPrompt(const ByteText& text) override {
    if (text == "throw") throw std::runtime_error("the window is gone");
    Note("ok " + text);
  }
  void ShowYesNoPrompt(const ByteText& text) override { Note("yes/no " + text); }
  void EndRunUi() override { Note("end"); }
  void RunOnUi(const std::function<void()>& work) override {
    Note("run on ui");
    work();
  }

 private:
  void Note(const std::string& call) {
    calls.push_back(call);
    threads.push_back(std::this_thread::get_id());
  }
};

// An event loop of the kind a window toolkit has: it sleeps until something is posted to it
// and serves nothing by itself. The wake hook posts.
class TEventLoop {
 public:
  void Post(std::function<void()> event) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
    cv_.notify_one();
  }
  // Runs posted events until done() holds after one.
  void RunUntil(const std::function<bool()>& done) {
    for (;;) {
      std::function<void()> event;
      {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [this] { return !events_.empty(); });
        event = std::move(events_.front());
        events_.pop_front();
      }
      event();
      if (done()) return;
    }
  }
 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> events_;
};

// Every call of a run, from the worker's thread, runs on the front end's thread in order; the
// worker goes on only once its call has run there; an event loop that only wakes when told
// serves them all.
TEST(MarshalledBridge, WorkerCallsRunOnTheFrontEndsThreadInOrder) {
  TRecordingSide side;
  TEventLoop loop;
  std::atomic<int> wakes{0};
  TMarshalledBridge* self = nullptr;
  TMarshalledBridge bridge(side, [&] {
    ++wakes;
    loop.Post([&] { self->Serve(); });
  });
  self = &bridge;
  std::atomic<bool> ended{false};
  std::vector<size_t> seenAfterCall;  // the worker's view: calls done when each returned

  std::thread worker([&] {
    bridge.ShowLogLine("first");
    seenAfterCall.push_back(side.calls.size());
    bridge.ProgressStart();
    bridge.ProgressStep(40, true);
    bridge.ProgressEnd();
    bridge.ShowStatus("Disconnect the TallyPilot...");
    bridge.HideStatus();
    bridge.ShowOkPrompt("Press Ok");
    bridge.ShowYesNoPrompt("Another?");
    // Work run on the front end that itself asks for the front end (package loading logs).
    bridge.RunOnUi([&] { bridge.ShowLogLine("nested"); });
    seenAfterCall.push_back(side.calls.size());
    bridge.EndRunUi();
    ended = true;
    loop.Post([] {});  // the worker's end, as a window learns of it
  });
  loop.RunUntil([&] { return ended.load(); });
  worker.join();

  EXPECT_EQ(side.calls, (std::vector<std::string>{
                            "log first", "progress start", "progress 40 finishing",
                            "progress end", "status Disconnect the TallyPilot...", "hide status",
                            "ok Press Ok", "yes/no Another?", "run on ui", "log nested", "end"}));
  for (const std::thread::id& id : side.threads) EXPECT_EQ(id, std::this_thread::get_id());
  EXPECT_EQ(seenAfterCall, (std::vector<size_t>{1, 10}));
  // One wake-up per call that crossed threads (the nested one did not).
  EXPECT_EQ(wakes.load(), 10);
}

TEST(MarshalledBridge, AFailureOnTheFrontEndComesBackToTheWorker) {
  TRecordingSide side;
  TMarshalledBridge bridge(side);
  std::string caught;
  std::atomic<bool> ended{false};
  std::thread worker([&] {
    try {
      bridge.ShowOkPrompt("throw");
    } catch (const std::runtime_error& e) {
      caught = e.what();
    }
    bridge.EndRunUi();
    ended = true;
  });
  // The console's way: a loop that serves with a time-out, no wake hook.
  while (!ended) bridge.Serve(std::chrono::milliseconds(50));
  worker.join();
  EXPECT_EQ(caught, "the window is gone");
  EXPECT_EQ(side.calls, std::vector<std::string>{"end"});
}

// The front end's own thread (a handler that logs, say) is served at once, with no queue to
// wait on and no wake-up.
TEST(MarshalledBridge, CallsOnTheFrontEndsThreadRunAtOnce) {
  TRecordingSide side;
  int wakes = 0;
  TMarshalledBridge bridge(side, [&] { ++wakes; });
  side.onStatus = [&] { bridge.ShowLogLine("from the status"); };
  bridge.ShowStatus("now");
  EXPECT_EQ(side.calls, (std::vector<std::string>{"status now", "log from the status"}));
  EXPECT_EQ(wakes, 0);
  EXPECT_FALSE(bridge.Serve());
}

}  // namespace
