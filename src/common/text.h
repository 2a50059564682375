// Text conversions: UTF-8 (our internal byte strings, file names, database text) and UTF-16
// (the system's strings: remote-method arguments, dataset wide text, the wire's characters),
// and the "ANSI code page" of 8-bit text.
//
// The ANSI code page is the code page named by the "CodePage" key of CONFIG.CFG (for example
// GBK), else the codeset of the process locale (LC_ALL, LC_CTYPE, LANG); a locale without a
// codeset, or the plain C/POSIX locale, means UTF-8. It is set once at start-up, before any
// connection thread exists, and only read afterwards.
#ifndef DATASERVER_COMMON_TEXT_H_
#define DATASERVER_COMMON_TEXT_H_

#include <string>
#include <string_view>

namespace common {

// Appends the UTF-8 form of one code point (at most U+10FFFF).
void AppendUtf8(std::string& out, char32_t code_point);

// Invalid input sequences (bad UTF-8, lone surrogates) become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

// ASCII-only case folding, locale independent (the comparisons of the dataset dictionary
// and of property names).
bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b);
bool EqualsIgnoreAsciiCase(std::u16string_view a, std::u16string_view b);
std::string ToUpperAscii(std::string_view text);

// A named 8-bit code page, converted through iconv. Thread-safe (each conversion opens its own
// converter). Characters the code page cannot hold become '?'.
class CodePage {
 public:
  explicit CodePage(std::string iconv_name);

  // The code page of the process locale, per the rule above.
  static CodePage FromLocale();

  const std::string& name() const { return name_; }
  bool IsUtf8() const;

  std::string FromUtf16(std::u16string_view text) const;
  std::u16string ToUtf16(std::string_view bytes) const;
  std::string FromUtf8(std::string_view text) const { return FromUtf16(Utf8ToUtf16(text)); }
  std::string ToUtf8(std::string_view bytes) const { return Utf16ToUtf8(ToUtf16(bytes)); }

  // Whether iconv knows the name.
  static bool IsKnown(const std::string& iconv_name);

 private:
  std::string name_;
};

// The process-wide ANSI code page. SetAnsiCodePage is called once during start-up; an unknown
// name falls back to the locale's code page (and returns false).
bool SetAnsiCodePage(const std::string& iconv_name);
const CodePage& AnsiCodePage();

}  // namespace common

#endif  // DATASERVER_COMMON_TEXT_H_
