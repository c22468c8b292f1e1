// The settings file on Windows: beside the executable when its folder can be written or the file is there, else in
// the user's application data, and files in the ANSI code page as Windows editors save them.

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>

#include "app/ini_file.h"
#include "app/settings_location.h"
#include "common/text.h"
#include "support/system_calls.h"
#include "temp_folder.h"

namespace tessarine::app::testing {
namespace {

TEST(SettingsLocationTest, BesideTheExecutableOrInTheApplicationData) {
  TSettingsEnvironment environment;
  environment.ExecutableFolder = "C:\\Program Files\\Tessarine Proxy";
  environment.AppData = "C:\\Users\\ann\\AppData\\Roaming";
  TSettingsPlace place = ChooseSettingsFile(environment);
  EXPECT_EQ(place.FileName, "C:\\Users\\ann\\AppData\\Roaming\\Tessarine Proxy\\setting.ini");
  EXPECT_TRUE(place.CreateFolder);
  environment.AppData = "D:\\";
  EXPECT_EQ(ChooseSettingsFile(environment).FileName, "D:\\Tessarine Proxy\\setting.ini");

  for (const bool exists : {true, false}) {
    environment.BesideExists = exists;
    environment.FolderWritable = !exists;
    place = ChooseSettingsFile(environment);
    EXPECT_EQ(place.FileName, "C:\\Program Files\\Tessarine Proxy\\setting.ini");
    EXPECT_FALSE(place.CreateFolder);
  }
  // Without application data: beside the executable, where Exit will report that it cannot write.
  environment = {};
  environment.ExecutableFolder = "C:\\Tools";
  EXPECT_EQ(ChooseSettingsFile(environment).FileName, "C:\\Tools\\setting.ini");
}

TEST(SettingsLocationTest, TheEnvironmentIsReadFromTheFolder) {
  EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(ExecutableFolder()) /
                                      "test_app_settings_location_windows_test.exe"));
  TempFolder folder;
  const std::string path = folder.Path().string();
  test_support::SetEnv("APPDATA", "C:\\Users\\ann\\AppData\\Roaming");
  TSettingsEnvironment environment = ReadSettingsEnvironment(path);
  EXPECT_EQ(environment.ExecutableFolder, path);
  EXPECT_FALSE(environment.BesideExists);
  EXPECT_TRUE(environment.FolderWritable);
  EXPECT_EQ(environment.AppData, "C:\\Users\\ann\\AppData\\Roaming");
  EXPECT_EQ(folder.Count(), 0) << "the write check leaves nothing behind";
  folder.Write("setting.ini", "");
  EXPECT_TRUE(ReadSettingsEnvironment(path).BesideExists);
  EXPECT_FALSE(ReadSettingsEnvironment(folder.File("no such folder")).FolderWritable);

  const std::string cwd = std::filesystem::current_path().string();
  EXPECT_EQ(GivenSettingsFile("my.ini").FileName, cwd + "\\my.ini");
  EXPECT_EQ(GivenSettingsFile("C:\\x\\..\\tessarine.ini").FileName, "C:\\tessarine.ini");
}

TEST(SettingsLocationTest, TheFirstWriteMakesTheApplicationDataFolder) {
  TempFolder folder;
  TSettingsEnvironment environment;
  environment.ExecutableFolder = folder.File("missing");
  environment.AppData = folder.File("Roaming");
  const TSettingsPlace place = ChooseSettingsFile(environment);
  TIniFile ini(place.FileName, place.CreateFolder);
  ini.WriteString(u"Setting", u"Language", u"Русский");
  EXPECT_EQ(folder.Read("Roaming\\Tessarine Proxy\\setting.ini"),
            "[Setting]\nLanguage=\xD0\xA0\xD1\x83\xD1\x81\xD1\x81\xD0\xBA\xD0\xB8\xD0\xB9\n");
}

TEST(SettingsLocationTest, AnAnsiFileIsReadInTheAnsiCodePage) {
  // "Language=" and a letter from the upper half of the code page, as Notepad saves it in ANSI.
  const std::u16string letter = GetACP() == 1251 ? u"\u0439" : u"\u00E9";
  TempFolder folder;
  folder.Write("setting.ini", "[Setting]\r\nLanguage=Caf\xE9\r\n");
  TIniFile ini(folder.File("setting.ini"));
  EXPECT_EQ(ini.ReadString(u"Setting", u"Language", u"-"), u"Caf" + letter) << "code page " << GetACP();
  ini.WriteBool(u"General", u"Google", false);
  EXPECT_EQ(folder.Read("setting.ini"), "[Setting]\r\nLanguage=Caf" + ToUtf8(letter) + "\r\n[General]\r\nGoogle=0\r\n");
}

}  // namespace
}  // namespace tessarine::app::testing
