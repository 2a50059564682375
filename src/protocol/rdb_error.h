// The protocol's error class and its codes.
//
// A TRDBError is what every codec of the remote-call protocol throws: the dispatcher reports it
// to the client with the class name "TRDBError" and its code (other exceptions go out with code
// 5). `breaks_stream` marks failures after which the bytes of the connection can no longer be
// trusted (the frame layer failed, the peer is gone, or a claimed length was refused so the
// reader cannot find the next message): the dispatcher may still try an error reply but must
// then end the connection. Parse errors do not break the stream: the reader drops its buffered
// input and the connection goes on.
//
// Thread use: a value; thrown and caught on one connection thread.
#ifndef DATASERVER_PROTOCOL_RDB_ERROR_H_
#define DATASERVER_PROTOCOL_RDB_ERROR_H_

#include <string>

#include "common/error.h"

namespace protocol {

// Codes carried by TRDBError (the "code" of an error reply).
inline constexpr int kGeneralErrorCode = 0;        // "Connection lost", filter setup, values
inline constexpr int kReadErrorCode = 1;           // "Read error", frame failures
inline constexpr int kParseErrorCode = 2;          // malformed message text or payload
inline constexpr int kCommandClosedErrorCode = 4;  // "Command closed or executed again"
inline constexpr int kForeignErrorCode = 5;        // any error that is not a TRDBError
inline constexpr int kFilterNotFoundErrorCode = 24;
inline constexpr int kInvalidHandleErrorCode = 29;  // "Invalid command handle:  %s"
inline constexpr int kCommandTypeErrorCode = 30;    // "%s is an unrecognized command type"
inline constexpr int kMethodNotFoundErrorCode = 105;

inline constexpr char kRdbErrorClassName[] = "TRDBError";
inline constexpr char kConnectionLostMessage[] = "Connection lost";
inline constexpr char kReadErrorMessage[] = "Read error";

class TRDBError : public common::Error {
 public:
  explicit TRDBError(const std::string& message, int code = kGeneralErrorCode,
                     bool breaks_stream = false)
      : common::Error(kRdbErrorClassName, message, code), breaks_stream_(breaks_stream) {}

  bool breaks_stream() const { return breaks_stream_; }

 private:
  bool breaks_stream_;
};

// The server cannot take the client's input now (no memory free to decode it). Only the input
// is broken: the channel can still carry the error reply that tells the client so, and then the
// connection ends.
class TRDBInputRefused : public TRDBError {
 public:
  explicit TRDBInputRefused(const std::string& message)
      : TRDBError(message, kGeneralErrorCode, true) {}
};

// What a byte channel throws when its connection is gone.
inline TRDBError ConnectionLostError() {
  return TRDBError(kConnectionLostMessage, kGeneralErrorCode, true);
}

}  // namespace protocol

#endif  // DATASERVER_PROTOCOL_RDB_ERROR_H_
