#include "protocol/method_table.h"

#include "common/text.h"
#include "protocol/rdb_error.h"

namespace protocol {
namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

bool IsIdentifierChar(char16_t c) {
  return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
         c == u'_';
}

std::u16string_view TrimLeft(std::u16string_view text) {
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  return text.substr(i);
}

bool EqualsIgnoreCase(std::u16string_view a, std::string_view b) {
  return common::EqualsIgnoreAsciiCase(a, common::Utf8ToUtf16(b));
}

std::string UpperKey(std::u16string_view text) {
  return common::ToUpperAscii(common::Utf16ToUtf8(text));
}

// Identifiers joined by "." from the start of `text` (after blanks).
std::u16string_view ScanDottedName(std::u16string_view text) {
  text = TrimLeft(text);
  size_t i = 0;
  for (;;) {
    const size_t start = i;
    while (i < text.size() && IsIdentifierChar(text[i])) ++i;
    if (i == start) break;
    if (i < text.size() && text[i] == u'.' && i + 1 < text.size() &&
        IsIdentifierChar(text[i + 1])) {
      ++i;
      continue;
    }
    break;
  }
  return text.substr(0, i);
}

// The rest of `text` after a leading word "call" and its blank, when there is such a word
// followed by more text.
std::optional<std::u16string_view> AfterCall(std::u16string_view text) {
  text = TrimLeft(text);
  if (text.size() < 6 || !EqualsIgnoreCase(text.substr(0, 4), "call") || !IsBlank(text[4])) {
    return std::nullopt;
  }
  std::u16string_view rest = text.substr(5);
  if (TrimLeft(rest).empty()) return std::nullopt;
  return rest;
}

}  // namespace

int32_t DataTypeOf(common::DeclaredType type) {
  switch (type) {
    case common::DeclaredType::kString:
      return kDataTypeWideString;
    case common::DeclaredType::kOleVariant:
      return kDataTypeOleVariant;
    case common::DeclaredType::kInteger:
      return kDataTypeInteger;
    case common::DeclaredType::kBoolean:
      return kDataTypeBoolean;
    case common::DeclaredType::kDateTime:
      return kDataTypeDateTime;
  }
  return 0;
}

int32_t DirectionOf(common::ParamMode mode) {
  switch (mode) {
    case common::ParamMode::kIn:
    case common::ParamMode::kConst:
      return kDirectionIn;
    case common::ParamMode::kOut:
      return kDirectionOut;
    case common::ParamMode::kVar:
      return kDirectionInOut;
  }
  return kDirectionIn;
}

void MethodTable::AddClass(common::RemoteClass& remote_class) {
  const std::vector<common::RemoteMethod>& methods = remote_class.Methods();
  for (size_t i = 0; i < methods.size(); ++i) {
    const common::RemoteMethod& m = methods[i];
    MethodEntry entry;
    entry.qualified_name = remote_class.Name() + "." + m.name;
    entry.class_name = remote_class.Name();
    entry.remote_class = &remote_class;
    entry.method_index = i;
    entry.lifecycle = remote_class.Lifecycle();
    for (const common::RemoteParam& p : m.params) {
      TRDBParameter d;
      d.DataType = DataTypeOf(p.type);
      d.Direction = DirectionOf(p.mode);
      d.Name = common::Utf8ToUtf16(p.name);
      if (d.Direction != kDirectionIn) entry.has_output = true;
      entry.params.push_back(std::move(d));
      entry.types.push_back(p.type);
    }
    if (m.result) {
      TRDBParameter d;
      d.DataType = DataTypeOf(*m.result);
      d.Direction = kDirectionReturn;
      d.Name = common::Utf8ToUtf16(kReturnParameterName);
      entry.params.push_back(std::move(d));
      entry.types.push_back(*m.result);
      entry.has_output = true;
    }
    by_key_[common::ToUpperAscii(entry.qualified_name)] = std::move(entry);
  }
}

