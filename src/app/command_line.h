#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tessarine::app {

// Exit code of a command line that cannot be run (an unknown option, a missing value).
inline constexpr int kUsageExitCode = 2;

// What the command line asks for. Without options every field keeps its default and the program starts as
// it always has.
struct TCommandLine {
  bool Help = false;
  bool Version = false;
  // Every log line also goes to standard error.
  bool Log = false;
  // The settings file to use instead of the one found by FindSettingsFile, as given.
  std::optional<std::string> SettingsFile;
  // --check-engines: ask each engine once, print a table and end (no tray, no server); the text and langpair
  // to ask with, as given (empty: the check's own defaults).
  bool CheckEngines = false;
  std::string CheckText;
  std::string CheckLangpair;
  // Not empty when the command line is wrong; then nothing else is set and nothing may start.
  std::string Error;
};

// Parses the program's arguments (the first is the program itself). Needs no application object, so
// --help, --version and a wrong command line are answered without a display.
TCommandLine ParseCommandLine(const std::vector<std::string>& arguments);
TCommandLine ParseCommandLine(int argc, char** argv);

// "Usage: ..." with one line per option; ends with a line break.
std::string UsageText();
// "tessarine-proxy VERSION"; ends with a line break.
std::string VersionText();

// Answers --help, --version and a wrong command line on the terminal and returns the exit code; nothing
// when the program is to start.
std::optional<int> AnswerWithoutStarting(const TCommandLine& commandLine);

}  // namespace tessarine::app
