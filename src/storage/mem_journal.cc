#include "storage/mem_journal.h"

#include "storage/mem_manager.h"
#include "storage/mem_row.h"
#include "storage/mem_table.h"

namespace storage {

// The owners clear the list before their rows go; a journal never touches rows on its own
// destruction (they may already be gone).
TDAMemUpdatesJournal::~TDAMemUpdatesJournal() = default;

void TDAMemUpdatesJournal::Unlink(TDAMemRow* row) {
  if (row->prev_change_ != nullptr) {
    row->prev_change_->next_change_ = row->next_change_;
  } else {
    FFirstChange = row->next_change_;
  }
  if (row->next_change_ != nullptr) {
    row->next_change_->prev_change_ = row->prev_change_;
  } else {
    FLastChange = row->prev_change_;
  }
  row->prev_change_ = nullptr;
  row->next_change_ = nullptr;
  row->journal_ = nullptr;
  row->change_number_ = TDAMemRow::kNoChange;
}

void TDAMemUpdatesJournal::Append(TDAMemRow* row, uint32_t change_number) {
  row->journal_ = this;
  row->change_number_ = change_number;
  row->prev_change_ = FLastChange;
  row->next_change_ = nullptr;
  if (FLastChange != nullptr) {
    FLastChange->next_change_ = row;
  } else {
    FFirstChange = row;
  }
  FLastChange = row;
}

uint32_t TDAMemUpdatesJournal::RegisterRow(TDAMemRow* row) {
  if (row->journal_ == this && (row->state_ == TDAMemRowState::rsInserted || FLocked > 0)) {
    return row->change_number_;
  }
  if (row->journal_ != nullptr) row->journal_->Unlink(row);
  Append(row, FChangeNumber++);
  return row->change_number_;
}

void TDAMemUpdatesJournal::UnregisterRow(TDAMemRow* row) {
  if (row->journal_ == this) Unlink(row);
}

TDAMemRow* TDAMemUpdatesJournal::FirstChange(const TDAMemTable* owner) const {
  TDAMemRow* r = FFirstChange;
  while (r != nullptr && owner != nullptr && r->table_ != owner) r = r->next_change_;
  return r;
}

TDAMemRow* TDAMemUpdatesJournal::NextChange(const TDAMemRow* row, const TDAMemTable* owner) const {
  TDAMemRow* r = row != nullptr ? row->next_change_ : nullptr;
  while (r != nullptr && owner != nullptr && r->table_ != owner) r = r->next_change_;
  return r;
}

TDAMemRow* TDAMemUpdatesJournal::LastChange(const TDAMemTable* owner) const {
  TDAMemRow* r = FLastChange;
  while (r != nullptr && owner != nullptr && r->table_ != owner) r = r->prev_change_;
  return r;
}

bool TDAMemUpdatesJournal::HasChanges(const TDAMemTable* owner) const {
  return FirstChange(owner) != nullptr;
}

size_t TDAMemUpdatesJournal::GetCount(const TDAMemTable* owner) const {
  size_t n = 0;
  for (TDAMemRow* r = FirstChange(owner); r != nullptr; r = NextChange(r, owner)) ++n;
  return n;
}

void TDAMemUpdatesJournal::AcceptChanges(const TDAMemTable* owner) {
  TDAMemRow* r = FirstChange(owner);
  while (r != nullptr) {
    TDAMemRow* next = NextChange(r, owner);
    r->AcceptChanges();
    if (r->journal_ == this) Unlink(r);
    r = next;
  }
}

void TDAMemUpdatesJournal::RejectChanges(const TDAMemTable* owner) {
  TDAMemRow* r = LastChange(owner);
  while (r != nullptr) {
    TDAMemRow* prev = r->prev_change_;
    while (prev != nullptr && owner != nullptr && prev->table_ != owner) prev = prev->prev_change_;
    r->RejectChanges();
    if (r->journal_ == this) Unlink(r);
    r = prev;
  }
}

void TDAMemUpdatesJournal::SetSavePoint(uint32_t n) {
  TDAMemRow* r = FLastChange;
  while (r != nullptr) {
    TDAMemRow* prev = r->prev_change_;
    if (r->change_number_ >= n) {
      r->RejectChanges();
      if (r->journal_ == this) Unlink(r);
    }
    r = prev;
  }
  if (n < FChangeNumber) FChangeNumber = n;
}

void TDAMemUpdatesJournal::Clear() {
  TDAMemRow* r = FFirstChange;
  while (r != nullptr) {
    TDAMemRow* next = r->next_change_;
    r->prev_change_ = nullptr;
    r->next_change_ = nullptr;
    r->journal_ = nullptr;
    r->change_number_ = TDAMemRow::kNoChange;
    r = next;
  }
  FFirstChange = nullptr;
  FLastChange = nullptr;
  FChangeNumber = 0;
  loaded_ = false;
}

void TDAMemUpdatesJournal::ForgetTable(const TDAMemTable* table) {
  TDAMemRow* r = FFirstChange;
  while (r != nullptr) {
    TDAMemRow* next = r->next_change_;
    if (r->table_ == table) Unlink(r);
    r = next;
  }
}

void TDAMemUpdatesJournal::WriteMembers(TDABinStorage& storage) const {
  storage.WriteLongWord("SavePoint", FChangeNumber, 0);
  const bool wrapped = storage.StreamVersion() >= 11;
  if (wrapped) storage.WriteObjectBegin("Changes", TDAStorageObjectStyle::osFlatArray);
  for (TDAMemRow* r = FFirstChange; r != nullptr; r = r->next_change_) {
    if (table_ != nullptr && r->table_ != table_) continue;
    storage.WriteObjectBegin("Change");
    if (manager_ != nullptr) storage.WriteInteger("TabID", r->table_->TabID(), -1);
    storage.WriteLongWord("RowID", r->row_id_, TDAMemRow::kNoRowID);
    storage.WriteLongWord("ChangeNumber", r->change_number_, TDAMemRow::kNoChange);
    storage.WriteObjectEnd("Change");
  }
  if (wrapped) storage.WriteObjectEnd("Changes", TDAStorageObjectStyle::osFlatArray);
}

void TDAMemUpdatesJournal::ReadMembers(TDABinStorage& storage) {
  Clear();
  loaded_ = true;
  FChangeNumber = storage.ReadLongWord("SavePoint", 0);
  const bool wrapped = storage.StreamVersion() >= 11;
  if (wrapped) storage.ReadObjectBegin("Changes", TDAStorageObjectStyle::osFlatArray);
  while (!storage.IsObjectEnd()) {
    storage.ReadObjectBegin("Change");
    TDAMemTable* table = table_;
    if (manager_ != nullptr) {
      const int32_t tab = storage.ReadInteger("TabID", -1);
      auto& tables = manager_->Tables();
      table = (tab >= 0 && static_cast<size_t>(tab) < tables.size()) ? &tables[tab] : nullptr;
    }
    const uint32_t row_id = storage.ReadLongWord("RowID", TDAMemRow::kNoRowID);
    const uint32_t change_number = storage.ReadLongWord("ChangeNumber", TDAMemRow::kNoChange);
    // Entries naming no table or no row are ignored, and so is a second entry of a row.
    TDAMemRow* row = table != nullptr ? table->FindRow(row_id) : nullptr;
    if (row != nullptr && row->journal_ == nullptr) Append(row, change_number);
    storage.ReadObjectEnd("Change");
  }
  if (wrapped) storage.ReadObjectEnd("Changes", TDAStorageObjectStyle::osFlatArray);
}

}  // namespace storage