void MethodTable::AddBuiltins() {
  MethodEntry entry;
  entry.qualified_name = std::string(kMetadataClassName) + ".GetDatabase";
  entry.class_name = kMetadataClassName;
  entry.builtin = BuiltinMethod::kGetDatabase;
  entry.needs_authorization = false;
  TRDBParameter result;
  result.DataType = kDataTypeTable;
  result.Direction = kDirectionReturn;
  result.Name = common::Utf8ToUtf16(kReturnParameterName);
  entry.params.push_back(std::move(result));
  entry.types.push_back(common::DeclaredType::kOleVariant);  // not converted: a table
  entry.has_output = true;
  by_key_[common::ToUpperAscii(entry.qualified_name)] = std::move(entry);
}

const MethodEntry* MethodTable::Find(std::string_view upper_key) const {
  auto it = by_key_.find(std::string(upper_key));
  return it == by_key_.end() ? nullptr : &it->second;
}

const MethodEntry* MethodTable::Lookup(std::u16string_view command_text,
                                       std::string* scanned) const {
  std::string key = UpperKey(command_text);
  if (const MethodEntry* entry = Find(key)) return entry;
  const std::string name = common::Utf16ToUtf8(ScanDottedName(command_text));
  if (scanned) *scanned = name;
  return Find(common::ToUpperAscii(name));
}

CommandSelection SelectCommand(std::u16string_view type, std::u16string_view text,
                               const MethodTable& methods) {
  const bool server_method_type = EqualsIgnoreCase(type, kServerMethodType);
  if (auto call_text = AfterCall(text)) {
    if (server_method_type || methods.Lookup(*call_text)) {
      return {std::u16string(*call_text)};
    }
  } else if (EqualsIgnoreCase(type, kStoredProcedureType) && methods.Lookup(text)) {
    return {std::u16string(text)};
  }
  if (server_method_type) return {std::u16string(text)};
  if (type == common::Utf8ToUtf16(kMetaDataType)) {
    const std::u16string_view trimmed = TrimLeft(text);
    const std::u16string_view first = ScanDottedName(trimmed);
    std::u16string prefix = common::Utf8ToUtf16(std::string(kMetadataClassName) + ".");
    if (EqualsIgnoreCase(trimmed, "GetDatabase")) return {prefix + u"GetDatabase"};
    if (EqualsIgnoreCase(first, "GetProcedures")) return {prefix + u"GetProcedures"};
    if (EqualsIgnoreCase(first, "GetProcedureParameters")) {
      return {prefix + u"GetProcedureParameters"};
    }
  }
  throw TRDBError(common::Utf16ToUtf8(type) + " is an unrecognized command type",
                  kCommandTypeErrorCode);
}

std::vector<std::u16string> LiteralArguments(std::u16string_view command_text) {
  std::vector<std::u16string> values;
  const size_t open = command_text.find(u'(');
  if (open == std::u16string_view::npos) return values;
  size_t i = open + 1;
  const size_t n = command_text.size();
  for (;;) {
    while (i < n && IsBlank(command_text[i])) ++i;
    if (i >= n || command_text[i] == u')') break;
    std::u16string value;
    const char16_t c = command_text[i];
    if (c == u'\'' || c == u'"') {
      // A quoted literal; a doubled quote stands for one.
      ++i;
      while (i < n) {
        if (command_text[i] == c) {
          if (i + 1 < n && command_text[i + 1] == c) {
            value += c;
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        value += command_text[i++];
      }
    } else {
      while (i < n && command_text[i] != u',' && command_text[i] != u')') {
        value += command_text[i++];
      }
      while (!value.empty() && IsBlank(value.back())) value.pop_back();
    }
    values.push_back(std::move(value));
    while (i < n && IsBlank(command_text[i])) ++i;
    if (i < n && command_text[i] == u',') {
      ++i;
      continue;
    }
    break;
  }
  return values;
}

}  // namespace protocol
