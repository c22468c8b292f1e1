#pragma once

#include <mutex>
#include <string>

#include "translate/babylon_table.h"
#include "translate/engine_hosts.h"
#include "translate/service_interfaces.h"

namespace tessarine::translate {

// The translation endpoint and the engine call behind it. The handler runs on many worker threads at
// once; the engine calls are serialized because they share the one upstream client.
class TTranslationService {
 public:
  // The references must outlive the service.
  TTranslationService(IUpstreamClient& client, ILogSink& log, const IEngineChoice& choice, const TBabylonTable& babylon,
                      TEngineHosts hosts);

  TTranslationService(const TTranslationService&) = delete;
  TTranslationService& operator=(const TTranslationService&) = delete;

  // The local server's OnCommandGet handler for GET "/linxp_translate_t?text=...&langpair=in|out".
  // Catches nothing: a missing parameter raises "List index out of bounds (%d)", and engine failures
  // pass through.
  void IdHTTPServer1CommandGet(const IRequestInfo& ARequestInfo, IResponseInfo& AResponseInfo);

  // Translates text from langs_in to langs_out through engine servises (0 to 5). Coder is not read.
  std::u16string translateget(const std::u16string& text, const std::u16string& langs_out,
                              const std::u16string& langs_in, int servises, const std::u16string& Coder);

  const TEngineHosts& Hosts() const { return m_hosts; }

 private:
  IUpstreamClient& m_client;
  ILogSink& m_log;
  const IEngineChoice& m_choice;
  const TBabylonTable& m_babylon;
  const TEngineHosts m_hosts;
  // Held for a whole engine call: the client's header list, request and cookie store serve one call
  // at a time.
  std::mutex m_clientMutex;
};

}  // namespace tessarine::translate
