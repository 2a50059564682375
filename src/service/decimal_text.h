// Database value texts turned into stored layouts without touching the heap: decimals (as
// drivers hand them out, "-123.45", "1.5E3") into the decimal record or a currency value, and
// GUID texts into their 16 bytes. These run once per value of a result, so they keep their
// digits on the stack.
//
// Pure functions; any thread.
#ifndef DATASERVER_SERVICE_DECIMAL_TEXT_H_
#define DATASERVER_SERVICE_DECIMAL_TEXT_H_

#include <cstdint>
#include <optional>
#include <string_view>

#include "storage/value_codec.h"

namespace service {

// A decimal text as a record. With `precision` > 0 the record has exactly that precision and
// `scale` places (the fraction rounded half away from zero, or padded); without, it has the
// digits the value needs (at most 64, places as written, rounded when more are written).
// nullopt when the text is no decimal number or the value does not fit.
std::optional<storage::TBcd> DecimalTextToBcd(std::string_view text, int precision = 0,
                                              int scale = 0);

// A decimal text as a currency value (the value x 10000, rounded half away from zero);
// nullopt when the text is no decimal number or the value is out of the 64-bit range.
std::optional<int64_t> DecimalTextToCurrency(std::string_view text);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (braces optional, any letter case) as the GUID
// record: D1 u32, D2 u16, D3 u16 little-endian, then D4's 8 bytes in order.
bool GuidTextToBytes(std::string_view text, uint8_t out[16]);

}  // namespace service

#endif  // DATASERVER_SERVICE_DECIMAL_TEXT_H_
