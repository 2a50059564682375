#include "common/variant.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ostream>
#include <stdexcept>

#include "common/datetime.h"
#include "common/text.h"

namespace common {
namespace {

const std::u16string kEmptyText;
const std::string kEmptyAnsi;

bool IsSignedIntType(uint16_t t) {
  return t == kVarSmallint || t == kVarInteger || t == kVarShortInt || t == kVarInt64 ||
         t == kVarCurrency || t == kVarError;
}
bool IsUnsignedIntType(uint16_t t) {
  return t == kVarByte || t == kVarWord || t == kVarLongWord || t == kVarUInt64;
}
bool IsFloatType(uint16_t t) { return t == kVarSingle || t == kVarDouble || t == kVarDate; }

std::string TrimAscii(std::string_view s) {
  size_t b = 0;
  size_t e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return std::string(s.substr(b, e - b));
}

std::optional<double> ParseDouble(const std::string& s) {
  if (s.empty()) return std::nullopt;
  double d = 0;
  const char* first = s.data();
  if (*first == '+') ++first;
  auto [p, ec] = std::from_chars(first, s.data() + s.size(), d);
  if (ec != std::errc() || p != s.data() + s.size()) return std::nullopt;
  return d;
}

std::optional<int64_t> ParseInt(const std::string& s) {
  if (s.empty()) return std::nullopt;
  const char* first = s.data();
  if (*first == '+') ++first;
  int64_t v = 0;
  auto [p, ec] = std::from_chars(first, s.data() + s.size(), v);
  if (ec == std::errc() && p == s.data() + s.size()) return v;
  if (s.size() > 1 && s[0] == '$') {
    uint64_t u = 0;
    auto [q, ec2] = std::from_chars(s.data() + 1, s.data() + s.size(), u, 16);
    if (ec2 == std::errc() && q == s.data() + s.size()) return static_cast<int64_t>(u);
  }
  return std::nullopt;
}

std::string FormatDouble(double d) {
  char buf[64];
  auto [p, ec] = std::to_chars(buf, buf + sizeof buf, d);
  if (ec != std::errc()) return "0";
  return std::string(buf, p);
}

std::string FormatDate(double d) {
  DateTimeParts p = DecodeDateTime(d);
  char buf[48];
  if (p.hour == 0 && p.minute == 0 && p.second == 0 && p.millisecond == 0) {
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", p.year, p.month, p.day);
  } else if (p.millisecond == 0) {
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", p.year, p.month, p.day, p.hour,
                  p.minute, p.second);
  } else {
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", p.year, p.month, p.day,
                  p.hour, p.minute, p.second, p.millisecond);
  }
  return buf;
}

std::string FormatCurrency(int64_t scaled) {
  const bool negative = scaled < 0;
  const uint64_t mag = negative ? 0 - static_cast<uint64_t>(scaled) : static_cast<uint64_t>(scaled);
  std::string s = std::to_string(mag / 10000);
  uint64_t frac = mag % 10000;
  if (frac != 0) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04llu", static_cast<unsigned long long>(frac));
    std::string f(buf);
    while (!f.empty() && f.back() == '0') f.pop_back();
    s += "." + f;
  }
  return negative ? "-" + s : s;
}

}  // namespace

bool IsRawElementType(uint16_t t) { return RawElementSize(t) != 0; }

size_t RawElementSize(uint16_t t) {
  switch (t) {
    case kVarShortInt:
    case kVarByte:
      return 1;
    case kVarSmallint:
    case kVarBoolean:
    case kVarWord:
      return 2;
    case kVarInteger:
    case kVarSingle:
    case kVarLongWord:
      return 4;
    case kVarDouble:
    case kVarCurrency:
    case kVarDate:
      return 8;
    default:
      return 0;
  }
}

int64_t VariantArray::ElementCount() const {
  if (bounds.empty()) return 0;
  int64_t n = 1;
  bool overflow = false;
  for (const ArrayBound& b : bounds) {
    const int64_t c = b.count();
    if (c <= 0) return 0;
    // Saturates: bounds read from the wire may multiply past any real size.
    if (!overflow && __builtin_mul_overflow(n, c, &n)) overflow = true;
  }
  return overflow ? INT64_MAX : n;
}

Variant Variant::Null() { return Variant(kVarNull, std::monostate{}); }
Variant Variant::Smallint(int16_t v) { return Variant(kVarSmallint, int64_t{v}); }
Variant Variant::Integer(int32_t v) { return Variant(kVarInteger, int64_t{v}); }
Variant Variant::Single(float v) { return Variant(kVarSingle, static_cast<double>(v)); }
Variant Variant::Double(double v) { return Variant(kVarDouble, v); }
Variant Variant::Currency(int64_t scaled) { return Variant(kVarCurrency, scaled); }
Variant Variant::Date(double v) { return Variant(kVarDate, v); }
Variant Variant::String(std::u16string text) { return Variant(kVarOleStr, std::move(text)); }
Variant Variant::Error(int32_t code) { return Variant(kVarError, int64_t{code}); }
Variant Variant::Boolean(bool v) { return Variant(kVarBoolean, v); }
Variant Variant::ShortInt(int8_t v) { return Variant(kVarShortInt, int64_t{v}); }
Variant Variant::Byte(uint8_t v) { return Variant(kVarByte, uint64_t{v}); }
Variant Variant::Word(uint16_t v) { return Variant(kVarWord, uint64_t{v}); }
Variant Variant::LongWord(uint32_t v) { return Variant(kVarLongWord, uint64_t{v}); }
Variant Variant::Int64(int64_t v) { return Variant(kVarInt64, v); }
Variant Variant::UInt64(uint64_t v) { return Variant(kVarUInt64, v); }
Variant Variant::AnsiString(std::string bytes) { return Variant(kVarString, std::move(bytes)); }

