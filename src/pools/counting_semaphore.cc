#include "pools/counting_semaphore.h"

#include <algorithm>

namespace pools {

CountingSemaphore::CountingSemaphore(int initial_count, int maximum_count)
    : count_(std::clamp(initial_count, 0, std::max(maximum_count, 0))),
      maximum_(std::max(maximum_count, 0)) {}

CountingSemaphore::WaitResult CountingSemaphore::Wait(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (timeout.count() < 0) {
    available_.wait(lock, [&] { return count_ > 0; });
  } else if (!available_.wait_for(lock, timeout, [&] { return count_ > 0; })) {
    return WaitResult::kTimedOut;
  }
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

int CountingSemaphore::Count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return count_;
}

}  // namespace pools
