#include "protocol/json_stream_reader.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "common/text.h"
#include "memory_channel.h"
#include "protocol/rdb_error.h"

namespace protocol {
namespace {

using test::MemoryChannel;
using test::ToBytes;

std::string Hex(common::ByteSpan bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string s;
  for (uint8_t b : bytes) {
    s += kDigits[b >> 4];
    s += kDigits[b & 15];
  }
  return s;
}

// Reads any value the way a dispatcher would, into a readable trace; data blocks by count.
void Walk(TRDBJSonStreamReader& r, Token t, std::string& out) {
  switch (t) {
    case Token::kNumber:
      out += "n" + std::to_string(r.last_number());
      return;
    case Token::kString:
      out += "s'" + common::Utf16ToUtf8(r.last_string()) + "'";
      return;
    case Token::kArrayStart:
      out += "[";
      for (Token x = r.Next(); x != Token::kArrayEnd; x = r.Next()) {
        if (x != Token::kComma) Walk(r, x, out);
      }
      out += "]";
      return;
    case Token::kObjectStart:
      out += "{";
      for (Token k = r.Next(); k != Token::kObjectEnd; k = r.Next()) {
        if (k == Token::kComma) continue;
        ASSERT_EQ(k, Token::kString);
        const std::string key = common::Utf16ToUtf8(r.last_string());
        r.Next(Token::kColon);
        out += key + ":";
        if (key == "data") {
          common::Bytes bytes;
          const int64_t n = r.ReadDataArray(bytes);
          out += std::to_string(n) + "/" + Hex(bytes);
        } else {
          Walk(r, r.Next(), out);
        }
      }
      out += "}";
      return;
    default:
      out += std::string(TokenName(t));
  }
}

std::string ReadRequest(TRDBJSonStreamReader& r) {
  const RequestName name = r.ReadRequestName();
  if (name == RequestName::kUnknown) return "unknown";
  if (name == RequestName::kMetadata) return "metadata";
  std::string out(RequestNameText(name));
  r.ReadArgumentsStart();
  Walk(r, Token::kArrayStart, out);
  r.SkipToEndOfObject();
  return out;
}

struct Message {
  std::string bytes;
  std::string trace;
};

std::vector<Message> Requests() {
  const std::string binary("a}\"{\xFF\x00[b", 8);
  return {
      {R"({"method":"connect","params":[{"User_Name":"admin","Password":"\u8BA4\u8bc1"}]})",
       "connect[{User_Name:s'admin'Password:s'\xE8\xAE\xA4\xE8\xAF\x81'}]"},
      {R"({"method":"prepare","params":[-1,false,"RemoteDB.ServerMethod","TServerModule1.SQL2OleVariant"]})",
       "prepare[n-1falses'RemoteDB.ServerMethod's'TServerModule1.SQL2OleVariant']"},
      {"{\"method\":\"execute\",\"params\":[{\"handle\":[0]},{\"data\":[8," + binary + "]}]}",
       "execute[{handle:[n0]}{data:8/617D227BFF005B62}]"},
      {R"({"method":"more_blob","params":[0,1,0,2,true,0]})", "more_blob[n0n1n0n2truen0]"},
      {" \r\n{ \"method\" : \"vendor_property\" ,\t\"params\" : [ \"x\" ] } ",
       "vendor_property[s'x']"},
      {R"({"method":"vendor_property","params":["x"]})", "vendor_property[s'x']"},
      {R"({"method":"Connect","params":[{"a":"}\"{"},[{]}]})", "unknown"},
      {R"({"metadata":[12,{"a":"b}"}12]})", "metadata"},
      {R"({"method":"disconnect","params":[0]})", "disconnect[n0]"},
  };
}

// Every valid message, split at every byte position and read through small and default
// buffers, reads the same.
TEST(MessageReader, ReadsEveryMessageWhateverWayItArrives) {
  for (const Message& m : Requests()) {
    SCOPED_TRACE(m.bytes);
    for (size_t buffer : {size_t{16}, kDefaultBufferSize}) {
      for (size_t cut = 0; cut < m.bytes.size(); ++cut) {
        MemoryChannel channel(m.bytes);
        if (cut) channel.add_cut(cut);
        TRDBJSonStreamReader reader(channel, buffer);
        EXPECT_EQ(ReadRequest(reader), m.trace) << "cut " << cut << " buffer " << buffer;
      }
    }
  }
}

