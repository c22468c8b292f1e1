#include "translate/translation_service.h"

#include <algorithm>
#include <array>
#include <exception>
#include <utility>

#include "common/exception.h"
#include "common/stream.h"
#include "common/text.h"
#include "translate/engine_choice.h"
#include "translate/engine_request.h"
#include "translate/optional_engines.h"
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

// The text with every unpaired surrogate (an engine's lone escape) as U+FFFD, as ThroughUtf8 has it, without
// copying the text that has none: a translation may be megabytes long.
std::u16string WellFormed(std::u16string text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] < 0xD800 || text[i] > 0xDFFF) continue;
    if (text[i] <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      ++i;
    } else {
      text[i] = u'\uFFFD';
    }
  }
  return text;
}

// The local client reads its answers as UTF-8 whatever the charset the server names, so the answer's text holds
// the UTF-8 bytes of the characters, one character per byte, which the server writes out one byte each.
std::u16string AnswerText(const std::u16string& text) { return Widen(ToUtf8(text)); }

std::u16string FromPosition(const std::u16string& s, size_t zeroBased) {
  return s.size() > zeroBased ? s.substr(zeroBased) : std::u16string();
}

std::u16string FailureText(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const Exception& e) {
    return e.Message();
  } catch (const std::exception& e) {
    return FromUtf8(e.what());
  } catch (...) {
    return u"unknown error";
  }
}

// The kind of an engine's refusal, or Other for any other failure.
TRefusalKind RefusalKindOf(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const EEngineRefusal& refusal) {
    return refusal.Kind();
  } catch (const EPlaceholdersChanged&) {
    // What one text did to the engine, not the engine failing.
    return TRefusalKind::ThisRequest;
  } catch (...) {
    return TRefusalKind::Other;
  }
}

// Keys shorter than this are no secret worth the name, and taking them out would garble the messages.
constexpr size_t kShortestRedactedKey = 8;

std::u16string WithoutKey(std::u16string message, const std::u16string& key) {
  for (size_t at = message.find(key); at != std::u16string::npos; at = message.find(key, at + 3))
    message.replace(at, key.size(), u"***");
  return message;
}

// Rethrows the failure being handled, with the key taken out of its message should the engine have quoted it.
[[noreturn]] void RethrowWithoutKey(const std::u16string& key) {
  try {
    throw;
  } catch (const EEngineRefusal& e) {
    if (key.size() < kShortestRedactedKey || e.Message().find(key) == std::u16string::npos) throw;
    throw EEngineRefusal(WithoutKey(e.Message(), key), e.Kind());
  } catch (const Exception& e) {
    if (key.size() < kShortestRedactedKey || e.Message().find(key) == std::u16string::npos) throw;
    throw EIdException(WithoutKey(e.Message(), key));
  }
}

}  // namespace

// The client one engine call goes through, for the whole call: one of the pool's for an engine that serves
// several calls at once, else the one client, taken in arrival order.
class TTranslationService::TClientLease {
 public:
  TClientLease(TTranslationService& service, int engine)
      : m_service(service), m_pool(service.pooled(engine) ? service.m_extras.Pool : nullptr) {
    if (m_pool) {
      m_client = &m_pool->Take();
    } else {
      service.m_clientMutex.lock();
      m_client = &service.m_client;
    }
  }
  ~TClientLease() {
    if (m_pool) {
      m_pool->GiveBack(*m_client);
    } else {
      m_service.m_clientMutex.unlock();
    }
  }
  TClientLease(const TClientLease&) = delete;
  TClientLease& operator=(const TClientLease&) = delete;

  IUpstreamClient& Client() const { return *m_client; }

 private:
  TTranslationService& m_service;
  IUpstreamPool* const m_pool;
  IUpstreamClient* m_client = nullptr;
};

TTranslationService::TTranslationService(IUpstreamClient& client, ILogSink& log, const IEngineChoice& choice,
                                         const TBabylonTable& babylon, TEngineHosts hosts)
    : TTranslationService(client, log, choice, babylon, std::move(hosts), TServiceExtras{}) {}

