#include "run/CallQueue.h"

namespace {
// The queue whose calls this thread is running, if any.
thread_local const TCallQueue* servingNow = nullptr;
}  // namespace

void TCallQueue::Call(const std::function<void()>& work) {
  // Work that runs on the serving thread may itself ask for the front end (package loading
  // logs its failures): it is already where it has to be.
  if (servingNow == this) {
    work();
    return;
  }
  Item item{&work, false, nullptr};
  std::unique_lock lock(mutex_);
  waiting_.push_back(&item);
  cv_.notify_all();
  if (wake_) {
    // Outside the lock: the hook may take the front end's own locks.
    lock.unlock();
    wake_();
    lock.lock();
  }
  cv_.wait(lock, [&item] { return item.done; });
  if (item.error) std::rethrow_exception(item.error);
}

bool TCallQueue::Serve(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  if (!cv_.wait_for(lock, timeout, [this] { return !waiting_.empty(); })) return false;
  while (!waiting_.empty()) {
    Item* item = waiting_.front();
    waiting_.pop_front();
    lock.unlock();
    const TCallQueue* outer = servingNow;
    servingNow = this;
    try {
      (*item->work)();
    } catch (...) {
      item->error = std::current_exception();
    }
    servingNow = outer;
    lock.lock();
    item->done = true;
    cv_.notify_all();
  }
  return true;
}
