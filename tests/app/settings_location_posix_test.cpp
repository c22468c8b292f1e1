// Where the settings file is: beside the executable as always, in the user's configuration folder for a
// program installed where it cannot write, and the file named on the command line as a full path. The
// folder of a file in the configuration folder is made by its first write.

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "app/ini_file.h"
#include "app/settings_location.h"
#include "common/text.h"
#include "temp_folder.h"

namespace tessarine::app::testing {
namespace {

TSettingsEnvironment Installed() {
  TSettingsEnvironment environment;
  environment.ExecutableFolder = "/usr/bin";
  environment.XdgConfigHome = "/home/ann/.xdg";
  environment.Home = "/home/ann";
  return environment;
}

TEST(SettingsLocationTest, BesideTheExecutableWhenItIsThereOrTheFolderIsWritable) {
  TSettingsEnvironment environment = Installed();
  environment.ExecutableFolder = "/home/ann/tessarine";
  environment.FolderWritable = true;
  EXPECT_EQ(ChooseSettingsFile(environment).FileName, "/home/ann/tessarine/setting.ini");
  EXPECT_FALSE(ChooseSettingsFile(environment).CreateFolder);
  // A file already there is used even when the folder cannot be written: the old behaviour, its message
  // at Exit included.
  environment.FolderWritable = false;
  environment.BesideExists = true;
  EXPECT_EQ(ChooseSettingsFile(environment).FileName, "/home/ann/tessarine/setting.ini");
}

TEST(SettingsLocationTest, AProgramInASystemFolderNeverKeepsItsSettingsBesideItself) {
  // Root may write there, and a file from an earlier version may stand there: neither counts.
  TSettingsEnvironment environment = Installed();
  environment.FolderWritable = true;
  environment.BesideExists = true;
  for (const char* folder : {"/usr/bin", "/usr/local/bin", "/opt/tessarine/bin", "/opt", "/bin", "/sbin"}) {
    environment.ExecutableFolder = folder;
    const TSettingsPlace place = ChooseSettingsFile(environment);
    EXPECT_EQ(place.FileName, "/home/ann/.xdg/tessarine-proxy/setting.ini") << folder;
    EXPECT_TRUE(place.CreateFolder) << folder;
  }
  for (const char* folder : {"/usrlocal/bin", "/optional", "/home/ann/opt", "/srv/usr/bin"}) {
    environment.ExecutableFolder = folder;
    EXPECT_EQ(ChooseSettingsFile(environment).FileName, std::string(folder) + "/setting.ini") << folder;
  }
}

TEST(SettingsLocationTest, TheConfigurationFolderForAnInstalledProgram) {
  TSettingsEnvironment environment = Installed();
  TSettingsPlace place = ChooseSettingsFile(environment);
  EXPECT_EQ(place.FileName, "/home/ann/.xdg/tessarine-proxy/setting.ini");
  EXPECT_TRUE(place.CreateFolder);

  environment.XdgConfigHome = "/home/ann/.xdg//";
  EXPECT_EQ(ChooseSettingsFile(environment).FileName, "/home/ann/.xdg/tessarine-proxy/setting.ini");
  // Unset, empty or relative: ~/.config.
  for (const char* xdg : {"", "relative/config"}) {
    environment.XdgConfigHome = xdg;
    place = ChooseSettingsFile(environment);
    EXPECT_EQ(place.FileName, "/home/ann/.config/tessarine-proxy/setting.ini") << xdg;
    EXPECT_TRUE(place.CreateFolder);
  }
  // No home at all: beside the executable, where Exit will report that it cannot write.
  environment.Home.clear();
  place = ChooseSettingsFile(environment);
  EXPECT_EQ(place.FileName, "/usr/bin/setting.ini");
  EXPECT_FALSE(place.CreateFolder);
}

TEST(SettingsLocationTest, TheEnvironmentIsReadFromTheFolder) {
  TempFolder folder;
  const std::string path = folder.Path().string();
  TSettingsEnvironment environment = ReadSettingsEnvironment(path);
  EXPECT_EQ(environment.ExecutableFolder, path);
  EXPECT_FALSE(environment.BesideExists);
  EXPECT_TRUE(environment.FolderWritable);
  // A link that leads nowhere still stands there.
  std::filesystem::create_symlink(folder.File("missing"), folder.File("setting.ini"));
  EXPECT_TRUE(ReadSettingsEnvironment(path).BesideExists);
  // Root may write anywhere; the check is only meaningful for other users.
  if (::geteuid() != 0) {
    ::chmod(path.c_str(), 0500);
    EXPECT_FALSE(ReadSettingsEnvironment(path).FolderWritable);
  }
  EXPECT_FALSE(ReadSettingsEnvironment(folder.File("no such folder")).FolderWritable);

  // Without HOME the home comes from the user database.
  const std::string home = ReadSettingsEnvironment(path).Home;
  ::unsetenv("HOME");
  const std::string fallback = ReadSettingsEnvironment(path).Home;
  if (!home.empty()) ::setenv("HOME", home.c_str(), 1);
  const struct passwd* user = ::getpwuid(::geteuid());
  ASSERT_NE(user, nullptr);
  EXPECT_EQ(fallback, user->pw_dir);
}

TEST(SettingsLocationTest, AGivenFileIsMadeAFullPath) {
  EXPECT_EQ(GivenSettingsFile("/etc/x/../tessarine.ini").FileName, "/etc/tessarine.ini");
  const std::string cwd = std::filesystem::current_path().string();
  EXPECT_EQ(GivenSettingsFile("my.ini").FileName, cwd + "/my.ini");
  EXPECT_FALSE(GivenSettingsFile("my.ini").CreateFolder);
}

TEST(SettingsLocationTest, TheFirstWriteMakesTheMissingFoldersForTheUserAlone) {
  TempFolder folder;
  const std::string file = folder.File("config/tessarine-proxy/setting.ini");
  TIniFile ini(file, true);
  EXPECT_EQ(ini.ReadString(u"Setting", u"Language", u"none"), u"none");
  EXPECT_FALSE(folder.Exists("config"));  // reading makes nothing
  ini.WriteBool(u"General", u"ProxyActive", true);
  EXPECT_EQ(folder.Read("config/tessarine-proxy/setting.ini"), "[General]\nProxyActive=1\n");
  struct stat info {};
  ASSERT_EQ(::stat(folder.File("config/tessarine-proxy").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);

  // Without the permission the folders are not made and the write fails with the usual message.
  TIniFile plain(folder.File("other/setting.ini"));
  try {
    plain.WriteBool(u"General", u"ProxyActive", true);
    ADD_FAILURE() << "no error";
  } catch (const EIniFileException& e) {
    EXPECT_EQ(e.Message(), u"Unable to write to " + FromUtf8(folder.File("other/setting.ini")));
  }
  EXPECT_FALSE(folder.Exists("other"));

  // A folder that cannot be made: a file stands in its way.
  folder.Write("blocked", "x");
  TIniFile blocked(folder.File("blocked/tessarine-proxy/setting.ini"), true);
  EXPECT_THROW(blocked.WriteBool(u"General", u"ProxyActive", true), EIniFileException);
}

}  // namespace
}  // namespace tessarine::app::testing
