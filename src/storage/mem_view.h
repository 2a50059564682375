// Views of a table with their mechanisms and aggregates, and relations between tables.
//
// Object "ViewList": one "View" per view that has no creator (views a dataset makes for its
// own sorting and filtering are never stored). A view writes "Name", "Active", "SourceView",
// an object "ViewMechList" with one object per mechanism and an object "AggregateList" with
// one "Aggregate" per aggregate. Every mechanism begins with "Active" and "Locator". On load
// views, mechanisms and aggregates stay inactive until the whole load is complete; a stored
// true activates them then (deferred actions). The model keeps the definitions; evaluating
// them is not part of storage. A view's rows (for saving with siVisible) are kept by its user.
//
// Owned by one table, used by the thread that owns the table.
#ifndef DATASERVER_STORAGE_MEM_VIEW_H_
#define DATASERVER_STORAGE_MEM_VIEW_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "storage/enums.h"
#include "storage/storable.h"

namespace storage {

class TDAMemTable;
class TDAMemView;
class TDAMemRow;

class TDAMemMechBase : public TDAStorableObject {
 public:
  std::string_view StreamingName(const TDABinStorage*) const override { return "MechBase"; }

  bool Active = false;
  bool Locator = false;

  TDAMemView* View() const { return view_; }
  void SetView(TDAMemView* view) { view_ = view; }

  void WriteMembers(TDABinStorage& storage) const override;
  void ReadMembers(TDABinStorage& storage) override;

 private:
  TDAMemView* view_ = nullptr;
};

class TDAMemMechSort : public TDAMemMechBase {
 public:
  std::string_view StreamingName(const TDABinStorage*) const override { return "MechSort"; }
  std::string Expression;
  std::string Columns;
  std::string DescendingColumns;
  std::string CaseInsensitiveColumns;
  TDASortOptions Options;
  void WriteMembers(TDABinStorage& storage) const override;
  void ReadMembers(TDABinStorage& storage) override;
};

class TDAMemMechRowState : public TDAMemMechBase {
 public:
  std::string_view StreamingName(const TDABinStorage*) const override { return "MechRowState"; }
  TDAMemRowStates States;
  void WriteMembers(TDABinStorage& storage) const override;
  void ReadMembers(TDABinStorage& storage) override;
};

class TDAMemMechRange : public TDAMemMechBase {
 public:
  std::string_view StreamingName(const TDABinStorage*) const override { return "MechRange"; }
  bool BottomExclusive = false;
  bool TopExclusive = false;
  int32_t BottomColumnCount = -1;
  int32_t TopColumnCount = -1;
  void WriteMembers(TDABinStorage& storage) const override;
  void ReadMembers(TDABinStorage& storage) override;
};

class TDAMemMechFilter : public TDAMemMechBase {
 public:
  std::string_view StreamingName(const TDABinStorage*) const override { return "MechFilter"; }
  std::string Expression;
  TDAExpressionOptions Options;
  void WriteMembers(TDABinStorage& storage) const override;
  void ReadMembers(TDABinStorage& storage) override;
};

class TDAMemMechError : public TDAMemMechBase {
 public:
  std::string_view StreamingName(const TDABinStorage*) const override { return "MechError"; }
};

class TDAMemMechChilds : public TDAMemMechBase {
 public:
  std::string_view StreamingName(const TDABinStorage*) const override { return "MechChilds"; }
};

class TDAMemMechParent : public TDAMemMechBase {
 public:
  std::string_view StreamingName(const TDABinStorage*) const override { return "MechParent"; }
};

// The range members, then "ParentRelation" (the relation's name).
class TDAMemMechDetails : public TDAMemMechRange {
 public:
  std::string_view StreamingName(const TDABinStorage*) const override { return "MechDetails"; }
  std::string ParentRelation;
  void WriteMembers(TDABinStorage& storage) const override;
  void ReadMembers(TDABinStorage& storage) override;
};

// The range members, then "ChildRelation" (the relation's name).
class TDAMemMechMaster : public TDAMemMechRange {
 public:
  std::string_view StreamingName(const TDABinStorage*) const override { return "MechMaster"; }
  std::string ChildRelation;
  void WriteMembers(TDABinStorage& storage) const override;
  void ReadMembers(TDABinStorage& storage) override;
};

// Distinct rows: "ColumnCount" after the common members.
class TDAMemMechDistinct : public TDAMemMechBase {
 public:
  std::string_view StreamingName(const TDABinStorage*) const override { return "MechDistinct"; }
  int32_t ColumnCount = -1;
  void WriteMembers(TDABinStorage& storage) const override;
  void ReadMembers(TDABinStorage& storage) override;
};

class TDAMemViewMechList : public TDAStorableObject {
 public:
  explicit TDAMemViewMechList(TDAMemView* view = nullptr) : view_(view) {}
  std::string_view StreamingName(const TDABinStorage*) const override { return "ViewMechList"; }
  TDAStorageObjectStyle ObjectStyle() const override { return TDAStorageObjectStyle::osFlatArray; }

  std::vector<std::unique_ptr<TDAMemMechBase>>& Items() { return items_; }
  const std::vector<std::unique_ptr<TDAMemMechBase>>& Items() const { return items_; }
  template <typename M>
  M& Add() {
    auto m = std::make_unique<M>();
    M& ref = *m;
    m->SetView(view_);
    items_.push_back(std::move(m));
    return ref;
  }

  void WriteMembers(TDABinStorage& storage) const override;
  void ReadMembers(TDABinStorage& storage) override;

