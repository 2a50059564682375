// A counting semaphore with a timed wait and a fixed maximum count.
//
// Unlike std::counting_semaphore, a release that would pass the maximum is refused (the count
// stays) instead of being undefined: the database pools rely on that bound when a caller
// that took no slot gives an object back.
//
// Cancel puts it in a cancelled state for a shutdown: every waiter wakes and fails, and a wait
// begun while cancelled fails at once, taking nothing; Resume ends that state. Release works
// in both states, so objects given back during a shutdown still return their slots.
//
// Thread use: any threads; `mutex_` guards `count_` and `cancelled_`.
#ifndef DATASERVER_POOLS_COUNTING_SEMAPHORE_H_
#define DATASERVER_POOLS_COUNTING_SEMAPHORE_H_

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace pools {

class CountingSemaphore {
 public:
  enum class WaitResult { kAcquired, kTimedOut, kCancelled };

  CountingSemaphore(int initial_count, int maximum_count);
  CountingSemaphore(const CountingSemaphore&) = delete;
  CountingSemaphore& operator=(const CountingSemaphore&) = delete;

  // Takes one slot, waiting at most `timeout` for one to come free; a negative timeout waits
  // without limit. kCancelled, with no slot taken, while the semaphore is cancelled.
  WaitResult Wait(std::chrono::milliseconds timeout);
  // Wakes every waiter with kCancelled and fails later waits until Resume.
  void Cancel();
  void Resume();
  // Gives one slot back and wakes one waiter; false, with the count unchanged, when the count
  // is already at its maximum.
  bool Release();

  int Count() const;
  int Maximum() const { return maximum_; }

 private:
  mutable std::mutex mutex_;
  std::condition_variable available_;
  int count_;               // guarded by mutex_
  bool cancelled_ = false;  // guarded by mutex_
  const int maximum_;
};

}  // namespace pools

#endif  // DATASERVER_POOLS_COUNTING_SEMAPHORE_H_
