// Carries calls from the worker thread onto a front end's own thread: the worker hands a call
// over and blocks until the serving thread has run it. The serving thread calls Serve in its
// loop, also while it waits for the worker to end, so the two never block each other.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

class TCallQueue {
 public:
  // Called on the worker's side each time a call has been queued, before the worker waits: a
  // front end whose thread sleeps in an event loop of its own is told to serve the queue (Qt: a
  // queued call; Win32: a posted message). Set it before the first call.
  void SetWakeHook(std::function<void()> wake) { wake_ = std::move(wake); }

  // Worker side: runs work on the serving thread and returns when it has run there. An
  // exception thrown by work is carried back and rethrown here. Called from within a call that
  // is being served, it runs work at once.
  void Call(const std::function<void()>& work);

  // Serving side: runs every call that is waiting, waiting up to timeout for the first one.
  // Returns true when it ran at least one.
  bool Serve(std::chrono::milliseconds timeout);

 private:
  struct Item {
    const std::function<void()>* work;
    bool done = false;
    std::exception_ptr error;
  };
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Item*> waiting_;
  std::function<void()> wake_;
};
