// A bump allocator for the rows of one table: row objects, their value records and their
// variable-length values come from a few large blocks, so loading a million rows costs a few
// dozen allocations. Memory is returned only by Reset() (or destruction); what a row no
// longer uses stays until then. Used by the thread that owns the table.
#ifndef DATASERVER_STORAGE_INTERNAL_ARENA_H_
#define DATASERVER_STORAGE_INTERNAL_ARENA_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace storage::internal {

class Arena {
 public:
  Arena() = default;
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;

  // `n` bytes aligned to 8; never null (n may be 0).
  uint8_t* Allocate(size_t n) {
    n = (n + 7) & ~size_t{7};
    if (n > left_) return AllocateSlow(n);
    uint8_t* p = ptr_;
    ptr_ += n;
    left_ -= n;
    return p;
  }

  void Reset() {
    blocks_.clear();
    ptr_ = nullptr;
    left_ = 0;
    next_block_ = kFirstBlock;
    allocated_ = 0;
  }

  // Bytes held in blocks.
  size_t BytesAllocated() const { return allocated_; }

 private:
  static constexpr size_t kFirstBlock = 4096;
  static constexpr size_t kMaxBlock = size_t{1} << 20;

  uint8_t* AllocateSlow(size_t n) {
    if (n > kMaxBlock / 4) {
      // Large values get a block of their own; the current block stays in use.
      blocks_.push_back(std::make_unique_for_overwrite<uint8_t[]>(n));
      allocated_ += n;
      return blocks_.back().get();
    }
    const size_t size = n > next_block_ ? n : next_block_;
    if (next_block_ < kMaxBlock) next_block_ *= 2;
    blocks_.push_back(std::make_unique_for_overwrite<uint8_t[]>(size));
    allocated_ += size;
    ptr_ = blocks_.back().get() + n;
    left_ = size - n;
    return blocks_.back().get();
  }

  std::vector<std::unique_ptr<uint8_t[]>> blocks_;
  uint8_t* ptr_ = nullptr;
  size_t left_ = 0;
  size_t next_block_ = kFirstBlock;
  size_t allocated_ = 0;
};

}  // namespace storage::internal

#endif  // DATASERVER_STORAGE_INTERNAL_ARENA_H_
