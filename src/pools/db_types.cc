#include "pools/db_types.h"

#include "common/datetime.h"
#include "common/text.h"
#include "pools/database_error.h"

namespace pools {

using common::DataType;

double TimeStampToDateTime(const TimeStamp& ts) {
  int ms = ts.nanosecond / 1000000;
  if (ts.year == 0 && ts.month == 0 && ts.day == 0) {
    return common::EncodeDateTime(1899, 12, 30, ts.hour, ts.minute, ts.second, ms);
  }
  return common::EncodeDateTime(ts.year, ts.month, ts.day, ts.hour, ts.minute, ts.second, ms);
}

TimeStamp TimeStampFromDateTime(double date_time) {
  common::DateTimeParts p = common::DecodeDateTime(date_time);
  return TimeStamp{p.year, p.month, p.day, p.hour, p.minute, p.second, p.millisecond * 1000000};
}

DataType EffectiveDataType(const DbParam& param) {
  if (param.data_type != DataType::dtUnknown) return param.data_type;
  const common::Variant& v = param.value.IsReference() ? param.value.referenced() : param.value;
  if (v.IsByteArray()) return DataType::dtBlob;
  switch (v.type()) {
    case common::kVarSmallint:
      return DataType::dtInt16;
    case common::kVarInteger:
      return DataType::dtInt32;
    case common::kVarSingle:
      return DataType::dtSingle;
    case common::kVarDouble:
      return DataType::dtDouble;
    case common::kVarCurrency:
      return DataType::dtCurrency;
    case common::kVarDate:
      return DataType::dtDateTime;
    case common::kVarOleStr:
    case common::kVarUString:
      return DataType::dtWideString;
    case common::kVarBoolean:
      return DataType::dtBoolean;
    case common::kVarShortInt:
      return DataType::dtSByte;
    case common::kVarByte:
      return DataType::dtByte;
    case common::kVarWord:
      return DataType::dtUInt16;
    case common::kVarLongWord:
      return DataType::dtUInt32;
    case common::kVarInt64:
      return DataType::dtInt64;
    case common::kVarUInt64:
      return DataType::dtUInt64;
    case common::kVarString:
      return DataType::dtAnsiString;
    case common::kVarFmtBcd:
      return DataType::dtFmtBCD;
    case common::kVarSqlTimeStamp:
      return DataType::dtDateTimeStamp;
    default:
      return DataType::dtUnknown;
  }
}

DbParam& DbParams::Add(DbParam param) {
  items_.push_back(std::move(param));
  return items_.back();
}

DbParam& DbParams::Add(std::string name, DataType data_type, ParamType param_type,
                       common::Variant value) {
  return Add(DbParam{std::move(name), data_type, param_type, std::move(value), 0});
}

DbParam* DbParams::FindParam(std::string_view name) {
  for (DbParam& p : items_) {
    if (common::EqualsIgnoreAsciiCase(p.name, name)) return &p;
  }
  return nullptr;
}

const DbParam* DbParams::FindParam(std::string_view name) const {
  return const_cast<DbParams*>(this)->FindParam(name);
}

DbParam& DbParams::ParamByName(std::string_view name) {
  DbParam* p = FindParam(name);
  if (p == nullptr) throw DatabaseError("Parameter \"" + std::string(name) + "\" not found");
  return *p;
}

}  // namespace pools
