#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "net/tcp_connection.h"

namespace tessarine::server {

class TIdYarn;
class TIdCustomTCPServer;

// A unit of work run by one worker thread: before run, run (repeated while it returns true), after run.
class TIdTask {
 public:
  explicit TIdTask(TIdYarn* yarn) : m_yarn(yarn) {}
  virtual ~TIdTask() = default;
  TIdTask(const TIdTask&) = delete;
  TIdTask& operator=(const TIdTask&) = delete;

  TIdYarn* Yarn() const { return m_yarn; }

  void DoBeforeRun() { BeforeRun(); }
  bool DoRun() { return Run(); }
  void DoAfterRun() { AfterRun(); }
  void DoException(std::exception_ptr error) { HandleException(std::move(error)); }

 protected:
  virtual void BeforeRun() {}
  virtual bool Run() = 0;
  virtual void AfterRun() {}
  virtual void HandleException(std::exception_ptr /*error*/) {}

 private:
  TIdYarn* const m_yarn;
};

class TIdContext;

// The live connection contexts of a server. Once closed (the server switching off), a context that comes to
// add itself is refused, so none can slip past the disconnect that shutdown gives to every listed one.
class TIdContextList {
 public:
  // False when the list is closed; the context is not added then.
  bool Add(TIdContext* context);
  void Remove(TIdContext* context);
  int Count() const;
  void Open();
  // Closes the list and calls action for every listed context, all under the lock.
  void CloseAndForEach(const std::function<void(TIdContext&)>& action);
  // A copy of the current members; only for callers that know the contexts stay alive.
  std::vector<TIdContext*> Snapshot() const;

 private:
  mutable std::mutex m_lock;
  std::vector<TIdContext*> m_items;
  bool m_closed = false;
};

// One accepted connection. It owns the connection until ReleaseConnection.
class TIdContext : public TIdTask {
 public:
  using TContextEvent = std::function<void(TIdContext&)>;
  using TContextRunEvent = std::function<bool(TIdContext&)>;
  using TContextExceptionEvent = std::function<void(TIdContext&, std::exception_ptr)>;

  TIdContext(std::unique_ptr<net::TIdTCPConnection> connection, TIdYarn* yarn, TIdContextList* contexts);
  ~TIdContext() override;

  net::TIdTCPConnection* Connection() const { return m_connection.get(); }
  std::unique_ptr<net::TIdTCPConnection> ReleaseConnection() { return std::move(m_connection); }
  TIdContextList* Contexts() const { return m_contexts; }

  // The four hooks the listener points at the server's operations.
  TContextEvent OnBeforeRun;
  TContextRunEvent OnRun;
  TContextEvent OnAfterRun;
  TContextExceptionEvent OnException;

 protected:
  void BeforeRun() override;
  bool Run() override;
  void AfterRun() override;
  void HandleException(std::exception_ptr error) override;

 private:
  std::unique_ptr<net::TIdTCPConnection> m_connection;
  TIdContextList* const m_contexts;
  bool m_listed = false;
};

class TIdServerContext : public TIdContext {
 public:
  TIdServerContext(std::unique_ptr<net::TIdTCPConnection> connection, TIdYarn* yarn, TIdContextList* contexts,
                   TIdCustomTCPServer* server)
      : TIdContext(std::move(connection), yarn, contexts), m_server(server) {}

  TIdCustomTCPServer* Server() const { return m_server; }

 private:
  TIdCustomTCPServer* const m_server;
};

}  // namespace tessarine::server
