#include "common/memory_budget.h"

#include <unistd.h>

namespace common {

uint64_t MemoryBudget::QuarterOfPhysicalMemory() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page_size = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return uint64_t{1} << 30;  // unknown: 1 GiB
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size) / 4;
}

MemoryBudget::MemoryBudget(uint64_t total) { SetTotal(total); }

void MemoryBudget::SetTotal(uint64_t total) {
  {
    std::lock_guard lock(mutex_);
    total_ = total != 0 ? total : QuarterOfPhysicalMemory();
  }
  released_.notify_all();
}

uint64_t MemoryBudget::total() const {
  std::lock_guard lock(mutex_);
  return total_;
}

uint64_t MemoryBudget::reserved() const {
  std::lock_guard lock(mutex_);
  return reserved_;
}

void MemoryBudget::set_wait(std::chrono::milliseconds wait) {
  std::lock_guard lock(mutex_);
  wait_ = wait;
}

std::chrono::milliseconds MemoryBudget::wait() const {
  std::lock_guard lock(mutex_);
  return wait_;
}

bool MemoryBudget::Reserve(uint64_t bytes) {
  std::unique_lock lock(mutex_);
  const auto fits = [&] { return bytes <= total_ && reserved_ <= total_ - bytes; };
  if (!released_.wait_for(lock, wait_, fits)) return false;
  reserved_ += bytes;
  return true;
}

void MemoryBudget::Release(uint64_t bytes) {
  {
    std::lock_guard lock(mutex_);
    reserved_ -= bytes < reserved_ ? bytes : reserved_;
  }
  released_.notify_all();
}

bool BudgetShare::Resize(uint64_t bytes) {
  if (budget_ == nullptr) {
    held_ = bytes;
    return true;
  }
  if (bytes > held_) {
    if (!budget_->Reserve(bytes - held_)) return false;
  } else if (bytes < held_) {
    budget_->Release(held_ - bytes);
  }
  held_ = bytes;
  return true;
}

}  // namespace common
