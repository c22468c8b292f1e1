#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/string_list.h"

namespace tessarine::server {

class TIdHTTPSession {
 public:
  TIdHTTPSession(std::u16string sessionID, std::u16string remoteHost);

  const std::u16string& SessionID() const { return m_sessionID; }
  const std::u16string& RemoteHost() const { return m_remoteHost; }
  std::chrono::steady_clock::time_point LastTimeStamp() const;
  void Touch();

  // The handler's data; guard it with Lock() when several requests of the session may run at once.
  TStringList Content;
  std::mutex& Lock() { return m_lock; }

 private:
  const std::u16string m_sessionID;
  const std::u16string m_remoteHost;
  mutable std::mutex m_lock;
  std::chrono::steady_clock::time_point m_lastTimeStamp;
};

// A locked list of sessions with a time-out. Stale sessions are ended by the cleaner thread and whenever the
// list is searched.
class TIdHTTPDefaultSessionList {
 public:
  using TSessionEvent = std::function<void(TIdHTTPSession&)>;

  TIdHTTPDefaultSessionList();
  ~TIdHTTPDefaultSessionList();
  TIdHTTPDefaultSessionList(const TIdHTTPDefaultSessionList&) = delete;
  TIdHTTPDefaultSessionList& operator=(const TIdHTTPDefaultSessionList&) = delete;

  // Milliseconds.
  int SessionTimeout() const;
  void SetSessionTimeout(int milliseconds);
  void SetOnSessionStart(TSessionEvent handler);
  void SetOnSessionEnd(TSessionEvent handler);

  // A new session with a random 15-character ID.
  std::shared_ptr<TIdHTTPSession> CreateSession(std::u16string remoteHost);
  void Add(std::shared_ptr<TIdHTTPSession> session);
  // The live session of the ID (letter case ignored) whose remote host matches when both are known; its time
  // stamp is refreshed.
  std::shared_ptr<TIdHTTPSession> GetSession(std::u16string_view sessionID, std::u16string_view remoteHost);
  int Count() const;
  // Ends the sessions last used more than the time-out ago (none without a time-out).
  void EndStaleSessions();
  // Ends every session.
  void Clear();

 private:
  void ended(const std::vector<std::shared_ptr<TIdHTTPSession>>& sessions);

  mutable std::mutex m_lock;
  std::vector<std::shared_ptr<TIdHTTPSession>> m_sessions;
  int m_sessionTimeout = 0;
  TSessionEvent m_onSessionStart;
  TSessionEvent m_onSessionEnd;
};

// Ends the stale sessions of a list once a second; stopping it ends every session that remains.
class TIdHTTPSessionCleanerThread {
 public:
  explicit TIdHTTPSessionCleanerThread(TIdHTTPDefaultSessionList& list);
  // Stops and waits.
  ~TIdHTTPSessionCleanerThread();
  TIdHTTPSessionCleanerThread(const TIdHTTPSessionCleanerThread&) = delete;
  TIdHTTPSessionCleanerThread& operator=(const TIdHTTPSessionCleanerThread&) = delete;

 private:
  void execute() noexcept;

  TIdHTTPDefaultSessionList& m_list;
  std::mutex m_lock;
  std::condition_variable m_wake;
  bool m_stop = false;
  std::thread m_thread;
};

}  // namespace tessarine::server