// Requests sent back to back in one segment are all read without waiting for more input: the
// reader never asks the channel for bytes beyond the end of a request.
TEST(MessageReader, ReadsRequestsSentBackToBack) {
  std::string all;
  for (const Message& m : Requests()) all += m.bytes;
  for (size_t buffer : {size_t{16}, size_t{1024}, kDefaultBufferSize}) {
    MemoryChannel channel(all);
    TRDBJSonStreamReader reader(channel, buffer);
    for (const Message& m : Requests()) {
      EXPECT_EQ(ReadRequest(reader), m.trace);
    }
    // Only the last message's trailing blank, if any, remains; the channel is never read past
    // its input (which would throw "Connection lost").
    EXPECT_EQ(channel.remaining(), 0u);
  }
}

TEST(MessageReader, HasMoreBytesTellsWhetherAnotherRequestWaits) {
  MemoryChannel channel(std::string(R"({"method":"next_result","params":[0]})") +
                        R"({"method":"txbegin","params":[0]})");
  TRDBJSonStreamReader reader(channel);
  EXPECT_EQ(ReadRequest(reader), "next_result[n0]");
  EXPECT_TRUE(reader.HasMoreBytes());
  EXPECT_EQ(ReadRequest(reader), "txbegin[n0]");
  EXPECT_FALSE(reader.HasMoreBytes());
}

