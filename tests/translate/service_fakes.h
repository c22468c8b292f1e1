#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/exception.h"
#include "translate/service_interfaces.h"
#include "translate/service_settings.h"

// Fakes at the seams of the translation service: the upstream client, the log panel and the server's
// request and response records.
namespace tessarine::translate::fakes {

struct RecordedRequest {
  std::u16string Method, Url;
  std::vector<std::u16string> HeaderLines;  // "name: value", as held when the request is sent
  std::string Body;
  bool CarriesCredentials = false;  // as set when the request is sent
  int CallTimeLimit = 0;            // likewise
};

// Records every request and answers with Reply. It also reports overlapping engine calls: a call runs
// from CustomHeadersClear to the return of Get or Post, and any other thread touching the client
// meanwhile is an overlap.
class FakeUpstreamClient : public IUpstreamClient {
 public:
  std::function<std::u16string(const RecordedRequest&)> Reply = [](const RecordedRequest&) { return u""; };
  // What RetryAfterSeconds, RefusedReplyText, RefusedStatusCode and ReplyCharSet report after every call.
  std::optional<int64_t> RetryAfter;
  std::optional<std::u16string> RefusedBody;
  int RefusedStatus = 0;
  std::u16string CharSet;

  void CustomHeadersClear() override {
    std::lock_guard lock(m_mutex);
    claim(true);
    m_headers.clear();
  }
  void CustomHeadersAddValue(const std::u16string& name, const std::u16string& value) override {
    std::lock_guard lock(m_mutex);
    claim(false);
    m_headers.push_back(name + u": " + value);
  }
  void SetCarriesCredentials(bool carries) override {
    std::lock_guard lock(m_mutex);
    m_carriesCredentials = carries;
  }
  void SetCallTimeLimit(int milliseconds) override {
    std::lock_guard lock(m_mutex);
    m_callTimeLimit = milliseconds;
  }
  std::u16string Get(const std::u16string& url) override { return send(u"GET", url, {}); }
  std::u16string Post(const std::u16string& url, TStream& source) override {
    std::string body(static_cast<size_t>(source.Size()), '\0');
    source.SetPosition(0);
    body.resize(source.Read(body.data(), body.size()));
    return send(u"POST", url, std::move(body));
  }

  std::optional<int64_t> RetryAfterSeconds() const override { return RetryAfter; }
  std::optional<std::u16string> RefusedReplyText() const override { return RefusedBody; }
  int RefusedStatusCode() const override { return RefusedStatus; }
  std::u16string ReplyCharSet() const override { return CharSet; }
  bool CallsStopped() const override { return Stopped; }
  // What CallsStopped reports.
  std::atomic<bool> Stopped = false;

  std::vector<RecordedRequest> Requests() const {
    std::lock_guard lock(m_mutex);
    return m_requests;
  }
  bool Overlapped() const {
    std::lock_guard lock(m_mutex);
    return m_overlapped;
  }

 private:
  void claim(bool opensCall) {
    if (m_owner && *m_owner != std::this_thread::get_id()) m_overlapped = true;
    if (opensCall || !m_owner) m_owner = std::this_thread::get_id();
  }

  std::u16string send(std::u16string method, const std::u16string& url, std::string body) {
    RecordedRequest request;
    {
      std::lock_guard lock(m_mutex);
      claim(false);
      request = {std::move(method), url, m_headers, std::move(body), m_carriesCredentials, m_callTimeLimit};
      m_requests.push_back(request);
    }
    // Leave room for another thread to barge in while this call is open.
    for (int i = 0; i < 50; ++i) std::this_thread::yield();
    struct CallEnd {
      FakeUpstreamClient& client;
      ~CallEnd() {
        std::lock_guard lock(client.m_mutex);
        client.claim(false);
        client.m_owner.reset();
      }
    } end{*this};
    return Reply(request);
  }

  mutable std::mutex m_mutex;
  std::vector<std::u16string> m_headers;
  bool m_carriesCredentials = false;
  int m_callTimeLimit = 0;
  std::vector<RecordedRequest> m_requests;
  std::optional<std::thread::id> m_owner;
  bool m_overlapped = false;
};

// Settings as "Section/Key" -> value, read through the access the settings readers take.
class FakeSettingsTest : public ::testing::Test {
 protected:
  TSettingsAccess access() const {
    return {[this](const std::u16string& section, const std::u16string& key, bool defaultValue) {
              const auto found = values.find(section + u"/" + key);
              return found == values.end() ? defaultValue : found->second == u"1";
            },
            [this](const std::u16string& section, const std::u16string& key, const std::u16string& defaultValue) {
              const auto found = values.find(section + u"/" + key);
              return found == values.end() ? defaultValue : found->second;
            }};
  }

