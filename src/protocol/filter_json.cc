#include "protocol/filter_json.h"

#include <cstdint>

#include "common/text.h"

namespace protocol {
namespace {

void AppendJsonString(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 15];
        } else {
          out += ch;
        }
    }
  }
  out += '"';
}

// A strict parser for exactly the two-level shape of a filter list.
class Parser {
 public:
  explicit Parser(std::string_view text) : s_(text) {}

  std::optional<std::vector<FilterSetup>> Parse() {
    std::vector<FilterSetup> result;
    if (!Expect('{')) return std::nullopt;
    if (!Peek('}')) {
      do {
        FilterSetup setup;
        if (!String(setup.id) || !Expect(':') || !Parameters(setup.parameters)) {
          return std::nullopt;
        }
        result.push_back(std::move(setup));
      } while (Accept(','));
    }
    if (!Expect('}')) return std::nullopt;
    SkipBlanks();
    if (i_ != s_.size()) return std::nullopt;
    return result;
  }

 private:
  bool Parameters(std::vector<std::pair<std::string, std::string>>& out) {
    if (!Expect('{')) return false;
    if (Accept('}')) return true;
    do {
      std::string name;
      std::string value;
      if (!String(name) || !Expect(':') || !Scalar(value)) return false;
      out.emplace_back(std::move(name), std::move(value));
    } while (Accept(','));
    return Expect('}');
  }

  bool Scalar(std::string& out) {
    SkipBlanks();
    if (i_ >= s_.size()) return false;
    if (s_[i_] == '"') return String(out);
    for (std::string_view word : {"null", "true", "false"}) {
      if (s_.substr(i_, word.size()) == word) {
        i_ += word.size();
        if (word != "null") out = word;
        return true;
      }
    }
    const size_t start = i_;
    while (i_ < s_.size() && (s_[i_] == '-' || s_[i_] == '+' || s_[i_] == '.' || s_[i_] == 'e' ||
                              s_[i_] == 'E' || (s_[i_] >= '0' && s_[i_] <= '9'))) {
      ++i_;
    }
    if (i_ == start) return false;
    out = std::string(s_.substr(start, i_ - start));
    return true;
  }

  bool String(std::string& out) {
    if (!Expect('"')) return false;
    while (i_ < s_.size()) {
      const char c = s_[i_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (i_ >= s_.size()) return false;
      const char e = s_[i_++];
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out += e;
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          uint32_t c1 = 0;
          if (!Hex4(c1)) return false;
          if (c1 >= 0xD800 && c1 < 0xDC00 && s_.substr(i_, 2) == "\\u") {
            const size_t save = i_;
            i_ += 2;
            uint32_t c2 = 0;
            if (Hex4(c2) && c2 >= 0xDC00 && c2 < 0xE000) {
              c1 = 0x10000 + ((c1 - 0xD800) << 10) + (c2 - 0xDC00);
            } else {
              i_ = save;
            }
          }
          if (c1 >= 0xD800 && c1 < 0xE000 && c1 < 0x10000) c1 = 0xFFFD;
          common::AppendUtf8(out, c1);
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }

  bool Hex4(uint32_t& value) {
    if (s_.size() - i_ < 4) return false;
    value = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = s_[i_++];
      uint32_t d;
      if (c >= '0' && c <= '9') {
        d = c - '0';
      } else if (c >= 'a' && c <= 'f') {
        d = c - 'a' + 10;
      } else if (c >= 'A' && c <= 'F') {
        d = c - 'A' + 10;
      } else {
        return false;
      }
      value = value * 16 + d;
    }
    return true;
  }

  void SkipBlanks() {
    while (i_ < s_.size() &&
           (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) {
      ++i_;
    }
  }
  bool Peek(char c) {
    SkipBlanks();
    return i_ < s_.size() && s_[i_] == c;
  }
  bool Accept(char c) {
    if (!Peek(c)) return false;
    ++i_;
    return true;
  }
  bool Expect(char c) { return Accept(c); }

  std::string_view s_;
  size_t i_ = 0;
};

}  // namespace

std::string FormatFilterList(const std::vector<FilterSetup>& setups) {
  std::string out = "{";
  for (size_t f = 0; f < setups.size(); ++f) {
    if (f) out += ',';
    AppendJsonString(out, setups[f].id);
    out += ":{";
    for (size_t p = 0; p < setups[f].parameters.size(); ++p) {
      if (p) out += ',';
      const auto& [name, value] = setups[f].parameters[p];
      AppendJsonString(out, name);
      out += ':';
      if (value.empty()) {
        out += "null";
      } else {
        AppendJsonString(out, value);
      }
    }
    out += '}';
  }
  out += '}';
  return out;
}

std::string FormatFilterList(const FilterList& filters) {
  std::vector<FilterSetup> setups;
  setups.reserve(filters.size());
  for (const auto& filter : filters) {
    FilterSetup setup{filter->Id(), {}};
    for (const std::string& name : filter->GetParameters()) {
      setup.parameters.emplace_back(name, filter->GetParameterValue(name));
    }
    setups.push_back(std::move(setup));
  }
  return FormatFilterList(setups);
}

std::optional<std::vector<FilterSetup>> ParseFilterList(std::string_view json) {
  return Parser(json).Parse();
}

}  // namespace protocol
