#pragma once

#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "translate/babylon_table.h"
#include "translate/engine_batches.h"
#include "translate/engine_endpoint.h"
#include "translate/engine_failover.h"
#include "translate/engine_hosts.h"
#include "translate/fifo_lock.h"
#include "translate/protected_text.h"
#include "translate/service_interfaces.h"
#include "translate/translation_cache.h"

namespace tessarine::translate {

// What the settings and the program may add to the service; none of it is there by default.
struct TServiceExtras {
  // Answers already given, asked before any engine is called.
  std::unique_ptr<TTranslationCache> Cache;
  // Other engines asked when the chosen one fails, and rests for those that failed.
  std::optional<TFailoverSettings> Failover;
  TEngineRest::TClock RestClock = TEngineRest::SteadyMilliseconds;
  // Where each configured optional engine is reached, by engine index (see optional_engines.h); an optional
  // engine that is not here does not exist.
  std::map<int, TEngineEndpoint> Endpoints;
  // Placeholders, markup, escapes and terms travel to the engines as tokens and come back checked ([Protect]);
  // without it every text goes as it is.
  std::optional<TProtectSettings> Protection;
  // Clients of their own for the calls to engines that serve several calls at once; without it those calls
  // share the one client too. Must outlive the service.
  IUpstreamPool* Pool = nullptr;
};

// The translation endpoint and the engine call behind it. The handler runs on many worker threads at
// once; the engine calls are serialized because they share the one upstream client, except those to an engine
// that serves several calls at once, which run side by side through clients of the pool, and the requests waiting
// for one of those with the same language pair go out together in one call.
class TTranslationService {
 public:
  // The references must outlive the service.
  TTranslationService(IUpstreamClient& client, ILogSink& log, const IEngineChoice& choice, const TBabylonTable& babylon,
                      TEngineHosts hosts);
  TTranslationService(IUpstreamClient& client, ILogSink& log, const IEngineChoice& choice, const TBabylonTable& babylon,
                      TEngineHosts hosts, TServiceExtras extras);

  TTranslationService(const TTranslationService&) = delete;
  TTranslationService& operator=(const TTranslationService&) = delete;

  // The local server's OnCommandGet handler for GET "/linxp_translate_t?text=...&langpair=in|out".
  // Catches nothing: a missing parameter raises "List index out of bounds (%d)", and engine failures
  // pass through.
  void IdHTTPServer1CommandGet(const IRequestInfo& ARequestInfo, IResponseInfo& AResponseInfo);

  // Translates text from langs_in to langs_out through engine servises (0 to 5, or a configured optional
  // engine), always asking the engine. The translation is well-formed characters, whatever form the reply took;
  // only the answer to the local client turns it into UTF-8 bytes. Coder is not read.
  std::u16string translateget(const std::u16string& text, const std::u16string& langs_out,
                              const std::u16string& langs_in, int servises, const std::u16string& Coder);

  const TEngineHosts& Hosts() const { return m_hosts; }
  // Where the optional engine of that index is reached, or nullptr when it is not configured.
  const TEngineEndpoint* Endpoint(int engine) const;
  TTranslationCache* Cache() const { return m_extras.Cache.get(); }
  const TEngineRest& Rest() const { return m_rest; }
  const TEngineBatches& Batches() const { return m_batches; }

 private:
  class TClientLease;

  struct TAnswer {
    std::u16string Result;
    int Engine = 0;
    bool FromCache = false;
  };
  // What the failover needs to know of a failed call.
  struct TCallOutcome {
    std::optional<int64_t> RetryAfter;
    // False for all but one of the requests that one call carried: the call fails once.
    bool CountsForRest = true;
  };

  // The chosen engine's answer, through the cache and the failover as far as they are switched on.
  TAnswer answer(const std::u16string& text, const std::u16string& langs_out, const std::u16string& langs_in,
                 int chosen);
  TCacheKey cacheKey(int engine, const std::u16string& text, const std::u16string& langs_out,
                     const std::u16string& langs_in) const;
  std::optional<std::u16string> cached(int engine, const std::u16string& text, const std::u16string& langs_out,
                                       const std::u16string& langs_in) const;
  // One engine call that stores its result in the cache (or the text's share of one call of several); a call
  // waiting for the client takes the answer of the same request made meanwhile. On failure *outcome says what the
  // failover needs.
  TAnswer callEngine(const std::u16string& text, const std::u16string& langs_out, const std::u16string& langs_in,
                     int engine, TCallOutcome* outcome);
  // One call of several texts of one pair, for m_batches.
  void sendBatch(int engine, const std::u16string& langs_in, const std::u16string& langs_out,
                 const std::vector<std::u16string>& texts, TBatchCall& call);
  // Where every text goes to an engine and comes back: the request for the texts of one pair (one text, unless the
  // engine takes several a call) and their translations read from the reply, in order, through a client that serves
  // this call alone meanwhile. Given textFailures, a text whose translation cannot be used (its placeholders
  // changed) fails there alone and the others stand; without it the call fails.
  std::vector<std::u16string> requestThrough(IUpstreamClient& client, const std::vector<std::u16string>& texts,
                                             const std::u16string& langs_out, const std::u16string& langs_in,
                                             int servises, std::vector<std::exception_ptr>* textFailures = nullptr);
  bool available(int engine) const;
  // Its calls go through the pool.
  bool pooled(int engine) const;
  // Its calls go through m_batches.
  bool batched(int engine) const;
  // Calls are being ended because the server is switching off: a failure then says nothing about the engine.
  bool callsStopped() const;
  // One log line "engine: message" for an engine call that failed.
  void logFailure(int engine, const std::exception_ptr& failure);

  IUpstreamClient& m_client;
  ILogSink& m_log;
  const IEngineChoice& m_choice;
  const TBabylonTable& m_babylon;
  const TEngineHosts m_hosts;
  const TServiceExtras m_extras;
  TEngineRest m_rest;
  // Held for a whole engine call through the one client: its header list, request and cookie store serve one
  // call at a time. Taken in arrival order, so that under load no request waits much longer than the others.
  TFifoLock m_clientMutex;
  TEngineBatches m_batches;
};

}  // namespace tessarine::translate