  std::map<std::u16string, std::u16string> values;
};

// A pool of Size fake clients, each made by Make. Take waits while every client is taken and raises
// "Disconnected." while Stopped; the pool counts the clients taken at once.
class FakeUpstreamPool : public IUpstreamPool {
 public:
  explicit FakeUpstreamPool(size_t size, const std::function<void(FakeUpstreamClient&)>& make = {}) {
    for (size_t i = 0; i < size; ++i) {
      m_clients.push_back(std::make_unique<FakeUpstreamClient>());
      if (make) make(*m_clients.back());
      m_idle.push_back(m_clients.back().get());
    }
  }

  IUpstreamClient& Take() override {
    std::unique_lock lock(m_mutex);
    if (Stopped) throw EIdException(u"Disconnected.");
    ++m_waiting;
    m_changed.wait(lock, [this] { return !m_idle.empty(); });
    --m_waiting;
    FakeUpstreamClient* client = m_idle.back();
    m_idle.pop_back();
    ++m_takes;
    m_most = std::max(m_most, m_clients.size() - m_idle.size());
    return *client;
  }
  void GiveBack(IUpstreamClient& client) override {
    std::lock_guard lock(m_mutex);
    m_idle.push_back(&static_cast<FakeUpstreamClient&>(client));
    m_changed.notify_all();
  }
  bool CallsStopped() const override { return Stopped; }
  std::atomic<bool> Stopped = false;

  FakeUpstreamClient& Client(size_t i) { return *m_clients[i]; }
  size_t Size() const { return m_clients.size(); }
  // Every request of every client.
  std::vector<RecordedRequest> Requests() const {
    std::vector<RecordedRequest> all;
    for (const auto& client : m_clients) {
      for (RecordedRequest& request : client->Requests()) all.push_back(std::move(request));
    }
    return all;
  }
  int Takes() const {
    std::lock_guard lock(m_mutex);
    return m_takes;
  }
  size_t MostAtOnce() const {
    std::lock_guard lock(m_mutex);
    return m_most;
  }
  int Waiting() const {
    std::lock_guard lock(m_mutex);
    return m_waiting;
  }

 private:
  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<std::unique_ptr<FakeUpstreamClient>> m_clients;
  std::vector<FakeUpstreamClient*> m_idle;
  int m_takes = 0;
  int m_waiting = 0;
  size_t m_most = 0;
};

class FakeLogSink : public ILogSink {
 public:
  void AddLogLine(const std::u16string& line) override {
    std::lock_guard lock(m_mutex);
    m_lines.emplace_back(std::this_thread::get_id(), line);
  }
  void Clear() {
    std::lock_guard lock(m_mutex);
    m_lines.clear();
  }
  // All lines, or those of one thread.
  std::vector<std::u16string> Lines(std::optional<std::thread::id> thread = std::nullopt) const {
    std::lock_guard lock(m_mutex);
    std::vector<std::u16string> out;
    for (const auto& [id, line] : m_lines) {
      if (!thread || id == *thread) out.push_back(line);
    }
    return out;
  }

 private:
  mutable std::mutex m_mutex;
  std::vector<std::pair<std::thread::id, std::u16string>> m_lines;
};

struct FakeRequestInfo : IRequestInfo {
  THTTPCommandType Command = THTTPCommandType::hcGET;
  std::u16string Path = u"/linxp_translate_t";
  TStringList Query;

  THTTPCommandType CommandType() const override { return Command; }
  const std::u16string& Document() const override { return Path; }
  const TStringList& Params() const override { return Query; }
};

struct FakeResponseInfo : IResponseInfo {
  std::u16string Content;
  int Writes = 0;
  std::function<void()> OnWrite = [] {};

  void SetContentText(const std::u16string& text) override { Content = text; }
  const std::u16string& ContentText() const override { return Content; }
  void WriteContent() override {
    ++Writes;
    OnWrite();
  }
};

}  // namespace tessarine::translate::fakes
