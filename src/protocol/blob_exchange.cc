#include "protocol/blob_exchange.h"

#include "common/error.h"
#include "common/text.h"
#include "protocol/rdb_error.h"

namespace protocol {

bool ServerPieceFetcher::FetchPiece(int ordinal, common::Bytes& out, uint64_t max_bytes) {
  if (ordinal != ordinal_) {
    ordinal_ = ordinal;
    blob_handle_ = params_.NextBlobHandle();
  }
  writer_.WriteMoreBlobRequest(command_handle_, blob_handle_, row_, ordinal, row_handle_);
  return reader_.ReadDataBlock(out, max_bytes) > 0;
}

bool ClientPieceFetcher::FetchPiece(int ordinal, common::Bytes& out, uint64_t max_bytes) {
  if (ordinal != ordinal_) {
    ordinal_ = ordinal;
    ++blob_handle_;
  }
  writer_.WriteRequestStart(RequestName::kMoreBlob);
  writer_.WriteInt(command_handle_);
  writer_.WriteValueSeparator();
  writer_.WriteInt(blob_handle_);
  writer_.WriteValueSeparator();
  writer_.WriteLong(row_);
  writer_.WriteValueSeparator();
  writer_.WriteInt(ordinal);
  writer_.WriteValueSeparator();
  writer_.WriteBoolean(row_handle_ == 0);  // the value belongs to the parameter row
  writer_.WriteValueSeparator();
  writer_.WriteInt(row_handle_);
  writer_.WriteRequestEnd();
  writer_.Flush();
  switch (reader_.ReadReplyStart()) {
    case ReplyKind::kResult: {
      reader_.Next(Token::kArrayStart);
      const int64_t count = reader_.ReadDataBlock(out, max_bytes);
      reader_.Next(Token::kArrayEnd);
      reader_.Next(Token::kObjectEnd);
      return count > 0;
    }
    case ReplyKind::kError: {
      const RemoteErrorInfo error = reader_.ReadErrorBody();
      throw common::Error(error.class_name, common::Utf16ToUtf8(error.message), error.code);
    }
    default:
      throw TRDBError("Unexpected reply to more_blob", kParseErrorCode, true);
  }
}

}  // namespace protocol
