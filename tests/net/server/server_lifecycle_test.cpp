// Switching the server on and off: bindings, the port-in-use failure, deactivation with open connections,
// sessions switched off at start-up, the worker pool, a listener that survives failing connections, and
// connections that never send their request.

#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
// After windows.h.
#include <tlhelp32.h>
#endif
#ifndef _WIN32
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#endif

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <thread>

#include "common/text.h"
#include "net/server/server_exceptions.h"
#include "server_fixture.h"

namespace tessarine::server::testing {
namespace {

using Clock = std::chrono::steady_clock;

uint16_t FreePort() { return LocalPort(RawListen(AF_INET, 0, false)); }

std::string Get(net::TIdIPVersion ipVersion, uint16_t port) {
  RawSocket socket = RawConnect(ipVersion, port);
  socket.Send("GET / HTTP/1.0\r\n\r\n");
  return ReadToClose(socket);
}

class ServerLifecycle : public HttpServerTest {};

TEST_F(ServerLifecycle, PortInUseLeavesTheServerOffAndALaterActivationWorks) {
  RawSocket other = RawListen(AF_INET, 0, true);
  const uint16_t taken = LocalPort(other);
  server.Bindings()[0].SetPort(taken);
  server.SetSessionState(true);
  try {
    server.SetActive(true);
    FAIL() << "activation succeeded on a taken port";
  } catch (const net::EIdCouldNotBindSocket& e) {
    EXPECT_EQ(ToUtf8(e.Message()), "Could not bind socket. Address and port are already in use.");
  }
  EXPECT_FALSE(server.Active());
  EXPECT_EQ(server.Scheduler(), nullptr);
  // Start-up failed before its session part, which is what switches sessions off.
  EXPECT_TRUE(server.SessionState());
  other.Close();
  server.SetActive(true);
  EXPECT_TRUE(server.Active());
  EXPECT_FALSE(server.SessionState());
  EXPECT_EQ(server.Bindings().Count(), 1);
  EXPECT_EQ(server.Bindings()[0].Port(), taken);
}

TEST(ServerBindings, ChosenAtActivationAndKeptForTheNext) {
  TIdHTTPServer server;
  const uint16_t port = FreePort();
  server.SetDefaultPort(port);
  server.SetActive(true);
  const bool ipv6 = net::GStack()->SupportsIPv6();
  ASSERT_EQ(server.Bindings().Count(), ipv6 ? 2 : 1);
  EXPECT_EQ(server.Bindings()[0].IPVersion(), net::Id_IPv4);
  EXPECT_EQ(server.Bindings()[0].Port(), port);
  EXPECT_EQ(Get(net::Id_IPv4, port).substr(0, 15), "HTTP/1.1 200 OK");
  if (ipv6) {
    EXPECT_EQ(server.Bindings()[1].IPVersion(), net::Id_IPv6);
    EXPECT_EQ(server.Bindings()[1].Port(), port);
    if (RawListen(AF_INET6, 0, true).Valid()) {
      EXPECT_EQ(Get(net::Id_IPv6, port).substr(0, 15), "HTTP/1.1 200 OK");
    }
  }
  // The server closed the connection first, so its side sits in TIME_WAIT: binding again must still work.
  server.SetActive(false);
  EXPECT_EQ(server.Scheduler(), nullptr);
  server.SetActive(true);
  EXPECT_NE(server.Scheduler(), nullptr);
  EXPECT_EQ(server.Bindings().Count(), ipv6 ? 2 : 1);
  EXPECT_EQ(Get(net::Id_IPv4, port).substr(0, 15), "HTTP/1.1 200 OK");
  server.SetActive(false);

  // Only the IPv6 binding fails: the whole start-up fails and the IPv4 port is given back.
  if (!ipv6) return;
  RawSocket holder = RawListen(AF_INET6, port, false);
  if (!holder.Valid()) GTEST_SKIP() << "no IPv6 any-address here";
  EXPECT_THROW(server.SetActive(true), net::EIdCouldNotBindSocket);
  EXPECT_FALSE(server.Active());
  EXPECT_TRUE(RawListen(AF_INET, port, false).Valid());
}

TEST_F(ServerLifecycle, DeactivationClosesAnIdleConnectionPromptly) {
  std::atomic<bool> handled{false};
  server.OnCommandGet = [&](TIdContext&, TIdHTTPRequestInfo&, TIdHTTPResponseInfo&) { handled = true; };
  start();
  RawSocket idle = connect();
  idle.Send("GET / HTTP/1.1\r\nHost: x\r\n");
  RawSocket silent = connect();
  ASSERT_TRUE(WaitFor([&] { return server.Contexts().Count() == 2; }));
  const auto before = Clock::now();
  server.SetActive(false);
  EXPECT_LT(Clock::now() - before, std::chrono::milliseconds(1200));
  EXPECT_FALSE(server.Active());
  EXPECT_EQ(ReadToClose(idle, std::chrono::seconds(2)), "");
  EXPECT_FALSE(handled);
  EXPECT_EQ(server.Contexts().Count(), 0);
}

// The peer has closed the connection: it reads as the end of the stream.
bool ClosedByServer(const RawSocket& socket) { return socket.HasInput(kWaitLimit) && socket.Receive(1).empty(); }

bool StillOpen(const RawSocket& socket) { return !socket.HasInput(std::chrono::milliseconds(0)); }

TEST_F(ServerLifecycle, AtTheBoundTheOldestWaitingConnectionMakesWay) {
  server.OnCommandGet = [](TIdContext&, TIdHTTPRequestInfo&, TIdHTTPResponseInfo& response) {
    response.SetContentText(u"ok");
  };
  server.SetMaxWaitingConnections(3);
  start();
  std::vector<RawSocket> idle;
  for (int i = 0; i < 3; ++i) {
    idle.push_back(connect());
    ASSERT_TRUE(WaitFor([&] { return server.WaitingConnectionCount() == i + 1; }));
  }
  idle[1].Send("GET / HTTP/1.0\r\n");  // half a request waits like none
  idle.push_back(connect());
  EXPECT_TRUE(ClosedByServer(idle[0]));
  EXPECT_TRUE(StillOpen(idle[1]));
  EXPECT_EQ(server.WaitingConnectionCount(), 3);
  // A request that comes while the bound is full is served, and the oldest waiting connection goes for it.
  EXPECT_EQ(ParsedAnswer::From(exchange("GET / HTTP/1.0\r\n\r\n")).body, "ok");
  EXPECT_TRUE(ClosedByServer(idle[1]));
  EXPECT_TRUE(StillOpen(idle[2]));
  EXPECT_TRUE(StillOpen(idle[3]));
}

TEST_F(ServerLifecycle, ARequestThatDoesNotArriveInTimeIsClosedUnanswered) {
  std::atomic<int> handled{0};
  server.OnCommandGet = [&](TIdContext&, TIdHTTPRequestInfo&, TIdHTTPResponseInfo&) { ++handled; };
  server.SetRequestTimeout(300);
  start();
  // Nothing; part of the request line; part of the headers; part of a chunked body; part of a sized body.
  const std::vector<std::string> parts = {
      "", "GET / HTTP/1.0\r\n", "GET / HTTP/1.0\r\nX: 1\r\n",
      "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n",
      "POST / HTTP/1.0\r\nContent-Length: 5\r\n\r\nab"};
  const auto before = Clock::now();
  std::vector<RawSocket> sockets;
  for (const std::string& part : parts) {
    sockets.push_back(connect());
    sockets.back().Send(part);
  }
  for (const RawSocket& socket : sockets) EXPECT_EQ(ReadToClose(socket), "");
  const auto took = Clock::now() - before;
  EXPECT_GE(took, std::chrono::milliseconds(300));
  EXPECT_LT(took, std::chrono::seconds(5));
  EXPECT_EQ(handled.load(), 0);
  EXPECT_TRUE(WaitFor([&] { return server.WaitingConnectionCount() == 0; }));
  // A request sent at once is nowhere near the limit.
  EXPECT_EQ(exchange("GET / HTTP/1.0\r\n\r\n").substr(0, 15), "HTTP/1.1 200 OK");
  EXPECT_EQ(handled.load(), 1);
}

#ifndef _WIN32
// Windows has no per-process descriptor limit to run into.
TEST_F(ServerLifecycle, WithNoDescriptorLeftTheOldestWaitingConnectionMakesRoom) {
#ifdef __SANITIZE_ADDRESS__
  // That build also checks the type behind every virtual call, and the check opens a pipe each time: with no
  // descriptor left it would report them all.
  GTEST_SKIP() << "the type checks of the address-sanitizer build need descriptors of their own";
#endif
  constexpr int kIdle = 4;
  server.OnCommandGet = [](TIdContext&, TIdHTTPRequestInfo&, TIdHTTPResponseInfo& response) {
    response.SetContentText(u"ok");
  };
  server.SetMaxWaitingConnections(0);  // only the descriptors bound them here
  start();
  rlimit before{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &before), 0);
  std::vector<int> fillers;
  struct Restore {
    const rlimit& limit;
    std::vector<int>& fillers;
    ~Restore() {
      for (const int fd : fillers) ::close(fd);
      ::setrlimit(RLIMIT_NOFILE, &limit);
    }
  } restore{before, fillers};
  // The limit leaves room for the idle connections' two ends and a few more, which are then filled.
  const int lowest = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(lowest, 0);
  ::close(lowest);
  rlimit lowered = before;
  lowered.rlim_cur = static_cast<rlim_t>(lowest + 2 * kIdle + 4);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
  std::vector<RawSocket> idle;
  for (int i = 0; i < kIdle; ++i) idle.push_back(connect());
  ASSERT_TRUE(WaitFor([&] { return server.WaitingConnectionCount() == kIdle; }));
  for (int fd; (fd = ::open("/dev/null", O_RDONLY)) >= 0;) fillers.push_back(fd);
  ASSERT_EQ(errno, EMFILE);
  ASSERT_FALSE(fillers.empty());
  // Room for the client's end of one more connection, none for the server's.
  ::close(fillers.back());
  fillers.pop_back();
  EXPECT_EQ(ParsedAnswer::From(exchange("GET / HTTP/1.0\r\n\r\n")).body, "ok");
  EXPECT_TRUE(ClosedByServer(idle[0]));
  EXPECT_TRUE(StillOpen(idle.back()));
}
#endif

TEST_F(ServerLifecycle, DeactivationWaitsForAHandlerAtWork) {
  std::mutex mutex;
  std::condition_variable changed;
  bool inside = false;
  bool release = false;
  bool finished = false;
  server.OnCommandGet = [&](TIdContext&, TIdHTTPRequestInfo&, TIdHTTPResponseInfo& response) {
    std::unique_lock lock(mutex);
    inside = true;
    changed.notify_all();
    changed.wait_for(lock, std::chrono::seconds(10), [&] { return release; });
    response.SetContentText(u"late");
    finished = true;
  };
  start();
  RawSocket client = connect();
  client.Send("GET / HTTP/1.0\r\n\r\n");
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return inside; }));
  }
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::lock_guard lock(mutex);
    release = true;
    changed.notify_all();
  });
  server.SetActive(false);
  {
    std::lock_guard lock(mutex);
    EXPECT_TRUE(finished);
  }
  releaser.join();
  // Its answer went to a connection that shutdown had already closed.
  EXPECT_EQ(ReadToClose(client, std::chrono::seconds(2)), "");
}

