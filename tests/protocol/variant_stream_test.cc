#include "protocol/variant_stream.h"

#include <gtest/gtest.h>

#include <cmath>

#include "protocol/rdb_error.h"

namespace protocol {
namespace {

using common::Variant;
using common::VariantArray;
using Bytes = common::Bytes;

Variant IntArray(std::vector<int32_t> values, int32_t low) {
  VariantArray a;
  a.element_type = common::kVarInteger;
  a.bounds.push_back({low, static_cast<int32_t>(low + values.size() - 1)});
  for (int32_t v : values) common::AppendLE(a.raw, v);
  return Variant::Array(std::move(a));
}

// The packed parameter list's shape: an array of 7-element variant arrays.
Variant PackedParameter() {
  return Variant::VariantArrayOf({Variant::VariantArrayOf(
      {Variant::String(u"@Name"), Variant::String(u"\u6570\u636E"), Variant::ShortInt(24),
       Variant::ShortInt(1), Variant::Integer(50), Variant::Integer(0), Variant::Integer(0)})});
}

TEST(VariantStream, ExamplesAreByteExact) {
  struct Case {
    const char* name;
    Variant value;
    Bytes bytes;
  };
  const Case cases[] = {
      {"byte array", Variant::ByteArray({1, 2, 3}), {3, 3, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3}},
      {"unassigned", Variant(), {2, 0, 0, 0, 0}},
      {"integer", Variant::Integer(5), {2, 3, 0, 0, 0, 5, 0, 0, 0}},
      {"text", Variant::String(u"A\u6570"), {2, 8, 0, 0, 0, 2, 0, 0, 0, 0x41, 0, 0x70, 0x65}},
      {"boolean", Variant::Boolean(true), {2, 11, 0, 0, 0, 0xFF, 0xFF}},
      {"int array from 1", IntArray({7, -1}, 1), {2, 3, 0x20, 0, 0, 1,    0,    0,    0,   1,
                                                  0, 0, 0,    2, 0, 0,    0,    8,    0,   0,
                                                  0, 7, 0,    0, 0, 0xFF, 0xFF, 0xFF, 0xFF}},
      {"array of variants",
       Variant::VariantArrayOf({Variant::Null(), Variant::Byte(9)}),
       {2, 12, 0x20, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 17, 0, 0, 0, 9}},
      {"reference",
       Variant::Reference(Variant::Smallint(-2)),
       {2, 0, 0x40, 0, 0, 2, 0, 0, 0, 0xFE, 0xFF}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(EncodeVariantStream(c.value), c.bytes);
    EXPECT_EQ(DecodeVariantStream(c.bytes), c.value);
  }
}

TEST(VariantStream, EveryKindOfValueRoundTrips) {
  VariantArray matrix;
  matrix.element_type = common::kVarByte;
  matrix.bounds = {{0, 1}, {-1, 1}};
  matrix.raw = {1, 2, 3, 4, 5, 6};
  VariantArray texts;
  texts.element_type = common::kVarOleStr;
  texts.bounds = {{0, 1}};
  texts.items = {Variant::String(u"a"), Variant::String(u"")};
  VariantArray empty;
  empty.element_type = common::kVarDouble;
  empty.bounds = {{0, -1}};
  VariantArray wide_but_empty;  // a large dimension before an empty one holds no element
  wide_but_empty.bounds = {{INT32_MIN, INT32_MAX}, {INT32_MIN, INT32_MAX}, {0, 99999}, {1, 0}};
  const Variant values[] = {
      Variant::Null(),
      Variant::Smallint(-32768),
      Variant::Integer(INT32_MIN),
      Variant::Single(1.5f),
      Variant::Double(-0.1),
      Variant::Double(std::nan("")),
      Variant::Currency(-123456789),
      Variant::Date(45000.75),
      Variant::String(u""),
      Variant::String(std::u16string(300, u'\u4E2D')),
      Variant::Error(-2147352572),
      Variant::Boolean(false),
      Variant::ShortInt(-128),
      Variant::Byte(255),
      Variant::Word(65535),
      Variant::LongWord(4294967295u),
      Variant::Int64(INT64_MIN),
      Variant::UInt64(UINT64_MAX),
      Variant::ByteArray({}),
      Variant::ByteArray({5, 6}, 10),
      Variant::Array(matrix),
      Variant::Array(texts),
      Variant::Array(empty),
      Variant::Array(wide_but_empty),
      PackedParameter(),
      Variant::Reference(PackedParameter()),
  };
  for (const Variant& v : values) {
    SCOPED_TRACE(common::DebugString(v));
    const Bytes stream = EncodeVariantStream(v);
    if (v.IsByteArray()) {
      EXPECT_EQ(stream[0], kVariantKindByteArray);
      // Read back 0-based, and an empty one as null.
      const Variant back = DecodeVariantStream(stream);
      if (v.bytes().empty()) {
        EXPECT_TRUE(back.IsNull());
      } else {
        EXPECT_EQ(back, Variant::ByteArray(Bytes(v.bytes().begin(), v.bytes().end())));
      }
    } else {
      EXPECT_EQ(stream[0], kVariantKindGeneral);
      EXPECT_EQ(DecodeVariantStream(stream), v);
    }
  }
}

TEST(VariantStream, TextOnlyKindsTravelAsText) {
  EXPECT_EQ(DecodeVariantStream(EncodeVariantStream(Variant::AnsiString("abc"))),
            Variant::String(u"abc"));
  EXPECT_EQ(DecodeVariantStream(EncodeVariantStream(Variant::Custom(common::kVarFmtBcd, u"12.50"))),
            Variant::String(u"12.50"));
}

TEST(VariantStream, KindDecidesTheReading) {
  struct Case {
    const char* name;
    Bytes bytes;
    Variant value;
  };
  const Case cases[] = {
      {"empty stream", {}, Variant()},
      {"kind 1", {1}, Variant()},
      {"unknown kind", {7, 1, 2}, Variant()},
      {"count 0", {3, 0, 0, 0, 0, 0, 0, 0, 0}, Variant::Null()},
      {"negative count", {3, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}, Variant::Null()},
      {"high count bytes ignored", {3, 1, 0, 0, 0, 9, 9, 9, 9, 0xAB}, Variant::ByteArray({0xAB})},
      {"bytes after the value ignored", {3, 1, 0, 0, 0, 0, 0, 0, 0, 1, 2}, Variant::ByteArray({1})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(DecodeVariantStream(c.bytes), c.value);
  }
}

TEST(VariantStream, ObjectReferencesAreUnsupported) {
  struct Case {
    Bytes bytes;
    const char* message;
  };
  const Case cases[] = {
      {{2, 9, 0, 0, 0}, "Unsupported variant type: 0009"},
      {{2, 13, 0, 0, 0}, "Unsupported variant type: 000D"},
      {{2, 14, 0, 0, 0}, "Unsupported variant type: 000E"},
      {{2, 9, 0x20, 0, 0, 0, 0, 0, 0}, "Unsupported variant type: 2009"},
      {{2, 0, 0, 1, 0}, "Unsupported variant type: 10000"},
  };
  for (const Case& c : cases) {
    try {
      DecodeVariantStream(c.bytes);
      FAIL() << c.message;
    } catch (const TRDBError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
  VariantArray objects;
  objects.element_type = common::kVarDispatch;
  objects.bounds = {{0, -1}};
  try {
    EncodeVariantStream(Variant::Array(objects));
    FAIL() << "encoded";
  } catch (const TRDBError& e) {
    EXPECT_EQ(std::string(e.what()), "Unsupported variant type: 2009");
  }
}

TEST(VariantStream, TruncatedStreamsFailWithoutReadingPastTheirEnd) {
  const Bytes full = EncodeVariantStream(Variant::Reference(PackedParameter()));
  for (size_t n = 1; n < full.size(); ++n) {
    // Exact-size copies, so the sanitizers see any read past the end.
    const Bytes part(full.begin(), full.begin() + static_cast<ptrdiff_t>(n));
    EXPECT_THROW(DecodeVariantStream(part), TRDBError) << n;
  }
  const Bytes bytes = EncodeVariantStream(Variant::ByteArray({1, 2, 3}));
  for (size_t n = 1; n < bytes.size(); ++n) {
    const Bytes part(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(n));
    EXPECT_THROW(DecodeVariantStream(part), TRDBError) << n;
  }
}

TEST(VariantStream, ClaimedSizesAreCheckedBeforeAllocating) {
  struct Case {
    const char* name;
    Bytes bytes;
  };
  const Case cases[] = {
      {"text count", {2, 8, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F, 'a', 0}},
      {"array bounds", {2, 12, 0x20, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0xFF, 0xFF, 0x7F}},
      {"dimensions", {2, 12, 0x20, 0, 0, 65, 0, 0, 0}},
      {"negative dimensions", {2, 12, 0x20, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}},
      {"raw size mismatch",
       {2, 17, 0x20, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 3, 0, 0, 0, 1, 2, 3}},
      {"byte array count", {3, 0xFF, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      DecodeVariantStream(c.bytes);
      FAIL() << "decoded";
    } catch (const TRDBError& e) {
      EXPECT_EQ(e.code(), kParseErrorCode);
    }
  }
}

TEST(VariantStream, NestingAndElementCountAreCapped) {
  Variant deep = Variant::Integer(1);
  for (int i = 0; i < 10; ++i) deep = Variant::VariantArrayOf({deep});
  const Bytes stream = EncodeVariantStream(deep);
  Limits limits;
  EXPECT_EQ(DecodeVariantStream(stream, limits), deep);
  limits.max_variant_depth = 5;
  EXPECT_THROW(DecodeVariantStream(stream, limits), TRDBError);

  Limits few;
  few.max_variant_elements = 3;
  EXPECT_THROW(DecodeVariantStream(EncodeVariantStream(PackedParameter()), few), TRDBError);

  Variant too_deep = Variant::Integer(1);
  for (int i = 0; i < 100; ++i) too_deep = Variant::Reference(too_deep);
  EXPECT_THROW(EncodeVariantStream(too_deep), TRDBError);
  // A hostile stream of nested references ends in an error, not in stack exhaustion.
  Bytes refs = {2};
  for (int i = 0; i < 100000; ++i) refs.insert(refs.end(), {0, 0x40, 0, 0});
  EXPECT_THROW(DecodeVariantStream(refs), TRDBError);
}

TEST(VariantStream, ByteArraysStreamFromTheirOwnStorage) {
  Bytes payload(100000);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 31);
  const Variant v = Variant::ByteArray(payload);
  auto source = MakeVariantStreamSource(v);
  EXPECT_EQ(source->Remaining(), 100009u);
  Bytes streamed;
  uint8_t chunk[777];
  while (size_t n = source->Read(chunk, sizeof chunk))
    streamed.insert(streamed.end(), chunk, chunk + n);
  EXPECT_EQ(streamed, EncodeVariantStream(v));
  EXPECT_EQ(source->Remaining(), 0u);
  // Decoding a whole stream takes over its storage.
  EXPECT_EQ(DecodeVariantStream(std::move(streamed)), v);
}

}  // namespace
}  // namespace protocol
