// Load figures of the desktop program's window, offscreen (they are recorded in bench/README.md):
//
//   tessarine_ui_load log       16 threads append 100,000 log lines while the UI thread runs; lines per
//                               second and the worst lateness of a 10 ms timer (the longest stall of the
//                               event loop)
//   tessarine_ui_load memory    resident memory after start-up and after 10,000 translations through the
//                               local server; the engine is a stand-in inside the process that answers at
//                               once in Google's format (the real upstream client is not used)
//   tessarine_ui_load shown [s] the log window left open under a steady flow of requests' lines (8 threads,
//                               9 lines and a 1 ms pause each round) for s seconds (default 60): resident
//                               memory, lines kept and the worst lateness of a 10 ms timer every 5 s

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTextBlock>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "common/text.h"
#include "ui/application.h"
#include "ui/form1.h"
#include "ui/qt_text.h"
#include "ui/theme.h"

namespace {

using namespace tessarine;

class MemorySettings : public shell::TCustomIniFile {
 public:
  bool ReadBool(const std::u16string&, const std::u16string& key, bool defaultValue) const override {
    return key == u"ProxyActive" ? false : defaultValue;
  }
  std::u16string ReadString(const std::u16string&, const std::u16string&,
                            const std::u16string& defaultValue) const override {
    return defaultValue;
  }
  void WriteBool(const std::u16string&, const std::u16string&, bool) override {}
  void WriteString(const std::u16string&, const std::u16string&, const std::u16string&) override {}
};

class InstantUpstream : public translate::IUpstreamClient {
 public:
  void CustomHeadersAddValue(const std::u16string&, const std::u16string&) override {}
  void CustomHeadersClear() override {}
  void SetCarriesCredentials(bool) override {}
  std::u16string Get(const std::u16string&) override { return u"[{\"trans\":\"Hallo, Welt\"}]"; }
  std::u16string Post(const std::u16string&, TStream&) override { return u"[{\"trans\":\"Hallo, Welt\"}]"; }
};

long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string word;
  while (status >> word) {
    if (word == "VmRSS:") {
      long kib = 0;
      status >> kib;
      return kib;
    }
  }
  return -1;
}

std::unique_ptr<ui::TForm1> MakeForm(translate::IUpstreamClient& upstream) {
  ui::TForm1Options options;
  options.OpenSettings = [] { return std::make_unique<MemorySettings>(); };
  options.Terminate = [] {};
  options.ListenForTesting = std::make_pair(std::u16string(u"127.0.0.1"), uint16_t{0});
  options.UpstreamForTesting = &upstream;
  options.AbortUpstreamForTesting = [] {};
  return std::make_unique<ui::TForm1>(std::move(options));
}

// Runs the event loop while work runs on other threads; returns the worst lateness of a 10 ms timer.
template <typename Done>
double RunLoopMeasuringStalls(Done done) {
  QElapsedTimer clock;
  clock.start();
  qint64 last = clock.nsecsElapsed();
  double worstMs = 0;
  QTimer tick;
  tick.setTimerType(Qt::PreciseTimer);
  tick.setInterval(10);
  QObject::connect(&tick, &QTimer::timeout, [&] {
    const qint64 now = clock.nsecsElapsed();
    worstMs = std::max(worstMs, (now - last) / 1e6 - 10.0);
    last = now;
  });
  tick.start();
  while (!done()) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  return worstMs;
}

int BenchLog() {
  InstantUpstream upstream;
  auto form = MakeForm(upstream);
  form->Core().N1->Click();  // visible, so the appends are laid out and painted as a user would see them
  constexpr int kThreads = 16;
  constexpr int kTotal = 100000;
  const std::u16string sample = u"Получение данных: a line of about the length the endpoint writes";
  std::atomic<int> finished{0};
  QElapsedTimer clock;
  clock.start();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kTotal / kThreads; ++i)
        form->Core().AddLogLine(sample + u" " + IntToStr(t) + u"/" + IntToStr(i));
      ++finished;
    });
  }
  // One queue keeps the order of all calls, so once a line logged after every thread has finished is the
  // last line of the text, every line has been through the panel.
  const QString endMarker = QStringLiteral("end of the lines");
  double threadsDoneMs = 0;
  const double worstStall = RunLoopMeasuringStalls([&] {
    if (finished < kThreads) return false;
    if (threadsDoneMs == 0) {
      threadsDoneMs = clock.nsecsElapsed() / 1e6;
      form->Core().AddLogLine(ui::FromQString(endMarker));
    }
    return form->sMemo1->document()->lastBlock().previous().text() == endMarker;
  });
  const double allShownMs = clock.nsecsElapsed() / 1e6;
  for (std::thread& thread : threads) thread.join();
  std::printf("log: %d lines from %d threads\n", kTotal, kThreads);
  std::printf("  appended by the threads in %.0f ms (%.0f lines/s handed over)\n", threadsDoneMs,
              kTotal / (threadsDoneMs / 1000));
  std::printf("  all in the text box after %.0f ms (%.0f lines/s shown)\n", allShownMs, kTotal / (allShownMs / 1000));
  std::printf("  worst lateness of a 10 ms timer: %.1f ms\n", worstStall);
  std::printf("  lines kept in the text box: %d\n", form->sMemo1->document()->blockCount() - 1);
  std::printf("  resident memory: %ld KiB\n", ResidentKiB());
  return 0;
}

