#include "client/connection.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "common/text.h"
#include "protocol/test_server.h"

namespace client {
namespace {

using common::Variant;
using protocol::test::Pattern;
using protocol::test::TestServer;

class ConnectionTest : public testing::Test {
 protected:
  ConnectionTest() { server_.Start(); }

  ConnectionOptions Options() {
    return LoginOptions("127.0.0.1", server_.port(), "admin", "tulip");
  }

  TestServer server_;
};

TEST_F(ConnectionTest, OpenNegotiatesAndConnectsWithTheServersThreshold) {
  ConnectionOptions options = Options();
  options.compress_more_than = 500;
  Connection c(options);
  const ConnectResult r = c.Open();
  EXPECT_EQ(r.handle, 0);
  EXPECT_EQ(r.product_name, u"RemoteDB");
  EXPECT_EQ(r.protocol_version, 2);
  EXPECT_EQ(c.compress_more_than(), 1024);
}

TEST_F(ConnectionTest, RefusedConnectThrowsAndConnectingAgainIsAdmitted) {
  server_.server.OnConnect = [](const protocol::TRSConnectEventObject& e) {
    if (e.ConnectProperties.Get("Password") != "tulip") {
      throw common::Error("Exception", "认证失败！非法的接入用户，连接被拒绝！");
    }
  };
  Connection c(LoginOptions("127.0.0.1", server_.port(), "admin", "wrong"));
  try {
    c.Open();
    FAIL() << "admitted";
  } catch (const RemoteError& e) {
    EXPECT_EQ(e.class_name(), "Exception");
    EXPECT_EQ(e.code(), 5);
    EXPECT_STREQ(e.what(), "Remote error: 认证失败！非法的接入用户，连接被拒绝！");
  }
  EXPECT_THROW(c.PrepareMethod("TServerModule1.Touch"), RemoteError);
  EXPECT_EQ(c.Connect({{"User_Name", "admin"}, {"Password", "tulip"}}).product_name, u"RemoteDB");
  EXPECT_EQ(c.PrepareMethod("TServerModule1.Touch").handle, 0);
}

Variant VariantArray() {
  return Variant::VariantArrayOf({Variant::Integer(-7), Variant::String(u"数据"),
                                  Variant::Double(2.5), Variant::Null(),
                                  Variant::ByteArray({1, 2, 3})});
}

TEST_F(ConnectionTest, ValuesOfEveryTypeRoundTrip) {
  Connection c(Options());
  c.Open();
  const Command echo = c.PrepareMethod("TServerModule1.Echo");
  ASSERT_EQ(echo.params.size(), 10u);
  struct Case {
    std::u16string text;
    int32_t integer;
    bool flag;
    double date;
    Variant variant;
    Variant expected_variant;  // what comes back
  };
  const std::u16string long_text(100000, u'\u6570');  // continues in pieces both ways
  const Case cases[] = {
      {u"", 0, false, 0, Variant::Null(), Variant::Null()},
      {u"abc", 255, true, 25570.5 + 250.0 / 86400000, Variant(), Variant()},
      {u"\u00E9\t\"\\", 256, false, -1.25, Variant::ByteArray({1, 2, 3}),
       Variant::ByteArray({1, 2, 3})},
      {u"A\u6570 mixed", -1, true, 2958465.999, VariantArray(), VariantArray()},
      {std::u16string(40, u'x'), INT32_MIN, false, 36526, Variant::Int64(-(1ll << 40)),
       Variant::Int64(-(1ll << 40))},
      {long_text, INT32_MAX, true, 45000.125, Variant::ByteArray(Pattern(100000)),
       Variant::ByteArray(Pattern(100000))},
      // An empty byte array travels with count 0, which reads back as null.
      {u"z", 5, false, 1, Variant::ByteArray({}), Variant::Null()},
      {u"text variant", 6, true, 2, Variant::String(u"\u6570\u636E"),
       Variant::String(u"\u6570\u636E")},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.integer);
    const ExecuteResult r =
        c.Execute(echo, {Variant::String(k.text), Variant::Integer(k.integer),
                         Variant::Boolean(k.flag), Variant::Date(k.date), k.variant});
    ASSERT_EQ(r.values.size(), 10u);
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(r.values[i].IsNull()) << i;
    EXPECT_EQ(r.values[5].text(), k.text);
    EXPECT_EQ(r.values[6].int_value(), k.integer);
    EXPECT_EQ(r.values[7].bool_value(), k.flag);
    EXPECT_NEAR(r.values[8].float_value(), k.date, 1e-8);  // whole milliseconds
    EXPECT_EQ(r.values[9], k.expected_variant);
  }
}

TEST_F(ConnectionTest, LargeValuesTravelInPiecesBothWays) {
  Connection c(Options());
  c.Open();
  const Command sql = c.PrepareMethod("TServerModule1.SQL2OleVariant");
  const ExecuteResult big = c.Execute(sql, {Variant::String(u"bytes:100000")});
  EXPECT_EQ(big.values[2], Variant::ByteArray(Pattern(100000)));
  const Command length = c.PrepareMethod("TServerModule1.Length");
  for (size_t n : {size_t{30000}, size_t{300000}, size_t{3} << 20}) {
    SCOPED_TRACE(n);
    const ExecuteResult r = c.Execute(length, {Variant::ByteArray(Pattern(n))});
    EXPECT_EQ(r.values[1].int_value(), static_cast<int64_t>(n));
  }
}

TEST_F(ConnectionTest, ErrorRepliesThrowAndTheConnectionGoesOn) {
  Connection c(Options());
  c.Open();
  const Command sql = c.PrepareMethod("TServerModule1.SQL2OleVariant");
  try {
    c.Execute(sql, {Variant::String(u"raise:boom")});
    FAIL() << "no error";
  } catch (const RemoteError& e) {
    EXPECT_EQ(e.class_name(), "EFakeError");
    EXPECT_EQ(e.code(), 5);
    EXPECT_STREQ(e.what(), "Remote error: boom");
  }
  EXPECT_THROW(c.PrepareMethod("TServerModule1.Nothing"), RemoteError);
  const ExecuteResult r = c.Execute(sql, {Variant::String(u"err:it failed")});
  EXPECT_EQ(r.values[1].text(), u"it failed");
  EXPECT_TRUE(r.values[2].IsEmpty());  // the result stays unassigned
}

TEST_F(ConnectionTest, DatabasePropertiesAreDecodedAndTheirCommandClosed) {
  Connection c(Options());
  c.Open();
  const DatabaseProperties p = c.GetDatabase();
  EXPECT_EQ(p.QuoteChar, u"\"");
  EXPECT_EQ(p.ProcedureQuoteChar, u"\"");
  EXPECT_EQ(p.QuotePrefix, u"\"");
  EXPECT_EQ(p.QuoteSuffix, u"\"");
  EXPECT_EQ(p.MaxCommands, 2147483647);
  EXPECT_EQ(p.ProductVersion, u"2008");
  EXPECT_EQ(p.ProductName, u"RemoteDB");
  EXPECT_FALSE(p.SupportsTransactions || p.SupportsNestedTransactions || p.SupportsRowSetSize ||
               p.SupportsLowerCaseIdentifiers || p.SupportsUpperCaseIdentifiers ||
               p.SupportsSPReturnCode || p.SupportsParameterMetadata || p.SupportsCatalogFunctions);
  EXPECT_EQ(p.table.columns.size(), 17u);
  EXPECT_EQ(p.table.rows.size(), 1u);
  // Its command was closed: the next command takes slot 0 again.
  EXPECT_EQ(c.PrepareMethod("TServerModule1.Touch").handle, 0);
}

TEST_F(ConnectionTest, ClosedCommandHandleIsTakenAgain) {
  Connection c(Options());
  c.Open();
  EXPECT_EQ(c.PrepareMethod("TServerModule1.Touch").handle, 0);
  EXPECT_EQ(c.PrepareMethod("TServerModule1.Touch").handle, 1);
  c.CommandClose(0);
  EXPECT_EQ(c.PrepareMethod("TServerModule1.Touch").handle, 0);
}

TEST_F(ConnectionTest, RequestsSentBackToBackInOneFrameAreBothAnswered) {
  Connection c(Options());
  c.Open();
  c.SendMessage(std::string(R"({"method":"vendor_property","params":["a"]})") +
                R"({"method":"txbegin","params":[1]})");
  EXPECT_EQ(c.ReadReplyStart(), protocol::ReplyKind::kResult);
  c.reader().SkipToEndOfObject();
  EXPECT_EQ(c.ReadReplyStart(), protocol::ReplyKind::kResult);
  c.reader().Next(protocol::Token::kArrayStart);
  EXPECT_EQ(c.reader().ReadInt(), 0);
}

}  // namespace
}  // namespace client
