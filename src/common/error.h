// The base error type of the system.
//
// Every failure is an exception. An Error carries the class name under which the remote-call
// layer reports it (the "name" of an error reply), an integer code, and the message text
// (UTF-8). Subsystems derive their own kinds (the protocol's TRDBError, the storage's
// EDAException, database errors) and the dispatcher is the one place that turns any of them
// into a reply.
#ifndef DATASERVER_COMMON_ERROR_H_
#define DATASERVER_COMMON_ERROR_H_

#include <stdexcept>
#include <string>

namespace common {

class Error : public std::runtime_error {
 public:
  // `class_name` is the name clients see for this kind of error, e.g. "Exception".
  Error(std::string class_name, const std::string& message, int code = 0)
      : std::runtime_error(message), class_name_(std::move(class_name)), code_(code) {}
  explicit Error(const std::string& message) : Error("Exception", message) {}

  const std::string& class_name() const { return class_name_; }
  int code() const { return code_; }

 private:
  std::string class_name_;
  int code_;
};

}  // namespace common

#endif  // DATASERVER_COMMON_ERROR_H_
