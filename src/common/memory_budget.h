// A process-wide budget for the memory that peers can make the server allocate by sending
// compressed data: decoded frames and inflating payloads of every connection together.
//
// A user reserves what a buffer may grow to before it grows, and gives back what it does not
// keep. When the budget is spent, a reservation waits up to wait() for others to give memory
// back and then fails, so a burst of large messages queues or is refused with a clear error
// instead of driving the machine into swap or the OOM killer.
//
// Thread use: any thread; the counters are guarded by mutex_.
#ifndef DATASERVER_COMMON_MEMORY_BUDGET_H_
#define DATASERVER_COMMON_MEMORY_BUDGET_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace common {

class MemoryBudget {
 public:
  // `total` bytes; 0 means a quarter of the machine's physical memory.
  explicit MemoryBudget(uint64_t total = 0);
  MemoryBudget(const MemoryBudget&) = delete;
  MemoryBudget& operator=(const MemoryBudget&) = delete;

  // Sets the total (0 = a quarter of physical memory); reservations already made stay.
  void SetTotal(uint64_t total);
  uint64_t total() const;
  uint64_t reserved() const;

  // How long a reservation waits for memory to come back (default 5 s).
  void set_wait(std::chrono::milliseconds wait);
  std::chrono::milliseconds wait() const;

  // Takes `bytes` from the budget, waiting up to wait() while it is spent. False when the
  // bytes could not be had in time (or exceed the whole budget).
  bool Reserve(uint64_t bytes);
  void Release(uint64_t bytes);

  static uint64_t QuarterOfPhysicalMemory();

 private:
  mutable std::mutex mutex_;
  std::condition_variable released_;
  uint64_t total_ = 0;                    // GUARDED_BY(mutex_)
  uint64_t reserved_ = 0;                 // GUARDED_BY(mutex_)
  std::chrono::milliseconds wait_{5000};  // GUARDED_BY(mutex_)
};

// Bytes held from a MemoryBudget, given back when the holder goes. A holder grows to what the
// next use needs and shrinks to what it keeps.
class BudgetShare {
 public:
  explicit BudgetShare(MemoryBudget* budget = nullptr) : budget_(budget) {}
  ~BudgetShare() { Resize(0); }
  BudgetShare(const BudgetShare&) = delete;
  BudgetShare& operator=(const BudgetShare&) = delete;

  void set_budget(MemoryBudget* budget) {
    Resize(0);
    budget_ = budget;
  }
  // Holds exactly `bytes` from now on. Growing may wait as the budget says; false (holding
  // what it held before) when the budget cannot give the difference. Without a budget, always
  // true.
  bool Resize(uint64_t bytes);
  uint64_t held() const { return held_; }

 private:
  MemoryBudget* budget_;
  uint64_t held_ = 0;
};

}  // namespace common

#endif  // DATASERVER_COMMON_MEMORY_BUDGET_H_
