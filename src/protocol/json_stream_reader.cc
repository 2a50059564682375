#include "protocol/json_stream_reader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "common/text.h"
#include "protocol/rdb_error.h"

namespace protocol {
namespace {

constexpr size_t kGrowChunk = 64 * 1024;

constexpr std::array<std::string_view, 12> kRequestNames = {
    "connect", "disconnect", "prepare",     "execute", "command_close", "reader_close",
    "next",    "more_blob",  "next_result", "txbegin", "txend",         "vendor_property",
};

bool IsBlank(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool IsNumberByte(uint8_t c) {
  return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'E' || c == 'e';
}

bool IsNumberStart(uint8_t c) { return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.'; }

bool EqualsAscii(std::u16string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] != static_cast<unsigned char>(b[i])) return false;
  }
  return true;
}

int HexValue(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string_view TokenName(Token token) {
  switch (token) {
    case Token::kObjectStart:
      return "{";
    case Token::kObjectEnd:
      return "}";
    case Token::kArrayStart:
      return "[";
    case Token::kArrayEnd:
      return "]";
    case Token::kTrue:
      return "true";
    case Token::kFalse:
      return "false";
    case Token::kNull:
      return "null";
    case Token::kNumber:
      return "-+0-9.";
    case Token::kString:
      return "\"";
    case Token::kColon:
      return ":";
    case Token::kComma:
      return ",";
    case Token::kUnknown:
      break;
  }
  return "Unknown";
}

std::string_view RequestNameText(RequestName name) {
  const auto i = static_cast<size_t>(name);
  return i < kRequestNames.size() ? kRequestNames[i] : std::string_view();
}

std::optional<RequestName> RequestNameFromText(std::u16string_view text) {
  for (size_t i = 0; i < kRequestNames.size(); ++i) {
    if (EqualsAscii(text, kRequestNames[i])) return static_cast<RequestName>(i);
  }
  return std::nullopt;
}

TRDBJSonStreamReader::TRDBJSonStreamReader(ByteChannel& channel, size_t buffer_size,
                                           const Limits& limits)
    : channel_(channel), limits_(limits), buffer_(std::max<size_t>(buffer_size, 1)) {
  chars_.reserve(128);
}

void TRDBJSonStreamReader::Refill() {
  const ptrdiff_t got = channel_.Read(buffer_.data(), buffer_.size());
  if (got <= 0) {
    pos_ = end_ = 0;
    throw TRDBError(kReadErrorMessage, kReadErrorCode, true);
  }
  pos_ = 0;
  end_ = static_cast<size_t>(got);
}

void TRDBJSonStreamReader::Fail(const std::string& message_before_position) {
  std::string message = message_before_position;
  message += std::to_string(static_cast<int64_t>(pos_) - 1);
  message += '\n';
  for (size_t i = 0; i < end_; ++i) {
    const uint8_t c = buffer_[i];
    if (c >= 32 && c <= 126) {
      message += static_cast<char>(c);
    } else {
      message += '#';
      message += std::to_string(c);
    }
  }
  pos_ = end_;  // the rest of the buffered input is dropped
  throw TRDBError(message, kParseErrorCode);
}

void TRDBJSonStreamReader::FailLimit(const std::string& message) {
  pos_ = end_;
  throw TRDBError(message, kParseErrorCode, true);
}

void TRDBJSonStreamReader::SkipBlanks() {
  for (;;) {
    if (pos_ == end_) Refill();
    while (pos_ < end_ && IsBlank(buffer_[pos_])) ++pos_;
    if (pos_ < end_) return;
  }
}

void TRDBJSonStreamReader::AppendChar(char16_t c) {
  if (chars_.size() >= limits_.max_string) {
    FailLimit("String exceeds the limit of " + std::to_string(limits_.max_string) + " characters");
  }
  chars_.push_back(c);
}

void TRDBJSonStreamReader::ReadStringBody() {
  chars_.clear();
  for (;;) {
    if (pos_ == end_) Refill();
    // Copy the run of plain bytes up to the next quote or backslash in one go.
    const uint8_t* start = buffer_.data() + pos_;
    const uint8_t* stop = buffer_.data() + end_;
    const uint8_t* p = start;
    while (p < stop && *p != '"' && *p != '\\') ++p;
    const size_t run = static_cast<size_t>(p - start);
    if (run > 0) {
      if (chars_.size() + run > limits_.max_string) {
        FailLimit("String exceeds the limit of " + std::to_string(limits_.max_string) +
                  " characters");
      }
      const size_t old = chars_.size();
      chars_.resize(old + run);
      for (size_t i = 0; i < run; ++i) chars_[old + i] = start[i];
    }
    pos_ += run;
    if (p == stop) continue;
    ++pos_;
    if (*p == '"') return;
    const uint8_t e = Get();
    switch (e) {
      case 'b':
        AppendChar(8);
        break;
      case 't':
        AppendChar(9);
        break;
      case 'n':
        AppendChar(10);
        break;
      case 'f':
        AppendChar(12);
        break;
      case 'r':
        AppendChar(13);
        break;
      case 'u': {
        unsigned value = 0;
        for (int i = 0; i < 4; ++i) {
          const int d = HexValue(Get());
          if (d < 0) Fail("Unexpected byte at position:  ");
          value = value * 16 + static_cast<unsigned>(d);
        }
        AppendChar(static_cast<char16_t>(value));
        break;
      }
      default:  // \" \\ and a backslash before any other byte stand for that byte
        AppendChar(e);
    }
  }
}

void TRDBJSonStreamReader::ExpectWord(std::string_view rest, std::string_view word) {
  for (char c : rest) {
    if (Get() != static_cast<uint8_t>(c)) {
      Fail("Expected:  '" + std::string(word) + " at position:  ");
    }
  }
}

int64_t TRDBJSonStreamReader::ScanNumber() {
  bool negative = false;
  bool any = false;
  bool digits = false;
  uint64_t value = 0;
  for (;;) {
    const uint8_t c = Peek();
    if (!IsNumberByte(c)) break;
    ++pos_;
    if (!any && (c == '-' || c == '+')) {
      negative = c == '-';
    } else if (c >= '0' && c <= '9') {
      value = value * 10 + (c - '0');  // wraps, as the wire's integers do
      digits = true;
    } else {
      Fail("Unexpected byte at position:  ");
    }
    any = true;
  }
  if (!any) {
    if (Peek() == ']') return 0;
    ++pos_;
    Fail("Unexpected byte at position:  ");
  }
  if (!digits) Fail("Unexpected byte at position:  ");
  return static_cast<int64_t>(negative ? 0 - value : value);
}

Token TRDBJSonStreamReader::Next() {
  SkipBlanks();
  const uint8_t c = Get();
  switch (c) {
    case '{':
      return Token::kObjectStart;
    case '}':
      return Token::kObjectEnd;
    case '[':
      return Token::kArrayStart;
    case ']':
      return Token::kArrayEnd;
    case ':':
      return Token::kColon;
    case ',':
      return Token::kComma;
    case '"':
      ReadStringBody();
      return Token::kString;
    case 't':
      ExpectWord("rue", "true");
      return Token::kTrue;
    case 'f':
      ExpectWord("alse", "false");
      return Token::kFalse;
    case 'n':
      ExpectWord("ull", "null");
      return Token::kNull;
    default:
      break;
  }
  if (IsNumberStart(c)) {
    --pos_;  // the byte just read is still in the buffer
    last_number_ = ScanNumber();
    return Token::kNumber;
  }
  return Token::kUnknown;
}

void TRDBJSonStreamReader::Next(Token expected) {
  const Token found = Next();
  if (found != expected) FailUnexpected(expected, found);
}

void TRDBJSonStreamReader::FailUnexpected(Token expected, Token found) {
  Fail("Expected:  '" + std::string(TokenName(expected)) + "' found:  '" +
       std::string(TokenName(found)) + "' at position:  ");
}

void TRDBJSonStreamReader::NextValueSeparator() { Next(Token::kComma); }

int32_t TRDBJSonStreamReader::ReadInt() {
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(ReadLong())));
}

