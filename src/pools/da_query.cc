#include "pools/da_query.h"

#include "pools/da_connection.h"
#include "pools/database_error.h"
#include "pools/internal/driver.h"

namespace pools {
namespace {

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    size_t end = text.find_first_of("\r\n");
    lines.emplace_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    size_t next = end + 1;
    if (text[end] == '\r' && next < text.size() && text[next] == '\n') ++next;
    text.remove_prefix(next);
  }
  return lines;
}

}  // namespace

void TDAQuery::SetSQLText(std::string_view text) {
  sql_ = SplitLines(text);
  retyped_.clear();
}

void TDAQuery::Retype(int column, common::DataType type) { retyped_.emplace_back(column, type); }

std::string TDAQuery::CommandText() const {
  std::string text;
  for (size_t i = 0; i < sql_.size(); ++i) {
    if (i > 0) text += "\r\n";
    text += sql_[i];
  }
  return text;
}

std::string TDAQuery::CheckedCommandText() const {
  if (connection_ == nullptr) throw DatabaseError("No connection is assigned to the query");
  std::string text = CommandText();
  if (text.find_first_not_of(" \t\r\n") == std::string::npos) {
    throw DatabaseError("The query has no SQL text");
  }
  return text;
}

void TDAQuery::Open() {
  cursor_.reset();
  std::string text = CheckedCommandText();
  cursor_ = connection_->Driver()->Open(text, params_);
  for (const auto& [column, type] : retyped_) cursor_->Retype(column, type);
}

Cursor& TDAQuery::Result() {
  if (!cursor_) throw DatabaseError("The query is not open");
  return *cursor_;
}

int64_t TDAQuery::Execute() {
  Close();
  rows_affected_ = 0;
  std::string text = CheckedCommandText();
  rows_affected_ = connection_->Driver()->Execute(text, params_);
  return rows_affected_;
}

}  // namespace pools
