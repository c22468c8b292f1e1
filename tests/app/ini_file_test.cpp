// The settings file: the boolean reading rules, text values, the first write's layout, later writes in
// place, failed writes that leave the file whole, and a file too large to be settings, neither read nor written.

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "app/ini_file.h"
#include "common/text.h"
#include "temp_folder.h"

namespace tessarine::app::testing {
namespace {

class IniFileTest : public ::testing::Test {
 protected:
  TempFolder folder;
  TIniFile ini{folder.File("setting.ini")};

  bool readGoogleAndBing(const std::string& value, bool& bing) {
    folder.Write("setting.ini", "[General]\nGoogle=" + value + "\nBing=" + value + "\n");
    bing = ini.ReadBool(u"General", u"Bing", false);
    return ini.ReadBool(u"General", u"Google", true);
  }
};

TEST_F(IniFileTest, BooleansAreReadAsIntegersAndUnreadableOnesGiveTheDefault) {
  struct Case {
    const char* Value;
    int Expected;  // 1 true, 0 false, -1 the key's default
  } cases[] = {
      {"1", 1},          {"2", 1},           {"-1", 1},        {"$1F", 1},    {"0x10", 1},        {"0X10", 1},
      {"x10", 1},        {"+7", 1},          {"$FFFFFFFF", 1}, {"0", 0},      {"0x0", 0},         {"$0", 0},
      {"-0", 0},         {"00", 0},          {"true", -1},     {"false", -1}, {"1a", -1},         {"0x", -1},
      {"", -1},          {"$", -1},          {"- 1", -1},      {"1 1", -1},   {"$123456789", -1}, {"2147483648", -1},
      {"2147483647", 1}, {"-2147483648", 1}, {"0x-1", -1},
  };
  for (const Case& c : cases) {
    bool bing = false;
    const bool google = readGoogleAndBing(c.Value, bing);
    if (c.Expected < 0) {
      EXPECT_TRUE(google) << c.Value;
      EXPECT_FALSE(bing) << c.Value;
    } else {
      EXPECT_EQ(google, c.Expected == 1) << c.Value;
      EXPECT_EQ(bing, c.Expected == 1) << c.Value;
    }
  }
}

TEST_F(IniFileTest, MissingFileSectionOrKeyGivesTheDefault) {
  EXPECT_TRUE(ini.ReadBool(u"General", u"Google", true));
  EXPECT_EQ(ini.ReadString(u"Setting", u"Language", u"Русский"), u"Русский");
  EXPECT_FALSE(folder.Exists("setting.ini")) << "reading creates nothing";
  folder.Write("setting.ini", "[General]\nBing=1\n");
  EXPECT_TRUE(ini.ReadBool(u"General", u"Google", true));
  EXPECT_TRUE(ini.ReadBool(u"General", u"Bing", false));
  EXPECT_EQ(ini.ReadString(u"Setting", u"Language", u"Русский"), u"Русский");
}

TEST_F(IniFileTest, TextValuesAndTheFileSyntax) {
  folder.Write("setting.ini",
               "\xEF\xBB\xBF; written by hand\r\n"
               "Language=outside any section\r\n"
               "[ setting ]\r\n"
               "  LANGUAGE  =  English  \r\n"
               "Language=second\r\n"
               "Quoted=\"  spaced  \"\r\n"
               "Half=\"open\r\n"
               "#Hidden=1\r\n"
               "[Setting]\r\n"
               "Other=x\r\n"
               "[General]\r\n"
               "Google=0\r\n");
  EXPECT_EQ(ini.ReadString(u"Setting", u"Language", u"-"), u"English") << "the first section and key win";
  EXPECT_EQ(ini.ReadString(u"Setting", u"Quoted", u"-"), u"  spaced  ");
  EXPECT_EQ(ini.ReadString(u"Setting", u"Half", u"-"), u"\"open");
  EXPECT_EQ(ini.ReadString(u"Setting", u"#Hidden", u"-"), u"-");
  EXPECT_EQ(ini.ReadString(u"Setting", u"Other", u"-"), u"-") << "a repeated section is not read";
  EXPECT_FALSE(ini.ReadBool(u"general", u"google", true));

  folder.Write("setting.ini", "[Setting]\nLanguage=english\nLong=" + std::string(3000, 'a') + "\n");
  EXPECT_EQ(ini.ReadString(u"Setting", u"Language", u"-"), u"english") << "values keep their case";
  EXPECT_EQ(ini.ReadString(u"Setting", u"Long", u"-"), std::u16string(2047, u'a'));

  folder.Write("setting.ini", "\xEF\xBB\xBF\r\n \t\n\n  [Setting]\n\n \r\n\tLanguage = English\n  #Language=no\n");
  EXPECT_EQ(ini.ReadString(u"Setting", u"Language", u"-"), u"English") << "blank lines and leading blanks";
}

TEST_F(IniFileTest, Utf16FilesAreReadAndWrittenBackInUtf8) {
  const std::u16string text = u"[Setting]\r\nLanguage=Русский\r\n[General]\r\nGoogle=0\r\n";
  for (const bool littleEndian : {true, false}) {
    std::string bytes = littleEndian ? "\xFF\xFE" : "\xFE\xFF";
    for (const char16_t c : text) {
      const char high = static_cast<char>(c >> 8);
      const char low = static_cast<char>(c & 0xFF);
      bytes += littleEndian ? std::string{low, high} : std::string{high, low};
    }
    folder.Write("setting.ini", bytes);
    EXPECT_EQ(ini.ReadString(u"Setting", u"Language", u"-"), u"Русский") << littleEndian;
    EXPECT_FALSE(ini.ReadBool(u"General", u"Google", true)) << littleEndian;
    ini.WriteBool(u"General", u"Google", true);
    EXPECT_EQ(folder.Read("setting.ini"), "\xEF\xBB\xBF" + ToUtf8(text.substr(0, text.size() - 3)) + "1\r\n");
  }
}

TEST_F(IniFileTest, FirstWriteCreatesTheSectionsInWriteOrder) {
  ini.WriteBool(u"General", u"ProxyActive", true);
  ini.WriteBool(u"General", u"Google", false);
  ini.WriteBool(u"General", u"Bing", false);
  ini.WriteBool(u"General", u"Yandex", false);
  ini.WriteBool(u"General", u"Babylon", false);
  ini.WriteBool(u"General", u"Promt", true);
  ini.WriteString(u"Setting", u"Language", u"Русский");
  EXPECT_EQ(folder.Read("setting.ini"),
            "[General]\nProxyActive=1\nGoogle=0\nBing=0\nYandex=0\nBabylon=0\nPromt=1\n"
            "[Setting]\nLanguage=\xD0\xA0\xD1\x83\xD1\x81\xD1\x81\xD0\xBA\xD0\xB8\xD0\xB9\n");
  EXPECT_EQ(ini.ReadString(u"Setting", u"Language", u"-"), u"Русский");
  EXPECT_EQ(folder.Count(), 1) << "no temporary file is left behind";
}

TEST_F(IniFileTest, LaterWritesReplaceValuesInPlaceAndKeepEveryOtherLine) {
  const std::string original =
      "; my notes\r\n"
      "[General]\r\n"
      "ProxyActive=0\r\n"
      "Google = 1\r\n"
      "\r\n"
      "[Engines]\r\n"
      "Google=127.0.0.1:8080\r\n"
      "[Setting]\r\n"
      "Language=English";  // no line end at the very end
  folder.Write("setting.ini", original);
  ini.WriteBool(u"General", u"Google", false);
  ini.WriteBool(u"General", u"Bing", true);
  ini.WriteString(u"Setting", u"Language", u"Русский");
  ini.WriteBool(u"Extra", u"Key", true);
  EXPECT_EQ(folder.Read("setting.ini"),
            "; my notes\r\n"
            "[General]\r\n"
            "ProxyActive=0\r\n"
            "Google=0\r\n"
            "Bing=1\r\n"
            "\r\n"
            "[Engines]\r\n"
            "Google=127.0.0.1:8080\r\n"
            "[Setting]\r\n"
            "Language=\xD0\xA0\xD1\x83\xD1\x81\xD1\x81\xD0\xBA\xD0\xB8\xD0\xB9\r\n"
            "[Extra]\r\n"
            "Key=1\r\n");
}

TEST_F(IniFileTest, FailedWriteRaisesAndLeavesTheFileWhole) {
  // The settings path is taken by a folder: the new content cannot be put in its place.
  std::filesystem::create_directory(folder.Path() / "setting.ini");
  folder.Write("setting.ini/keep", "x");
  try {
    ini.WriteBool(u"General", u"ProxyActive", true);
    ADD_FAILURE() << "no exception";
  } catch (const EIniFileException& e) {
    EXPECT_EQ(e.Message(), u"Unable to write to " + FromUtf8(folder.File("setting.ini")));
  }
  EXPECT_EQ(folder.Count(), 1) << "the temporary file is removed";

  // A folder that does not exist.
  TIniFile nowhere(folder.File("missing/setting.ini"));
  EXPECT_THROW(nowhere.WriteString(u"Setting", u"Language", u"English"), EIniFileException);
}

// Windows files have access lists, not modes: theirs are the folder's.
#ifndef _WIN32
TEST_F(IniFileTest, TheFileAWriteCreatesIsReadableByItsOwnerOnly) {
  const mode_t saved = ::umask(022);
  ini.WriteBool(u"General", u"Google", false);
  ::umask(saved);
  EXPECT_EQ(std::filesystem::status(folder.File("setting.ini")).permissions(), std::filesystem::perms(0600));
}

TEST_F(IniFileTest, AWriteKeepsTheFilesPermissions) {
  folder.Write("setting.ini", "[General]\nGoogle=1\n");
  std::filesystem::permissions(folder.File("setting.ini"), std::filesystem::perms(0640));
  ini.WriteBool(u"General", u"Google", false);
  EXPECT_EQ(std::filesystem::status(folder.File("setting.ini")).permissions(), std::filesystem::perms(0640));
}
#endif

TEST_F(IniFileTest, AFileTooLargeToBeSettingsIsNeitherReadNorWritten) {
  const std::string keys = "[General]\nGoogle=0\nBing=1\n; ";
  const std::string atLimit = keys + std::string(TIniFile::kMaxFileSize - keys.size() - 1, 'x') + "\n";
  folder.Write("setting.ini", atLimit);
  EXPECT_FALSE(ini.ReadBool(u"General", u"Google", true)) << "1 MiB is still read";
  EXPECT_EQ(ini.Unusable(), u"");

  const std::string tooLarge = "x" + atLimit;
  folder.Write("setting.ini", tooLarge);
  EXPECT_TRUE(ini.ReadBool(u"General", u"Google", true));
  EXPECT_FALSE(ini.ReadBool(u"General", u"Bing", false));
  EXPECT_EQ(ini.Unusable(), FromUtf8(folder.File("setting.ini")) +
                                u" is not read: at 1048577 bytes it is too large to be a settings file (at most "
                                u"1048576).");
  // Written, it would hold the one key and nothing of what the user put there.
  EXPECT_THROW(ini.WriteBool(u"General", u"Google", true), EIniFileException);
  EXPECT_TRUE(folder.Read("setting.ini") == tooLarge);
  EXPECT_EQ(folder.Count(), 1);
}

}  // namespace
}  // namespace tessarine::app::testing
