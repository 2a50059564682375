#include "protocol/json_stream_writer.h"

#include <gtest/gtest.h>

#include <string>

#include "memory_channel.h"
#include "protocol/json_stream_reader.h"

namespace protocol {
namespace {

using test::MemoryChannel;
using test::ToBytes;
using test::ToText;

TEST(MessageWriter, EscapesStringsByCharacterRange) {
  struct Case {
    std::u16string text;
    std::string bytes;
  };
  const Case cases[] = {
      {u"\u6570\u636E", R"("\u6570\u636E")"},
      {u"\u00E9", "\"\xE9\""},
      {u"\t", R"("\t")"},
      {u"\u0001", R"("\u0001")"},
      {u"\b\f\n\r", R"("\b\f\n\r")"},
      {u"\"\\/", R"("\"\\/")"},
      {std::u16string(1, u'\0'), R"("\u0000")"},
      {u"\u001F \u007F\u00FF\u0100", "\"\\u001F \x7F\xFF\\u0100\""},
      {u"\xD83D\xDE00", R"("\uD83D\uDE00")"},
      {u"", R"("")"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    MemoryChannel channel;
    TRDBJSonStreamWriter writer(channel);
    writer.WriteString(c.text);
    writer.Flush();
    EXPECT_EQ(channel.output_text(), c.bytes);
  }
}

TEST(MessageWriter, StringsOfEveryCharacterReadBack) {
  std::u16string all;
  for (uint32_t c = 0; c <= 0xFFFF; ++c) all += static_cast<char16_t>(c);
  MemoryChannel channel;
  TRDBJSonStreamWriter writer(channel, 1024);
  writer.WriteString(all);
  writer.Flush();
  MemoryChannel input(channel.output());
  TRDBJSonStreamReader reader(input, 1024);
  ASSERT_EQ(reader.Next(), Token::kString);
  EXPECT_EQ(reader.last_string(), all);
}

TEST(MessageWriter, WritesScalarsWithoutBlanks) {
  MemoryChannel channel;
  TRDBJSonStreamWriter writer(channel);
  writer.WriteArrayStart();
  writer.WriteInt(0);
  writer.WriteValueSeparator();
  writer.WriteInt(-1);
  writer.WriteValueSeparator();
  writer.WriteInt(INT32_MAX);
  writer.WriteValueSeparator();
  writer.WriteLong(INT64_MIN);
  writer.WriteValueSeparator();
  writer.WriteBoolean(true);
  writer.WriteValueSeparator();
  writer.WriteBoolean(false);
  writer.WriteValueSeparator();
  writer.WriteNull();
  writer.WriteArrayEnd();
  writer.WriteObjectStart();
  writer.WriteUtf8String("k");
  writer.WriteNameSeparator();
  writer.WriteUtf8String("\xE6\x95\xB0");
  writer.WriteObjectEnd();
  writer.Flush();
  EXPECT_EQ(channel.output_text(),
            R"([0,-1,2147483647,-9223372036854775808,true,false,null]{"k":"\u6570"})");
}

// Full buffers leave at once, as one write each; Flush sends the rest.
TEST(MessageWriter, FullBuffersAndFlushesDecideTheWrites) {
  struct Case {
    size_t buffer;
    size_t size;
    std::vector<size_t> writes;
  };
  const Case cases[] = {
      {32768, 70000, {32768, 32768, 4464}},
      {32768, 32768, {32768}},
      {32768, 32769, {32768, 1}},
      {8192, 10, {10}},
      {8192, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    MemoryChannel channel;
    TRDBJSonStreamWriter writer(channel, c.buffer);
    const common::Bytes reply(c.size, 'x');
    writer.WriteRaw(
        std::string_view(reinterpret_cast<const char*>(reply.data()), reply.size() / 2));
    writer.WriteDataBytes(common::ByteSpan(reply).subspan(reply.size() / 2));
    writer.Flush();
    writer.Flush();
    EXPECT_EQ(channel.write_sizes(), c.writes);
    EXPECT_EQ(channel.output(), reply);
  }
}

TEST(MessageWriter, ErrorReplyClosesOnlyTheInnerObject) {
  MemoryChannel channel;
  TRDBJSonStreamWriter writer(channel);
  writer.WriteErrorReply("TRDBError", 29, "Invalid command handle:  7");
  writer.WriteErrorReply(
      "Exception", 5,
      "\xE8\xAE\xA4\xE8\xAF\x81\xE5\xA4\xB1\xE8\xB4\xA5\xEF\xBC\x81");  // 认证失败！
  writer.Flush();
  EXPECT_EQ(
      channel.output_text(),
      R"({"error":{"name":"TRDBError","code":29,"message":"Remote error: Invalid command handle:  7"})"
      R"({"error":{"name":"Exception","code":5,"message":"Remote error: \u8BA4\u8BC1\u5931\u8D25\uFF01"})");
}

TEST(MessageWriter, WritesEnvelopesAndDataBlocks) {
  MemoryChannel channel;
  TRDBJSonStreamWriter writer(channel);
  writer.WriteRequestStart(RequestName::kCommandClose);
  writer.WriteInt(0);
  writer.WriteRequestEnd();
  writer.WriteResultStart();
  writer.WriteRaw(kRowsLiteral);
  writer.WriteInt(0);
  writer.WriteRaw("]}");
  writer.WriteValueSeparator();
  writer.WriteDataBlock(ToBytes("a]}\""));
  writer.WriteResultEnd();
  writer.WriteDataBlock(-2, ToBytes("xy"));
  writer.WriteDataBlock({});
  writer.WriteEmptyDataBlock();
  writer.WriteMoreBlobRequest(3, 1, 0, 2, 0);
  EXPECT_EQ(channel.output_text(), R"({"method":"command_close","params":[0]})"
                                   R"({"result":[{"rows":[0]},{"data":[4,a]}"]}]})"
                                   R"({"data":[-2,xy]}{"data":[0,]}{"data":[0]})"
                                   R"({"more_blob":[3,1,0,2,0]})");
  EXPECT_EQ(channel.writes().size(), 1u);  // the more_blob request flushed everything
}

