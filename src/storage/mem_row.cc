#include "storage/mem_row.h"

#include <cstring>
#include <stdexcept>

#include "storage/internal/record.h"
#include "storage/mem_manager.h"
#include "storage/mem_table.h"
#include "storage/value_codec.h"

namespace storage {

using internal::ColumnLayout;

int TDAMemRow::SlotFor(TDAMemRowVersion version) const {
  switch (state_) {
    case TDAMemRowState::rsImportingCurent:
      return kCurrent;
    case TDAMemRowState::rsImportingOriginal:
      return kOriginal;
    case TDAMemRowState::rsImportingProposed:
      return kProposed;
    default:
      break;
  }
  switch (version) {
    case TDAMemRowVersion::rvCurrent:
      return kCurrent;
    case TDAMemRowVersion::rvOriginal:
      return kOriginal;
    case TDAMemRowVersion::rvProposed:
      return kProposed;
    case TDAMemRowVersion::rvPrevious:
      return versions_[kCurrent] != nullptr ? kCurrent : kOriginal;
    case TDAMemRowVersion::rvDefault:
      break;
  }
  switch (state_) {
    case TDAMemRowState::rsUnchanged:
    case TDAMemRowState::rsDeleted:
      return kOriginal;
    case TDAMemRowState::rsInserted:
    case TDAMemRowState::rsModified:
      return kCurrent;
    case TDAMemRowState::rsEditing:
      return kProposed;
    default:
      if (versions_[kProposed] != nullptr) return kProposed;
      return versions_[kCurrent] != nullptr ? kCurrent : kOriginal;
  }
}

int TDAMemRow::WriteSlot() const {
  switch (state_) {
    case TDAMemRowState::rsImportingCurent:
      return kCurrent;
    case TDAMemRowState::rsImportingOriginal:
      return kOriginal;
    case TDAMemRowState::rsImportingProposed:
    case TDAMemRowState::rsEditing:
      return kProposed;
    case TDAMemRowState::rsDetached:
      if (!in_table_) return kProposed;
      break;
    default:
      break;
  }
  throw std::logic_error("the row is not being edited");
}

bool TDAMemRow::HasVersion(TDAMemRowVersion version) const {
  return versions_[SlotFor(version)] != nullptr;
}

bool TDAMemRow::GetData(size_t column, StoredValue& value, TDAMemRowVersion version) const {
  value = StoredValue::Null();
  if (!table_->HasLayout() || column >= table_->layout_.columns.size()) return false;
  const uint8_t* record = versions_[SlotFor(version)];
  if (!internal::IsPresent(record, column)) return false;
  value = internal::SlotValue(record, table_->layout_.columns[column]);
  return true;
}

StoredValue TDAMemRow::Value(size_t column, TDAMemRowVersion version) const {
  StoredValue v;
  GetData(column, v, version);
  return v;
}

common::Variant TDAMemRow::GetValue(size_t column, TDAMemRowVersion version) const {
  StoredValue v;
  if (!GetData(column, v, version)) return common::Variant::Null();
  return StoredToVariant(table_->layout_.columns[column].type, v.bytes());
}

uint8_t* TDAMemRow::WritableRecord(int slot) {
  uint8_t*& record = versions_[slot];
  if (record == nullptr || record == internal::EmptyRecord()) record = table_->NewRecord(nullptr);
  return record;
}

void TDAMemRow::ReleaseVersion(int slot) {
  table_->FreeRecord(versions_[slot]);
  versions_[slot] = nullptr;
}

void TDAMemRow::SetData(size_t column, const StoredValue& value) {
  const int slot = WriteSlot();
  const internal::RecordLayout& layout = table_->Layout();
  if (column >= layout.columns.size()) throw std::out_of_range("no such column");
  const ColumnLayout& c = layout.columns[column];
  uint8_t* record = WritableRecord(slot);
  if (!value.present) {
    internal::SetPresent(record, column, false);
    return;
  }
  switch (c.kind) {
    case ColumnLayout::kFixed:
      if (c.type == common::DataType::dtBCD || c.type == common::DataType::dtFmtBCD) {
        if (value.size < 1 || value.size > TBcd::kSize) {
          throw std::invalid_argument("a decimal value takes 1 to 34 bytes");
        }
        std::memcpy(record + c.offset, value.data, value.size);
        std::memset(record + c.offset + value.size, 0, TBcd::kSize - value.size);
      } else {
        if (value.size != c.fixed_size) throw std::invalid_argument("value size mismatch");
        std::memcpy(record + c.offset, value.data, c.fixed_size);
      }
      break;
    case ColumnLayout::kVariable: {
      if (common::IsWideTextType(c.type) && value.size % 2 != 0) {
        throw std::invalid_argument("wide text of an odd byte length");
      }
      const internal::VarRef ref{table_->CopyBytes(value.data, value.size, nullptr), value.size};
      std::memcpy(record + c.offset, &ref, sizeof ref);
      break;
    }
    case ColumnLayout::kPresence:
      break;
    case ColumnLayout::kNoValue:
      throw std::invalid_argument("the column's type carries no value");
  }
  internal::SetPresent(record, column, true);
}

void TDAMemRow::SetValue(size_t column, const common::Variant& value) {
  const internal::RecordLayout& layout = table_->Layout();
  if (column >= layout.columns.size()) throw std::out_of_range("no such column");
  const TDAMemColumn& col = table_->Columns()[column];
  DecimalFormat format{col.Precision, col.Scale};
  auto bytes = VariantToStored(col.DataType, value, col.Precision > 0 ? &format : nullptr);
  if (!bytes) {
    SetNull(column);
  } else {
    SetData(column, StoredValue::Of(*bytes));
  }
}

void TDAMemRow::BeginEdit() {
  if (!in_table_) throw std::logic_error("only a row of a table can be edited");
  if (state_ == TDAMemRowState::rsEditing) return;
  if (state_ != TDAMemRowState::rsUnchanged && state_ != TDAMemRowState::rsInserted &&
      state_ != TDAMemRowState::rsModified) {
    throw std::logic_error("the row cannot be edited in its state");
  }
  const uint8_t* source = versions_[SlotFor(TDAMemRowVersion::rvDefault)];
  versions_[kProposed] = source == nullptr ? internal::EmptyRecord() : table_->CopyRecord(source);
  prior_state_ = state_;
  state_ = TDAMemRowState::rsEditing;
}

void TDAMemRow::EndEdit() {
  if (state_ != TDAMemRowState::rsEditing) return;
  const TDAMemRowState before = prior_state_;
  ReleaseVersion(kCurrent);
  versions_[kCurrent] = versions_[kProposed];
  versions_[kProposed] = nullptr;
  if (before == TDAMemRowState::rsInserted) {
    state_ = TDAMemRowState::rsInserted;
    prior_state_ = TDAMemRowState::rsDetached;
  } else {
    state_ = TDAMemRowState::rsModified;
    prior_state_ = TDAMemRowState::rsUnchanged;
  }
  if (!table_->BulkLoading()) table_->ServingJournal().RegisterRow(this);
}

void TDAMemRow::CancelEdit() {
  if (state_ != TDAMemRowState::rsEditing) return;
  ReleaseVersion(kProposed);
  state_ = prior_state_;
  prior_state_ = state_ == TDAMemRowState::rsModified ? TDAMemRowState::rsUnchanged
                                                      : TDAMemRowState::rsDetached;
}

void TDAMemRow::Delete() {
  if (!in_table_) return;
  CancelEdit();
  switch (state_) {
    case TDAMemRowState::rsInserted:
      table_->RemoveRow(this);
      break;
    case TDAMemRowState::rsUnchanged:
    case TDAMemRowState::rsModified:
      // The prior state stays as it was (rsDetached for an unchanged row, rsUnchanged for a
      // modified one), which is also what tells a rejected deletion which state to restore.
      state_ = TDAMemRowState::rsDeleted;
      if (!table_->BulkLoading()) table_->ServingJournal().RegisterRow(this);
      break;
    case TDAMemRowState::rsDeleted:
      break;
    default:
      throw std::logic_error("the row cannot be deleted in its state");
  }
}

void TDAMemRow::AcceptChanges() {
  if (!in_table_) return;
  EndEdit();
  switch (state_) {
    case TDAMemRowState::rsInserted:
    case TDAMemRowState::rsModified:
      ReleaseVersion(kOriginal);
      versions_[kOriginal] = versions_[kCurrent];
      versions_[kCurrent] = nullptr;
      state_ = TDAMemRowState::rsUnchanged;
      prior_state_ = TDAMemRowState::rsDetached;
      break;
    case TDAMemRowState::rsDeleted:
      table_->RemoveRow(this);
      return;
    default:
      break;
  }
  if (journal_ != nullptr) journal_->UnregisterRow(this);
}

void TDAMemRow::RejectChanges() {
  if (!in_table_) return;
  CancelEdit();
  switch (state_) {
    case TDAMemRowState::rsInserted:
      table_->RemoveRow(this);
      return;
    case TDAMemRowState::rsModified:
      ReleaseVersion(kCurrent);
      state_ = TDAMemRowState::rsUnchanged;
      prior_state_ = TDAMemRowState::rsDetached;
      break;
    case TDAMemRowState::rsDeleted:
      state_ = prior_state_ == TDAMemRowState::rsUnchanged ? TDAMemRowState::rsModified
                                                           : TDAMemRowState::rsUnchanged;
      break;
    default:
      break;
  }
  if (journal_ != nullptr) journal_->UnregisterRow(this);
}

const EDAException* TDAMemRow::Error() const {
  if (!has_error_) return nullptr;
  auto it = table_->errors_.find(this);
  return it == table_->errors_.end() ? nullptr : it->second.get();
}

void TDAMemRow::SetError(std::unique_ptr<EDAException> error) {
  if (error == nullptr) {
    table_->errors_.erase(this);
    has_error_ = false;
  } else {
    table_->errors_[this] = std::move(error);
    has_error_ = true;
  }
}

TDAMemRow* TDAMemRow::ParentRow() const {
  if (parent_row_id_ == kNoRowID) return nullptr;
  TDAMemTable* parent = table_->NestedParentTable();
  return parent != nullptr ? parent->FindRow(parent_row_id_) : nullptr;
}

}  // namespace storage
