#pragma once

// A loopback HTTP peer for client tests: it records every request exactly as received and answers each with
// the next scripted reply, byte for byte. One thread per connection; replies are taken in arrival order.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/raw_socket.h"

namespace tessarine::test_support {

class ScriptedServer {
 public:
  struct Reply {
    std::string Bytes;
    // Close the connection after sending (a half-sent body ends there too).
    bool Close = false;
    // Send nothing and hold the connection until the client closes it or the server stops.
    bool Stall = false;
    // Send Bytes, then hold the connection like Stall.
    bool StallAfter = false;
    // Wait this long before sending Bytes.
    std::chrono::milliseconds Delay{0};
    // After Bytes, send RepeatBytes every RepeatEvery for as long as the client reads and the server runs.
    std::string RepeatBytes{};
    std::chrono::milliseconds RepeatEvery{0};
  };

  struct Request {
    int Connection;    // 1 for the first accepted connection
    std::string Head;  // request line and header lines, CR LF included, up to the empty line
    std::string Body;
  };

  explicit ScriptedServer(int family = AF_INET) : m_listener(RawListenOn(family, 0)) {
    if (!m_listener.Valid()) throw std::runtime_error("scripted server cannot listen");
    m_port = LocalPort(m_listener);
    m_acceptor = std::thread([this] { acceptLoop(); });
  }

  ~ScriptedServer() {
    {
      std::lock_guard lock(m_mutex);
      m_stop = true;
    }
    m_stopped.notify_all();
    m_acceptor.join();
    std::vector<std::thread> workers;
    {
      std::lock_guard lock(m_mutex);
      workers.swap(m_workers);
    }
    for (std::thread& worker : workers) worker.join();
  }

  uint16_t Port() const { return m_port; }

  void Push(Reply reply) {
    std::lock_guard lock(m_mutex);
    m_replies.push_back(std::move(reply));
  }
  void Push(std::string bytes, bool close = false) { Push(Reply{std::move(bytes), close}); }

  std::vector<Request> Requests() const {
    std::lock_guard lock(m_mutex);
    return m_requests;
  }
  int Connections() const { return m_connections.load(); }
  // Replies sent whole (a repeating one counts once its first Bytes are out).
  int Sent() const { return m_sent.load(); }
  // Connections the server has closed or seen closed.
  int ClosedConnections() const { return m_closed.load(); }

  // Waits until count requests have arrived.
  bool WaitForRequests(size_t count) const {
    return WaitFor([&] {
      std::lock_guard lock(m_mutex);
      return m_requests.size() >= count;
    });
  }

 private:
  void acceptLoop() {
    while (!m_stop) {
      // Polled, not blocked in accept: shutting a listener down does not wake an accept on Windows.
      if (!m_listener.HasInput(std::chrono::milliseconds(20))) continue;
      const int fd = AcceptSocket(m_listener.Fd());
      if (fd < 0) {
        if (m_stop) return;
        continue;
      }
      const int id = ++m_connections;
      std::lock_guard lock(m_mutex);
      m_workers.emplace_back([this, fd, id] {
        serve(RawSocket(fd), id);
        ++m_closed;
      });
    }
  }

  // Waits for input without missing a stop; false when the server stops.
  bool waitInput(const RawSocket& socket) const {
    while (!m_stop) {
      if (socket.HasInput(std::chrono::milliseconds(20))) return true;
    }
    return false;
  }

  // Waits for the time given, or less when the server stops; true when it stops.
  bool pause(std::chrono::milliseconds time) const {
    std::unique_lock lock(m_mutex);
    return m_stopped.wait_for(lock, time, [&] { return m_stop.load(); });
  }

  void hold(const RawSocket& socket) const {
    char sink[4096];
    while (waitInput(socket)) {
      if (::recv(socket.Fd(), sink, sizeof(sink), 0) <= 0) return;
    }
  }

  void serve(RawSocket socket, int id) {
    std::string pending;
    while (true) {
      size_t headEnd;
      while ((headEnd = pending.find("\r\n\r\n")) == std::string::npos) {
        if (!waitInput(socket)) return;
        char chunk[8192];
        const ssize_t n = ::recv(socket.Fd(), chunk, sizeof(chunk), 0);
        if (n <= 0) return;
        pending.append(chunk, static_cast<size_t>(n));
      }
      Request request{id, pending.substr(0, headEnd + 4), {}};
      pending.erase(0, headEnd + 4);
      const size_t bodyLength = contentLength(request.Head);
      while (pending.size() < bodyLength) {
        if (!waitInput(socket)) return;
        char chunk[8192];
        const ssize_t n = ::recv(socket.Fd(), chunk, sizeof(chunk), 0);
        if (n <= 0) return;
        pending.append(chunk, static_cast<size_t>(n));
      }
      request.Body = pending.substr(0, bodyLength);
      pending.erase(0, bodyLength);

      Reply reply{"HTTP/1.1 500 No scripted reply\r\nContent-Length: 0\r\n\r\n", true};
      {
        std::lock_guard lock(m_mutex);
        m_requests.push_back(std::move(request));
        if (!m_replies.empty()) {
          reply = std::move(m_replies.front());
          m_replies.pop_front();
        }
      }
      if (reply.Stall) return hold(socket);
      if (reply.Delay.count() > 0 && pause(reply.Delay)) return;
      try {
        socket.Send(reply.Bytes);
        ++m_sent;
        while (!reply.RepeatBytes.empty()) {
          if (pause(reply.RepeatEvery)) return;
          socket.Send(reply.RepeatBytes);
        }
      } catch (const std::exception&) {
        return;
      }
      if (reply.StallAfter) return hold(socket);
      if (reply.Close) return;
    }
  }

  static size_t contentLength(const std::string& head) {
    std::string lower = head;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const size_t at = lower.find("\r\ncontent-length:");
    return at == std::string::npos ? 0 : std::stoul(lower.substr(at + 17));
  }

  RawSocket m_listener;
  uint16_t m_port = 0;
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_connections{0};
  std::atomic<int> m_closed{0};
  std::atomic<int> m_sent{0};
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_stopped;
  std::deque<Reply> m_replies;
  std::vector<Request> m_requests;
  std::vector<std::thread> m_workers;
  std::thread m_acceptor;
};

// "HTTP/1.1 200 OK" with the headers given and a Content-Length for the body.
inline std::string HttpReply(std::string_view body, std::string_view headers = "", std::string_view status = "200 OK") {
  std::string out = "HTTP/1.1 ";
  out += status;
  out += "\r\n";
  out += headers;
  out += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  out += body;
  return out;
}

}  // namespace tessarine::test_support