TEST_F(ServerLifecycle, SessionsAreSwitchedOffAtEveryStartUp) {
  server.SetSessionState(true);
  server.SetAutoStartSession(true);
  server.SetSessionIDCookieName(u"SESSIONIDS");
  EXPECT_THROW(server.SetSessionIDCookieName(u"  "), EIdException);
  start();
  EXPECT_FALSE(server.SessionState());
  try {
    server.SetSessionState(true);
    FAIL();
  } catch (const EIdHTTPCannotSwitchSessionStateWhenActive& e) {
    EXPECT_EQ(ToUtf8(e.Message()), "Cannot change session state when the server is active.");
  }
  try {
    server.SetScheduler(nullptr);
    FAIL();
  } catch (const EIdException& e) {
    EXPECT_EQ(ToUtf8(e.Message()), "Cannot change the scheduler while the server is Active.");
  }
  EXPECT_EQ(exchange("GET / HTTP/1.0\r\nCookie: SESSIONIDS=X\r\n\r\n").find("Set-Cookie"), std::string::npos);
  server.SetActive(false);
  server.SetActive(true);
  EXPECT_FALSE(server.SessionState());
  EXPECT_EQ(exchange("GET / HTTP/1.0\r\n\r\n").find("Set-Cookie"), std::string::npos);
}

