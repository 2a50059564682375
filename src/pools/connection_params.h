// The connection parameters of a database connection: the name=value lines of DataBase.CFG.
//
// File layout (UTF-8 text; a leading UTF-8 byte-order mark is skipped on reading):
//   DriverID=MSSQL<CR><LF>
//   Server=db1<CR><LF>
//   Database=Sales<CR><LF>
// One parameter per line, the name, "=" and the value; the writer ends every line, the last one
// included, with CR LF; the reader also takes LF or CR alone. A line is kept as it is read (a
// line without "=" is a name with an empty value), so a load and a save give back the file.
// Names compare without regard to ASCII case and to spaces around them; values are taken
// exactly (a password may begin or end with a space). A missing name reads as an empty value.
//
// Thread use: a value; one thread at a time.
#ifndef DATASERVER_POOLS_CONNECTION_PARAMS_H_
#define DATASERVER_POOLS_CONNECTION_PARAMS_H_

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace pools {

class ConnectionParams {
 public:
  // A settings file is a few lines; anything larger is not a DataBase.CFG.
  static constexpr size_t kMaxFileSize = 1 << 20;

  ConnectionParams() = default;

  static ConnectionParams Parse(std::string_view text);
  // Reads a DataBase.CFG file. Throws DatabaseError (with the system's reason) when the file is
  // missing or unreadable, larger than kMaxFileSize, or holds a NUL byte (not a text file).
  static ConnectionParams LoadFromFile(const std::filesystem::path& path);
  // Rewrites the whole file. Throws DatabaseError when it cannot be written.
  void SaveToFile(const std::filesystem::path& path) const;
  // The file's text: every line followed by CR LF.
  std::string ToText() const;

  // The value of the first line with that name; empty when there is none.
  std::string Value(std::string_view name) const;
  bool Has(std::string_view name) const;
  // Replaces the value of the first line with that name, or appends "name=value". An empty
  // value removes the line, so that an empty field leaves the parameter absent.
  void Set(std::string_view name, std::string_view value);

  const std::vector<std::string>& Lines() const { return lines_; }
  // The name and value parts of one line.
  static std::string_view NameOf(std::string_view line);
  static std::string_view ValueOf(std::string_view line);

  bool empty() const { return lines_.empty(); }
  void Clear() { lines_.clear(); }

  bool operator==(const ConnectionParams&) const = default;

 private:
  std::vector<std::string> lines_;
};

}  // namespace pools

#endif  // DATASERVER_POOLS_CONNECTION_PARAMS_H_
