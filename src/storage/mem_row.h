// Rows of a table in the table model: TDAMemRow.
//
// A row has a RowID (unique and increasing within its table; 0xFFFFFFFF until it joins one),
// a state and a prior state, up to three versions of its values (original, current,
// proposed), a place in the updates journal with its change number, an optional error and,
// for the rows of a nested table, the RowID of its parent row.
//
// How rows come to be (state, prior state, versions):
//   fetched / loaded unchanged     rsUnchanged, rsDetached, original
//   inserted and posted            rsInserted,  rsDetached, current
//   unchanged row edited, posted   rsModified,  rsUnchanged, original + current
//   deleted (unchanged/modified)   rsDeleted,   prior state and versions as before
//   being edited                   rsEditing,   the state before, + proposed
//   an inserted row deleted        leaves the table and the journal
//
// Values are kept in the stored layouts of value_codec.h in one record per version: a null
// bitmap and one slot per column (fixed-size values in place, variable-length ones as a
// reference to bytes in the table's arena). Rows and records live in their table's arena and
// are never freed one by one; a TDAMemRow* stays valid until its table drops its rows.
//
// Used by the thread that owns the table; nothing here is shared.
#ifndef DATASERVER_STORAGE_MEM_ROW_H_
#define DATASERVER_STORAGE_MEM_ROW_H_

#include <cstdint>
#include <memory>

#include "common/variant.h"
#include "storage/bin_storage.h"
#include "storage/enums.h"

namespace storage {

class TDAMemTable;
class TDAMemUpdatesJournal;

class TDAMemRow {
 public:
  static constexpr uint32_t kNoRowID = 0xFFFFFFFF;
  static constexpr uint32_t kNoChange = 0xFFFFFFFF;

  TDAMemTable* Table() const { return table_; }
  uint32_t RowID() const { return row_id_; }
  TDAMemRowState RowState() const { return state_; }
  TDAMemRowState RowPriorState() const { return prior_state_; }
  uint32_t ChangeNumber() const { return change_number_; }
  bool InTable() const { return in_table_; }
  bool IsJournalled() const { return journal_ != nullptr; }

  // Whether the row has that version (rvDefault: the version a read addresses).
  bool HasVersion(TDAMemRowVersion version) const;

  // The value of a column in a version: false for a null value (or a missing version);
  // otherwise `value` holds its stored bytes (valid until the value changes). rvDefault
  // addresses the original version for rsUnchanged and rsDeleted rows, the current one for
  // rsInserted and rsModified, the proposed one while editing and for a detached row.
  bool GetData(size_t column, StoredValue& value,
               TDAMemRowVersion version = TDAMemRowVersion::rvDefault) const;
  StoredValue Value(size_t column, TDAMemRowVersion version = TDAMemRowVersion::rvDefault) const;
  // The ordinary value (common::Variant, see value_codec.h); null for a null value.
  common::Variant GetValue(size_t column,
                           TDAMemRowVersion version = TDAMemRowVersion::rvDefault) const;

  // Sets a value of the version being written: the proposed one while editing or before the
  // row joins its table. The bytes are copied; fixed-size types take exactly their size (a
  // decimal up to 34 bytes). std::logic_error in other states.
  void SetData(size_t column, const StoredValue& value);
  void SetNull(size_t column) { SetData(column, StoredValue::Null()); }
  // Converts an ordinary value to the column's stored layout (decimals get the column's
  // precision and scale when it has them).
  void SetValue(size_t column, const common::Variant& value);

  // Editing: BeginEdit copies the values into a proposed version; EndEdit posts them (the row
  // becomes modified, or stays inserted) and registers the row in its journal; CancelEdit
  // drops them. Delete removes an inserted row from the table and marks others deleted.
  void BeginEdit();
  void EndEdit();
  void CancelEdit();
  void Delete();
  // Accepting makes an inserted or modified row unchanged with its current values as the
  // original ones and removes a deleted row from the table; rejecting undoes the change.
  // Both take the row out of the journal.
  void AcceptChanges();
  void RejectChanges();

  // The row's error, or null. Owned by the table.
  const EDAException* Error() const;
  void SetError(std::unique_ptr<EDAException> error);

  // The RowID of the parent row (rows of a nested table), kNoRowID when there is none.
  uint32_t ParentRowID() const { return parent_row_id_; }
  void SetParentRowID(uint32_t row_id) { parent_row_id_ = row_id; }
  // The parent row in the parent table of the table's nested relation, or null.
  TDAMemRow* ParentRow() const;

 private:
  friend class TDAMemTable;
  friend class TDAMemUpdatesJournal;
  friend struct RowAccess;

  enum Slot : uint8_t { kOriginal = 0, kCurrent = 1, kProposed = 2 };

  explicit TDAMemRow(TDAMemTable* table) : table_(table) {}

  int SlotFor(TDAMemRowVersion version) const;  // -1 when none
  int WriteSlot() const;
  uint8_t* WritableRecord(int slot);
  void ReleaseVersion(int slot);

  TDAMemTable* table_;
  uint32_t row_id_ = kNoRowID;
  uint32_t change_number_ = kNoChange;
  uint32_t parent_row_id_ = kNoRowID;
  TDAMemRowState state_ = TDAMemRowState::rsDetached;
  TDAMemRowState prior_state_ = TDAMemRowState::rsDetached;
  bool in_table_ = false;
  bool has_error_ = false;
  // Records by slot: null when the version is absent; the shared empty record when the
  // version exists with every value null.
  uint8_t* versions_[3] = {nullptr, nullptr, nullptr};
  TDAMemUpdatesJournal* journal_ = nullptr;
  TDAMemRow* prev_change_ = nullptr;
  TDAMemRow* next_change_ = nullptr;
};

}  // namespace storage

#endif  // DATASERVER_STORAGE_MEM_ROW_H_
