#include "storage/mem_view.h"

#include <algorithm>

#include "storage/internal/named_list.h"

namespace storage {
namespace {

// Views, mechanisms and aggregates stay inactive while loading; a stored true activates them
// once the whole load is complete.
void ReadDeferredActive(TDABinStorage& storage, bool& active) {
  const bool stored = storage.ReadBoolean("Active", false);
  active = false;
  if (stored) {
    storage.QueueAction("Active", "True",
                        [&active](std::string_view, std::string_view) { active = true; });
  }
}

// A name applied when the whole load is complete.
void ReadDeferredName(TDABinStorage& storage, std::string_view property, std::string& field) {
  std::string value = storage.ReadString(property, "");
  storage.QueueAction(std::string(property), std::move(value),
                      [&field](std::string_view, std::string_view v) { field = std::string(v); });
}

template <typename E>
void WriteSet(TDABinStorage& storage, EnumSet<E> set, std::span<const std::string_view> ids) {
  for (size_t i = 0; i < ids.size(); ++i) {
    if (set.Has(static_cast<E>(i))) storage.WriteBoolean(ids[i].substr(2), true, false);
  }
}

template <typename E>
EnumSet<E> ReadSet(TDABinStorage& storage, std::span<const std::string_view> ids) {
  EnumSet<E> set;
  for (size_t i = 0; i < ids.size(); ++i) {
    if (storage.ReadBoolean(ids[i].substr(2), false)) set.Include(static_cast<E>(i));
  }
  return set;
}

}  // namespace

void TDAMemMechBase::WriteMembers(TDABinStorage& storage) const {
  storage.WriteBoolean("Active", Active, false);
  storage.WriteBoolean("Locator", Locator, false);
}

void TDAMemMechBase::ReadMembers(TDABinStorage& storage) {
  ReadDeferredActive(storage, Active);
  Locator = storage.ReadBoolean("Locator", false);
}

void TDAMemMechSort::WriteMembers(TDABinStorage& storage) const {
  TDAMemMechBase::WriteMembers(storage);
  storage.WriteString("Expression", Expression, "");
  storage.WriteString("Columns", Columns, "");
  storage.WriteString("DescendingColumns", DescendingColumns, "");
  storage.WriteString("CaseInsensitiveColumns", CaseInsensitiveColumns, "");
  WriteSet(storage, Options, SortOptionIdentifiers());
}

void TDAMemMechSort::ReadMembers(TDABinStorage& storage) {
  TDAMemMechBase::ReadMembers(storage);
  Expression = storage.ReadString("Expression", "");
  Columns = storage.ReadString("Columns", "");
  DescendingColumns = storage.ReadString("DescendingColumns", "");
  CaseInsensitiveColumns = storage.ReadString("CaseInsensitiveColumns", "");
  Options = ReadSet<TDASortOption>(storage, SortOptionIdentifiers());
}

void TDAMemMechRowState::WriteMembers(TDABinStorage& storage) const {
  TDAMemMechBase::WriteMembers(storage);
  WriteSet(storage, States, EnumInfo<TDAMemRowState>().identifiers);
}

void TDAMemMechRowState::ReadMembers(TDABinStorage& storage) {
  TDAMemMechBase::ReadMembers(storage);
  States = ReadSet<TDAMemRowState>(storage, EnumInfo<TDAMemRowState>().identifiers);
}

void TDAMemMechRange::WriteMembers(TDABinStorage& storage) const {
  TDAMemMechBase::WriteMembers(storage);
  storage.WriteBoolean("BottomExclusive", BottomExclusive, false);
  storage.WriteBoolean("TopExclusive", TopExclusive, false);
  storage.WriteInteger("BottomColumnCount", BottomColumnCount, -1);
  storage.WriteInteger("TopColumnCount", TopColumnCount, -1);
}

void TDAMemMechRange::ReadMembers(TDABinStorage& storage) {
  TDAMemMechBase::ReadMembers(storage);
  BottomExclusive = storage.ReadBoolean("BottomExclusive", false);
  TopExclusive = storage.ReadBoolean("TopExclusive", false);
  BottomColumnCount = storage.ReadInteger("BottomColumnCount", -1);
  TopColumnCount = storage.ReadInteger("TopColumnCount", -1);
}

void TDAMemMechFilter::WriteMembers(TDABinStorage& storage) const {
  TDAMemMechBase::WriteMembers(storage);
  storage.WriteString("Expression", Expression, "");
  WriteSet(storage, Options, ExpressionOptionIdentifiers());
}

void TDAMemMechFilter::ReadMembers(TDABinStorage& storage) {
  TDAMemMechBase::ReadMembers(storage);
  Expression = storage.ReadString("Expression", "");
  Options = ReadSet<TDAExpressionOption>(storage, ExpressionOptionIdentifiers());
}

void TDAMemMechDetails::WriteMembers(TDABinStorage& storage) const {
  TDAMemMechRange::WriteMembers(storage);
  storage.WriteString("ParentRelation", ParentRelation, "");
}

void TDAMemMechDetails::ReadMembers(TDABinStorage& storage) {
  TDAMemMechRange::ReadMembers(storage);
  ReadDeferredName(storage, "ParentRelation", ParentRelation);
}

void TDAMemMechMaster::WriteMembers(TDABinStorage& storage) const {
  TDAMemMechRange::WriteMembers(storage);
  storage.WriteString("ChildRelation", ChildRelation, "");
}

void TDAMemMechMaster::ReadMembers(TDABinStorage& storage) {
  TDAMemMechRange::ReadMembers(storage);
  ReadDeferredName(storage, "ChildRelation", ChildRelation);
}

void TDAMemMechDistinct::WriteMembers(TDABinStorage& storage) const {
  TDAMemMechBase::WriteMembers(storage);
  storage.WriteInteger("ColumnCount", ColumnCount, -1);
}

void TDAMemMechDistinct::ReadMembers(TDABinStorage& storage) {
  TDAMemMechBase::ReadMembers(storage);
  ColumnCount = storage.ReadInteger("ColumnCount", -1);
}

void TDAMemViewMechList::WriteMembers(TDABinStorage& storage) const {
  internal::SaveItems(storage, items_);
}

void TDAMemViewMechList::ReadMembers(TDABinStorage& storage) {
  internal::LoadItems<TDAMemMechBase>(storage, items_, "MechBase",
                                      [this](TDAMemMechBase& m) { m.SetView(view_); });
}

void TDAMemAggregate::WriteMembers(TDABinStorage& storage) const {
  TDANamedObject::WriteMembers(storage);
  storage.WriteBoolean("Active", Active, false);
  storage.WriteString("Expression", Expression, "");
  storage.WriteInteger("GroupingLevel", GroupingLevel, 0);
}

void TDAMemAggregate::ReadMembers(TDABinStorage& storage) {
  TDANamedObject::ReadMembers(storage);
  ReadDeferredActive(storage, Active);
  Expression = storage.ReadString("Expression", "");
  GroupingLevel = storage.ReadInteger("GroupingLevel", 0);
}

TDAMemAggregate& TDAMemAggregateList::Add(std::string name) {
  auto a = std::make_unique<TDAMemAggregate>();
  a->SetName(std::move(name));
  items_.push_back(std::move(a));
  return *items_.back();
}

void TDAMemAggregateList::WriteMembers(TDABinStorage& storage) const {
  internal::SaveItems(storage, items_);
}

void TDAMemAggregateList::ReadMembers(TDABinStorage& storage) {
  internal::LoadNamedItems<TDAMemAggregate>(storage, items_, "Aggregate", [](TDAMemAggregate&) {});
}

void TDAMemView::WriteMembers(TDABinStorage& storage) const {
  TDANamedObject::WriteMembers(storage);
  storage.WriteBoolean("Active", Active, false);
  if (!SourceView.empty()) storage.WriteString("SourceView", SourceView, "");
  mechs_.SaveToStorage(storage);
  aggregates_.SaveToStorage(storage);
}

void TDAMemView::ReadMembers(TDABinStorage& storage) {
  TDANamedObject::ReadMembers(storage);
  ReadDeferredActive(storage, Active);
  SourceView = storage.ReadString("SourceView", "");
  mechs_.LoadFromStorage(storage);
  aggregates_.LoadFromStorage(storage);
}

TDAMemView& TDAMemViewList::Add(std::string name) {
  auto v = std::make_unique<TDAMemView>();
  v->SetName(std::move(name));
  v->SetTable(table_);
  items_.push_back(std::move(v));
  return *items_.back();
}

TDAMemView* TDAMemViewList::Find(std::string_view name) {
  for (auto& v : items_) {
    if (v->Name() == name) return v.get();
  }
  return nullptr;
}

void TDAMemViewList::Clear(TDABinStorage* storage) {
  ForgetAllRows();
  internal::RetireItems(storage, items_);
}

void TDAMemViewList::ForgetRow(const TDAMemRow* row) {
  for (auto& v : items_) {
    auto& rows = v->Rows();
    rows.erase(std::remove(rows.begin(), rows.end(), row), rows.end());
  }
}

void TDAMemViewList::ForgetAllRows() {
  for (auto& v : items_) v->Rows().clear();
}

void TDAMemViewList::WriteMembers(TDABinStorage& storage) const {
  for (const auto& v : items_) {
    if (v->Creator == nullptr) storage.SaveObject(*v);
  }
}

void TDAMemViewList::ReadMembers(TDABinStorage& storage) {
  internal::LoadNamedItems<TDAMemView>(storage, items_, "View",
                                       [this](TDAMemView& v) { v.SetTable(table_); });
}

void TDAMemRelation::WriteMembers(TDABinStorage& storage) const {
  TDANamedObject::WriteMembers(storage);
  storage.WriteString("ChildTable", ChildTable, "");
  storage.WriteString("ChildKeyConstraint", ChildKeyConstraint, "");
  storage.WriteString("ChildColumnNames", ChildColumnNames, "");
  storage.WriteBoolean("Nested", Nested, false);
  storage.WriteString("ParentTable", ParentTable, "");
  storage.WriteString("ParentKeyConstraint", ParentKeyConstraint, "");
  storage.WriteString("ParentColumnNames", ParentColumnNames, "");
}

void TDAMemRelation::ReadMembers(TDABinStorage& storage) {
  TDANamedObject::ReadMembers(storage);
  ReadDeferredName(storage, "ChildTable", ChildTable);
  ReadDeferredName(storage, "ChildKeyConstraint", ChildKeyConstraint);
  ReadDeferredName(storage, "ChildColumnNames", ChildColumnNames);
  Nested = storage.ReadBoolean("Nested", false);
  ReadDeferredName(storage, "ParentTable", ParentTable);
  ReadDeferredName(storage, "ParentKeyConstraint", ParentKeyConstraint);
  ReadDeferredName(storage, "ParentColumnNames", ParentColumnNames);
}

TDAMemRelation& TDAMemRelationList::Add(std::string name) {
  auto r = std::make_unique<TDAMemRelation>();
  r->SetName(std::move(name));
  items_.push_back(std::move(r));
  return *items_.back();
}

void TDAMemRelationList::Clear(TDABinStorage* storage) { internal::RetireItems(storage, items_); }

void TDAMemRelationList::RemoveTouching(std::string_view table_name, TDABinStorage* storage) {
  std::vector<std::unique_ptr<TDAMemRelation>> keep;
  for (auto& r : items_) {
    if (r->ChildTable == table_name || r->ParentTable == table_name) {
      if (storage != nullptr) storage->Retire(std::move(r));
    } else {
      keep.push_back(std::move(r));
    }
  }
  items_ = std::move(keep);
}

void TDAMemRelationList::WriteMembers(TDABinStorage& storage) const {
  internal::SaveItems(storage, items_);
}

void TDAMemRelationList::ReadMembers(TDABinStorage& storage) {
  internal::LoadNamedItems<TDAMemRelation>(storage, items_, "Relation", [](TDAMemRelation&) {});
}

}  // namespace storage
