// Admission of a client at its "connect" request (RSServer1Connect): the service credentials,
// the connection limit and the registry's entry count decide.
//
// C1: "User_Name" and "Password" equal the service user name and password; C2: the same for
// "RSAuthenticationUser" and "RSAuthenticationPassword" (exact, case-sensitive, no trimming; an
// absent property is empty text). N = registry entries (the newcomer included), M = limit.
//   N <= M and C1          admit
//   C2                     admit (the limit does not apply)
//   otherwise              refuse: N > M -> "客户端超过服务器的最大连接数了！",
//                                  else   -> "认证失败！非法的接入用户，连接被拒绝！"
// A client without channel information is never admitted.
//
// Thread use: ServiceOptions are written on the user-interface thread while the transport is
// stopped and read by connection threads afterwards (the limit is atomic: GetServerDateTime
// reads its own copy of it too).
#ifndef DATASERVER_HOST_ADMISSION_H_
#define DATASERVER_HOST_ADMISSION_H_

#include <cstdint>
#include <optional>
#include <string>

#include "protocol/session.h"

namespace host {

inline constexpr char kLimitExceededMessage[] = "客户端超过服务器的最大连接数了！";
inline constexpr char kAuthenticationFailedMessage[] = "认证失败！非法的接入用户，连接被拒绝！";
inline constexpr char kNoChannelInfoMessage[] =
    "认证失败！非法的接入用户，连接被拒绝！(no channel information)";

struct ServiceOptions {
  int32_t max_client_connections = 1000;
  std::string user_name = "admin";
  std::string password = "tulip";
};

// nullopt to admit; otherwise the message of the refusal.
std::optional<std::string> AdmissionRefusal(const protocol::TRDBProperties& properties,
                                            bool has_channel_info, int64_t registered,
                                            const ServiceOptions& options);

}  // namespace host

#endif  // DATASERVER_HOST_ADMISSION_H_
