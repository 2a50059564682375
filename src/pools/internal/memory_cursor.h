// A cursor over rows held in memory: a result set read to its end from another cursor, so
// that the driver can move on (output parameters of a stored procedure are only final once
// every result has been read).
//
// Thread use: one thread at a time.
#ifndef DATASERVER_POOLS_INTERNAL_MEMORY_CURSOR_H_
#define DATASERVER_POOLS_INTERNAL_MEMORY_CURSOR_H_

#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "pools/cursor.h"

namespace pools::internal {

class MemoryCursor : public Cursor {
 public:
  // Reads every row of `source` (from its first) with each column's natural getter.
  static std::unique_ptr<MemoryCursor> ReadAll(Cursor& source);

  bool Next() override;
  bool IsNull(int column) override;
  bool GetBool(int column) override;
  int64_t GetInt64(int column) override;
  uint64_t GetUInt64(int column) override;
  double GetDouble(int column) override;
  std::string_view GetText(int column) override;
  std::u16string_view GetWideText(int column) override;
  common::ByteSpan GetBytes(int column) override;
  TimeStamp GetTimeStamp(int column) override;

  size_t RowCount() const { return rows_.size(); }

 private:
  using Cell = std::variant<std::monostate, bool, int64_t, uint64_t, double, std::string,
                            std::u16string, common::Bytes, TimeStamp>;

  explicit MemoryCursor(std::vector<ColumnDef> columns) : Cursor(std::move(columns)) {}
  const Cell& At(int column);
  template <typename T>
  const T& As(int column, std::string_view target);

  std::vector<std::vector<Cell>> rows_;
  size_t next_ = 0;  // the current row is next_ - 1
  std::string scratch_;
  std::u16string wide_scratch_;
};

}  // namespace pools::internal

#endif  // DATASERVER_POOLS_INTERNAL_MEMORY_CURSOR_H_