TEST_F(ServerLifecycle, WithATimeOutStaleSessionsEndWithoutFurtherRequests) {
  std::atomic<int> started{0};
  std::atomic<int> ended{0};
  server.SetSessionState(true);
  server.SetAutoStartSession(true);
  server.SetSessionTimeOut(100);
  server.OnSessionStart = [&](TIdHTTPSession&) { ++started; };
  server.OnSessionEnd = [&](TIdHTTPSession&) { ++ended; };
  start();
  EXPECT_TRUE(server.SessionState());
  const ParsedAnswer answer = ParsedAnswer::From(exchange("GET / HTTP/1.0\r\n\r\n"));
  const std::string cookie = answer.header("Set-Cookie");
  EXPECT_EQ(cookie.substr(0, 16), "IDHTTPSESSIONID=") << cookie;
  EXPECT_EQ(cookie.substr(cookie.size() - 8), "; Path=/") << cookie;
  EXPECT_EQ(started.load(), 1);
  // Nobody looks the session up again: the cleaner alone has to end it.
  EXPECT_TRUE(WaitFor([&] { return ended.load() == 1; }));
  EXPECT_EQ(server.SessionList()->Count(), 0);
}

TEST_F(ServerLifecycle, ConnectionsAreServedConcurrentlyAndThreadsReused) {
  constexpr int kClients = 8;
  std::mutex mutex;
  std::condition_variable changed;
  int inside = 0;
  int mostAtOnce = 0;
  server.OnCommandGet = [&](TIdContext&, TIdHTTPRequestInfo&, TIdHTTPResponseInfo& response) {
    std::unique_lock lock(mutex);
    ++inside;
    mostAtOnce = std::max(mostAtOnce, inside);
    changed.notify_all();
    // Every handler waits until all are inside at the same time.
    changed.wait_for(lock, std::chrono::seconds(10), [&] { return mostAtOnce == kClients; });
    --inside;
    response.SetContentText(u"ok");
  };
  start();
  std::vector<RawSocket> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(connect());
    clients.back().Send("GET / HTTP/1.0\r\n\r\n");
  }
  for (const RawSocket& client : clients) EXPECT_EQ(ParsedAnswer::From(ReadToClose(client)).body, "ok");
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(mostAtOnce, kClients);
  }
  auto* scheduler = dynamic_cast<TIdSchedulerOfThreadDefault*>(server.Scheduler());
  ASSERT_NE(scheduler, nullptr);
  ASSERT_TRUE(WaitFor([&] { return scheduler->ActiveYarnCount() == 1; }));  // the listener's spare
  ASSERT_TRUE(WaitFor([&] { return scheduler->ParkedThreadCount() >= scheduler->SpareThreads(); }));
  const int threads = scheduler->ThreadCount();
  EXPECT_GE(threads, kClients);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(ParsedAnswer::From(exchange("GET / HTTP/1.0\r\n\r\n")).body, "ok");
  // Each taken worker may have the spare maker add one while the last answer's worker is still on its way back
  // to the parked ones, but there is no thread per connection.
  EXPECT_LE(scheduler->ThreadCount(), threads + 4);
}

