#include "pools/counting_semaphore.h"

#include <algorithm>

namespace pools {

CountingSemaphore::CountingSemaphore(int initial_count, int maximum_count)
    : count_(std::clamp(initial_count, 0, std::max(maximum_count, 0))),
      maximum_(std::max(maximum_count, 0)) {}

CountingSemaphore::WaitResult CountingSemaphore::Wait(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto ready = [&] { return cancelled_ || count_ > 0; };
  if (timeout.count() < 0) {
    available_.wait(lock, ready);
  } else if (!available_.wait_for(lock, timeout, ready)) {
    return WaitResult::kTimedOut;
  }
  if (cancelled_) return WaitResult::kCancelled;
  --count_;
  return WaitResult::kAcquired;
}

bool CountingSemaphore::Release() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count_ >= maximum_) return false;
    ++count_;
  }
  available_.notify_one();
  return true;
}

void CountingSemaphore::Cancel() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = true;
  }
  available_.notify_all();
}

void CountingSemaphore::Resume() {
  std::lock_guard<std::mutex> lock(mutex_);
  cancelled_ = false;
}

int CountingSemaphore::Count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return count_;
}

}  // namespace pools
