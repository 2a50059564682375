// libFuzzer target: loads arbitrary bytes as a dataset stream and as a change set. Malformed
// input must end in EDAException; anything else (another exception, a crash, a sanitizer
// report) is a finding. A stream that loads must save again, and what it saves must load.
#include <cstddef>
#include <cstdint>

#include "storage/change_set.h"
#include "storage/dataset_stream.h"
#include "storage/value_codec.h"

namespace {

void LoadAndResave(common::ByteSpan in, const storage::TDAResOptions* options) {
  storage::TDAMemManager m;
  try {
    storage::LoadFromStream(m, in, options);
  } catch (const storage::EDAException&) {
    return;
  }
  common::Bytes again;
  storage::SaveToStream(m, again, options);
  storage::TDAMemManager back;
  storage::LoadFromStream(back, again, options);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const common::ByteSpan in(data, size);
  LoadAndResave(in, nullptr);
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
