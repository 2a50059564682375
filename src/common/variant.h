// The variant: the one value type that crosses every layer of a remote call.
//
// It models the OLE variant of the system's clients: a 16-bit type code (the same numbers the
// wire's general variant form carries) and a value. Arrays carry their element type and
// bounds per dimension; a byte array (element type 17) is the carrier of every payload, and an
// array of variants (element type 12) is the packed parameter list. Arrays are immutable once
// built and shared between copies, so copying a variant that holds a 100 MB payload is cheap.
//
// Besides the OLE types, four "custom" kinds stand for the database layer's value types that
// have no OLE type (decimal, time stamp, time stamp with offset, interval); they hold their text
// form and never travel as such (packing turns them into text).
//
// Thread use: a Variant is a value; distinct threads may copy one concurrently.
#ifndef DATASERVER_COMMON_VARIANT_H_
#define DATASERVER_COMMON_VARIANT_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "common/bytes.h"

namespace common {

// Variant type codes.
enum VarType : uint16_t {
  kVarEmpty = 0,  // unassigned
  kVarNull = 1,
  kVarSmallint = 2,
  kVarInteger = 3,
  kVarSingle = 4,
  kVarDouble = 5,
  kVarCurrency = 6,  // 64-bit integer holding value * 10000
  kVarDate = 7,      // date-time (days since 1899-12-30)
  kVarOleStr = 8,    // UTF-16 text
  kVarDispatch = 9,
  kVarError = 10,
  kVarBoolean = 11,
  kVarVariant = 12,  // only as an array element type
  kVarUnknown = 13,
  kVarShortInt = 16,
  kVarByte = 17,
  kVarWord = 18,
  kVarLongWord = 19,
  kVarInt64 = 20,
  kVarUInt64 = 21,
  kVarString = 0x0100,  // 8-bit (ANSI) text
  kVarUString = 0x0102,
  // Custom kinds (text form only).
  kVarFmtBcd = 0x0110,
  kVarSqlTimeStamp = 0x0111,
  kVarSqlTimeStampOffset = 0x0112,
  kVarSqlInterval = 0x0113,
  kVarTypeMask = 0x0FFF,
  kVarArray = 0x2000,
  kVarByRef = 0x4000,
};

struct ArrayBound {
  int32_t low = 0;
  int32_t high = -1;
  int64_t count() const { return static_cast<int64_t>(high) - low + 1; }
};

class Variant;

// A (possibly multi-dimensional) array. Elements of the fixed-size scalar types (see
// IsRawElementType) are kept as their raw little-endian bytes in `raw`; all other elements
// (variants, texts, 64-bit integers ...) as Variants in `items`. Elements are stored with the
// last dimension varying fastest.
struct VariantArray {
  uint16_t element_type = kVarVariant;
  std::vector<ArrayBound> bounds;
  Bytes raw;
  std::vector<Variant> items;

  // The product of the dimensions' counts (0 when one is empty), saturating at INT64_MAX.
  int64_t ElementCount() const;
};

// Element types whose values an array keeps as raw bytes, and the size of one element.
bool IsRawElementType(uint16_t element_type);
size_t RawElementSize(uint16_t element_type);  // 0 for other types

class Variant {
 public:
  Variant() = default;  // unassigned

  static Variant Null();
  static Variant Smallint(int16_t v);
  static Variant Integer(int32_t v);
  static Variant Single(float v);
  static Variant Double(double v);
  static Variant Currency(int64_t scaled_by_10000);
  static Variant Date(double date_time);
  static Variant String(std::u16string text);  // OLE string
  static Variant Error(int32_t code);
  static Variant Boolean(bool v);
  static Variant ShortInt(int8_t v);
  static Variant Byte(uint8_t v);
  static Variant Word(uint16_t v);
  static Variant LongWord(uint32_t v);
  static Variant Int64(int64_t v);
  static Variant UInt64(uint64_t v);
  static Variant AnsiString(std::string bytes);
  static Variant Custom(VarType kind, std::u16string text);
  // A one-dimensional byte array with bounds low .. low + size - 1.
  static Variant ByteArray(Bytes bytes, int32_t low = 0);
  // A one-dimensional array of variants with bounds 0 .. size - 1.
  static Variant VariantArrayOf(std::vector<Variant> items);
  static Variant Array(VariantArray array);
  static Variant Reference(Variant target);

  // The full type code (array and reference flags included).
  uint16_t type() const { return type_; }
  uint16_t base_type() const { return type_ & kVarTypeMask; }

  bool IsEmpty() const { return type_ == kVarEmpty; }
  bool IsNull() const { return type_ == kVarNull; }
  bool IsEmptyOrNull() const { return type_ == kVarEmpty || type_ == kVarNull; }
  bool IsArray() const { return (type_ & kVarArray) != 0; }
  bool IsByteArray() const;  // one dimension, element type 17
  bool IsReference() const { return (type_ & kVarByRef) != 0; }
  bool IsText() const;       // OLE string, ANSI string or custom kind
  bool IsIntegral() const;   // any integer type (not boolean)
  bool IsCustom() const;

  // Raw access; valid only for the matching kind.
  int64_t int_value() const;        // signed integer types, currency, error
  uint64_t uint_value() const;      // unsigned integer types
  double float_value() const;       // single, double, date
  bool bool_value() const;
  const std::u16string& text() const;       // OLE string and custom kinds
  const std::string& ansi_text() const;     // ANSI string
  const VariantArray& array() const;        // arrays
  const Variant& referenced() const;        // references

  // Payload view of a one-dimensional array of 1-byte elements, whatever its element type and
  // bounds (what a byte-array payload accepts); empty span for anything else.
  ByteSpan bytes() const;

  // Conversions as the system applies them to values of other types. They return nullopt where
  // the value cannot be converted (text that is no number, an array, unassigned for numbers).
  std::optional<int64_t> ToInt64() const;
  std::optional<double> ToDouble() const;
  std::optional<bool> ToBool() const;
  // Text form: empty for unassigned and null; numbers in decimal; booleans "True"/"False";
  // dates as yyyy-mm-dd hh:nn:ss; nullopt for arrays.
  std::optional<std::u16string> ToText() const;

  // Deep equality (types and values).
  bool operator==(const Variant& other) const;

 private:
  using Storage = std::variant<std::monostate, int64_t, uint64_t, double, bool, std::u16string,
                               std::string, std::shared_ptr<const VariantArray>,
                               std::shared_ptr<const Variant>>;
  Variant(uint16_t type, Storage value) : type_(type), value_(std::move(value)) {}

  uint16_t type_ = kVarEmpty;
  Storage value_;
};

// A short readable form for test output and logs, e.g. "Integer(5)", "ByteArray[3]".
std::string DebugString(const Variant& v);
void PrintTo(const Variant& v, std::ostream* os);

}  // namespace common

#endif  // DATASERVER_COMMON_VARIANT_H_
