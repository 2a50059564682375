// The manager of the table model: its tables, the relations between them and, when
// UpdatesRegistry is true (every query and stored-procedure dataset), one updates journal for
// all its tables.
//
// Object "Manager" (the body of every dataset stream): "Name"; with siMeta "CaseSensitive",
// "EnforceConstraints", "Locale", "UpdatesRegistry", "Round2Scale", "CheckPrecision" (v14+),
// "StrsTrim2Len" (v7+), "CheckNotNull", "CheckReadOnly" (v6+); the object "TableList"; with
// siMeta the object "RelationList"; with UpdatesRegistry and siDelta the "UpdatesJournal".
//
// A manager and everything in it belong to one thread (one remote call, or one client).
#ifndef DATASERVER_STORAGE_MEM_MANAGER_H_
#define DATASERVER_STORAGE_MEM_MANAGER_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "storage/mem_journal.h"
#include "storage/mem_table.h"
#include "storage/mem_view.h"
#include "storage/storable.h"

namespace storage {

class TDAMemManager : public TDANamedObject {
 public:
  TDAMemManager();
  ~TDAMemManager() override;
  TDAMemManager(const TDAMemManager&) = delete;
  TDAMemManager& operator=(const TDAMemManager&) = delete;

  std::string_view StreamingName(const TDABinStorage*) const override { return "Manager"; }
  std::string_view DefaultName() const override { return "Manager"; }

  bool CaseSensitive = true;
  bool EnforceConstraints = true;
  uint32_t Locale = 1024;
  // One journal for all tables (true for the datasets of this system).
  bool UpdatesRegistry = false;
  bool Round2Scale = false;
  bool CheckPrecision = false;
  bool StrsTrim2Len = false;
  bool CheckNotNull = true;
  bool CheckReadOnly = true;

  TDAMemTableList& Tables() { return tables_; }
  const TDAMemTableList& Tables() const { return tables_; }
  TDAMemRelationList& Relations() { return relations_; }
  const TDAMemRelationList& Relations() const { return relations_; }
  TDAMemUpdatesJournal& Journal() { return journal_; }
  const TDAMemUpdatesJournal& Journal() const { return journal_; }

  TDAMemTable& AddTable(std::string name) { return tables_.Add(std::move(name)); }
  TDAMemTable* FindTable(std::string_view name) { return tables_.Find(name); }
  // The only table, or the first table that is not the child of any relation; null if none.
  TDAMemTable* FirstRootTable();

  // Drops every table, relation and journal entry.
  void Clear(TDABinStorage* storage = nullptr);

  void WriteMembers(TDABinStorage& storage) const override;
  void ReadMembers(TDABinStorage& storage) override;
  // The properties before the table list ("Name" to "CheckReadOnly").
  void WriteProperties(TDABinStorage& storage) const;

 private:
  TDAMemTableList tables_;
  TDAMemRelationList relations_;
  TDAMemUpdatesJournal journal_;
};

}  // namespace storage

#endif  // DATASERVER_STORAGE_MEM_MANAGER_H_