 private:
  TDAMemView* view_;
  std::vector<std::unique_ptr<TDAMemMechBase>> items_;
};

class TDAMemAggregate : public TDANamedObject {
 public:
  TDAMemAggregate() : TDANamedObject("Aggregate") {}
  std::string_view StreamingName(const TDABinStorage*) const override { return "Aggregate"; }
  std::string_view DefaultName() const override { return "Aggregate"; }
  bool Active = false;
  std::string Expression;
  int32_t GroupingLevel = 0;
  void WriteMembers(TDABinStorage& storage) const override;
  void ReadMembers(TDABinStorage& storage) override;
};

class TDAMemAggregateList : public TDAStorableObject {
 public:
  std::string_view StreamingName(const TDABinStorage*) const override { return "AggregateList"; }
  TDAStorageObjectStyle ObjectStyle() const override { return TDAStorageObjectStyle::osTypedArray; }
  std::vector<std::unique_ptr<TDAMemAggregate>>& Items() { return items_; }
  const std::vector<std::unique_ptr<TDAMemAggregate>>& Items() const { return items_; }
  TDAMemAggregate& Add(std::string name);
  void WriteMembers(TDABinStorage& storage) const override;
  void ReadMembers(TDABinStorage& storage) override;

 private:
  std::vector<std::unique_ptr<TDAMemAggregate>> items_;
};

class TDAMemView : public TDANamedObject {
 public:
  TDAMemView() : TDANamedObject("View"), mechs_(this) {}
  std::string_view StreamingName(const TDABinStorage*) const override { return "View"; }
  std::string_view DefaultName() const override { return "View"; }

  bool Active = false;
  std::string SourceView;  // the name of the view it draws its rows from
  // A view made by a dataset for itself has a creator and is never stored.
  const void* Creator = nullptr;

  TDAMemViewMechList& Mechanisms() { return mechs_; }
  const TDAMemViewMechList& Mechanisms() const { return mechs_; }
  TDAMemAggregateList& Aggregates() { return aggregates_; }
  const TDAMemAggregateList& Aggregates() const { return aggregates_; }

  // The rows the view shows, in order (kept by the view's user; saved in place of the table's
  // rows when the save has siVisible and this view as the table's row filter).
  std::vector<const TDAMemRow*>& Rows() { return rows_; }
  const std::vector<const TDAMemRow*>& Rows() const { return rows_; }

  TDAMemTable* Table() const { return table_; }
  void SetTable(TDAMemTable* table) { table_ = table; }

  void WriteMembers(TDABinStorage& storage) const override;
  void ReadMembers(TDABinStorage& storage) override;

 private:
  TDAMemTable* table_ = nullptr;
  TDAMemViewMechList mechs_;
  TDAMemAggregateList aggregates_;
  std::vector<const TDAMemRow*> rows_;
};

class TDAMemViewList : public TDAStorableObject {
 public:
  explicit TDAMemViewList(TDAMemTable* table = nullptr) : table_(table) {}
  std::string_view StreamingName(const TDABinStorage*) const override { return "ViewList"; }
  TDAStorageObjectStyle ObjectStyle() const override { return TDAStorageObjectStyle::osTypedArray; }

  size_t size() const { return items_.size(); }
  TDAMemView& operator[](size_t i) { return *items_[i]; }
  const TDAMemView& operator[](size_t i) const { return *items_[i]; }
  TDAMemView& Add(std::string name);
  TDAMemView* Find(std::string_view name);
  void Clear(TDABinStorage* storage = nullptr);
  // Forgets `row` in every view (it left the table).
  void ForgetRow(const TDAMemRow* row);
  void ForgetAllRows();

  void WriteMembers(TDABinStorage& storage) const override;
  void ReadMembers(TDABinStorage& storage) override;

 private:
  TDAMemTable* table_;
  std::vector<std::unique_ptr<TDAMemView>> items_;
};

// A relation between a parent and a child table, by names; "Nested" marks the child table as
// the rows of a nested column. On load the six names are applied when the whole manager has
// been read (deferred actions).
class TDAMemRelation : public TDANamedObject {
 public:
  TDAMemRelation() : TDANamedObject("Relation") {}
  std::string_view StreamingName(const TDABinStorage*) const override { return "Relation"; }
  std::string_view DefaultName() const override { return "Relation"; }

  std::string ChildTable;
  std::string ChildKeyConstraint;
  std::string ChildColumnNames;
  bool Nested = false;
  std::string ParentTable;
  std::string ParentKeyConstraint;
  std::string ParentColumnNames;

  void WriteMembers(TDABinStorage& storage) const override;
  void ReadMembers(TDABinStorage& storage) override;
};

class TDAMemRelationList : public TDAStorableObject {
 public:
  std::string_view StreamingName(const TDABinStorage*) const override { return "RelationList"; }
  TDAStorageObjectStyle ObjectStyle() const override { return TDAStorageObjectStyle::osTypedArray; }

  size_t size() const { return items_.size(); }
  TDAMemRelation& operator[](size_t i) { return *items_[i]; }
  const TDAMemRelation& operator[](size_t i) const { return *items_[i]; }
  TDAMemRelation& Add(std::string name);
  void Clear(TDABinStorage* storage = nullptr);
  // Drops the relations whose parent or child is the named table.
  void RemoveTouching(std::string_view table_name, TDABinStorage* storage = nullptr);

  void WriteMembers(TDABinStorage& storage) const override;
  void ReadMembers(TDABinStorage& storage) override;

 private:
  std::vector<std::unique_ptr<TDAMemRelation>> items_;
};

}  // namespace storage

#endif  // DATASERVER_STORAGE_MEM_VIEW_H_
