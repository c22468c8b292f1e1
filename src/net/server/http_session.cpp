#include "net/server/http_session.h"

#include <random>

#include "common/text.h"
#include "net/server/thread_name.h"

namespace tessarine::server {

namespace {

std::u16string randomSessionID() {
  static constexpr char16_t kAlphabet[] = u"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  thread_local std::mt19937 generator{std::random_device{}()};
  std::uniform_int_distribution<size_t> pick(0, std::size(kAlphabet) - 2);
  std::u16string id(15, u' ');
  for (char16_t& c : id) c = kAlphabet[pick(generator)];
  return id;
}

}  // namespace

TIdHTTPSession::TIdHTTPSession(std::u16string sessionID, std::u16string remoteHost)
    : m_sessionID(std::move(sessionID)),
      m_remoteHost(std::move(remoteHost)),
      m_lastTimeStamp(std::chrono::steady_clock::now()) {}

std::chrono::steady_clock::time_point TIdHTTPSession::LastTimeStamp() const {
  std::lock_guard lock(m_lock);
  return m_lastTimeStamp;
}

void TIdHTTPSession::Touch() {
  std::lock_guard lock(m_lock);
  m_lastTimeStamp = std::chrono::steady_clock::now();
}

TIdHTTPDefaultSessionList::TIdHTTPDefaultSessionList() { m_sessions.reserve(128); }

TIdHTTPDefaultSessionList::~TIdHTTPDefaultSessionList() { Clear(); }

int TIdHTTPDefaultSessionList::SessionTimeout() const {
  std::lock_guard lock(m_lock);
  return m_sessionTimeout;
}

void TIdHTTPDefaultSessionList::SetSessionTimeout(int milliseconds) {
  std::lock_guard lock(m_lock);
  m_sessionTimeout = milliseconds;
}

void TIdHTTPDefaultSessionList::SetOnSessionStart(TSessionEvent handler) {
  std::lock_guard lock(m_lock);
  m_onSessionStart = std::move(handler);
}

void TIdHTTPDefaultSessionList::SetOnSessionEnd(TSessionEvent handler) {
  std::lock_guard lock(m_lock);
  m_onSessionEnd = std::move(handler);
}

std::shared_ptr<TIdHTTPSession> TIdHTTPDefaultSessionList::CreateSession(std::u16string remoteHost) {
  auto session = std::make_shared<TIdHTTPSession>(randomSessionID(), std::move(remoteHost));
  Add(session);
  return session;
}

void TIdHTTPDefaultSessionList::Add(std::shared_ptr<TIdHTTPSession> session) {
  TSessionEvent onStart;
  {
    std::lock_guard lock(m_lock);
    m_sessions.push_back(session);
    onStart = m_onSessionStart;
  }
  if (onStart) onStart(*session);
}

std::shared_ptr<TIdHTTPSession> TIdHTTPDefaultSessionList::GetSession(std::u16string_view sessionID,
                                                                      std::u16string_view remoteHost) {
  EndStaleSessions();
  std::lock_guard lock(m_lock);
  for (const auto& session : m_sessions) {
    if (!SameTextAscii(session->SessionID(), sessionID)) continue;
    if (!remoteHost.empty() && !session->RemoteHost().empty() && session->RemoteHost() != remoteHost) continue;
    session->Touch();
    return session;
  }
  return nullptr;
}

int TIdHTTPDefaultSessionList::Count() const {
  std::lock_guard lock(m_lock);
  return static_cast<int>(m_sessions.size());
}

void TIdHTTPDefaultSessionList::EndStaleSessions() {
  std::vector<std::shared_ptr<TIdHTTPSession>> stale;
  {
    std::lock_guard lock(m_lock);
    if (m_sessionTimeout <= 0) return;
    const auto limit = std::chrono::steady_clock::now() - std::chrono::milliseconds(m_sessionTimeout);
    std::erase_if(m_sessions, [&](const std::shared_ptr<TIdHTTPSession>& session) {
      if (session->LastTimeStamp() >= limit) return false;
      stale.push_back(session);
      return true;
    });
  }
  ended(stale);
}

void TIdHTTPDefaultSessionList::Clear() {
  std::vector<std::shared_ptr<TIdHTTPSession>> all;
  {
    std::lock_guard lock(m_lock);
    all.swap(m_sessions);
  }
  ended(all);
}

void TIdHTTPDefaultSessionList::ended(const std::vector<std::shared_ptr<TIdHTTPSession>>& sessions) {
  TSessionEvent onEnd;
  {
    std::lock_guard lock(m_lock);
    onEnd = m_onSessionEnd;
  }
  if (!onEnd) return;
  for (const auto& session : sessions) onEnd(*session);
}

TIdHTTPSessionCleanerThread::TIdHTTPSessionCleanerThread(TIdHTTPDefaultSessionList& list) : m_list(list) {
  m_thread = std::thread([this] { execute(); });
}

TIdHTTPSessionCleanerThread::~TIdHTTPSessionCleanerThread() {
  {
    std::lock_guard lock(m_lock);
    m_stop = true;
  }
  m_wake.notify_one();
  m_thread.join();
}

void TIdHTTPSessionCleanerThread::execute() noexcept {
  SetCurrentThreadName(u"");
  // The session events are the owner's code; what they raise must not end the program.
  auto guarded = [](auto&& action) {
    try {
      action();
    } catch (...) {
    }
  };
  std::unique_lock lock(m_lock);
  while (!m_wake.wait_for(lock, std::chrono::milliseconds(1000), [this] { return m_stop; })) {
    lock.unlock();
    guarded([this] { m_list.EndStaleSessions(); });
    lock.lock();
  }
  lock.unlock();
  guarded([this] { m_list.Clear(); });
}

}  // namespace tessarine::server
