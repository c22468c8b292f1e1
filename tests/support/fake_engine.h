#pragma once

// The fake engine server of tools/ as a test fixture: started on loopback for the test's lifetime, with a
// throw-away certificate authority for its https side, and spoken to over its control paths.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "common/text.h"
#include "support/mini_json.h"
#include "support/raw_socket.h"

namespace tessarine::test_support {

inline std::filesystem::path SourceDir() { return TESSARINE_SOURCE_DIR; }

// A temporary folder removed with the object.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tessarine-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& Path() const { return m_path; }

 private:
  std::filesystem::path m_path;
};

// ca.pem, server.pem/key (localhost, 127.0.0.1, ::1), other.pem/key, untrusted.pem/key.
class TestCertificates {
 public:
  TestCertificates() {
    const std::string command =
        "bash '" + (SourceDir() / "tools" / "make_test_certs.sh").string() + "' '" + m_dir.Path().string() + "'";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("make_test_certs.sh failed");
  }
  std::filesystem::path File(const std::string& name) const { return m_dir.Path() / name; }

 private:
  TempDir m_dir;
};

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
    m_pid = ::fork();
    if (m_pid == 0) {
      std::vector<char*> argv;
      for (std::string& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      ::execvp("python3", argv.data());
      ::_exit(127);
    }
    if (m_pid < 0) throw std::runtime_error("fork failed");
    if (!WaitFor([&] { return std::filesystem::exists(portFile); })) {
      stop();
      throw std::runtime_error("the fake engine did not start");
    }
    std::ifstream in(portFile);
    std::stringstream text;
    text << in.rdbuf();
    const Json ports = Json::Parse(text.str());
    m_httpPort = static_cast<uint16_t>(ports["http"].number);
    if (!ports["https"].IsNull()) m_httpsPort = static_cast<uint16_t>(ports["https"].number);
  }
  ~FakeEngine() { stop(); }
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
  void stop() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGTERM);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
    m_pid = -1;
  }

  TempDir m_dir;
  pid_t m_pid = -1;
  uint16_t m_httpPort = 0;
  uint16_t m_httpsPort = 0;
};

}  // namespace tessarine::test_support
