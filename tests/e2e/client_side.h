// The client's side of the payloads, through the client library: a result decoded into the
// table model as a client loads it, an edited table sent back as a change set, and texts as
// compressed statement lists.
#ifndef DATASERVER_TESTS_E2E_CLIENT_SIDE_H_
#define DATASERVER_TESTS_E2E_CLIENT_SIDE_H_

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "client/payload.h"
#include "common/bytes.h"
#include "common/variant.h"
#include "service/data_test_support.h"
#include "storage/dataset_stream.h"

namespace e2e {

using service::testing::LoadedResult;

// A result payload (a compressed dataset stream in a byte array) loaded as a client loads it.
inline LoadedResult LoadPayload(const common::Variant& payload) {
  const std::optional<common::Bytes> compressed = client::PayloadBytes(payload);
  if (!compressed) {
    throw std::runtime_error("the result is no byte array: " + common::DebugString(payload));
  }
  LoadedResult r;
  r.table = storage::LoadFromStream(*r.manager, client::DecompressPayload(*compressed)).table;
  if (r.table == nullptr) throw std::runtime_error("the result holds no table");
  return r;
}

// The edited result with its journal, compressed, as a client sends it to UpdateOleVariant.
inline common::Variant ChangeSet(const LoadedResult& r) {
  common::Bytes stream;
  storage::SaveToStream(*r.manager, stream);
  return client::CompressedPayload(stream);
}

// Bytes compressed into a byte array (an UpdateSQL statement list, a file).
inline common::Variant Compressed(std::string_view bytes) {
  return client::CompressedPayload(common::AsBytes(bytes));
}

}  // namespace e2e

#endif  // DATASERVER_TESTS_E2E_CLIENT_SIDE_H_
