// libFuzzer target: database value texts read as decimals, currency values and GUIDs, and the
// text of an UpdateSQL payload. Nothing may read or write outside its buffers; a decimal read
// exactly must agree with the storage's own parser whenever both read it, and must read back
// from its own text to the same record.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "service/data_methods.h"
#include "service/decimal_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::optional<storage::TBcd> exact = service::DecimalTextToBcd(text);
  if (exact) {
    const std::optional<storage::TBcd> reference = storage::BcdFromString(text);
    if (reference && std::memcmp(&*exact, &*reference, storage::TBcd::kSize) != 0) {
      __builtin_trap();
    }
    const std::optional<storage::TBcd> back = service::DecimalTextToBcd(BcdToString(*exact));
    if (!back || storage::BcdToString(*back) != storage::BcdToString(*exact)) __builtin_trap();
  }
  const int precision = size > 0 ? data[0] % 66 : 0;
  const int scale = size > 1 ? data[1] % 66 : 0;
  if (const auto formatted = service::DecimalTextToBcd(text, precision, scale)) {
    if (formatted->Precision != precision || formatted->Places() != scale) __builtin_trap();
  }
  service::DecimalTextToCurrency(text);
  uint8_t guid[16];
  service::GuidTextToBytes(text, guid);
  service::DecodeSqlText(common::ByteSpan(data, size));
  return 0;
}
