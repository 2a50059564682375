// The message reader of a connection: requests (server side) and replies (client side) of the
// message stream, read straight from the bytes of a byte channel.
//
// Syntax in brief (docs/formats/protocol.md has the full picture): JSON-like text, one byte per
// character; strings carry characters 0..255 as raw bytes and others as \uXXXX; numbers are
// decimal integers; a data block {"data":[<n>,<n raw bytes>]} splices binary bytes into the
// text. A request is {"method":"<name>","params":[<arguments>]}.
//
// Buffering: one buffer of R bytes. When a byte beyond the buffered ones is needed the whole
// buffer is refilled by one channel read (which returns whatever has arrived); a read that
// returns 0 or less fails with "Read error" (code 1). The reader never looks past the last byte
// of a message, so it never waits for bytes a peer has not sent yet.
//
// Parse errors throw TRDBError with code 2 and one of the texts
//   "Unexpected byte at position:  P\nD"
//   "Expected:  'E' found:  'F' at position:  P\nD"
//   "Expected:  'K at position:  P\nD"
// where P is the buffer index of the last byte consumed and D the buffered bytes (32..126 as
// themselves, others as '#' and their decimal value); afterwards the buffered input is dropped.
// A count or string longer than its cap (Limits) throws a TRDBError that breaks the stream.
//
// Results of string reads are views into the reader's character buffer, valid until the next
// read.
//
// Thread use: one connection's thread; nothing is locked.
#ifndef DATASERVER_PROTOCOL_JSON_STREAM_READER_H_
#define DATASERVER_PROTOCOL_JSON_STREAM_READER_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/bytes.h"
#include "protocol/byte_channel.h"
#include "protocol/limits.h"
#include "protocol/raw_buffer.h"

namespace protocol {

enum class Token : uint8_t {
  kObjectStart,
  kObjectEnd,
  kArrayStart,
  kArrayEnd,
  kTrue,
  kFalse,
  kNull,
  kNumber,
  kString,
  kColon,
  kComma,
  kUnknown,
};

// The name a token has in parse errors: {, }, [, ], true, false, null, -+0-9., ", :, , or
// Unknown.
std::string_view TokenName(Token token);

enum class RequestName : uint8_t {
  kConnect,
  kDisconnect,
  kPrepare,
  kExecute,
  kCommandClose,
  kReaderClose,
  kNext,
  kMoreBlob,
  kNextResult,
  kTxBegin,
  kTxEnd,
  kVendorProperty,
  kUnknown,   // any other name: the message has been read to its end; no reply
  kMetadata,  // {"metadata":[...]}: read to its end; no reply
};

// "connect", "disconnect", ... for the named requests; empty for kUnknown and kMetadata.
std::string_view RequestNameText(RequestName name);
// Exact (case-sensitive) lookup.
std::optional<RequestName> RequestNameFromText(std::u16string_view text);

// What a reply is, by its first key.
enum class ReplyKind : uint8_t {
  kResult,    // {"result":[...]}
  kError,     // {"error":{...}   (the outer object is never closed)
  kMoreBlob,  // {"more_blob":[...]}: the server asks for the next piece of an input value
  kData,      // {"data":[...]}: a rows block sent on its own
  kOther,
};

struct RemoteErrorInfo {
  std::string class_name;  // UTF-8
  int32_t code = 0;
  std::u16string message;  // as sent, "Remote error: " included
};

class TRDBJSonStreamReader {
 public:
  // `channel` must remain live while this reader is in use.
  explicit TRDBJSonStreamReader(ByteChannel& channel, size_t buffer_size = kDefaultBufferSize,
                                const Limits& limits = {});

  // Caps from now on (a connection's caps grow once its client is admitted).
  void set_limits(const Limits& limits) { limits_ = limits; }

