// Heap accounting for the benchmarks that report peak memory: the program's operator new and
// delete are replaced so that every allocation's usable size is added to a running total, and
// the highest total is kept. Include this header from exactly one file of a benchmark program
// (it defines the replacement operators).
//
// Threads: any; the totals are atomics.
#ifndef DATASERVER_BENCH_HEAP_METER_H_
#define DATASERVER_BENCH_HEAP_METER_H_

#include <malloc.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace bench {

inline std::atomic<int64_t> g_heap_current{0};
inline std::atomic<int64_t> g_heap_peak{0};

inline void* HeapAllocate(size_t n) {
  void* p = std::malloc(n == 0 ? 1 : n);
  if (p == nullptr) throw std::bad_alloc();
  const int64_t now = g_heap_current += static_cast<int64_t>(malloc_usable_size(p));
  int64_t peak = g_heap_peak.load(std::memory_order_relaxed);
  while (now > peak && !g_heap_peak.compare_exchange_weak(peak, now)) {
  }
  return p;
}

inline void HeapRelease(void* p) {
  if (p == nullptr) return;
  g_heap_current -= static_cast<int64_t>(malloc_usable_size(p));
  std::free(p);
}

// Peak heap above what was held when the measurement began (one measurement at a time).
class PeakMeter {
 public:
  PeakMeter() : base_(g_heap_current.load()) { g_heap_peak = base_; }
  int64_t Peak() const { return g_heap_peak.load() - base_; }

 private:
  int64_t base_;
};

}  // namespace bench

void* operator new(size_t n) { return bench::HeapAllocate(n); }
void* operator new[](size_t n) { return bench::HeapAllocate(n); }
void operator delete(void* p) noexcept { bench::HeapRelease(p); }
void operator delete[](void* p) noexcept { bench::HeapRelease(p); }
void operator delete(void* p, size_t) noexcept { bench::HeapRelease(p); }
void operator delete[](void* p, size_t) noexcept { bench::HeapRelease(p); }

#endif  // DATASERVER_BENCH_HEAP_METER_H_
