// Feeds arbitrary bytes to the message reader the way a connection's dispatcher reads them:
// requests of every kind with their arguments, data blocks into the parameter buffer and the
// values of the row; or, by the first byte, replies as a client reads them.
//
// Input: byte 0 chooses the reader's buffer size, the largest channel read and the side; the
// rest is the byte stream of the connection.
#include <cstddef>
#include <cstdint>

#include "memory_channel.h"
#include "protocol/json_stream_reader.h"
#include "protocol/param_buffer.h"
#include "protocol/param_value.h"
#include "protocol/rdb_error.h"

namespace protocol {
namespace {

Limits SmallLimits() {
  Limits limits;
  limits.max_data_block = 1 << 20;
  limits.max_string = 1 << 16;
  return limits;
}

void ReadRow(ParamBuffer& params, TRDBJSonStreamReader& reader, const Limits& limits) {
  params.Receive([&](common::Bytes& out) { return reader.ReadDataArray(out); });
  ParamRowReader row(params.received());
  for (size_t i = 0; i < 8; ++i) {
    const EncodedValue v = row.At(i);
    DecodeInt32(v);
    DecodeBoolean(v);
    DecodeDateTime(v);
    if (!v.continues()) {
      DecodeString(v, nullptr, static_cast<int>(i), limits);
      DecodeVariant(v, nullptr, static_cast<int>(i), limits);
    }
  }
}

bool OptionalMore(TRDBJSonStreamReader& reader) { return reader.Next() == Token::kComma; }

void ReadObjectArgument(TRDBJSonStreamReader& reader, ParamBuffer& params, const Limits& limits) {
  if (reader.Next() != Token::kString) return;
  const std::u16string key(reader.last_string());
  reader.Next(Token::kColon);
  if (key == u"handle") {
    reader.Next(Token::kArrayStart);
    reader.ReadInt();
    reader.Next(Token::kArrayEnd);
  } else if (key == u"fields") {
    reader.Next(Token::kArrayStart);
    reader.ReadInt();
    reader.NextValueSeparator();
    reader.ReadBoolean();
    reader.NextValueSeparator();
    reader.ReadString();
    reader.NextValueSeparator();
    reader.ReadString();
    reader.Next(Token::kArrayEnd);
  } else if (key == u"data") {
    try {
      ReadRow(params, reader, limits);
    } catch (const TRDBError& e) {
      if (e.breaks_stream()) throw;
      // A malformed row is answered with an error; its block has been read.
    }
    return;  // the caller skips to the end of the object
  } else {
    reader.SkipToEndOfObject();
    return;
  }
  reader.Next(Token::kObjectEnd);
}

void HandleRequest(TRDBJSonStreamReader& reader, ParamBuffer& params, const Limits& limits) {
  const RequestName name = reader.ReadRequestName();
  if (name == RequestName::kUnknown || name == RequestName::kMetadata) return;
  reader.ReadArgumentsStart();
  switch (name) {
    case RequestName::kConnect:
      reader.Next(Token::kObjectStart);
      for (Token t = reader.Next(); t != Token::kObjectEnd; t = reader.Next()) {
        if (t == Token::kComma) continue;
        reader.Next(Token::kColon);
        reader.Next(Token::kString);
      }
      break;
    case RequestName::kPrepare:
      reader.ReadInt();
      reader.NextValueSeparator();
      reader.ReadBoolean();
      reader.NextValueSeparator();
      reader.ReadString();
      reader.NextValueSeparator();
      reader.ReadString();
      break;
    case RequestName::kExecute:
      for (Token t = reader.Next(); t != Token::kArrayEnd; t = reader.Next()) {
        if (t == Token::kObjectStart) ReadObjectArgument(reader, params, limits);
      }
      break;
    case RequestName::kMoreBlob:
      reader.ReadInt();
      reader.NextValueSeparator();
      reader.ReadInt();
      reader.NextValueSeparator();
      reader.ReadLong();
      reader.NextValueSeparator();
      reader.ReadInt();
      if (OptionalMore(reader)) {
        reader.ReadBoolean();
        reader.NextValueSeparator();
        reader.ReadInt();
      }
      break;
    case RequestName::kNext:
      reader.ReadInt();
      reader.NextValueSeparator();
      reader.ReadLong();
      if (OptionalMore(reader)) reader.ReadInt();
      break;
    case RequestName::kTxEnd:
      reader.ReadBoolean();
      reader.NextValueSeparator();
      reader.ReadInt();
      break;
    case RequestName::kVendorProperty:
      reader.ReadString();
      break;
    default:
      reader.ReadInt();
      break;
  }
  reader.SkipToEndOfObject();
}

void HandleReply(TRDBJSonStreamReader& reader) {
  switch (reader.ReadReplyStart()) {
    case ReplyKind::kError:
      reader.ReadErrorBody();
      return;
    case ReplyKind::kData: {
      common::Bytes bytes;
      reader.ReadDataArray(bytes);
      reader.Next(Token::kObjectEnd);
      return;
    }
    default:
      reader.SkipToEndOfObject();
  }
}

}  // namespace
}  // namespace protocol

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace protocol;
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  test::MemoryChannel channel(common::Bytes(data + 1, data + size));
  channel.set_max_read(1 + (mode >> 4) * 37);
  const Limits limits = SmallLimits();
  TRDBJSonStreamReader reader(channel, size_t{16} << (mode & 7), limits);
  ParamBuffer params(8192);
  const bool replies = (mode & 8) != 0;
  for (;;) {
    try {
      if (replies) {
        HandleReply(reader);
      } else {
        HandleRequest(reader, params, limits);
      }
    } catch (const TRDBError& e) {
      if (e.breaks_stream()) break;  // the connection ends (also at the end of the input)
    }
  }
  return 0;
}
