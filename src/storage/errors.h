// Errors of the dataset storage and its table model.
//
// Every failure of the storage is an EDAException. Its message is "[DataAccess]", then each
// kind between brackets, then "-", the decimal code, ". " and the text with its arguments
// filled in, e.g. "[DataAccess][Store]-712. Cannot read [Row] object". The code travels as the
// error's integer code (DACode), the class name is "EDAException".
//
// A row of a dataset can carry an error too (a failed apply); those are kept as EDAException
// or, for errors raised by a database engine, as EDADBEngineException with the engine's
// individual errors. Both are values: copy them freely; no thread affinity.
#ifndef DATASERVER_STORAGE_ERRORS_H_
#define DATASERVER_STORAGE_ERRORS_H_

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"

namespace storage {

// Codes of the storage container ("Store").
inline constexpr int kDAErrInvalidFormat = 710;       // "Invalid binary storage format"
inline constexpr int kDAErrReadProperty = 711;        // "Cannot read [%s] property"
inline constexpr int kDAErrReadObject = 712;          // "Cannot read [%s] object"
inline constexpr int kDAErrReadRawData = 713;         // "Cannot read RAW data of [%s] object"
inline constexpr int kDAErrDictOverflow = 714;        // "Dictionary overflow"
inline constexpr int kDAErrClassNotRegistered = 715;  // "Class [%s] is not registered"
inline constexpr int kDAErrUnknownFormat = 716;       // "Unknown storage format [%s]. Hint: ..."
// Codes of the dataset ("Comp", "DS") and of the table model ("Mem").
inline constexpr int kDAErrUnidirectional =
    211;  // "Cannot perform operation on unidirectional dataset [%s]"
inline constexpr int kDAErrColumnTypeUnknown = 3;  // "Column [%s] type is unknown or undefined"
inline constexpr int kDAErrNoColumns = 4;          // "No columns defined for table"

class EDAException : public common::Error {
 public:
  // `message` is the complete text (already formatted).
  EDAException(int da_code, const std::string& message, std::string da_obj_name = {});
  ~EDAException() override;

  int DACode() const { return code(); }
  std::string Message() const { return what(); }
  // The name of the data access object the error belongs to (kept with row errors).
  const std::string& DAObjName() const { return da_obj_name_; }

  // A copy of the same dynamic type.
  virtual std::unique_ptr<EDAException> Clone() const;

 protected:
  EDAException(std::string class_name, int da_code, const std::string& message,
               std::string da_obj_name);

 private:
  std::string da_obj_name_;
};

// One error reported by a database engine, as kept with a row error.
struct TDADBError {
  int32_t ErrorCode = 0;
  int32_t Kind = 0;
  int32_t Level = 0;
  std::string Message;
  std::string ObjName;
  int32_t CommandTextOffset = 0;
  int32_t RowIndex = 0;

  bool operator==(const TDADBError&) const = default;
};

class EDADBEngineException : public EDAException {
 public:
  EDADBEngineException(int da_code, const std::string& message, std::string da_obj_name = {},
                       std::vector<TDADBError> errors = {});

  const std::vector<TDADBError>& Errors() const { return errors_; }

  std::unique_ptr<EDAException> Clone() const override;

 private:
  std::vector<TDADBError> errors_;
};

// Formats "[DataAccess][kind]...-code. text", with each "%s" of `text` replaced by the next
// argument in turn.
std::string FormatDAMessage(std::initializer_list<std::string_view> kinds, int code,
                            std::string_view text,
                            std::initializer_list<std::string_view> args = {});

// The storage's own errors ("Store" kind), by code (710 to 716); `arg` fills the "%s".
EDAException StoreError(int code, std::string_view arg = {});
// Error 211 ("Comp", "DS") for the named dataset.
EDAException UnidirectionalDataSetError(std::string_view dataset_name);
// Errors 3 and 4 ("Mem") of preparing a table's columns.
EDAException ColumnTypeUnknownError(std::string_view column_name);
EDAException NoColumnsError();

}  // namespace storage

#endif  // DATASERVER_STORAGE_ERRORS_H_