int64_t TRDBJSonStreamReader::ReadLong() {
  last_number_ = ScanNumber();
  return last_number_;
}

bool TRDBJSonStreamReader::ReadBoolean() {
  const Token t = Next();
  if (t == Token::kTrue) return true;
  if (t == Token::kFalse) return false;
  Fail("Expected:  'true' found:  '" + std::string(TokenName(t)) + "' at position:  ");
}

std::u16string_view TRDBJSonStreamReader::ReadString() {
  while (Get() != '"') {
  }
  ReadStringBody();
  return chars_;
}

void TRDBJSonStreamReader::ReadKey(std::string_view key) {
  if (Next() != Token::kString || !EqualsAscii(chars_, key)) {
    Fail("Expected:  '\"" + std::string(key) + "\" at position:  ");
  }
  Next(Token::kColon);
}

RequestName TRDBJSonStreamReader::ReadRequestName() {
  Next(Token::kObjectStart);
  if (Next() == Token::kString) {
    if (EqualsAscii(chars_, "method")) {
      Next(Token::kColon);
      Next(Token::kString);
      if (auto name = RequestNameFromText(chars_)) return *name;
      SkipToEndOfObject();
      return RequestName::kUnknown;
    }
    if (EqualsAscii(chars_, "metadata")) {
      SkipToEndOfObject();
      return RequestName::kMetadata;
    }
  }
  Fail("Expected:  '\"method\" at position:  ");
}

void TRDBJSonStreamReader::ReadArgumentsStart() {
  for (;;) {
    const uint8_t c = Peek();
    if (!IsBlank(c) && c != ',') break;
    ++pos_;
  }
  ReadKey("params");
  Next(Token::kArrayStart);
}

