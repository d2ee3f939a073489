#include "run/CallQueue.h"

void TCallQueue::Call(const std::function<void()>& work) {
  Item item{&work, false, nullptr};
  std::unique_lock lock(mutex_);
  waiting_.push_back(&item);
  cv_.notify_all();
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
    try {
      (*item->work)();
    } catch (...) {
      item->error = std::current_exception();
    }
    lock.lock();
    item->done = true;
    cv_.notify_all();
  }
  return true;
}