Variant Variant::Custom(VarType kind, std::u16string text) {
  if (kind < kVarFmtBcd || kind > kVarSqlInterval) throw std::invalid_argument("not a custom kind");
  return Variant(kind, std::move(text));
}

Variant Variant::ByteArray(Bytes bytes, int32_t low) {
  VariantArray a;
  a.element_type = kVarByte;
  const auto n = static_cast<int64_t>(bytes.size());
  a.bounds.push_back({low, static_cast<int32_t>(low + n - 1)});
  a.raw = std::move(bytes);
  return Array(std::move(a));
}

Variant Variant::VariantArrayOf(std::vector<Variant> items) {
  VariantArray a;
  a.element_type = kVarVariant;
  a.bounds.push_back({0, static_cast<int32_t>(static_cast<int64_t>(items.size()) - 1)});
  a.items = std::move(items);
  return Array(std::move(a));
}

Variant Variant::Array(VariantArray array) {
  const uint16_t t = static_cast<uint16_t>(kVarArray | array.element_type);
  return Variant(t, std::make_shared<const VariantArray>(std::move(array)));
}

Variant Variant::Reference(Variant target) {
  const uint16_t t = static_cast<uint16_t>(kVarByRef | target.base_type());
  return Variant(t, std::make_shared<const Variant>(std::move(target)));
}

bool Variant::IsByteArray() const {
  if (!IsArray() || IsReference()) return false;
  const VariantArray& a = array();
  return a.element_type == kVarByte && a.bounds.size() == 1;
}

bool Variant::IsText() const {
  return !IsArray() && !IsReference() &&
         (type_ == kVarOleStr || type_ == kVarUString || type_ == kVarString || IsCustom());
}

bool Variant::IsIntegral() const {
  return !IsArray() && !IsReference() &&
         ((IsSignedIntType(type_) && type_ != kVarCurrency && type_ != kVarError) ||
          IsUnsignedIntType(type_));
}

bool Variant::IsCustom() const { return type_ >= kVarFmtBcd && type_ <= kVarSqlInterval; }

int64_t Variant::int_value() const {
  if (auto* v = std::get_if<int64_t>(&value_)) return *v;
  if (auto* u = std::get_if<uint64_t>(&value_)) return static_cast<int64_t>(*u);
  return 0;
}

uint64_t Variant::uint_value() const {
  if (auto* u = std::get_if<uint64_t>(&value_)) return *u;
  if (auto* v = std::get_if<int64_t>(&value_)) return static_cast<uint64_t>(*v);
  return 0;
}

double Variant::float_value() const {
  if (auto* d = std::get_if<double>(&value_)) return *d;
  return 0;
}

bool Variant::bool_value() const {
  if (auto* b = std::get_if<bool>(&value_)) return *b;
  return false;
}

const std::u16string& Variant::text() const {
  if (auto* s = std::get_if<std::u16string>(&value_)) return *s;
  return kEmptyText;
}

const std::string& Variant::ansi_text() const {
  if (auto* s = std::get_if<std::string>(&value_)) return *s;
  return kEmptyAnsi;
}

const VariantArray& Variant::array() const {
  static const VariantArray kEmptyArray;
  if (auto* a = std::get_if<std::shared_ptr<const VariantArray>>(&value_)) return **a;
  return kEmptyArray;
}

const Variant& Variant::referenced() const {
  static const Variant kUnassigned;
  if (auto* r = std::get_if<std::shared_ptr<const Variant>>(&value_)) return **r;
  return kUnassigned;
}

ByteSpan Variant::bytes() const {
  if (!IsArray() || IsReference()) return {};
  const VariantArray& a = array();
  if (a.bounds.size() != 1 || RawElementSize(a.element_type) != 1) return {};
  return ByteSpan(a.raw.data(), a.raw.size());
}

std::optional<int64_t> Variant::ToInt64() const {
  if (IsReference()) return referenced().ToInt64();
  if (IsArray()) return std::nullopt;
  if (type_ == kVarBoolean) return bool_value() ? -1 : 0;  // OLE's VARIANT_TRUE
  if (type_ == kVarCurrency) return static_cast<int64_t>(std::nearbyint(int_value() / 10000.0));
  if (IsSignedIntType(type_)) return int_value();
  if (IsUnsignedIntType(type_)) return static_cast<int64_t>(uint_value());
  if (IsFloatType(type_)) {
    const double d = float_value();
    if (!std::isfinite(d) || d > 9.2e18 || d < -9.2e18) return std::nullopt;
    return static_cast<int64_t>(std::nearbyint(d));
  }
  if (IsText()) {
    const std::string s = TrimAscii(type_ == kVarString ? ansi_text() : Utf16ToUtf8(text()));
    if (auto i = ParseInt(s)) return i;
    if (auto d = ParseDouble(s); d && std::isfinite(*d) && *d < 9.2e18 && *d > -9.2e18) {
      return static_cast<int64_t>(std::nearbyint(*d));
    }
  }
  return std::nullopt;
}

