#include "storage/errors.h"

#include <utility>

namespace storage {

EDAException::EDAException(int da_code, const std::string& message, std::string da_obj_name)
    : EDAException("EDAException", da_code, message, std::move(da_obj_name)) {}

EDAException::EDAException(std::string class_name, int da_code, const std::string& message,
                           std::string da_obj_name)
    : common::Error(std::move(class_name), message, da_code),
      da_obj_name_(std::move(da_obj_name)) {}

EDAException::~EDAException() = default;

std::unique_ptr<EDAException> EDAException::Clone() const {
  return std::make_unique<EDAException>(*this);
}

EDADBEngineException::EDADBEngineException(int da_code, const std::string& message,
                                           std::string da_obj_name, std::vector<TDADBError> errors)
    : EDAException("EDADBEngineException", da_code, message, std::move(da_obj_name)),
      errors_(std::move(errors)) {}

std::unique_ptr<EDAException> EDADBEngineException::Clone() const {
  return std::make_unique<EDADBEngineException>(*this);
}

std::string FormatDAMessage(std::initializer_list<std::string_view> kinds, int code,
                            std::string_view text, std::initializer_list<std::string_view> args) {
  std::string out = "[DataAccess]";
  for (std::string_view kind : kinds) {
    out += '[';
    out += kind;
    out += ']';
  }
  out += '-';
  out += std::to_string(code);
  out += ". ";
  auto arg = args.begin();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == 's') {
      if (arg != args.end()) out += *arg++;
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

namespace {

std::string_view StoreText(int code) {
  switch (code) {
    case kDAErrInvalidFormat:
      return "Invalid binary storage format";
    case kDAErrReadProperty:
      return "Cannot read [%s] property";
    case kDAErrReadObject:
      return "Cannot read [%s] object";
    case kDAErrReadRawData:
      return "Cannot read RAW data of [%s] object";
    case kDAErrDictOverflow:
      return "Dictionary overflow";
    case kDAErrClassNotRegistered:
      return "Class [%s] is not registered";
    case kDAErrUnknownFormat:
      return "Unknown storage format [%s]. Hint: To register it, you can drop component "
             "[TDAStorageXxxLink] into your project";
    default:
      return "Storage error";
  }
}

}  // namespace

EDAException StoreError(int code, std::string_view arg) {
  return EDAException(code, FormatDAMessage({"Store"}, code, StoreText(code), {arg}));
}

EDAException UnidirectionalDataSetError(std::string_view dataset_name) {
  return EDAException(
      kDAErrUnidirectional,
      FormatDAMessage({"Comp", "DS"}, kDAErrUnidirectional,
                      "Cannot perform operation on unidirectional dataset [%s]", {dataset_name}));
}

EDAException ColumnTypeUnknownError(std::string_view column_name) {
  return EDAException(kDAErrColumnTypeUnknown,
                      FormatDAMessage({"Mem"}, kDAErrColumnTypeUnknown,
                                      "Column [%s] type is unknown or undefined", {column_name}));
}

EDAException NoColumnsError() {
  return EDAException(kDAErrNoColumns,
                      FormatDAMessage({"Mem"}, kDAErrNoColumns, "No columns defined for table"));
}

}  // namespace storage
