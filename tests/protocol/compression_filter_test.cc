#include "protocol/compression_filter.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>

#include "protocol/limits.h"
#include "protocol/rdb_error.h"

namespace protocol {
namespace {

common::Bytes Text(size_t n) {
  common::Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>("abcdefgh"[i % 8]);
  return b;
}

common::Bytes Inflate(common::ByteSpan z) {
  common::Bytes out(1 << 20);
  uLongf n = out.size();
  EXPECT_EQ(uncompress(out.data(), &n, z.data(), z.size()), Z_OK);
  out.resize(n);
  return out;
}

TEST(CompressionFilter, PublishesItsParameters) {
  TTransportCompressionFilter f;
  EXPECT_EQ(f.Id(), "ZLibCompression");
  EXPECT_EQ(f.GetParameters(), (std::vector<std::string>{"FilterUnit", "CompressMoreThan"}));
  EXPECT_EQ(f.GetUserParameters(), (std::vector<std::string>{"CompressMoreThan"}));
  EXPECT_EQ(f.GetParameterValue("FilterUnit"), "RdbCompressionFilter");
  EXPECT_EQ(f.GetParameterValue("CompressMoreThan"), "1024");
  EXPECT_EQ(f.GetParameterValue("Other"), "");
  EXPECT_FALSE(f.SetParameterValue("Other", "1"));
  EXPECT_FALSE(f.GetPublicKeyCryptograph());
  EXPECT_TRUE(f.HandshakeComplete());
}

TEST(CompressionFilter, FilterUnitAcceptsOnlyItsOwnNameIgnoringCase) {
  TTransportCompressionFilter f;
  EXPECT_TRUE(f.SetConfederateParameter("FilterUnit", "RdbCompressionFilter"));
  EXPECT_TRUE(f.SetConfederateParameter("FilterUnit", "rdbcompressionFILTER"));
  EXPECT_FALSE(f.SetConfederateParameter("FilterUnit", "OtherFilter"));
  EXPECT_FALSE(f.SetConfederateParameter("FilterUnit", ""));
}

TEST(CompressionFilter, ThresholdIsADecimalInteger) {
  struct Case {
    const char* text;
    bool valid;
    int32_t value;
  };
  const Case cases[] = {{"2048", true, 2048},     {"-1", true, -1},
                        {"+7", true, 7},          {"2147483647", true, INT32_MAX},
                        {"abc", false, 0},        {"", false, 0},
                        {"1.5", false, 0},        {" 12", false, 0},
                        {"2147483648", false, 0}, {"$400", false, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    TTransportCompressionFilter f;
    if (c.valid) {
      EXPECT_TRUE(f.SetParameterValue("CompressMoreThan", c.text));
      EXPECT_EQ(f.compress_more_than(), c.value);
    } else {
      try {
        f.SetParameterValue("CompressMoreThan", c.text);
        FAIL() << "accepted";
      } catch (const TRDBError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "'" + std::string(c.text) + "' is not a valid integer value");
      }
      EXPECT_EQ(f.compress_more_than(), 1024);
    }
  }
}

// A message longer than the threshold leaves as 01 + a zlib stream at level 1 (byte for byte
// what zlib makes), anything else as 02 + the bytes; both decode back.
TEST(CompressionFilter, ThresholdDecidesTheMarker) {
  struct Case {
    size_t size;
    bool compressed;
  };
  for (const Case& c : {Case{0, false}, Case{1, false}, Case{1024, false}, Case{1025, true},
                        Case{2000, true}, Case{300000, true}}) {
    SCOPED_TRACE(c.size);
    TTransportCompressionFilter f;
    const common::Bytes data = Text(c.size);
    common::Bytes body = {0xEE};  // output is appended
    f.ProcessInput(data, body);
    ASSERT_GE(body.size(), 2u);
    EXPECT_EQ(body[0], 0xEE);
    if (c.compressed) {
      EXPECT_EQ(body[1], kCompressedMarker);
      common::Bytes expected(compressBound(data.size()));
      uLongf n = expected.size();
      ASSERT_EQ(compress2(expected.data(), &n, data.data(), data.size(), 1), Z_OK);
      expected.resize(n);
      EXPECT_EQ(common::Bytes(body.begin() + 2, body.end()), expected);
      EXPECT_EQ(Inflate(common::ByteSpan(body).subspan(2)), data);
    } else {
      EXPECT_EQ(body[1], kPlainMarker);
      EXPECT_EQ(common::Bytes(body.begin() + 2, body.end()), data);
    }
    common::Bytes decoded;
    f.ProcessOutput(common::ByteSpan(body).subspan(1), decoded, kDefaultLimit);
    EXPECT_EQ(decoded, data);
  }
}

TEST(CompressionFilter, AppliesAChangedThreshold) {
  TTransportCompressionFilter f;
  ASSERT_TRUE(f.SetParameterValue("CompressMoreThan", "10"));
  common::Bytes body;
  f.ProcessInput(Text(11), body);
  EXPECT_EQ(body[0], kCompressedMarker);
}

TEST(CompressionFilter, AnyMarkerButOneIsPlain) {
  TTransportCompressionFilter f;
  for (uint8_t marker : {0x00, 0x02, 0x03, 0xFF}) {
    const common::Bytes body = {marker, 'x', 'y'};
    common::Bytes out;
    f.ProcessOutput(body, out, kDefaultLimit);
    EXPECT_EQ(out, (common::Bytes{'x', 'y'}));
  }
  common::Bytes out;
  f.ProcessOutput({}, out, kDefaultLimit);
  EXPECT_TRUE(out.empty());
}

TEST(CompressionFilter, RefusesAZlibBomb) {
  TTransportCompressionFilter f;
  const common::Bytes zeros(16 << 20, 0);
  common::Bytes body;
  f.ProcessInput(zeros, body);
  ASSERT_LT(body.size(), 128u * 1024);
  common::Bytes out;
  try {
    f.ProcessOutput(body, out, 1 << 20);
    FAIL() << "inflated past the cap";
  } catch (const TRDBError& e) {
    EXPECT_EQ(std::string(e.what()), "Decompressed frame exceeds the limit of 1048576 bytes");
    EXPECT_TRUE(e.breaks_stream());
  }
  EXPECT_LE(out.size(), (1u << 20) + 1);
  // Exactly at the cap is fine.
  common::Bytes exact;
  f.ProcessOutput(body, exact, zeros.size());
  EXPECT_EQ(exact.size(), zeros.size());
}

TEST(CompressionFilter, CorruptOrTruncatedBodiesFailCleanly) {
  TTransportCompressionFilter f;
  std::mt19937 rng(7);
  common::Bytes data(5000);
  for (auto& b : data) b = static_cast<uint8_t>(rng() % 16);
  common::Bytes body;
  f.ProcessInput(data, body);
  for (size_t n = 1; n < body.size(); ++n) {
    common::Bytes out;
    EXPECT_THROW(f.ProcessOutput(common::ByteSpan(body).first(n), out, kDefaultLimit), TRDBError)
        << "truncated to " << n;
  }
  for (size_t i = 1; i < body.size(); ++i) {
    common::Bytes corrupt = body;
    ++corrupt[i];
    common::Bytes out;
    try {
      f.ProcessOutput(corrupt, out, kDefaultLimit);
    } catch (const TRDBError& e) {
      EXPECT_EQ(e.code(), kReadErrorCode);
      EXPECT_TRUE(e.breaks_stream());
    }
  }
  // The filter is still usable after failures.
  common::Bytes out;
  f.ProcessOutput(body, out, kDefaultLimit);
  EXPECT_EQ(out, data);
}

}  // namespace
}  // namespace protocol
