#include "service/decimal_text.h"

#include <algorithm>
#include <cstring>

#include "common/bytes.h"

namespace service {
namespace {

using storage::TBcd;

// Significant digits kept from a text: more than a record can hold, so that the rounding digit
// of any representable result is among them.
constexpr int kKeptDigits = 80;
constexpr int kMaxExponent = 100000;

// A parsed decimal number: value = digits d[0..n) x 10^(top - i) for digit i.
struct Decimal {
  bool negative = false;
  char d[kKeptDigits] = {};
  int n = 0;     // significant digits kept (the first is not 0)
  int top = 0;   // position of d[0] (10^top); meaningless when n == 0
  int last = 0;  // position of the last digit written (for "places as written")

  int DigitAt(int position) const {
    const int i = top - position;
    return (i < 0 || i >= n) ? 0 : d[i];
  }
};

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool Parse(std::string_view text, Decimal& out) {
  while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
  size_t i = 0;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) out.negative = text[i++] == '-';
  int int_written = 0;   // digits before the point
  int frac_written = 0;  // digits after it
  int leading_int_zeros = 0;
  int sig_position_offset = 0;  // digits written before the first significant one, after '.'
  bool seen_sig = false;
  bool point = false;
  int any_digits = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '.' && !point) {
      point = true;
      continue;
    }
    if (!IsDigit(c)) break;
    ++any_digits;
    if (point) {
      ++frac_written;
    } else {
      ++int_written;
    }
    if (!seen_sig && c == '0') {
      if (point) {
        ++sig_position_offset;
      } else {
        ++leading_int_zeros;
      }
      continue;
    }
    seen_sig = true;
    if (out.n < kKeptDigits) out.d[out.n++] = static_cast<char>(c - '0');
  }
  if (any_digits == 0) return false;
  int exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool negative_exponent = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative_exponent = text[i++] == '-';
    if (i >= text.size() || !IsDigit(text[i])) return false;
    for (; i < text.size() && IsDigit(text[i]); ++i) {
      exponent = exponent * 10 + (text[i] - '0');
      if (exponent > kMaxExponent) return false;
    }
    if (negative_exponent) exponent = -exponent;
  }
  if (i != text.size()) return false;
  out.last = exponent - frac_written;
  if (out.n > 0) {
    // The first significant digit: an integer digit (after the leading zeros) or a fraction digit.
    out.top = int_written > leading_int_zeros ? int_written - leading_int_zeros - 1 + exponent
                                              : -(sig_position_offset + 1) + exponent;
  }
  return true;
}

// The digits of positions hi down to lo (hi >= lo), rounded half away from zero at lo - 1.
// Returns false when rounding carries past hi.
bool Digits(const Decimal& v, int hi, int lo, char* out) {
  const int count = hi - lo + 1;
  for (int k = 0; k < count; ++k) out[k] = static_cast<char>(v.DigitAt(hi - k));
  if (v.DigitAt(lo - 1) < 5) return true;
  for (int k = count - 1; k >= 0; --k) {
    if (out[k] < 9) {
      ++out[k];
      return true;
    }
    out[k] = 0;
  }
  return false;
}

TBcd MakeRecord(bool negative, const char* digits, int count, int places) {
  TBcd b;
  b.Precision = static_cast<uint8_t>(count);
  bool nonzero = false;
  for (int i = 0; i < count; ++i) {
    const int v = digits[i];
    nonzero = nonzero || v != 0;
    if (i % 2 == 0) {
      b.Fraction[i / 2] = static_cast<uint8_t>(v << 4);
    } else {
      b.Fraction[i / 2] = static_cast<uint8_t>(b.Fraction[i / 2] | v);
    }
  }
  b.SignSpecialPlaces = static_cast<uint8_t>(places | ((negative && nonzero) ? 0x80 : 0));
  return b;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<TBcd> DecimalTextToBcd(std::string_view text, int precision, int scale) {
  Decimal v;
  if (!Parse(text, v)) return std::nullopt;
  char digits[TBcd::kMaxPrecision + 1];
  if (precision > 0) {
    if (precision > TBcd::kMaxPrecision || scale < 0 ||
        scale > std::min(precision, TBcd::kMaxPlaces)) {
      return std::nullopt;
    }
    const int int_room = precision - scale;
    if (v.n > 0 && v.top >= int_room) return std::nullopt;
    if (!Digits(v, int_room - 1, -scale, digits)) return std::nullopt;
    return MakeRecord(v.negative, digits, precision, scale);
  }
  // Exact: the integer digits the value has, the places as written, within 64 digits.
  const int int_count = (v.n > 0 && v.top >= 0) ? v.top + 1 : 0;
  if (int_count > TBcd::kMaxPrecision) return std::nullopt;
  int places = std::max(0, -v.last);
  places = std::min({places, TBcd::kMaxPlaces, TBcd::kMaxPrecision - int_count});
  int count = int_count + places;
  if (count == 0) {
    digits[0] = 0;
    return MakeRecord(false, digits, 1, 0);
  }
  if (!Digits(v, int_count - 1, -places, digits + 1)) {
    // Rounding carried into a new integer digit.
    digits[0] = 1;
    if (count + 1 > TBcd::kMaxPrecision) {
      if (places == 0) return std::nullopt;
      --places;  // one place less: still exact to the rounding just done
      return MakeRecord(v.negative, digits, count, places);
    }
    return MakeRecord(v.negative, digits, count + 1, places);
  }
  return MakeRecord(v.negative, digits + 1, count, places);
}

std::optional<int64_t> DecimalTextToCurrency(std::string_view text) {
  Decimal v;
  if (!Parse(text, v)) return std::nullopt;
  // 19 digits of the scaled value at most: positions 14 down to -4.
  if (v.n > 0 && v.top > 14) return std::nullopt;
  char digits[19];
  if (!Digits(v, 14, -4, digits)) return std::nullopt;
  uint64_t magnitude = 0;
  for (char d : digits) {
    if (magnitude > (UINT64_MAX - static_cast<uint64_t>(d)) / 10) return std::nullopt;
    magnitude = magnitude * 10 + static_cast<uint64_t>(d);
  }
  constexpr uint64_t kMaxPositive = static_cast<uint64_t>(INT64_MAX);
  if (v.negative) {
    if (magnitude > kMaxPositive + 1) return std::nullopt;
    return magnitude == kMaxPositive + 1 ? INT64_MIN : -static_cast<int64_t>(magnitude);
  }
  if (magnitude > kMaxPositive) return std::nullopt;
  return static_cast<int64_t>(magnitude);
}

bool GuidTextToBytes(std::string_view text, uint8_t out[16]) {
  while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
  if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
  if (text.size() != 36) return false;
  uint8_t raw[16];  // the hexadecimal digits' bytes in text order
  int nibbles = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return false;
      continue;
    }
    const int h = HexValue(text[i]);
    if (h < 0) return false;
    if (nibbles % 2 == 0) {
      raw[nibbles / 2] = static_cast<uint8_t>(h << 4);
    } else {
      raw[nibbles / 2] = static_cast<uint8_t>(raw[nibbles / 2] | h);
    }
    ++nibbles;
  }
  // D1, D2 and D3 are little-endian in the record; the text shows them most significant first.
  const uint8_t order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  for (int i = 0; i < 16; ++i) out[i] = raw[order[i]];
  return true;
}

}  // namespace service
