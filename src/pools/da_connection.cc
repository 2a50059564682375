#include "pools/da_connection.h"

#include <algorithm>

#include "pools/database_error.h"
#include "pools/internal/driver.h"

namespace pools {

TDAConnection::TDAConnection() = default;

TDAConnection::~TDAConnection() { Close(); }

void TDAConnection::Open() {
  if (driver_) return;
  std::shared_ptr<internal::DriverConnection> driver =
      internal::OpenDriverConnection(params_, base_folder_, stop_);
  std::lock_guard lock(driver_mutex_);
  driver_ = std::move(driver);
}

void TDAConnection::Close() {
  if (!driver_) return;
  std::shared_ptr<internal::DriverConnection> driver;
  {
    std::lock_guard lock(driver_mutex_);
    driver = std::move(driver_);
    driver_.reset();
  }
  try {
    if (driver->InTransaction()) driver->Rollback();
  } catch (const DatabaseError&) {
    // The link closes anyway; an unfinished transaction ends with it.
  }
}

const std::shared_ptr<internal::DriverConnection>& TDAConnection::Driver() const {
  if (!driver_) throw DatabaseError("The database connection is not open");
  return driver_;
}

void TDAConnection::StartTransaction() { Driver()->StartTransaction(); }
void TDAConnection::Commit() { Driver()->Commit(); }
void TDAConnection::Rollback() { Driver()->Rollback(); }
bool TDAConnection::InTransaction() const { return driver_ && driver_->InTransaction(); }

std::string TDAConnection::QuoteIdentifier(std::string_view name) const {
  return Driver()->QuoteIdentifier(name);
}

std::optional<std::string> TDAConnection::QuoteQualifiedName(std::string_view name) const {
  if (name.empty()) return std::nullopt;
  std::string out;
  size_t i = 0;
  for (;;) {
    const size_t start = i;
    const char open = name[i];
    if (open == '"' || open == '[' || open == '`') {
      const char close = open == '[' ? ']' : open;
      ++i;
      bool closed = false;
      while (i < name.size()) {
        if (name[i] == close) {
          if (i + 1 < name.size() && name[i + 1] == close) {
            i += 2;
            continue;
          }
          ++i;
          closed = true;
          break;
        }
        ++i;
      }
      if (!closed || i - start < 3) return std::nullopt;
      out += name.substr(start, i - start);
    } else {
      i = std::min(name.find('.', i), name.size());
      if (i == start) return std::nullopt;
      out += QuoteIdentifier(name.substr(start, i - start));
    }
    if (i == name.size()) return out;
    if (name[i] != '.' || i + 1 == name.size()) return std::nullopt;
    out += '.';
    ++i;
  }
}

std::string TDAConnection::LastMessage() const { return driver_ ? driver_->LastMessage() : ""; }
bool TDAConnection::IsLost() const { return driver_ && driver_->IsLost(); }

void TDAConnection::Interrupt() noexcept {
  std::lock_guard lock(driver_mutex_);
  if (driver_) driver_->Interrupt();
}
SqlDialect TDAConnection::Dialect() const { return Driver()->Dialect(); }

}  // namespace pools
