// libFuzzer target: loads arbitrary bytes as a dataset stream and as a change set. Malformed
// input must end in EDAException; anything else (another exception, a crash, a sanitizer
// report) is a finding. A stream that loads must save again, and what it saves must load.
// Rows are read by a fast path when every name they use has one spelling in the dictionary;
// the same input with a second spelling of "Row" appended takes the general path, and both
// must agree.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <optional>

#include "storage/change_set.h"
#include "storage/dataset_stream.h"
#include "storage/value_codec.h"

namespace {

// The stream saved again after loading `in`, or nullopt when `in` does not load.
std::optional<common::Bytes> LoadAndResave(common::ByteSpan in,
                                           const storage::TDAResOptions* options) {
  storage::TDAMemManager m;
  try {
    storage::LoadFromStream(m, in, options);
  } catch (const storage::EDAException&) {
    return std::nullopt;
  }
  common::Bytes again;
  storage::SaveToStream(m, again, options);
  storage::TDAMemManager back;
  storage::LoadFromStream(back, again, options);
  return again;
}

// Whether the dictionary of `in` ends exactly at the end and has room for one more name.
bool CanAppendName(common::ByteSpan in) {
  try {
    const auto s = storage::TDABinStorage::OpenRead(in);
    size_t size = s->DictionaryOffset();
    for (const auto& n : s->DictionaryNames()) size += 2 + 2 * n.size();
    return size == in.size() && s->DictionaryNames().size() < 500 && s->StreamVersion() >= 5;
  } catch (const storage::EDAException&) {
    return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const common::ByteSpan in(data, size);
  const auto fast = LoadAndResave(in, nullptr);
  if (CanAppendName(in)) {
    common::Bytes general(in.begin(), in.end());
    static const uint8_t kRow[] = {0x06, 0x00, 'R', 0x00, 'O', 0x00, 'W', 0x00};
    general.insert(general.end(), std::begin(kRow), std::end(kRow));
    const auto slow = LoadAndResave(general, nullptr);
    if (fast.has_value() != slow.has_value() || (fast && *fast != *slow)) std::abort();
  }
  storage::TDAResOptions delta_only;
  delta_only.StoreItems = {storage::TDAStoreItem::siMeta, storage::TDAStoreItem::siDelta};
  delta_only.MaxModelBytes = 64 << 20;
  LoadAndResave(in, &delta_only);
  try {
    const auto set = storage::TDAChangeSet::Load(in);
    for (const storage::TDAChange& change : set.Changes()) {
      for (size_t c = 0; c < set.Columns().size(); ++c) {
        try {
          change.OriginalValue(c);
          change.CurrentValue(c);
        } catch (const storage::EDAException&) {
          // A stored value may not convert (a decimal with invalid digits).
        }
      }
    }
  } catch (const storage::EDAException&) {
  }
  return 0;
}