std::optional<double> Variant::ToDouble() const {
  if (IsReference()) return referenced().ToDouble();
  if (IsArray()) return std::nullopt;
  if (type_ == kVarBoolean) return bool_value() ? -1.0 : 0.0;
  if (type_ == kVarCurrency) return int_value() / 10000.0;
  if (IsSignedIntType(type_)) return static_cast<double>(int_value());
  if (IsUnsignedIntType(type_)) return static_cast<double>(uint_value());
  if (IsFloatType(type_)) return float_value();
  if (IsText()) {
    return ParseDouble(TrimAscii(type_ == kVarString ? ansi_text() : Utf16ToUtf8(text())));
  }
  return std::nullopt;
}

std::optional<bool> Variant::ToBool() const {
  if (IsReference()) return referenced().ToBool();
  if (type_ == kVarBoolean) return bool_value();
  if (IsText()) {
    const std::string s = TrimAscii(type_ == kVarString ? ansi_text() : Utf16ToUtf8(text()));
    if (EqualsIgnoreAsciiCase(s, "true")) return true;
    if (EqualsIgnoreAsciiCase(s, "false")) return false;
  }
  if (auto d = ToDouble()) return *d != 0;
  return std::nullopt;
}

std::optional<std::u16string> Variant::ToText() const {
  if (IsReference()) return referenced().ToText();
  if (IsArray()) return std::nullopt;
  switch (type_) {
    case kVarEmpty:
    case kVarNull:
      return std::u16string();
    case kVarBoolean:
      return bool_value() ? u"True" : u"False";
    case kVarString:
      return AnsiCodePage().ToUtf16(ansi_text());
    case kVarCurrency:
      return Utf8ToUtf16(FormatCurrency(int_value()));
    case kVarDate:
      return Utf8ToUtf16(FormatDate(float_value()));
    case kVarSingle:
      return Utf8ToUtf16(FormatDouble(static_cast<float>(float_value())));
    case kVarDouble:
      return Utf8ToUtf16(FormatDouble(float_value()));
    default:
      break;
  }
  if (IsText()) return text();
  if (IsSignedIntType(type_)) return Utf8ToUtf16(std::to_string(int_value()));
  if (IsUnsignedIntType(type_)) return Utf8ToUtf16(std::to_string(uint_value()));
  return std::nullopt;
}

bool Variant::operator==(const Variant& other) const {
  if (type_ != other.type_) return false;
  if (IsArray()) {
    const VariantArray& a = array();
    const VariantArray& b = other.array();
    if (a.element_type != b.element_type || a.bounds.size() != b.bounds.size()) return false;
    for (size_t i = 0; i < a.bounds.size(); ++i) {
      if (a.bounds[i].low != b.bounds[i].low || a.bounds[i].high != b.bounds[i].high) return false;
    }
    return a.raw == b.raw && a.items == b.items;
  }
  if (IsReference()) return referenced() == other.referenced();
  if (auto* d = std::get_if<double>(&value_)) {
    const double e = other.float_value();
    return *d == e || (std::isnan(*d) && std::isnan(e));
  }
  return value_ == other.value_;
}

std::string DebugString(const Variant& v) {
  if (v.IsReference()) return "Ref(" + DebugString(v.referenced()) + ")";
  if (v.IsArray()) {
    const VariantArray& a = v.array();
    std::string s = v.IsByteArray() ? "ByteArray" : "Array<" + std::to_string(a.element_type) + ">";
    for (const ArrayBound& b : a.bounds) {
      s += "[" + std::to_string(b.low) + ".." + std::to_string(b.high) + "]";
    }
    if (!a.items.empty()) {
      s += "{";
      for (size_t i = 0; i < a.items.size(); ++i) s += (i ? ", " : "") + DebugString(a.items[i]);
      s += "}";
    }
    return s;
  }
  switch (v.type()) {
    case kVarEmpty:
      return "Unassigned";
    case kVarNull:
      return "Null";
    case kVarBoolean:
      return v.bool_value() ? "Boolean(true)" : "Boolean(false)";
    case kVarOleStr:
      return "String(\"" + Utf16ToUtf8(v.text()) + "\")";
    case kVarString:
      return "AnsiString(\"" + v.ansi_text() + "\")";
    default:
      break;
  }
  auto text = v.ToText();
  return "Type" + std::to_string(v.type()) + "(" + (text ? Utf16ToUtf8(*text) : "?") + ")";
}

void PrintTo(const Variant& v, std::ostream* os) { *os << DebugString(v); }

}  // namespace common
