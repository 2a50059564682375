#include "service/payload_codec.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <string>
#include <thread>

namespace service {
namespace {

using common::Bytes;
using common::Variant;

// Text and numbers, as a saved dataset mostly is.
Bytes SampleContent(size_t size) {
  Bytes out;
  out.reserve(size);
  for (uint32_t row = 0; out.size() < size; ++row) {
    const std::string line = "row " + std::to_string(row) + ";name" + std::to_string(row % 97) +
                             ";" + std::to_string(row * 2654435761u) + "\r\n";
    out.insert(out.end(), line.begin(), line.end());
  }
  out.resize(size);
  return out;
}

TEST(PayloadCodec, EmptyStreamIsAnArrayWithoutElements) {
  const Variant v = StreamToByteArray(Bytes{});
  ASSERT_TRUE(v.IsByteArray());
  EXPECT_EQ(v.array().bounds[0].low, 0);
  EXPECT_EQ(v.array().bounds[0].high, -1);
  EXPECT_EQ(ByteArrayToStream(v), Bytes{});
}

TEST(PayloadCodec, ByteArrayHasBoundsZeroToLengthMinusOne) {
  const Variant v = StreamToByteArray(Bytes{1, 2, 3});
  ASSERT_TRUE(v.IsByteArray());
  EXPECT_EQ(v.array().bounds[0].low, 0);
  EXPECT_EQ(v.array().bounds[0].high, 2);
  EXPECT_EQ(v, Variant::ByteArray({1, 2, 3}));
}

TEST(PayloadCodec, AcceptsAnyLowerBoundAndAnyElementType) {
  EXPECT_EQ(ByteArrayToStream(Variant::ByteArray({10, 11, 12, 13, 14}, 5)),
            (Bytes{10, 11, 12, 13, 14}));
  EXPECT_EQ(ByteArrayToStream(Variant::ByteArray({7, 8}, -3)), (Bytes{7, 8}));
  // The count comes from the bounds and the data is read as bytes from the first element on.
  common::VariantArray ints;
  ints.element_type = common::kVarInteger;
  ints.bounds = {{1, 2}};
  ints.raw = {0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00};
  EXPECT_EQ(ByteArrayToStream(Variant::Array(ints)), (Bytes{0x01, 0x00}));
  EXPECT_EQ(ByteArrayToStream(Variant::Reference(Variant::ByteArray({9}))), Bytes{9});
}

TEST(PayloadCodec, NonArraysAndArraysWithoutByteDataGiveNull) {
  common::VariantArray short_data;  // bounds claim more bytes than the array holds
  short_data.element_type = common::kVarByte;
  short_data.bounds = {{0, 9}};
  short_data.raw = {1, 2};
  const Variant cases[] = {
      Variant(),
      Variant::Null(),
      Variant::String(u"not an array"),
      Variant::Integer(5),
      Variant::VariantArrayOf({Variant::Integer(1), Variant::Integer(2)}),
      Variant::Array(short_data),
  };
  for (const Variant& v : cases) {
    SCOPED_TRACE(common::DebugString(v));
    EXPECT_FALSE(ByteArrayToStream(v).has_value());
  }
}

TEST(PayloadCodec, CompressesEmptyStreamToTheEightByteZlibStream) {
  Bytes stream;
  CompressStreamInPlace(stream, 2);
  EXPECT_EQ(stream, (Bytes{0x78, 0x9C, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01}));
  DecompressStreamInPlace(stream);
  EXPECT_TRUE(stream.empty());
}

// What a fresh zlib stream (window bits 15, memory level 8, default strategy) gives.
Bytes FreshDeflate(const Bytes& in, int level) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  Bytes out(deflateBound(&z, static_cast<uLong>(in.size())));
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// Compression state is reused from one stream to the next (and by other threads): every
// stream must still be the one a fresh zlib stream gives, byte for byte.
TEST(PayloadCodec, EveryStreamIsTheOneAFreshZlibStreamGives) {
  const size_t sizes[] = {749, 0, 200000, 1, 70000, 3 << 20, 749};
  // (Level 0's stored blocks follow the output room zlib is given, so only the compressing
  // levels have one right answer.)
  const int32_t levels[] = {2, 1, 3};
  auto check_all = [&] {
    for (int round = 0; round < 2; ++round) {
      for (int32_t level : levels) {
        for (size_t size : sizes) {
          Bytes content = SampleContent(size);
          // Different content of the same size in the second round.
          if (round == 1 && !content.empty()) content[content.size() / 2] ^= 0x5A;
          Bytes stream = content;
          CompressStreamInPlace(stream, level);
          if (stream != FreshDeflate(content, ZlibLevel(level))) {
            ADD_FAILURE() << "level " << level << ", " << size << " bytes, round " << round;
          }
        }
      }
    }
  };
  std::thread other(check_all);
  check_all();
  other.join();
}

struct LevelCase {
  int32_t level;
  int zlib_level;
  uint8_t second_header_byte;
};

class CompressionLevel : public testing::TestWithParam<LevelCase> {};

TEST_P(CompressionLevel, MapsToZlibLevelAndHeader) {
  const LevelCase& c = GetParam();
  EXPECT_EQ(ZlibLevel(c.level), c.zlib_level);
  Bytes stream = SampleContent(10000);
  CompressStreamInPlace(stream, c.level);
  ASSERT_GE(stream.size(), 2u);
  EXPECT_EQ(stream[0], 0x78);
  EXPECT_EQ(stream[1], c.second_header_byte);
}

INSTANTIATE_TEST_SUITE_P(Table, CompressionLevel,
                         testing::Values(LevelCase{0, 0, 0x01}, LevelCase{1, 1, 0x01},
                                         LevelCase{2, Z_DEFAULT_COMPRESSION, 0x9C},
                                         LevelCase{3, 9, 0xDA}, LevelCase{7, 9, 0xDA},
                                         LevelCase{-1, 9, 0xDA}));

struct RoundTripCase {
  int32_t level;
  size_t size;
};

class PayloadRoundTrip : public testing::TestWithParam<RoundTripCase> {};

TEST_P(PayloadRoundTrip, GivesBackTheStartingBytes) {
  const Bytes original = SampleContent(GetParam().size);
  Bytes stream = original;
  CompressStreamInPlace(stream, GetParam().level);
  const Variant wire = StreamToByteArray(stream);
  std::optional<Bytes> back = ByteArrayToStream(wire);
  ASSERT_TRUE(back.has_value());
  DecompressStreamInPlace(*back);
  EXPECT_EQ(*back, original);
}

INSTANTIATE_TEST_SUITE_P(Sizes, PayloadRoundTrip,
                         testing::Values(RoundTripCase{2, 0}, RoundTripCase{2, 1},
                                         RoundTripCase{2, 512}, RoundTripCase{2, 513},
                                         RoundTripCase{2, 3 << 20}, RoundTripCase{0, 513},
                                         RoundTripCase{0, 3 << 20}, RoundTripCase{1, 3 << 20},
                                         RoundTripCase{3, 3 << 20}));

// A stream held in chunks compresses to the stream of its bytes in one piece, wherever the
// chunks end; the chunks are released.
TEST(PayloadCodec, ChunksCompressAsTheirJoinedBytes) {
  struct Case {
    const char* name;
    std::vector<size_t> chunk_sizes;
  };
  const Case cases[] = {
      {"NoChunks", {}},
      {"OneEmptyChunk", {0}},
      {"OneChunk", {70000}},
      {"EmptyChunksBetween", {0, 1000, 0, 0, 5000, 0}},
      {"ManyChunks", {65536, 65536, 131072, 1, 3 << 20, 17}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    size_t total = 0;
    for (size_t n : c.chunk_sizes) total += n;
    const Bytes content = SampleContent(total);
    common::ChunkedBytes chunked;
    size_t at = 0;
    for (size_t n : c.chunk_sizes) {
      chunked.chunks.emplace_back(content.begin() + at, content.begin() + at + n);
      at += n;
    }
    const Bytes compressed = CompressChunks(std::move(chunked), 2);
    EXPECT_TRUE(chunked.chunks.empty());
    EXPECT_EQ(compressed, FreshDeflate(content, ZlibLevel(2)));
    Bytes back = compressed;
    DecompressStreamInPlace(back);
    EXPECT_EQ(back, content);
  }
}

TEST(PayloadCodec, TruncatedInputGivesAPrefixWithoutError) {
  const Bytes original = SampleContent(200000);
  Bytes compressed = original;
  CompressStreamInPlace(compressed, 2);
  for (size_t cut : {compressed.size() / 2, compressed.size() - 4, size_t{2}, size_t{0}}) {
    SCOPED_TRACE(cut);
    Bytes stream(compressed.begin(), compressed.begin() + cut);
    DecompressStreamInPlace(stream);
    ASSERT_LE(stream.size(), original.size());
    EXPECT_TRUE(std::equal(stream.begin(), stream.end(), original.begin()));
    if (cut == compressed.size() / 2) {
      EXPECT_GT(stream.size(), 0u);
    }
  }
}

TEST(PayloadCodec, RejectedDataFailsAndKeepsTheCompressedContent) {
  Bytes valid = SampleContent(5000);
  CompressStreamInPlace(valid, 2);

  Bytes bad_trailer = valid;
  bad_trailer.back() ^= 0xFF;
  Bytes corrupt = valid;
  corrupt[valid.size() / 2] ^= 0x55;
  corrupt[valid.size() / 2 + 1] ^= 0xAA;

  // The same content as raw deflate and as gzip: only the zlib wrapper is accepted.
  auto wrapped = [](int window_bits) {
    Bytes content = SampleContent(5000);
    Bytes out(compressBound(content.size()) + 64);
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY);
    z.next_in = content.data();
    z.avail_in = static_cast<uInt>(content.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
  };

  const std::pair<const char*, Bytes> cases[] = {
      {"text", Bytes{'h', 'e', 'l', 'l', 'o'}},
      {"bad trailer", bad_trailer},
      {"corrupt data", corrupt},
      {"raw deflate", wrapped(-15)},
      {"gzip", wrapped(31)},
  };
  for (const auto& [name, input] : cases) {
    SCOPED_TRACE(name);
    Bytes stream = input;
    EXPECT_THROW(DecompressStreamInPlace(stream), EDecompressionError);
    EXPECT_EQ(stream, input);
  }
}

TEST(PayloadCodec, RefusesOutputBeyondTheLimit) {
  const Bytes original(1 << 20, 'x');
  Bytes compressed = original;
  CompressStreamInPlace(compressed, 2);

  Bytes stream = compressed;
  try {
    DecompressStreamInPlace(stream, 100000);
    FAIL() << "no error";
  } catch (const EDecompressionError& e) {
    EXPECT_EQ(e.class_name(), "EDecompressionError");
    EXPECT_NE(std::string(e.what()).find("100000"), std::string::npos);
  }
  EXPECT_EQ(stream, compressed);

  stream = compressed;
  DecompressStreamInPlace(stream, original.size());  // exactly at the limit is allowed
  EXPECT_EQ(stream, original);
}

TEST(PayloadCodec, InflatesWithinTheMemoryBudgetAndGivesItBack) {
  const Bytes original(8 << 20, 'x');
  Bytes compressed = original;
  CompressStreamInPlace(compressed, 2);

  common::MemoryBudget small(4 << 20);
  small.set_wait(std::chrono::milliseconds(0));
  Bytes stream = compressed;
  try {
    DecompressStreamInPlace(stream, kDefaultMaxPayloadSize, &small);
    FAIL() << "no error";
  } catch (const EDecompressionError& e) {
    EXPECT_NE(std::string(e.what()).find("no memory free"), std::string::npos) << e.what();
  }
  EXPECT_EQ(stream, compressed);
  EXPECT_EQ(small.reserved(), 0u);

  common::MemoryBudget enough(64 << 20);
  DecompressStreamInPlace(stream, kDefaultMaxPayloadSize, &enough);
  EXPECT_EQ(stream, original);
  EXPECT_EQ(enough.reserved(), 0u) << "the reservation ends with the inflation";
}

}  // namespace
}  // namespace service
