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
};
