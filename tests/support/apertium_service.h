#pragma once

// The real Apertium service (Debian's apertium-apy with apertium-eng-spa) on loopback for the test's lifetime,
// started by tools/apertium_loopback.py. The install script installs both, so a missing service fails the test
// instead of skipping it.

#include <chrono>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/child_process.h"
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
    const std::string log = LogPath();
    // Its request log goes to a file, not into the test's output.
    m_process = std::make_unique<ChildProcess>(
        std::vector<std::string>{"python3", (SourceDir() / "tools" / "apertium_loopback.py").string(), "--port-file",
                                 portFile},
        log);
    if (!WaitFor([&] { return std::filesystem::exists(portFile) || m_process->Exited(); }, kStartLimit) ||
        m_process->Exited())
      throw std::runtime_error("the Apertium service did not start (apertium-apy and apertium-eng-spa installed?): " +
                               FileText(log, 600));
    m_port = static_cast<uint16_t>(Json::Parse(FileText(portFile))["port"].number);
    const bool answers = WaitFor(
        [&] {
          try {
            return LoopbackExchange(m_port, "GET", "/listPairs").find("eng") != std::string::npos;
          } catch (const std::exception&) {
            return false;
          }
        },
        kStartLimit);
    if (!answers) throw std::runtime_error("the Apertium service does not answer /listPairs: " + FileText(log, 600));
  }
  ~ApertiumService() = default;
  ApertiumService(const ApertiumService&) = delete;
  ApertiumService& operator=(const ApertiumService&) = delete;

  uint16_t Port() const { return m_port; }
  std::string Host() const { return "127.0.0.1:" + std::to_string(m_port); }

  // What the service logged so far: one line per request, "200 GET /translate?..." for instance.
  std::string Log() const { return FileText(LogPath()); }

  // A request straight to the service: the body of its 200 answer.
  std::string Get(const std::string& target) const { return LoopbackExchange(m_port, "GET", target); }

 private:
  std::string LogPath() const { return (m_dir.Path() / "service.log").string(); }

  TempDir m_dir;
  // Stopped before the folder goes; it ends its pipelines first (SIGKILL for one that hangs).
  std::unique_ptr<ChildProcess> m_process;
  uint16_t m_port = 0;
};

}  // namespace tessarine::test_support