// The threads of this process, from /proc.
int ProcessThreadCount() {
  int count = 0;
#ifdef _WIN32
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 entry{sizeof(THREADENTRY32)};
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
  CloseHandle(snapshot);
#else
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++count;
#endif
  return count;
}

class WorkerPool : public HttpServerTest {
 protected:
  WorkerPool() {
    scheduler.SetSpareThreads(2);
    scheduler.SetThreadIdleTime(100);
    server.SetScheduler(&scheduler);
  }
  // Off before the scheduler goes.
  ~WorkerPool() override { server.SetActive(false); }

  // Connections that send half a request and wait, each holding a worker.
  std::vector<RawSocket> openIdle(int count) {
    std::vector<RawSocket> sockets;
    for (int i = 0; i < count; ++i) {
      sockets.push_back(connect());
      sockets.back().Send("GET / HTTP/1.0\r\n");
    }
    return sockets;
  }

  TIdSchedulerOfThreadDefault scheduler;
};

TEST_F(WorkerPool, IdleWorkersAboveTheSparesEndAndSwitchingOffEndsEveryThread) {
  constexpr int kIdle = 12;
  // A sanitizer starts a helper thread of its own with the process's first thread; let that happen first.
  std::thread([] {}).join();
  const int before = ProcessThreadCount();
  start();
  // The listener, the spare maker and the spares, made before any connection.
  ASSERT_TRUE(WaitFor([&] { return scheduler.ParkedThreadCount() == 2; }));
  EXPECT_EQ(ProcessThreadCount(), before + 4);

  std::vector<RawSocket> idle = openIdle(kIdle);
  ASSERT_TRUE(WaitFor([&] { return server.Contexts().Count() == kIdle; }));
  // The spares are made again ahead of the next connection.
  ASSERT_TRUE(WaitFor([&] { return scheduler.ParkedThreadCount() == 2; }));
  EXPECT_EQ(scheduler.ThreadCount(), kIdle + 2);

  // Closed by the clients: their workers park, and all but the spares end after the idle time.
  idle.clear();
  EXPECT_TRUE(WaitFor([&] { return scheduler.ThreadCount() == 2; }));
  EXPECT_EQ(scheduler.ParkedThreadCount(), 2);
  EXPECT_TRUE(WaitFor([&] { return ProcessThreadCount() == before + 4; })) << ProcessThreadCount();
  EXPECT_EQ(exchange("GET / HTTP/1.0\r\n\r\n").substr(0, 15), "HTTP/1.1 200 OK");

  // Switching off with connections open ends every thread at once, parked workers and spare maker included,
  // although this scheduler outlives the activation.
  idle = openIdle(kIdle);
  ASSERT_TRUE(WaitFor([&] { return server.Contexts().Count() == kIdle; }));
  const auto off = Clock::now();
  server.SetActive(false);
  EXPECT_LT(Clock::now() - off, std::chrono::milliseconds(1200));
  EXPECT_EQ(scheduler.ThreadCount(), 0);
  EXPECT_EQ(ProcessThreadCount(), before);

  // The pool comes back with the next activation.
  start();
  EXPECT_EQ(exchange("GET / HTTP/1.0\r\n\r\n").substr(0, 15), "HTTP/1.1 200 OK");
  server.SetActive(false);
  EXPECT_EQ(ProcessThreadCount(), before);
}

