#include "protocol/param_value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <deque>

#include "common/datetime.h"
#include "memory_channel.h"
#include "protocol/rdb_error.h"

namespace protocol {
namespace {

using Bytes = common::Bytes;

template <typename T, typename Encode>
Bytes Encoded(Encode encode, T value) {
  uint8_t out[kMaxScalarSize];
  const size_t n = encode(out, value);
  return Bytes(out, out + n);
}

EncodedValue Split(const Bytes& bytes) {
  size_t size = 0;
  EncodedValue v = SplitValue(bytes, size);
  EXPECT_EQ(size, bytes.size());
  return v;
}

struct IntCase {
  int64_t value;
  Bytes bytes;
};

class Int32Encoding : public testing::TestWithParam<IntCase> {};

TEST_P(Int32Encoding, RoundTrips) {
  const auto& c = GetParam();
  EXPECT_EQ(Encoded(EncodeInt32, static_cast<int32_t>(c.value)), c.bytes);
  EXPECT_EQ(DecodeInt32(Split(c.bytes)), c.value);
  EXPECT_EQ(DecodeInt64(Split(c.bytes)), c.value);
}

INSTANTIATE_TEST_SUITE_P(Boundaries, Int32Encoding,
                         testing::Values(IntCase{0, {0x60}}, IntCase{5, {0x61, 0x05}},
                                         IntCase{255, {0x61, 0xFF}},
                                         IntCase{256, {0x62, 0x01, 0x00}},
                                         IntCase{300, {0x62, 0x01, 0x2C}},
                                         IntCase{-1, {0x21, 0x01}}, IntCase{-5, {0x21, 0x05}},
                                         IntCase{-300, {0x22, 0x01, 0x2C}},
                                         IntCase{2147483647, {0x64, 0x7F, 0xFF, 0xFF, 0xFF}},
                                         IntCase{INT32_MIN, {0x24, 0x80, 0x00, 0x00, 0x00}}));

class Int64Encoding : public testing::TestWithParam<IntCase> {};

TEST_P(Int64Encoding, RoundTrips) {
  const auto& c = GetParam();
  EXPECT_EQ(Encoded(EncodeInt64, c.value), c.bytes);
  EXPECT_EQ(DecodeInt64(Split(c.bytes)), c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, Int64Encoding,
    testing::Values(IntCase{0, {0x60}}, IntCase{4294967296, {0x65, 1, 0, 0, 0, 0}},
                    IntCase{-4294967296, {0x25, 1, 0, 0, 0, 0}},
                    IntCase{INT64_MAX, {0x68, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
                    IntCase{INT64_MIN, {0x28, 0x80, 0, 0, 0, 0, 0, 0, 0}}));

TEST(ParamValue, BooleansAreTheirHeader) {
  EXPECT_EQ(Encoded(EncodeBoolean, true), (Bytes{0x60}));
  EXPECT_EQ(Encoded(EncodeBoolean, false), (Bytes{0x20}));
  EXPECT_TRUE(DecodeBoolean(Split({0x60})));
  EXPECT_TRUE(DecodeBoolean(Split({0x61, 0x00})));  // bit 6 decides
  EXPECT_FALSE(DecodeBoolean(Split({0x20})));
  EXPECT_FALSE(DecodeBoolean(Split({0xC0})));
}

TEST(ParamValue, FloatsDropTrailingZeroBytes) {
  struct Case {
    double value;
    Bytes bytes;
  };
  const Case doubles[] = {
      {1.0, {0x62, 0x3F, 0xF0}},
      {0.0, {0x60}},
      {-2.5, {0x22, 0xC0, 0x04}},
      {-0.0, {0x21, 0x80}},
      {0.1, {0x68, 0x3F, 0xB9, 0x99, 0x99, 0x99, 0x99, 0x99, 0x9A}},
      {1.0000000000000002, {0x68, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0x01}},
      {std::ldexp(1.0, -1000), {0x62, 0x01, 0x70}},
  };
  for (const Case& c : doubles) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(Encoded(EncodeDouble, c.value), c.bytes);
    const double back = DecodeDouble(Split(c.bytes));
    EXPECT_EQ(common::DoubleBits(back), common::DoubleBits(c.value));
  }
  struct SingleCase {
    float value;
    Bytes bytes;
  };
  for (const SingleCase& c :
       {SingleCase{1.0f, {0x62, 0x3F, 0x80}}, SingleCase{0.0f, {0x60}},
        SingleCase{-2.5f, {0x22, 0xC0, 0x20}}, SingleCase{0.1f, {0x64, 0x3D, 0xCC, 0xCC, 0xCD}}}) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(Encoded(EncodeSingle, c.value), c.bytes);
    EXPECT_EQ(DecodeSingle(Split(c.bytes)), c.value);
  }
}

TEST(ParamValue, DateTimesCarryMillisecondsAsNanoseconds) {
  const double example = common::EncodeDateTime(1970, 1, 2, 12, 0, 0, 250);
  EXPECT_EQ(Encoded(EncodeDateTime, example),
            (Bytes{0x29, 0x64, 0x07, 0xB9, 0x8A, 0x00, 0x0E, 0xE6, 0xB2, 0x80}));
  EXPECT_EQ(Encoded(EncodeDateTime, common::EncodeDateTime(1970, 1, 1)), (Bytes{0x21, 0x60}));
  struct Case {
    int y, mo, d, h, mi, s, ms;
  };
  for (const Case& c : {Case{1970, 1, 2, 12, 0, 0, 250}, Case{1899, 12, 30, 0, 0, 0, 0},
                        Case{1899, 12, 29, 6, 0, 0, 0}, Case{1, 1, 1, 0, 0, 0, 1},
                        Case{9999, 12, 31, 23, 59, 59, 999}, Case{1969, 12, 31, 23, 59, 59, 999},
                        Case{2024, 2, 29, 13, 14, 15, 16}}) {
    const double value = common::EncodeDateTime(c.y, c.mo, c.d, c.h, c.mi, c.s, c.ms);
    SCOPED_TRACE(value);
    const common::DateTimeParts parts =
        common::DecodeDateTime(DecodeDateTime(Split(Encoded(EncodeDateTime, value))));
    EXPECT_EQ(parts.year, c.y);
    EXPECT_EQ(parts.month, c.mo);
    EXPECT_EQ(parts.day, c.d);
    EXPECT_EQ(parts.hour, c.h);
    EXPECT_EQ(parts.minute, c.mi);
    EXPECT_EQ(parts.second, c.s);
    EXPECT_EQ(parts.millisecond, c.ms);
  }
  uint8_t out[kMaxScalarSize];
  EXPECT_THROW(EncodeDateTime(out, 1e300), TRDBError);
  EXPECT_THROW(EncodeDateTime(out, std::nan("")), TRDBError);
}

TEST(ParamValue, StringsSwitchToTwoBytesAtTheFirstWideCharacter) {
  struct Case {
    std::u16string text;
    Bytes bytes;
  };
  const Case cases[] = {
      {u"abc", {0x61, 0x62, 0x63}},
      {u"", {}},
      {u"A\u6570", {0x41, 0xFF, 0x65, 0x70}},
      {u"\u00FE\u00FF", {0xFE, 0xFF, 0x00, 0xFF}},
      {u"\u6570a", {0xFF, 0x65, 0x70, 0x00, 0x61}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EncodedStringLength(c.text), c.bytes.size());
    Bytes out(c.bytes.size());
    EncodeStringBytes(c.text, out.data());
    EXPECT_EQ(out, c.bytes);
    EXPECT_EQ(DecodeStringBytes(c.bytes), c.text);
  }
  // An odd byte after the switch belongs to no character.
  EXPECT_EQ(DecodeStringBytes(Bytes{0x41, 0xFF, 0x65}), u"A");
}

// Each form's size by its header, and every truncation of it refused.
TEST(ParamValue, SplitsValuesByTheirHeader) {
  struct Case {
    Bytes bytes;
    Bytes body;
  };
  const Case cases[] = {
      {{0xC0}, {}},
      {{0xFF}, {}},
      {{0x02}, {}},
      {{0x60}, {}},
      {{0x23, 'a', 'b', 'c'}, {'a', 'b', 'c'}},
      {{0x10, 0x00, 0x02, 'x', 'y'}, {'x', 'y'}},
      {{0x50, 0x00, 0x01, 'x'}, {'x'}},
      {{0x40, 0x00, 0x00, 0x00, 0x02, '{', '}'}, {'{', '}'}},
      {{0x08, 1, 2, 3, 4}, {1, 2, 3, 4}},
      {{0x09, 1, 2, 3, 4, 0x22, 9, 9}, {1, 2, 3, 4, 0x22, 9, 9}},
      {{0x00, 7, 7, 0x00}, {7, 7}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    const EncodedValue v = Split(c.bytes);
    EXPECT_EQ(v.header, c.bytes[0]);
    EXPECT_EQ(Bytes(v.body.begin(), v.body.end()), c.body);
    for (size_t n = 0; n < c.bytes.size(); ++n) {
      size_t size = 0;
      EXPECT_THROW(SplitValue(common::ByteSpan(c.bytes).first(n), size), TRDBError) << n;
    }
  }
  for (uint8_t h : {0x01, 0x03, 0x04, 0x07}) {
    size_t size = 0;
    try {
      SplitValue(Bytes{h, 0, 0, 0}, size);
      FAIL() << int(h);
    } catch (const TRDBError& e) {
      EXPECT_EQ(e.code(), kParseErrorCode);
    }
  }
}

TEST(ParamValue, RowReaderFindsValuesByOrdinal) {
  const Bytes row = {0xC0, 0x23, 'a', 'b', 'c', 0x10, 0x00, 0x01, 'z', 0x62, 0x01, 0x2C};
  ParamRowReader reader(row);
  EXPECT_EQ(DecodeInt32(reader.At(3)), 300);
  EXPECT_TRUE(reader.At(0).is_null());
  EXPECT_EQ(DecodeString(reader.At(1), nullptr, 1), u"abc");
  EXPECT_EQ(DecodeString(reader.At(2), nullptr, 2), u"z");
  EXPECT_THROW(reader.At(4), TRDBError);
  ParamRowReader truncated(common::ByteSpan(row).first(7));
  EXPECT_THROW(truncated.At(2), TRDBError);
  ParamRowReader empty(Bytes{});
  EXPECT_THROW(empty.At(0), TRDBError);
}

TEST(ParamValue, NullAndWrongFormsReadAsSomeValueOfTheType) {
  const EncodedValue null{0xC0, {}};
  EXPECT_EQ(DecodeInt32(null), 0);
  EXPECT_EQ(DecodeInt64(null), 0);
  EXPECT_EQ(DecodeDouble(null), 0.0);
  EXPECT_EQ(DecodeDateTime(null), 0.0);
  EXPECT_EQ(DecodeString(null, nullptr, 0), u"");
  EXPECT_TRUE(DecodeVariant(null, nullptr, 0).IsNull());
  const Bytes text = {0x10, 0x00, 0x0A, '1', '2', '3', '4', '5', '6', '7', '8', '9', '0'};
  const EncodedValue v = Split(text);
  DecodeInt32(v);
  DecodeInt64(v);
  DecodeDouble(v);
  DecodeSingle(v);
  DecodeDateTime(v);
  DecodeDateTime(Split({0x2F, 0x6F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                        0xFF, 0xFF, 0xFF, 0xFF}));
  DecodeDateTime(Split({0x21, 0x68}));
}

TEST(ParamValue, JsonValuesNeedTheirHeader) {
  EXPECT_EQ(DecodeJsonText(Split({0x40, 0, 0, 0, 2, '{', '}'})), "{}");
  EXPECT_EQ(DecodeJsonText(Split({0xC0})), "");
  try {
    DecodeJsonText(Split({0x22, '{', '}'}));
    FAIL() << "decoded";
  } catch (const TRDBError& e) {
    EXPECT_EQ(std::string(e.what()), "Invalid JSON header byte encountered");
  }
}

// Pieces served from a list, recording the requests.
class ListFetcher : public PieceFetcher {
 public:
  explicit ListFetcher(std::deque<Bytes> pieces) : pieces_(std::move(pieces)) {}
  bool FetchPiece(int ordinal, Bytes& out, uint64_t max_bytes) override {
    ordinals.push_back(ordinal);
    if (pieces_.empty()) throw TRDBError("no more pieces");
    Bytes piece = std::move(pieces_.front());
    pieces_.pop_front();
    if (piece.size() > max_bytes) throw TRDBError("piece over budget", kParseErrorCode, true);
    out.insert(out.end(), piece.begin(), piece.end());
    return !pieces_.empty();
  }
  std::vector<int> ordinals;

 private:
  std::deque<Bytes> pieces_;
};

TEST(ParamValue, ContinuedValuesFetchTheirPieces) {
  // "A数" split after its inline byte.
  ListFetcher fetcher({{0xFF, 0x65}, {0x70}});
  EXPECT_EQ(DecodeString(Split({0x50, 0x00, 0x01, 0x41}), &fetcher, 4), u"A\u6570");
  EXPECT_EQ(fetcher.ordinals, (std::vector<int>{4, 4}));

  ListFetcher stream({{0, 0, 0, 0, 0, 0, 0, 9}, {8, 7}});
  const common::Variant v = DecodeVariant(Split({0x50, 0x00, 0x02, 0x03, 0x02}), &stream, 1);
  EXPECT_EQ(v, common::Variant::ByteArray({9, 8}));

  EXPECT_THROW(DecodeString(Split({0x50, 0x00, 0x01, 0x41}), nullptr, 0), TRDBError);
}

TEST(ParamValue, ContinuedValuesStopAtTheirCap) {
  Limits limits;
  limits.max_string = 4;
  ListFetcher fetcher({{'b', 'c'}, {'d', 'e'}, {'f'}});
  try {
    DecodeString(Split({0x50, 0x00, 0x01, 'a'}), &fetcher, 0, limits);
    FAIL() << "decoded";
  } catch (const TRDBError& e) {
    EXPECT_TRUE(e.breaks_stream());
  }
  EXPECT_EQ(fetcher.ordinals.size(), 2u);  // the second piece was refused by its budget
}

}  // namespace
}  // namespace protocol
