// Tables of the table model: TDAMemTable and the manager's TDAMemTableList.
//
// Object "Table": "Name", "SourceName", "SourceID"; with siMeta "TabID" (its position in the
// table list), "CaseSensitive", "EnforceConstraints", "Locale", "MinimumCapacity", "Nested",
// "Round2Scale", "CheckPrecision" (v14+), "StrsTrim2Len" (v7+), "CheckNotNull",
// "CheckReadOnly" (v6+), "InlineDataSize" (v12+) and the objects "ColumnList",
// "ConstraintList", "ViewList"; with siData or siDelta the row list ("RowList"; before
// version 10 "TableRowList"); with siDelta and a journal of its own, "UpdatesJournal".
//
// A table owns its columns, constraints, views and rows (see mem_row.h), and an updates
// journal used when its manager keeps none. Rows are read while the table is in bulk loading:
// a row joining the table keeps the state it was read with and registers no change.
//
// Used by the thread that owns the model.
#ifndef DATASERVER_STORAGE_MEM_TABLE_H_
#define DATASERVER_STORAGE_MEM_TABLE_H_

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "storage/internal/arena.h"
#include "storage/mem_column.h"
#include "storage/mem_constraint.h"
#include "storage/mem_journal.h"
#include "storage/mem_row.h"
#include "storage/mem_view.h"
#include "storage/storable.h"

namespace storage {

class TDAMemManager;

namespace internal {

// Where each column's value sits in a version record and in which pass it is stored.
struct ColumnLayout {
  enum Kind : uint8_t { kNoValue, kFixed, kVariable, kPresence };
  uint32_t offset = 0;
  uint16_t fixed_size = 0;
  Kind kind = kNoValue;
  uint8_t pass = 0;  // 1 short values, 2 parent row references, 3 long values; 0 none
  common::DataType type = common::DataType::dtUnknown;
};

// A version record: a null bitmap (bit set = value present), then one slot per column:
// fixed-size values in place, variable-length values as {const uint8_t* data; uint32_t size}.
struct RecordLayout {
  size_t bitmap_bytes = 0;
  size_t record_size = 0;
  std::vector<ColumnLayout> columns;
  std::vector<uint32_t> passes[3];     // column indices of passes 1, 2 and 3, ascending
  std::vector<int32_t> pass_position;  // by column: position within its pass, -1 for none
  bool has_ref_columns = false;        // dtRowSetRef .. dtParentRowRef present
  bool has_long_columns = false;       // dtByteString .. dtHBFile present
};

}  // namespace internal

class TDAMemTable : public TDANamedObject {
 public:
  explicit TDAMemTable(TDAMemManager* manager = nullptr);
  ~TDAMemTable() override;
  TDAMemTable(const TDAMemTable&) = delete;
  TDAMemTable& operator=(const TDAMemTable&) = delete;

  std::string_view StreamingName(const TDABinStorage*) const override { return "Table"; }
  std::string_view DefaultName() const override { return "Table"; }

  std::string SourceName;
  int32_t SourceID = 0;
  bool CaseSensitive = true;
  bool EnforceConstraints = true;
  uint32_t Locale = 1024;
  int32_t MinimumCapacity = 0;
  bool Nested = false;
  bool Round2Scale = false;
  bool CheckPrecision = false;
  bool StrsTrim2Len = false;
  bool CheckNotNull = true;
  bool CheckReadOnly = true;

  TDAMemColumnList& Columns() { return columns_; }
  const TDAMemColumnList& Columns() const { return columns_; }
  TDAMemConstraintList& Constraints() { return constraints_; }
  const TDAMemConstraintList& Constraints() const { return constraints_; }
  TDAMemViewList& Views() { return views_; }
  const TDAMemViewList& Views() const { return views_; }

  TDAMemManager* Manager() const { return manager_; }
  // Position in the manager's table list; -1 for a table without manager.
  int TabID() const;
  // Whether the table keeps its own journal: always the opposite of its manager's.
  bool UpdatesRegistry() const;
  TDAMemUpdatesJournal& Journal() { return journal_; }
  const TDAMemUpdatesJournal& Journal() const { return journal_; }
  // The journal that records this table's changes (the manager's or its own).
  TDAMemUpdatesJournal& ServingJournal();
  const TDAMemUpdatesJournal& ServingJournal() const;

  // --- Rows -------------------------------------------------------------------------------
  // A new detached row with an empty proposed version (auto-increment values assigned when
  // `set_defaults`). Prepares the column layout first: error 4 without columns, error 3 for
  // a column of type dtUnknown. The table owns the row.
  TDAMemRow* NewRow(bool set_defaults = true);
  // The row joins the table as inserted (its proposed values become current), gets the next
  // RowID and is registered in the journal.
  void AppendRow(TDAMemRow* row);
  // The row joins the table as fetched: unchanged, its proposed values as the original ones.
  void AppendFetchedRow(TDAMemRow* row);

