#include "protocol/filter_json.h"

#include <gtest/gtest.h>

#include "protocol/compression_filter.h"

namespace protocol {
namespace {

constexpr char kOffer[] =
    R"({"ZLibCompression":{"FilterUnit":"RdbCompressionFilter","CompressMoreThan":"1024"}})";

TEST(FilterJson, FormatsTheServersOfferExactly) {
  FilterList filters;
  filters.push_back(std::make_unique<TTransportCompressionFilter>());
  const std::string json = FormatFilterList(filters);
  EXPECT_EQ(json, kOffer);
  EXPECT_EQ(json.size(), 83u);
}

TEST(FilterJson, EmptyValuesAreNullAndReadBackEmpty) {
  const std::vector<FilterSetup> setups = {{"B", {{"x", ""}, {"y", "1"}}}, {"A", {}}};
  const std::string json = FormatFilterList(setups);
  EXPECT_EQ(json, R"({"B":{"x":null,"y":"1"},"A":{}})");
  auto parsed = ParseFilterList(json);
  ASSERT_TRUE(parsed);
  ASSERT_EQ(parsed->size(), 2u);
  EXPECT_EQ((*parsed)[0].id, "B");  // order kept
  EXPECT_EQ((*parsed)[0].parameters, setups[0].parameters);
  EXPECT_EQ((*parsed)[1].id, "A");
}

TEST(FilterJson, ParsesWhatOtherWritersMaySend) {
  auto parsed = ParseFilterList(
      " { \"Z\" : { \"n\" : 1024 , \"b\" : true, \"s\" : \"\\u4e2d\\\"\\\\\\/\" } } \n");
  ASSERT_TRUE(parsed);
  const auto& p = (*parsed)[0].parameters;
  ASSERT_EQ(p.size(), 3u);
  EXPECT_EQ(p[0].second, "1024");
  EXPECT_EQ(p[1].second, "true");
  EXPECT_EQ(p[2].second, "\xE4\xB8\xAD\"\\/");
  EXPECT_TRUE(ParseFilterList("{}"));
}

TEST(FilterJson, RejectsAnythingButAnObjectOfObjects) {
  for (const char* text :
       {"", "[]", "null", "{", R"({"a":1})", R"({"a":{"b":{}}})", R"({"a":{"b":[1]}})",
        R"({"a":{}} x)", R"({"a":{},})", R"({a:{}})", R"({"a":{"b":"\q"}})", "{\"a\x01\":{}}",
        R"({"a":{"b":"unterminated}})"}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(ParseFilterList(text));
  }
}

}  // namespace
}  // namespace protocol
