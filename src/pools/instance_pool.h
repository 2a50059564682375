// The pool of server-method objects (TPoolManager).
//
// Keeps the objects that serve remote calls alive between client sessions and lends them out
// again, so that a new object is built only when every existing one is lent. The pool is
// generic: it knows what it builds only through its InstanceClass, a factory with a name.
//
// Threads: LockPoolObject and UnlockPoolObject are called on connection threads, concurrently;
// InstanceClass is set during start-up. FCriticalSection guards FServerObjects (the list and
// every entry's in-use flag) and FInstanceClass. Entries are only ever appended; an object is
// freed only when the pool is destroyed, after the server has stopped serving calls.
#ifndef DATASERVER_POOLS_INSTANCE_POOL_H_
#define DATASERVER_POOLS_INSTANCE_POOL_H_

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace pools {

// Base of every object the pool can hold. The pool owns its objects and frees them through
// this virtual destructor.
class TPersistent {
 public:
  virtual ~TPersistent() = default;
};

// What InstanceClass refers to: the name of a class and the constructor call that builds one
// object of it. A default-constructed TInstanceClass is unset.
class TInstanceClass {
 public:
  using Factory = std::function<std::unique_ptr<TPersistent>()>;

  TInstanceClass() = default;
  TInstanceClass(std::string name, Factory factory)
      : name_(std::move(name)), factory_(std::move(factory)) {}

  // A class built with its plain default constructor.
  template <typename T>
  static TInstanceClass Of(std::string name) {
    return TInstanceClass(std::move(name), [] { return std::unique_ptr<TPersistent>(new T()); });
  }

  bool IsSet() const { return static_cast<bool>(factory_); }
  const std::string& Name() const { return name_; }
  // Builds one object; errors of the constructor propagate.
  std::unique_ptr<TPersistent> Build() const { return factory_(); }

 private:
  std::string name_;
  Factory factory_;
};

class TPoolManager {
 public:
  TPoolManager() = default;
  // Frees every pooled object, in the order they were built. Must not run while objects are
  // still lent to callers that use them.
  ~TPoolManager();

  TPoolManager(const TPoolManager&) = delete;
  TPoolManager& operator=(const TPoolManager&) = delete;

  // Writing only stores the reference; existing objects are kept.
  TInstanceClass InstanceClass() const;
  void SetInstanceClass(TInstanceClass value);

  // Lends the oldest free object, or builds a new one when every object is lent. Throws
  // common::Error "Not specify class of instance!" when a new object is needed and no class is
  // set; an error of the constructor propagates. In both cases the pool is unchanged.
  TPersistent* LockPoolObject();

  // Marks `value` free again. The object keeps its state. Unknown objects and null are ignored;
  // returning an object twice leaves it free.
  void UnlockPoolObject(TPersistent* value);

  // The number of pooled objects, and how many of them are lent.
  size_t Count() const;
  size_t InUseCount() const;

 private:
  struct Entry {
    std::unique_ptr<TPersistent> instance;
    bool in_use = false;
  };

  mutable std::mutex FCriticalSection;
  std::vector<Entry> FServerObjects;  // guarded by FCriticalSection; build order
  TInstanceClass FInstanceClass;      // guarded by FCriticalSection
};

}  // namespace pools

#endif  // DATASERVER_POOLS_INSTANCE_POOL_H_