void TRDBJSonStreamReader::SkipTo(uint8_t open, uint8_t close) {
  size_t depth = 0;
  for (;;) {
    if (pos_ == end_) Refill();
    const uint8_t c = buffer_[pos_++];
    if (c == '"') {
      // Skip the string's contents; a backslash hides the byte after it.
      for (;;) {
        const uint8_t s = Get();
        if (s == '"') break;
        if (s == '\\') Get();
      }
    } else if (c == open) {
      ++depth;
    } else if (c == close) {
      if (depth == 0) return;
      --depth;
    }
  }
}

void TRDBJSonStreamReader::SkipToEndOfObject() { SkipTo('{', '}'); }
void TRDBJSonStreamReader::SkipToEndOfArray() { SkipTo('[', ']'); }

void TRDBJSonStreamReader::ReadDataBytes(uint8_t* buffer, size_t count) {
  while (count > 0) {
    if (pos_ == end_) {
      if (count >= buffer_.size()) {
        // Large remainders go straight to the destination.
        const ptrdiff_t got = channel_.Read(buffer, count);
        if (got <= 0) throw TRDBError(kReadErrorMessage, kReadErrorCode, true);
        buffer += got;
        count -= static_cast<size_t>(got);
        continue;
      }
      Refill();
    }
    const size_t n = std::min(count, end_ - pos_);
    std::memcpy(buffer, buffer_.data() + pos_, n);
    pos_ += n;
    buffer += n;
    count -= n;
  }
}

void TRDBJSonStreamReader::ReadDataBytes(common::Bytes& out, size_t count) {
  const size_t chunk_size = std::max(buffer_.size(), kGrowChunk);
  while (count > 0) {
    const size_t chunk = std::min(count, chunk_size);
    const size_t old = out.size();
    out.resize(old + chunk);
    ReadDataBytes(out.data() + old, chunk);
    count -= chunk;
  }
}

int64_t TRDBJSonStreamReader::ReadDataArray(common::Bytes& out, uint64_t max_bytes) {
  Next(Token::kArrayStart);
  const int64_t count = ReadLong();
  const uint64_t n = count < 0 ? 0 - static_cast<uint64_t>(count) : static_cast<uint64_t>(count);
  const uint64_t cap = std::min(max_bytes, limits_.max_data_block);
  if (n > cap) {
    FailLimit("Data block of " + std::to_string(n) + " bytes exceeds the limit of " +
              std::to_string(cap) + " bytes");
  }
  if (n == 0) {
    const Token t = Next();
    if (t == Token::kComma) {
      Next(Token::kArrayEnd);
    } else if (t != Token::kArrayEnd) {
      Fail("Expected:  ']' found:  '" + std::string(TokenName(t)) + "' at position:  ");
    }
    return count;
  }
  NextValueSeparator();
  ReadDataBytes(out, static_cast<size_t>(n));
  Next(Token::kArrayEnd);
  return count;
}

int64_t TRDBJSonStreamReader::ReadDataBlock(common::Bytes& out, uint64_t max_bytes) {
  Next(Token::kObjectStart);
  ReadKey("data");
  const int64_t count = ReadDataArray(out, max_bytes);
  Next(Token::kObjectEnd);
  return count;
}

ReplyKind TRDBJSonStreamReader::ReadReplyStart() {
  Next(Token::kObjectStart);
  if (Next() != Token::kString) Fail("Expected:  '\"result\" at position:  ");
  ReplyKind kind = ReplyKind::kOther;
  if (EqualsAscii(chars_, "result")) {
    kind = ReplyKind::kResult;
  } else if (EqualsAscii(chars_, "error")) {
    kind = ReplyKind::kError;
  } else if (EqualsAscii(chars_, "more_blob")) {
    kind = ReplyKind::kMoreBlob;
  } else if (EqualsAscii(chars_, "data")) {
    kind = ReplyKind::kData;
  }
  Next(Token::kColon);
  return kind;
}

RemoteErrorInfo TRDBJSonStreamReader::ReadErrorBody() {
  RemoteErrorInfo info;
  Next(Token::kObjectStart);
  for (;;) {
    const Token t = Next();
    if (t == Token::kObjectEnd) break;
    if (t == Token::kComma) continue;
    if (t != Token::kString) {
      Fail("Expected:  '\"' found:  '" + std::string(TokenName(t)) + "' at position:  ");
    }
    if (EqualsAscii(chars_, "name")) {
      Next(Token::kColon);
      Next(Token::kString);
      info.class_name = common::Utf16ToUtf8(chars_);
    } else if (EqualsAscii(chars_, "code")) {
      Next(Token::kColon);
      info.code = ReadInt();
    } else if (EqualsAscii(chars_, "message")) {
      Next(Token::kColon);
      Next(Token::kString);
      info.message = chars_;
    } else {
      Fail("Expected:  '\"message\" at position:  ");
    }
  }
  return info;
}

}  // namespace protocol
