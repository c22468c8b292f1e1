#include "app/check_engines.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <exception>
#include <string_view>
#include <vector>

#include "app/ini_file.h"
#include "common/exception.h"
#include "common/text.h"
#include "net/client/http_client.h"
#include "translate/babylon_table.h"
#include "translate/engine_choice.h"
#include "translate/optional_engines.h"
#include "translate/service_settings.h"
#include "translate/translation_service.h"

namespace tessarine::app {

namespace {

constexpr char16_t kDefaultText[] = u"Hello world";
constexpr char16_t kDefaultLangpair[] = u"en|de";

class TNoLog : public translate::ILogSink {
 public:
  void AddLogLine(const std::u16string&) override {}
};

struct TRow {
  std::string Engine;
  std::string Host;
  std::string Result;
  std::string Time;
};

// As the local client would receive it, UTF-8; line breaks and other controls as spaces, to keep the table whole.
std::string TableText(std::u16string_view text) {
  std::u16string line(text);
  for (char16_t& c : line) {
    if (c < 0x20) c = u' ';
  }
  return ToUtf8(line);
}

std::string Message(const std::exception_ptr& failure) {
  std::string text;
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    text = e.what();
  } catch (...) {
    text = "unknown error";
  }
  // A multi-line message (a socket error's "# code" and text) goes on one line.
  std::string line;
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x20) {
      line += c;
    } else if (!line.empty() && line.back() != ' ') {
      line += ' ';
    }
  }
  return line;
}

// Width on a terminal, counting UTF-8 lead bytes.
size_t Width(const std::string& text) {
  return static_cast<size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

void WriteTable(const std::vector<TRow>& rows, std::ostream& out) {
  const TRow head{"Engine", "Host", "Result", "Time"};
  size_t engine = Width(head.Engine), host = Width(head.Host), result = Width(head.Result);
  for (const TRow& row : rows) {
    engine = std::max(engine, Width(row.Engine));
    host = std::max(host, Width(row.Host));
    result = std::max(result, Width(row.Result));
  }
  auto line = [&](const TRow& row) {
    out << row.Engine << std::string(engine - Width(row.Engine) + 2, ' ') << row.Host
        << std::string(host - Width(row.Host) + 2, ' ') << row.Result
        << std::string(result - Width(row.Result) + 2, ' ') << row.Time << '\n';
  };
  line(head);
  for (const TRow& row : rows) line(row);
}

// "; pairs offered: eng|spa, spa|eng", or nothing when the list cannot be had.
std::string OfferedPairs(client::TIdHTTP& client, const translate::TOptionalEngine& engine,
                         const translate::TEngineEndpoint& endpoint) {
  try {
    client.CustomHeadersClear();
    const std::u16string reply = client.Get(endpoint.Origin() + std::u16string(engine.PairsPath));
    const std::vector<std::u16string> pairs = engine.ReadPairs(reply, translate::ReplyTextOf(client.ReplyCharSet()));
    if (pairs.empty()) return "; no pairs offered";
    std::string list;
    for (const std::u16string& pair : pairs) list += (list.empty() ? "" : ", ") + TableText(pair);
    return "; pairs offered: " + list;
  } catch (...) {
    return {};
  }
}

}  // namespace

