#include "translate/translation_service.h"

#include <array>
#include <utility>

#include "common/stream.h"
#include "common/text.h"
#include "translate/engine_request.h"
#include "translate/reply_extraction.h"
#include "translate/text_codecs.h"

namespace tessarine::translate {

namespace {

constexpr char16_t kDocument[] = u"/linxp_translate_t";
constexpr char16_t kWrapperHead[] = u"<div><div><div><span id=result_box class=short_text><span class=hps>";
constexpr char16_t kWrapperTail[] = u"</span></span></div></div><div>";
constexpr char16_t kSeparator[] = u"__________________________________________";

// Through UTF-8 and back: well-formed text is unchanged, an unpaired surrogate becomes U+FFFD.
std::u16string ThroughUtf8(const std::u16string& text) { return FromUtf8(ToUtf8(text)); }

std::u16string FromPosition(const std::u16string& s, size_t zeroBased) {
  return s.size() > zeroBased ? s.substr(zeroBased) : std::u16string();
}

}  // namespace

TTranslationService::TTranslationService(IUpstreamClient& client, ILogSink& log, const IEngineChoice& choice,
                                         const TBabylonTable& babylon, TEngineHosts hosts)
    : m_client(client), m_log(log), m_choice(choice), m_babylon(babylon), m_hosts(std::move(hosts)) {}

void TTranslationService::IdHTTPServer1CommandGet(const IRequestInfo& ARequestInfo, IResponseInfo& AResponseInfo) {
  if (ARequestInfo.CommandType() != THTTPCommandType::hcGET || ARequestInfo.Document() != kDocument) return;

  std::u16string text;
  std::u16string langs_in;
  std::u16string langs_out;
  std::u16string result;
  const TStringList& params = ARequestInfo.Params();

  const std::u16string& first = params[0];
  if (first.find(u"text") != std::u16string::npos) {
    // The first five characters go whatever they are ("text=" in a well-formed request).
    text = ThroughUtf8(FromPosition(DecodeUtf8Chars(first), 5));
    m_log.AddLogLine(u"Получение данных");
    m_log.AddLogLine(text);
  }

  const std::u16string& second = params[1];
  if (second.find(u"langpair") != std::u16string::npos) {
    std::array<std::u16string, 3> langs;
    SplitText(FromPosition(second, 9), u"|", langs);
    langs_in = langs[0];
    langs_out = langs[1];
    m_log.AddLogLine(u"Получение значения языка");
    m_log.AddLogLine(langs_in + u"|" + langs_out);
  }

  // One snapshot: a menu change made meanwhile is seen whole or not at all.
  const TEngineItems items = m_choice.Snapshot();
  for (size_t i = 0; i < items.size(); ++i) {
    if (!items[i].Checked) continue;
    result = translateget(text, langs_out, langs_in, static_cast<int>(i), u"UTF-8");
    m_log.AddLogLine(u"Сервис");
    m_log.AddLogLine(items[i].Caption);
    break;
  }

  AResponseInfo.SetContentText(ThroughUtf8(kWrapperHead + result + kWrapperTail));
  AResponseInfo.WriteContent();

  m_log.AddLogLine(u"Результат");
  m_log.AddLogLine(result);
  m_log.AddLogLine(kSeparator);
}

std::u16string TTranslationService::translateget(const std::u16string& text, const std::u16string& langs_out,
                                                 const std::u16string& langs_in, int servises,
                                                 [[maybe_unused]] const std::u16string& Coder) {
  std::lock_guard lock(m_clientMutex);
  // Emptied for every call, so one engine's headers never reach a later request.
  m_client.CustomHeadersClear();
  const auto request = BuildEngineRequest(servises, text, langs_out, langs_in, m_hosts, m_babylon);
  if (!request) return {};
  for (const auto& [name, value] : request->CustomHeaders) m_client.CustomHeadersAddValue(name, value);

  std::u16string reply;
  if (request->Body) {
    TMemoryStream source(*request->Body);
    reply = m_client.Post(request->Url, source);
  } else {
    reply = m_client.Get(request->Url);
  }
  return ExtractTranslation(servises, reply);
}

}  // namespace tessarine::translate
