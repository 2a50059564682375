#include "pools/da_stored_proc.h"

#include "pools/da_connection.h"
#include "pools/database_error.h"
#include "pools/internal/driver.h"

namespace pools {

void TDAStoredProc::SetStoredProcName(std::string name) {
  name_ = std::move(name);
  params_.Clear();
}

void TDAStoredProc::Call(bool want_result) {
  Close();
  if (connection_ == nullptr)
    throw DatabaseError("No connection is assigned to the stored procedure");
  if (name_.empty()) throw DatabaseError("No stored procedure name is set");
  cursor_ = connection_->Driver()->CallProcedure(name_, params_, want_result);
}

void TDAStoredProc::Open() { Call(true); }

void TDAStoredProc::ExecProc() { Call(false); }

Cursor& TDAStoredProc::Result() {
  if (!cursor_) throw DatabaseError("The stored procedure is not open");
  return *cursor_;
}

}  // namespace pools