  // --- Request envelope (server side).
  // Reads {"method":"<name>" of the next request. For an unknown name, and for a metadata
  // message, the message is read to its closing brace. A first key other than "method" and
  // "metadata" is a parse error.
  RequestName ReadRequestName();
  // Skips blanks and commas, then reads "params", ':' and the '[' of the arguments.
  void ReadArgumentsStart();
  // Skip to the '}' closing the object (or the ']' closing the array) the reader is in,
  // counting nested ones and skipping string contents. After the arguments of a request,
  // SkipToEndOfObject ends the request.
  void SkipToEndOfObject();
  void SkipToEndOfArray();

  // --- Tokens.
  // The next token, blanks skipped. A string token's text is in last_string(), a number's
  // value in last_number().
  Token Next();
  // The next token must be `expected`.
  void Next(Token expected);
  // A ',' must come (blanks before it are skipped).
  void NextValueSeparator();
  // Numbers follow the byte before them directly (no blanks). An empty number directly before
  // ']' reads as 0. ReadInt keeps the low 32 bits.
  int32_t ReadInt();
  int64_t ReadLong();
  // The word true or false.
  bool ReadBoolean();
  // Skips every byte up to the next '"', then reads the string.
  std::u16string_view ReadString();
  // A string that must equal `key` (ASCII), then ':'.
  void ReadKey(std::string_view key);
  // The parse error "Expected:  '<expected>' found:  '<found>' ..." for a token the caller has
  // taken with Next() and cannot accept.
  [[noreturn]] void FailUnexpected(Token expected, Token found);

  std::u16string_view last_string() const { return chars_; }
  int64_t last_number() const { return last_number_; }

  // --- Binary data.
  // Exactly `count` raw bytes, whatever they are.
  void ReadDataBytes(uint8_t* buffer, size_t count);
  // Appends exactly `count` raw bytes to `out`, growing it only as the bytes arrive.
  void ReadDataBytes(common::Bytes& out, size_t count);
  // [<n>,<|n| bytes>] of a data block whose key has been read: appends the bytes to `out` and
  // returns n (negative for the last piece of a large value). |n| must not exceed
  // `max_bytes`, nor Limits::max_data_block. Accepts [0], [0,] and [].
  int64_t ReadDataArray(common::Bytes& out, uint64_t max_bytes = UINT64_MAX);
  // A whole {"data":[...]} object.
  int64_t ReadDataBlock(common::Bytes& out, uint64_t max_bytes = UINT64_MAX);

  // --- Replies (client side).
  // Reads '{', the first key and ':'.
  ReplyKind ReadReplyStart();
  // After ReadReplyStart() returned kError: the inner object, to its '}'. The outer object is
  // never closed, so nothing more belongs to the reply.
  RemoteErrorInfo ReadErrorBody();

  // True when unread bytes are buffered here or in the channel.
  bool HasMoreBytes() const { return pos_ < end_ || channel_.HasBufferedInput(); }
  size_t buffer_size() const { return buffer_.size(); }

 private:
  uint8_t Get() {
    if (pos_ == end_) Refill();
    return buffer_[pos_++];
  }
  uint8_t Peek() {
    if (pos_ == end_) Refill();
    return buffer_[pos_];
  }
  void Refill();
  void SkipBlanks();
  void ReadStringBody();
  void ExpectWord(std::string_view rest, std::string_view word);
  int64_t ScanNumber();
  void SkipTo(uint8_t open, uint8_t close);
  void AppendChar(char16_t c);
  [[noreturn]] void Fail(const std::string& message_before_position);
  [[noreturn]] void FailLimit(const std::string& message);

  ByteChannel& channel_;
  Limits limits_;
  RawBuffer buffer_;
  size_t pos_ = 0;  // next unread byte
  size_t end_ = 0;  // number of valid bytes
  std::u16string chars_;
  int64_t last_number_ = 0;
};

}  // namespace protocol

#endif  // DATASERVER_PROTOCOL_JSON_STREAM_READER_H_
