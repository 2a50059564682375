#include "storage/bin_storage.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "storage/stream_test_util.h"

namespace storage {
namespace {

using testing::Container;
using testing::Hex;
using testing::ToHex;

// Writes with `write` into a fresh container of `version` and returns the body (between the
// header and the dictionary) and the dictionary names.
struct Written {
  common::Bytes all;
  common::Bytes body;
  std::vector<std::string> names;
};

Written Write(const std::function<void(TDABinStorage&)>& write, uint16_t version = 15) {
  Written w;
  TDAResOptions options;
  options.StoreVersion = version;
  auto s = TDABinStorage::OpenWrite(w.all, &options);
  write(*s);
  s->Close();
  w.names = s->DictionaryNames();
  const uint32_t d = common::LoadLE<uint32_t>(w.all.data() + 8);
  w.body.assign(w.all.begin() + 12, w.all.begin() + d);
  auto r = TDABinStorage::OpenRead(w.all);
  w.names = r->DictionaryNames();
  return w;
}

int Code(const std::function<void()>& f) {
  try {
    f();
  } catch (const EDAException& e) {
    return e.DACode();
  }
  return 0;
}

TEST(BinStorage, EmptyContainerIsHeaderBodyAndDictionary) {
  Written w = Write([](TDABinStorage& s) {
    s.WriteObjectBegin("Manager");
    s.WriteObjectEnd();
  });
  EXPECT_EQ(ToHex(w.all), ToHex(Container(15, Hex("FF 00 FE"), {"Manager"})));
  EXPECT_EQ(w.all.size(), 12u + 3u + 2u + 14u);
}

TEST(BinStorage, AppendsAfterExistingBytesWithOffsetsFromTheContainerStart) {
  common::Bytes out = {1, 2, 3};
  auto s = TDABinStorage::OpenWrite(out);
  s->WriteObjectBegin("A");
  s->WriteObjectEnd();
  s->Close();
  EXPECT_EQ(ToHex(out),
            ToHex(common::Bytes{1, 2, 3}) + " " + ToHex(Container(15, Hex("FF 00 FE"), {"A"})));
}

TEST(BinStorage, NamesDifferingInCaseShareTheFirstSpelling) {
  Written w = Write([](TDABinStorage& s) {
    s.WriteInteger("RowID", 1, 0);
    s.WriteInteger("ROWID", 2, 0);
    s.WriteInteger("rowid", 3, 0);
  });
  EXPECT_EQ(ToHex(w.body), "00 00 01 00 00 00 00 00 02 00 00 00 00 00 03 00 00 00");
  EXPECT_EQ(w.names, std::vector<std::string>({"RowID"}));
}

TEST(BinStorage, The255thNameGetsId256AfterTheReservedNames) {
  Written w = Write([](TDABinStorage& s) {
    for (int i = 0; i < 254; ++i) EXPECT_EQ(s.EnterName("n" + std::to_string(i)), i);
    EXPECT_EQ(s.EnterName("n254"), 256);
    s.WriteBoolean("n254", true, false);
  });
  ASSERT_EQ(w.names.size(), 257u);
  EXPECT_EQ(w.names[253], "n253");
  EXPECT_EQ(w.names[254], "<end>");
  EXPECT_EQ(w.names[255], "<begin>");
  EXPECT_EQ(w.names[256], "n254");
  EXPECT_EQ(ToHex(w.body), "00 01 01");
}

TEST(BinStorage, RefusesNamesThatCannotBeRepresented) {
  common::Bytes out;
  auto s = TDABinStorage::OpenWrite(out);
  for (int i = 0; i < 254; ++i) s->EnterName("n" + std::to_string(i));
  // An object name keeps only its id's low byte.
  EXPECT_EQ(Code([&] { s->WriteObjectBegin("Object"); }), kDAErrDictOverflow);
  for (int i = 257; i < 510; ++i) s->EnterName("m" + std::to_string(i));
  // Id 510 would read back as an object begin or end byte.
  EXPECT_EQ(Code([&] { s->EnterName("one more"); }), kDAErrDictOverflow);
  EXPECT_EQ(s->EnterName("N0"), 0);
}

struct PropertyCase {
  const char* name;
  std::function<void(TDABinStorage&)> write;
  const char* body;  // hex; empty when nothing is written
  std::function<void(TDABinStorage&)> check;
};

class PropertyEncoding : public ::testing::TestWithParam<PropertyCase> {};

TEST_P(PropertyEncoding, WritesItsBytesAndReadsBack) {
  const PropertyCase& c = GetParam();
  Written w = Write(c.write);
  EXPECT_EQ(ToHex(w.body), c.body);
  auto r = TDABinStorage::OpenRead(w.all);
  c.check(*r);
  EXPECT_EQ(r->GetBookmark(), 12u + w.body.size());
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Kinds, PropertyEncoding,
    ::testing::Values(
        PropertyCase{"BooleanTrue", [](TDABinStorage& s) { s.WriteBoolean("B", true, false); },
                     "00 00 01", [](TDABinStorage& s) { EXPECT_TRUE(s.ReadBoolean("B", false)); }},
        PropertyCase{"BooleanDefault", [](TDABinStorage& s) { s.WriteBoolean("B", true, true); },
                     "", [](TDABinStorage& s) { EXPECT_TRUE(s.ReadBoolean("B", true)); }},
        PropertyCase{"Integer", [](TDABinStorage& s) { s.WriteInteger("I", -2, 0); },
                     "00 00 FE FF FF FF",
                     [](TDABinStorage& s) { EXPECT_EQ(s.ReadInteger("I", 0), -2); }},
        PropertyCase{"LongWord", [](TDABinStorage& s) { s.WriteLongWord("L", 0xFFFFFFFE, 7); },
                     "00 00 FE FF FF FF",
                     [](TDABinStorage& s) { EXPECT_EQ(s.ReadLongWord("L", 7), 0xFFFFFFFEu); }},
        PropertyCase{"Int64", [](TDABinStorage& s) { s.WriteInt64("J", 1LL << 40, 0); },
                     "00 00 00 00 00 00 00 01 00 00",
                     [](TDABinStorage& s) { EXPECT_EQ(s.ReadInt64("J", 0), 1LL << 40); }},
        PropertyCase{"Float", [](TDABinStorage& s) { s.WriteFloat("F", 1.0, 0.0); },
                     "00 00 00 00 00 00 00 00 F0 3F",
                     [](TDABinStorage& s) { EXPECT_EQ(s.ReadFloat("F", 0.0), 1.0); }},
        PropertyCase{"FloatNegativeZeroEqualsZero",
                     [](TDABinStorage& s) { s.WriteFloat("F", -0.0, 0.0); }, "",
                     [](TDABinStorage& s) { EXPECT_EQ(s.ReadFloat("F", 0.0), 0.0); }},
        PropertyCase{"NaNIsWrittenEvenWhenTheDefaultIsNaN",
                     [](TDABinStorage& s) { s.WriteFloat("F", kNaN, kNaN); },
                     "00 00 00 00 00 00 00 00 F8 7F",
                     [](TDABinStorage& s) { EXPECT_TRUE(std::isnan(s.ReadFloat("F", 0.0))); }},
        PropertyCase{"Date", [](TDABinStorage& s) { s.WriteDate("D", 36526.5, 0.0); },
                     "00 00 00 00 00 00 D0 D5 E1 40",
                     [](TDABinStorage& s) { EXPECT_EQ(s.ReadDate("D", 0.0), 36526.5); }},
        PropertyCase{"String", [](TDABinStorage& s) { s.WriteString("S", "T", ""); },
                     "00 00 02 00 00 00 54 00",
                     [](TDABinStorage& s) { EXPECT_EQ(s.ReadString("S", ""), "T"); }},
        PropertyCase{"StringNonAscii", [](TDABinStorage& s) { s.WriteString("S", "表", ""); },
                     "00 00 02 00 00 00 68 88",
                     [](TDABinStorage& s) { EXPECT_EQ(s.ReadString("S", ""), "表"); }},
        PropertyCase{"EmptyStringsCostNothing",
                     [](TDABinStorage& s) { s.WriteString("S", "", ""); }, "",
                     [](TDABinStorage& s) { EXPECT_EQ(s.ReadString("S", "x"), "x"); }},
        PropertyCase{"EmptyStringAgainstANonEmptyDefault",
                     [](TDABinStorage& s) { s.WriteString("S", "", "Column"); },
                     "00 00 00 00 00 00",
                     [](TDABinStorage& s) { EXPECT_EQ(s.ReadString("S", "Column"), ""); }},
        PropertyCase{"StringDefaultComparesCase",
                     [](TDABinStorage& s) { s.WriteString("S", "column", "Column"); },
                     "00 00 0C 00 00 00 63 00 6F 00 6C 00 75 00 6D 00 6E 00",
                     [](TDABinStorage& s) { EXPECT_EQ(s.ReadString("S", ""), "column"); }},
        PropertyCase{"AnsiString", [](TDABinStorage& s) { s.WriteAnsiString("A", "\xB1\xED", ""); },
                     "00 00 02 00 00 00 B1 ED",
                     [](TDABinStorage& s) { EXPECT_EQ(s.ReadAnsiString("A", ""), "\xB1\xED"); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BinStorage, AbsentPropertiesGiveTheirDefaultsAndConsumeNothing) {
  Written w = Write([](TDABinStorage& s) {
    s.WriteInteger("Other", 5, 0);
    s.WriteObjectBegin("X");
    s.WriteObjectEnd();
  });
  auto r = TDABinStorage::OpenRead(w.all);
  EXPECT_EQ(r->ReadInteger("Missing", 42), 42);
  EXPECT_EQ(r->ReadString("Missing", "d"), "d");
  EXPECT_FALSE(r->TestProperty("Missing"));
  EXPECT_TRUE(r->TestProperty("OTHER"));
  EXPECT_EQ(r->ReadInteger("other", 0), 5);
  // An object begin is never taken as a property.
  EXPECT_FALSE(r->TestProperty("X"));
  EXPECT_TRUE(r->TestObject("x"));
  EXPECT_EQ(r->ReadObjectBegin(), "X");
  EXPECT_TRUE(r->IsObjectEnd());
}

TEST(BinStorage, EnumerationsInTheThreeStreamForms) {
  struct Case {
    uint16_t version;
    const char* body;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {15, "01 00 00 00", {"rsModified", "RowState"}},
      {5, "01 00 00 00", {"rsModified", "RowState"}},
      {4, "00 00 10 00 00 00 4D 00 6F 00 64 00 69 00 66 00 69 00 65 00 64 00", {"RowState"}},
      {3, "00 00 10 00 00 00 4D 00 6F 00 64 00 69 00 66 00 69 00 65 00 64 00", {"RowState"}},
      {2, "00 00 04 00 00 00", {"RowState"}},
      {1, "00 00 04 00 00 00", {"RowState"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    Written w = Write(
        [](TDABinStorage& s) {
          s.WriteEnum("RowState", TDAMemRowState::rsModified, TDAMemRowState::rsUnchanged);
          s.WriteEnum("RowState", TDAMemRowState::rsUnchanged, TDAMemRowState::rsUnchanged);
        },
        c.version);
    EXPECT_EQ(ToHex(w.body), c.body);
    EXPECT_EQ(w.names, c.names);
    auto r = TDABinStorage::OpenRead(w.all);
    EXPECT_EQ(r->ReadEnum("RowState", TDAMemRowState::rsUnchanged), TDAMemRowState::rsModified);
    EXPECT_EQ(r->ReadEnum("RowState", TDAMemRowState::rsUnchanged), TDAMemRowState::rsUnchanged);
  }
}

TEST(BinStorage, Version1DataTypesUseTheOlderOrdinals) {
  // 10 is dtDouble in the older vocabulary.
  const common::Bytes r_bytes = Container(1, Hex("00 00 0A 00 00 00"), {"DataType"});
  auto r = TDABinStorage::OpenRead(r_bytes);
  EXPECT_EQ(r->ReadEnum("DataType", DataType::dtUnknown), DataType::dtDouble);
  Written w = Write(
      [](TDABinStorage& s) { s.WriteEnum("DataType", DataType::dtDate, DataType::dtUnknown); }, 1);
  EXPECT_EQ(ToHex(w.body), "00 00 10 00 00 00");
  Written two = Write(
      [](TDABinStorage& s) { s.WriteEnum("DataType", DataType::dtDate, DataType::dtUnknown); }, 2);
  EXPECT_EQ(ToHex(two.body), "00 00 12 00 00 00");
  EXPECT_THROW(Write(
                   [](TDABinStorage& s) {
                     s.WriteEnum("DataType", DataType::dtWideString, DataType::dtUnknown);
                   },
                   1),
               std::invalid_argument);
}

TEST(BinStorage, LastEnumerationIdentifierIsReused) {
  Written w = Write([](TDABinStorage& s) {
    for (int i = 0; i < 3; ++i) {
      s.WriteEnum("RowState", TDAMemRowState::rsInserted, TDAMemRowState::rsUnchanged);
    }
    s.WriteEnum("RowState", TDAMemRowState::rsDeleted, TDAMemRowState::rsUnchanged);
  });
  EXPECT_EQ(ToHex(w.body), "01 00 00 00 01 00 00 00 01 00 00 00 01 00 02 00");
  EXPECT_EQ(w.names, std::vector<std::string>({"rsInserted", "RowState", "rsDeleted"}));
}

TEST(BinStorage, ColumnValuesByIndexAndByNameBeforeVersion4) {
  const uint8_t one[4] = {1, 0, 0, 0};
  Written v15 = Write([&](TDABinStorage& s) {
    s.WriteValue("ID", 3, DataType::dtInt32, StoredValue::Of(one, 4));
    s.WriteValue("N", 4, DataType::dtInt32, StoredValue::Null());
  });
  EXPECT_EQ(ToHex(v15.body), "03 00 01 00 00 00");
  Written v3 = Write(
      [&](TDABinStorage& s) { s.WriteValue("ID", 3, DataType::dtInt32, StoredValue::Of(one, 4)); },
      3);
  EXPECT_EQ(ToHex(v3.body), "00 00 01 00 00 00");
  EXPECT_EQ(v3.names, std::vector<std::string>({"ID"}));
  auto r = TDABinStorage::OpenRead(v3.all);
  StoredValue v;
  EXPECT_FALSE(r->ReadValue("OTHER", 0, DataType::dtInt32, v));
  ASSERT_TRUE(r->ReadValue("id", 0, DataType::dtInt32, v));
  EXPECT_EQ(ToHex(v.bytes()), "01 00 00 00");
}

TEST(BinStorage, ValueWithALargerIndexReadsAsNullAndConsumesNothing) {
  const common::Bytes r_bytes = Container(15, Hex("05 00 07 00 00 00"), {});
  auto r = TDABinStorage::OpenRead(r_bytes);
  StoredValue v;
  EXPECT_FALSE(r->ReadValue("", 2, DataType::dtInt32, v));
  EXPECT_FALSE(v.present);
  EXPECT_EQ(r->GetBookmark(), 12u);
  ASSERT_TRUE(r->ReadValue("", 5, DataType::dtInt32, v));
  EXPECT_EQ(common::LoadLE<int32_t>(v.data), 7);
}

TEST(BinStorage, DecimalsKeepTheBytesTheirPrecisionNeeds) {
  // 123.45: precision 5, 2 places, digits 12 34 50.
  const common::Bytes bcd = Hex("05 02 12 34 50");
  common::Bytes record(34, 0);
  std::copy(bcd.begin(), bcd.end(), record.begin());
  Written w = Write(
      [&](TDABinStorage& s) { s.WriteValue("", 0, DataType::dtFmtBCD, StoredValue::Of(record)); });
  EXPECT_EQ(ToHex(w.body), "00 00 05 05 02 12 34 50");
  auto r = TDABinStorage::OpenRead(w.all);
  StoredValue v;
  ASSERT_TRUE(r->ReadValue("", 0, DataType::dtFmtBCD, v));
  EXPECT_EQ(ToHex(v.bytes()), ToHex(record));

  Written old = Write(
      [&](TDABinStorage& s) { s.WriteValue("D", 0, DataType::dtBCD, StoredValue::Of(record)); }, 3);
  EXPECT_EQ(old.body.size(), 2u + 34u);
}

TEST(BinStorage, VariableLengthValuesCarryTheirByteLength) {
  const common::Bytes ab = testing::Utf16(u"AB");
  Written w = Write([&](TDABinStorage& s) {
    s.WriteValue("", 1, DataType::dtWideString, StoredValue::Of(ab));
    s.WriteValue("", 2, DataType::dtWideString, StoredValue::Of(ab.data(), 0));
    s.WriteValue("", 3, DataType::dtObject, StoredValue::Of(ab.data(), 0));
  });
  EXPECT_EQ(ToHex(w.body), "01 00 04 00 00 00 41 00 42 00 02 00 00 00 00 00 03 00");
  auto r = TDABinStorage::OpenRead(w.all);
  StoredValue v;
  ASSERT_TRUE(r->ReadValue("", 1, DataType::dtWideString, v));
  EXPECT_EQ(v.size, 4u);
  ASSERT_TRUE(r->ReadValue("", 2, DataType::dtWideString, v));
  EXPECT_TRUE(v.present);
  EXPECT_EQ(v.size, 0u);
  ASSERT_TRUE(r->ReadValue("", 3, DataType::dtObject, v));
  EXPECT_EQ(v.size, 0u);
}

TEST(BinStorage, OpenRejectsForeignOrShortHeaders) {
  const common::Bytes good = Container(15, Hex("FF 00 FE"), {"Manager"});
  EXPECT_EQ(Code([&] { TDABinStorage::OpenRead(common::ByteSpan(good.data(), 11)); }),
            kDAErrInvalidFormat);
  common::Bytes foreign = good;
  foreign[3] = 'X';
  EXPECT_EQ(Code([&] { TDABinStorage::OpenRead(foreign); }), kDAErrInvalidFormat);
  common::Bytes past_end = good;
  common::StoreLE(past_end.data() + 8, static_cast<uint32_t>(good.size() + 1));
  EXPECT_EQ(Code([&] { TDABinStorage::OpenRead(past_end); }), kDAErrInvalidFormat);
  common::Bytes inside_header = good;
  common::StoreLE(inside_header.data() + 8, uint32_t{11});
  EXPECT_EQ(Code([&] { TDABinStorage::OpenRead(inside_header); }), kDAErrInvalidFormat);
}

TEST(BinStorage, HeaderPaddingIsIgnoredAndVersion16ReadsAsTheCurrentVersion) {
  common::Bytes c = Container(16, Hex("00 00 01 00"), {"RowState", "rsModified"});
  c[6] = 0xAA;
  auto r = TDABinStorage::OpenRead(c);
  EXPECT_EQ(r->StreamVersion(), 16u);
  // Enumerations as dictionary ids, as in version 15.
  EXPECT_EQ(r->ReadEnum("RowState", TDAMemRowState::rsUnchanged), TDAMemRowState::rsModified);
}

TEST(BinStorage, CorruptBytesFailWithoutReadingOutside) {
  struct Case {
    const char* name;
    common::Bytes stream;
    std::function<void(TDABinStorage&)> read;
  };
  common::Bytes odd_dictionary = Container(15, Hex("FF 00 FE"), {});
  odd_dictionary.insert(odd_dictionary.end(), {0x03, 0x00, 0x41, 0x00, 0x42});
  common::Bytes truncated_dictionary = Container(15, Hex("FF 00 FE"), {});
  truncated_dictionary.insert(truncated_dictionary.end(), {0x10, 0x00, 0x41, 0x00});
  std::vector<std::string> many(511, "x");
  for (size_t i = 0; i < many.size(); ++i) many[i] = "n" + std::to_string(i);
  const Case cases[] = {
      {"OddDictionaryEntry", odd_dictionary, nullptr},
      {"TruncatedDictionaryEntry", truncated_dictionary, nullptr},
      {"MoreThan510Names", Container(15, Hex("FE"), many), nullptr},
      {"NameIdWithoutEntry", Container(15, Hex("05 00 01"), {"A"}),
       [](TDABinStorage& s) { s.ReadBoolean("A", false); }},
      {"ObjectIdWithoutEntry", Container(15, Hex("FF 03 FE"), {"A"}),
       [](TDABinStorage& s) { s.ReadObjectBegin(); }},
      {"HugeStringLength", Container(15, Hex("00 00 FF FF FF 7F 41 00"), {"S"}),
       [](TDABinStorage& s) { s.ReadString("S", ""); }},
      {"OddStringLength", Container(15, Hex("00 00 03 00 00 00 41 00 42"), {"S"}),
       [](TDABinStorage& s) { s.ReadString("S", ""); }},
      {"HugeAnsiLength", Container(15, Hex("00 00 FF FF FF FF"), {"S"}),
       [](TDABinStorage& s) { s.ReadAnsiString("S", ""); }},
      {"TruncatedInteger", Container(15, Hex("00 00 01 00"), {"I"}),
       [](TDABinStorage& s) { s.ReadInteger("I", 0); }},
      {"UnknownEnumerationIdentifier", Container(15, Hex("00 00 01 00"), {"RowState", "rsBogus"}),
       [](TDABinStorage& s) { s.ReadEnum("RowState", TDAMemRowState::rsUnchanged); }},
      {"UnknownEnumerationText", Container(4, Hex("00 00 04 00 00 00 58 00 59 00"), {"RowState"}),
       [](TDABinStorage& s) { s.ReadEnum("RowState", TDAMemRowState::rsUnchanged); }},
      {"EnumerationOrdinalOutOfRange", Container(2, Hex("00 00 0E 00 00 00"), {"RowState"}),
       [](TDABinStorage& s) { s.ReadEnum("RowState", TDAMemRowState::rsUnchanged); }},
      {"DecimalCountAbove34",
       Container(15,
                 Hex("00 00 23 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
                     "00 00 00 00 00 00 00 00 00 00 00 00 00"),
                 {}),
       [](TDABinStorage& s) {
         StoredValue v;
         s.ReadValue("", 0, DataType::dtBCD, v);
       }},
      {"DecimalPrecisionAbove64", Container(15, Hex("00 00 03 41 00 00"), {}),
       [](TDABinStorage& s) {
         StoredValue v;
         s.ReadValue("", 0, DataType::dtFmtBCD, v);
       }},
      {"HugeValueLength", Container(15, Hex("00 00 00 00 00 80 41"), {}),
       [](TDABinStorage& s) {
         StoredValue v;
         s.ReadValue("", 0, DataType::dtBlob, v);
       }},
      {"OddWideTextLength", Container(15, Hex("00 00 03 00 00 00 41 00 42"), {}),
       [](TDABinStorage& s) {
         StoredValue v;
         s.ReadValue("", 0, DataType::dtWideMemo, v);
       }},
      {"TruncatedFixedValue", Container(15, Hex("00 00 01 02"), {}),
       [](TDABinStorage& s) {
         StoredValue v;
         s.ReadValue("", 0, DataType::dtInt64, v);
       }},
      {"ObjectEndPastTheBody", Container(15, Hex(""), {}),
       [](TDABinStorage& s) { s.ReadObjectEnd(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Code([&] {
                auto s = TDABinStorage::OpenRead(c.stream);
                if (c.read) c.read(*s);
              }),
              kDAErrInvalidFormat);
  }
}

TEST(BinStorage, ValuesNeverReadIntoTheDictionary) {
  // The value claims 4 bytes; only the dictionary follows the body.
  const common::Bytes c = Container(15, Hex("00 00 04 00 00 00"), {"AB"});
  auto s = TDABinStorage::OpenRead(c);
  StoredValue v;
  EXPECT_EQ(Code([&] { s->ReadValue("", 0, DataType::dtBlob, v); }), kDAErrInvalidFormat);
}

TEST(BinStorage, ObjectBeginErrorsNameWhatWasExpected) {
  const common::Bytes s_bytes = Container(15, Hex("FF 00 FE 00 00"), {"Table"});
  auto s = TDABinStorage::OpenRead(s_bytes);
  try {
    s->ReadObjectBegin("Manager");
    FAIL();
  } catch (const EDAException& e) {
    EXPECT_STREQ(e.what(), "[DataAccess][Store]-712. Cannot read [Manager] object");
  }
  EXPECT_EQ(s->ReadObjectBegin("TABLE"), "Table");
  s->ReadObjectEnd();
  try {
    s->ReadObjectBegin("Row");
    FAIL();
  } catch (const EDAException& e) {
    EXPECT_STREQ(e.what(), "[DataAccess][Store]-712. Cannot read [<unknown>] object");
  }
  EXPECT_FALSE(s->TestAndReadObjectBegin("Row"));
  EXPECT_EQ(s->GetBookmark(), 15u);
}

TEST(BinStorage, BookmarksReturnToAPosition) {
  const common::Bytes s_bytes = Container(15, Hex("00 00 01 00 00 00"), {"I"});
  auto s = TDABinStorage::OpenRead(s_bytes);
  const uint64_t b = s->GetBookmark();
  EXPECT_EQ(s->ReadInteger("I", 0), 1);
  s->SetBookmark(b);
  EXPECT_EQ(s->ReadInteger("I", 0), 1);
  EXPECT_EQ(Code([&] { s->SetBookmark(1000); }), kDAErrInvalidFormat);
}

TEST(BinStorage, DeferredActionsRunWhenTheOutermostScopeEnds) {
  common::Bytes out;
  auto s = TDABinStorage::OpenWrite(out);
  std::vector<std::string> ran;
  auto record = [&](std::string_view name, std::string_view value) {
    ran.push_back(std::string(name) + "=" + std::string(value));
  };
  s->BeginActionScope();
  s->QueueAction("A", "1", record);
  s->QueueAction("", "1", record);    // ignored: no name
  s->QueueAction("B", "", record);    // ignored: no value
  s->QueueAction("C", "3", nullptr);  // ignored: no routine
  s->BeginActionScope();
  s->QueueAction("D", "4", record);
  s->EndActionScope();
  EXPECT_TRUE(ran.empty());
  s->EndActionScope();
  EXPECT_EQ(ran, std::vector<std::string>({"A=1", "D=4"}));

  // A failing action still discards the queue; a new outermost scope starts empty.
  s->BeginActionScope();
  s->QueueAction("E", "5",
                 [](std::string_view, std::string_view) { throw std::runtime_error("x"); });
  EXPECT_THROW(s->EndActionScope(), std::runtime_error);
  ran.clear();
  s->BeginActionScope();
  s->QueueAction("F", "6", record);
  s->AbandonActionScope();
  s->BeginActionScope();
  s->EndActionScope();
  EXPECT_TRUE(ran.empty());
}

TEST(BinStorage, StoreItemsComeFromTheResourceOptions) {
  common::Bytes out;
  auto all = TDABinStorage::OpenWrite(out);
  EXPECT_TRUE(all->HasStoreItem(TDAStoreItem::siVisible));
  TDAResOptions options;
  auto defaults = TDABinStorage::OpenWrite(out, &options);
  EXPECT_TRUE(defaults->HasStoreItem(TDAStoreItem::siMeta));
  EXPECT_TRUE(defaults->HasStoreItem(TDAStoreItem::siDelta));
  EXPECT_FALSE(defaults->HasStoreItem(TDAStoreItem::siVisible));
  EXPECT_FALSE(defaults->HasStoreItem(static_cast<TDAStoreItem>(8)));
}

TEST(BinStorage, ReservesForTheEstimatedRestOfALargeList) {
  common::Bytes out;
  auto s = TDABinStorage::OpenWrite(out);
  const uint64_t start = s->CurrentSize();
  s->AppendRaw(40);
  s->ReserveCapacity(1000, start);  // estimate 40000: left alone
  EXPECT_LT(out.capacity(), 40000u);
  s->AppendRaw(60);
  s->ReserveCapacity(1000, start);  // estimate 100000
  EXPECT_GE(out.capacity(), start + 100000);
  EXPECT_LT(out.capacity(), start + 100000 + 4096);
}

TEST(BinStorage, ResolvesOnlyTheBinaryFormat) {
  TDAResOptions options;
  EXPECT_EQ(ResolveStorageFormat(nullptr), "BIN");
  EXPECT_EQ(ResolveStorageFormat(&options), "BIN");
  options.DefaultStoreFormat = TDAStorageFormat::sfBinary;
  EXPECT_EQ(ResolveStorageFormat(&options), "BIN");
  options.DefaultStoreFormat = TDAStorageFormat::sfXML;
  try {
    ResolveStorageFormat(&options);
    FAIL();
  } catch (const EDAException& e) {
    EXPECT_EQ(e.DACode(), kDAErrUnknownFormat);
    EXPECT_STREQ(e.what(),
                 "[DataAccess][Store]-716. Unknown storage format [XML]. Hint: To register it, "
                 "you can drop component [TDAStorageXxxLink] into your project");
  }
  options.DefaultStoreExt = ".dat";
  EXPECT_EQ(ResolveStorageFormat(&options), "BIN");
  options.DefaultStoreExt = ".xml";
  options.DefaultStoreFormat = TDAStorageFormat::sfJSON;
  EXPECT_EQ(Code([&] { ResolveStorageFormat(&options); }), kDAErrUnknownFormat);
}

}  // namespace
}  // namespace storage
