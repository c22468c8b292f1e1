#include "app/command_line.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>
#include <QStringList>
#include <cstdio>

namespace tessarine::app {

namespace {

// One entry per option: the parser and the usage text are both made from this table.
struct TOptionEntry {
  QStringList Names;
  QString ValueName;  // empty: the option takes no value
  const char* Description;
};

const std::vector<TOptionEntry>& Options() {
  static const std::vector<TOptionEntry> options{
      {{QStringLiteral("h"), QStringLiteral("help")}, {}, "Show this help and exit."},
      {{QStringLiteral("v"), QStringLiteral("version")}, {}, "Show the version and exit."},
      {{QStringLiteral("settings")},
       QStringLiteral("FILE"),
       "Read and write the settings in FILE instead of the usual setting.ini."},
      {{QStringLiteral("log")}, {}, "Also write every log line and every error message to standard error."},
      {{QStringLiteral("check-engines")},
       {},
       "Ask each engine of the menu once, print a table of the answers and exit (0 when one answered)."},
      {{QStringLiteral("text")}, QStringLiteral("TEXT"), "With --check-engines: the text to translate."},
      {{QStringLiteral("langpair")}, QStringLiteral("IN|OUT"), "With --check-engines: the languages, as en|de."},
  };
  return options;
}

QString OptionLabel(const TOptionEntry& option) {
  QStringList names;
  for (const QString& name : option.Names)
    names << (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
  QString label = names.join(QStringLiteral(", "));
  if (!option.ValueName.isEmpty()) label += QLatin1Char(' ') + option.ValueName;
  return label;
}

void Print(std::FILE* stream, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

}  // namespace

TCommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
  QCommandLineParser parser;
  parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  for (const TOptionEntry& option : Options()) {
    parser.addOption(QCommandLineOption(option.Names, QString::fromUtf8(option.Description), option.ValueName));
  }
  // One character per byte, and back: a file name is bytes, which need not be valid in any encoding.
  QStringList list;
  for (const std::string& argument : arguments) list << QString::fromLatin1(argument);
  if (list.isEmpty()) list << QStringLiteral("tessarine-proxy");

  TCommandLine result;
  if (!parser.parse(list)) {
    result.Error = parser.errorText().toLatin1().toStdString();
    return result;
  }
  if (!parser.positionalArguments().isEmpty()) {
    result.Error = "Unexpected argument '" + parser.positionalArguments().constFirst().toLatin1().toStdString() + "'.";
    return result;
  }
  result.Help = parser.isSet(QStringLiteral("help"));
  result.Version = parser.isSet(QStringLiteral("version"));
  result.Log = parser.isSet(QStringLiteral("log"));
  result.CheckEngines = parser.isSet(QStringLiteral("check-engines"));
  for (const char* name : {"text", "langpair"}) {
    if (parser.isSet(QString::fromLatin1(name)) && !result.CheckEngines) {
      result = TCommandLine();
      result.Error = std::string("'--") + name + "' needs '--check-engines'.";
      return result;
    }
  }
  // Text and languages are UTF-8 on the command line, unlike file names.
  result.CheckText = parser.value(QStringLiteral("text")).toLatin1().toStdString();
  result.CheckLangpair = parser.value(QStringLiteral("langpair")).toLatin1().toStdString();
  if (parser.isSet(QStringLiteral("settings"))) {
    const QString file = parser.value(QStringLiteral("settings"));
    if (file.isEmpty()) {
      result = TCommandLine();
      result.Error = "The file name after '--settings' is empty.";
      return result;
    }
    result.SettingsFile = file.toLatin1().toStdString();
  }
  return result;
}

TCommandLine ParseCommandLine(int argc, char** argv) {
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) arguments.emplace_back(argv[i]);
  return ParseCommandLine(arguments);
}

std::string UsageText() {
  constexpr qsizetype kLabelWidth = 20;
  QString text = QStringLiteral(
      "Usage: tessarine-proxy [options]\n"
      "Tessarine Proxy: a translation proxy for the Tessarine localization suite. It lives in the tray and\n"
      "answers http://127.0.0.1:8888/linxp_translate_t?text=...&langpair=en|ru through the online engine\n"
      "chosen in its menu.\n"
      "\n"
      "Options:\n");
  for (const TOptionEntry& option : Options()) {
    const QString label = OptionLabel(option);
    text +=
        QStringLiteral("  ") + label.leftJustified(kLabelWidth) +
        (label.size() >= kLabelWidth ? QStringLiteral("\n  ") + QString(kLabelWidth, QLatin1Char(' ')) : QString()) +
        QStringLiteral("  ") + QString::fromUtf8(option.Description) + QLatin1Char('\n');
  }
  return text.toStdString();
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
