// Constraints of a table: unique, foreign-key and check constraints in a constraint list.
//
// Object "ConstraintList": "Enforce" (before version 12), then one object per constraint.
// Every constraint writes "Name", "Enforce", "Rely", "CheckTime" and "Message", then its own
// members (see each class). On load enforcement stays off; a stored true switches it on when
// the whole load is complete (a deferred action). The model keeps the definitions; checking
// rows against them is not part of storage.
//
// Owned by one table, used by the thread that owns the table.
#ifndef DATASERVER_STORAGE_MEM_CONSTRAINT_H_
#define DATASERVER_STORAGE_MEM_CONSTRAINT_H_

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "storage/enums.h"
#include "storage/storable.h"

namespace storage {

class TDAMemTable;

class TDAMemConstraintBase : public TDANamedObject {
 public:
  TDAMemConstraintBase() : TDANamedObject("ConstraintBase") {}

  std::string_view StreamingName(const TDABinStorage*) const override { return "ConstraintBase"; }
  std::string_view DefaultName() const override { return "ConstraintBase"; }

  bool Enforce = true;
  bool Rely = true;
  TDAMemCheckTime CheckTime = TDAMemCheckTime::ctAtEditEnd;
  std::string Message;

  TDAMemTable* Table() const { return table_; }
  void SetTable(TDAMemTable* table) { table_ = table; }

  void WriteMembers(TDABinStorage& storage) const override;
  void ReadMembers(TDABinStorage& storage) override;

 protected:
  explicit TDAMemConstraintBase(std::string default_name)
      : TDANamedObject(std::move(default_name)) {}

 private:
  TDAMemTable* table_ = nullptr;
};

// "ColumnNames", then one true Boolean per sort option ("NoCase" ... "NoSymbols").
class TDAMemUniqueConstraint : public TDAMemConstraintBase {
 public:
  TDAMemUniqueConstraint() : TDAMemConstraintBase("UniqueConstraint") {}
  std::string_view StreamingName(const TDABinStorage*) const override { return "UniqueConstraint"; }
  std::string_view DefaultName() const override { return "UniqueConstraint"; }

  std::string ColumnNames;  // ";"-separated
  TDASortOptions Options;

  void WriteMembers(TDABinStorage& storage) const override;
  void ReadMembers(TDABinStorage& storage) override;
};

class TDAMemForeignKeyConstraint : public TDAMemConstraintBase {
 public:
  TDAMemForeignKeyConstraint() : TDAMemConstraintBase("ForeignKeyConstraint") {}
  std::string_view StreamingName(const TDABinStorage*) const override {
    return "ForeignKeyConstraint";
  }
  std::string_view DefaultName() const override { return "ForeignKeyConstraint"; }

  std::string ColumnNames;
  std::string RelatedColumnNames;
  std::string RelatedTableName;
  TDAMemConstraintRule DeleteRule = TDAMemConstraintRule::crCascade;
  TDAMemConstraintRule InsertRule = TDAMemConstraintRule::crCascade;
  TDAMemConstraintRule UpdateRule = TDAMemConstraintRule::crCascade;
  TDAMemConstraintARRule AcceptRejectRule = TDAMemConstraintARRule::arCascade;
  bool FieldValueRequired = false;
  std::string ParentMessage;

  void WriteMembers(TDABinStorage& storage) const override;
  void ReadMembers(TDABinStorage& storage) override;
};

class TDAMemCheckConstraint : public TDAMemConstraintBase {
 public:
  TDAMemCheckConstraint() : TDAMemConstraintBase("CheckConstraint") {}
  std::string_view StreamingName(const TDABinStorage*) const override { return "CheckConstraint"; }
  std::string_view DefaultName() const override { return "CheckConstraint"; }

  std::string Expression;

  void WriteMembers(TDABinStorage& storage) const override;
  void ReadMembers(TDABinStorage& storage) override;
};

class TDAMemConstraintList : public TDAStorableObject {
 public:
  explicit TDAMemConstraintList(TDAMemTable* table = nullptr) : table_(table) {}

  std::string_view StreamingName(const TDABinStorage*) const override { return "ConstraintList"; }
  TDAStorageObjectStyle ObjectStyle() const override { return TDAStorageObjectStyle::osTypedArray; }

  bool Enforce = true;

  size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  TDAMemConstraintBase& operator[](size_t i) { return *items_[i]; }
  const TDAMemConstraintBase& operator[](size_t i) const { return *items_[i]; }

  template <typename C>
  C& Add() {
    auto c = std::make_unique<C>();
    C& ref = *c;
    Add(std::move(c));
    return ref;
  }
  TDAMemConstraintBase& Add(std::unique_ptr<TDAMemConstraintBase> constraint);
  void Remove(const TDAMemConstraintBase& constraint);
  TDAMemConstraintBase* Find(std::string_view name);
  void Clear(TDABinStorage* storage = nullptr);

  void WriteMembers(TDABinStorage& storage) const override;
  void ReadMembers(TDABinStorage& storage) override;

 private:
  TDAMemTable* table_;
  std::vector<std::unique_ptr<TDAMemConstraintBase>> items_;
};

}  // namespace storage

#endif  // DATASERVER_STORAGE_MEM_CONSTRAINT_H_
