#include "storage/change_set.h"

#include "storage/dataset_stream.h"

namespace storage {

TDAChangeSet TDAChangeSet::Load(common::ByteSpan stream, const TDAResOptions* options) {
  TDAChangeSet set;
  set.manager_ = std::make_unique<TDAMemManager>();
  const TDALoadResult loaded = LoadFromStream(*set.manager_, stream, options);
  if (loaded.table == nullptr) throw StoreError(kDAErrReadObject, "Table");
  set.table_ = loaded.table;
  set.journal_found_ = loaded.journal_loaded;
  set.cached_updates_ = loaded.cached_updates;
  const TDAMemUpdatesJournal& journal = set.table_->ServingJournal();
  for (const TDAMemRow* r = journal.FirstChange(set.table_); r != nullptr;
       r = journal.NextChange(r, set.table_)) {
    set.changes_.emplace_back(r);
  }
  return set;
}

}  // namespace storage
