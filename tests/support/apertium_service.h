#pragma once

// The real Apertium service (Debian's apertium-apy with apertium-eng-spa) on loopback for the test's lifetime,
// started by tools/apertium_loopback.py. The install script installs both, so a missing service fails the test
// instead of skipping it.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/fake_engine.h"
#include "support/mini_json.h"
#include "support/raw_socket.h"
#include "support/test_certificates.h"

namespace tessarine::test_support {

class ApertiumService {
 public:
  // Generous for sanitizer builds; the service is ready in under a second on an idle machine.
  static constexpr auto kStartLimit = std::chrono::seconds(30);

  ApertiumService() {
    const std::string portFile = (m_dir.Path() / "port.json").string();
    std::vector<std::string> args = {"python3", (SourceDir() / "tools" / "apertium_loopback.py").string(),
                                     "--port-file", portFile};
    const std::string log = LogPath();
    m_pid = ::fork();
    if (m_pid == 0) {
      // Its request log goes to a file, not into the test's output.
      if (FILE* out = std::freopen(log.c_str(), "w", stderr)) (void)out;
      std::vector<char*> argv;
      for (std::string& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      ::execvp("python3", argv.data());
      ::_exit(127);
    }
    if (m_pid < 0) throw std::runtime_error("fork failed");
    if (!WaitFor([&] { return std::filesystem::exists(portFile) || exited(); }, kStartLimit) || exited()) {
      stop();
      throw std::runtime_error("the Apertium service did not start (apertium-apy and apertium-eng-spa installed?): " +
                               Tail(log));
    }
    std::ifstream in(portFile);
    std::stringstream text;
    text << in.rdbuf();
    m_port = static_cast<uint16_t>(Json::Parse(text.str())["port"].number);
    const bool answers = WaitFor(
        [&] {
          try {
            return LoopbackExchange(m_port, "GET", "/listPairs").find("eng") != std::string::npos;
          } catch (const std::exception&) {
            return false;
          }
        },
        kStartLimit);
    if (!answers) {
      stop();
      throw std::runtime_error("the Apertium service does not answer /listPairs: " + Tail(log));
    }
  }
  ~ApertiumService() { stop(); }
  ApertiumService(const ApertiumService&) = delete;
  ApertiumService& operator=(const ApertiumService&) = delete;

  uint16_t Port() const { return m_port; }
  std::string Host() const { return "127.0.0.1:" + std::to_string(m_port); }

  // What the service logged so far: one line per request, "200 GET /translate?..." for instance.
  std::string Log() const { return Tail(LogPath(), std::string::npos); }

  // A request straight to the service: the body of its 200 answer.
  std::string Get(const std::string& target) const { return LoopbackExchange(m_port, "GET", target); }

 private:
  std::string LogPath() const { return (m_dir.Path() / "service.log").string(); }

  static std::string Tail(const std::string& path, size_t size = 600) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    const std::string all = text.str();
    return all.size() > size ? all.substr(all.size() - size) : all;
  }

  bool exited() {
    if (m_pid <= 0) return true;
    int status = 0;
    if (::waitpid(m_pid, &status, WNOHANG) != m_pid) return false;
    m_pid = -1;
    return true;
  }

  void stop() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGTERM);
    // It ends its pipelines first; a service that hangs is killed.
    if (!WaitFor([&] { return exited(); }, std::chrono::seconds(10))) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, nullptr, 0);
      m_pid = -1;
    }
  }

  TempDir m_dir;
  pid_t m_pid = -1;
  uint16_t m_port = 0;
};

}  // namespace tessarine::test_support
