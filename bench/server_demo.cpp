// The local server as the program runs it (IdHTTPServer1 with the translation endpoint), on 127.0.0.1. Without
// an engine argument its upstream client answers every engine call at once (server_load.sh drives that with
// wrk); with one, the real upstream client calls that engine at the host given (road_load.sh), or for an engine
// that serves several calls at once (Apertium) the clients of a pool as in the program (apertium_load.sh).
//
//   server_demo [port [engine=host:port]]   engine: google, bing, yandex, babylon, promt, systran, or an
//                                            optional one (libretranslate, apertium: the host as in [Engines])
//                                            (default port 8888; stops on SIGINT or SIGTERM)
//   server_demo port cache                  the translation cache in front of an engine that takes 50 ms
//                                            (cache_load.sh: after the first request every answer is a hit)
//   server_demo port engine=host:port protect   with [Protect] on (protect_load.sh)

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "common/exception.h"
#include "common/text.h"
#include "net/client/http_client.h"
#include "net/client/upstream_pool.h"
#include "net/server/http_server.h"
#include "translate/babylon_table.h"
#include "translate/engine_choice.h"
#include "translate/engine_hosts.h"
#include "translate/optional_engines.h"
#include "translate/translation_service.h"

namespace {

using namespace tessarine;

// Google's reply format, so the endpoint extracts "Hallo, Welt".
class InstantUpstream : public translate::IUpstreamClient {
 public:
  void CustomHeadersAddValue(const std::u16string&, const std::u16string&) override {}
  void CustomHeadersClear() override {}
  void SetCarriesCredentials(bool) override {}
  std::u16string Get(const std::u16string&) override {
    if (Slow) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return u"[{\"trans\":\"Hallo, Welt\"}]";
  }
  bool Slow = false;
  std::u16string Post(const std::u16string&, TStream&) override { return u"[{\"trans\":\"Hallo, Welt\"}]"; }
};

class NullLog : public translate::ILogSink {
 public:
  void AddLogLine(const std::u16string&) override {}
};

}  // namespace

int main(int argc, char** argv) {
  const int port = argc > 1 ? std::atoi(argv[1]) : 8888;
  const bool cache = argc > 2 && std::string(argv[2]) == "cache";
  const std::string engineArg = argc > 2 && !cache ? argv[2] : "";
  const bool protect = argc > 3 && std::string(argv[3]) == "protect";
  const size_t eq = engineArg.find('=');
  int engine = -1;
  if (eq != std::string::npos) {
    if (const auto index = translate::EngineIndexByName(FromUtf8(engineArg.substr(0, eq)))) engine = *index;
  }
  if (port <= 0 || port > 65535 || (!engineArg.empty() && engine < 0)) {
    std::fprintf(stderr, "usage: %s [port [engine=host:port [protect]]]\n", argv[0]);
    return 2;
  }
  // Every thread the server starts inherits this mask, so the signals reach sigwait below only.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  using namespace tessarine;
  InstantUpstream instant;
  client::TIdHTTP IdHTTP1;
  client::TUpstreamPool pool;
  NullLog log;
  translate::TEngineChoice choice;
  translate::TBabylonTable babylon;
  translate::TEngineHosts hosts;
  translate::TServiceExtras extras;
  extras.Pool = &pool;
  if (protect) extras.Protection = translate::TProtectSettings{};
  if (const translate::TOptionalEngine* optional = translate::FindOptionalEngine(engine)) {
    extras.Endpoints[engine] =
        translate::TEngineEndpoint::Parse(FromUtf8(engineArg.substr(eq + 1)), u"", optional->DefaultPort);
    choice.AddOptionalEngine(engine, true);
    choice.SetChecked(engine);
  } else if (engine >= 0) {
    hosts.SetHost(engine, FromUtf8(engineArg.substr(eq + 1)));
    choice.SetChecked(engine);
  }
  translate::IUpstreamClient& upstream = engine >= 0 ? static_cast<translate::IUpstreamClient&>(IdHTTP1) : instant;
  if (cache) {
    instant.Slow = true;
    extras.Cache = std::make_unique<translate::TTranslationCache>(translate::TCacheSettings{}, log);
  }
  translate::TTranslationService service(upstream, log, choice, babylon, hosts, std::move(extras));

  server::TIdHTTPServer server;
  server::ConfigureIdHTTPServer1(server);
  server.Bindings().Add().SetIP(u"127.0.0.1");
  server.Bindings()[0].SetPort(static_cast<uint16_t>(port));
  server.OnCommandGet = [&service](server::TIdContext&, server::TIdHTTPRequestInfo& request,
                                   server::TIdHTTPResponseInfo& response) {
    service.IdHTTPServer1CommandGet(request, response);
  };
  try {
    server.SetActive(true);
  } catch (const tessarine::Exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  std::printf("listening on 127.0.0.1:%d\n", port);
  std::fflush(stdout);
  int signal = 0;
  sigwait(&stopSignals, &signal);
  server.SetActive(false);
  return 0;
}
