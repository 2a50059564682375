// Loading a client's change set for the apply step.
//
// A change set is a dataset stream (siMeta, siData, siDelta; any version 1 to 15) whose
// "Manager" carries the full structure and an updates journal listing the changed rows. The
// loader gives what applying needs: the first root table's columns (data types, options,
// attributes, origin names) and the table's changed rows in journal order, each with its state
// and its original and current values in their stored layouts.
//
//   auto changes = TDAChangeSet::Load(bytes);
//   if (!changes.CachedUpdates()) ...  // no journal, or a journal without changes
//   for (const TDAChange& c : changes.Changes()) ...  // c.State(), c.Original(i), c.Current(i)
//
// A TDAChangeSet owns its table model; the rows and value bytes it hands out stay valid while
// it lives. Used on one thread.
#ifndef DATASERVER_STORAGE_CHANGE_SET_H_
#define DATASERVER_STORAGE_CHANGE_SET_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "common/bytes.h"
#include "common/variant.h"
#include "storage/bin_storage.h"
#include "storage/mem_manager.h"

namespace storage {

// One journalled row of the change set's table.
class TDAChange {
 public:
  explicit TDAChange(const TDAMemRow* row) : row_(row) {}

  const TDAMemRow& Row() const { return *row_; }
  // rsInserted, rsModified or rsDeleted for the rows a client changed; a journalled row may
  // carry another state (applying then does nothing for it).
  TDAMemRowState State() const { return row_->RowState(); }
  uint32_t RowID() const { return row_->RowID(); }
  uint32_t ChangeNumber() const { return row_->ChangeNumber(); }

  // An inserted row has no original version; a deleted row may have no current one.
  bool HasOriginal() const { return row_->HasVersion(TDAMemRowVersion::rvOriginal); }
  bool HasCurrent() const { return row_->HasVersion(TDAMemRowVersion::rvCurrent); }
  // A column's value in that version: null (present false) or its stored bytes.
  StoredValue Original(size_t column) const {
    return row_->Value(column, TDAMemRowVersion::rvOriginal);
  }
  StoredValue Current(size_t column) const {
    return row_->Value(column, TDAMemRowVersion::rvCurrent);
  }
  // The same as ordinary values (value_codec.h), e.g. for binding database parameters.
  common::Variant OriginalValue(size_t column) const {
    return row_->GetValue(column, TDAMemRowVersion::rvOriginal);
  }
  common::Variant CurrentValue(size_t column) const {
    return row_->GetValue(column, TDAMemRowVersion::rvCurrent);
  }

 private:
  const TDAMemRow* row_;
};

class TDAChangeSet {
 public:
  // Loads a change set (not compressed). Fails with EDAException for malformed input, and with
  // error 712 naming "Table" when the stream holds no table.
  static TDAChangeSet Load(common::ByteSpan stream, const TDAResOptions* options = nullptr);

  TDAChangeSet(TDAChangeSet&&) noexcept = default;
  TDAChangeSet& operator=(TDAChangeSet&&) noexcept = default;

  // The table the changes belong to (the stream's first root table) and its columns.
  const TDAMemTable& Table() const { return *table_; }
  const TDAMemColumnList& Columns() const { return table_->Columns(); }
  const TDAMemManager& Manager() const { return *manager_; }

  // Whether the stream carried an updates journal for the table at all.
  bool JournalFound() const { return journal_found_; }
  // Whether that journal lists changes of the table: the dataset is then in cached-update
  // mode and the changes can be applied. False both without a journal and with an empty one.
  bool CachedUpdates() const { return cached_updates_; }
  // The table's journalled rows, the row changed longest ago first.
  const std::vector<TDAChange>& Changes() const { return changes_; }

 private:
  TDAChangeSet() = default;

  std::unique_ptr<TDAMemManager> manager_;
  TDAMemTable* table_ = nullptr;
  bool journal_found_ = false;
  bool cached_updates_ = false;
  std::vector<TDAChange> changes_;
};

}  // namespace storage

#endif  // DATASERVER_STORAGE_CHANGE_SET_H_
