// Hostile and broken clients end to end: payloads that are no change set, packed parameter
// lists that cannot be read, and clients that leave in the middle of a large result. Each must
// end in a clear error (or a closed connection) with the pools back at their idle counts, while
// the server goes on serving everyone else.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/server_module1.h"
#include "client_side.h"
#include "e2e_server.h"
#include "protocol/json_stream_reader.h"
#include "protocol/json_stream_writer.h"
#include "protocol/limits.h"
#include "protocol/param_buffer.h"
#include "protocol/param_value.h"
#include "service/data_test_support.h"
#include "service/param_packing.h"

namespace e2e {
namespace {

using common::Variant;
using service::TFieldType;
using service::TParamType;
using service::testing::Engine;
using service::testing::PackedParam;
using service::testing::TestDatabase;

// SQLite is enough here: what is tested happens before or after the database.
class BadInputOverTcp : public ::testing::Test {
 protected:
  void SetUp() override {
    items_ = service::testing::CreateItemsTable(db_);
    server_ = std::make_unique<E2eServer>(db_.app_folder());
    client_ = std::make_unique<Client>(*server_);
  }
  void TearDown() override {
    client_.reset();
    server_.reset();
  }

  // The pools are idle and the same connection still answers.
  void ExpectIdleAndServing() {
    EXPECT_TRUE(server_->PoolsIdle());
    ExpectServing();
  }
  void ExpectServing() {
    const client::DataResult r =
        client_->module.SQL2OleVariant("SELECT COUNT(*) AS n FROM " + items_);
    EXPECT_EQ(r.err_msg, "");
    EXPECT_EQ(LoadPayload(r.data).Text(0, "n"), "3");
  }

