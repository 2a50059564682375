// The stop of the service and of the process, bounded in time even while callers wait on the
// database: a locked SQLite file, a database server that does not answer, the pools' semaphores.
//
// DatabaseWorkCancel runs for the length of one stop of the service: the three database pools of
// the service context enter their shutting-down state (new borrows and semaphore waiters fail at
// once), and a helper thread interrupts the statement of every connection lent out, at once and
// again every kInterruptRound while the stop waits for the connection threads (a statement may
// start in the moment after a round). The pools stay shut after the stop, so a connection thread
// that outlived it starts nothing; ResumeDatabaseWork returns them to service as the service
// starts again.
//
// StopDeadline bounds the process's exit path: if it is still alive after its bound (a thread
// stuck in a database client library that has no cancel, such as a connection attempt to a
// server that accepts and never answers), it calls its report and ends the process with exit
// code 0 through _exit. Nothing that commits is hurt by that: a transaction the database had not
// committed is rolled back by the database itself (SQLite's journal at the next open, a server
// when the link drops), and what it had committed stays. Exiting without running destructors is
// what makes this safe while other threads are still inside the database libraries.
//
// Threads: DatabaseWorkCancel and ResumeDatabaseWork are used on the thread that stops and
// starts the service (the user-interface thread); the helper thread only calls the pools'
// InterruptBusy, which takes each pool's list lock. StopDeadline is made and destroyed on the
// thread running the exit path; its watchdog thread calls the report and _exit.
#ifndef DATASERVER_HOST_SERVICE_STOP_H_
#define DATASERVER_HOST_SERVICE_STOP_H_

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "service/server_module.h"

namespace host {

inline constexpr std::chrono::milliseconds kInterruptRound{250};

class DatabaseWorkCancel {
 public:
  // Pools that are null in `context` are skipped. `context` must outlive this object.
  explicit DatabaseWorkCancel(service::ServiceContext& context);
  // Ends the helper thread; the pools stay shutting down.
  ~DatabaseWorkCancel();

  // The database calls in progress when the stop began (pooled connections lent out): each is
  // interrupted or ends on its own, whichever comes first.
  int interrupted() const { return interrupted_; }
  DatabaseWorkCancel(const DatabaseWorkCancel&) = delete;
  DatabaseWorkCancel& operator=(const DatabaseWorkCancel&) = delete;

 private:
  void InterruptRounds();

  service::ServiceContext& context_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;    // guarded by mutex_
  int interrupted_ = 0;  // written before the helper starts
  std::thread helper_;
};

// Returns the pools of `context` to normal service.
void ResumeDatabaseWork(service::ServiceContext& context);

// The log text of an exit that StopDeadline cut short after `seconds`.
std::string StopCutShortText(int seconds);

class StopDeadline {
 public:
  // Arms the watchdog: after `bound`, unless destroyed first, `report` runs on the watchdog
  // thread and the process ends with exit code 0.
  StopDeadline(std::chrono::milliseconds bound, std::function<void()> report);
  // Disarms the watchdog.
  ~StopDeadline();
  StopDeadline(const StopDeadline&) = delete;
  StopDeadline& operator=(const StopDeadline&) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable disarmed_;
  bool done_ = false;  // guarded by mutex_
  std::thread watchdog_;
};

}  // namespace host

#endif  // DATASERVER_HOST_SERVICE_STOP_H_
