// The command line: the options and their values, the wrong command lines that must start nothing, and the
// usage text that every option appears in.

#include <gtest/gtest.h>

#include "app/command_line.h"

namespace tessarine::app::testing {
namespace {

TCommandLine Parse(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), "/usr/bin/tessarine-proxy");
  return ParseCommandLine(arguments);
}

TEST(CommandLineTest, NoOptionsStartAsAlways) {
  const TCommandLine line = Parse({});
  EXPECT_TRUE(line.Error.empty());
  EXPECT_FALSE(line.Help || line.Version || line.Log);
  EXPECT_FALSE(line.SettingsFile);
  EXPECT_FALSE(AnswerWithoutStarting(line));
  // Without even the program's name.
  EXPECT_TRUE(ParseCommandLine(std::vector<std::string>{}).Error.empty());
}

TEST(CommandLineTest, OptionsAndValues) {
  EXPECT_TRUE(Parse({"--help"}).Help);
  EXPECT_TRUE(Parse({"-h"}).Help);
  EXPECT_TRUE(Parse({"--version"}).Version);
  EXPECT_TRUE(Parse({"-v"}).Version);
  EXPECT_TRUE(Parse({"--log"}).Log);

  TCommandLine line = Parse({"--settings", "my settings.ini", "--log"});
  EXPECT_TRUE(line.Error.empty()) << line.Error;
  EXPECT_EQ(line.SettingsFile, "my settings.ini");
  EXPECT_TRUE(line.Log);
  EXPECT_EQ(Parse({"--settings=/tmp/a.ini"}).SettingsFile, "/tmp/a.ini");
  // Bytes that are not UTF-8 in a file name come back as they were.
  EXPECT_EQ(Parse({"--settings", "/tmp/\xE9t\xE9.ini"}).SettingsFile, "/tmp/\xE9t\xE9.ini");
  line = Parse({"--check-engines", "--langpair", "en|ru", "--text=Привет"});
  EXPECT_TRUE(line.Error.empty()) << line.Error;
  EXPECT_TRUE(line.CheckEngines);
  EXPECT_EQ(line.CheckLangpair, "en|ru");
  EXPECT_EQ(line.CheckText, "Привет");
  EXPECT_FALSE(Parse({}).CheckEngines);
  // The last of two wins, as usual.
  EXPECT_EQ(Parse({"--settings", "a.ini", "--settings", "b.ini"}).SettingsFile, "b.ini");
}

TEST(CommandLineTest, WrongCommandLinesSetOnlyTheErrorAndExitWithTwo) {
  struct Case {
    std::vector<std::string> Arguments;
    const char* Message;
  } cases[] = {
      {{"--frobnicate"}, "Unknown option 'frobnicate'."},
      {{"--log", "-platform", "offscreen"}, "Unknown option 'platform'."},
      {{"--settings"}, "Missing value after '--settings'."},
      {{"--settings="}, "The file name after '--settings' is empty."},
      {{"--log=1"}, "Unexpected value after '--log'."},
      {{"--log", "setting.ini"}, "Unexpected argument 'setting.ini'."},
      {{"--help", "--bogus"}, "Unknown option 'bogus'."},
      {{"--bogus", "-x", "--log"}, "Unknown options: bogus, x."},
      {{"--text", "Hello"}, "'--text' needs '--check-engines'."},
      {{"--check-engines", "--langpair"}, "Missing value after '--langpair'."},
  };
  for (const Case& c : cases) {
    const TCommandLine line = Parse(c.Arguments);
    EXPECT_EQ(line.Error, c.Message);
    EXPECT_FALSE(line.Help || line.Version || line.Log || line.SettingsFile) << c.Message;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(AnswerWithoutStarting(line), kUsageExitCode);
    const std::string printed = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(printed, std::string("tessarine-proxy: ") + c.Message + "\n\n" + UsageText());
  }
}

TEST(CommandLineTest, HelpAndVersionAnswerOnStandardOutput) {
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(AnswerWithoutStarting(Parse({"--help"})), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), UsageText());
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(AnswerWithoutStarting(Parse({"--version"})), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), VersionText());
  EXPECT_EQ(VersionText().rfind("tessarine-proxy ", 0), 0u);
}

TEST(CommandLineTest, UsageListsEveryOption) {
  const std::string usage = UsageText();
  EXPECT_EQ(usage.rfind("Usage: tessarine-proxy [options]\n", 0), 0u);
  for (const char* option : {"-h, --help", "-v, --version", "--settings FILE", "--log"}) {
    EXPECT_NE(usage.find("\n  " + std::string(option) + " "), std::string::npos) << option;
  }
}

}  // namespace
}  // namespace tessarine::app::testing
