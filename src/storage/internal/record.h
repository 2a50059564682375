// Access to the version records of rows (layout in mem_table.h: a null bitmap, then one slot
// per column). Used by the row code on the thread that owns the table.
#ifndef DATASERVER_STORAGE_INTERNAL_RECORD_H_
#define DATASERVER_STORAGE_INTERNAL_RECORD_H_

#include <cstdint>
#include <cstring>

#include "storage/bin_storage.h"
#include "storage/mem_table.h"

namespace storage::internal {

// The record of a version that exists with every value null (shared, never written).
uint8_t* EmptyRecord();
// A valid address for values of no bytes.
const uint8_t* NoBytes();

// A variable-length value's slot.
struct VarRef {
  const uint8_t* data;
  uint32_t size;
};

inline bool IsPresent(const uint8_t* record, size_t column) {
  return record != nullptr && record != EmptyRecord() &&
         ((record[column >> 3] >> (column & 7)) & 1) != 0;
}

inline void SetPresent(uint8_t* record, size_t column, bool present) {
  const auto bit = static_cast<uint8_t>(1u << (column & 7));
  if (present) {
    record[column >> 3] = static_cast<uint8_t>(record[column >> 3] | bit);
  } else {
    record[column >> 3] = static_cast<uint8_t>(record[column >> 3] & ~bit);
  }
}

// The stored bytes of a present value.
inline StoredValue SlotValue(const uint8_t* record, const ColumnLayout& c) {
  switch (c.kind) {
    case ColumnLayout::kFixed:
      return StoredValue::Of(record + c.offset, c.fixed_size);
    case ColumnLayout::kVariable: {
      VarRef ref;
      std::memcpy(&ref, record + c.offset, sizeof ref);
      return StoredValue::Of(ref.data, ref.size);
    }
    default:
      return StoredValue::Of(NoBytes(), 0);
  }
}

}  // namespace storage::internal

#endif  // DATASERVER_STORAGE_INTERNAL_RECORD_H_
