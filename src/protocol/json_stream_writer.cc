#include "protocol/json_stream_writer.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "common/text.h"

namespace protocol {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

}  // namespace

TRDBJSonStreamWriter::TRDBJSonStreamWriter(ByteChannel& channel, size_t buffer_size)
    : channel_(channel), buffer_(std::max<size_t>(buffer_size, 64)) {}

void TRDBJSonStreamWriter::SendFull() {
  channel_.Write(buffer_.data(), pos_);
  pos_ = 0;
}

void TRDBJSonStreamWriter::Flush() {
  if (pos_ > 0) SendFull();
}

void TRDBJSonStreamWriter::WriteDataBytes(const uint8_t* bytes, size_t count) {
  while (count > 0) {
    if (pos_ == buffer_.size()) SendFull();
    const size_t n = std::min(count, buffer_.size() - pos_);
    std::memcpy(buffer_.data() + pos_, bytes, n);
    pos_ += n;
    bytes += n;
    count -= n;
  }
}

void TRDBJSonStreamWriter::WriteLong(int64_t value) {
  char digits[20];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  WriteRaw(std::string_view(digits, static_cast<size_t>(result.ptr - digits)));
}

void TRDBJSonStreamWriter::PutChar(char16_t c) {
  switch (c) {
    case 8:
      WriteRaw("\\b");
      return;
    case 9:
      WriteRaw("\\t");
      return;
    case 10:
      WriteRaw("\\n");
      return;
    case 12:
      WriteRaw("\\f");
      return;
    case 13:
      WriteRaw("\\r");
      return;
    case '"':
      WriteRaw("\\\"");
      return;
    case '\\':
      WriteRaw("\\\\");
      return;
    default:
      break;
  }
  if (c < 32 || c > 255) {
    const char escape[6] = {'\\',
                            'u',
                            kHexDigits[(c >> 12) & 15],
                            kHexDigits[(c >> 8) & 15],
                            kHexDigits[(c >> 4) & 15],
                            kHexDigits[c & 15]};
    WriteRaw(std::string_view(escape, sizeof escape));
  } else {
    Put(static_cast<uint8_t>(c));
  }
}

void TRDBJSonStreamWriter::WriteString(std::u16string_view text) {
  Put('"');
  for (char16_t c : text) {
    if (c >= 32 && c <= 255 && c != '"' && c != '\\') {
      Put(static_cast<uint8_t>(c));
    } else {
      PutChar(c);
    }
  }
  Put('"');
}

void TRDBJSonStreamWriter::WriteUtf8String(std::string_view text) {
  WriteString(common::Utf8ToUtf16(text));
}

void TRDBJSonStreamWriter::WriteRequestStart(RequestName name) {
  WriteRaw(kMethodLiteral);
  Put('"');
  WriteRaw(RequestNameText(name));
  WriteRaw("\",");
  WriteRaw(kParamsLiteral);
}

void TRDBJSonStreamWriter::WriteErrorReply(std::string_view class_name, int32_t code,
                                           std::string_view message) {
  WriteRaw(kErrorLiteral);
  WriteUtf8String(class_name);
  Put(',');
  WriteRaw(kCodeLiteral);
  WriteInt(code);
  Put(',');
  WriteRaw(kMessageLiteral);
  std::u16string text = common::Utf8ToUtf16(kRemoteErrorPrefix);
  text += common::Utf8ToUtf16(message);
  WriteString(text);
  Put('}');
}

void TRDBJSonStreamWriter::WriteDataBlock(int64_t count, common::ByteSpan bytes) {
  WriteRaw(kDataLiteral);
  WriteLong(count);
  Put(',');
  WriteDataBytes(bytes);
  WriteRaw("]}");
}

int64_t TRDBJSonStreamWriter::WritePiece(ValueSource& source, size_t max_bytes) {
  constexpr size_t kOverhead = kDataLiteral.size() + kPieceCountWidth + 1 + 2;
  // The piece's bytes must be contiguous in the buffer: start afresh when it is nearly full.
  if (buffer_.size() - pos_ < kOverhead + 1) Flush();
  WriteRaw(kDataLiteral);
  const size_t count_at = pos_;
  pos_ += kPieceCountWidth;
  Put(',');
  const size_t room = std::min(max_bytes, buffer_.size() - pos_ - 2);
  size_t n = 0;
  while (n < room) {
    const size_t got = source.Read(buffer_.data() + pos_ + n, room - n);
    if (got == 0) break;
    n += got;
  }
  const bool last = n < room || source.Remaining() == 0;
  const int64_t count = last ? -static_cast<int64_t>(n) : static_cast<int64_t>(n);
  char* field = reinterpret_cast<char*>(buffer_.data() + count_at);
  std::memset(field, ' ', kPieceCountWidth);
  std::to_chars(field, field + kPieceCountWidth, count);
  pos_ += n;
  WriteRaw("]}");
  Flush();
  return count;
}

int64_t TRDBJSonStreamWriter::WriteMoreBlobReply(ValueSource& source) {
  WriteResultStart();
  const int64_t count = WritePiece(source, buffer_.size() - kPieceReserve);
  WriteResultEnd();
  Flush();
  return count;
}

void TRDBJSonStreamWriter::WriteMoreBlobRequest(int32_t command_handle, int32_t blob_handle,
                                                int64_t row, int32_t ordinal, int32_t row_handle) {
  Put('{');
  WriteRaw(kMoreBlobLiteral);
  WriteInt(command_handle);
  Put(',');
  WriteInt(blob_handle);
  Put(',');
  WriteLong(row);
  Put(',');
  WriteInt(ordinal);
  Put(',');
  WriteInt(row_handle);
  WriteRaw("]}");
  Flush();
}

}  // namespace protocol
