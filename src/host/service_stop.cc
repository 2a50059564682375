#include "host/service_stop.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "pools/da_conn_pool.h"
#include "pools/da_query_pool.h"
#include "pools/da_stored_proc_pool.h"

namespace host {

DatabaseWorkCancel::DatabaseWorkCancel(service::ServiceContext& context) : context_(context) {
  // The state first, on this thread and without any list lock: from here on nothing new starts.
  if (context_.connection_pool != nullptr) {
    interrupted_ = context_.connection_pool->StartShutdown();
  }
  if (context_.query_pool != nullptr) context_.query_pool->StartShutdown();
  if (context_.stored_proc_pool != nullptr) context_.stored_proc_pool->StartShutdown();
  // The interrupts on the helper: a list lock may be held by a connection attempt for as long as
  // the attempt lasts, and the stop must go on meanwhile.
  helper_ = std::thread(&DatabaseWorkCancel::InterruptRounds, this);
}

DatabaseWorkCancel::~DatabaseWorkCancel() {
  {
    std::lock_guard lock(mutex_);
    done_ = true;
  }
  wake_.notify_all();
  helper_.join();
}

void DatabaseWorkCancel::InterruptRounds() {
  std::unique_lock lock(mutex_);
  while (!done_) {
    lock.unlock();
    // Only connections run statements; query and stored-procedure objects work through them.
    if (context_.connection_pool != nullptr) context_.connection_pool->InterruptBusy();
    lock.lock();
    wake_.wait_for(lock, kInterruptRound, [this] { return done_; });
  }
}

void ResumeDatabaseWork(service::ServiceContext& context) {
  if (context.connection_pool != nullptr) context.connection_pool->EndShutdown();
  if (context.query_pool != nullptr) context.query_pool->EndShutdown();
  if (context.stored_proc_pool != nullptr) context.stored_proc_pool->EndShutdown();
}

std::string StopCutShortText(int seconds) {
  return "Stopping cut short after " + std::to_string(seconds) +
         " s: database work did not end; exiting";
}

StopDeadline::StopDeadline(std::chrono::milliseconds bound, std::function<void()> report)
    : watchdog_([this, bound, report = std::move(report)] {
        {
          std::unique_lock lock(mutex_);
          if (disarmed_.wait_for(lock, bound, [this] { return done_; })) return;
        }
        if (report) report();
        std::fflush(nullptr);
        std::cout.flush();
        std::cerr.flush();
        ::_exit(0);
      }) {}

StopDeadline::~StopDeadline() {
  {
    std::lock_guard lock(mutex_);
    done_ = true;
  }
  disarmed_.notify_all();
  watchdog_.join();
}

}  // namespace host
