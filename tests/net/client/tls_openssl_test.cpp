#include <gtest/gtest.h>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "common/stream.h"
#include "common/text.h"
#include "net/client/ssl_openssl.h"
#include "net/exceptions.h"
#include "net/socket_stack_posix.h"
#include "support/raw_socket.h"
#include "support/test_certificates.h"

namespace tessarine::client {
namespace {

using namespace std::chrono_literals;
using test_support::kWaitLimit;
using test_support::RawSocket;

std::string g_certDir;

// Throw-away certificates for the whole program, trusted through SSL_CERT_FILE.
class CertificateEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    m_certificates = std::make_unique<test_support::TestCertificates>();
    g_certDir = m_certificates->Dir().string();
    ::setenv("SSL_CERT_FILE", (g_certDir + "/ca.pem").c_str(), 1);
    ::setenv("SSL_CERT_DIR", g_certDir.c_str(), 1);
  }
  void TearDown() override { m_certificates.reset(); }

 private:
  std::unique_ptr<test_support::TestCertificates> m_certificates;
};

[[maybe_unused]] const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new CertificateEnvironment);

bool Ipv6LoopbackAvailable() { return test_support::RawListenOn(AF_INET6, 0).Valid(); }

// Every name is the IPv4 loopback, so a test can reach its server under any name.
int LoopbackResolver(const std::string&, int family, sockaddr_storage& address) {
  address = {};
  address.ss_family = static_cast<sa_family_t>(family);
  reinterpret_cast<sockaddr_in*>(&address)->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return family == AF_INET ? 0 : EAI_FAMILY;
}

struct LoopbackNames {
  LoopbackNames() { net::TIdStackPosix::SetResolver(&LoopbackResolver); }
  ~LoopbackNames() { net::TIdStackPosix::SetResolver(nullptr); }
};

struct ServerOptions {
  std::string certificate = "server";  // base name of the .pem and .key in the certificate folder
  int family = AF_INET;
  int connections = 1;
  bool legacyOnly = false;  // TLS 1.0 and 1.1 only
};

// What the server thread saw; read after the thread has ended.
struct ServerRecord {
  std::string serverName;
  bool handshakeDone = false;
  std::string request;
};

// A loopback TLS server on its own thread: accepts, runs the handshake and hands each connection
// to a script. Every wait is bounded, so a failing client cannot hang the test.
class TlsServer {
 public:
  using Script = std::function<void(SSL*, int fd, ServerRecord&)>;

