// Saving and loading a whole table model as a dataset stream: what a dataset's SaveToStream
// and LoadFromStream do around the container.
//
//   SaveToStream(manager, out)        appends a complete container (header, "Manager" body,
//                                     dictionary) to `out`
//   LoadFromStream(manager, stream)   reads one into `manager` and attaches its first root
//                                     table, as a dataset does with a client's change set
//
// The resource options default to a dataset's defaults (siMeta, siData, siDelta, version 15,
// the binary format). Used on the calling thread only.
#ifndef DATASERVER_STORAGE_DATASET_STREAM_H_
#define DATASERVER_STORAGE_DATASET_STREAM_H_

#include <cstdint>

#include "common/bytes.h"
#include "storage/bin_storage.h"
#include "storage/mem_manager.h"

namespace storage {

// Appends the stream of `manager`. With siVisible in the store items and `visible_view` given,
// the rows of that view are written in place of its table's rows. Returns the journal's
// ChangeNumber (the dataset's new save point). A failed save still ends the objects it began
// and completes the container before the error goes on; the content is then incomplete.
uint32_t SaveToStream(const TDAMemManager& manager, common::Bytes& out,
                      const TDAResOptions* options = nullptr,
                      const TDAMemView* visible_view = nullptr);

struct TDALoadResult {
  // The first root table (the only table, or the first that is no relation's child); null
  // when the stream holds no table.
  TDAMemTable* table = nullptr;
  // A journal object was read for that table (the manager's or the table's own).
  bool journal_loaded = false;
  // The journal holds changes of the table and siDelta is a store item: the changes stay
  // for applying ("cached updates" on). Without siDelta such changes are accepted instead.
  bool cached_updates = false;
  // The journal's ChangeNumber after the load.
  uint32_t save_point = 0;
};

// Loads a stream into `manager` (which is emptied first when siMeta is a store item; without
// it the stream's values go into the manager's existing tables). Malformed input fails with
// EDAException (710 corrupt or truncated bytes, 712 a missing object, 715 an unknown class);
// the manager's content is then unspecified but valid.
TDALoadResult LoadFromStream(TDAMemManager& manager, common::ByteSpan stream,
                             const TDAResOptions* options = nullptr);

}  // namespace storage

#endif  // DATASERVER_STORAGE_DATASET_STREAM_H_
