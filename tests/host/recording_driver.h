// A stand-in database driver for the drivers this machine has no server for ("MSSQL",
// "MSAcc"): registered under a DriverID through the pools' test seam, it opens without a
// database, keeps every command text it runs, and can be told to refuse the open or the
// statements with a driver-like error. Shared by the host and console tests.
#ifndef DATASERVER_TESTS_HOST_RECORDING_DRIVER_H_
#define DATASERVER_TESTS_HOST_RECORDING_DRIVER_H_

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "pools/database_error.h"
#include "pools/internal/driver.h"
#include "pools/test_driver.h"

namespace host::fakes {

// What the driver did, and what it should refuse; shared by every link it opens.
struct DriverLog {
  std::mutex mutex;
  std::vector<std::string> executed;          // command texts, in order
  std::vector<std::string> opened_with;       // the parameter file text of every open
  std::string refuse_open;                    // non-empty: Open fails with this text
  std::string refuse_execute;                 // non-empty: statements fail with this text
  std::chrono::milliseconds execute_time{0};  // how long each statement takes
  std::function<void()> on_execute;           // runs as each statement starts

  std::vector<std::string> Executed() {
    std::lock_guard lock(mutex);
    return executed;
  }
  std::vector<std::string> OpenedWith() {
    std::lock_guard lock(mutex);
    return opened_with;
  }
};

class RecordingConnection : public pools::internal::DriverConnection {
 public:
  explicit RecordingConnection(std::shared_ptr<DriverLog> log) : log_(std::move(log)) {}

  void StartTransaction() override { in_transaction_ = true; }
  void Commit() override { in_transaction_ = false; }
  void Rollback() override { in_transaction_ = false; }
  bool InTransaction() const override { return in_transaction_; }
  std::string QuoteIdentifier(std::string_view name) const override {
    return "\"" + std::string(name) + "\"";
  }
  std::string LastMessage() const override { return {}; }
  bool IsLost() const override { return false; }
  pools::SqlDialect Dialect() const override { return {}; }
  // Its statements end by themselves after execute_time: nothing to cut short.
  void Interrupt() noexcept override {}

  std::unique_ptr<pools::Cursor> Open(const std::string& sql, const pools::DbParams&) override {
    Record(sql);
    throw pools::DatabaseError("The recording driver returns no result sets");
  }
  int64_t Execute(const std::string& sql, const pools::DbParams&) override {
    Record(sql);
    return 0;
  }
  std::unique_ptr<pools::Cursor> CallProcedure(const std::string& name, pools::DbParams&,
                                               bool) override {
    Record(name);
    throw pools::DatabaseError("The recording driver has no procedures");
  }

 private:
  void Record(const std::string& sql) {
    std::chrono::milliseconds time;
    std::function<void()> on_execute;
    {
      std::lock_guard lock(log_->mutex);
      log_->executed.push_back(sql);
      if (!log_->refuse_execute.empty()) {
        throw pools::DatabaseError(log_->refuse_execute, "42000");
      }
      time = log_->execute_time;
      on_execute = log_->on_execute;
    }
    if (on_execute) on_execute();
    std::this_thread::sleep_for(time);
  }

  std::shared_ptr<DriverLog> log_;
  bool in_transaction_ = false;
};

// Registers a recording driver under `driver_id` for the lifetime of the object.
class ScopedRecordingDriver {
 public:
  explicit ScopedRecordingDriver(std::string driver_id)
      : driver_id_(std::move(driver_id)), log_(std::make_shared<DriverLog>()) {
    std::shared_ptr<DriverLog> log = log_;
    pools::SetTestDriver(driver_id_, [log](const pools::ConnectionParams& params) {
      std::lock_guard lock(log->mutex);
      log->opened_with.push_back(params.ToText());
      if (!log->refuse_open.empty()) throw pools::DatabaseError(log->refuse_open, "08001");
      return std::make_shared<RecordingConnection>(log);
    });
  }
  ~ScopedRecordingDriver() { pools::SetTestDriver(driver_id_, {}); }
  ScopedRecordingDriver(const ScopedRecordingDriver&) = delete;
  ScopedRecordingDriver& operator=(const ScopedRecordingDriver&) = delete;

  DriverLog& log() { return *log_; }

 private:
  std::string driver_id_;
  std::shared_ptr<DriverLog> log_;
};

}  // namespace host::fakes

#endif  // DATASERVER_TESTS_HOST_RECORDING_DRIVER_H_
