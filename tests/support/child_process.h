#pragma once

// A helper program the tests start and always stop: the fake engine, the Apertium service.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/raw_socket.h"

namespace tessarine::test_support {

// The whole file, or its last `size` bytes; empty when it cannot be read.
inline std::string FileText(const std::string& path, size_t size = std::string::npos) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  const std::string all = text.str();
  return all.size() > size ? all.substr(all.size() - size) : all;
}

class ChildProcess {
 public:
  // Starts args[0] (looked up on the PATH) with args; its standard error goes to stderrPath when one is given.
  explicit ChildProcess(std::vector<std::string> args, const std::string& stderrPath = {}) {
    m_pid = ::fork();
    if (m_pid == 0) {
      if (!stderrPath.empty()) {
        if (FILE* out = std::freopen(stderrPath.c_str(), "w", stderr)) (void)out;
      }
      std::vector<char*> argv;
      for (std::string& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      ::execvp(argv[0], argv.data());
      ::_exit(127);
    }
    if (m_pid < 0) throw std::runtime_error("fork failed");
  }
  ~ChildProcess() { Stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Exited() {
    if (m_pid <= 0) return true;
    if (::waitpid(m_pid, nullptr, WNOHANG) != m_pid) return false;
    m_pid = -1;
    return true;
  }

  // SIGTERM, and SIGKILL for one that has not ended within the grace time.
  void Stop(std::chrono::milliseconds grace = std::chrono::seconds(10)) {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGTERM);
    if (!WaitFor([&] { return Exited(); }, grace)) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, nullptr, 0);
      m_pid = -1;
    }
  }

 private:
  pid_t m_pid = -1;
};

}  // namespace tessarine::test_support
