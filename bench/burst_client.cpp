// Load shapes wrk cannot make, for server_load.sh. Times are printed in milliseconds as one line of
// "key=value" pairs.
//
//   burst_client burst PORT N PATH   N clients connect at the same moment (non-blocking connects issued back
//                                    to back), each sends one GET and reads the answer to the server's close.
//                                    Reports the connect-to-answer times and the slowest handshake.
//   burst_client idle PORT N PATH    N connections opened one after another (each connect timed) and left idle;
//                                    while they are open, five requests on fresh connections are timed. Then it
//                                    waits for a line on stdin (the script looks at the server meanwhile) and
//                                    closes them all.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

double percentile(std::vector<double> values, double share) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t at = std::min(values.size() - 1, static_cast<size_t>(share * static_cast<double>(values.size())));
  return values[at];
}

double mean(const std::vector<double>& values) {
  double sum = 0;
  for (double v : values) sum += v;
  return values.empty() ? 0 : sum / static_cast<double>(values.size());
}

std::string request(const std::string& path) { return "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"; }

struct Client {
  int fd = -1;
  Clock::time_point start, connected, answered;
  size_t sent = 0;
  size_t received = 0;
  bool done = false;
  bool failed = false;
};

int burst(int port, int n, const std::string& path) {
  const std::string text = request(path);
  const sockaddr_in address = loopback(port);
  const int epoll = epoll_create1(EPOLL_CLOEXEC);
  std::vector<Client> clients(static_cast<size_t>(n));
  // Sockets first, so the connects themselves follow each other as closely as the system allows.
  for (Client& c : clients) c.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  for (size_t i = 0; i < clients.size(); ++i) {
    Client& c = clients[i];
    c.start = Clock::now();
    const int rc = connect(c.fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    if (rc != 0 && errno != EINPROGRESS) {
      c.failed = c.done = true;
      continue;
    }
    epoll_event event{};
    event.events = EPOLLOUT | EPOLLIN;
    event.data.u64 = i;
    epoll_ctl(epoll, EPOLL_CTL_ADD, c.fd, &event);
  }
  int open = static_cast<int>(std::count_if(clients.begin(), clients.end(), [](const Client& c) { return !c.done; }));
  const Clock::time_point limit = Clock::now() + std::chrono::seconds(30);
  std::vector<epoll_event> events(256);
  char buffer[4096];
  while (open > 0 && Clock::now() < limit) {
    const int ready = epoll_wait(epoll, events.data(), static_cast<int>(events.size()), 100);
    for (int e = 0; e < ready; ++e) {
      Client& c = clients[events[static_cast<size_t>(e)].data.u64];
      if (c.done) continue;
      const auto finish = [&](bool failed) {
        c.answered = Clock::now();
        c.failed = failed;
        c.done = true;
        epoll_ctl(epoll, EPOLL_CTL_DEL, c.fd, nullptr);
        --open;
      };
      if (c.sent < text.size()) {
        int error = 0;
        socklen_t length = sizeof(error);
        getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0) {
          finish(true);
          continue;
        }
        if (c.sent == 0) c.connected = Clock::now();
        const ssize_t sent = send(c.fd, text.data() + c.sent, text.size() - c.sent, MSG_NOSIGNAL);
        if (sent < 0 && errno != EAGAIN) {
          finish(true);
          continue;
        }
        if (sent > 0) c.sent += static_cast<size_t>(sent);
        if (c.sent == text.size()) {
          epoll_event event{};
          event.events = EPOLLIN;
          event.data.u64 = events[static_cast<size_t>(e)].data.u64;
          epoll_ctl(epoll, EPOLL_CTL_MOD, c.fd, &event);
        }
        continue;
      }
      while (true) {
        const ssize_t got = recv(c.fd, buffer, sizeof(buffer), 0);
        if (got > 0) {
          c.received += static_cast<size_t>(got);
          continue;
        }
        if (got == 0)
          finish(c.received == 0);
        else if (errno != EAGAIN)
          finish(true);
        break;
      }
    }
  }
  std::vector<double> total, handshake;
  int failed = 0;
  for (Client& c : clients) {
    if (!c.done || c.failed) {
      ++failed;
    } else {
      total.push_back(msSince(c.start, c.answered));
      handshake.push_back(msSince(c.start, c.connected));
    }
    close(c.fd);
  }
  close(epoll);
  std::printf("answered=%zu failed=%d p50=%.2f p90=%.2f worst=%.2f worst_connect=%.2f\n", total.size(), failed,
              percentile(total, 0.5), percentile(total, 0.9),
              total.empty() ? 0 : *std::max_element(total.begin(), total.end()),
              handshake.empty() ? 0 : *std::max_element(handshake.begin(), handshake.end()));
  return 0;
}

// One request on a fresh blocking connection: milliseconds until the server closed, -1 on failure.
double timedRequest(const sockaddr_in& address, const std::string& text) {
  const Clock::time_point start = Clock::now();
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      send(fd, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size())) {
    close(fd);
    return -1;
  }
  char buffer[4096];
  size_t received = 0;
  ssize_t got;
  while ((got = recv(fd, buffer, sizeof(buffer), 0)) > 0) received += static_cast<size_t>(got);
  close(fd);
  return received > 0 ? msSince(start, Clock::now()) : -1;
}

int idle(int port, int n, const std::string& path) {
  const sockaddr_in address = loopback(port);
  std::vector<int> fds;
  std::vector<double> connects;
  int failed = 0;
  for (int i = 0; i < n; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const Clock::time_point start = Clock::now();
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
      ++failed;
      close(fd);
      continue;
    }
    connects.push_back(msSince(start, Clock::now()));
    fds.push_back(fd);
  }
  const std::string text = request(path);
  std::vector<double> requests;
  for (int i = 0; i < 5; ++i) requests.push_back(timedRequest(address, text));
  const auto over = std::count_if(connects.begin(), connects.end(), [](double ms) { return ms > 50; });
  std::printf("connected=%zu failed=%d mean=%.3f p99=%.2f worst=%.2f over50=%ld request_p50=%.2f request_worst=%.2f\n",
              connects.size(), failed, mean(connects), percentile(connects, 0.99),
              connects.empty() ? 0 : *std::max_element(connects.begin(), connects.end()), static_cast<long>(over),
              percentile(requests, 0.5), *std::max_element(requests.begin(), requests.end()));
  std::fflush(stdout);
  std::string line;
  std::getline(std::cin, line);
  for (int fd : fds) close(fd);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s burst|idle PORT N PATH\n", argv[0]);
    return 2;
  }
  const std::string mode = argv[1];
  const int port = std::atoi(argv[2]);
  const int n = std::atoi(argv[3]);
  if (mode == "burst") return burst(port, n, argv[4]);
  if (mode == "idle") return idle(port, n, argv[4]);
  std::fprintf(stderr, "unknown mode %s\n", argv[1]);
  return 2;
}
