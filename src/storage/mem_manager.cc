#include "storage/mem_manager.h"

#include "storage/internal/named_list.h"

namespace storage {

TDAMemManager::TDAMemManager() : TDANamedObject("Manager"), tables_(this), journal_(this) {}

TDAMemManager::~TDAMemManager() {
  // The journal links rows of the tables: empty it while the rows still exist.
  journal_.Clear();
  tables_.Clear();
}

TDAMemTable* TDAMemManager::FirstRootTable() {
  if (tables_.size() == 1) return &tables_[0];
  for (size_t i = 0; i < tables_.size(); ++i) {
    bool child = false;
    for (size_t r = 0; r < relations_.size() && !child; ++r) {
      child = relations_[r].ChildTable == tables_[i].Name();
    }
    if (!child) return &tables_[i];
  }
  return nullptr;
}

void TDAMemManager::Clear(TDABinStorage* storage) {
  journal_.Clear();
  tables_.Clear(storage);
  relations_.Clear(storage);
}

void TDAMemManager::WriteProperties(TDABinStorage& storage) const {
  const uint32_t version = storage.StreamVersion();
  TDANamedObject::WriteMembers(storage);
  if (!storage.HasStoreItem(TDAStoreItem::siMeta)) return;
  storage.WriteBoolean("CaseSensitive", CaseSensitive, true);
  storage.WriteBoolean("EnforceConstraints", EnforceConstraints, true);
  storage.WriteLongWord("Locale", Locale, 1024);
  storage.WriteBoolean("UpdatesRegistry", UpdatesRegistry, false);
  storage.WriteBoolean("Round2Scale", Round2Scale, false);
  if (version >= 14) storage.WriteBoolean("CheckPrecision", CheckPrecision, false);
  if (version >= 7) storage.WriteBoolean("StrsTrim2Len", StrsTrim2Len, false);
  storage.WriteBoolean("CheckNotNull", CheckNotNull, true);
  if (version >= 6) storage.WriteBoolean("CheckReadOnly", CheckReadOnly, true);
}

void TDAMemManager::WriteMembers(TDABinStorage& storage) const {
  WriteProperties(storage);
  tables_.SaveToStorage(storage);
  if (storage.HasStoreItem(TDAStoreItem::siMeta)) relations_.SaveToStorage(storage);
  if (UpdatesRegistry && storage.HasStoreItem(TDAStoreItem::siDelta)) {
    journal_.SaveToStorage(storage);
  }
}

void TDAMemManager::ReadMembers(TDABinStorage& storage) {
  const uint32_t version = storage.StreamVersion();
  const bool meta = storage.HasStoreItem(TDAStoreItem::siMeta);
  if (meta) {
    Clear(&storage);
  } else {
    journal_.Clear();
    for (size_t i = 0; i < tables_.size(); ++i) tables_[i].ClearRows();
  }
  TDANamedObject::ReadMembers(storage);
  if (meta) {
    CaseSensitive = storage.ReadBoolean("CaseSensitive", true);
    EnforceConstraints = storage.ReadBoolean("EnforceConstraints", true);
    Locale = storage.ReadLongWord("Locale", 1024);
    UpdatesRegistry = storage.ReadBoolean("UpdatesRegistry", false);
    Round2Scale = storage.ReadBoolean("Round2Scale", false);
    CheckPrecision = version >= 14 ? storage.ReadBoolean("CheckPrecision", false) : false;
    StrsTrim2Len = version >= 7 ? storage.ReadBoolean("StrsTrim2Len", false) : false;
    CheckNotNull = storage.ReadBoolean("CheckNotNull", true);
    CheckReadOnly = version >= 6 ? storage.ReadBoolean("CheckReadOnly", true) : true;
  }
  tables_.LoadFromStorage(storage);
  if (meta) relations_.LoadFromStorage(storage);
  if (UpdatesRegistry && storage.HasStoreItem(TDAStoreItem::siDelta) &&
      storage.TestObject("UpdatesJournal")) {
    journal_.LoadFromStorage(storage);
  }
  // Parent rows of nested tables are found through their RowIDs when asked for
  // (TDAMemRow::ParentRow), so nothing is left to link once the load is complete.
}

}  // namespace storage
