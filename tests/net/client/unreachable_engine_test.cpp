// An engine that cannot be reached, over the whole road: the local client always gets an answer, the 500 with the
// engine connection's error, and the failover asks the next engine. The local connection failing is another
// matter: that still ends it without an answer (the server's own tests).

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "common/text.h"
#include "net/client/http_client.h"
#include "net/server/http_server.h"
#include "net/socket_stack_posix.h"
#include "support/fake_engine.h"
#include "support/translation_endpoint.h"
#include "translate/babylon_table.h"
#include "translate/engine_choice.h"
#include "translate/engine_hosts.h"
#include "translate/translation_service.h"

namespace tessarine {
namespace {

using test_support::FakeEngine;
using test_support::Wrapped;

constexpr char kError[] = "HTTP/1.1 500 Internal Server Error|";

// A loopback socket that is bound, and listening or not: connecting to a bound socket that does not listen is
// refused; one that listens but is never read accepts the connection and then says nothing.
class LoopbackPort {
 public:
  explicit LoopbackPort(bool listening) : m_fd(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        (listening && ::listen(m_fd, 4) != 0) ||
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      throw std::runtime_error("no loopback port");
    m_port = ntohs(address.sin_port);
  }
  ~LoopbackPort() { ::close(m_fd); }
  LoopbackPort(const LoopbackPort&) = delete;
  LoopbackPort& operator=(const LoopbackPort&) = delete;

  std::u16string Host() const { return u"127.0.0.1:" + Widen(std::to_string(m_port)); }

 private:
  int m_fd;
  uint16_t m_port = 0;
};

int NoSuchHost(const std::string&, int, sockaddr_storage&) { return EAI_NONAME; }
// What the system's resolver says on a machine without a network.
int NoNetwork(const std::string&, int, sockaddr_storage&) { return EAI_AGAIN; }

class UnreachableEngine : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { s_fake = new FakeEngine(); }
  static void TearDownTestSuite() { delete s_fake; }

  ~UnreachableEngine() override {
    if (server.Active()) server.SetActive(false);
    net::TIdStackPosix::SetResolver(nullptr);
  }

  // The engine at host, every other engine at the fake; with failover Bing is asked next.
  void start(int engine, const std::u16string& host, bool failover, bool bingToo = false) {
    translate::TEngineHosts hosts;
    for (int i = 0; i < translate::kEngineCount; ++i) hosts.SetHost(i, Widen(s_fake->HttpHost()));
    hosts.SetHost(engine, host);
    if (bingToo) hosts.SetHost(translate::kBing, host);
    translate::TServiceExtras extras;
    if (failover) extras.Failover = translate::TFailoverSettings{{translate::kBing}, 2};
    choice.SetChecked(engine);
    service = std::make_unique<translate::TTranslationService>(client, log, choice, babylon, hosts, std::move(extras));
    test_support::ServeOnLoopback(server,
                                  [this](server::TIdHTTPRequestInfo& request, server::TIdHTTPResponseInfo& response) {
                                    service->IdHTTPServer1CommandGet(request, response);
                                  });
  }

  std::string Ask() { return test_support::AskEndpoint(server.Bindings()[0].Port(), "text=a&langpair=en|ru"); }

  static inline FakeEngine* s_fake = nullptr;
  client::TIdHTTP client;
  test_support::RecordingLog log;
  translate::TEngineChoice choice;
  translate::TBabylonTable babylon;
  std::unique_ptr<translate::TTranslationService> service;
  server::TIdHTTPServer server;
};

TEST_F(UnreachableEngine, HostNotFoundIsAnsweredWithItsError) {
  net::TIdStackPosix::SetResolver(&NoSuchHost);
  start(translate::kGoogle, u"engine.invalid", false);
  EXPECT_EQ(Ask(), std::string(kError) + "Socket Error # 11001\r\nHost not found.");
  EXPECT_EQ(log.Last(), u"Google: Socket Error # 11001\r\nHost not found.");
  net::TIdStackPosix::SetResolver(&NoNetwork);
  EXPECT_EQ(Ask(), std::string(kError) + "Socket Error # 11002\r\nHost not found, try again later (no network?).");
}

TEST_F(UnreachableEngine, RefusedConnectionIsAnsweredWithItsErrorAndTheNextRequestWorks) {
  const LoopbackPort closed(false);
  start(translate::kGoogle, closed.Host(), false);
  EXPECT_EQ(Ask(), std::string(kError) + "Socket Error # 10061\r\nConnection refused.");
  EXPECT_EQ(log.Last(), u"Google: Socket Error # 10061\r\nConnection refused.");
  choice.SetChecked(translate::kBing);
  EXPECT_EQ(Ask(), Wrapped("ru: A"));
}

TEST_F(UnreachableEngine, StalledTlsHandshakeIsAnsweredWithItsError) {
  // Yandex is the https engine; its peer takes the connection and never answers the handshake.
  const LoopbackPort silent(true);
  client.SetReadTimeout(300);
  start(translate::kYandex, silent.Host(), false);
  EXPECT_EQ(Ask(), std::string(kError) + "Socket Error # 10060\r\nConnection timed out.");
}

TEST_F(UnreachableEngine, FailoverAsksTheNextEngine) {
  const LoopbackPort closed(false);
  start(translate::kGoogle, closed.Host(), true);
  EXPECT_EQ(Ask(), Wrapped("ru: A"));
  const std::vector<std::u16string> lines = log.Lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), u"Google: Socket Error # 10061\r\nConnection refused."), lines.end());
  EXPECT_EQ(lines[lines.size() - 4], u"Bing");
}

TEST_F(UnreachableEngine, FailoverWithEveryEngineUnreachableAnswersTheFirstError) {
  const LoopbackPort closed(false);
  start(translate::kGoogle, closed.Host(), true, true);
  EXPECT_EQ(Ask(), std::string(kError) + "Socket Error # 10061\r\nConnection refused.");
  EXPECT_EQ(log.Last(), u"Bing: Socket Error # 10061\r\nConnection refused.");
}

}  // namespace
}  // namespace tessarine
