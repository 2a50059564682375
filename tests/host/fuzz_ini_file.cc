// Parses arbitrary settings files: serialising gives the same bytes back, and a write keeps
// every line it does not touch.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "host/ini_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  host::IniFile ini = host::IniFile::Parse(bytes);
  if (ini.Serialize() != bytes) __builtin_trap();
  (void)ini.Read("CONFIG", "Caption");
  ini.Write("Backup", "EveryMonth", "1");
  if (ini.Read("Backup", "EveryMonth") != "1") __builtin_trap();
  const host::IniFile again = host::IniFile::Parse(ini.Serialize());
  if (again.Serialize() != ini.Serialize()) __builtin_trap();
  return 0;
}
