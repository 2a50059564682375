#include "host/ini_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>

#include "common/file_replace.h"
#include "common/text.h"

namespace host {
namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";
constexpr size_t npos = std::string::npos;

std::string_view Trim(std::string_view s) {
  size_t b = 0;
  size_t e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

// The name of a "[name]" line, or nullopt.
std::optional<std::string_view> SectionName(std::string_view line) {
  const std::string_view t = Trim(line);
  if (t.size() < 2 || t.front() != '[') return std::nullopt;
  const size_t close = t.find(']');
  if (close == npos) return std::nullopt;
  return Trim(t.substr(1, close - 1));
}

bool IsComment(std::string_view line) {
  const std::string_view t = Trim(line);
  return !t.empty() && t.front() == ';';
}

}  // namespace

IniFile IniFile::Parse(std::string_view bytes) {
  IniFile ini;
  ini.exists_ = true;
  if (bytes.substr(0, kBom.size()) == kBom) {
    ini.bom_ = true;
    bytes.remove_prefix(kBom.size());
  }
  while (!bytes.empty()) {
    const size_t nl = bytes.find('\n');
    Line line;
    if (nl == npos) {
      line.text = std::string(bytes);
      bytes = {};
    } else {
      const bool crlf = nl > 0 && bytes[nl - 1] == '\r';
      line.text = std::string(bytes.substr(0, crlf ? nl - 1 : nl));
      line.eol = crlf ? "\r\n" : "\n";
      bytes.remove_prefix(nl + 1);
    }
    ini.lines_.push_back(std::move(line));
  }
  return ini;
}

IniFile IniFile::Load(const std::string& path) {
  // A file that cannot be read (missing, no rights, a folder in its place) reads as empty, so
  // every key takes its default.
  std::string bytes;
  try {
    std::ifstream in(path, std::ios::binary);
    if (!in) return IniFile();
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) return IniFile();
  } catch (const std::exception&) {
    return IniFile();
  }
  return Parse(bytes);
}

std::string_view IniFile::line_ending() const {
  for (const Line& line : lines_) {
    if (!line.eol.empty()) return line.eol;
  }
  return "\n";
}

size_t IniFile::FindSection(std::string_view section) const {
  for (size_t i = 0; i < lines_.size(); ++i) {
    const auto name = SectionName(lines_[i].text);
    if (name && common::EqualsIgnoreAsciiCase(*name, section)) return i;
  }
  return npos;
}

size_t IniFile::SectionEnd(size_t header) const {
  size_t i = header + 1;
  while (i < lines_.size() && !SectionName(lines_[i].text)) ++i;
  return i;
}

size_t IniFile::FindKey(size_t header, std::string_view key) const {
  const size_t end = SectionEnd(header);
  for (size_t i = header + 1; i < end; ++i) {
    const std::string& text = lines_[i].text;
    if (IsComment(text)) continue;
    const size_t eq = text.find('=');
    if (eq == npos) continue;
    if (common::EqualsIgnoreAsciiCase(Trim(std::string_view(text).substr(0, eq)), key)) return i;
  }
  return npos;
}

std::optional<std::string> IniFile::Read(std::string_view section, std::string_view key) const {
  const size_t header = FindSection(section);
  if (header == npos) return std::nullopt;
  const size_t line = FindKey(header, key);
  if (line == npos) return std::nullopt;
  const std::string& text = lines_[line].text;
  std::string_view value = Trim(std::string_view(text).substr(text.find('=') + 1));
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  return std::string(value);
}

void IniFile::EnsureLastLineEnded() {
  if (!lines_.empty() && lines_.back().eol.empty()) lines_.back().eol = std::string(line_ending());
}

void IniFile::Write(std::string_view section, std::string_view key, std::string_view value) {
  const std::string eol(line_ending());
  size_t header = FindSection(section);
  if (header == npos) {
    EnsureLastLineEnded();
    lines_.push_back({"[" + std::string(section) + "]", eol});
    lines_.push_back({std::string(key) + "=" + std::string(value), eol});
    return;
  }
  if (const size_t line = FindKey(header, key); line != npos) {
    std::string& text = lines_[line].text;
    text.resize(text.find('=') + 1);
    text.append(value);
    return;
  }
  // After the section's last non-blank line, so blank lines before the next section stay there.
  size_t at = SectionEnd(header);
  while (at > header + 1 && Trim(lines_[at - 1].text).empty()) --at;
  if (lines_[at - 1].eol.empty()) lines_[at - 1].eol = eol;
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at),
                Line{std::string(key) + "=" + std::string(value), eol});
}

std::string IniFile::Serialize() const {
  std::string out;
  if (bom_) out.append(kBom);
  for (const Line& line : lines_) {
    out += line.text;
    out += line.eol;
  }
  return out;
}

bool IniFile::Save(const std::string& path) const {
  return common::ReplaceFileContents(path, Serialize()) == 0;
}

}  // namespace host
