#include "host/settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "host/autostart.h"

namespace host {
namespace {

namespace fs = std::filesystem;

// A temporary application folder.
class SettingsTest : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/settings-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    folder_ = std::string(tmpl) + "/";
  }
  void TearDown() override { fs::remove_all(folder_); }

  void WriteConfig(const std::string& bytes) {
    std::ofstream(folder_ + kSettingsFileName, std::ios::binary) << bytes;
  }
  std::string ReadConfig() {
    std::ifstream in(folder_ + kSettingsFileName, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::string folder_;
};

TEST_F(SettingsTest, MissingFileGivesDefaultsAndIsNotCreated) {
  const ServerSettings s = LoadSettings(folder_);
  EXPECT_EQ(s.caption, "数据服务器3.3");
  EXPECT_EQ(s.user_name, "admin");
  EXPECT_EQ(s.password, "tulip");
  EXPECT_EQ(s.port, "211");
  EXPECT_TRUE(s.autostart);
  EXPECT_EQ(s.code_page, "");
  EXPECT_EQ(s.shutdown_timeout_seconds, 10);
  EXPECT_EQ(s.backup.backup_type, 0);
  EXPECT_EQ(s.backup.minute, 0);
  EXPECT_EQ(s.backup.hour, 0);
  EXPECT_EQ(s.backup.weekday, 0);
  EXPECT_EQ(s.backup.day, 1);  // a stored 0 shows as day 1
  EXPECT_EQ(s.backup.path, folder_ + "BackupData");
  EXPECT_FALSE(fs::exists(folder_ + kSettingsFileName));
}

TEST_F(SettingsTest, NetworkGuardsHaveSafeDefaultsAndReadTheirKeys) {
  const NetworkSettings defaults = LoadSettings(folder_).network;
  EXPECT_TRUE(defaults.listen_addresses.empty());
  EXPECT_EQ(defaults.login_timeout, 60);
  EXPECT_EQ(defaults.max_pending_per_address, 32);
  EXPECT_EQ(defaults.send_stall_timeout, 300);
  EXPECT_EQ(defaults.pre_login_limit, 1 << 20);
  EXPECT_EQ(defaults.decompression_budget_mib, 0);

  WriteConfig(
      "[CONFIG]\r\nListenAddress= 127.0.0.1, ::1;[fe80::1] localhost\r\nLoginTimeout=0\r\n"
      "MaxPendingPerAddress=-4\r\nSendStallTimeout=15\r\nPreLoginLimit=65536\r\n"
      "DecompressionBudget=512\r\n");
  const NetworkSettings n = LoadSettings(folder_).network;
  EXPECT_EQ(n.listen_addresses,
            (std::vector<std::string>{"127.0.0.1", "::1", "[fe80::1]", "localhost"}));
  EXPECT_EQ(n.login_timeout, 0);
  EXPECT_EQ(n.max_pending_per_address, 0) << "a negative number counts as 0";
  EXPECT_EQ(n.send_stall_timeout, 15);
  EXPECT_EQ(n.pre_login_limit, 65536);
  EXPECT_EQ(n.decompression_budget_mib, 512);
}

TEST_F(SettingsTest, UnreadableFileGivesDefaults) {
  fs::create_directory(folder_ + kSettingsFileName);  // a folder where the file should be
  const ServerSettings s = LoadSettings(folder_);
  EXPECT_EQ(s.caption, "数据服务器3.3");
  EXPECT_EQ(s.port, "211");
  EXPECT_EQ(s.backup.day, 1);
}

TEST_F(SettingsTest, ReadsEveryKey) {
  WriteConfig(
      "[CONFIG]\r\nCaption=测试服务器\r\nSVRUSERNAME=ops\r\nSVRPASSWORD=p=w\r\n"
      "SVROPENPORT=8211\r\nSVRStart=0\r\nCodePage=GBK\r\nShutdownTimeout=25\r\n"
      "[Backup]\r\nBackupType=3\r\nEveryTime=15\r\nEveryDay=22\r\nEveryWeek=6\r\n"
      "EveryMonth=31\r\nbakpath=/data/备份\r\n");
  const ServerSettings s = LoadSettings(folder_);
  EXPECT_EQ(s.caption, "测试服务器");
  EXPECT_EQ(s.user_name, "ops");
  EXPECT_EQ(s.password, "p=w");
  EXPECT_EQ(s.port, "8211");
  EXPECT_FALSE(s.autostart);
  EXPECT_EQ(s.code_page, "GBK");
  EXPECT_EQ(s.shutdown_timeout_seconds, 25);
  EXPECT_EQ(s.backup.backup_type, 3);
  EXPECT_EQ(s.backup.minute, 15);
  EXPECT_EQ(s.backup.hour, 22);
  EXPECT_EQ(s.backup.weekday, 6);
  EXPECT_EQ(s.backup.day, 31);
  EXPECT_EQ(s.backup.path, "/data/备份");
}

struct ValueCase {
  const char* key;
  const char* value;
  int expected;  // the field after reading
};

// Each integer key with a value outside its range or not an integer at all.
TEST_F(SettingsTest, AppliesRangesAndDefaultsToIntegers) {
  const ValueCase cases[] = {
      {"EveryMonth", "0", 1},          {"EveryMonth", "45", 31}, {"EveryMonth", "x", 1},
      {"EveryTime", "75", 59},         {"EveryTime", "-3", 0},   {"EveryTime", "1.5", 0},
      {"EveryDay", "24", 23},          {"EveryDay", "", 0},      {"EveryDay", " 7 ", 7},
      {"BackupType", "9", 4},          {"BackupType", "-2", -1}, {"BackupType", "0x2", 0},
      {"EveryWeek", "7", 6},           {"EveryWeek", "-1", -1},  {"EveryWeek", "+5", 5},
      {"EveryWeek", "99999999999", 0},
  };
  for (const ValueCase& c : cases) {
    SCOPED_TRACE(std::string(c.key) + "=" + c.value);
    WriteConfig(std::string("[Backup]\n") + c.key + "=" + c.value + "\n");
    const BackupSettings b = LoadSettings(folder_).backup;
    const std::string key = c.key;
    const int got = key == "EveryMonth"   ? b.day
                    : key == "EveryTime"  ? b.minute
                    : key == "EveryDay"   ? b.hour
                    : key == "BackupType" ? b.backup_type
                                          : b.weekday;
    EXPECT_EQ(got, c.expected);
  }
  const ValueCase timeouts[] = {
      {"ShutdownTimeout", "0", 1},
      {"ShutdownTimeout", "-5", 1},
      {"ShutdownTimeout", "9999", 3600},
      {"ShutdownTimeout", "soon", 10},
  };
  for (const ValueCase& c : timeouts) {
    SCOPED_TRACE(std::string(c.key) + "=" + c.value);
    WriteConfig(std::string("[CONFIG]\n") + c.key + "=" + c.value + "\n");
    EXPECT_EQ(LoadSettings(folder_).shutdown_timeout_seconds, c.expected);
  }
  for (const char* start : {"0", "1", "-7", "yes", ""}) {
    SCOPED_TRACE(start);
    WriteConfig(std::string("[CONFIG]\nSVRStart=") + start + "\n");
    EXPECT_EQ(LoadSettings(folder_).autostart, std::string(start) != "0");
  }
}

TEST_F(SettingsTest, FirstSaveCreatesOnlyTheBackupSection) {
  ServerSettings s = LoadSettings(folder_);
  ASSERT_TRUE(SaveBackupSettings(folder_, s.backup));
  EXPECT_EQ(ReadConfig(),
            "[Backup]\nBackupType=0\nEveryTime=0\nEveryDay=0\nEveryWeek=0\nEveryMonth=1\n"
            "bakpath=" +
                folder_ + "BackupData\n");
  // Closing again with the same fields writes the same bytes.
  const std::string once = ReadConfig();
  ASSERT_TRUE(SaveBackupSettings(folder_, LoadSettings(folder_).backup));
  EXPECT_EQ(ReadConfig(), once);
}

TEST_F(SettingsTest, SaveKeepsEveryOtherByteOfAHandEditedFile) {
  const std::string before =
      "\xEF\xBB\xBF; edited by hand\r\n"
      "[CONFIG]\r\n"
      "Caption=数据服务器3.3\r\n"
      "SVROPENPORT = 8211\r\n"
      "Unknown=stays\r\n"
      "\r\n"
      "[Backup]\r\n"
      "bakpath=D:\\old\r\n"
      "; weekly\r\n"
      "EveryMonth=0\r\n"
      "Extra=1\r\n"
      "\r\n"
      "[Tail]\r\n"
      "z=9\r\n";
  WriteConfig(before);
  BackupSettings b = LoadSettings(folder_).backup;
  EXPECT_EQ(b.day, 1);
  b.path = "/srv/备份";
  b.backup_type = 3;
  b.weekday = -1;
  ASSERT_TRUE(SaveBackupSettings(folder_, b));
  EXPECT_EQ(ReadConfig(),
            "\xEF\xBB\xBF; edited by hand\r\n"
            "[CONFIG]\r\n"
            "Caption=数据服务器3.3\r\n"
            "SVROPENPORT = 8211\r\n"
            "Unknown=stays\r\n"
            "\r\n"
            "[Backup]\r\n"
            "bakpath=/srv/备份\r\n"
            "; weekly\r\n"
            "EveryMonth=1\r\n"
            "Extra=1\r\n"
            "BackupType=3\r\n"
            "EveryTime=0\r\n"
            "EveryDay=0\r\n"
            "EveryWeek=-1\r\n"
            "\r\n"
            "[Tail]\r\n"
            "z=9\r\n");
}

// A file carried over from an installation that wrote its code page, not UTF-8.
TEST_F(SettingsTest, ReadsAndWritesAFileInItsCodePage) {
  // "数据" and "备份" in GBK.
  const std::string before = "[CONFIG]\r\nCodePage=GBK\r\nCaption=\xCA\xFD\xBE\xDD\r\n";
  WriteConfig(before);
  ServerSettings s = LoadSettings(folder_);
  EXPECT_EQ(s.caption, "数据");
  s.backup.path = "/备份";
  ASSERT_TRUE(SaveBackupSettings(folder_, s.backup));
  const std::string after = ReadConfig();
  EXPECT_EQ(after.substr(0, before.size()), before);
  EXPECT_NE(after.find("bakpath=/\xB1\xB8\xB7\xDD\r\n"), std::string::npos);
  EXPECT_EQ(LoadSettings(folder_).backup.path, "/备份");
}

TEST_F(SettingsTest, SaveOnCloseWritesTheSectionEvenWithoutAutostartRights) {
  // XDG_CONFIG_HOME below a regular file: the autostart folder cannot be made.
  const std::string blocker = folder_ + "blocker";
  std::ofstream(blocker) << "x";
  const char* old = std::getenv("XDG_CONFIG_HOME");
  const std::string saved = old ? old : "";
  ::setenv("XDG_CONFIG_HOME", (blocker + "/config").c_str(), 1);
  BackupSettings b;
  b.hour = 5;
  const bool written = SaveOnClose(folder_, "/opt/dataserver/dataserver", true, b);
  if (old) {
    ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
  } else {
    ::unsetenv("XDG_CONFIG_HOME");
  }
  EXPECT_TRUE(written);
  EXPECT_EQ(LoadSettings(folder_).backup.hour, 5);
}

TEST(Settings, ParsesDecimalIntegersOnly) {
  const std::pair<const char*, std::optional<int32_t>> cases[] = {
      {"0", 0},
      {"211", 211},
      {"-5", -5},
      {"+8", 8},
      {" 42\t", 42},
      {"2147483647", 2147483647},
      {"-2147483648", INT32_MIN},
      {"2147483648", {}},
      {"", {}},
      {"abc", {}},
      {"12a", {}},
      {"1 2", {}},
      {"+-1", {}},
      {"0x10", {}},
      {"$10", {}},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(ParseInteger(text), expected);
  }
}

}  // namespace
}  // namespace host
