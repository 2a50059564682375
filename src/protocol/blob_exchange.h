// The "more_blob" exchanges that carry the continuation pieces of large values, for both
// directions of a call.
//
// Server reading an input value (while it converts an execute's arguments):
//   server  {"more_blob":[<command>,<blob>,<row>,<ordinal>,<row handle>]}   flushed
//   client  {"data":[<count>,<bytes>]}                                      one piece
// repeated until a count <= 0. ServerPieceFetcher is that loop's server half; the client
// answers with TRDBJSonStreamWriter::WritePiece on the value's ValueSource.
//
// Client reading an output value (after the execute reply):
//   client  {"method":"more_blob","params":[<command>,<blob>,<row>,<ordinal>,<flag>,<row handle>]}
//   server  {"result":[{"data":[<count>,<bytes>]}]}   (WriteMoreBlobReply)
// ClientPieceFetcher is the client half; an error reply is thrown as a common::Error with the
// server's class name, code and message.
//
// Thread use: one connection's thread; the reader and writer must outlive the fetcher.
#ifndef DATASERVER_PROTOCOL_BLOB_EXCHANGE_H_
#define DATASERVER_PROTOCOL_BLOB_EXCHANGE_H_

#include <cstdint>

#include "protocol/json_stream_reader.h"
#include "protocol/json_stream_writer.h"
#include "protocol/param_buffer.h"
#include "protocol/value_source.h"

namespace protocol {

class ServerPieceFetcher : public PieceFetcher {
 public:
  // Blob handles come from `params`' counter, one per value. `params` must outlive the fetcher.
  ServerPieceFetcher(TRDBJSonStreamReader& reader, TRDBJSonStreamWriter& writer,
                     ParamBuffer& params, int32_t command_handle, int32_t row_handle = 0,
                     int64_t row = 0)
      : reader_(reader),
        writer_(writer),
        params_(params),
        command_handle_(command_handle),
        row_handle_(row_handle),
        row_(row) {}

  bool FetchPiece(int ordinal, common::Bytes& out, uint64_t max_bytes) override;

 private:
  TRDBJSonStreamReader& reader_;
  TRDBJSonStreamWriter& writer_;
  ParamBuffer& params_;
  int32_t command_handle_;
  int32_t row_handle_;
  int64_t row_;
  int ordinal_ = -1;
  int32_t blob_handle_ = 0;
};

class ClientPieceFetcher : public PieceFetcher {
 public:
  ClientPieceFetcher(TRDBJSonStreamReader& reader, TRDBJSonStreamWriter& writer,
                     int32_t command_handle, int32_t row_handle = 0, int64_t row = 0)
      : reader_(reader),
        writer_(writer),
        command_handle_(command_handle),
        row_handle_(row_handle),
        row_(row) {}

  bool FetchPiece(int ordinal, common::Bytes& out, uint64_t max_bytes) override;

 private:
  TRDBJSonStreamReader& reader_;
  TRDBJSonStreamWriter& writer_;
  int32_t command_handle_;
  int32_t row_handle_;
  int64_t row_;
  int ordinal_ = -1;
  int32_t blob_handle_ = 0;
};

}  // namespace protocol

#endif  // DATASERVER_PROTOCOL_BLOB_EXCHANGE_H_
