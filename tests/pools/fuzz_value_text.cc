// The texts drivers read from databases (numbers, decimals, dates, GUIDs): any input is parsed
// or refused without misbehaving, and what parses formats back to a text that parses the same.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pools/db_types.h"
#include "pools/internal/value_text.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace pools::internal;
  std::string_view text(reinterpret_cast<const char*>(data), size);

  ParseInt64(text);
  ParseUInt64(text);
  ParseDouble(text);

  for (int scale = 0; scale <= 8; scale += 4) {
    if (auto v = ParseScaledDecimal(text, scale)) {
      Check(ParseScaledDecimal(FormatScaledDecimal(*v, scale), scale) == v);
    }
  }

  if (auto ts = ParseTimeStampText(text)) {
    pools::TimeStampToDateTime(*ts);
    auto type = ts->year == 0 ? common::DataType::dtTime : common::DataType::dtDateTime;
    auto again = ParseTimeStampText(FormatTimeStampText(*ts, type));
    Check(again.has_value());
    pools::TimeStamp expected = *ts;
    expected.nanosecond = expected.nanosecond / 1000000 * 1000000;
    Check(*again == expected);
  }

  if (auto guid = ParseGuid(text)) Check(ParseGuid(FormatGuid(*guid)) == guid);

  if (size >= sizeof(double)) {
    double d;
    std::memcpy(&d, data, sizeof d);
    if (auto ts = TimeStampFromJulianDay(d)) Check(ts->year >= 1 && ts->year <= 9999);
    int64_t s;
    std::memcpy(&s, data, sizeof s);
    if (auto ts = TimeStampFromUnixSeconds(s)) Check(ts->year >= 1 && ts->year <= 9999);
  }
  return 0;
}