int BenchShown(int seconds) {
  InstantUpstream upstream;
  auto form = MakeForm(upstream);
  form->Core().N1->Click();
  constexpr int kThreads = 8;
  std::atomic<bool> stop{false};
  std::atomic<long long> appended{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (long long round = 0; !stop; ++round) {
        form->Core().AddLogLine(u"Получение данных");
        form->Core().AddLogLine(u"soak " + IntToStr(t) + u" " + IntToStr(round));
        form->Core().AddLogLine(u"Получение значения языка");
        form->Core().AddLogLine(u"en|de");
        form->Core().AddLogLine(u"Сервис");
        form->Core().AddLogLine(u"Google");
        form->Core().AddLogLine(u"Результат");
        form->Core().AddLogLine(u"Hallo, Welt");
        form->Core().AddLogLine(u"______________________________");
        appended += 9;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
  }
  std::printf("shown: the log window open, %d threads logging, %d s\n", kThreads, seconds);
  std::printf("| s | lines appended | lines/s | lines kept | worst timer lateness ms | resident KiB |\n");
  std::printf("|---|---|---|---|---|---|\n");
  QElapsedTimer clock;
  clock.start();
  long long lastAppended = 0;
  for (int elapsed = 5; elapsed <= seconds; elapsed += 5) {
    const double worstStall = RunLoopMeasuringStalls([&] { return clock.elapsed() >= elapsed * 1000LL; });
    const long long now = appended;
    std::printf("| %d | %lld | %lld | %d | %.1f | %ld |\n", elapsed, now, (now - lastAppended) / 5,
                form->sMemo1->document()->blockCount() - 1, worstStall, ResidentKiB());
    std::fflush(stdout);
    lastAppended = now;
  }
  stop = true;
  for (std::thread& thread : threads) thread.join();
  return 0;
}

std::string Exchange(uint16_t port, const std::string& request) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    char buffer[4096];
    ssize_t n = 0;
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) answer.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return answer;
}

int BenchMemory() {
  InstantUpstream upstream;
  auto form = MakeForm(upstream);
  form->Core().N6->Click();
  const uint16_t port = form->Core().ListeningPort();
  QCoreApplication::processEvents();
  const long afterStart = ResidentKiB();
  constexpr int kRequests = 10000;
  std::atomic<int> done{0};
  std::atomic<int> failed{0};
  std::thread client([&] {
    for (int i = 0; i < kRequests; ++i) {
      const std::string answer =
          Exchange(port, "GET /linxp_translate_t?text=Hello%20world&langpair=en%7Cde HTTP/1.0\r\n\r\n");
      if (answer.find("Hallo, Welt") == std::string::npos) ++failed;
      ++done;
    }
  });
  RunLoopMeasuringStalls([&] { return done == kRequests; });
  client.join();
  form->sMemo1->FlushPending();
  QCoreApplication::processEvents();
  const long afterRequests = ResidentKiB();
  const qsizetype logChars = form->sMemo1->document()->characterCount();
  const qsizetype logLines = form->sMemo1->toPlainText().count(QLatin1Char('\n'));
  form->Core().N2->Click();
  QCoreApplication::processEvents();
  const long afterClear = ResidentKiB();
  std::printf("memory: %d translations (%d failed)\n", kRequests, failed.load());
  std::printf("  resident after start-up: %ld KiB\n", afterStart);
  std::printf("  resident after the translations: %ld KiB (+%ld KiB)\n", afterRequests, afterRequests - afterStart);
  std::printf("  log: %lld lines, %lld characters (%lld KiB as UTF-16 text)\n", static_cast<long long>(logLines),
              static_cast<long long>(logChars), static_cast<long long>(logChars) * 2 / 1024);
  std::printf("  resident after clearing the log: %ld KiB\n", afterClear);
  form->Core().N6->Click();
  return failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode != "log" && mode != "memory" && mode != "shown") {
    std::fprintf(stderr, "usage: %s log|memory|shown [seconds]\n", argv[0]);
    return 2;
  }
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  tessarine::ui::TApplication application(argc, argv);
  tessarine::ui::ApplyTheme(application, tessarine::ui::kThemeName);
  if (mode == "shown") return BenchShown(argc > 2 ? std::max(5, std::atoi(argv[2])) : 60);
  return mode == "log" ? BenchLog() : BenchMemory();
}
