#include "storage/dataset_stream.h"

namespace storage {
namespace {

const TDAResOptions& DefaultOptions() {
  static const TDAResOptions options;
  return options;
}

}  // namespace

uint32_t SaveToStream(const TDAMemManager& manager, common::Bytes& out,
                      const TDAResOptions* options, const TDAMemView* visible_view) {
  if (options == nullptr) options = &DefaultOptions();
  ResolveStorageFormat(options);
  auto storage = TDABinStorage::OpenWrite(out, options);
  if (visible_view != nullptr && storage->HasStoreItem(TDAStoreItem::siVisible) &&
      visible_view->Table() != nullptr) {
    storage->SetRowFilter(visible_view->Table(), visible_view);
  }
  try {
    manager.SaveToStorage(*storage);
  } catch (...) {
    storage->Close();
    throw;
  }
  storage->Close();
  return manager.Journal().ChangeNumber();
}

TDALoadResult LoadFromStream(TDAMemManager& manager, common::ByteSpan stream,
                             const TDAResOptions* options) {
  if (options == nullptr) options = &DefaultOptions();
  ResolveStorageFormat(options);
  auto storage = TDABinStorage::OpenRead(stream, options);
  manager.LoadFromStorage(*storage);

  TDALoadResult result;
  result.table = manager.FirstRootTable();
  if (result.table != nullptr) {
    TDAMemUpdatesJournal& journal = result.table->ServingJournal();
    result.journal_loaded = journal.WasLoaded();
    if (journal.HasChanges(result.table)) {
      if (storage->HasStoreItem(TDAStoreItem::siDelta)) {
        result.cached_updates = true;
      } else {
        journal.AcceptChanges(result.table);
      }
    }
    result.save_point = journal.ChangeNumber();
  }
  return result;
}

}  // namespace storage