TEST(MessageReader, KnowsEveryRequestName) {
  const char* names[] = {"connect",       "disconnect",   "prepare", "execute",
                         "command_close", "reader_close", "next",    "more_blob",
                         "next_result",   "txbegin",      "txend",   "vendor_property"};
  for (size_t i = 0; i < std::size(names); ++i) {
    SCOPED_TRACE(names[i]);
    MemoryChannel channel(std::string(R"({"method":")") + names[i] + R"(","params":[]})");
    TRDBJSonStreamReader reader(channel);
    EXPECT_EQ(reader.ReadRequestName(), static_cast<RequestName>(i));
    EXPECT_EQ(RequestNameText(static_cast<RequestName>(i)), names[i]);
  }
  EXPECT_FALSE(RequestNameFromText(u"CONNECT"));
}

// Dump of buffered bytes as parse errors show them.
std::string Dump(std::string_view bytes) {
  std::string d;
  for (unsigned char c : bytes) {
    if (c >= 32 && c <= 126) {
      d += static_cast<char>(c);
    } else {
      d += "#" + std::to_string(c);
    }
  }
  return d;
}

TEST(MessageReader, ParseErrorsCarryTheirTextPositionAndDump) {
  struct Case {
    const char* name;
    std::string input;
    std::function<void(TRDBJSonStreamReader&)> read;
    std::string message;  // up to the position
    size_t position;
  };
  auto args = [](TRDBJSonStreamReader& r) {
    r.ReadRequestName();
    r.ReadArgumentsStart();
  };
  const Case cases[] = {
      {"blank before a number", "{\"method\":\"next\",\"params\":[ 1]}\n{",
       [&](auto& r) {
         args(r);
         r.ReadInt();
       },
       "Unexpected byte at position:  ", 27},
      {"wrong token", "[\"method\"]", [](auto& r) { r.ReadRequestName(); },
       "Expected:  '{' found:  '[' at position:  ", 0},
      {"string where a comma belongs", R"({"method":"next","params":[1"x"]})",
       [&](auto& r) {
         args(r);
         r.ReadInt();
         r.NextValueSeparator();
       },
       "Expected:  ',' found:  '\"' at position:  ", 30},
      {"first key", R"({"id":1})", [](auto& r) { r.ReadRequestName(); },
       "Expected:  '\"method\" at position:  ", 4},
      {"broken word", "{\"method\":\"txend\",\"params\":[tru]}",
       [&](auto& r) {
         args(r);
         r.ReadBoolean();
       },
       "Expected:  'true at position:  ", 31},
      {"missing params", R"({"method":"next","args":[1]})", [&](auto& r) { args(r); },
       "Expected:  '\"params\" at position:  ", 22},
      {"number with a fraction", R"({"method":"next","params":[1.5]})",
       [&](auto& r) {
         args(r);
         r.ReadInt();
       },
       "Unexpected byte at position:  ", 28},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryChannel channel(c.input);
    TRDBJSonStreamReader reader(channel);
    try {
      c.read(reader);
      FAIL() << "no error";
    } catch (const TRDBError& e) {
      EXPECT_EQ(std::string(e.what()),
                c.message + std::to_string(c.position) + "\n" + Dump(c.input));
      EXPECT_EQ(e.code(), kParseErrorCode);
      EXPECT_FALSE(e.breaks_stream());
    }
    EXPECT_FALSE(reader.HasMoreBytes());  // the rest of the buffer was dropped
  }
}

// After a parse error the next request comes from fresh bytes.
TEST(MessageReader, GoesOnAfterAParseError) {
  MemoryChannel channel(R"({"method":"next","params":[x]}junk)");
  channel.add_cut(34);
  channel.AddInput(R"({"method":"txend","params":[true,0]})");
  TRDBJSonStreamReader reader(channel);
  reader.ReadRequestName();
  reader.ReadArgumentsStart();
  EXPECT_THROW(reader.ReadInt(), TRDBError);
  EXPECT_EQ(ReadRequest(reader), "txend[truen0]");
}

class ZeroChannel : public ByteChannel {
 public:
  explicit ZeroChannel(ptrdiff_t result) : result_(result) {}
  ptrdiff_t Read(uint8_t*, size_t) override { return result_; }
  void Write(const uint8_t*, size_t) override {}

 private:
  ptrdiff_t result_;
};

TEST(MessageReader, ChannelWithoutBytesIsAReadError) {
  for (ptrdiff_t result : {0, -1}) {
    ZeroChannel channel(result);
    TRDBJSonStreamReader reader(channel);
    try {
      reader.ReadRequestName();
      FAIL() << "read";
    } catch (const TRDBError& e) {
      EXPECT_EQ(std::string(e.what()), "Read error");
      EXPECT_EQ(e.code(), 1);
      EXPECT_TRUE(e.breaks_stream());
    }
  }
  MemoryChannel cut_short(R"({"method":"pre)");
  TRDBJSonStreamReader reader(cut_short);
  try {
    reader.ReadRequestName();
    FAIL() << "read";
  } catch (const TRDBError& e) {
    EXPECT_EQ(std::string(e.what()), "Connection lost");
  }
}

TEST(MessageReader, DecodesStrings) {
  struct Case {
    std::string input;
    std::u16string text;
  };
  const Case cases[] = {
      {R"("abc")", u"abc"},
      {R"("\"\\\/\b\f\n\r\t")", u"\"\\/\b\f\n\r\t"},
      {R"("\u6570\u636E\u636e")", u"\u6570\u636E\u636E"},
      {"\"\xE9\x01\x7F\xFF\"", u"\u00E9\u0001\u007F\u00FF"},
      {R"("\x\q")", u"xq"},
      {R"("\uD83D\uDE00")", u"\xD83D\xDE00"},
      {R"("")", u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    MemoryChannel channel(c.input);
    TRDBJSonStreamReader reader(channel, 4);
    ASSERT_EQ(reader.Next(), Token::kString);
    EXPECT_EQ(reader.last_string(), c.text);
  }
  MemoryChannel bad_escape(R"("\u12G4")");
  TRDBJSonStreamReader reader(bad_escape);
  EXPECT_THROW(reader.Next(), TRDBError);
}

TEST(MessageReader, ReadStringSkipsToTheNextQuote) {
  MemoryChannel channel(R"( 5, null ,"value")");
  TRDBJSonStreamReader reader(channel);
  EXPECT_EQ(reader.ReadString(), u"value");
}

TEST(MessageReader, ReadsIntegers) {
  struct Case {
    const char* input;
    int32_t int_value;
    int64_t long_value;
  };
  const Case cases[] = {
      {"0]", 0, 0},
      {"-5]", -5, -5},
      {"+7,", 7, 7},
      {"]", 0, 0},
      {"2147483647]", INT32_MAX, INT32_MAX},
      {"2147483648]", INT32_MIN, 2147483648},
      {"-2147483648]", INT32_MIN, -2147483648LL},
      {"9223372036854775807]", -1, INT64_MAX},
      {"18446744073709551617]", 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    MemoryChannel a(c.input);
    TRDBJSonStreamReader ra(a);
    EXPECT_EQ(ra.ReadInt(), c.int_value);
    MemoryChannel b(c.input);
    TRDBJSonStreamReader rb(b);
    EXPECT_EQ(rb.ReadLong(), c.long_value);
  }
  for (const char* bad : {"1.5]", "-]", "1e5]", ",", "x]", "--1]"}) {
    SCOPED_TRACE(bad);
    MemoryChannel channel(bad);
    TRDBJSonStreamReader reader(channel);
    EXPECT_THROW(reader.ReadLong(), TRDBError);
  }
}

TEST(MessageReader, ReadsDataBlocksByTheirCount) {
  struct Case {
    std::string input;
    int64_t count;
    std::string bytes;
  };
  const Case cases[] = {
      {std::string("{\"data\":[7,a}\"{\xFF\x00]]}", 20), 7, std::string("a}\"{\xFF\x00]", 7)},
      {R"({"data":[0]})", 0, ""},
      {R"({"data":[0,]})", 0, ""},
      {R"({"data":[]})", 0, ""},
      {R"({"data":[-3       ,xyz]})", -3, "xyz"},
      {R"({"data":[2        ,xy]})", 2, "xy"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    for (size_t cut = 0; cut < c.input.size(); ++cut) {
      MemoryChannel channel(c.input);
      if (cut) channel.add_cut(cut);
      TRDBJSonStreamReader reader(channel, 4);
      common::Bytes out;
      EXPECT_EQ(reader.ReadDataBlock(out), c.count);
      EXPECT_EQ(test::ToText(out), c.bytes);
      EXPECT_EQ(channel.remaining(), 0u);
    }
  }
}

TEST(MessageReader, ReadsLargeDataBlocksPastItsBuffer) {
  common::Bytes payload(100000);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
  MemoryChannel channel("{\"data\":[100000,");
  channel.AddInput(payload);
  channel.AddInput("]}");
  channel.set_max_read(3000);
  TRDBJSonStreamReader reader(channel, 1024);
  common::Bytes out = {0xAA};
  EXPECT_EQ(reader.ReadDataBlock(out), 100000);
  ASSERT_EQ(out.size(), 100001u);
  EXPECT_EQ(common::Bytes(out.begin() + 1, out.end()), payload);
}

TEST(MessageReader, RefusesCountsAndStringsAboveTheirCaps) {
  Limits limits;
  limits.max_data_block = 10;
  limits.max_string = 5;
  struct Case {
    std::string input;
    uint64_t max_bytes;
    std::function<void(TRDBJSonStreamReader&, uint64_t)> read;
    std::string message;
  };
  auto block = [](TRDBJSonStreamReader& r, uint64_t max) {
    common::Bytes out;
    r.ReadDataBlock(out, max);
  };
  auto string = [](TRDBJSonStreamReader& r, uint64_t) { r.Next(); };
  const Case cases[] = {
      {R"({"data":[11,)", UINT64_MAX, block,
       "Data block of 11 bytes exceeds the limit of 10 bytes"},
      {R"({"data":[-2147483648,)", UINT64_MAX, block,
       "Data block of 2147483648 bytes exceeds the limit of 10 bytes"},
      {R"({"data":[4,)", 3, block, "Data block of 4 bytes exceeds the limit of 3 bytes"},
      {R"("abcdef")", 0, string, "String exceeds the limit of 5 characters"},
      {R"("abcd\u0041\u0042")", 0, string, "String exceeds the limit of 5 characters"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    MemoryChannel channel(c.input);
    TRDBJSonStreamReader reader(channel, kDefaultBufferSize, limits);
    try {
      c.read(reader, c.max_bytes);
      FAIL() << "read";
    } catch (const TRDBError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
      EXPECT_TRUE(e.breaks_stream());
    }
  }
}

TEST(MessageReader, ReadsReplies) {
  MemoryChannel channel(
      R"({"result":[1]})"
      R"({"error":{"name":"TRDBError","code":29,"message":"Remote error: Invalid command handle:  7"})"
      R"({"more_blob":[0,1,0,2,0]})"
      R"({"data":[0]})"
      R"({"other":1})");
  TRDBJSonStreamReader reader(channel);
  EXPECT_EQ(reader.ReadReplyStart(), ReplyKind::kResult);
  reader.SkipToEndOfObject();
  EXPECT_EQ(reader.ReadReplyStart(), ReplyKind::kError);
  const RemoteErrorInfo error = reader.ReadErrorBody();
  EXPECT_EQ(error.class_name, "TRDBError");
  EXPECT_EQ(error.code, 29);
  EXPECT_EQ(error.message, u"Remote error: Invalid command handle:  7");
  // The error reply ends with its inner object: the next reply follows directly.
  EXPECT_EQ(reader.ReadReplyStart(), ReplyKind::kMoreBlob);
  reader.SkipToEndOfObject();
  EXPECT_EQ(reader.ReadReplyStart(), ReplyKind::kData);
  common::Bytes none;
  EXPECT_EQ(reader.ReadDataArray(none), 0);
  reader.Next(Token::kObjectEnd);
  EXPECT_EQ(reader.ReadReplyStart(), ReplyKind::kOther);
}

}  // namespace
}  // namespace protocol
