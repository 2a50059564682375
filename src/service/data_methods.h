// The database methods of TServerModule1: SQL2OleVariant, ExecSQL, UpdateSQL,
// UpdateOleVariant and StoredProc.
//
// Each borrows a connection and a query (or stored-procedure) object from the context's pools
// for the length of the call, through guards that give them back on every path, the query
// object first. ErrMsg is cleared on entry and receives the database's message, unchanged, of
// a failure the method handles; every other failure leaves the method as an exception
// (common::Error or derived), after everything taken is given back:
//
//   payload that is not a byte array or not valid compressed data   EDataMethodError /
//                                                                   EDecompressionError
//   a change set that is no dataset stream, or carries no journal   EDAException /
//                                                                   EDataMethodError
//   a malformed packed parameter list                               EPackedParamsError
//   no query or stored-procedure object, no connection for ExecSQL
//   or for a change set with changes                                EDataMethodError
//   the result cannot be saved or compressed (out of memory)        as raised
//
// A result is streamed from the cursor into the dataset stream (result_stream.h); a database
// failure while its rows are fetched is a failure of the query and goes to ErrMsg.
//
// Threads: called on connection threads, any number at once; the pools serialise the shared
// objects. Nothing is kept between calls.
#ifndef DATASERVER_SERVICE_DATA_METHODS_H_
#define DATASERVER_SERVICE_DATA_METHODS_H_

#include <string>
#include <string_view>

#include "common/bytes.h"
#include "common/error.h"
#include "common/variant.h"
#include "service/server_module.h"

namespace service {

// A failure that ends a database method as an error of the call.
class EDataMethodError : public common::Error {
 public:
  explicit EDataMethodError(const std::string& message)
      : common::Error("EDataMethodError", message) {}
};

// The methods, as TServerModule1 publishes them. Texts are the wire's UTF-16; the variants are
// the payloads of the packed parameter list and the byte-array variant.
common::Variant SQL2OleVariant(const ServiceContext& context, std::u16string_view SQLStr,
                               std::u16string& ErrMsg);
void ExecSQL(const ServiceContext& context, std::u16string_view SQLStr, std::u16string& ErrMsg);
void UpdateSQL(const ServiceContext& context, const common::Variant& SQLList,
               std::u16string& ErrMsg);
void UpdateOleVariant(const ServiceContext& context, std::u16string_view UpdateTableName,
                      const common::Variant& SourceOleVariant, std::u16string& ErrMsg);
common::Variant StoredProc(const ServiceContext& context, std::u16string_view StoredProcName,
                           const common::Variant& InPutPack, common::Variant& OutPutPack,
                           std::u16string& ErrMsg, bool ResultDataSet);

// The text of an UpdateSQL payload, as UTF-8: a byte-order mark selects UTF-8 (EF BB BF),
// UTF-16LE (FF FE) or UTF-16BE (FE FF); without one the bytes are in the ANSI code page.
std::string DecodeSqlText(common::ByteSpan bytes);

}  // namespace service

#endif  // DATASERVER_SERVICE_DATA_METHODS_H_
