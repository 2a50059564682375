#include "host/autostart.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace host {
namespace {

namespace fs = std::filesystem;

class AutostartTest : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/autostart-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    home_ = tmpl;
    entry_ = home_ + "/.config/autostart/dataserver.desktop";
  }
  void TearDown() override { fs::remove_all(home_); }
  std::string ReadEntry() {
    std::ifstream in(entry_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::string home_;
  std::string entry_;
};

TEST_F(AutostartTest, CheckedWritesTheEntryAndUncheckedRemovesIt) {
  ASSERT_TRUE(ApplyAutostart(true, "/opt/ds/dataserver", "/srv/app/", entry_));
  EXPECT_EQ(ReadEntry(),
            "[Desktop Entry]\n"
            "Type=Application\n"
            "Name=dataserver\n"
            "Exec=/opt/ds/dataserver --app-dir /srv/app/\n"
            "Terminal=false\n"
            "X-GNOME-Autostart-enabled=true\n");
  // Checking again rewrites it with the current executable path.
  ASSERT_TRUE(ApplyAutostart(true, "/opt/new/dataserver", "/srv/app/", entry_));
  EXPECT_NE(ReadEntry().find("Exec=/opt/new/dataserver "), std::string::npos);

  EXPECT_TRUE(ApplyAutostart(false, "/opt/new/dataserver", "/srv/app/", entry_));
  EXPECT_FALSE(fs::exists(entry_));
  EXPECT_TRUE(ApplyAutostart(false, "/opt/new/dataserver", "/srv/app/", entry_));  // absent: fine
}

TEST(Autostart, QuotesAndEscapesTheExecLine) {
  const std::string text = AutostartEntryText("/opt/my apps/data$server", "/srv/50%\\\"x\"/");
  // Quoted argument: \" \$ \\ escaped inside the quotes, "%" doubled, then every backslash of
  // the line doubled as a desktop-entry string.
  EXPECT_NE(text.find("Exec=\"/opt/my apps/data\\\\$server\" --app-dir "
                      "\"/srv/50%%\\\\\\\\\\\\\"x\\\\\"/\"\n"),
            std::string::npos)
      << text;
}

TEST_F(AutostartTest, FailsSilentlyWithoutAPlaceForTheEntry) {
  std::ofstream(home_ + "/.config") << "a file where the folder should be";
  EXPECT_FALSE(ApplyAutostart(true, "/opt/ds/dataserver", "/srv/app/", entry_));
  EXPECT_FALSE(ApplyAutostart(true, "/opt/ds/dataserver", "/srv/app/", ""));
}

TEST(Autostart, EntryPathFollowsXdgConfigHomeThenHome) {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  const char* home = std::getenv("HOME");
  const std::string saved_xdg = xdg ? xdg : "";
  const std::string saved_home = home ? home : "";

  ::setenv("XDG_CONFIG_HOME", "/x/cfg", 1);
  EXPECT_EQ(AutostartEntryPath(), "/x/cfg/autostart/dataserver.desktop");
  ::unsetenv("XDG_CONFIG_HOME");
  ::setenv("HOME", "/home/op", 1);
  EXPECT_EQ(AutostartEntryPath(), "/home/op/.config/autostart/dataserver.desktop");
  ::unsetenv("HOME");
  EXPECT_EQ(AutostartEntryPath(), "");

  if (xdg) ::setenv("XDG_CONFIG_HOME", saved_xdg.c_str(), 1);
  if (home) ::setenv("HOME", saved_home.c_str(), 1);
}

}  // namespace
}  // namespace host
