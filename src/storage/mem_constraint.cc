#include "storage/mem_constraint.h"

#include <algorithm>

#include "storage/internal/named_list.h"

namespace storage {
namespace {

// Enforcement stays off while loading; a stored true switches it on at the end of the load.
void ReadDeferredTrue(TDABinStorage& storage, std::string_view name, bool& field) {
  const bool stored = storage.ReadBoolean(name, true);
  field = false;
  if (stored) {
    storage.QueueAction(std::string(name), "True",
                        [&field](std::string_view, std::string_view) { field = true; });
  }
}

void WriteSortOptions(TDABinStorage& storage, TDASortOptions options) {
  const auto ids = SortOptionIdentifiers();
  for (size_t i = 0; i < ids.size(); ++i) {
    if (options.Has(static_cast<TDASortOption>(i)))
      storage.WriteBoolean(ids[i].substr(2), true, false);
  }
}

TDASortOptions ReadSortOptions(TDABinStorage& storage) {
  TDASortOptions options;
  const auto ids = SortOptionIdentifiers();
  for (size_t i = 0; i < ids.size(); ++i) {
    if (storage.ReadBoolean(ids[i].substr(2), false))
      options.Include(static_cast<TDASortOption>(i));
  }
  return options;
}

}  // namespace

void TDAMemConstraintBase::WriteMembers(TDABinStorage& storage) const {
  TDANamedObject::WriteMembers(storage);
  storage.WriteBoolean("Enforce", Enforce, true);
  storage.WriteBoolean("Rely", Rely, true);
  storage.WriteEnum("CheckTime", CheckTime, TDAMemCheckTime::ctAtEditEnd);
  storage.WriteString("Message", Message, "");
}

void TDAMemConstraintBase::ReadMembers(TDABinStorage& storage) {
  TDANamedObject::ReadMembers(storage);
  ReadDeferredTrue(storage, "Enforce", Enforce);
  Rely = storage.ReadBoolean("Rely", true);
  CheckTime = storage.ReadEnum("CheckTime", TDAMemCheckTime::ctAtEditEnd);
  Message = storage.ReadString("Message", "");
}

void TDAMemUniqueConstraint::WriteMembers(TDABinStorage& storage) const {
  TDAMemConstraintBase::WriteMembers(storage);
  storage.WriteString("ColumnNames", ColumnNames, "");
  WriteSortOptions(storage, Options);
}

void TDAMemUniqueConstraint::ReadMembers(TDABinStorage& storage) {
  TDAMemConstraintBase::ReadMembers(storage);
  ColumnNames = storage.ReadString("ColumnNames", "");
  Options = ReadSortOptions(storage);
}

void TDAMemForeignKeyConstraint::WriteMembers(TDABinStorage& storage) const {
  TDAMemConstraintBase::WriteMembers(storage);
  storage.WriteString("ColumnNames", ColumnNames, "");
  storage.WriteString("RelatedColumnNames", RelatedColumnNames, "");
  storage.WriteString("RelatedTableName", RelatedTableName, "");
  storage.WriteEnum("DeleteRule", DeleteRule, TDAMemConstraintRule::crCascade);
  storage.WriteEnum("InsertRule", InsertRule, TDAMemConstraintRule::crCascade);
  storage.WriteEnum("UpdateRule", UpdateRule, TDAMemConstraintRule::crCascade);
  storage.WriteEnum("AcceptRejectRule", AcceptRejectRule, TDAMemConstraintARRule::arCascade);
  storage.WriteBoolean("FieldValueRequired", FieldValueRequired, false);
  storage.WriteString("ParentMessage", ParentMessage, "");
}

void TDAMemForeignKeyConstraint::ReadMembers(TDABinStorage& storage) {
  TDAMemConstraintBase::ReadMembers(storage);
  ColumnNames = storage.ReadString("ColumnNames", "");
  RelatedColumnNames = storage.ReadString("RelatedColumnNames", "");
  RelatedTableName = storage.ReadString("RelatedTableName", "");
  DeleteRule = storage.ReadEnum("DeleteRule", TDAMemConstraintRule::crCascade);
  InsertRule = storage.ReadEnum("InsertRule", TDAMemConstraintRule::crCascade);
  UpdateRule = storage.ReadEnum("UpdateRule", TDAMemConstraintRule::crCascade);
  AcceptRejectRule = storage.ReadEnum("AcceptRejectRule", TDAMemConstraintARRule::arCascade);
  FieldValueRequired = storage.ReadBoolean("FieldValueRequired", false);
  ParentMessage = storage.ReadString("ParentMessage", "");
}

void TDAMemCheckConstraint::WriteMembers(TDABinStorage& storage) const {
  TDAMemConstraintBase::WriteMembers(storage);
  storage.WriteString("Expression", Expression, "");
}

void TDAMemCheckConstraint::ReadMembers(TDABinStorage& storage) {
  TDAMemConstraintBase::ReadMembers(storage);
  Expression = storage.ReadString("Expression", "");
}

TDAMemConstraintBase& TDAMemConstraintList::Add(std::unique_ptr<TDAMemConstraintBase> c) {
  c->SetTable(table_);
  items_.push_back(std::move(c));
  return *items_.back();
}

void TDAMemConstraintList::Remove(const TDAMemConstraintBase& constraint) {
  auto it = std::find_if(items_.begin(), items_.end(),
                         [&](const auto& p) { return p.get() == &constraint; });
  if (it != items_.end()) items_.erase(it);
}

TDAMemConstraintBase* TDAMemConstraintList::Find(std::string_view name) {
  for (auto& c : items_) {
    if (c->Name() == name) return c.get();
  }
  return nullptr;
}

void TDAMemConstraintList::Clear(TDABinStorage* storage) { internal::RetireItems(storage, items_); }

void TDAMemConstraintList::WriteMembers(TDABinStorage& storage) const {
  if (storage.StreamVersion() < 12) storage.WriteBoolean("Enforce", Enforce, true);
  internal::SaveItems(storage, items_);
}

void TDAMemConstraintList::ReadMembers(TDABinStorage& storage) {
  if (storage.StreamVersion() < 12) ReadDeferredTrue(storage, "Enforce", Enforce);
  internal::LoadNamedItems<TDAMemConstraintBase>(
      storage, items_, "ConstraintBase", [this](TDAMemConstraintBase& c) { c.SetTable(table_); });
}

}  // namespace storage
