#pragma once

// The fake engine server of tools/ as a test fixture: started on loopback for the test's lifetime, with a
// throw-away certificate authority for its https side, and spoken to over its control paths.

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/text.h"
#include "support/child_process.h"
#include "support/mini_json.h"
#include "support/raw_socket.h"
#include "support/test_certificates.h"

namespace tessarine::test_support {

inline std::string Base64Decode(std::string_view text) {
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    const int value = Base64DigitValue(static_cast<char16_t>(static_cast<unsigned char>(c)));
    if (value < 0) continue;  // padding
    bits = (bits << 6) | static_cast<uint32_t>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

// An HTTP exchange over a fresh loopback connection; returns the reply body.
inline std::string LoopbackExchange(uint16_t port, std::string_view method, std::string_view target,
                                    std::string_view body = "") {
  RawSocket socket = RawConnectTo(AF_INET, port);
  std::string request = std::string(method) + " " + std::string(target) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                        "Connection: close\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
                        std::string(body);
  socket.Send(request);
  const std::string reply = socket.Receive(SIZE_MAX);
  const size_t headEnd = reply.find("\r\n\r\n");
  if (reply.compare(0, 12, "HTTP/1.1 200") != 0 || headEnd == std::string::npos)
    throw std::runtime_error("control request failed: " + reply.substr(0, 80));
  return reply.substr(headEnd + 4);
}

class FakeEngine {
 public:
  // With certificates the https side is started too.
  explicit FakeEngine(const TestCertificates* certificates = nullptr) {
    const std::string portFile = (m_dir.Path() / "ports.json").string();
    const std::string script = (SourceDir() / "tools" / "fake_engine.py").string();
    std::vector<std::string> args = {"python3", script, "--port-file", portFile, "--bind", "127.0.0.1"};
    if (certificates != nullptr) {
      args.insert(args.end(), {"--cert", certificates->File("server.pem").string(), "--key",
                               certificates->File("server.key").string()});
    }
    m_process = std::make_unique<ChildProcess>(std::move(args));
    if (!WaitFor([&] { return std::filesystem::exists(portFile); })) {
      throw std::runtime_error("the fake engine did not start");
    }
    const Json ports = Json::Parse(FileText(portFile));
    m_httpPort = static_cast<uint16_t>(ports["http"].number);
    if (!ports["https"].IsNull()) m_httpsPort = static_cast<uint16_t>(ports["https"].number);
  }
  ~FakeEngine() = default;
  FakeEngine(const FakeEngine&) = delete;
  FakeEngine& operator=(const FakeEngine&) = delete;

  uint16_t HttpPort() const { return m_httpPort; }
  uint16_t HttpsPort() const { return m_httpsPort; }
  std::string HttpHost() const { return "127.0.0.1:" + std::to_string(m_httpPort); }
  std::string HttpsHost() const { return "127.0.0.1:" + std::to_string(m_httpsPort); }

  void SetMode(std::string_view json) { LoopbackExchange(m_httpPort, "POST", "/_fake/mode", json); }
  void Reset() { LoopbackExchange(m_httpPort, "POST", "/_fake/reset"); }
  Json Requests() const { return Json::Parse(LoopbackExchange(m_httpPort, "GET", "/_fake/requests")); }

 private:
  TempDir m_dir;
  std::unique_ptr<ChildProcess> m_process;
  uint16_t m_httpPort = 0;
  uint16_t m_httpsPort = 0;
};

}  // namespace tessarine::test_support