  TlsServer(ServerOptions options, Script script) : m_options(std::move(options)), m_script(std::move(script)) {
    m_context = SSL_CTX_new(TLS_server_method());
    const std::string base = g_certDir + "/" + m_options.certificate;
    if (SSL_CTX_use_certificate_chain_file(m_context, (base + ".pem").c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(m_context, (base + ".key").c_str(), SSL_FILETYPE_PEM) != 1)
      throw std::runtime_error("server certificate");
    SSL_CTX_set_num_tickets(m_context, 0);
    if (m_options.legacyOnly) {
      // The default security level would not even offer these versions.
      SSL_CTX_set_security_level(m_context, 0);
      SSL_CTX_set_cipher_list(m_context, "DEFAULT:@SECLEVEL=0");
      SSL_CTX_set_min_proto_version(m_context, TLS1_VERSION);
      SSL_CTX_set_max_proto_version(m_context, TLS1_1_VERSION);
    }
    m_listener = test_support::RawListenOn(m_options.family, 0);
    if (!m_listener.Valid()) throw std::runtime_error("listen");
    m_port = test_support::LocalPort(m_listener);
    m_records.resize(static_cast<size_t>(m_options.connections));
    m_thread = std::thread([this] { run(); });
  }
  ~TlsServer() {
    Join();
    SSL_CTX_free(m_context);
  }

  uint16_t Port() const { return m_port; }
  // Ends the server thread; the records are complete afterwards.
  const std::vector<ServerRecord>& Join() {
    if (m_thread.joinable()) m_thread.join();
    return m_records;
  }

 private:
  void run() {
    for (ServerRecord& record : m_records) {
      if (!test_support::PollIn(m_listener.Fd(), kWaitLimit)) return;
      RawSocket connection(::accept4(m_listener.Fd(), nullptr, nullptr, SOCK_CLOEXEC));
      timeval limit{10, 0};
      ::setsockopt(connection.Fd(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
      ::setsockopt(connection.Fd(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
      SSL* ssl = SSL_new(m_context);
      SSL_set_fd(ssl, connection.Fd());
      if (SSL_accept(ssl) == 1) {
        record.handshakeDone = true;
        if (const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name)) record.serverName = name;
        m_script(ssl, connection.Fd(), record);
      } else if (const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name)) {
        record.serverName = name;
      }
      SSL_free(ssl);
      ERR_clear_error();
    }
  }

  ServerOptions m_options;
  Script m_script;
  SSL_CTX* m_context = nullptr;
  RawSocket m_listener;
  uint16_t m_port = 0;
  std::vector<ServerRecord> m_records;
  std::thread m_thread;
};

// Server-side helpers.
std::string ReadUntil(SSL* ssl, std::string_view end) {
  std::string bytes;
  char c;
  while (bytes.size() < end.size() || bytes.compare(bytes.size() - end.size(), end.size(), end) != 0) {
    if (SSL_read(ssl, &c, 1) != 1) break;
    bytes.push_back(c);
  }
  return bytes;
}

void WriteAll(SSL* ssl, std::string_view bytes) {
  if (!bytes.empty()) SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size()));
}

// Waits until the client has closed its side (or the limit passed), ignoring what arrives.
void AwaitClientClose(int fd) {
  char chunk[4096];
  while (test_support::PollIn(fd, kWaitLimit))
    if (::recv(fd, chunk, sizeof(chunk), 0) <= 0) return;
}

// The header of an application-data record of 100 bytes, of which none will follow.
void SendRecordHeaderOnly(int fd) {
  const char header[] = {0x17, 0x03, 0x03, 0x00, 0x64};
  ::send(fd, header, sizeof(header), MSG_NOSIGNAL);
}

std::unique_ptr<TIdSSLIOHandlerSocketOpenSSL> TlsClient(uint16_t port, std::u16string host = u"localhost",
                                                        int readTimeout = 10000) {
  auto io = std::make_unique<TIdSSLIOHandlerSocketOpenSSL>();
  io->SetPassThrough(false);
  io->SetHost(std::move(host));
  io->SetPort(port);
  io->SetReadTimeout(readTimeout);
  return io;
}

// Runs action and returns the message of the E it raises (a failure when it raises none).
template <typename E, typename Action>
std::u16string MessageOf(Action&& action) {
  try {
    action();
  } catch (const E& e) {
    return e.Message();
  }
  ADD_FAILURE() << "no exception";
  return {};
}

bool StartsWith(std::u16string_view text, std::u16string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}
bool Contains(std::u16string_view text, std::u16string_view part) {
  return text.find(part) != std::u16string_view::npos;
}

TEST(TlsExchange, RequestAndReplyGoThroughTheSession) {
  const std::string body = [] {
    std::string bytes(100000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
    return bytes;
  }();
  TlsServer server({}, [&](SSL* ssl, int fd, ServerRecord& record) {
    record.request = ReadUntil(ssl, "\r\n\r\n");
    WriteAll(ssl, "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + body);
    // Nothing more arrives on the socket: the rest of the body must come from what the session holds.
    AwaitClientClose(fd);
  });
  auto io = TlsClient(server.Port());
  io->SetRecvBufferSize(1000);
  io->Open();
  io->WriteLn(u"GET /translate?q=1 HTTP/1.1");
  io->WriteLn(u"Host: localhost");
  io->WriteLn();
  EXPECT_EQ(io->ReadLn(), u"HTTP/1.1 200 OK");
  EXPECT_EQ(io->ReadLn(), u"Content-Length: 100000");
  EXPECT_EQ(io->ReadLn(), u"");
  TMemoryStream received;
  io->ReadStream(&received, 100000);
  EXPECT_EQ(std::string(received.Bytes().begin(), received.Bytes().end()), body);
  io->Close();
  EXPECT_FALSE(io->Opened());

  const auto& records = server.Join();
  EXPECT_EQ(records[0].request, "GET /translate?q=1 HTTP/1.1\r\nHost: localhost\r\n\r\n");
  EXPECT_EQ(records[0].serverName, "localhost");
}

TEST(TlsExchange, ServerNameIsTheHostAsWritten) {
  struct Case {
    std::u16string host;
    int family;
    std::string expected;
  };
  std::vector<Case> cases = {
      {u"localhost", AF_INET, "localhost"}, {u"LocalHost", AF_INET, "LocalHost"}, {u"127.0.0.1", AF_INET, "127.0.0.1"}};
  if (Ipv6LoopbackAvailable()) cases.push_back({u"::1", AF_INET6, "::1"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    TlsServer server({.family = c.family}, [](SSL*, int fd, ServerRecord&) { AwaitClientClose(fd); });
    auto io = TlsClient(server.Port(), c.host);
    if (c.family == AF_INET6) io->SetIPVersion(net::Id_IPv6);
    // The certificate names localhost, 127.0.0.1 and ::1: each of these hosts passes the check.
    ASSERT_NO_THROW(io->Open());
    io->Close();
    const auto& records = server.Join();
    EXPECT_TRUE(records[0].handshakeDone);
    EXPECT_EQ(records[0].serverName, c.expected);
  }
}

TEST(TlsHandshakeFailure, CertificatesThatDoNotProveTheHost) {
  struct Case {
    std::string certificate;
    std::u16string host;
    std::u16string reason;
  };
  const Case cases[] = {{"untrusted", u"localhost", u"self-signed certificate"},
                        {"other", u"localhost", u"hostname mismatch"},
                        {"other", u"127.0.0.1", u"IP address mismatch"},
                        // x*.example.test would take xyz.example.test if partial wildcards counted.
                        {"partial", u"xyz.example.test", u"hostname mismatch"}};
  const LoopbackNames names;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.certificate);
    TlsServer server({.certificate = c.certificate}, [](SSL*, int, ServerRecord&) {});
    auto io = TlsClient(server.Port(), c.host);
    const std::u16string message = MessageOf<EIdOSSLUnderlyingCryptoError>([&] { io->Open(); });
    EXPECT_TRUE(StartsWith(message, u"Error connecting with SSL.\r\nerror:")) << ToUtf8(message);
    EXPECT_TRUE(Contains(message, u"certificate verify failed")) << ToUtf8(message);
    EXPECT_TRUE(Contains(message, c.reason)) << ToUtf8(message);
    EXPECT_FALSE(io->Opened());
    EXPECT_FALSE(io->Binding()->HandleAllocated());
    EXPECT_FALSE(server.Join()[0].handshakeDone);
  }
}

TEST(TlsHandshakeFailure, NoHandshakeWithoutAHostName) {
  TlsServer server({}, [](SSL*, int, ServerRecord&) {});
  // Connected as plain TCP to the server's address, then switched to TLS with the name gone: the only way to
  // a handshake with an empty name, since a connect needs a host.
  auto io = TlsClient(server.Port(), u"127.0.0.1");
  io->SetPassThrough(true);
  io->Open();
  io->SetHost(u"");
  const std::u16string message = MessageOf<EIdOSSLConnectError>([&] { io->SetPassThrough(false); });
  EXPECT_EQ(message, u"Error connecting with SSL.\r\nno host name to check the certificate for");
  io->Close();
  EXPECT_FALSE(server.Join()[0].handshakeDone);
}

TEST(TlsHandshakeFailure, ServerOfferingOnlyOldVersions) {
  TlsServer server({.legacyOnly = true}, [](SSL*, int, ServerRecord&) {});
  auto io = TlsClient(server.Port());
  const std::u16string message = MessageOf<EIdOpenSSLError>([&] { io->Open(); });
  EXPECT_TRUE(StartsWith(message, u"Error connecting with SSL.\r\n")) << ToUtf8(message);
  EXPECT_GT(message.size(), std::u16string_view(u"Error connecting with SSL.\r\n").size());
  EXPECT_FALSE(server.Join()[0].handshakeDone);
}

TEST(TlsTimeouts, StalledRecordIsAReadTimeout) {
  TlsServer server({}, [](SSL*, int fd, ServerRecord&) {
    SendRecordHeaderOnly(fd);
    AwaitClientClose(fd);
  });
  auto io = TlsClient(server.Port(), u"localhost", 300);
  io->Open();
  std::vector<uint8_t> bytes;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(MessageOf<net::EIdReadTimeout>([&] { io->ReadBytes(bytes, 10); }), u"Read timed out.");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST(TlsTimeouts, ARecordTrickledInEndsAtTheDeadline) {
  TlsServer server({}, [](SSL*, int fd, ServerRecord&) {
    // A record of 100 bytes, a byte every 20 ms: every receive makes progress, so only the deadline ends it.
    SendRecordHeaderOnly(fd);
    for (int i = 0; i < 100 && !test_support::PollIn(fd, 20ms); ++i) ::send(fd, "x", 1, MSG_NOSIGNAL);
    AwaitClientClose(fd);
  });
  auto io = TlsClient(server.Port(), u"localhost", 10000);
  io->Open();
  io->SetDeadline(std::chrono::steady_clock::now() + 300ms);
  std::vector<uint8_t> bytes;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(MessageOf<net::EIdReadTimeout>([&] { io->ReadBytes(bytes, 10); }), u"Read timed out.");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
  io->Close();
}

TEST(TlsTimeouts, StalledHandshakeIsTheSocketTimeout) {
  // Accepts the TCP connection and never answers the client's hello.
  const RawSocket listener = test_support::RawListenOn(AF_INET, 0);
  auto io = TlsClient(test_support::LocalPort(listener), u"localhost", 300);
  try {
    io->Open();
    ADD_FAILURE() << "no exception";
  } catch (const net::EIdSocketError& e) {
    EXPECT_EQ(e.LastError(), 10060);
    EXPECT_EQ(e.Message(), u"Socket Error # 10060\r\nConnection timed out.");
  }
  EXPECT_FALSE(io->Opened());
}

TEST(TlsTimeouts, StalledWriteIsTheSocketTimeout) {
  std::promise<void> done;
  std::shared_future<void> finished = done.get_future().share();
  // A server that never reads: the client's writes fill the socket buffers and stall.
  TlsServer server({}, [finished](SSL*, int, ServerRecord&) { finished.wait_for(kWaitLimit); });
  auto io = TlsClient(server.Port(), u"localhost", 300);
  io->Open();
  const int small = 4096;
  ::setsockopt(io->Binding()->Handle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
  const std::vector<uint8_t> chunk(1 << 20, 'x');
  try {
    for (int i = 0; i < 64; ++i) io->Write(chunk);
    ADD_FAILURE() << "no exception";
  } catch (const net::EIdSocketError& e) {
    EXPECT_EQ(e.LastError(), 10060);
  }
  done.set_value();
}

TEST(TlsEndOfStream, CloseNotifyEndsTheStream) {
  TlsServer server({}, [](SSL* ssl, int fd, ServerRecord&) {
    WriteAll(ssl, "first\nrest without end");
    SSL_shutdown(ssl);
    AwaitClientClose(fd);
  });
  auto io = TlsClient(server.Port());
  io->Open();
  EXPECT_EQ(io->ReadLn(), u"first");
  TMemoryStream rest;
  io->ReadStream(&rest, -1, true);
  EXPECT_EQ(std::string(rest.Bytes().begin(), rest.Bytes().end()), "rest without end");
  EXPECT_TRUE(io->ClosedGracefully());
  EXPECT_THROW(io->ReadLn(), net::EIdConnClosedGracefully);
}

TEST(TlsEndOfStream, TruncationWithoutCloseNotifyIsAnError) {
  TlsServer server({}, [](SSL* ssl, int, ServerRecord&) { WriteAll(ssl, "first\n"); });
  auto io = TlsClient(server.Port());
  io->Open();
  EXPECT_EQ(io->ReadLn(), u"first");
  EXPECT_EQ(MessageOf<EIdOpenSSLAPISSLError>([&] { io->ReadLn(); }), u"EOF was observed that violates the protocol");
}

TEST(TlsEndOfStream, ResetIsTheSocketError) {
  TlsServer server({}, [](SSL* ssl, int fd, ServerRecord&) {
    WriteAll(ssl, "first\n");
    linger option{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &option, sizeof(option));
  });
  auto io = TlsClient(server.Port());
  io->Open();
  EXPECT_EQ(io->ReadLn(), u"first");
  server.Join();
  EXPECT_EQ(MessageOf<net::EIdSocketError>([&] { io->ReadLn(); }),
            u"Socket Error # 10054\r\nConnection reset by peer.");
}

TEST(TlsConnections, PassThroughIsPlainTcp) {
  const RawSocket listener = test_support::RawListenOn(AF_INET, 0);
  TIdSSLIOHandlerSocketOpenSSL io;
  EXPECT_TRUE(io.PassThrough());
  io.SetHost(u"127.0.0.1");
  io.SetPort(test_support::LocalPort(listener));
  io.Open();
  ASSERT_TRUE(test_support::PollIn(listener.Fd(), kWaitLimit));
  const RawSocket peer(::accept4(listener.Fd(), nullptr, nullptr, SOCK_CLOEXEC));
  io.WriteLn(u"hello");
  EXPECT_EQ(peer.Receive(7), "hello\r\n");
  peer.Send("world\n");
  EXPECT_EQ(io.ReadLn(), u"world");
}

TEST(TlsConnections, EveryConnectionStartsAfresh) {
  TlsServer server({.connections = 2}, [](SSL* ssl, int fd, ServerRecord& record) {
    record.request = ReadUntil(ssl, "\n");
    WriteAll(ssl, "reply " + record.request);
    record.serverName += SSL_session_reused(ssl) ? " resumed" : "";
    AwaitClientClose(fd);
  });
  auto io = TlsClient(server.Port());
  for (const std::u16string line : {u"one", u"two"}) {
    io->Open();
    io->WriteLn(line);
    EXPECT_EQ(io->ReadLn(), u"reply " + line);
    io->Close();
  }
  const auto& records = server.Join();
  EXPECT_EQ(records[0].serverName, "localhost");
  EXPECT_EQ(records[1].serverName, "localhost");
  EXPECT_EQ(records[1].request, "two\r\n");

  // After the TLS connections, a plain one on the same object.
  const RawSocket listener = test_support::RawListenOn(AF_INET, 0);
  io->SetPassThrough(true);
  io->SetPort(test_support::LocalPort(listener));
  io->Open();
  ASSERT_TRUE(test_support::PollIn(listener.Fd(), kWaitLimit));
  const RawSocket peer(::accept4(listener.Fd(), nullptr, nullptr, SOCK_CLOEXEC));
  io->WriteLn(u"plain");
  EXPECT_EQ(peer.Receive(7), "plain\r\n");
}

// Close from another thread while the owner is blocked: in a handshake, waiting for a record, or
// inside a record. The owner's call must end at once, without touching a freed session.
TEST(TlsCloseFromAnotherThread, EndsTheBlockedCall) {
  enum Where { inHandshake, beforeRecord, insideRecord };
  for (Where where : {inHandshake, beforeRecord, insideRecord}) {
    for (int round = 0; round < 3; ++round) {
      SCOPED_TRACE(::testing::Message() << "case " << where << " round " << round);
      std::promise<void> ready;
      std::unique_ptr<TlsServer> server;
      RawSocket silentListener;
      uint16_t port;
      if (where == inHandshake) {
        silentListener = test_support::RawListenOn(AF_INET, 0);
        port = test_support::LocalPort(silentListener);
      } else {
        server = std::make_unique<TlsServer>(ServerOptions{}, [&, where](SSL*, int fd, ServerRecord&) {
          if (where == insideRecord) SendRecordHeaderOnly(fd);
          ready.set_value();
          AwaitClientClose(fd);
        });
        port = server->Port();
      }
      // No read limit: only the close can end the call.
      auto io = TlsClient(port, u"localhost", -1);
      std::future<void> call;
      if (where == inHandshake) {
        call = std::async(std::launch::async, [&] { io->Open(); });
        // A close before the connect has begun has nothing to end; wait until the handshake is under way.
        ASSERT_TRUE(test_support::PollIn(silentListener.Fd(), kWaitLimit));
      } else {
        io->Open();
        ASSERT_EQ(ready.get_future().wait_for(kWaitLimit), std::future_status::ready);
        call = std::async(std::launch::async, [&] {
          std::vector<uint8_t> bytes;
          io->ReadBytes(bytes, 10);
        });
      }
      EXPECT_EQ(call.wait_for(30ms), std::future_status::timeout);
      io->Close();
      ASSERT_EQ(call.wait_for(kWaitLimit), std::future_status::ready);
      EXPECT_THROW(call.get(), EIdException);
      EXPECT_FALSE(io->Opened());
    }
  }
}

}  // namespace
}  // namespace tessarine::client