TEST_F(WorkerPool, ConnectionsArrivingWhileNoWorkerIsParkedWaitForOne) {
  // No spares at all: every connection waits for a worker the spare maker starts for it.
  scheduler.SetSpareThreads(0);
  server.OnCommandGet = [](TIdContext&, TIdHTTPRequestInfo&, TIdHTTPResponseInfo& response) {
  // Workers yield to the listener: waking one must not preempt it (Linux; Windows has no batch class).
#ifdef _WIN32
    response.SetContentText(u"ok");
#else
    response.SetContentText(sched_getscheduler(0) == SCHED_BATCH ? u"ok" : u"not batch");
#endif
  };
  start();
  std::vector<RawSocket> idle = openIdle(6);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(ParsedAnswer::From(exchange("GET / HTTP/1.0\r\n\r\n")).body, "ok");
  ASSERT_TRUE(WaitFor([&] { return server.Contexts().Count() == 6; }));
  idle.clear();
  EXPECT_TRUE(WaitFor([&] { return scheduler.ThreadCount() == 0; }));
}

// Many clients at the same moment, far more than the listen queue holds: the listener takes the queued
// connections off in one go and hands them over one by one, and every client gets its answer.
TEST_F(ServerLifecycle, ABurstOfClientsIsServedInFull) {
  constexpr int kClients = 96;
  start();
  std::atomic<int> answered{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&] {
      while (!go) std::this_thread::yield();
      if (exchange("GET / HTTP/1.0\r\n\r\n").substr(0, 15) == "HTTP/1.1 200 OK") ++answered;
    });
  }
  go = true;
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(answered, kClients);
  server.SetActive(false);
  EXPECT_EQ(server.Contexts().Count(), 0);
}

