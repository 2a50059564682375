// The dataclient commands that talk to a running server, through the client library:
//   getdatabase                 the database-properties table
//   datetime                    GetServerDateTime: the server's time and its connection limit
//   query SQL [--out FILE]      SQL2OleVariant: the result set (FILE receives the compressed
//                               dataset stream as it came)
//   exec SQL                    ExecSQL
//   upload FILE [NAME]          UploadFile into the server's Upload folder (NAME defaults to
//                               FILE's own name)
//   download NAME [FILE|-]      DownLoadFile from the Upload folder (default: NAME in the
//                               current folder; - writes to standard output)
// Every one takes the connection options --host H (127.0.0.1), --port P (211), --user U
// (admin) and --password W (tulip), before or after the command's own arguments.
// Exit codes: 0 success, 1 a failure (refused connection, error reply, ErrMsg), 2 bad usage.
#ifndef DATASERVER_TOOLS_DATACLIENT_SERVER_COMMANDS_H_
#define DATASERVER_TOOLS_DATACLIENT_SERVER_COMMANDS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "dataclient/command.h"

namespace dataclient {

struct ServerOptions {
  std::string host = "127.0.0.1";
  uint16_t port = 211;
  std::string user = "admin";
  std::string password = "tulip";
};

// Takes the connection options out of `args` (the rest stays, in order). Throws
// std::invalid_argument for an option without its value or a port that is no number.
ServerOptions TakeServerOptions(std::vector<std::string>& args);
// True for the names of the connection options (they take one value each).
bool IsServerOption(const std::string& arg);

// Writes a result set (the inflated dataset stream of SQL2OleVariant) for a reader.
void RenderResultSet(common::ByteSpan dataset_stream, CommandIo& io);

int RunGetDatabase(const std::vector<std::string>& args, CommandIo& io);
int RunDateTime(const std::vector<std::string>& args, CommandIo& io);
int RunQuery(const std::vector<std::string>& args, CommandIo& io);
int RunExec(const std::vector<std::string>& args, CommandIo& io);
int RunUpload(const std::vector<std::string>& args, CommandIo& io);
int RunDownload(const std::vector<std::string>& args, CommandIo& io);

inline constexpr Command kGetDatabaseCommand{
    "getdatabase", "getdatabase [--host H] [--port P] [--user U] [--password W]",
    "print the server's database-properties table", &RunGetDatabase};
inline constexpr Command kDateTimeCommand{"datetime", "datetime [connection options]",
                                          "print the server's date and time (GetServerDateTime)",
                                          &RunDateTime};
inline constexpr Command kQueryCommand{
    "query", "query SQL [--out FILE] [connection options]",
    "run a query (SQL2OleVariant) and print its result set; --out keeps the dataset stream",
    &RunQuery};
inline constexpr Command kExecCommand{"exec", "exec SQL [connection options]",
                                      "run a statement (ExecSQL)", &RunExec};
inline constexpr Command kUploadCommand{
    "upload", "upload FILE [NAME] [connection options]",
    "store FILE in the server's Upload folder as NAME (UploadFile)", &RunUpload};
inline constexpr Command kDownloadCommand{
    "download", "download NAME [FILE|-] [connection options]",
    "fetch NAME from the server's Upload folder (DownLoadFile); - writes to standard output",
    &RunDownload};

}  // namespace dataclient

#endif  // DATASERVER_TOOLS_DATACLIENT_SERVER_COMMANDS_H_
