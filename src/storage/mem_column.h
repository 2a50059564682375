// Columns of a table in the table model: TDAMemColumn and TDAMemColumnList.
//
// Stored as object "ColumnList" ("InlineDataSize" before version 12, then one "Column" per
// column in column order). A column writes "Name", "SourceName", "SourceID", "DataType",
// "Precision", "Scale", "Size", one true Boolean per attribute ("AllowNull" ...),
// "AutoIncrement", "AutoIncrementSeed", "AutoIncrementStep", "Caption", "Expression", one true
// Boolean per option ("OAllowNull" ...), its origin ("OriginName" in version 1, else
// "OriginTabName" and "OriginColName"), "SourceDataType", "SourcePrecision", "SourceScale",
// "SourceSize", "SourceDataTypeName", "SourceDirectory" (the same text) and "SourceGenerator";
// each only when it differs from its default.
//
// Owned by one table, used by the thread that owns the table.
#ifndef DATASERVER_STORAGE_MEM_COLUMN_H_
#define DATASERVER_STORAGE_MEM_COLUMN_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "storage/enums.h"
#include "storage/storable.h"

namespace storage {

class TDAMemTable;
class TDAMemColumnList;

class TDAMemColumn : public TDANamedObject {
 public:
  // A new column: attributes caAllowNull; options coAllowNull, coInUpdate, coInWhere; seed
  // and step 1; named "Column".
  TDAMemColumn();
  TDAMemColumn(std::string name, common::DataType type);

  std::string_view StreamingName(const TDABinStorage*) const override { return "Column"; }
  std::string_view DefaultName() const override { return "Column"; }

  std::string SourceName;
  int32_t SourceID = 0;
  common::DataType DataType = common::DataType::dtUnknown;
  int32_t Precision = 0;
  int32_t Scale = 0;
  int32_t Size = 0;  // characters, code units or bytes (see value_codec.h)
  bool AutoIncrement = false;
  int32_t AutoIncrementSeed = 1;
  int32_t AutoIncrementStep = 1;
  std::string Caption;
  std::string Expression;
  std::string OriginTabName;
  std::string OriginColName;
  common::DataType SourceDataType = common::DataType::dtUnknown;
  int32_t SourcePrecision = 0;
  int32_t SourceScale = 0;
  int32_t SourceSize = 0;
  std::string SourceDataTypeName;
  std::string SourceGenerator;

  TDADataAttributes Attributes() const { return attributes_; }
  // Keeps coAllowNull in step with caAllowNull and coReadOnly with caReadOnly.
  void SetAttributes(TDADataAttributes attributes);
  TDADataOptions Options() const { return options_; }
  // Setting coUnique on a column of a table adds a "UniqueConstraint" on the column to the
  // table's constraints (not while the column list is being loaded); clearing it removes it.
  void SetOptions(TDADataOptions options);

  // The origin column name as stored: OriginColName, else SourceName.
  const std::string& ActualOriginColName() const;

  // Position in its column list; the table owning the list (null for a lone column).
  size_t Index() const { return index_; }
  TDAMemTable* Table() const;

  void WriteMembers(TDABinStorage& storage) const override;
  void ReadMembers(TDABinStorage& storage) override;

 private:
  friend class TDAMemColumnList;

  TDADataAttributes attributes_{TDADataAttribute::caAllowNull};
  TDADataOptions options_{TDADataOption::coAllowNull, TDADataOption::coInUpdate,
                          TDADataOption::coInWhere};
  TDAMemColumnList* list_ = nullptr;
  size_t index_ = 0;
};

class TDAMemColumnList : public TDAStorableObject {
 public:
  explicit TDAMemColumnList(TDAMemTable* table = nullptr) : table_(table) {}
  ~TDAMemColumnList() override;

  std::string_view StreamingName(const TDABinStorage*) const override { return "ColumnList"; }
  TDAStorageObjectStyle ObjectStyle() const override { return TDAStorageObjectStyle::osTypedArray; }

  // Text columns longer than this keep their values out of line (attribute caBlobData).
  int32_t InlineDataSize = 1000;

  size_t size() const { return columns_.size(); }
  bool empty() const { return columns_.empty(); }
  TDAMemColumn& operator[](size_t i) { return *columns_[i]; }
  const TDAMemColumn& operator[](size_t i) const { return *columns_[i]; }

  // Appends a column. Columns change only while the table has no rows (std::logic_error).
  TDAMemColumn& Add(std::string name, common::DataType type);
  TDAMemColumn& Add(std::unique_ptr<TDAMemColumn> column);
  // The first column of that name (exact match), or null.
  TDAMemColumn* Find(std::string_view name);
  const TDAMemColumn* Find(std::string_view name) const;
  // Drops every column; while loading, `storage` keeps them alive until it is released.
  void Clear(TDABinStorage* storage = nullptr);

  TDAMemTable* Table() const { return table_; }
  bool Loading() const { return loading_; }

  void WriteMembers(TDABinStorage& storage) const override;
  void ReadMembers(TDABinStorage& storage) override;

 private:
  void CheckChangeable() const;
  void Adopt(TDAMemColumn& column);

  TDAMemTable* table_;
  std::vector<std::unique_ptr<TDAMemColumn>> columns_;
  bool loading_ = false;
};

}  // namespace storage

#endif  // DATASERVER_STORAGE_MEM_COLUMN_H_