TEST_F(ServerLifecycle, SwitchingOffAndOnUnderLoad) {
  server.OnCommandGet = [](TIdContext&, TIdHTTPRequestInfo&, TIdHTTPResponseInfo& response) {
    response.SetContentText(u"ok");
  };
  start();
  std::atomic<bool> stop{false};
  std::atomic<int> answered{0};
  std::vector<std::thread> clients;
  // Joins the clients on every way out, a failed assertion included, so a failure never aborts the program.
  struct Joiner {
    std::atomic<bool>& stop;
    std::vector<std::thread>& clients;
    ~Joiner() {
      stop = true;
      for (auto& client : clients)
        if (client.joinable()) client.join();
    }
  } joiner{stop, clients};
  for (int i = 0; i < 4; ++i) {
    clients.emplace_back([&, i] {
      while (!stop.load()) {
        try {
          RawSocket socket = RawConnect(net::Id_IPv4, port);
          // Some clients leave their request unfinished, so shutdown meets every state of a connection.
          socket.Send(i % 2 == 0 ? "GET / HTTP/1.0\r\n\r\n" : "GET / HTTP/1.0\r\n");
          if (ReadToClose(socket, std::chrono::seconds(5)).find("ok") != std::string::npos) ++answered;
        } catch (const std::exception&) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));  // refused while off
        }
      }
    });
  }
  for (int round = 0; round < 5; ++round) {
    ASSERT_TRUE(WaitFor([&, target = answered.load() + 5] { return answered.load() >= target; }));
    const auto before = Clock::now();
    server.SetActive(false);
    EXPECT_LT(Clock::now() - before, std::chrono::milliseconds(1500));
    EXPECT_EQ(server.Contexts().Count(), 0);
    server.SetActive(true);
  }
  stop = true;
  server.SetActive(false);
}

// Fails the next few requests for a worker thread as the system does when it has none to give.
class FailingScheduler : public TIdSchedulerOfThreadDefault {
 public:
  std::atomic<int> failures{0};
  TIdYarn* AcquireYarn() override {
    if (failures.load() > 0) {
      failures.fetch_sub(1);
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
    return TIdSchedulerOfThreadDefault::AcquireYarn();
  }
};

TEST_F(ServerLifecycle, ListenerSurvivesFailuresWhilePreparingAConnection) {
  FailingScheduler scheduler;
  std::atomic<int> listenExceptions{0};
  std::atomic<int> contextsCreated{0};
  server.SetScheduler(&scheduler);
  server.OnListenException = [&](TIdListenerThread&, std::exception_ptr) { ++listenExceptions; };
  server.OnContextCreated = [&](TIdContext&) {
    if (contextsCreated.fetch_add(1) == 0) throw std::runtime_error("first context refused");
  };
  start();
  // The listener holds one spare yarn already; the failures hit the acquisitions after the next connections.
  scheduler.failures = 3;
  EXPECT_TRUE(closedWithoutAnswer("GET / HTTP/1.0\r\n\r\n"));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(exchange("GET / HTTP/1.0\r\n\r\n").substr(0, 15), "HTTP/1.1 200 OK");
  EXPECT_EQ(listenExceptions.load(), 4);
  EXPECT_TRUE(server.Active());
  server.SetActive(false);
  EXPECT_EQ(scheduler.ActiveYarnCount(), 0);
}

}  // namespace
}  // namespace tessarine::server::testing
