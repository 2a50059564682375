#include "host/ui_queue.h"

namespace host {

bool UiQueue::Enqueue(const std::shared_ptr<Task>& task) {
  {
    std::lock_guard lock(mutex_);
    if (closed_) return false;
    queue_.push_back(task);
  }
  queued_.notify_one();
  if (posted_hook_) posted_hook_();
  return true;
}

bool UiQueue::Invoke(std::function<void()> task) {
  if (IsUiThread()) {
    try {
      task();
    } catch (...) {
    }
    return true;
  }
  auto t = std::make_shared<Task>();
  t->run = std::move(task);
  if (!Enqueue(t)) return false;
  std::unique_lock lock(mutex_);
  t->finished.wait(lock, [&] { return t->done || closed_; });
  return t->done;
}

bool UiQueue::Post(std::function<void()> task) {
  auto t = std::make_shared<Task>();
  t->run = std::move(task);
  return Enqueue(t);
}

size_t UiQueue::Drain() {
  size_t count = 0;
  for (;;) {
    std::shared_ptr<Task> t;
    {
      std::lock_guard lock(mutex_);
      if (queue_.empty() || closed_) return count;
      t = std::move(queue_.front());
      queue_.pop_front();
    }
    try {
      t->run();
    } catch (...) {
    }
    {
      std::lock_guard lock(mutex_);
      t->done = true;
    }
    t->finished.notify_one();
    ++count;
  }
}

size_t UiQueue::WaitAndDrain(std::chrono::milliseconds timeout) {
  {
    std::unique_lock lock(mutex_);
    queued_.wait_for(lock, timeout, [this] { return !queue_.empty() || wake_ || closed_; });
    wake_ = false;
  }
  return Drain();
}

void UiQueue::Wake() {
  {
    std::lock_guard lock(mutex_);
    wake_ = true;
  }
  queued_.notify_all();
}

void UiQueue::Close() {
  std::deque<std::shared_ptr<Task>> dropped;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    dropped.swap(queue_);
  }
  queued_.notify_all();
  for (auto& t : dropped) t->finished.notify_one();
}

size_t UiQueue::pending() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

}  // namespace host
