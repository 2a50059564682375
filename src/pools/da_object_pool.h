// The design the three database object pools share (TDAConnectionPool, TDAQueryPool,
// TDAStoredProcPool): a list of at most FMaxCount objects, created on demand, lent out oldest
// idle first, with a counting semaphore of free slots in front of it.
//
// Lock: wait up to FTimeout ms for a slot; a time-out does not end the call, the list is
// scanned all the same. Under the list lock, the first entry whose busy mark `Tag` is 0 is
// marked 1 and returned (reuse notification); with no idle entry and fewer than FMaxCount
// objects, a new one is created, marked and appended (creation notification, also when the
// creation failed); otherwise null. A creation error is swallowed (LastCreateError keeps its
// text) and yields null.
//
// Slot accounting: a Lock that returns an object after a successful wait holds its slot
// until the object is given back; one that returns null after a successful wait keeps its
// slot; one that went on after a time-out holds none, and giving its object back adds one,
// which the semaphore's maximum (the capacity) bounds. So a lost slot only costs waiting time.
//
// Unlock: under the list lock, find the object, set `Tag` to 0, close it (query and
// stored-procedure pools), release one slot; then the return notification. An object that is
// not in the list (or null) changes nothing, releases nothing, notifies nothing. A connection
// whose driver reported the link as lost is removed and freed instead of being kept idle, so
// that a database restart does not leave the pool lending dead links for ever.
//
// FreeAndNil frees the first idle object in creation order, if any; busy objects are never
// touched and the semaphore is not changed. The destructor frees every object, last first.
//
// Shutdown: StartShutdown puts the pool in a shutting-down state without taking the list lock
// (a caller may hold it for the length of a connection attempt): every Lock from then on, and
// every Lock waiting on the semaphore, returns null at once; a Lock that passed the semaphore
// and then finds the state returns null and gives its slot back. InterruptBusy asks every object
// that is lent out to cut its running work short (connections interrupt their statement); it
// takes the list lock. Objects given back while shutting down are dropped, not kept idle, so
// the pool starts afresh after EndShutdown, which returns it to normal service.
//
// Notifications: the pool calls its hook on the calling thread with the code of the event
// (the system's message 8888 with that code; nothing in the system needs them, so the default
// hook does nothing). Creation and reuse are reported under the list lock, the return after it;
// a hook must not call back into its pool.
//
// Thread use: any threads. StartShutdown, InterruptBusy and EndShutdown are called by the
// thread that stops the service (or a helper of it) while connection threads use the pool.
// FObjList.lock guards the list, every object's `Tag` and last_create_error_; the
// shutting-down state is an atomic flag shared with the objects' drivers; it is released on every
// path. The semaphore wait happens before the list lock is taken; creating a connection happens
// under it (other callers of the same pool wait meanwhile). No pool takes another pool's lock.
#ifndef DATASERVER_POOLS_DA_OBJECT_POOL_H_
#define DATASERVER_POOLS_DA_OBJECT_POOL_H_

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "pools/counting_semaphore.h"

namespace pools {

// The capacity of each database pool and the wait for a free slot.
inline constexpr int kPoolCapacity = 30;
inline constexpr int kPoolTimeoutMs = 3000;
// Why a pool lends nothing while it is shutting down.
inline constexpr char kShuttingDownMessage[] = "The server is shutting down";
// The message number the notifications carry.
inline constexpr int kPoolMessage = 8888;

using PoolNotifyHook = std::function<void(int code)>;

struct PoolNotifyCodes {
  int creation;
  int unlock;
  int reuse;
};

template <typename T>
class DAObjectPool {
 public:
  DAObjectPool(const DAObjectPool&) = delete;
  DAObjectPool& operator=(const DAObjectPool&) = delete;

  int MaxCount() const { return FMaxCount; }
  int Timeout() const { return FTimeout.load(); }
  void SetTimeout(int milliseconds) { FTimeout.store(milliseconds); }

  // Frees the first idle object, if there is one.
  void FreeAndNil() {
    std::lock_guard<std::mutex> guard(FObjList.lock);
    auto& items = FObjList.items;
    auto it = std::find_if(items.begin(), items.end(), [](const auto& o) { return o->Tag == 0; });
    if (it != items.end()) items.erase(it);
  }

  // Enters the shutting-down state (see the header comment). Does not block. Returns how many
  // objects were lent out at that moment.
  int StartShutdown() noexcept {
    shutting_down_->store(true);
    const int lent = FSemaphore.Maximum() - FSemaphore.Count();
    FSemaphore.Cancel();
    return lent;
  }
  // Interrupts the work of every object lent out; may be repeated while the service stops, for
  // work that started just after the previous call.
  void InterruptBusy() noexcept {
    std::lock_guard<std::mutex> guard(FObjList.lock);
    for (auto& object : FObjList.items) {
      if (object->Tag != 0) InterruptObject(*object);
    }
  }
  // Back to normal service.
  void EndShutdown() noexcept {
    FSemaphore.Resume();
    shutting_down_->store(false);
  }
  bool ShuttingDown() const noexcept { return shutting_down_->load(); }

  // Observation for tests and the console.
  int Count() const {
    std::lock_guard<std::mutex> guard(FObjList.lock);
    return static_cast<int>(FObjList.items.size());
  }
  int BusyCount() const {
    std::lock_guard<std::mutex> guard(FObjList.lock);
    return static_cast<int>(std::count_if(FObjList.items.begin(), FObjList.items.end(),
                                          [](const auto& o) { return o->Tag != 0; }));
  }
  int FreeSlots() const { return FSemaphore.Count(); }
  // The message of the last failed creation, empty when the last creation succeeded.
  std::string LastCreateError() const {
    std::lock_guard<std::mutex> guard(FObjList.lock);
    return last_create_error_;
  }

