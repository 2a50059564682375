#include "host/admission.h"

namespace host {

std::optional<std::string> AdmissionRefusal(const protocol::TRDBProperties& properties,
                                            bool has_channel_info, int64_t registered,
                                            const ServiceOptions& options) {
  const bool over_limit = registered > options.max_client_connections;
  if (has_channel_info) {
    const bool c1 = properties.Get("User_Name") == options.user_name &&
                    properties.Get("Password") == options.password;
    if (!over_limit && c1) return std::nullopt;
    const bool c2 = properties.Get("RSAuthenticationUser") == options.user_name &&
                    properties.Get("RSAuthenticationPassword") == options.password;
    if (c2) return std::nullopt;
    return std::string(over_limit ? kLimitExceededMessage : kAuthenticationFailedMessage);
  }
  if (over_limit) return std::string(kLimitExceededMessage);
  if (properties.Get("User_Name") != options.user_name ||
      properties.Get("Password") != options.password) {
    return std::string(kAuthenticationFailedMessage);
  }
  return std::string(kNoChannelInfoMessage);
}

}  // namespace host
