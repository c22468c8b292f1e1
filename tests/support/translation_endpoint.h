#pragma once

// The local translation endpoint on loopback for whole-road tests: the server set up as the program sets it
// up, the reply wrapper, and a raw client that asks it.

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "net/server/http_server.h"
#include "support/raw_socket.h"
#include "translate/service_interfaces.h"

namespace tessarine::test_support {

inline constexpr char kWrapperHead[] = "<div><div><div><span id=result_box class=short_text><span class=hps>";
inline constexpr char kWrapperTail[] = "</span></span></div></div><div>";

class NullLog : public translate::ILogSink {
 public:
  void AddLogLine(const std::u16string&) override {}
};

// Keeps every line; any thread.
class RecordingLog : public translate::ILogSink {
 public:
  void AddLogLine(const std::u16string& line) override {
    std::lock_guard lock(m_mutex);
    m_lines.push_back(line);
  }
  std::vector<std::u16string> Lines() const {
    std::lock_guard lock(m_mutex);
    return m_lines;
  }
  std::u16string Last() const {
    std::lock_guard lock(m_mutex);
    return m_lines.empty() ? std::u16string() : m_lines.back();
  }

 private:
  mutable std::mutex m_mutex;
  std::vector<std::u16string> m_lines;
};

// Switches server on at an ephemeral loopback port, every request going to handler; returns the port.
inline uint16_t ServeOnLoopback(
    server::TIdHTTPServer& server,
    std::function<void(server::TIdHTTPRequestInfo&, server::TIdHTTPResponseInfo&)> handler) {
  server::ConfigureIdHTTPServer1(server);
  server.Bindings().Add().SetIP(u"127.0.0.1");
  server.Bindings()[0].SetPort(0);
  server.OnCommandGet = [handler = std::move(handler)](server::TIdContext&, server::TIdHTTPRequestInfo& request,
                                                       server::TIdHTTPResponseInfo& response) {
    handler(request, response);
  };
  server.SetActive(true);
  return server.Bindings()[0].Port();
}

// The endpoint's answer to a translation request: "status line|body", or the raw bytes without a header.
inline std::string AskEndpoint(uint16_t port, std::string_view query) {
  RawSocket socket = RawConnectTo(AF_INET, port);
  socket.Send("GET /linxp_translate_t?" + std::string(query) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  const std::string answer = socket.Receive(SIZE_MAX);
  const size_t end = answer.find("\r\n\r\n");
  return end == std::string::npos ? answer : answer.substr(0, answer.find("\r\n")) + "|" + answer.substr(end + 4);
}

// The answer that carries translation.
inline std::string Wrapped(std::string_view translation) {
  return "HTTP/1.1 200 OK|" + std::string(kWrapperHead) + std::string(translation) + kWrapperTail;
}

}  // namespace tessarine::test_support
