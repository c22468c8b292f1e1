#include "net/server/listener_thread.h"

#include "net/server/tcp_server.h"
#include "net/server/thread_name.h"

namespace tessarine::server {

TIdListenerThread::TIdListenerThread(TIdCustomTCPServer& server, net::TIdSocketHandle& binding, std::u16string name)
    : m_server(server), m_binding(binding), m_name(std::move(name)) {}

TIdListenerThread::~TIdListenerThread() {
  Terminate();
  WaitFor();
}

void TIdListenerThread::Start() {
  m_thread = std::thread([this] { execute(); });
}

void TIdListenerThread::WaitFor() {
  if (m_thread.joinable()) m_thread.join();
}

void TIdListenerThread::execute() noexcept {
  SetCurrentThreadName(m_name);
  try {
    if (OnBeforeRun) OnBeforeRun(*this);
  } catch (...) {
    // Nothing may leave a thread function; a failing start-up hook costs only itself.
  }
  while (!Stopped()) run();
}

void TIdListenerThread::run() { m_server.acceptOne(*this); }

}  // namespace tessarine::server
