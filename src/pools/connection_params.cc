#include "pools/connection_params.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <system_error>

#include "common/file_replace.h"
#include "common/text.h"
#include "pools/database_error.h"

namespace pools {
namespace {

std::string_view TrimSpaces(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::string PathText(const std::filesystem::path& path) { return path.string(); }

}  // namespace

ConnectionParams ConnectionParams::Parse(std::string_view text) {
  ConnectionParams params;
  // A byte-order mark is not part of the first name (however many an editor left).
  while (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  while (!text.empty()) {
    size_t end = text.find_first_of("\r\n");
    params.lines_.emplace_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    // CR LF is one line end; CR or LF alone also end a line.
    size_t next = end + 1;
    if (text[end] == '\r' && next < text.size() && text[next] == '\n') ++next;
    text.remove_prefix(next);
  }
  return params;
}

ConnectionParams ConnectionParams::LoadFromFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    int err = errno;
    throw DatabaseError("Cannot open file \"" + PathText(path) + "\". " + std::strerror(err));
  }
  std::string text;
  char buffer[4096];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    text.append(buffer, static_cast<size_t>(in.gcount()));
    if (text.size() > kMaxFileSize) {
      throw DatabaseError("File \"" + PathText(path) + "\" is too large for connection parameters");
    }
  }
  if (in.bad()) throw DatabaseError("Cannot read file \"" + PathText(path) + "\"");
  if (text.find('\0') != std::string::npos) {
    throw DatabaseError("File \"" + PathText(path) +
                        "\" is not a text file of connection parameters");
  }
  return Parse(text);
}

void ConnectionParams::SaveToFile(const std::filesystem::path& path) const {
  // Replaced whole: a failed save leaves the previous DataBase.CFG as it was.
  if (const int err = common::ReplaceFileContents(path.string(), ToText()); err != 0) {
    throw DatabaseError("Cannot write file \"" + PathText(path) + "\". " + std::strerror(err));
  }
}

std::string ConnectionParams::ToText() const {
  std::string text;
  for (const std::string& line : lines_) {
    text += line;
    text += "\r\n";
  }
  return text;
}

std::string_view ConnectionParams::NameOf(std::string_view line) {
  return TrimSpaces(line.substr(0, line.find('=')));
}

std::string_view ConnectionParams::ValueOf(std::string_view line) {
  size_t eq = line.find('=');
  return eq == std::string_view::npos ? std::string_view() : line.substr(eq + 1);
}

std::string ConnectionParams::Value(std::string_view name) const {
  for (const std::string& line : lines_) {
    if (common::EqualsIgnoreAsciiCase(NameOf(line), TrimSpaces(name))) {
      return std::string(ValueOf(line));
    }
  }
  return {};
}

bool ConnectionParams::Has(std::string_view name) const {
  for (const std::string& line : lines_) {
    if (common::EqualsIgnoreAsciiCase(NameOf(line), TrimSpaces(name))) return true;
  }
  return false;
}

void ConnectionParams::Set(std::string_view name, std::string_view value) {
  name = TrimSpaces(name);
  for (auto it = lines_.begin(); it != lines_.end(); ++it) {
    if (common::EqualsIgnoreAsciiCase(NameOf(*it), name)) {
      if (value.empty()) {
        lines_.erase(it);
      } else {
        *it = std::string(name) + "=" + std::string(value);
      }
      return;
    }
  }
  if (!value.empty()) lines_.push_back(std::string(name) + "=" + std::string(value));
}

}  // namespace pools