int CheckEngines(const std::string& settingsPath, const std::u16string& givenText, const std::u16string& givenLangpair,
                 std::ostream& out) {
  const std::u16string text = givenText.empty() ? kDefaultText : givenText;
  const std::u16string langpair = givenLangpair.empty() ? kDefaultLangpair : givenLangpair;
  const size_t bar = langpair.find(u'|');
  if (bar == std::u16string::npos) {
    out << "--langpair needs two language codes joined by |, as en|de\n";
    return 2;
  }
  const std::u16string langs_in = langpair.substr(0, bar);
  const std::u16string langs_out = langpair.substr(bar + 1);

  const TIniFile settings(settingsPath);
  // Its defaults would ask the real engines, not the ones the user named.
  if (const std::u16string unusable = settings.Unusable(); !unusable.empty()) {
    out << ToUtf8(unusable) << "\nNo engine was asked.\n";
    return 2;
  }
  const translate::TSettingsAccess access{
      [&settings](const std::u16string& section, const std::u16string& key, bool defaultValue) {
        return settings.ReadBool(section, key, defaultValue);
      },
      [&settings](const std::u16string& section, const std::u16string& key, const std::u16string& defaultValue) {
        return settings.ReadString(section, key, defaultValue);
      }};

  std::vector<TRow> rows;
  translate::TEngineHosts hosts;
  std::vector<std::string> hostErrors(translate::kAllEngineCount);
  for (int i = 0; i < translate::kEngineCount; ++i) {
    const std::u16string entry = settings.ReadString(u"Engines", std::u16string(translate::EngineName(i)), u"");
    if (entry.empty()) continue;
    try {
      hosts.SetHost(i, entry);
    } catch (...) {
      hostErrors[static_cast<size_t>(i)] = Message(std::current_exception());
    }
  }
  // The optional engines named in [Engines]; one named but unusable is listed with the error.
  translate::TServiceExtras extras;
  std::vector<int> named;
  for (const translate::TOptionalEngine& engine : translate::OptionalEngines()) {
    try {
      if (auto endpoint = translate::ReadEngineEndpoint(access, engine.Index)) {
        extras.Endpoints.emplace(engine.Index, std::move(*endpoint));
        named.push_back(engine.Index);
      }
    } catch (...) {
      named.push_back(engine.Index);
      hostErrors[static_cast<size_t>(engine.Index)] = Message(std::current_exception());
    }
  }

  // Each engine is checked as the program asks it: with the pieces of [Protect] as its tokens when that is on.
  extras.Protection = translate::ReadProtectSettings(access);

  client::TIdHTTP client;
  TNoLog log;
  translate::TEngineChoice choice;
  translate::TBabylonTable babylon;
  translate::TTranslationService service(client, log, choice, babylon, hosts, std::move(extras));

  int answered = 0;
  for (int engine : translate::VisibleEngines(named)) {
    TRow row;
    row.Engine = ToUtf8(translate::EngineName(engine));
    const translate::TOptionalEngine* optional = translate::FindOptionalEngine(engine);
    if (optional) {
      const translate::TEngineEndpoint* endpoint = service.Endpoint(engine);
      row.Host = endpoint ? ToUtf8((endpoint->Https ? u"https://" : u"") + endpoint->Host + endpoint->Path)
                          : TableText(settings.ReadString(u"Engines", std::u16string(optional->Name), u""));
    } else {
      row.Host = ToUtf8(hosts.Host(engine));
    }
    if (!hostErrors[static_cast<size_t>(engine)].empty()) {
      row.Result = "error: " + hostErrors[static_cast<size_t>(engine)];
      row.Time = "-";
      rows.push_back(std::move(row));
      continue;
    }
    const auto start = std::chrono::steady_clock::now();
    bool failed = false;
    try {
      const std::u16string result = service.translateget(text, langs_out, langs_in, engine, u"UTF-8");
      if (result.empty()) {
        row.Result = "error: no translation in the reply";
      } else {
        row.Result = TableText(result);
        ++answered;
      }
    } catch (...) {
      row.Result = "error: " + Message(std::current_exception());
      failed = true;
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    row.Time = std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()) + " ms";
    // The pair asked for may be missing: an engine that lists its pairs says which it has.
    if (failed && optional && optional->ReadPairs && service.Endpoint(engine))
      row.Result += OfferedPairs(client, *optional, *service.Endpoint(engine));
    rows.push_back(std::move(row));
  }
  WriteTable(rows, out);
  out.flush();
  return answered > 0 ? 0 : 1;
}

}  // namespace tessarine::app