TTranslationService::TTranslationService(IUpstreamClient& client, ILogSink& log, const IEngineChoice& choice,
                                         const TBabylonTable& babylon, TEngineHosts hosts, TServiceExtras extras)
    : m_client(client),
      m_log(log),
      m_choice(choice),
      m_babylon(babylon),
      m_hosts(std::move(hosts)),
      m_extras(std::move(extras)),
      m_rest(m_extras.RestClock),
      m_batches([this](int engine, const std::u16string& langs_in, const std::u16string& langs_out,
                       const std::vector<std::u16string>& texts,
                       TBatchCall& call) { sendBatch(engine, langs_in, langs_out, texts, call); }) {}

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
  const std::vector<TEngineItem> items = m_choice.AllItems();
  const auto chosen = std::find_if(items.begin(), items.end(), [](const TEngineItem& item) { return item.Checked; });
  if (chosen != items.end()) {
    const int engine = static_cast<int>(chosen - items.begin());
    TAnswer given;
    try {
      if (!m_extras.Cache && !m_extras.Failover && !batched(engine)) {
        given = {translateget(text, langs_out, langs_in, engine, u"UTF-8"), engine, false};
      } else {
        given = answer(text, langs_out, langs_in, engine);
      }
    } catch (...) {
      // The failover has logged each engine it asked.
      if (!m_extras.Failover) logFailure(engine, std::current_exception());
      throw;
    }
    result = std::move(given.Result);
    const auto answered = static_cast<size_t>(given.Engine);
    std::u16string caption =
        answered < items.size() ? items[answered].Caption : std::u16string(EngineName(given.Engine));
    if (given.FromCache) caption += u" (cache)";
    m_log.AddLogLine(u"Сервис");
    m_log.AddLogLine(caption);
  }

  AResponseInfo.SetContentText(AnswerText(kWrapperHead + result + kWrapperTail));
  AResponseInfo.WriteContent();

  m_log.AddLogLine(u"Результат");
  m_log.AddLogLine(result);
  m_log.AddLogLine(kSeparator);
}

void TTranslationService::logFailure(int engine, const std::exception_ptr& failure) {
  // A call ended because the server is switching off says nothing about the engine.
  if (callsStopped()) return;
  const std::u16string prefix = std::u16string(EngineName(engine)) + u": ";
  std::u16string message = FailureText(failure);
  // The optional engines' reply readers name the engine in their messages already.
  if (!message.starts_with(prefix)) message.insert(0, prefix);
  m_log.AddLogLine(message);
}

bool TTranslationService::available(int engine) const {
  return (engine >= 0 && engine < kEngineCount) || Endpoint(engine) != nullptr;
}

bool TTranslationService::pooled(int engine) const { return m_extras.Pool && batched(engine); }

bool TTranslationService::batched(int engine) const {
  const TOptionalEngine* optional = FindOptionalEngine(engine);
  return optional && (optional->CallsAtOnce > 1 || optional->Batch.MaxTexts > 1) && Endpoint(engine) != nullptr;
}

bool TTranslationService::callsStopped() const {
  return m_client.CallsStopped() || (m_extras.Pool && m_extras.Pool->CallsStopped());
}

const TEngineEndpoint* TTranslationService::Endpoint(int engine) const {
  const auto found = m_extras.Endpoints.find(engine);
  return found != m_extras.Endpoints.end() && FindOptionalEngine(engine) ? &found->second : nullptr;
}

TCacheKey TTranslationService::cacheKey(int engine, const std::u16string& text, const std::u16string& langs_out,
                                        const std::u16string& langs_in) const {
  return {engine, langs_in, langs_out, text, m_extras.Protection ? m_extras.Protection->CacheTag() : u""};
}

std::optional<std::u16string> TTranslationService::cached(int engine, const std::u16string& text,
                                                          const std::u16string& langs_out,
                                                          const std::u16string& langs_in) const {
  if (!m_extras.Cache) return std::nullopt;
  return m_extras.Cache->Find(cacheKey(engine, text, langs_out, langs_in));
}

TTranslationService::TAnswer TTranslationService::callEngine(const std::u16string& text,
                                                             const std::u16string& langs_out,
                                                             const std::u16string& langs_in, int engine,
                                                             TCallOutcome* outcome) {
  if (batched(engine)) {
    TBatchAnswer given = m_batches.Translate(*FindOptionalEngine(engine), langs_in, langs_out, text);
    if (outcome) *outcome = {given.RetryAfter, given.Opened};
    if (given.Failure) std::rethrow_exception(given.Failure);
    return {std::move(given.Result), engine, given.FromCache};
  }
  const TClientLease lease(*this, engine);
  // The same request may have been answered while this one waited for a client.
  if (auto hit = cached(engine, text, langs_out, langs_in)) return {std::move(*hit), engine, true};
  IUpstreamClient& client = lease.Client();
  std::u16string result;
  try {
    result = std::move(requestThrough(client, {text}, langs_out, langs_in, engine).front());
  } catch (...) {
    if (outcome) outcome->RetryAfter = client.RetryAfterSeconds();
    throw;
  }
  if (m_extras.Cache) m_extras.Cache->Store(cacheKey(engine, text, langs_out, langs_in), result);
  return {std::move(result), engine, false};
}