TEST(MessageWriter, LiteralPartsAreExact) {
  const std::pair<std::string_view, const char*> literals[] = {
      {kMethodLiteral, R"({"method":)"},
      {kParamsLiteral, R"("params":[)"},
      {kResultLiteral, R"({"result":[)"},
      {kErrorLiteral, R"({"error":{"name":)"},
      {kCodeLiteral, R"("code":)"},
      {kMessageLiteral, R"("message":)"},
      {kHandleLiteral, R"({"handle":[)"},
      {kFieldsLiteral, R"({"fields":[)"},
      {kParametersLiteral, R"({"parameters":[)"},
      {kRowsLiteral, R"({"rows":[)"},
      {kDataLiteral, R"({"data":[)"},
      {kTableLiteral, R"({"table":[)"},
      {kColumnsLiteral, R"({"columns":[)"},
      {kMoreBlobLiteral, R"("more_blob":[)"},
      {kNextLiteral, R"("next":[)"},
      {kCallbackLiteral, R"("callback":[)"},
      {kMetadataLiteral, R"("metadata":[)"},
  };
  for (const auto& [literal, text] : literals) EXPECT_EQ(literal, text);
}

// A piece: count in a 9-byte field, bytes straight from the value, negative on the last.
class Pieces : public testing::Test {
 protected:
  std::vector<int64_t> SendAll(size_t buffer, size_t size) {
    common::Bytes value(size);
    for (size_t i = 0; i < size; ++i) value[i] = static_cast<uint8_t>(i);
    BytesSource source(value);
    TRDBJSonStreamWriter writer(channel_, buffer);
    std::vector<int64_t> counts;
    do {
      counts.push_back(writer.WriteMoreBlobReply(source));
    } while (counts.back() > 0);
    // Read them back as a client would.
    MemoryChannel input(channel_.output());
    TRDBJSonStreamReader reader(input);
    common::Bytes got;
    for (int64_t count : counts) {
      EXPECT_EQ(reader.ReadReplyStart(), ReplyKind::kResult);
      reader.Next(Token::kArrayStart);
      EXPECT_EQ(reader.ReadDataBlock(got), count);
      reader.Next(Token::kArrayEnd);
      reader.Next(Token::kObjectEnd);
    }
    EXPECT_EQ(got, value);
    return counts;
  }
  MemoryChannel channel_;
};

TEST_F(Pieces, HoldAtMostWMinus32BytesAndEndNegative) {
  EXPECT_EQ(SendAll(64, 70), (std::vector<int64_t>{32, 32, -6}));
  // The first reply fills the buffer exactly; piece and reply are flushed separately.
  ASSERT_GE(channel_.writes().size(), 2u);
  EXPECT_EQ(ToText(channel_.writes()[0]),
            "{\"result\":[{\"data\":[32       ," +
                ToText(common::ByteSpan(channel_.writes()[0]).subspan(30, 32)) + "]}");
  EXPECT_EQ(channel_.writes()[0].size(), 64u);
  EXPECT_EQ(ToText(channel_.writes()[1]), "]}");
  EXPECT_EQ(ToText(channel_.writes()[4]).substr(0, 30), "{\"result\":[{\"data\":[-6       ,");
}

TEST_F(Pieces, ValueThatFillsItsLastPieceExactlyEndsThere) {
  EXPECT_EQ(SendAll(64, 64), (std::vector<int64_t>{32, -32}));
}

TEST_F(Pieces, EmptyRemainderIsACountOfZero) {
  EXPECT_EQ(SendAll(64, 0), (std::vector<int64_t>{0}));
  EXPECT_EQ(ToText(channel_.writes()[0]), "{\"result\":[{\"data\":[0        ,]}");
}

TEST_F(Pieces, ClientPieceIsTheWholeMessage) {
  BytesSource source(ToBytes("abcdef"));
  TRDBJSonStreamWriter writer(channel_, 64);
  EXPECT_EQ(writer.WritePiece(source, 4), 4);
  EXPECT_EQ(writer.WritePiece(source, 4), -2);
  EXPECT_EQ(channel_.output_text(), "{\"data\":[4        ,abcd]}{\"data\":[-2       ,ef]}");
  EXPECT_EQ(channel_.writes().size(), 2u);
}

}  // namespace
}  // namespace protocol
