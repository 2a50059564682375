#include "storage/mem_column.h"

#include <stdexcept>

#include "storage/internal/named_list.h"
#include "storage/mem_constraint.h"
#include "storage/mem_table.h"

namespace storage {
namespace {

// Property names of the attributes and options: the identifiers without "ca" and with "co"
// replaced by "O".
std::string_view AttributeProperty(size_t i) { return DataAttributeIdentifiers()[i].substr(2); }

std::string OptionProperty(size_t i) {
  return "O" + std::string(DataOptionIdentifiers()[i].substr(2));
}

const std::string* OptionProperties() {
  static const std::string names[8] = {OptionProperty(0), OptionProperty(1), OptionProperty(2),
                                       OptionProperty(3), OptionProperty(4), OptionProperty(5),
                                       OptionProperty(6), OptionProperty(7)};
  return names;
}

}  // namespace

TDAMemColumn::TDAMemColumn() : TDANamedObject("Column") {}

TDAMemColumn::TDAMemColumn(std::string name, common::DataType type) : TDAMemColumn() {
  name_ = std::move(name);
  DataType = type;
}

TDAMemTable* TDAMemColumn::Table() const { return list_ != nullptr ? list_->Table() : nullptr; }

void TDAMemColumn::SetAttributes(TDADataAttributes attributes) {
  attributes_ = attributes;
  options_.Set(TDADataOption::coAllowNull, attributes.Has(TDADataAttribute::caAllowNull));
  options_.Set(TDADataOption::coReadOnly, attributes.Has(TDADataAttribute::caReadOnly));
}

void TDAMemColumn::SetOptions(TDADataOptions options) {
  const bool was_unique = options_.Has(TDADataOption::coUnique);
  const bool unique = options.Has(TDADataOption::coUnique);
  options_ = options;
  TDAMemTable* table = Table();
  if (table == nullptr || was_unique == unique || list_->Loading()) return;
  auto& constraints = table->Constraints();
  if (unique) {
    auto& c = constraints.Add<TDAMemUniqueConstraint>();
    c.ColumnNames = name_;
  } else {
    for (size_t i = 0; i < constraints.size(); ++i) {
      auto* u = dynamic_cast<TDAMemUniqueConstraint*>(&constraints[i]);
      if (u != nullptr && u->ColumnNames == name_) {
        constraints.Remove(*u);
        break;
      }
    }
  }
}

const std::string& TDAMemColumn::ActualOriginColName() const {
  return OriginColName.empty() ? SourceName : OriginColName;
}

void TDAMemColumn::WriteMembers(TDABinStorage& storage) const {
  const uint32_t version = storage.StreamVersion();
  TDANamedObject::WriteMembers(storage);
  storage.WriteString("SourceName", SourceName, "");
  storage.WriteInteger("SourceID", SourceID, 0);
  storage.WriteEnum("DataType", DataType, common::DataType::dtUnknown);
  storage.WriteInteger("Precision", Precision, 0);
  storage.WriteInteger("Scale", Scale, 0);
  storage.WriteInteger("Size", Size, 0);
  for (size_t i = 0; i < 16; ++i) {
    const auto a = static_cast<TDADataAttribute>(i);
    if (!attributes_.Has(a)) continue;
    if (version < 7 && (a == TDADataAttribute::caBase || a == TDADataAttribute::caExpr)) continue;
    storage.WriteBoolean(AttributeProperty(i), true, false);
  }
  storage.WriteBoolean("AutoIncrement", AutoIncrement,
                       attributes_.Has(TDADataAttribute::caAutoInc));
  storage.WriteInteger("AutoIncrementSeed", AutoIncrementSeed, 1);
  storage.WriteInteger("AutoIncrementStep", AutoIncrementStep, 1);
  if (!Caption.empty() && Caption != name_) storage.WriteString("Caption", Caption, "");
  storage.WriteString("Expression", Expression, "");
  for (size_t i = 0; i < 8; ++i) {
    if (options_.Has(static_cast<TDADataOption>(i))) {
      storage.WriteBoolean(OptionProperties()[i], true, false);
    }
  }
  if (version <= 1) {
    storage.WriteString("OriginName", ActualOriginColName(), "");
  } else {
    storage.WriteString("OriginTabName", OriginTabName, "");
    storage.WriteString("OriginColName", ActualOriginColName(), "");
  }
  if (SourceDataType != common::DataType::dtUnknown && SourceDataType != DataType) {
    storage.WriteEnum("SourceDataType", SourceDataType, common::DataType::dtUnknown);
  }
  storage.WriteInteger("SourcePrecision", SourcePrecision, 0);
  storage.WriteInteger("SourceScale", SourceScale, 0);
  storage.WriteInteger("SourceSize", SourceSize, 0);
  storage.WriteString("SourceDataTypeName", SourceDataTypeName, "");
  storage.WriteString("SourceDirectory", SourceDataTypeName, "");
  storage.WriteString("SourceGenerator", SourceGenerator, "");
}

void TDAMemColumn::ReadMembers(TDABinStorage& storage) {
  TDANamedObject::ReadMembers(storage);
  SourceName = storage.ReadString("SourceName", "");
  SourceID = storage.ReadInteger("SourceID", 0);
  DataType = storage.ReadEnum("DataType", common::DataType::dtUnknown);
  Precision = storage.ReadInteger("Precision", 0);
  Scale = storage.ReadInteger("Scale", 0);
  Size = storage.ReadInteger("Size", 0);
  TDADataAttributes attributes;
  for (size_t i = 0; i < 16; ++i) {
    if (storage.ReadBoolean(AttributeProperty(i), false)) {
      attributes.Include(static_cast<TDADataAttribute>(i));
    }
  }
  SetAttributes(attributes);
  AutoIncrement = storage.ReadBoolean("AutoIncrement", attributes.Has(TDADataAttribute::caAutoInc));
  AutoIncrementSeed = storage.ReadInteger("AutoIncrementSeed", 1);
  AutoIncrementStep = storage.ReadInteger("AutoIncrementStep", 1);
  Caption = storage.ReadString("Caption", Caption);
  Expression = storage.ReadString("Expression", "");
  TDADataOptions options;
  for (size_t i = 0; i < 8; ++i) {
    if (storage.ReadBoolean(OptionProperties()[i], false)) {
      options.Include(static_cast<TDADataOption>(i));
    }
  }
  SetOptions(options);
  if (storage.TestProperty("OriginName")) {
    OriginColName = storage.ReadString("OriginName", "");
    OriginTabName.clear();
  } else {
    OriginTabName = storage.ReadString("OriginTabName", "");
    OriginColName = storage.ReadString("OriginColName", "");
  }
  if (storage.TestProperty("SourceDataType")) {
    SourceDataType = storage.ReadEnum("SourceDataType", common::DataType::dtUnknown);
  }
  SourcePrecision = storage.ReadInteger("SourcePrecision", 0);
  SourceScale = storage.ReadInteger("SourceScale", 0);
  SourceSize = storage.ReadInteger("SourceSize", 0);
  // Both names are read into the same field, so the value under "SourceDirectory" stands.
  SourceDataTypeName = storage.ReadString("SourceDataTypeName", "");
  SourceDataTypeName = storage.ReadString("SourceDirectory", "");
  SourceGenerator = storage.ReadString("SourceGenerator", "");
}

TDAMemColumnList::~TDAMemColumnList() = default;

void TDAMemColumnList::CheckChangeable() const {
  if (table_ != nullptr && table_->RowCount() > 0) {
    throw std::logic_error("columns cannot change while the table has rows");
  }
}

void TDAMemColumnList::Adopt(TDAMemColumn& column) {
  column.list_ = this;
  column.index_ = columns_.size() - 1;
  if (table_ != nullptr) table_->InvalidateLayout();
}

TDAMemColumn& TDAMemColumnList::Add(std::string name, common::DataType type) {
  return Add(std::make_unique<TDAMemColumn>(std::move(name), type));
}

TDAMemColumn& TDAMemColumnList::Add(std::unique_ptr<TDAMemColumn> column) {
  CheckChangeable();
  columns_.push_back(std::move(column));
  Adopt(*columns_.back());
  return *columns_.back();
}

TDAMemColumn* TDAMemColumnList::Find(std::string_view name) {
  for (auto& c : columns_) {
    if (c->Name() == name) return c.get();
  }
  return nullptr;
}

const TDAMemColumn* TDAMemColumnList::Find(std::string_view name) const {
  return const_cast<TDAMemColumnList*>(this)->Find(name);
}

void TDAMemColumnList::Clear(TDABinStorage* storage) {
  CheckChangeable();
  internal::RetireItems(storage, columns_);
  if (table_ != nullptr) table_->InvalidateLayout();
}

void TDAMemColumnList::WriteMembers(TDABinStorage& storage) const {
  if (storage.StreamVersion() < 12) storage.WriteInteger("InlineDataSize", InlineDataSize, 1000);
  internal::SaveItems(storage, columns_);
}

void TDAMemColumnList::ReadMembers(TDABinStorage& storage) {
  if (storage.StreamVersion() < 12) InlineDataSize = storage.ReadInteger("InlineDataSize", 1000);
  CheckChangeable();
  loading_ = true;
  struct Done {
    bool& flag;
    ~Done() { flag = false; }
  } done{loading_};
  internal::LoadNamedItems<TDAMemColumn>(storage, columns_, "Column", [this](TDAMemColumn& c) {
    c.list_ = this;
    c.index_ = columns_.size();
  });
  for (size_t i = 0; i < columns_.size(); ++i) columns_[i]->index_ = i;
  if (table_ != nullptr) table_->InvalidateLayout();
}

}  // namespace storage
