// An INI file that changes only the lines it writes.
//
// CONFIG.CFG is edited by hand: its comments, unknown keys and sections, blank lines, line
// order, line endings and a UTF-8 byte-order mark must survive every write byte for byte. The
// file is kept as its lines, each with its own line ending; a write rewrites one line or adds
// one. Text is handled as bytes (the settings layer decides the encoding).
//
// Syntax, as the platform's INI reader took it: "[section]" lines; "key=value" lines; names
// compare ignoring ASCII case; blanks around names and values are dropped, and one pair of
// matching quotes around a value; lines starting with ";" and lines without "=" are ignored;
// the first of duplicate sections or keys wins.
//
// Threads: a value; not shared.
#ifndef DATASERVER_HOST_INI_FILE_H_
#define DATASERVER_HOST_INI_FILE_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace host {

class IniFile {
 public:
  IniFile() = default;
  static IniFile Parse(std::string_view bytes);
  // A missing or unreadable file is an empty one; `exists()` tells which.
  static IniFile Load(const std::string& path);

  std::optional<std::string> Read(std::string_view section, std::string_view key) const;

  // Replaces the key's line in the section (keeping the key's spelling and indentation), or adds
  // "key=value" after the section's last non-blank line, or adds the section at the end.
  void Write(std::string_view section, std::string_view key, std::string_view value);

  std::string Serialize() const;
  // Writes the whole file through a temporary file in the same folder renamed over it, keeping
  // the old file's permissions. False (and the old file intact) on failure.
  bool Save(const std::string& path) const;

  bool exists() const { return exists_; }
  bool has_bom() const { return bom_; }
  // The line ending new lines get: the file's first one, else "\n".
  std::string_view line_ending() const;

 private:
  struct Line {
    std::string text;  // without its ending
    std::string eol;   // "\r\n", "\n" or "" (last line without ending)
  };

  // Index of the section's header line, or npos.
  size_t FindSection(std::string_view section) const;
  // Index of the key's line within the section starting after `header`, or npos.
  size_t FindKey(size_t header, std::string_view key) const;
  size_t SectionEnd(size_t header) const;  // first line after the section
  void EnsureLastLineEnded();

  std::vector<Line> lines_;
  bool bom_ = false;
  bool exists_ = false;
};

}  // namespace host

#endif  // DATASERVER_HOST_INI_FILE_H_
