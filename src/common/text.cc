#include "common/text.h"

#include <iconv.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <vector>

namespace common {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf16(std::u16string& out, char32_t c) {
  if (c < 0x10000) {
    out += static_cast<char16_t>(c);
  } else {
    c -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (c >> 10));
    out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
  }
}

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }
char16_t AsciiUpper(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }

struct IconvCloser {
  void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};

// Runs one iconv conversion over the whole input; unconvertible or invalid input units are
// replaced by `replacement` (already encoded in the target) and skipped by `skip` bytes.
std::string Convert(const char* to, const char* from, std::string_view in, std::string_view replacement,
                    size_t skip) {
  iconv_t raw = iconv_open(to, from);
  if (raw == reinterpret_cast<iconv_t>(-1)) return std::string();
  std::unique_ptr<void, IconvCloser> cd(raw);
  std::string out;
  std::vector<char> buf(4096);
  char* inp = const_cast<char*>(in.data());
  size_t inleft = in.size();
  while (inleft > 0) {
    char* outp = buf.data();
    size_t outleft = buf.size();
    size_t r = iconv(raw, &inp, &inleft, &outp, &outleft);
    out.append(buf.data(), buf.size() - outleft);
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      // EILSEQ or EINVAL: replace one input unit and go on.
      out.append(replacement);
      size_t n = std::min(skip, inleft);
      inp += n;
      inleft -= n;
    }
  }
  char* outp = buf.data();
  size_t outleft = buf.size();
  iconv(raw, nullptr, nullptr, &outp, &outleft);
  out.append(buf.data(), buf.size() - outleft);
  return out;
}

std::string LocaleCodeset() {
  const char* vars[] = {"LC_ALL", "LC_CTYPE", "LANG"};
  for (const char* var : vars) {
    const char* v = std::getenv(var);
    if (v == nullptr || *v == '\0') continue;
    std::string_view s(v);
    auto dot = s.find('.');
    if (dot == std::string_view::npos) return "UTF-8";
    std::string_view codeset = s.substr(dot + 1);
    auto at = codeset.find('@');
    if (at != std::string_view::npos) codeset = codeset.substr(0, at);
    if (codeset.empty()) return "UTF-8";
    return std::string(codeset);
  }
  return "UTF-8";
}

CodePage& AnsiCodePageSlot() {
  static CodePage page = CodePage::FromLocale();
  return page;
}

}  // namespace

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  size_t i = 0;
  const size_t n = text.size();
  auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  while (i < n) {
    unsigned char b = byte(i);
    if (b < 0x80) {
      out += static_cast<char16_t>(b);
      ++i;
      continue;
    }
    int len = 0;
    char32_t c = 0;
    char32_t min = 0;
    if ((b & 0xE0) == 0xC0) {
      len = 2, c = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      len = 3, c = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      len = 4, c = b & 0x07, min = 0x10000;
    } else {
      out += static_cast<char16_t>(kReplacement);
      ++i;
      continue;
    }
    bool ok = i + len <= n;
    for (int k = 1; ok && k < len; ++k) {
      unsigned char cb = byte(i + k);
      if ((cb & 0xC0) != 0x80) {
        ok = false;
      } else {
        c = (c << 6) | (cb & 0x3F);
      }
    }
    if (!ok || c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      out += static_cast<char16_t>(kReplacement);
      ++i;
      continue;
    }
    AppendUtf16(out, c);
    i += len;
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = kReplacement;
    }
    AppendUtf8(out, c);
  }
  return out;
}

bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  }
  return true;
}

bool EqualsIgnoreAsciiCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  }
  return true;
}

std::string ToUpperAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = AsciiUpper(c);
  return out;
}

CodePage::CodePage(std::string iconv_name) : name_(std::move(iconv_name)) {}

CodePage CodePage::FromLocale() { return CodePage(LocaleCodeset()); }

bool CodePage::IsUtf8() const {
  return EqualsIgnoreAsciiCase(name_, "UTF-8") || EqualsIgnoreAsciiCase(name_, "UTF8");
}

bool CodePage::IsKnown(const std::string& iconv_name) {
  iconv_t cd = iconv_open(iconv_name.c_str(), "UTF-16LE");
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  iconv_close(cd);
  return true;
}

std::string CodePage::FromUtf16(std::u16string_view text) const {
  if (IsUtf8()) return Utf16ToUtf8(text);
  std::string in;
  in.reserve(text.size() * 2);
  for (char16_t c : text) {
    in += static_cast<char>(c & 0xFF);
    in += static_cast<char>(c >> 8);
  }
  return Convert(name_.c_str(), "UTF-16LE", in, "?", 2);
}

std::u16string CodePage::ToUtf16(std::string_view bytes) const {
  if (IsUtf8()) return Utf8ToUtf16(bytes);
  std::string out = Convert("UTF-16LE", name_.c_str(), bytes, std::string("\xFD\xFF", 2), 1);
  std::u16string result;
  result.reserve(out.size() / 2);
  for (size_t i = 0; i + 1 < out.size(); i += 2) {
    result += static_cast<char16_t>(static_cast<unsigned char>(out[i]) |
                                    (static_cast<unsigned char>(out[i + 1]) << 8));
  }
  return result;
}

bool SetAnsiCodePage(const std::string& iconv_name) {
  if (!iconv_name.empty() && CodePage::IsKnown(iconv_name)) {
    AnsiCodePageSlot() = CodePage(iconv_name);
    return true;
  }
  AnsiCodePageSlot() = CodePage::FromLocale();
  return iconv_name.empty();
}

const CodePage& AnsiCodePage() { return AnsiCodePageSlot(); }

}  // namespace common
