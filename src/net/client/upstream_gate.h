#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

#include "translate/service_interfaces.h"

namespace tessarine::client {

// Stands between the translation service and the upstream clients (the one client, and the pool's when there
// is a pool) so that switching the server off is never held up by an engine: while the gate is closed no engine
// call starts, and the calls already running are aborted until they have all returned.
class TUpstreamGate final : public translate::IUpstreamClient, public translate::IUpstreamPool {
 public:
  // abort ends the current calls of the client and of the pool's clients from another thread; it must be
  // harmless when no call runs. resume, when given, runs once the gate reopens, for clients whose abort keeps
  // failing calls until told.
  TUpstreamGate(translate::IUpstreamClient& client, std::function<void()> abort, std::function<void()> resume = {},
                translate::IUpstreamPool* pool = nullptr);

  void CustomHeadersAddValue(const std::u16string& name, const std::u16string& value) override;
  void CustomHeadersClear() override;
  void SetCarriesCredentials(bool carries) override { m_client.SetCarriesCredentials(carries); }
  // Raise "Disconnected." while the gate is closed.
  std::u16string Get(const std::u16string& url) override;
  std::u16string Post(const std::u16string& url, TStream& source) override;
  // Nothing when the gate refused the last call: the client's value belongs to an earlier one.
  std::optional<int64_t> RetryAfterSeconds() const override;
  std::optional<std::u16string> RefusedReplyText() const override;
  int RefusedStatusCode() const override;
  void SetCallTimeLimit(int milliseconds) override { m_client.SetCallTimeLimit(milliseconds); }
  std::u16string ReplyCharSet() const override { return m_client.ReplyCharSet(); }
  bool CallsStopped() const override { return Closed(); }

  // The pool's side: Take raises "Disconnected." while the gate is closed, and a client taken counts as a running
  // call until it is given back.
  translate::IUpstreamClient& Take() override;
  void GiveBack(translate::IUpstreamClient& client) override;
  // The gate as the translation service's pool, or nullptr when it was given none.
  translate::IUpstreamPool* Pool() { return m_pool != nullptr ? this : nullptr; }

  // Runs stop (which waits for every caller to finish) with the gate closed, aborting the client's calls
  // from a helper thread every few milliseconds meanwhile; reopens the gate afterwards.
  void RunClosed(const std::function<void()>& stop);

  bool Closed() const;

 private:
  // Counts a call in; raises when the gate is closed. Only the one client's calls are remembered as refused.
  void enter(bool pooled = false);
  void leave();

  translate::IUpstreamClient& m_client;
  std::function<void()> m_abort;
  std::function<void()> m_resume;
  translate::IUpstreamPool* m_pool;
  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_closed = false;       // guarded by m_mutex
  int m_running = 0;           // calls inside the clients, guarded by m_mutex
  bool m_lastRefused = false;  // guarded by m_mutex
};

}  // namespace tessarine::client
