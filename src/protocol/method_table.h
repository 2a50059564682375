// The server's method table, parameter descriptions, and how a command names a method.
//
// Parameter description on the wire (a "parameters" object holds a count and these arrays):
//   [DataType, SubType, Direction, Precision, Scale, "Name", ChildPosition, Size, Flags]
// plus a tenth element, the literal value as a string, when Flags has 0x200. Precision is a
// 64-bit integer, the others 32-bit. Direction: 1 in, 2 out, 3 in-out, 4 return value.
//
// A server method's list: one description per declared parameter in declared order (direction
// 1 for in and const, 2 for out, 3 for var), then "ReturnParameter" (direction 4) when it has a
// result. DataType of the declared types: string 26, OleVariant 35, Integer 6, Boolean 4,
// TDateTime 11; a table result is 23.
//
// Method keys are "<class>.<method>" in upper case, so lookup ignores case. Besides the
// published classes the table holds the built-in RSMetadata.GetDatabase (the database-properties
// command).
//
// Thread use: built once when the server starts, read-only afterwards from any thread.
#ifndef DATASERVER_PROTOCOL_METHOD_TABLE_H_
#define DATASERVER_PROTOCOL_METHOD_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/remote_class.h"

namespace protocol {

// DataType codes of parameter descriptions and table columns.
inline constexpr int32_t kDataTypeAnsiString = 1;
inline constexpr int32_t kDataTypeDate = 2;
inline constexpr int32_t kDataTypeBoolean = 4;
inline constexpr int32_t kDataTypeSmallInt = 5;
inline constexpr int32_t kDataTypeInteger = 6;
inline constexpr int32_t kDataTypeDouble = 7;
inline constexpr int32_t kDataTypeTime = 10;
inline constexpr int32_t kDataTypeDateTime = 11;
inline constexpr int32_t kDataTypeWord = 12;
inline constexpr int32_t kDataTypeCardinal = 13;
inline constexpr int32_t kDataTypeInt64 = 18;
inline constexpr int32_t kDataTypeUInt64 = 19;
inline constexpr int32_t kDataTypeTable = 23;
inline constexpr int32_t kDataTypeTimeStamp = 24;
inline constexpr int32_t kDataTypeCurrency = 25;
inline constexpr int32_t kDataTypeWideString = 26;
inline constexpr int32_t kDataTypeSingle = 27;
inline constexpr int32_t kDataTypeShortInt = 28;
inline constexpr int32_t kDataTypeByte = 29;
inline constexpr int32_t kDataTypeStream = 33;
inline constexpr int32_t kDataTypeOleVariant = 35;
inline constexpr int32_t kDataTypeJson = 37;
inline constexpr int32_t kDataTypeCallback = 38;

inline constexpr int32_t kDirectionIn = 1;
inline constexpr int32_t kDirectionOut = 2;
inline constexpr int32_t kDirectionInOut = 3;
inline constexpr int32_t kDirectionReturn = 4;

inline constexpr int32_t kParamFlagFromWire = 0x80;
inline constexpr int32_t kParamFlagValue = 0x100;
inline constexpr int32_t kParamFlagLiteral = 0x200;

inline constexpr char kServerMethodType[] = "RemoteDB.ServerMethod";
inline constexpr char kStoredProcedureType[] = "Rdb.StoredProcedure";
inline constexpr char kMetaDataType[] = "Rdb.MetaData";
inline constexpr char kMetadataClassName[] = "RSMetadata";
inline constexpr char kReturnParameterName[] = "ReturnParameter";

struct TRDBParameter {
  int32_t DataType = 0;
  int32_t SubType = 0;
  int32_t Direction = kDirectionIn;
  int64_t Precision = 0;
  int32_t Scale = 0;
  std::u16string Name;
  int32_t ChildPosition = 0;
  int32_t Size = 0;
  int32_t Flags = 0;
  std::optional<std::u16string> Literal;  // with Flags 0x200
};

int32_t DataTypeOf(common::DeclaredType type);
int32_t DirectionOf(common::ParamMode mode);

enum class BuiltinMethod { kNone, kGetDatabase };

struct MethodEntry {
  std::string qualified_name;  // as declared, e.g. "TServerModule1.SQL2OleVariant"
  std::string class_name;
  common::RemoteClass* remote_class = nullptr;  // null for built-ins
  size_t method_index = 0;                      // into remote_class->Methods()
  BuiltinMethod builtin = BuiltinMethod::kNone;
  common::InstanceLifecycle lifecycle = common::InstanceLifecycle::kSession;
  // The declared parameters, then the return value; declared_types runs parallel to them.
  std::vector<TRDBParameter> params;
  std::vector<common::DeclaredType> types;
  bool has_output = false;  // an out, in-out or return parameter
  bool needs_authorization = true;
};

class MethodTable {
 public:
  // Adds every method of `remote_class` (which must outlive the table).
  void AddClass(common::RemoteClass& remote_class);
  void AddBuiltins();

  // Exact key lookup (the key in upper case).
  const MethodEntry* Find(std::string_view upper_key) const;
  // The method a command text names: the whole text in upper case, else the identifiers
  // joined by "." at its start (what stops at "(" or a blank). `scanned` receives the text
  // looked up last, for the "method not found" message.
  const MethodEntry* Lookup(std::u16string_view command_text, std::string* scanned = nullptr) const;
  size_t size() const { return by_key_.size(); }

 private:
  std::unordered_map<std::string, MethodEntry> by_key_;
};

// The outcome of choosing a handler for a prepare or unprepared execute.
struct CommandSelection {
  std::u16string method_text;  // what the server method is looked up by
};

// Command type T and text C to a server-method command:
//   "call <text>" (any case) takes <text> as the method text: with T "RemoteDB.ServerMethod"
//     (any case), or with any T when <text> names a method;
//   T "Rdb.StoredProcedure" (any case) whose C names a method becomes a server method;
//   T "RemoteDB.ServerMethod" (any case): C is the method text;
//   T "Rdb.MetaData" (exactly): "GetDatabase" (any case) is RSMetadata.GetDatabase, a first
//     identifier "GetProcedures" or "GetProcedureParameters" names RSMetadata.<it>;
//   anything else fails with "<T> is an unrecognized command type" (code 30).
CommandSelection SelectCommand(std::u16string_view type, std::u16string_view text,
                               const MethodTable& methods);

// The literal arguments written after the method name: "Name(a, 'b c', 3)" gives a, b c and 3.
// Empty when the text has no "(".
std::vector<std::u16string> LiteralArguments(std::u16string_view command_text);

}  // namespace protocol

#endif  // DATASERVER_PROTOCOL_METHOD_TABLE_H_
