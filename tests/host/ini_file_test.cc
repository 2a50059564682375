#include "host/ini_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace host {
namespace {

// A hand-maintained file: comments, an unknown key, CRLF endings, blank lines, Chinese text.
constexpr char kHandEdited[] =
    "; settings of the data server\r\n"
    "[CONFIG]\r\n"
    "Caption=数据服务器3.3\r\n"
    "  SVRUSERNAME = admin  \r\n"
    "Custom=keep me\r\n"
    "\r\n"
    "[Backup]\r\n"
    "BackupType=2\r\n"
    "; hourly backups were too many\r\n"
    "EveryDay=3\r\n"
    "\r\n"
    "[Other]\r\n"
    "x=1";

TEST(IniFile, SerializesUnchangedFilesByteForByte) {
  const std::string cases[] = {
      kHandEdited,
      "\xEF\xBB\xBF[CONFIG]\nCaption=A\n",
      "no section line\n\n\n[s]\nk=v\nmixed\r\nendings\n",
      "",
      "[s]\r\nk=v\r",
  };
  for (const std::string& bytes : cases) {
    SCOPED_TRACE(bytes);
    EXPECT_EQ(IniFile::Parse(bytes).Serialize(), bytes);
  }
}

TEST(IniFile, ReadsLikeThePlatformReader) {
  const IniFile ini = IniFile::Parse(
      "top=ignored\n"
      "[CONFIG]\n"
      "Caption=数据服务器3.3\n"
      "  SVRUSERNAME = admin  \n"
      ";SVRPASSWORD=commented\n"
      "Quoted=\"  spaced  \"\n"
      "Single='x'\n"
      "Unbalanced=\"x\n"
      "Empty=\n"
      "no equals sign\n"
      "Dup=first\n"
      "Dup=second\n"
      "[ Spaced ]\n"
      "k = v = w\n"
      "[CONFIG]\n"
      "Late=in a duplicate section\n");
  const std::pair<std::pair<const char*, const char*>, std::optional<std::string>> cases[] = {
      {{"CONFIG", "Caption"}, "数据服务器3.3"},
      {{"config", "svrusername"}, "admin"},
      {{"CONFIG", "SVRPASSWORD"}, std::nullopt},
      {{"CONFIG", ";SVRPASSWORD"}, std::nullopt},
      {{"CONFIG", "Quoted"}, "  spaced  "},
      {{"CONFIG", "Single"}, "x"},
      {{"CONFIG", "Unbalanced"}, "\"x"},
      {{"CONFIG", "Empty"}, ""},
      {{"CONFIG", "Dup"}, "first"},
      {{"CONFIG", "top"}, std::nullopt},
      {{"CONFIG", "Late"}, std::nullopt},
      {{"Spaced", "k"}, "v = w"},
      {{"Missing", "k"}, std::nullopt},
  };
  for (const auto& [where, expected] : cases) {
    SCOPED_TRACE(std::string(where.first) + "/" + where.second);
    EXPECT_EQ(ini.Read(where.first, where.second), expected);
  }
}

TEST(IniFile, WriteChangesOnlyTheLinesItWrites) {
  IniFile ini = IniFile::Parse(kHandEdited);
  ini.Write("Backup", "everyday", "7");            // existing key: line rewritten, spelling kept
  ini.Write("Backup", "EveryMonth", "1");          // new key: after the last non-blank line
  ini.Write("CONFIG", "SVRUSERNAME", "operator");  // indentation and key spacing kept
  ini.Write("Other", "y", "2");                    // section ending without a line break
  ini.Write("Added", "k", "v");                    // new section at the end
  EXPECT_EQ(ini.Serialize(),
            "; settings of the data server\r\n"
            "[CONFIG]\r\n"
            "Caption=数据服务器3.3\r\n"
            "  SVRUSERNAME =operator\r\n"
            "Custom=keep me\r\n"
            "\r\n"
            "[Backup]\r\n"
            "BackupType=2\r\n"
            "; hourly backups were too many\r\n"
            "EveryDay=7\r\n"
            "EveryMonth=1\r\n"
            "\r\n"
            "[Other]\r\n"
            "x=1\r\n"
            "y=2\r\n"
            "[Added]\r\n"
            "k=v\r\n");
}

TEST(IniFile, NewFileUsesLineFeeds) {
  IniFile ini;
  EXPECT_FALSE(ini.exists());
  ini.Write("Backup", "BackupType", "0");
  ini.Write("Backup", "bakpath", "/srv/app/BackupData");
  EXPECT_EQ(ini.Serialize(), "[Backup]\nBackupType=0\nbakpath=/srv/app/BackupData\n");
  IniFile bom = IniFile::Parse("\xEF\xBB\xBF[a]\n");
  bom.Write("a", "k", "v");
  EXPECT_EQ(bom.Serialize(), "\xEF\xBB\xBF[a]\nk=v\n");
  EXPECT_EQ(bom.Read("a", "k"), "v");
}

TEST(IniFile, SavesThroughAReplacementAndKeepsPermissions) {
  char tmpl[] = "/tmp/inifile-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  const std::string folder = tmpl;
  const std::string path = folder + "/CONFIG.CFG";
  EXPECT_FALSE(IniFile::Load(path).exists());

  std::ofstream(path, std::ios::binary) << kHandEdited;
  ::chmod(path.c_str(), 0600);
  IniFile ini = IniFile::Load(path);
  ASSERT_TRUE(ini.exists());
  ini.Write("Backup", "BackupType", "4");
  ASSERT_TRUE(ini.Save(path));
  std::ifstream in(path, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), ini.Serialize());
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1);

  EXPECT_FALSE(ini.Save(folder + "/missing/CONFIG.CFG"));
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace host
