// The zlib compression filter, id "ZLibCompression".
//
// Frame body layout:
//   01 <zlib stream, level 1>   the message was longer than "CompressMoreThan" bytes
//   02 <message bytes>          otherwise (a message of exactly the threshold stays plain)
// Decoding takes 01 as compressed and any other marker as plain.
//
// Parameters: "FilterUnit" (always "RdbCompressionFilter"; setting accepts only that text,
// ignoring case) and "CompressMoreThan" (the threshold, a decimal integer, default 1024).
//
// Thread use: one connection's thread. The zlib streams are kept between frames and reset per
// frame, so a frame costs no allocation once the buffers have grown.
#ifndef DATASERVER_PROTOCOL_COMPRESSION_FILTER_H_
#define DATASERVER_PROTOCOL_COMPRESSION_FILTER_H_

#include <memory>

#include "protocol/transport_filter.h"

namespace protocol {

inline constexpr char kCompressionFilterId[] = "ZLibCompression";
inline constexpr char kCompressionFilterUnit[] = "RdbCompressionFilter";
inline constexpr uint8_t kCompressedMarker = 0x01;
inline constexpr uint8_t kPlainMarker = 0x02;

class TTransportCompressionFilter : public TTransportFilter {
 public:
  TTransportCompressionFilter();
  ~TTransportCompressionFilter() override;

  std::string Id() const override { return kCompressionFilterId; }
  std::vector<std::string> GetParameters() const override;
  std::vector<std::string> GetUserParameters() const override;
  std::string GetParameterValue(std::string_view name) const override;
  // "CompressMoreThan" with a value that is not a decimal 32-bit integer throws a TRDBError
  // ("'<value>' is not a valid integer value").
  bool SetParameterValue(std::string_view name, std::string_view value) override;

  void ProcessInput(common::ByteSpan data, common::Bytes& out) override;
  // A corrupt or truncated zlib body, or one inflating past `max_output`, throws a TRDBError
  // that breaks the stream.
  void ProcessOutput(common::ByteSpan data, common::Bytes& out, uint64_t max_output) override;

  int32_t compress_more_than() const { return compress_more_than_; }

 private:
  struct ZStreams;
  int32_t compress_more_than_ = 1024;
  std::unique_ptr<ZStreams> z_;
};

}  // namespace protocol

#endif  // DATASERVER_PROTOCOL_COMPRESSION_FILTER_H_
