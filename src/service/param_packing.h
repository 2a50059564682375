// Packed parameter lists: a stored procedure's parameters as one variant, and the parameter
// collection (TParams of TParam) they are unpacked into and packed from.
//
//   packed list  = null (no parameter) | array of variants, bounds 0 .. n - 1, one per parameter
//   one element  = array of variants, bounds 0 .. 6:
//     [0] name        OLE string
//     [1] value       the value's own variant type (custom kinds: decimal, time stamps,
//                     intervals, written as their text)
//     [2] data type   8-bit signed integer, a TFieldType code (0 .. 51)
//     [3] direction   8-bit signed integer, a TParamType code (0 .. 4)
//     [4] Size, [5] Precision, [6] NumericScale   32-bit signed integers
//
// Clients may send elements of two to seven entries (name and value required; a missing tail
// keeps its defaults). A parameter whose data type is ftUnknown takes it from its value's
// variant type when the value is set (TParam::SetValue).
//
// Plain values and pure functions: no shared state, any thread.
#ifndef DATASERVER_SERVICE_PARAM_PACKING_H_
#define DATASERVER_SERVICE_PARAM_PACKING_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/data_type.h"
#include "common/error.h"
#include "common/variant.h"
#include "pools/db_types.h"

namespace service {

// Field data types; the code is the ordinal and part of the packed list.
enum class TFieldType : int8_t {
  ftUnknown,
  ftString,
  ftSmallint,
  ftInteger,
  ftWord,
  ftBoolean,
  ftFloat,
  ftCurrency,
  ftBCD,
  ftDate,
  ftTime,
  ftDateTime,
  ftBytes,
  ftVarBytes,
  ftAutoInc,
  ftBlob,
  ftMemo,
  ftGraphic,
  ftFmtMemo,
  ftParadoxOle,
  ftDBaseOle,
  ftTypedBinary,
  ftCursor,
  ftFixedChar,
  ftWideString,
  ftLargeint,
  ftADT,
  ftArray,
  ftReference,
  ftDataSet,
  ftOraBlob,
  ftOraClob,
  ftVariant,
  ftInterface,
  ftIDispatch,
  ftGuid,
  ftTimeStamp,
  ftFMTBcd,
  ftFixedWideChar,
  ftWideMemo,
  ftOraTimeStamp,
  ftOraInterval,
  ftLongWord,
  ftShortint,
  ftByte,
  ftExtended,
  ftConnection,
  ftParams,
  ftStream,
  ftTimeStampOffset,
  ftObject,
  ftSingle,
};
inline constexpr int kFieldTypeCount = 52;

// Parameter directions; the codes are those of the packed list (ptUnknown 0 .. ptResult 4).
using TParamType = pools::ParamType;
inline constexpr int kParamTypeCount = 5;

// The mask that selects every direction (bit k stands for code k).
inline constexpr uint8_t kAllParamTypes = 31;

// A malformed packed list (a short element, a code that is no number or out of range).
class EPackedParamsError : public common::Error {
 public:
  explicit EPackedParamsError(const std::string& message)
      : common::Error("EPackedParamsError", message) {}
};

struct TParam {
  std::u16string Name;
  common::Variant Value;  // unassigned until set
  TFieldType DataType = TFieldType::ftUnknown;
  TParamType ParamType = TParamType::ptUnknown;
  int32_t Size = 0;
  int32_t Precision = 0;
  int32_t NumericScale = 0;
  bool Bound = false;  // a value was set (anything but unassigned)

  // Stores a copy of `value`; an ftUnknown data type is taken from the value's variant type.
  void SetValue(const common::Variant& value);
  bool IsNull() const { return Value.IsEmptyOrNull(); }
};

class TParams {
 public:
  TParam& Add(TParam param);
  // The first parameter of that name (ASCII letters compared without case), or null.
  TParam* FindParam(std::u16string_view name);

  size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  TParam& operator[](size_t i) { return items_[i]; }
  const TParam& operator[](size_t i) const { return items_[i]; }
  std::vector<TParam>::iterator begin() { return items_.begin(); }
  std::vector<TParam>::iterator end() { return items_.end(); }
  std::vector<TParam>::const_iterator begin() const { return items_.begin(); }
  std::vector<TParam>::const_iterator end() const { return items_.end(); }
  void Clear() { items_.clear(); }

 private:
  std::vector<TParam> items_;
};

// The data type a value's variant type suggests (ftUnknown when it suggests none).
TFieldType FieldTypeOfValue(const common::Variant& value);

// The column data type a field type is sent to the database as; dtUnknown lets the driver
// take the type from the value.
common::DataType FieldTypeToDataType(TFieldType type);

// Packs the parameters whose direction code is selected by `Types`; null when none is.
common::Variant ParamsToOleVariant(const TParams& Params, uint8_t Types);

// Replaces `Dest` by the parameters of a packed list. Null, a non-array, an empty array or an
// array whose element 0 is no array leave `Dest` as it was. Throws EPackedParamsError for an
// element of fewer than two entries, an entry 2 to 6 that is no integer (or a code outside its
// enumeration), or an outer array whose lower bound is above 0; `Dest` is then unchanged.
void OleVariantToParams(const common::Variant& Source, TParams& Dest);

}  // namespace service

#endif  // DATASERVER_SERVICE_PARAM_PACKING_H_
