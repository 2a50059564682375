#include "protocol/blob_exchange.h"

#include <gtest/gtest.h>

#include "memory_channel.h"
#include "protocol/param_value.h"
#include "protocol/rdb_error.h"
#include "protocol/variant_stream.h"

namespace protocol {
namespace {

using common::Variant;
using test::MemoryChannel;
using Bytes = common::Bytes;

Bytes Payload(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 13 + 1);
  return b;
}

// A result of 100000 bytes as the first value of a reply row: 0x50 with L - 3 inline bytes,
// then more_blob replies of up to W - 32 bytes, the last with a negative count; the client
// reassembles it.
TEST(BlobExchange, LargeOutputValueArrivesThroughMoreBlobReplies) {
  const size_t w = 32768;
  const Variant result = Variant::ByteArray(Payload(100000));
  ParamBuffer server_params(w);
  auto rest = server_params.PutVariant(result);
  ASSERT_NE(rest, nullptr);
  const Bytes row(server_params.row().begin(), server_params.row().end());
  EXPECT_EQ(row[0], kContinuedHeader);
  EXPECT_EQ(common::LoadBE<uint16_t>(row.data() + 1), 30717);

  MemoryChannel server_out;
  TRDBJSonStreamWriter server_writer(server_out, w);
  std::vector<int64_t> counts;
  do {
    counts.push_back(server_writer.WriteMoreBlobReply(*rest));
  } while (counts.back() > 0);
  EXPECT_EQ(counts, (std::vector<int64_t>{32736, 32736, -3820}));

  MemoryChannel client_in(server_out.output());
  MemoryChannel client_out;
  TRDBJSonStreamReader client_reader(client_in, w);
  TRDBJSonStreamWriter client_writer(client_out, w);
  ClientPieceFetcher fetcher(client_reader, client_writer, 0);
  ParamRowReader reply(row);
  EXPECT_EQ(DecodeVariant(reply.At(0), &fetcher, 0), result);
  std::string requests;
  for (int i = 0; i < 3; ++i) requests += R"({"method":"more_blob","params":[0,1,0,0,true,0]})";
  EXPECT_EQ(client_out.output_text(), requests);
  EXPECT_EQ(client_in.remaining(), 0u);
}

// An input value longer than its inline capacity: the server asks for each piece in the
// middle of the execute and reads the client's answer before going on.
TEST(BlobExchange, LargeInputValueIsFetchedFromTheClient) {
  const size_t w = 8192;
  const Variant input = Variant::ByteArray(Payload(20000));
  ParamBuffer client_params(w);
  client_params.PutString(u"InPutPack");
  auto rest = client_params.PutVariant(input);
  ASSERT_NE(rest, nullptr);
  MemoryChannel client_out;
  TRDBJSonStreamWriter client_writer(client_out, w);
  int pieces = 0;
  while (client_writer.WritePiece(*rest, w - kPieceReserve) > 0) ++pieces;
  ++pieces;

  MemoryChannel server_in(client_out.output());
  MemoryChannel server_out;
  TRDBJSonStreamReader server_reader(server_in, w);
  TRDBJSonStreamWriter server_writer(server_out, w);
  ParamBuffer server_params(w);
  server_params.Receive([&](Bytes& out) {
    out.assign(client_params.row().begin(), client_params.row().end());
    return static_cast<int64_t>(out.size());
  });
  ServerPieceFetcher fetcher(server_reader, server_writer, server_params, 3);
  ParamRowReader row(server_params.received());
  EXPECT_EQ(DecodeString(row.At(0), &fetcher, 0), u"InPutPack");
  EXPECT_EQ(DecodeVariant(row.At(1), &fetcher, 1), input);
  EXPECT_EQ(server_out.writes().size(), static_cast<size_t>(pieces));  // each request flushed
  for (const Bytes& request : server_out.writes()) {
    EXPECT_EQ(test::ToText(request), R"({"more_blob":[3,1,0,1,0]})");
  }
}

TEST(BlobExchange, ClientFetcherThrowsTheServersError) {
  MemoryChannel in(
      R"({"error":{"name":"TRDBError","code":29,"message":"Remote error: Invalid command handle:  9"})");
  MemoryChannel out;
  TRDBJSonStreamReader reader(in);
  TRDBJSonStreamWriter writer(out);
  ClientPieceFetcher fetcher(reader, writer, 9);
  Bytes bytes;
  try {
    fetcher.FetchPiece(2, bytes, 100);
    FAIL() << "fetched";
  } catch (const common::Error& e) {
    EXPECT_EQ(e.class_name(), "TRDBError");
    EXPECT_EQ(e.code(), 29);
    EXPECT_EQ(std::string(e.what()), "Remote error: Invalid command handle:  9");
  }
}

TEST(BlobExchange, ServerStopsAskingAtTheCap) {
  Limits limits;
  limits.max_data_block = 100;
  MemoryChannel in(R"({"data":[60,)" + std::string(60, 'a') + R"(]}{"data":[-60,)");
  MemoryChannel out;
  TRDBJSonStreamReader reader(in, kDefaultBufferSize, limits);
  TRDBJSonStreamWriter writer(out);
  ParamBuffer params;
  ServerPieceFetcher fetcher(reader, writer, params, 0);
  const Bytes value = {0x50, 0x00, 0x01, 0x03};
  size_t size = 0;
  try {
    DecodeVariant(SplitValue(value, size), &fetcher, 0, limits);
    FAIL() << "decoded";
  } catch (const TRDBError& e) {
    EXPECT_EQ(std::string(e.what()), "Data block of 60 bytes exceeds the limit of 39 bytes");
    EXPECT_TRUE(e.breaks_stream());
  }
}

}  // namespace
}  // namespace protocol
