#include "pools/instance_pool.h"

#include "common/error.h"

namespace pools {

TPoolManager::~TPoolManager() {
  // List order, oldest first; the entries go with the vector.
  for (Entry& entry : FServerObjects) entry.instance.reset();
}

TInstanceClass TPoolManager::InstanceClass() const {
  std::lock_guard<std::mutex> lock(FCriticalSection);
  return FInstanceClass;
}

void TPoolManager::SetInstanceClass(TInstanceClass value) {
  std::lock_guard<std::mutex> lock(FCriticalSection);
  FInstanceClass = std::move(value);
}

TPersistent* TPoolManager::LockPoolObject() {
  // One section covers the search and the build: an object returned while another caller builds
  // waits for the next lend instead of making the pool grow, and builds stay serialised.
  std::lock_guard<std::mutex> lock(FCriticalSection);
  for (Entry& entry : FServerObjects) {
    if (!entry.in_use) {
      entry.in_use = true;
      return entry.instance.get();
    }
  }
  if (!FInstanceClass.IsSet()) throw common::Error("Not specify class of instance!");
  std::unique_ptr<TPersistent> instance = FInstanceClass.Build();
  if (!instance)
    throw common::Error("Instance class " + FInstanceClass.Name() + " built no object");
  TPersistent* result = instance.get();
  FServerObjects.push_back(Entry{std::move(instance), true});
  return result;
}

void TPoolManager::UnlockPoolObject(TPersistent* value) {
  if (value == nullptr) return;
  std::lock_guard<std::mutex> lock(FCriticalSection);
  for (Entry& entry : FServerObjects) {
    if (entry.instance.get() == value) {
      entry.in_use = false;
      return;
    }
  }
}

size_t TPoolManager::Count() const {
  std::lock_guard<std::mutex> lock(FCriticalSection);
  return FServerObjects.size();
}

size_t TPoolManager::InUseCount() const {
  std::lock_guard<std::mutex> lock(FCriticalSection);
  size_t n = 0;
  for (const Entry& entry : FServerObjects) n += entry.in_use ? 1 : 0;
  return n;
}

}  // namespace pools