  size_t RowCount() const;
  TDAMemRow* Row(size_t index) const;
  std::span<TDAMemRow* const> Rows() const;
  // By RowID (searching by halves while the rows are ordered by RowID); null when absent.
  TDAMemRow* FindRow(uint32_t row_id) const;
  // Drops every row (and its journal entries and errors).
  void ClearRows();
  uint32_t NextRowID() const { return next_row_id_; }
  bool RowsOrderedByID() const { return ordered_; }

  // Column layout of the version records (prepared on first use, see NewRow).
  const internal::RecordLayout& Layout();
  bool HasLayout() const { return layout_ready_; }

  // Bulk loading (lmHavyLoading): rows keep their state and register no change.
  bool BulkLoading() const { return bulk_loading_; }

  // The parent table of the nested relation whose child is this table, or null.
  TDAMemTable* NestedParentTable() const;

  void WriteMembers(TDABinStorage& storage) const override;
  void ReadMembers(TDABinStorage& storage) override;

  // The members before the row list ("Name" to "ViewList"), with `tab_id` as "TabID".
  void WriteStructure(TDABinStorage& storage, int tab_id) const;
  // Drops the structure and the rows (load with siMeta); `storage` keeps dropped objects
  // alive until it is released.
  void Reset(TDABinStorage* storage = nullptr);

 private:
  friend class TDAMemRow;
  friend class TDAMemColumnList;
  friend class TDAMemManager;
  friend class TDAMemTableList;
  friend class TDAMemUpdatesJournal;
  friend struct RowAccess;

  void SetManager(TDAMemManager* manager) { manager_ = manager; }
  void PrepareLayout();
  void InvalidateLayout();
  TDAMemRow* AllocateRow(TDABinStorage* charge);
  // Joins a row read by a load (bulk loading), tracking RowID order and auto-increments.
  void AppendLoadedRow(TDAMemRow* row);
  void RemoveRow(TDAMemRow* row);
  void Compact() const;
  void NoteAutoIncrement(const TDAMemRow& row);
  void WriteRowList(TDABinStorage& storage) const;
  void ReadRowList(TDABinStorage& storage, std::string_view name);

  // Records: allocation, copy and release.
  uint8_t* NewRecord(TDABinStorage* charge);
  uint8_t* CopyRecord(const uint8_t* record);
  void FreeRecord(uint8_t* record);
  uint8_t* CopyBytes(const uint8_t* data, size_t size, TDABinStorage* charge);

  TDAMemManager* manager_;
  TDAMemColumnList columns_;
  TDAMemConstraintList constraints_;
  TDAMemViewList views_;
  TDAMemUpdatesJournal journal_;

  internal::Arena arena_;
  internal::RecordLayout layout_;
  bool layout_ready_ = false;
  mutable std::vector<TDAMemRow*> rows_;
  mutable size_t removed_ = 0;  // rows in rows_ that left the table
  std::vector<uint8_t*> free_records_;
  uint32_t next_row_id_ = 0;
  bool ordered_ = true;
  mutable std::unordered_map<uint32_t, TDAMemRow*> row_index_;  // when not ordered
  mutable bool row_index_valid_ = false;
  std::unordered_map<const TDAMemRow*, std::unique_ptr<EDAException>> errors_;
  std::vector<int64_t> next_auto_inc_;
  bool has_auto_inc_ = false;
  bool bulk_loading_ = false;
};

class TDAMemTableList : public TDAStorableObject {
 public:
  explicit TDAMemTableList(TDAMemManager* manager = nullptr) : manager_(manager) {}
  std::string_view StreamingName(const TDABinStorage*) const override { return "TableList"; }
  TDAStorageObjectStyle ObjectStyle() const override { return TDAStorageObjectStyle::osTypedArray; }

  size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  TDAMemTable& operator[](size_t i) { return *items_[i]; }
  const TDAMemTable& operator[](size_t i) const { return *items_[i]; }
  TDAMemTable& Add(std::string name);
  TDAMemTable* Find(std::string_view name);
  const TDAMemTable* Find(std::string_view name) const;
  int IndexOf(const TDAMemTable* table) const;
  void Clear(TDABinStorage* storage = nullptr);

  void WriteMembers(TDABinStorage& storage) const override;
  void ReadMembers(TDABinStorage& storage) override;

 private:
  TDAMemManager* manager_;
  std::vector<std::unique_ptr<TDAMemTable>> items_;
};

}  // namespace storage

#endif  // DATASERVER_STORAGE_MEM_TABLE_H_
