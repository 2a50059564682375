// libFuzzer target: loads arbitrary bytes as a client's change set and builds the statement of
// every changed row, for each form of insert a database may need. Malformed input must end in
// EDAException and a row that cannot be found by any column in EApplyError; anything else is a
// finding. Every statement must carry one parameter per "?" marker.
#include <cstddef>
#include <cstdint>

#include "pools/da_connection.h"
#include "service/change_apply.h"
#include "storage/change_set.h"

namespace {

pools::TDAConnection& Connection() {
  static pools::TDAConnection* conn = [] {
    auto* c = new pools::TDAConnection();
    c->Params().Set("DriverID", "SQLite");
    c->Params().Set("Database", ":memory:");
    c->Open();
    return c;
  }();
  return *conn;
}

bool AnyNameHoldsAMarker(const storage::TDAMemColumnList& columns) {
  for (size_t i = 0; i < columns.size(); ++i) {
    if (columns[i].Name().find('?') != std::string::npos ||
        columns[i].OriginColName.find('?') != std::string::npos ||
        columns[i].SourceName.find('?') != std::string::npos) {
      return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::optional<storage::TDAChangeSet> set;
  try {
    set.emplace(storage::TDAChangeSet::Load(common::ByteSpan(data, size)));
  } catch (const storage::EDAException&) {
    return 0;
  }
  const bool check_markers = !AnyNameHoldsAMarker(set->Columns());
  using Form = pools::SqlDialect::DefaultRow;
  for (const storage::TDAChange& change : set->Changes()) {
    for (Form form : {Form::kDefaultValues, Form::kValuesDefault, Form::kValuesNull}) {
      pools::SqlDialect dialect;
      dialect.default_row = form;
      dialect.explicit_auto_inc_values = form != Form::kValuesNull;
      try {
        const service::RowStatement st =
            service::BuildRowStatement(change, set->Columns(), "\"t\"", Connection(), dialect);
        if (check_markers) {
          size_t markers = 0;
          for (char c : st.sql) markers += c == '?';
          if (markers != st.params.size()) __builtin_trap();
        }
      } catch (const service::EApplyError&) {
      }
    }
  }
  return 0;
}