void TTranslationService::sendBatch(int engine, const std::u16string& langs_in, const std::u16string& langs_out,
                                    const std::vector<std::u16string>& texts, TBatchCall& call) {
  try {
    const TClientLease lease(*this, engine);
    call.Results.assign(texts.size(), std::u16string());
    call.FromCache.assign(texts.size(), false);
    // Texts answered while this call waited for a client are not sent again.
    std::vector<std::u16string> missing;
    std::vector<size_t> positions;
    for (size_t i = 0; i < texts.size(); ++i) {
      if (auto hit = cached(engine, texts[i], langs_out, langs_in)) {
        call.Results[i] = std::move(*hit);
        call.FromCache[i] = true;
      } else {
        missing.push_back(texts[i]);
        positions.push_back(i);
      }
    }
    if (missing.empty()) return;
    std::vector<std::u16string> results;
    std::vector<std::exception_ptr> failures;
    try {
      results = requestThrough(lease.Client(), missing, langs_out, langs_in, engine, &failures);
    } catch (...) {
      call.RetryAfter = lease.Client().RetryAfterSeconds();
      throw;
    }
    for (size_t i = 0; i < missing.size(); ++i) {
      if (failures[i]) {
        // Nothing damaged is cached; this text fails over on its own while the others of the call stand.
        call.TextFailures.resize(texts.size());
        call.TextFailures[positions[i]] = failures[i];
        continue;
      }
      if (m_extras.Cache) m_extras.Cache->Store(cacheKey(engine, missing[i], langs_out, langs_in), results[i]);
      call.Results[positions[i]] = std::move(results[i]);
    }
  } catch (...) {
    call.Failure = std::current_exception();
    call.Results.clear();
  }
}

TTranslationService::TAnswer TTranslationService::answer(const std::u16string& text, const std::u16string& langs_out,
                                                         const std::u16string& langs_in, int chosen) {
  if (auto hit = cached(chosen, text, langs_out, langs_in)) return {std::move(*hit), chosen, true};
  if (!m_extras.Failover) return callEngine(text, langs_out, langs_in, chosen, nullptr);

  std::vector<int> candidates{chosen};
  for (int engine : m_extras.Failover->Order) {
    if (available(engine) && std::find(candidates.begin(), candidates.end(), engine) == candidates.end())
      candidates.push_back(engine);
  }
  // The first failure decides the answer when every try fails: its error, or the empty result of a reply
  // with nothing to extract, as without failover.
  std::exception_ptr firstError;
  bool failed = false;
  auto attempt = [&](int engine) -> std::optional<TAnswer> {
    TCallOutcome outcome;
    TRefusalKind kind = TRefusalKind::Other;
    try {
      TAnswer given = callEngine(text, langs_out, langs_in, engine, &outcome);
      if (!given.Result.empty()) {
        if (!given.FromCache) m_rest.Succeeded(engine);
        return given;
      }
      m_log.AddLogLine(std::u16string(EngineName(engine)) + u": no translation in the reply");
    } catch (...) {
      // Ended because the server is switching off: the engine is not to blame, and no other is asked.
      if (callsStopped()) throw;
      if (!failed) firstError = std::current_exception();
      logFailure(engine, std::current_exception());
      kind = RefusalKindOf(std::current_exception());
    }
    failed = true;
    if (!outcome.CountsForRest) return std::nullopt;
    switch (kind) {
      case TRefusalKind::ThisRequest:
        // An engine that answered why it cannot take this request (a language pair it lacks) works: resting it
        // would turn away the requests it can take.
        break;
      case TRefusalKind::Quota:
      case TRefusalKind::Authentication:
        m_rest.RestLongest(engine, outcome.RetryAfter);
        break;
      case TRefusalKind::TooManyRequests:
      case TRefusalKind::Other:
        m_rest.Failed(engine, outcome.RetryAfter);
        break;
    }
    return std::nullopt;
  };

  int tries = 0;
  for (size_t i = 0; i < candidates.size() && tries < m_extras.Failover->MaxTries; ++i) {
    const int engine = candidates[i];
    if (i > 0) {
      if (auto hit = cached(engine, text, langs_out, langs_in)) return {std::move(*hit), engine, true};
    }
    if (m_rest.Resting(engine)) continue;
    ++tries;
    if (auto given = attempt(engine)) return std::move(*given);
  }
  // Every engine rests: the chosen one is asked all the same rather than answering without a try.
  if (tries == 0) {
    if (auto given = attempt(chosen)) return std::move(*given);
  }
  if (firstError) std::rethrow_exception(firstError);
  return {u"", chosen, false};
}

