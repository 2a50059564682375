// The message writer of a connection: replies (server side) and requests (client side).
//
// Every byte goes to the next index of a W-byte buffer; when the buffer is full and another
// byte comes, the W bytes are sent as one channel write first. Flush sends what is buffered as
// one channel write. Over a filter channel each channel write is one frame, so these two rules
// fix the frame boundaries: a 70000-byte reply with W = 32768 leaves as 32768, 32768 and 4464.
//
// Strings: characters 32..255 are written as one raw byte each (not UTF-8); " and \ are
// escaped; 8, 9, 10, 12, 13 as \b \t \n \f \r; every other character below 32 or above 255
// as \u and 4 upper-case hexadecimal digits. Integers are plain decimal. No blanks anywhere.
//
// None of the helpers flush unless they say so: the caller flushes each complete reply.
//
// Thread use: one connection's thread; nothing is locked.
#ifndef DATASERVER_PROTOCOL_JSON_STREAM_WRITER_H_
#define DATASERVER_PROTOCOL_JSON_STREAM_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/bytes.h"
#include "protocol/byte_channel.h"
#include "protocol/json_stream_reader.h"
#include "protocol/limits.h"
#include "protocol/raw_buffer.h"
#include "protocol/value_source.h"

namespace protocol {

// Fixed byte strings of the message stream.
inline constexpr std::string_view kMethodLiteral = "{\"method\":";
inline constexpr std::string_view kParamsLiteral = "\"params\":[";
inline constexpr std::string_view kResultLiteral = "{\"result\":[";
inline constexpr std::string_view kErrorLiteral = "{\"error\":{\"name\":";
inline constexpr std::string_view kCodeLiteral = "\"code\":";
inline constexpr std::string_view kMessageLiteral = "\"message\":";
inline constexpr std::string_view kHandleLiteral = "{\"handle\":[";
inline constexpr std::string_view kFieldsLiteral = "{\"fields\":[";
inline constexpr std::string_view kParametersLiteral = "{\"parameters\":[";
inline constexpr std::string_view kRowsLiteral = "{\"rows\":[";
inline constexpr std::string_view kDataLiteral = "{\"data\":[";
inline constexpr std::string_view kTableLiteral = "{\"table\":[";
inline constexpr std::string_view kColumnsLiteral = "{\"columns\":[";
inline constexpr std::string_view kMoreBlobLiteral = "\"more_blob\":[";
inline constexpr std::string_view kNextLiteral = "\"next\":[";
inline constexpr std::string_view kCallbackLiteral = "\"callback\":[";
inline constexpr std::string_view kMetadataLiteral = "\"metadata\":[";
inline constexpr std::string_view kRemoteErrorPrefix = "Remote error: ";

// Width of the count field of a piece, and the most bytes of a piece that is a whole reply.
inline constexpr size_t kPieceCountWidth = 9;
inline constexpr size_t kPieceReserve = 32;

class TRDBJSonStreamWriter {
 public:
  // `channel` must remain live while this writer is in use.
  explicit TRDBJSonStreamWriter(ByteChannel& channel, size_t buffer_size = kDefaultBufferSize);

  void WriteObjectStart() { Put('{'); }
  void WriteObjectEnd() { Put('}'); }
  void WriteArrayStart() { Put('['); }
  void WriteArrayEnd() { Put(']'); }
  void WriteValueSeparator() { Put(','); }
  void WriteNameSeparator() { Put(':'); }
  void WriteInt(int32_t value) { WriteLong(value); }
  void WriteLong(int64_t value);
  void WriteBoolean(bool value) { WriteRaw(value ? "true" : "false"); }
  void WriteNull() { WriteRaw("null"); }
  void WriteString(std::u16string_view text);
  // UTF-8 text, written as its UTF-16 characters (for error messages and names).
  void WriteUtf8String(std::string_view text);
  // Literal parts, written as they are.
  void WriteRaw(std::string_view bytes) {
    WriteDataBytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
  // Raw binary bytes, straight into the buffer.
  void WriteDataBytes(const uint8_t* bytes, size_t count);
  void WriteDataBytes(common::ByteSpan bytes) { WriteDataBytes(bytes.data(), bytes.size()); }
  // Sends the buffered bytes as one channel write (nothing when empty).
  void Flush();
  // Drops the buffered bytes unsent (a reply that failed before it was complete).
  void DiscardBuffered() { pos_ = 0; }

  // --- Envelopes.
  // {"method":"<name>","params":[   and   ]}
  void WriteRequestStart(RequestName name);
  void WriteRequestEnd() { WriteRaw("]}"); }
  // {"result":[   and   ]}
  void WriteResultStart() { WriteRaw(kResultLiteral); }
  void WriteResultEnd() { WriteRaw("]}"); }
  // {"error":{"name":"<class_name>","code":<code>,"message":"Remote error: <message>"}
  // Only the inner object is closed: that is what clients read.
  void WriteErrorReply(std::string_view class_name, int32_t code, std::string_view message);
  // {"data":[<count>,<bytes>]}; the comma is written even when `bytes` is empty.
  void WriteDataBlock(int64_t count, common::ByteSpan bytes);
  void WriteDataBlock(common::ByteSpan bytes) {
    WriteDataBlock(static_cast<int64_t>(bytes.size()), bytes);
  }
  // {"data":[0]}: a table without rows.
  void WriteEmptyDataBlock() { WriteRaw("{\"data\":[0]}"); }

  // --- Pieces of large values.
  // {"data":[<count padded with spaces to 9 bytes>,<bytes>]} with the bytes read from `source`
  // straight into the buffer, at most `max_bytes` and no more than the buffer has room for.
  // The count is negative (or 0) when this is the last piece: the read returned less than
  // there was room for, or the value is exhausted. Flushes after the closing ]}. Returns the
  // count written.
  int64_t WritePiece(ValueSource& source, size_t max_bytes);
  // The reply to "more_blob": {"result":[<piece>]}, a piece of at most W - 32 bytes, flushed
  // after the piece and again after the reply.
  int64_t WriteMoreBlobReply(ValueSource& source);
  // The server's request for the next piece of an input value, flushed:
  // {"more_blob":[<command>,<blob>,<row>,<ordinal>,<row handle>]}
  void WriteMoreBlobRequest(int32_t command_handle, int32_t blob_handle, int64_t row,
                            int32_t ordinal, int32_t row_handle);

  size_t buffer_size() const { return buffer_.size(); }
  size_t buffered() const { return pos_; }

 private:
  void Put(uint8_t byte) {
    if (pos_ == buffer_.size()) SendFull();
    buffer_[pos_++] = byte;
  }
  void SendFull();
  void PutChar(char16_t c);

  ByteChannel& channel_;
  RawBuffer buffer_;
  size_t pos_ = 0;  // bytes buffered
};

}  // namespace protocol

#endif  // DATASERVER_PROTOCOL_JSON_STREAM_WRITER_H_
