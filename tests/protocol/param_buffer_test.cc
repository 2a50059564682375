#include "protocol/param_buffer.h"

#include <gtest/gtest.h>

#include <functional>

#include "common/datetime.h"
#include "protocol/param_value.h"
#include "protocol/variant_stream.h"

namespace protocol {
namespace {

using common::Variant;
using Bytes = common::Bytes;

Bytes Row(const ParamBuffer& b) { return Bytes(b.row().begin(), b.row().end()); }

Bytes Drain(ValueSource& source) {
  Bytes out(static_cast<size_t>(source.Remaining()));
  EXPECT_EQ(source.Read(out.data(), out.size()), out.size());
  return out;
}

TEST(ParamBuffer, MinimumSizeFollowsTheWriterBuffer) {
  struct Case {
    size_t writer;
    size_t minimum;
  };
  for (const Case& c : {Case{32768, 30720}, Case{8192, 6144}, Case{2048, 0}, Case{1024, 1024},
                        Case{1024000, 1021952}}) {
    ParamBuffer b(c.writer);
    EXPECT_EQ(b.min_size(), c.minimum) << c.writer;
    EXPECT_EQ(b.length(), c.minimum);
  }
}

TEST(ParamBuffer, WritesTheValueExamples) {
  struct Case {
    const char* name;
    std::function<void(ParamBuffer&)> put;
    Bytes bytes;
  };
  const Bytes forty(40, 'x');
  const Case cases[] = {
      {"255", [](auto& b) { b.PutInt32(255); }, {0x61, 0xFF}},
      {"256", [](auto& b) { b.PutInt32(256); }, {0x62, 0x01, 0x00}},
      {"-1", [](auto& b) { b.PutInt32(-1); }, {0x21, 0x01}},
      {"2147483647", [](auto& b) { b.PutInt32(2147483647); }, {0x64, 0x7F, 0xFF, 0xFF, 0xFF}},
      {"int64", [](auto& b) { b.PutInt64(-300); }, {0x22, 0x01, 0x2C}},
      {"true", [](auto& b) { b.PutBoolean(true); }, {0x60}},
      {"1.0", [](auto& b) { b.PutDouble(1.0); }, {0x62, 0x3F, 0xF0}},
      {"0.0", [](auto& b) { b.PutDouble(0.0); }, {0x60}},
      {"-2.5", [](auto& b) { b.PutDouble(-2.5); }, {0x22, 0xC0, 0x04}},
      {"single", [](auto& b) { b.PutSingle(1.0f); }, {0x62, 0x3F, 0x80}},
      {"date-time",
       [](auto& b) { b.PutDateTime(common::EncodeDateTime(1970, 1, 2, 12, 0, 0, 250)); },
       {0x29, 0x64, 0x07, 0xB9, 0x8A, 0x00, 0x0E, 0xE6, 0xB2, 0x80}},
      {"abc", [](auto& b) { b.PutString(u"abc"); }, {0x23, 0x61, 0x62, 0x63}},
      {"empty text", [](auto& b) { b.PutString(u""); }, {0x20}},
      {"A数", [](auto& b) { b.PutString(u"A\u6570"); }, {0x24, 0x41, 0xFF, 0x65, 0x70}},
      {"40 bytes", [](auto& b) { b.PutString(std::u16string(40, u'x')); },
       [&] {
         Bytes e = {0x10, 0x00, 0x28};
         e.insert(e.end(), forty.begin(), forty.end());
         return e;
       }()},
      {"31 bytes", [](auto& b) { b.PutString(std::u16string(31, u'y')); },
       [] {
         Bytes e = {0x3F};
         e.insert(e.end(), 31, 'y');
         return e;
       }()},
      {"byte array 01 02 03",
       [](auto& b) {
         b.PutVariant(Variant::ByteArray({1, 2, 3}));
       },
       {0x10, 0x00, 0x0C, 0x03, 0x03, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x02, 0x03}},
      {"unassigned",
       [](auto& b) { b.PutVariant(Variant()); },
       {0x10, 0x00, 0x05, 0x02, 0, 0, 0, 0}},
      {"null", [](auto& b) { b.PutVariant(Variant::Null()); }, {0xC0}},
      {"empty stream",
       [](auto& b) { b.PutStream(std::make_unique<BytesSource>(Bytes{})); },
       {0x20}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ParamBuffer b(32768);
    c.put(b);
    EXPECT_EQ(Row(b), c.bytes);
    EXPECT_EQ(b.length(), 30720u);
  }
}

// The reply row of SQL2OleVariant: C0 for the in parameter, 20 for an empty ErrMsg, then the
// result's stream with 10 and its length.
TEST(ParamBuffer, BuildsAReplyRowFromTheStart) {
  ParamBuffer b(32768);
  b.PutString(u"stale");
  b.Rewind();
  b.PutNull();
  b.PutString(u"");
  EXPECT_EQ(b.PutVariant(Variant::ByteArray({0xAA, 0xBB})), nullptr);
  EXPECT_EQ(Row(b),
            (Bytes{0xC0, 0x20, 0x10, 0x00, 0x0B, 0x03, 0x02, 0, 0, 0, 0, 0, 0, 0, 0xAA, 0xBB}));
}

TEST(ParamBuffer, RowsReadBackValueByValue) {
  ParamBuffer b(8192);
  const double when = common::EncodeDateTime(2024, 5, 6, 7, 8, 9, 10);
  const Variant packed = Variant::VariantArrayOf({Variant::String(u"x"), Variant::Integer(1)});
  b.PutString(u"select * from t where n = '\u6570'");
  b.PutInt32(-42);
  b.PutBoolean(false);
  b.PutDateTime(when);
  b.PutVariant(packed);
  b.PutNull();
  b.PutDouble(3.25);
  b.PutInt64(INT64_MIN);
  ParamRowReader r(b.row());
  EXPECT_EQ(DecodeString(r.At(0), nullptr, 0), u"select * from t where n = '\u6570'");
  EXPECT_EQ(DecodeInt32(r.At(1)), -42);
  EXPECT_FALSE(DecodeBoolean(r.At(2)));
  EXPECT_DOUBLE_EQ(DecodeDateTime(r.At(3)), when);
  EXPECT_EQ(DecodeVariant(r.At(4), nullptr, 4), packed);
  EXPECT_TRUE(DecodeVariant(r.At(5), nullptr, 5).IsNull());
  EXPECT_EQ(DecodeDouble(r.At(6)), 3.25);
  EXPECT_EQ(DecodeInt64(r.At(7)), INT64_MIN);
}

TEST(ParamBuffer, FirstValueTravelsInlineUpToLMinus3) {
  ParamBuffer b(32768);
  EXPECT_EQ(b.PutString(std::u16string(30717, u'a')), nullptr);
  EXPECT_EQ(b.row()[0], kCompleteHeader);
  EXPECT_EQ(b.row().size(), 30720u);

  b.Rewind();
  auto rest = b.PutString(std::u16string(30718, u'b'));
  ASSERT_NE(rest, nullptr);
  EXPECT_EQ(Bytes(b.row().begin(), b.row().begin() + 3),
            (Bytes{0x50, 0x77, 0xFD}));  // 30717 inline
  EXPECT_EQ(b.row().size(), 30720u);
  EXPECT_EQ(Drain(*rest), Bytes{'b'});
  EXPECT_EQ(rest->blob_handle(), 1);
  EXPECT_EQ(b.length(), 30720u);
}

TEST(ParamBuffer, ValuesPastTheMinimumSizeGet1024InlineBytes) {
  ParamBuffer b(32768);
  b.PutString(std::u16string(29800, u'a'));  // offset 29803: 29803 + 1027 > 30720
  auto rest = b.PutString(std::u16string(2000, u'c'));
  ASSERT_NE(rest, nullptr);
  const auto row = b.row();
  EXPECT_EQ(row[29803], kContinuedHeader);
  EXPECT_EQ(common::LoadBE<uint16_t>(row.data() + 29804), 1024);
  EXPECT_EQ(rest->Remaining(), 976u);
  EXPECT_EQ(b.length(), 29803u + 1038);
  // A stream there: the same 1024.
  auto stream = b.PutVariant(Variant::ByteArray(Bytes(5000, 1)));
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(stream->Remaining(), 5009u - 1024);
  EXPECT_EQ(stream->blob_handle(), 2);
}

TEST(ParamBuffer, ReceivingALongerRowRaisesLengthAndMinimum) {
  ParamBuffer b(32768);
  const Bytes small = {0x60, 0x61, 0x05};
  EXPECT_EQ(b.Receive([&](Bytes& out) {
    out.insert(out.end(), small.begin(), small.end());
    return 3;
  }),
            3);
  EXPECT_EQ(Bytes(b.received().begin(), b.received().end()), small);
  EXPECT_EQ(b.length(), 30720u);
  EXPECT_EQ(b.min_size(), 30720u);

  b.Receive([](Bytes& out) {
    out.resize(200000, 0x60);
    return 200000;
  });
  EXPECT_EQ(b.received().size(), 200000u);
  EXPECT_EQ(b.length(), 200000u);
  EXPECT_EQ(b.min_size(), 200000u);
  // With L that large a value's capacity is capped by its 2-byte length.
  b.Rewind();
  auto rest = b.PutVariant(Variant::ByteArray(Bytes(70000, 7)));
  ASSERT_NE(rest, nullptr);
  EXPECT_EQ(common::LoadBE<uint16_t>(b.row().data() + 1), 65535);

  b.Receive([](Bytes& out) {
    out.push_back(0xC0);
    return 1;
  });
  EXPECT_EQ(b.length(), 200000u);
  b.TrimToMinimum();
  EXPECT_EQ(b.length(), 200000u);  // the minimum was raised too
}

TEST(ParamBuffer, GrowsOnlyByWhatIsWritten) {
  ParamBuffer b(1024);                           // M = L = 1024
  for (int i = 0; i < 341; ++i) b.PutInt32(-1);  // 682 bytes
  b.PutInt32(256);
  EXPECT_EQ(b.length(), 1024u);
  for (int i = 0; i < 200; ++i) b.PutInt32(-1);
  EXPECT_EQ(b.length(), 1085u);
  EXPECT_EQ(b.offset(), 1085u);
}

}  // namespace
}  // namespace protocol
