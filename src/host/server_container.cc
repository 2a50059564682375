#include "host/server_container.h"

#include <algorithm>
#include <chrono>
#include <exception>

#include "common/error.h"
#include "host/headless_runner.h"
#include "host/service_stop.h"
#include "protocol/compression_filter.h"

namespace host {
namespace {

constexpr std::chrono::milliseconds kStopPumpWait{5};

// The client key from a channel's client information.
std::string ChannelKey(const protocol::TRDBSocketChannelInfo* info) {
  if (info && !info->ClientInfo.IpAddress.empty()) {
    return info->ClientInfo.IpAddress + ":" + info->ClientInfo.ClientPort;
  }
  return kChannelInfoErrorKey;
}

// The key of an arrival, from the channel's client information.
std::string ArrivalKey(const protocol::TRSTCPChannel* channel) {
  return ChannelKey(channel && channel->ChannelInfo() ? &*channel->ChannelInfo() : nullptr);
}

}  // namespace

std::string PeerKey(const protocol::TRSTCPConnection& connection) {
  return connection.peer().ip + ":" + std::to_string(connection.peer().port);
}

TServerContainer1::TServerContainer1(ServiceConsole& form, pools::TPoolManager& instance_pool,
                                     service::ServiceContext& context,
                                     const protocol::Limits& limits)
    : context(context),
      form_(form),
      connections_(std::make_unique<TConnectionRegistry>()),
      RSServerClass1(instance_pool) {
  RSTCPServerTransport1.PoolSize = kTransportPoolSize;
  RSTCPServerTransport1.KeepAliveEnablement = protocol::TRSKeepAliveEnablement::kaEnabled;
  RSTCPServerTransport1.KeepAliveTime = kKeepAliveTime;
  RSTCPServerTransport1.KeepAliveInterval = kKeepAliveInterval;
  auto compression = std::make_unique<protocol::TTransportCompressionFilter>();
  compression->SetParameterValue("CompressMoreThan", std::to_string(kCompressMoreThan));
  RSTCPServerTransport1.Filters.push_back(std::move(compression));
  RSTCPServerTransport1.OnConnect = [this](const protocol::TRSTCPConnectEventObject& e) {
    RSTCPServerTransport1Connect(e);
  };
  RSTCPServerTransport1.OnDisconnect = [this](const protocol::TRSTCPDisconnectEventObject& e) {
    RSTCPServerTransport1Disconnect(e);
  };
  RSTCPServerTransport1.OnHandshakeFailure =
      [this](const protocol::TRSTCPHandshakeFailureEventObject& e) {
        RSTCPServerTransport1HandshakeFailure(e);
      };
  RSServer1.AddServerClass(RSServerClass1);
  RSServer1.SetTransport(&RSTCPServerTransport1);
  RSServer1.limits = limits;
  // Payloads inflate within the same budget as the frames that carried them.
  context.decompression_budget = &RSServer1.decompression_budget;
  RSServer1.OnConnect = [this](const protocol::TRSConnectEventObject& e) { RSServer1Connect(e); };

  form_.AttachContainer(this);
  try {
    DataModuleCreate();
  } catch (const std::exception& e) {
    form_.ReportError(e.what());
  }
}

TServerContainer1::~TServerContainer1() {
  DataModuleDestroy();
  context.decompression_budget = nullptr;
  form_.AttachContainer(nullptr);
}

void TServerContainer1::PumpUi() {
  if (form_.ui().IsUiThread()) form_.ui().WaitAndDrain(kStopPumpWait);
}

void TServerContainer1::ApplyNetworkSettings(const NetworkSettings& network) {
  protocol::TRSTCPServerTransport& transport = RSTCPServerTransport1;
  transport.ListenAddresses = network.listen_addresses;
  transport.LoginTimeout = network.login_timeout;
  transport.MaxPendingPerAddress = network.max_pending_per_address;
  transport.SendStallTimeout = network.send_stall_timeout;
  if (network.pre_login_limit > 0) {
    // Never above what logged-in clients may send.
    protocol::Limits pre = protocol::PreLoginLimits(static_cast<uint64_t>(network.pre_login_limit));
    const protocol::Limits& post = RSServer1.limits;
    pre.max_frame = std::min(pre.max_frame, post.max_frame);
    pre.max_decompressed_frame = std::min(pre.max_decompressed_frame, post.max_decompressed_frame);
    pre.max_data_block = std::min(pre.max_data_block, post.max_data_block);
    pre.max_string = std::min(pre.max_string, post.max_string);
    pre.max_variant_elements = std::min(pre.max_variant_elements, post.max_variant_elements);
    RSServer1.pre_login_limits = pre;
  } else {
    RSServer1.pre_login_limits.reset();
  }
  RSServer1.decompression_budget.SetTotal(static_cast<uint64_t>(network.decompression_budget_mib)
                                          << 20);
}

void TServerContainer1::DataModuleCreate() {
  form_.InitDSServerOpt();
  connections_ = std::make_unique<TConnectionRegistry>();
  ResumeDatabaseWork(context);
  if (!RSServer1.Active()) {
    RSServer1.Start();
    WarnOfDefaultCredentials();
  }
  form_.SetStartedCaptions();
}

void TServerContainer1::WarnOfDefaultCredentials() {
  if (options.user_name != kDefaultUserName || options.password != kDefaultPassword) return;
  for (const std::string& address : RSTCPServerTransport1.BoundAddresses()) {
    if (!protocol::IsLoopbackAddress(address)) {
      form_.AppendLog(LogLine(kDefaultCredentialsWarning));
      return;
    }
  }
}

void TServerContainer1::LogLoginFailure(const std::string& key, const std::string& reason) {
  const std::string line = LogLine(kLoginFailedPrefix + key + ": " + reason);
  form_.ui().Invoke([&] { form_.AppendLog(line); });
}

void TServerContainer1::DataModuleDestroy() {
  if (!RSServer1.Active()) return;
  int interrupted = 0;
  {
    // Callers waiting on the database would hold the stop for as long as they wait.
    const DatabaseWorkCancel cancel(context);
    RSServer1.Stop([this] { PumpUi(); });
    interrupted = cancel.interrupted();
  }
  if (interrupted > 0) {
    form_.AppendLog(LogLine(kStopInterruptedPrefix + std::to_string(interrupted) +
                            " database call(s) in progress"));
  }
}

void TServerContainer1::RSServer1Connect(const protocol::TRSConnectEventObject& event) {
  if (auto refusal = AdmissionRefusal(event.ConnectProperties, event.ChannelInfo != nullptr,
                                      connections_->Count(), options)) {
    LogLoginFailure(ChannelKey(event.ChannelInfo), *refusal == kLimitExceededMessage
                                                       ? kLoginFailureLimit
                                                       : kLoginFailureCredentials);
    throw common::Error("Exception", *refusal);
  }
}

void TServerContainer1::RSTCPServerTransport1HandshakeFailure(
    const protocol::TRSTCPHandshakeFailureEventObject& event) {
  if (!event.Connection) return;
  LogLoginFailure(PeerKey(*event.Connection), event.Reason == protocol::THandshakeFailure::kDeadline
                                                  ? kLoginFailureDeadline
                                                  : kLoginFailureTooManyPending);
}

void TServerContainer1::RSTCPServerTransport1Connect(
    const protocol::TRSTCPConnectEventObject& event) {
  if (!event.Connection) return;
  TConnectionRegistry& registry = *connections_;
  if (!registry.Add(event.Connection, event.Channel)) return;
  const std::string key = ArrivalKey(event.Channel);
  const std::string line = LogLine("->" + key + " 连接成功!");
  ClientLine client{key, event.Connection->id(), PeerKey(*event.Connection)};
  form_.ui().Invoke([&] {
    form_.AddClientLine(std::move(client));
    form_.AppendLog(line);
    form_.ShowSessionCount(registry.Count());
  });
}

void TServerContainer1::RSTCPServerTransport1Disconnect(
    const protocol::TRSTCPDisconnectEventObject& event) {
  form_.ui().Invoke([&] {
    if (event.Connection) {
      const std::string key = PeerKey(*event.Connection);
      connections_->Remove(event.Connection->id());
      if (form_.RemoveClientLine(key)) form_.AppendLog(LogLine("->" + key + " 主动断开!"));
    }
    form_.ShowSessionCount(connections_->Count());
  });
}

void TServerContainer1::DisConnectConnection(uint64_t connection) {
  const std::optional<TConnectionRegistry::Entry> entry = connections_->Find(connection);
  if (!entry || !entry->channel) return;
  const std::string key = ArrivalKey(entry->channel);
  form_.RemoveClientLine(key);
  form_.AppendLog(LogLine("->" + key + " 被动断开!"));
  form_.ShowSessionCount(connections_->Count());
  connections_->Remove(connection);
  // The connection thread is blocked at most in its departure hand-over, which waits for this
  // thread: the connection object is still alive here.
  entry->connection->Close();
}

}  // namespace host
