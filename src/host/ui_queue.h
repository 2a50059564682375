// The hand-over from connection threads to the user-interface thread, independent of any
// toolkit.
//
// Connection threads call Invoke(task): the task is queued and the caller waits until the UI
// thread has run it (the arrival and departure of one connection thus stay in order, and the
// task may use the caller's locals). The UI thread runs queued tasks with Drain() or
// WaitAndDrain(timeout):
//   - headless: the main thread loops on WaitAndDrain;
//   - under Qt: SetPostedHook installs a function that posts an event to the UI thread (it is
//     called on the posting thread right after each task is queued), and that event's handler
//     calls Drain();
//   - while the UI thread waits for something that connection threads need it for (the stop of
//     the service waits for connection threads, one of which may be in the middle of an
//     arrival), it keeps calling WaitAndDrain with a short timeout.
// Invoke on the UI thread itself runs the task at once. Post(task) queues without waiting.
// Close() runs nothing more: it releases every waiting caller (Invoke returns false for a task
// that did not run) and makes later Invokes return false at once.
//
// A task's exceptions are caught on the UI thread and dropped: nothing crosses a thread
// boundary as an exception.
//
// Thread use: Invoke and Post from any thread; Drain, WaitAndDrain and Close on the UI thread
// (the thread that built the queue, or the one named by SetUiThread). mutex_ guards the queue,
// the closed flag, the wake flag and every task's done flag.
#ifndef DATASERVER_HOST_UI_QUEUE_H_
#define DATASERVER_HOST_UI_QUEUE_H_

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace host {

class UiQueue {
 public:
  UiQueue() : ui_thread_(std::this_thread::get_id()) {}
  ~UiQueue() { Close(); }
  UiQueue(const UiQueue&) = delete;
  UiQueue& operator=(const UiQueue&) = delete;

  void SetUiThread(std::thread::id id) { ui_thread_ = id; }
  bool IsUiThread() const { return std::this_thread::get_id() == ui_thread_; }
  // Called after each task is queued, on the queuing thread. Set before connection threads run.
  void SetPostedHook(std::function<void()> hook) { posted_hook_ = std::move(hook); }

  // Runs `task` on the UI thread and waits for it. False when the queue is closed first.
  bool Invoke(std::function<void()> task);
  // Queues `task` without waiting. False when the queue is closed.
  bool Post(std::function<void()> task);

  // UI thread: runs every queued task, including those queued while it runs; returns the count.
  size_t Drain();
  // UI thread: waits up to `timeout` for a task (or Wake), then drains.
  size_t WaitAndDrain(std::chrono::milliseconds timeout);
  // Ends a WaitAndDrain early.
  void Wake();
  void Close();
  size_t pending() const;

 private:
  struct Task {
    std::function<void()> run;
    bool done = false;  // GUARDED_BY(mutex_)
    std::condition_variable finished;
  };
  bool Enqueue(const std::shared_ptr<Task>& task);

  std::thread::id ui_thread_;
  std::function<void()> posted_hook_;
  mutable std::mutex mutex_;
  std::condition_variable queued_;
  std::deque<std::shared_ptr<Task>> queue_;  // GUARDED_BY(mutex_)
  bool closed_ = false;                      // GUARDED_BY(mutex_)
  bool wake_ = false;                        // GUARDED_BY(mutex_)
};

}  // namespace host

#endif  // DATASERVER_HOST_UI_QUEUE_H_
