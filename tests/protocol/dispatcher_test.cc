#include "protocol/dispatcher.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/text.h"
#include "fake_class.h"
#include "memory_channel.h"
#include "protocol/json_stream_reader.h"
#include "protocol/json_stream_writer.h"
#include "protocol/param_buffer.h"
#include "protocol/rdb_error.h"
#include "protocol/rs_server.h"

namespace protocol {
namespace {

using test::FakeClass;
using test::MemoryChannel;

constexpr char kConnect[] = R"({"method":"connect","params":[{"User_Name":"admin"}]})";
constexpr char kConnectReply[] = R"({"result":[0,"RemoteDB",2]})";
constexpr char kVendorProperty[] = R"({"method":"vendor_property","params":["x"]})";
constexpr char kVendorReply[] = R"({"result":[""]})";

std::string Bin(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s += static_cast<char>(b);
  return s;
}

// A text as the writer puts it on the wire (quotes included).
std::string Wire(std::string_view utf8) {
  MemoryChannel channel;
  TRDBJSonStreamWriter writer(channel);
  writer.WriteString(common::Utf8ToUtf16(utf8));
  writer.Flush();
  return channel.output_text();
}

std::string ErrorReply(std::string_view name, int code, std::string_view message) {
  return std::string(R"({"error":{"name":")") + std::string(name) + R"(","code":)" +
         std::to_string(code) + R"(,"message":)" + Wire("Remote error: " + std::string(message)) +
         "}";
}

std::string Prepare(std::string_view type, std::string_view text, int handle = -1) {
  return R"({"method":"prepare","params":[)" + std::to_string(handle) + ",false," + Wire(type) +
         "," + Wire(text) + "]}";
}

std::string Execute(int handle, const std::string& row) {
  return R"({"method":"execute","params":[{"handle":[)" + std::to_string(handle) +
         R"(]},{"data":[)" + std::to_string(row.size()) + "," + row + "]}]}";
}

std::string ExecuteUnprepared(std::string_view type, std::string_view text) {
  return R"({"method":"execute","params":[{"fields":[-1,false,)" + Wire(type) + "," + Wire(text) +
         "]}]}";
}

// A parameter row built the way a client builds it.
std::string Row(const std::function<void(ParamBuffer&)>& build) {
  ParamBuffer params(32768);
  build(params);
  const common::ByteSpan row = params.row();
  return std::string(row.begin(), row.end());
}

std::string StringRow(std::u16string_view text, int nulls) {
  return Row([&](ParamBuffer& p) {
    p.PutString(text);
    for (int i = 0; i < nulls; ++i) p.PutNull();
  });
}

const std::string kPrepareSql2OleVariantReply =
    R"({"result":[{"handle":[0]},{"fields":[0,false]},{"parameters":[3,)"
    R"([26,0,1,0,0,"SQLStr",0,0,0],[26,0,2,0,0,"ErrMsg",0,0,0],)"
    R"([35,0,4,0,0,"ReturnParameter",0,0,0]]}]})";

class DispatcherTest : public testing::Test {
 protected:
  DispatcherTest() {
    server_.AddServerClass(fake_);
    server_.Start();
  }

  // Feeds `input` to a fresh dispatcher until the input runs out (the connection is lost) or
  // the dispatcher ends the connection; returns everything written.
  std::string Run(std::string_view input, size_t buffer_size = 32768) {
    channel_ = std::make_unique<MemoryChannel>(input);
    for (size_t cut : cuts_) channel_->add_cut(cut);
    TRDBJSonStreamReader reader(*channel_, buffer_size, server_.limits);
    TRDBJSonStreamWriter writer(*channel_, buffer_size);
    Dispatcher dispatcher(server_, reader, writer, nullptr, nullptr);
    dispatcher.Run();
    connected_ = dispatcher.connected();
    properties_ = dispatcher.properties();
    return channel_->output_text();
  }

  // The same after a successful connect, without the connect reply.
  std::string RunConnected(std::string_view input) {
    const std::string out = Run(std::string(kConnect) + std::string(input));
    EXPECT_EQ(out.substr(0, sizeof kConnectReply - 1), kConnectReply);
    return out.substr(sizeof kConnectReply - 1);
  }

  FakeClass fake_;
  TRSServer server_;
  std::unique_ptr<MemoryChannel> channel_;
  std::vector<size_t> cuts_;
  bool connected_ = false;
  TRDBProperties properties_;
};

TEST_F(DispatcherTest, ConnectRepliesWithHandleProductAndVersion) {
  EXPECT_EQ(Run(kConnect), kConnectReply);
  EXPECT_TRUE(connected_);
}

TEST_F(DispatcherTest, ConnectPropertiesKeepTheLastValueOfARepeatedNameWhateverItsCase) {
  Run(R"({"method":"connect","params":[{"User_Name":"a","Password":"p","user_name":"b",)"
      R"("Password":""}]})");
  EXPECT_EQ(properties_.Get("USER_NAME"), "b");
  EXPECT_FALSE(properties_.Has("Password"));  // an empty value removes the entry
}

TEST_F(DispatcherTest, RefusedConnectGetsTheHandlersErrorAndTheConnectionGoesOn) {
  const std::string refusal = "认证失败！非法的接入用户，连接被拒绝！";
  int calls = 0;
  server_.OnConnect = [&](const TRSConnectEventObject& event) {
    EXPECT_EQ(event.ConnectProperties.Get("User_Name"), calls == 0 ? "Admin" : "admin");
    EXPECT_EQ(event.ChannelInfo, nullptr);
    if (calls++ == 0) throw common::Error("Exception", refusal);
  };
  const std::string out =
      Run(R"({"method":"connect","params":[{"User_Name":"Admin"}]})" + std::string(kConnect));
  EXPECT_EQ(out, ErrorReply("Exception", 5, refusal) + kConnectReply);
  // The error reply closes only its inner object.
  EXPECT_EQ(out.find("\"}{"), ErrorReply("Exception", 5, refusal).size() - 2);
  EXPECT_TRUE(connected_);
}

TEST_F(DispatcherTest, PrepareOfSql2OleVariantDescribesItsParameters) {
  EXPECT_EQ(RunConnected(Prepare("RemoteDB.ServerMethod", "TServerModule1.SQL2OleVariant")),
            kPrepareSql2OleVariantReply);
}

TEST_F(DispatcherTest, PrepareFindsTheMethodWhateverTheCommandSays) {
  const std::string cases[] = {
      Prepare("RemoteDB.ServerMethod", "tserverMODULE1.sql2olevariant"),
      Prepare("remotedb.servermethod", "TServerModule1.SQL2OleVariant"),
      Prepare("Rdb.SQL", "call TServerModule1.SQL2OleVariant"),
      Prepare("Rdb.StoredProcedure", "TServerModule1.SQL2OleVariant"),
      Prepare("RemoteDB.ServerMethod", "  TServerModule1.SQL2OleVariant ;"),
  };
  for (const std::string& request : cases) {
    SCOPED_TRACE(request);
    EXPECT_EQ(RunConnected(request), kPrepareSql2OleVariantReply);
  }
}

TEST_F(DispatcherTest, ExecuteRepliesWithTheRowOfOutputsAndResult) {
  struct Case {
    std::string request;
    std::string row;
  };
  const Case cases[] = {
      // SQL2OleVariant: C0 (in), 20 (empty ErrMsg), the 3-byte array as a stream value.
      {Prepare("RemoteDB.ServerMethod", "TServerModule1.SQL2OleVariant") +
           Execute(0, StringRow(u"bytes:3", 2)),
       Bin({0xC0, 0x20, 0x10, 0x00, 0x0C, 0x03, 0x03, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x01, 0x02})},
      // GetServerDateTime: Reg as an integer, the result as a date-time.
      {Prepare("RemoteDB.ServerMethod", "TServerModule1.GetServerDateTime") +
           Execute(0, Bin({0xC0, 0xC0})),
       Bin({0x62, 0x03, 0xE8, 0x29, 0x64, 0x07, 0xB9, 0x8A, 0x00, 0x0E, 0xE6, 0xB2, 0x80})},
      // DownLoadFile of a missing file: Size left unassigned goes out as 0; the result null.
      {Prepare("RemoteDB.ServerMethod", "TServerModule1.DownLoadFile") +
           Execute(0, StringRow(u"nothing", 2)),
       Bin({0xC0, 0x60, 0xC0})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    const std::string out = RunConnected(c.request);
    const size_t reply = out.find(R"({"result":[{"rows":)");
    ASSERT_NE(reply, std::string::npos) << out;
    EXPECT_EQ(out.substr(reply), R"({"result":[{"rows":[0]},{"data":[)" +
                                     std::to_string(c.row.size()) + "," + c.row + "]}]}");
  }
}

TEST_F(DispatcherTest, ProcedureWithoutOutputsRepliesWithRowsOnly) {
  const std::string out =
      RunConnected(Prepare("RemoteDB.ServerMethod", "TServerModule1.Touch") + Execute(0, ""));
  EXPECT_EQ(out, R"({"result":[{"handle":[0]},{"fields":[0,false]}]})"
                 R"({"result":[{"rows":[0]}]})");
  EXPECT_EQ(fake_.touches(), 1);
}

TEST_F(DispatcherTest, FailuresGetOneErrorReplyAndTheNextRequestIsServed) {
  const std::string prepared = Prepare("RemoteDB.ServerMethod", "TServerModule1.SQL2OleVariant");
  const std::string prepared_reply = kPrepareSql2OleVariantReply;
  struct Case {
    std::string request;
    std::string reply;
  };
  const Case cases[] = {
      {Prepare("RemoteDB.ServerMethod", "TServerModule1.NoSuchMethod"),
       ErrorReply("TRDBError", 105,
                  "TServerModule1.NoSuchMethod method not found in the server method list")},
      {Prepare("Rdb.Table", "select 1"),
       ErrorReply("TRDBError", 30, "Rdb.Table is an unrecognized command type")},
      {Prepare("Rdb.SQL", "call TServerModule1.Nothing"),
       ErrorReply("TRDBError", 30, "Rdb.SQL is an unrecognized command type")},
      {ExecuteUnprepared("rdb.metadata", "getdatabase"),
       ErrorReply("TRDBError", 30, "rdb.metadata is an unrecognized command type")},
      {prepared + Execute(7, ""),
       prepared_reply + ErrorReply("TRDBError", 29, "Invalid command handle:  7")},
      {prepared + Execute(-2, ""),
       prepared_reply + ErrorReply("TRDBError", 4, "Command closed or executed again")},
      {R"({"method":"command_close","params":[3]})",
       ErrorReply("TRDBError", 29, "Invalid command handle:  3")},
      {R"({"method":"reader_close","params":[-1]})",
       ErrorReply("TRDBError", 4, "Command closed or executed again")},
      {prepared + Execute(0, StringRow(u"raise:boom", 2)),
       prepared_reply + ErrorReply("EFakeError", 5, "boom")},
      {prepared + Execute(0, StringRow(u"nested:outer:inner", 2)),
       prepared_reply + ErrorReply("EFakeError", 5, "outer\nCaused by: inner")},
      {prepared + Execute(0, Bin({0x10, 0x00, 0x09, 'a'})),
       prepared_reply +
           ErrorReply("TRDBError", 2,
                      "Malformed parameter row: a value runs past the end of the row")},
      {prepared + R"({"method":"next","params":[1,0,0]})",
       prepared_reply + ErrorReply("TRDBError", 0, "Row handle 1 does not exist in command 0")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    EXPECT_EQ(RunConnected(c.request + kVendorProperty), c.reply + kVendorReply);
  }
}

TEST_F(DispatcherTest, ParseErrorReportsPositionAndBufferAndDropsTheRest) {
  const std::string bad = R"({"method":"prepare","params":[x,false]})";
  cuts_ = {sizeof kConnect - 1, sizeof kConnect - 1 + bad.size()};
  const std::string out = RunConnected(bad + kVendorProperty);
  const size_t x = bad.find('x');
  EXPECT_EQ(out, ErrorReply("TRDBError", 2,
                            "Unexpected byte at position:  " + std::to_string(x) + "\n" + bad) +
                     kVendorReply);
}

TEST_F(DispatcherTest, RequestsOfUnknownNameAndDisconnectGetNoReply) {
  const std::string out = RunConnected(R"({"method":"sing","params":[{"a":"}"}]})"
                                       R"({"metadata":[2,{}]})"
                                       R"({"method":"disconnect","params":[0]})" +
                                       std::string(kVendorProperty));
  EXPECT_EQ(out, kVendorReply);
}

TEST_F(DispatcherTest, SmallRequestsAnswerAsFixed) {
  EXPECT_EQ(RunConnected(R"({"method":"next_result","params":[0]})"
                         R"({"method":"txbegin","params":[4096]})"
                         R"({"method":"txend","params":[true,0]})"
                         R"( { "method" : "vendor_property" , "params" : ["ProductName"] } )"),
            R"({"result":[false,0,false,-1]}{"result":[0]}{"result":[]}{"result":[""]})");
}

TEST_F(DispatcherTest, RequestsSentBackToBackAreAnsweredInOrderFromOneRead) {
  const std::string out = RunConnected(Prepare("RemoteDB.ServerMethod", "TServerModule1.Touch") +
                                       Execute(0, "") + Execute(0, ""));
  EXPECT_EQ(out, R"({"result":[{"handle":[0]},{"fields":[0,false]}]})"
                 R"({"result":[{"rows":[0]}]}{"result":[{"rows":[0]}]})");
  EXPECT_EQ(fake_.touches(), 2);
  // One read for everything, one more that finds the connection gone.
  EXPECT_EQ(channel_->reads(), 2);
}

TEST_F(DispatcherTest, CommandHandlesTakeTheLowestFreeSlot) {
  const std::string touch = Prepare("RemoteDB.ServerMethod", "TServerModule1.Touch");
  std::string input = touch + touch + R"({"method":"command_close","params":[0]})" + touch;
  // A prepare that fails takes no slot.
  input += Prepare("RemoteDB.ServerMethod", "TServerModule1.Missing") + touch;
  // The table grows past its first 16 slots.
  for (int i = 0; i < 16; ++i) input += touch;
  const std::string out = RunConnected(input);
  std::vector<int> handles;
  for (size_t at = out.find("{\"handle\":["); at != std::string::npos;
       at = out.find("{\"handle\":[", at + 1)) {
    handles.push_back(std::stoi(out.substr(at + 11)));
  }
  std::vector<int> expected = {0, 1, 0, 2};
  for (int i = 3; i < 19; ++i) expected.push_back(i);
  EXPECT_EQ(handles, expected);
}

TEST_F(DispatcherTest, DatabasePropertiesReplyByteForByte) {
  const std::string columns =
      R"(["QuoteChar",26,0,0,0,16,0,0],["ProcedureQuoteChar",26,0,0,0,16,0,0],)"
      R"(["MaxCommands",6,0,0,0,0,0,0],["SupportsTransactions",4,0,0,0,0,0,0],)"
      R"(["SupportsNestedTransactions",4,0,0,0,0,0,0],["SupportsRowSetSize",4,0,0,0,0,0,0],)"
      R"(["ProductVersion",26,0,0,0,128,0,0],["ProductName",26,0,0,0,128,0,0],)"
      R"(["QuotePrefix",26,0,0,0,16,0,0],["QuoteSuffix",26,0,0,0,16,0,0],)"
      R"(["SupportsLowerCaseIdentifiers",4,0,0,0,0,0,0],)"
      R"(["SupportsUpperCaseIdentifiers",4,0,0,0,0,0,0],)"
      R"(["SupportsSPReturnCode",4,0,0,0,0,0,0],["SupportsParameterMetadata",4,0,0,0,0,0,0],)"
      R"(["SupportsCatalogFunctions",4,0,0,0,0,0,0],["SupportsCatalogFunctions",4,0,0,0,0,0,0],)"
      R"(["SupportsCatalogFunctions",4,0,0,0,0,0,0])";
  const std::string row =
      Bin({0x21, 0x22, 0x21, 0x22, 0x64, 0x7F, 0xFF, 0xFF, 0xFF, 0x20, 0x20, 0x20, 0x24,
           '2',  '0',  '0',  '8',  0x28, 'R',  'e',  'm',  'o',  't',  'e',  'D',  'B',
           0x21, 0x22, 0x21, 0x22, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20});
  ASSERT_EQ(row.size(), 37u);
  auto reply = [&](int slot) {
    return R"({"result":[{"rows":[0]},{"data":[1,)" + Bin({0x60}) + "]}," +
           R"({"table":[{"fields":[)" + std::to_string(slot) + R"(,false,1,0,true]},)" +
           R"({"columns":[17,)" + columns + "]}]}" + "]}" + R"({"data":[-37,)" + row + "]}";
  };
  const std::string request = ExecuteUnprepared("Rdb.MetaData", "GetDatabase");
  // Two commands without command_close in between occupy slots 0 and 1; each has row handle 1.
  EXPECT_EQ(RunConnected(request + request), reply(0) + reply(1));
  // The table has ended: a "next" finds no further row.
  EXPECT_EQ(RunConnected(request + R"({"method":"next","params":[1,0,0]})"),
            reply(0) + R"({"data":[0,]})");
}

TEST_F(DispatcherTest, WithoutASuccessfulConnectNoMethodRuns) {
  const std::string touch = Prepare("RemoteDB.ServerMethod", "TServerModule1.Touch");
  const std::string not_connected = ErrorReply("TRDBError", 0, kNotConnectedMessage);
  const std::string unprepared = ExecuteUnprepared("RemoteDB.ServerMethod", "TServerModule1.Touch");
  const std::string more_blob = R"({"method":"more_blob","params":[0,1,0,2,true,0]})";
  server_.OnConnect = [](const TRSConnectEventObject& event) {
    if (event.ConnectProperties.Get("Password") != "tulip") throw common::Error("Exception", "no");
  };
  // Never connected, then refused: prepare, execute and more_blob are refused and run nothing.
  const std::string refused = R"({"method":"connect","params":[{"Password":"x"}]})";
  std::string out = Run(touch + unprepared + more_blob + refused + touch + unprepared);
  EXPECT_EQ(out, not_connected + not_connected + not_connected + ErrorReply("Exception", 5, "no") +
                     not_connected + not_connected);
  EXPECT_EQ(fake_.touches(), 0);
  EXPECT_EQ(fake_.created(), 0);
  // A proper connect on the same connection opens the way.
  out = Run(refused + R"({"method":"connect","params":[{"Password":"tulip"}]})" + unprepared);
  EXPECT_EQ(out, ErrorReply("Exception", 5, "no") + kConnectReply + R"({"result":[{"rows":[0]}]})");
  EXPECT_EQ(fake_.touches(), 1);
}

TEST_F(DispatcherTest, LargeResultLeavesInlineThenInPiecesOnRequest) {
  const std::string prepare = Prepare("RemoteDB.ServerMethod", "TServerModule1.SQL2OleVariant");
  std::string input = prepare + Execute(0, StringRow(u"bytes:100000", 2));
  for (int i = 0; i < 3; ++i) input += R"({"method":"more_blob","params":[0,1,0,2,true,0]})";
  input += R"({"method":"more_blob","params":[0,1,0,2,true,0]})";  // nothing left
  const std::string out = RunConnected(input);

  // The stream 03 <count> <bytes> is 100009 bytes; the value sits at offset 2 of the row, so
  // 30720 - 2 - 3 bytes fit inline; pieces carry at most 32768 - 32 bytes.
  const std::string header = R"({"result":[{"rows":[0]},{"data":[30720,)" +
                             Bin({0xC0, 0x20, 0x50}) + Bin({30715 >> 8, 30715 & 0xFF});
  EXPECT_NE(out.find(header), std::string::npos);
  const std::string pieces[] = {R"({"result":[{"data":[32736    ,)",
                                R"({"result":[{"data":[32736    ,)",
                                R"({"result":[{"data":[-3822    ,)"};
  size_t at = 0;
  for (const std::string& p : pieces) {
    at = out.find(p, at);
    ASSERT_NE(at, std::string::npos) << p;
    ++at;
  }
  EXPECT_NE(out.find(ErrorReply("TRDBError", 0, "Value 2 of command 0 has no more data")),
            std::string::npos);
  // Each piece reply leaves in two writes: the piece, then the envelope's end.
  EXPECT_EQ(channel_->writes()[channel_->writes().size() - 2].size(), 2u);
}

TEST_F(DispatcherTest, LargeInputIsFetchedFromTheClientBeforeTheMethodRuns) {
  const size_t n = 100000;
  std::unique_ptr<ValueSource> rest;
  const std::string row = Row(
      [&](ParamBuffer& p) { rest = p.PutVariant(common::Variant::ByteArray(test::Pattern(n))); });
  ASSERT_NE(rest, nullptr);
  // The client's answers, written ahead: one piece per request of the server.
  MemoryChannel answers;
  TRDBJSonStreamWriter writer(answers, 32768);
  while (writer.WritePiece(*rest, 32768 - kPieceReserve) > 0) {
  }
  const std::string out = RunConnected(Prepare("RemoteDB.ServerMethod", "TServerModule1.Length") +
                                       Execute(0, row) + answers.output_text());
  // The server asked three times, then answered with the length it saw.
  const std::string ask = R"({"more_blob":[0,1,0,0,0]})";
  size_t asks = 0;
  for (size_t at = out.find(ask); at != std::string::npos; at = out.find(ask, at + 1)) ++asks;
  EXPECT_EQ(asks, 3u);
  const uint8_t len[] = {0x63, (n >> 16) & 0xFF, (n >> 8) & 0xFF, n & 0xFF};
  EXPECT_NE(out.rfind(R"({"result":[{"rows":[0]},{"data":[5,)" + Bin({0xC0}) +
                      std::string(reinterpret_cast<const char*>(len), 4) + "]}]}"),
            std::string::npos);
}

TEST_F(DispatcherTest, SeventyThousandByteReplyLeavesInBufferSizedWrites) {
  // Wide: 69 strings of Len characters and one of Last. Find Last so the reply is 70000 bytes.
  const std::string prepare = Prepare("RemoteDB.ServerMethod", "TServerModule1.Wide");
  const int len = 1003;
  for (int last = 400; last < 700; ++last) {
    const std::string row = Row([&](ParamBuffer& p) {
      p.PutInt32(len);
      p.PutInt32(last);
      for (int i = 0; i < 70; ++i) p.PutNull();
    });
    const std::string out = RunConnected(prepare + Execute(0, row));
    const size_t reply = out.find(R"({"result":[{"rows")");
    if (out.size() - reply != 70000) continue;
    std::vector<size_t> sizes = channel_->write_sizes();
    sizes.erase(sizes.begin(), sizes.begin() + 2);  // the connect and prepare replies
    EXPECT_EQ(sizes, (std::vector<size_t>{32768, 32768, 4464}));
    return;
  }
  FAIL() << "no reply of exactly 70000 bytes";
}

TEST_F(DispatcherTest, LiteralArgumentsOfTheCommandTextAreUsed) {
  const std::string out =
      RunConnected(Prepare("RemoteDB.ServerMethod", "TServerModule1.SQL2OleVariant('bytes:2')") +
                   Execute(0, Bin({0xC0, 0xC0, 0xC0})));
  EXPECT_NE(out.find(R"([26,0,1,0,0,"SQLStr",0,0,512,"bytes:2"])"), std::string::npos) << out;
  EXPECT_NE(out.find(Bin({0x03, 0x02, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x01})), std::string::npos);
}

TEST_F(DispatcherTest, DataBlockAboveTheCapEndsTheConnectionAfterAnErrorReply) {
  server_.limits.max_data_block = 1000;
  const std::string claim = Prepare("RemoteDB.ServerMethod", "TServerModule1.Touch") +
                            R"({"method":"execute","params":[{"handle":[0]},)"
                            R"({"data":[2000000000,)" +
                            std::string(100, 'x');
  cuts_ = {sizeof kConnect - 1 + claim.size()};
  const std::string out = RunConnected(claim + kVendorProperty);
  const std::string error =
      ErrorReply("TRDBError", 2, "Data block of 2000000000 bytes exceeds the limit of 1000 bytes");
  ASSERT_GE(out.size(), error.size());
  EXPECT_EQ(out.substr(out.size() - error.size()), error);
  EXPECT_GT(channel_->remaining(), 0u);  // the rest was never read
}

class InstanceLifecycleTest : public testing::TestWithParam<common::InstanceLifecycle> {};

TEST_P(InstanceLifecycleTest, InstancesAreTakenAndGivenBackPerLifecycle) {
  FakeClass fake(GetParam());
  TRSServer server;
  server.AddServerClass(fake);
  server.Start();
  const std::string touch = Prepare("RemoteDB.ServerMethod", "TServerModule1.Touch") +
                            Prepare("RemoteDB.ServerMethod", "TServerModule1.GetServerDateTime");
  MemoryChannel channel(std::string(kConnect) + touch + Execute(0, "") + Execute(0, "") +
                        Execute(1, Bin({0xC0, 0xC0})));
  {
    TRDBJSonStreamReader reader(channel);
    TRDBJSonStreamWriter writer(channel);
    Dispatcher dispatcher(server, reader, writer, nullptr, nullptr);
    dispatcher.Run();
    EXPECT_EQ(fake.touches(), 2);
    EXPECT_EQ(fake.in_use(), GetParam() == common::InstanceLifecycle::kInvocation ? 0 : 1);
    EXPECT_EQ(fake.created(), 1);
  }
  // The connection's end gives a session's instance back; a shared one stays until the stop.
  EXPECT_EQ(fake.in_use(), GetParam() == common::InstanceLifecycle::kServer ? 1 : 0);
  server.Stop();
  EXPECT_EQ(fake.in_use(), 0);
}

INSTANTIATE_TEST_SUITE_P(All, InstanceLifecycleTest,
                         testing::Values(common::InstanceLifecycle::kSession,
                                         common::InstanceLifecycle::kServer,
                                         common::InstanceLifecycle::kInvocation));

}  // namespace
}  // namespace protocol
