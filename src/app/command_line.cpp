#include "app/command_line.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace tessarine::app {

namespace {

// One entry per option: the parser and the usage text are both made from this table.
struct TOptionEntry {
  std::vector<std::string> Names;
  std::string ValueName;  // empty: the option takes no value
  const char* Description;
};

const std::vector<TOptionEntry>& Options() {
  static const std::vector<TOptionEntry> options{
      {{"h", "help"}, {}, "Show this help and exit."},
      {{"v", "version"}, {}, "Show the version and exit."},
      {{"settings"}, "FILE", "Read and write the settings in FILE instead of the usual setting.ini."},
      {{"log"}, {}, "Also write every log line and every error message to standard error."},
      {{"check-engines"},
       {},
       "Ask each engine of the menu once, print a table of the answers and exit (0 when one answered)."},
      {{"text"}, "TEXT", "With --check-engines: the text to translate."},
      {{"langpair"}, "IN|OUT", "With --check-engines: the languages, as en|de."},
  };
  return options;
}

const TOptionEntry* FindOption(const std::string& name) {
  for (const TOptionEntry& option : Options()) {
    if (std::find(option.Names.begin(), option.Names.end(), name) != option.Names.end()) return &option;
  }
  return nullptr;
}

std::string OptionLabel(const TOptionEntry& option) {
  std::string label;
  for (const std::string& name : option.Names) {
    if (!label.empty()) label += ", ";
    label += (name.size() == 1 ? "-" : "--") + name;
  }
  if (!option.ValueName.empty()) label += " " + option.ValueName;
  return label;
}

void Print(std::FILE* stream, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

// The options found and their values, read as the usual option parsers read them: "--name" or "-name" (a word
// after one dash is one option, not several letters), a value after "=" or as the next argument, "--" ending
// the options; arguments are bytes, compared as they are.
struct TParsed {
  std::vector<const TOptionEntry*> Found;
  std::map<const TOptionEntry*, std::string> Values;  // the last value given
  std::vector<std::string> Positional;
  std::vector<std::string> Unknown;
  std::string Error;  // a missing or unexpected value; the last one wins over unknown options

  bool IsSet(const std::string& name) const {
    const TOptionEntry* option = FindOption(name);
    return std::find(Found.begin(), Found.end(), option) != Found.end();
  }
  std::string Value(const std::string& name) const {
    const auto it = Values.find(FindOption(name));
    return it == Values.end() ? std::string() : it->second;
  }
  std::string ErrorText() const {
    if (!Error.empty()) return Error;
    if (Unknown.size() == 1) return "Unknown option '" + Unknown.front() + "'.";
    std::string names;
    for (size_t i = 0; i < Unknown.size(); ++i) names += (i == 0 ? "" : ", ") + Unknown[i];
    return "Unknown options: " + names + ".";
  }
};

// False when the command line is wrong.
bool Parse(const std::vector<std::string>& arguments, TParsed& parsed) {
  bool ok = true;
  bool positionalOnly = false;
  for (size_t i = 1; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (positionalOnly || argument.size() < 2 || argument[0] != '-') {
      parsed.Positional.push_back(argument);
      continue;
    }
    if (argument == "--") {
      positionalOnly = true;
      continue;
    }
    const size_t nameStart = argument[1] == '-' ? 2 : 1;
    const size_t assign = argument.find('=');
    const std::string name =
        argument.substr(nameStart, assign == std::string::npos ? std::string::npos : assign - nameStart);
    const TOptionEntry* option = FindOption(name);
    if (!option) {
      parsed.Unknown.push_back(name);
      ok = false;
      continue;
    }
    parsed.Found.push_back(option);
    if (option->ValueName.empty()) {
      if (assign != std::string::npos) {
        parsed.Error = "Unexpected value after '" + argument.substr(0, assign) + "'.";
        ok = false;
      }
    } else if (assign != std::string::npos) {
      parsed.Values[option] = argument.substr(assign + 1);
    } else if (i + 1 < arguments.size()) {
      parsed.Values[option] = arguments[++i];
    } else {
      parsed.Error = "Missing value after '" + argument + "'.";
      ok = false;
    }
  }
  return ok;
}

}  // namespace

TCommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
  TParsed parser;
  TCommandLine result;
  if (!Parse(arguments, parser)) {
    result.Error = parser.ErrorText();
    return result;
  }
  if (!parser.Positional.empty()) {
    result.Error = "Unexpected argument '" + parser.Positional.front() + "'.";
    return result;
  }
  result.Help = parser.IsSet("help");
  result.Version = parser.IsSet("version");
  result.Log = parser.IsSet("log");
  result.CheckEngines = parser.IsSet("check-engines");
  for (const char* name : {"text", "langpair"}) {
    if (parser.IsSet(name) && !result.CheckEngines) {
      result = TCommandLine();
      result.Error = std::string("'--") + name + "' needs '--check-engines'.";
      return result;
    }
  }
  // Text and languages are UTF-8 on the command line; a file name is bytes, which need not be valid in any
  // encoding: both are kept as they are.
  result.CheckText = parser.Value("text");
  result.CheckLangpair = parser.Value("langpair");
  if (parser.IsSet("settings")) {
    const std::string file = parser.Value("settings");
    if (file.empty()) {
      result = TCommandLine();
      result.Error = "The file name after '--settings' is empty.";
      return result;
    }
    result.SettingsFile = file;
  }
  return result;
}

TCommandLine ParseCommandLine(int argc, char** argv) {
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) arguments.emplace_back(argv[i]);
  return ParseCommandLine(arguments);
}

std::string UsageText() {
  constexpr size_t kLabelWidth = 20;
  std::string text =
      "Usage: tessarine-proxy [options]\n"
      "Tessarine Proxy: a translation proxy for the Tessarine localization suite. It lives in the tray and\n"
      "answers http://127.0.0.1:8888/linxp_translate_t?text=...&langpair=en|ru through the online engine\n"
      "chosen in its menu.\n"
      "\n"
      "Options:\n";
  for (const TOptionEntry& option : Options()) {
    std::string label = OptionLabel(option);
    const bool ownLine = label.size() >= kLabelWidth;
    if (label.size() < kLabelWidth) label.resize(kLabelWidth, ' ');
    text += "  " + label + (ownLine ? "\n  " + std::string(kLabelWidth, ' ') : std::string()) + "  " +
            option.Description + "\n";
  }
  return text;
}

std::string VersionText() { return std::string("tessarine-proxy ") + TESSARINE_VERSION + "\n"; }

std::optional<int> AnswerWithoutStarting(const TCommandLine& commandLine) {
  if (!commandLine.Error.empty()) {
    Print(stderr, "tessarine-proxy: " + commandLine.Error + "\n\n" + UsageText());
    return kUsageExitCode;
  }
  if (commandLine.Help) {
    Print(stdout, UsageText());
    return 0;
  }
  if (commandLine.Version) {
    Print(stdout, VersionText());
    return 0;
  }
  return std::nullopt;
}

}  // namespace tessarine::app