 protected:
  DAObjectPool(int ACapicity, PoolNotifyCodes codes, PoolNotifyHook hook)
      : FTimeout(kPoolTimeoutMs),
        FMaxCount(ACapicity),
        FSemaphore(ACapicity, ACapicity),
        codes_(codes),
        hook_(std::move(hook)) {}

  // Destroy: frees every object, from the last entry to the first.
  virtual ~DAObjectPool() {
    std::lock_guard<std::mutex> guard(FObjList.lock);
    while (!FObjList.items.empty()) FObjList.items.pop_back();
  }

  // A new object for the list, or an exception (swallowed by LockObject).
  virtual std::unique_ptr<T> CreateObject() = 0;
  // Called under the list lock when an object is given back, after its `Tag` is cleared.
  virtual void CloseObject(T&) noexcept {}
  // Whether an object given back must leave the pool instead of waiting idle.
  virtual bool ShouldDiscard(const T&) const noexcept { return false; }
  // Cuts short the work of a lent-out object; called under the list lock from the stopping
  // thread while the holder's thread works with the object.
  virtual void InterruptObject(T&) noexcept {}

  // The shutting-down flag, for objects that watch it themselves (a driver's lock wait).
  std::shared_ptr<const std::atomic<bool>> ShutdownFlag() const { return shutting_down_; }

  T* LockObject() noexcept {
    if (ShuttingDown()) return nullptr;
    // A time-out does not end the call; a shutdown does.
    const CountingSemaphore::WaitResult waited =
        FSemaphore.Wait(std::chrono::milliseconds(FTimeout.load()));
    if (waited == CountingSemaphore::WaitResult::kCancelled) return nullptr;
    try {
      std::lock_guard<std::mutex> guard(FObjList.lock);
      if (ShuttingDown()) {
        if (waited == CountingSemaphore::WaitResult::kAcquired) FSemaphore.Release();
        return nullptr;
      }
      auto& items = FObjList.items;
      for (auto& object : items) {
        if (object->Tag == 0) {
          object->Tag = 1;
          Notify(codes_.reuse);
          return object.get();
        }
      }
      if (static_cast<int>(items.size()) >= FMaxCount) return nullptr;
      T* result = nullptr;
      std::unique_ptr<T> created;
      try {
        created = CreateObject();
        last_create_error_.clear();
      } catch (const std::exception& e) {
        last_create_error_ = e.what();
      } catch (...) {
        last_create_error_ = "Unknown error";
      }
      if (created) {
        created->Tag = 1;
        items.push_back(std::move(created));
        result = items.back().get();
      }
      Notify(codes_.creation);
      return result;
    } catch (...) {
      return nullptr;
    }
  }

  void UnlockObject(T* Value) noexcept {
    try {
      {
        std::lock_guard<std::mutex> guard(FObjList.lock);
        auto& items = FObjList.items;
        auto it = std::find_if(items.begin(), items.end(),
                               [&](const auto& o) { return o.get() == Value; });
        if (Value == nullptr || it == items.end()) return;
        (*it)->Tag = 0;
        CloseObject(**it);
        if (ShuttingDown() || ShouldDiscard(**it)) items.erase(it);
        FSemaphore.Release();
      }
      Notify(codes_.unlock);
    } catch (...) {
    }
  }

  struct ObjList {
    mutable std::mutex lock;
    std::vector<std::unique_ptr<T>> items;  // guarded by lock; in creation order
  };

  ObjList FObjList;
  std::atomic<int> FTimeout;
  const int FMaxCount;
  CountingSemaphore FSemaphore;

 private:
  void Notify(int code) noexcept {
    if (!hook_) return;
    try {
      hook_(code);
    } catch (...) {
    }
  }

  const PoolNotifyCodes codes_;
  const PoolNotifyHook hook_;
  const std::shared_ptr<std::atomic<bool>> shutting_down_ = std::make_shared<std::atomic<bool>>();
  std::string last_create_error_;  // guarded by FObjList.lock
};

// Holds one object of a pool and gives it back on every path. `Pool` provides Lock() and
// GiveBack(T*). The pool must outlive the guard.
template <typename Pool, typename T>
class PoolGuard {
 public:
  explicit PoolGuard(Pool& pool) : pool_(&pool), object_(pool.Lock()) {}
  ~PoolGuard() { reset(); }
  PoolGuard(PoolGuard&& other) noexcept : pool_(other.pool_), object_(other.object_) {
    other.object_ = nullptr;
  }
  PoolGuard& operator=(PoolGuard&& other) noexcept {
    if (this != &other) {
      reset();
      pool_ = other.pool_;
      object_ = other.object_;
      other.object_ = nullptr;
    }
    return *this;
  }
  PoolGuard(const PoolGuard&) = delete;
  PoolGuard& operator=(const PoolGuard&) = delete;

  // Null when the pool had no object to lend.
  T* get() const { return object_; }
  T* operator->() const { return object_; }
  T& operator*() const { return *object_; }
  explicit operator bool() const { return object_ != nullptr; }

  // Gives the object back now.
  void reset() noexcept {
    if (object_ != nullptr) {
      pool_->GiveBack(object_);
      object_ = nullptr;
    }
  }

 private:
  Pool* pool_;
  T* object_;
};

}  // namespace pools

#endif  // DATASERVER_POOLS_DA_OBJECT_POOL_H_
