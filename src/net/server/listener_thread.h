#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "net/socket_handle.h"

namespace tessarine::server {

class TIdCustomTCPServer;

// Accepts the connections of one listening binding and hands each to a worker thread.
class TIdListenerThread {
 public:
  TIdListenerThread(TIdCustomTCPServer& server, net::TIdSocketHandle& binding, std::u16string name);
  // Stops and waits.
  ~TIdListenerThread();
  TIdListenerThread(const TIdListenerThread&) = delete;
  TIdListenerThread& operator=(const TIdListenerThread&) = delete;

  TIdCustomTCPServer& Server() const { return m_server; }
  net::TIdSocketHandle& Binding() const { return m_binding; }
  const std::u16string& Name() const { return m_name; }

  // Set before Start.
  std::function<void(TIdListenerThread&)> OnBeforeRun;

  void Start();
  // Asks the loop to end; it notices within one accept wait.
  void Terminate() { m_stopped.store(true); }
  bool Stopped() const { return m_stopped.load(); }
  void WaitFor();

 private:
  void execute() noexcept;
  // One pass of the accept loop.
  void run();

  TIdCustomTCPServer& m_server;
  net::TIdSocketHandle& m_binding;
  const std::u16string m_name;
  std::atomic<bool> m_stopped{false};
  std::thread m_thread;
};

}  // namespace tessarine::server
