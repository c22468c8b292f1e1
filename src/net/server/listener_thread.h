#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "net/io_handler.h"
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

  // Connections accepted ahead, in arrival order, not yet handed to a worker. Only the listener's own thread
  // touches them; those left when it ends are closed with it.
  std::deque<std::unique_ptr<net::TIdIOHandler>> AcceptedAhead;

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