  TestDatabase db_{Engine::kSQLite};
  std::string items_;
  std::unique_ptr<E2eServer> server_;
  std::unique_ptr<Client> client_;
};

// What an error reply carries.
struct CallError {
  std::string class_name;
  std::string message;
};

template <typename F>
CallError ErrorOf(F call) {
  try {
    call();
  } catch (const client::RemoteError& e) {
    return {e.class_name(), e.what()};
  }
  return {"<no error>", ""};
}

TEST_F(BadInputOverTcp, PayloadsThatAreNoChangeSetAreCallErrors) {
  common::Bytes no_journal;
  {
    // A dataset stream that is no change set: a result saved without its journal.
    const LoadedResult r =
        LoadPayload(client_->module.SQL2OleVariant(service::testing::AllItemsQuery(items_)).data);
    storage::TDAResOptions options;
    options.StoreItems = {storage::TDAStoreItem::siMeta, storage::TDAStoreItem::siData};
    storage::SaveToStream(*r.manager, no_journal, &options);
  }
  struct Case {
    const char* name;
    Variant payload;
    const char* error_class;
    bool for_update_sql;  // UpdateSQL takes any bytes that inflate as its text
  };
  const Case cases[] = {
      {"Null", Variant::Null(), "EDataMethodError", true},
      {"Text", Variant::String(u"UPDATE x SET y = 1"), "EDataMethodError", true},
      {"ArrayOfVariants", Variant::VariantArrayOf({Variant::Integer(1)}), "EDataMethodError", true},
      {"NotCompressed", Variant::ByteArray({'A', 'D', 'B', 'S', 0, 0}), "EDecompressionError",
       true},
      {"NoDatasetStream", Compressed("not a dataset stream"), "EDAException", false},
      {"TruncatedStream", client::CompressedPayload(common::ByteSpan(no_journal).first(40)),
       "EDAException", false},
      {"NoJournal", client::CompressedPayload(no_journal), "EDataMethodError", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const CallError apply = ErrorOf([&] { client_->module.UpdateOleVariant(items_, c.payload); });
    EXPECT_EQ(apply.class_name, c.error_class) << apply.message;
    EXPECT_EQ(apply.message.rfind("Remote error: ", 0), 0u) << apply.message;
    if (c.for_update_sql) {
      const CallError update = ErrorOf([&] { client_->module.UpdateSQL(c.payload); });
      EXPECT_EQ(update.class_name, c.error_class) << update.message;
    }
    ExpectIdleAndServing();
  }
  EXPECT_EQ(db_.Scalar("SELECT COUNT(*) FROM " + items_), "3");
}

TEST_F(BadInputOverTcp, UnreadablePackedParameterListsAreCallErrors) {
  struct Case {
    const char* name;
    Variant input;
  };
  const Case cases[] = {
      {"ElementWithOnlyAName",
       Variant::VariantArrayOf({Variant::VariantArrayOf({Variant::String(u"a")})})},
      {"CodeThatIsNoNumber",
       Variant::VariantArrayOf({Variant::VariantArrayOf(
           {Variant::String(u"a"), Variant::Integer(1), Variant::String(u"three")})})},
      {"ShortSecondElement",
       Variant::VariantArrayOf(
           {PackedParam(u"a", Variant::Integer(1), TFieldType::ftInteger, TParamType::ptInput),
            Variant::VariantArrayOf({Variant::String(u"b")})})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const CallError e = ErrorOf([&] { client_->module.StoredProc("p", c.input, false); });
    EXPECT_EQ(e.class_name, "EPackedParamsError") << e.message;
    ExpectIdleAndServing();
  }
}

// Sends the execute of SQL2OleVariant without reading its reply, as a client that is about to
// leave would.
void SendQuery(client::Connection& c, const client::Command& command, std::u16string_view sql) {
  protocol::ParamBuffer row(protocol::BufferSizeFromKB(32));
  row.PutString(sql);
  row.PutNull();  // ErrMsg
  row.PutNull();  // the result
  protocol::TRDBJSonStreamWriter& w = c.writer();
  w.WriteRequestStart(protocol::RequestName::kExecute);
  w.WriteRaw(protocol::kHandleLiteral);
  w.WriteInt(command.handle);
  w.WriteRaw("]},");
  w.WriteDataBlock(row.row());
  w.WriteRequestEnd();
  w.Flush();
}

// Reads an execute reply {"result":[{"rows":[0]},{"data":[n,<row>]}]} and returns the row.
common::Bytes ReadReplyRow(client::Connection& c) {
  using protocol::Token;
  protocol::TRDBJSonStreamReader& r = c.reader();
  EXPECT_EQ(c.ReadReplyStart(), protocol::ReplyKind::kResult);
  r.Next(Token::kArrayStart);
  r.Next(Token::kObjectStart);
  r.ReadKey("rows");
  r.SkipToEndOfObject();
  r.NextValueSeparator();
  r.Next(Token::kObjectStart);
  r.ReadKey("data");
  common::Bytes row;
  r.ReadDataArray(row);
  r.Next(Token::kObjectEnd);
  r.Next(Token::kArrayEnd);
  r.Next(Token::kObjectEnd);
  return row;
}

TEST_F(BadInputOverTcp, ClientsLeavingAMillionRowResultHalfWay) {
  constexpr char16_t kMillionRows[] =
      u"WITH RECURSIVE s(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM s WHERE n < 1000000) "
      u"SELECT n, n * 7 AS seven FROM s";
  // One leaves as soon as it has asked; the other after the inline part and three pieces.
  Client early(*server_);
  Client late(*server_);
  const client::Command early_command =
      early.connection->PrepareMethod("TServerModule1.SQL2OleVariant");
  const client::Command late_command =
      late.connection->PrepareMethod("TServerModule1.SQL2OleVariant");
  ASSERT_EQ(late_command.Ordinal(u"ReturnParameter"), 2);
  SendQuery(*early.connection, early_command, kMillionRows);
  SendQuery(*late.connection, late_command, kMillionRows);
  early.connection->Close();

  // Meanwhile everyone else is served.
  ExpectServing();

  const common::Bytes row = ReadReplyRow(*late.connection);
  protocol::ParamRowReader values(row);
  ASSERT_TRUE(values.At(2).continues()) << "the result does not continue in pieces";
  for (int i = 0; i < 3; ++i) {
    common::Bytes piece;
    EXPECT_GT(late.connection->FetchPiece(late_command.handle, 2, piece), 0);
  }
  late.connection->Close();

  EXPECT_TRUE(
      E2eServer::WaitFor([&] { return server_->ClientCount() == 1 && server_->PoolsIdle(); },
                         std::chrono::seconds(120)))
      << "clients " << server_->ClientCount();
  ExpectIdleAndServing();
}

// A client that asks for many large results and reads none of them: once the socket buffers
// are full the server's send makes no progress, and after SendStallTimeout the connection ends
// with the normal departure. No pooled object is held while the server waits on the send.
TEST(SlowReaderOverTcp, AClientThatStopsReadingIsEndedAfterTheStallTimeout) {
  TestDatabase db(Engine::kSQLite);
  E2eServer server(db.app_folder(), "SendStallTimeout=3\n");
  Client other(server);
  Client slow(server);
  const client::Command command = slow.connection->PrepareMethod("TServerModule1.SQL2OleVariant");
  // Random bytes do not compress: 1000 replies of 30 KB overflow any socket buffers.
  std::thread sender([&] {
    try {
      for (int i = 0; i < 1000; ++i) {
        SendQuery(*slow.connection, command, u"SELECT randomblob(30000) AS b");
      }
    } catch (const std::exception&) {
      // The server may end the connection before every request is out.
    }
  });
  const auto start = std::chrono::steady_clock::now();
  // Well inside the stall time-out the server is blocked sending to `slow`: the window the
  // client's full buffer opens now and then lets a query run in between, but a pooled object
  // held during the send would make every sample busy.
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  EXPECT_EQ(server.ClientCount(), 2);
  int idle_samples = 0;
  for (int i = 0; i < 20; ++i) {
    idle_samples += server.PoolsIdle() ? 1 : 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  EXPECT_GE(idle_samples, 15) << "a pooled object is held while a reply is being sent";
  const client::DataResult r = other.module.SQL2OleVariant("SELECT 6 * 7 AS answer");
  EXPECT_EQ(r.err_msg, "");
  EXPECT_EQ(LoadPayload(r.data).Text(0, "answer"), "42");

  EXPECT_TRUE(E2eServer::WaitFor([&] { return server.ClientCount() == 1; }));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_TRUE(server.PoolsIdle());
  sender.join();
  size_t departures = 0;
  for (const std::string& line : server.Log()) {
    departures += line.find(" 主动断开!") != std::string::npos ? 1 : 0;
  }
  EXPECT_EQ(departures, 1u);
}

}  // namespace
}  // namespace e2e
