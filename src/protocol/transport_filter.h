// Transport filters and their registry.
//
// A filter transforms the body of every frame of a connection: ProcessInput encodes outgoing
// bytes, ProcessOutput decodes incoming ones. Filters are named by an id and configured by
// text parameters, which both sides exchange while they negotiate (see filter_channel.h).
// TTransportFilterFactory maps ids to constructors; "ZLibCompression" is always registered.
//
// Thread use: a filter object belongs to one connection (its thread only). The factory is
// process-wide; its map is guarded by a mutex, so registering and creating may happen on any
// thread (in practice registration happens at start-up).
#ifndef DATASERVER_PROTOCOL_TRANSPORT_FILTER_H_
#define DATASERVER_PROTOCOL_TRANSPORT_FILTER_H_

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/bytes.h"

namespace protocol {

class TTransportFilter {
 public:
  virtual ~TTransportFilter() = default;

  virtual std::string Id() const = 0;
  // Names of all parameters sent in the negotiation, in order.
  virtual std::vector<std::string> GetParameters() const = 0;
  // Names of the parameters a server's configuration may set.
  virtual std::vector<std::string> GetUserParameters() const = 0;
  // Current value as text; empty for an unknown name.
  virtual std::string GetParameterValue(std::string_view name) const = 0;
  // False when the name or the value is not accepted. May throw a conversion error.
  virtual bool SetParameterValue(std::string_view name, std::string_view value) = 0;
  // Applies a parameter received from the other side; false rejects it.
  virtual bool SetConfederateParameter(std::string_view name, std::string_view value) {
    return SetParameterValue(name, value);
  }

  // Appends the encoded form of `data` to `out`.
  virtual void ProcessInput(common::ByteSpan data, common::Bytes& out) = 0;
  // Appends the decoded form of `data` to `out`, never more than `max_output` bytes (a longer
  // result fails with a TRDBError that breaks the stream).
  virtual void ProcessOutput(common::ByteSpan data, common::Bytes& out, uint64_t max_output) = 0;

  // True for filters that take part in the public-key step of the negotiation.
  virtual bool GetPublicKeyCryptograph() const { return false; }
  virtual void StartHandshake() {}
  virtual bool HandshakeComplete() const { return true; }

  bool server_instance() const { return server_instance_; }
  void set_server_instance(bool value) { server_instance_ = value; }

 private:
  bool server_instance_ = true;
};

using FilterList = std::vector<std::unique_ptr<TTransportFilter>>;

class TTransportFilterFactory {
 public:
  // Returns a new filter, or null when it cannot be constructed.
  using Creator = std::function<std::unique_ptr<TTransportFilter>()>;

  // Registers (or replaces) the creator of `id`. Ids are compared exactly.
  static void Register(const std::string& id, Creator creator);
  static bool IsRegistered(std::string_view id);
  // Fails with id + " Filter not found" (code 24) for an unregistered id, and with
  // "Communication filter <id> is not registered. ..." when the creator returns null.
  static std::unique_ptr<TTransportFilter> Create(std::string_view id);
};

// A connection's own filters, made from the transport's configured ones: for each, in order, a
// new filter of the same id with the values of its user parameters copied.
FilterList MakeConnectionFilters(const FilterList& configured);

}  // namespace protocol

#endif  // DATASERVER_PROTOCOL_TRANSPORT_FILTER_H_