std::u16string TTranslationService::translateget(const std::u16string& text, const std::u16string& langs_out,
                                                 const std::u16string& langs_in, int servises,
                                                 [[maybe_unused]] const std::u16string& Coder) {
  const TClientLease lease(*this, servises);
  return std::move(requestThrough(lease.Client(), {text}, langs_out, langs_in, servises).front());
}

std::vector<std::u16string> TTranslationService::requestThrough(IUpstreamClient& client,
                                                                const std::vector<std::u16string>& texts,
                                                                const std::u16string& langs_out,
                                                                const std::u16string& langs_in, int servises,
                                                                std::vector<std::exception_ptr>* textFailures) {
  // Emptied for every call, so one engine's headers never reach a later request.
  client.CustomHeadersClear();
  const TOptionalEngine* optional = FindOptionalEngine(servises);
  const TEngineEndpoint* endpoint = optional ? Endpoint(servises) : nullptr;
  // The engine gets the protected pieces as tokens of its form, and its translations are checked and restored below.
  std::vector<TProtectedText> guarded;
  if (m_extras.Protection) {
    guarded.reserve(texts.size());
    for (const std::u16string& text : texts) guarded.emplace_back(text, TokenFormOf(servises), *m_extras.Protection);
  }
  std::vector<std::u16string> protectedTexts;
  for (const TProtectedText& text : guarded) protectedTexts.push_back(text.Sent());
  const std::vector<std::u16string>& sent = guarded.empty() ? texts : protectedTexts;
  // One engine, one form: every text of the call has the same.
  const TTextFormat format = TextFormatOf(guarded.empty() ? std::nullopt : std::optional(guarded.front().Form()));
  std::optional<TEngineRequest> request;
  if (optional) {
    // Not configured: it does not exist, and nothing is sent, as for any other unknown index.
    if (endpoint) request = optional->BuildRequest(*endpoint, sent, langs_out, langs_in, format);
  } else if (sent.size() == 1) {
    request = BuildEngineRequest(servises, sent.front(), langs_out, langs_in, m_hosts, m_babylon);
  }
  if (!request) return std::vector<std::u16string>(texts.size());
  for (const auto& [name, value] : request->CustomHeaders) client.CustomHeadersAddValue(name, value);
  client.SetCarriesCredentials(request->CarriesCredentials);
  client.SetCallTimeLimit(optional ? optional->CallTimeLimitMs : 0);
  const std::u16string noKey;
  const std::u16string& key = endpoint ? endpoint->ApiKey : noKey;

  std::u16string reply;
  try {
    try {
      if (request->Body) {
        TMemoryStream source(*request->Body);
        reply = client.Post(request->Url, source);
      } else {
        reply = client.Get(request->Url);
      }
    } catch (const EIdSocketError& e) {
      // Only the local connection's socket errors may end it unanswered; the engine's are engine failures.
      throw EEngineConnectionError(e);
    } catch (const ECredentialsWithheld& e) {
      // The client cannot tell whose key it kept back; the user reading the answer must.
      throw ECredentialsWithheld(std::u16string(EngineName(servises)) + u": " + e.Message());
    } catch (const Exception&) {
      // An engine that explains its refusals is heard: its explanation is what the user reads, not the status line.
      if (optional && optional->ReadRefusal) {
        if (const std::optional<std::u16string> body = client.RefusedReplyText()) {
          if (std::optional<TRefusal> refusal =
                  optional->ReadRefusal(client.RefusedStatusCode(), *body, ReplyTextOf(client.ReplyCharSet())))
            throw EEngineRefusal(std::move(refusal->Message), refusal->Kind);
        }
      }
      throw;
    }
    const TReplyText form = ReplyTextOf(client.ReplyCharSet());
    std::vector<std::u16string> results = optional ? optional->ReadReply(reply, form, texts.size())
                                                   : std::vector{ExtractTranslation(servises, reply, form)};
    if (results.size() != texts.size()) throw Exception("The engine's reply does not answer every text");
    // A translation is characters from here on, and well-formed: the log, the cache and the answer all take it so.
    if (textFailures) textFailures->assign(results.size(), nullptr);
    for (size_t i = 0; i < results.size(); ++i) {
      results[i] = WellFormed(std::move(results[i]));
      if (guarded.empty()) continue;
      if (!textFailures) {
        results[i] = guarded[i].Restore(results[i], EngineName(servises));
        continue;
      }
      try {
        try {
          results[i] = guarded[i].Restore(results[i], EngineName(servises));
        } catch (...) {
          RethrowWithoutKey(key);
        }
      } catch (...) {
        (*textFailures)[i] = std::current_exception();
        results[i].clear();
      }
    }
    return results;
  } catch (...) {
    RethrowWithoutKey(key);
  }
}

}  // namespace tessarine::translate
