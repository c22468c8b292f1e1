#include "net/server/tcp_server.h"

#include <chrono>
#include <thread>

#include "common/text.h"
#include "net/exceptions.h"
#include "net/server/server_exceptions.h"

namespace tessarine::server {

namespace {

// After a failed pass (no thread to be had, say) the listener waits this long before the next one.
constexpr auto kListenRetryPause = std::chrono::milliseconds(10);
// After closing a connection to free a descriptor: long enough for a worker woken from a read of it to let the
// descriptor go, short enough not to leave the queue waiting.
constexpr auto kRoomMadePause = std::chrono::milliseconds(1);

bool descriptorsExhausted(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const net::EIdSocketError& e) {
    return e.LastError() == kDescriptorsExhausted;
  } catch (...) {
    return false;
  }
}

// Runs an event hook; what it raises is dropped, because its caller is a thread function or clean-up.
template <typename F>
void guarded(F&& action) noexcept {
  try {
    action();
  } catch (...) {
  }
}

}  // namespace

TIdCustomTCPServer::TIdCustomTCPServer() = default;

TIdCustomTCPServer::~TIdCustomTCPServer() { Deactivate(); }

void TIdCustomTCPServer::Deactivate() noexcept {
  guarded([this] { SetActive(false); });
}

void TIdCustomTCPServer::SetActive(bool active) {
  if (active == m_active.load()) return;
  if (!active) {
    m_active.store(false);
    Shutdown();
    return;
  }
  CheckOkToBeActive();
  try {
    Startup();
  } catch (...) {
    guarded([this] { Shutdown(); });
    throw;
  }
  m_active.store(true);
}

void TIdCustomTCPServer::SetScheduler(TIdScheduler* scheduler) {
  if (Active()) throw EIdException(std::string_view("Cannot change the scheduler while the server is Active."));
  if (m_implicitScheduler && scheduler != m_implicitScheduler.get()) m_implicitScheduler.reset();
  m_scheduler = scheduler;
}

void TIdCustomTCPServer::SetIOHandler(TIdServerIOHandler* ioHandler) {
  if (m_implicitIOHandler && ioHandler != m_implicitIOHandler.get()) m_implicitIOHandler.reset();
  m_ioHandler = ioHandler;
}

void TIdCustomTCPServer::Startup() {
  if (m_bindings.Count() == 0) {
    m_bindings.Add().SetIPVersion(net::Id_IPv4);
    if (net::GStack()->SupportsIPv6()) m_bindings.Add().SetIPVersion(net::Id_IPv6);
  }
  if (m_ioHandler == nullptr) {
    m_implicitIOHandler = std::make_unique<TIdServerIOHandlerStack>();
    m_ioHandler = m_implicitIOHandler.get();
  }
  m_ioHandler->Init();
  if (m_scheduler == nullptr) {
    m_implicitScheduler = std::make_unique<TIdSchedulerOfThreadDefault>();
    m_implicitScheduler->SetName(m_name + u"Scheduler");
    m_scheduler = m_implicitScheduler.get();
  }
  m_contexts.Open();
  startListening();
}

void TIdCustomTCPServer::startListening() {
  std::lock_guard lock(m_listenersLock);
  int bound = 0;
  try {
    for (; bound < m_bindings.Count(); ++bound) {
      net::TIdSocketHandle& binding = m_bindings[bound];
      binding.AllocateSocket();
      if (m_reuseSocket != net::rsOSDependent) binding.SetReuseSocket(m_reuseSocket);
      DoBeforeBind(binding);
      // The platform default this stands for is the Windows one, where a listener binds again while old
      // connections of its port wait in TIME_WAIT; Linux needs SO_REUSEADDR for that. It does not let a
      // second listener take the port there (on Windows it would).
      const net::TIdReuseSocket own = binding.ReuseSocket();
      if (own == net::rsOSDependent && net::GStack()->ListenerRebindNeedsReuse()) binding.SetReuseSocket(net::rsTrue);
      try {
        binding.Bind();
      } catch (...) {
        binding.SetReuseSocket(own);
        throw;
      }
      binding.SetReuseSocket(own);
      binding.SetUseNagle(m_useNagle);
    }
  } catch (...) {
    for (int i = 0; i < bound; ++i) m_bindings[i].CloseSocket();
    throw;
  }
  DoAfterBind();
  for (int i = 0; i < m_bindings.Count(); ++i) {
    net::TIdSocketHandle& binding = m_bindings[i];
    binding.Listen(m_listenQueue);
    auto thread = std::make_unique<TIdListenerThread>(*this, binding, m_name + u" Listener #" + IntToStr(i + 1));
    thread->OnBeforeRun = [this](TIdListenerThread& listener) { DoBeforeListenerRun(listener); };
    m_listeners.push_back(std::move(thread));
    m_listeners.back()->Start();
  }
}

void TIdCustomTCPServer::Shutdown() {
  stopListening();
  terminateAllThreads();
  if (m_implicitScheduler) {
    m_implicitScheduler.reset();
    m_scheduler = nullptr;
  }
  if (m_ioHandler != nullptr) m_ioHandler->Shutdown();
}

void TIdCustomTCPServer::stopListening() {
  std::lock_guard lock(m_listenersLock);
  for (auto& thread : m_listeners) {
    thread->Terminate();
    thread->Binding().CloseSocket();
    thread->WaitFor();
  }
  m_listeners.clear();
  // A start-up that failed between binding and listening leaves bound sockets without a thread.
  for (int i = 0; i < m_bindings.Count(); ++i) m_bindings[i].CloseSocket();
}

void TIdCustomTCPServer::terminateAllThreads() {
  m_contexts.CloseAndForEach([this](TIdContext& context) { guarded([&] { DoTerminateContext(context); }); });
  if (m_scheduler != nullptr) m_scheduler->TerminateAllYarns();
}

void TIdCustomTCPServer::acceptOne(TIdListenerThread& thread) {
  TIdScheduler& scheduler = *m_scheduler;
  TIdYarn* yarn = nullptr;
  std::unique_ptr<net::TIdTCPConnection> connection;
  std::unique_ptr<TIdServerContext> context;
  try {
    yarn = scheduler.AcquireYarn();
    std::unique_ptr<net::TIdIOHandler> handler = m_ioHandler->Accept(thread.Binding(), thread, yarn);
    if (!handler) {
      thread.Terminate();
      scheduler.TerminateYarn(yarn);
      return;
    }
    connection = std::make_unique<net::TIdTCPConnection>();
    connection->SetIOHandler(std::move(handler));
    if (m_maxConnections > 0 && m_contexts.Count() >= m_maxConnections) {
      DoMaxConnectionsExceeded(*connection->IOHandler());
      connection->Disconnect(false);
      connection.reset();
      scheduler.TerminateYarn(yarn);
      return;
    }
    context = CreateContext(std::move(connection), yarn);
    context->OnBeforeRun = [this](TIdContext& c) { ContextConnected(c); };
    context->OnRun = [this](TIdContext& c) { return DoExecute(c); };
    context->OnAfterRun = [this](TIdContext& c) { ContextDisconnected(c); };
    context->OnException = [this](TIdContext& c, std::exception_ptr error) { DoException(c, std::move(error)); };
    ContextCreated(*context);
    scheduler.StartYarn(yarn, std::move(context));
  } catch (...) {
    const std::exception_ptr error = std::current_exception();
    // The connection is dropped (its socket closes with it); the listener goes on.
    guarded([&] {
      if (context) connection = context->ReleaseConnection();
      context.reset();
      connection.reset();
    });
    if (yarn != nullptr) guarded([&] { scheduler.TerminateYarn(yarn); });
    guarded([&] { DoListenException(thread, error); });
    bool roomMade = false;
    if (descriptorsExhausted(error)) guarded([&] { roomMade = MakeRoomForAccept(); });
    if (!thread.Stopped()) std::this_thread::sleep_for(roomMade ? kRoomMadePause : kListenRetryPause);
  }
}

std::unique_ptr<TIdServerContext> TIdCustomTCPServer::CreateContext(std::unique_ptr<net::TIdTCPConnection> connection,
                                                                    TIdYarn* yarn) {
  return std::make_unique<TIdServerContext>(std::move(connection), yarn, &m_contexts, this);
}

void TIdCustomTCPServer::ContextCreated(TIdContext& context) {
  if (OnContextCreated) OnContextCreated(context);
}

void TIdCustomTCPServer::ContextConnected(TIdContext& context) { DoConnect(context); }

void TIdCustomTCPServer::ContextDisconnected(TIdContext& context) { DoDisconnect(context); }

void TIdCustomTCPServer::DoBeforeBind(net::TIdSocketHandle& binding) {
  if (OnBeforeBind) OnBeforeBind(binding);
}

void TIdCustomTCPServer::DoAfterBind() {
  if (OnAfterBind) OnAfterBind();
}

void TIdCustomTCPServer::DoBeforeListenerRun(TIdListenerThread& thread) {
  if (OnBeforeListenerRun) OnBeforeListenerRun(thread);
}

void TIdCustomTCPServer::DoConnect(TIdContext& context) {
  if (OnConnect) OnConnect(context);
}

void TIdCustomTCPServer::DoDisconnect(TIdContext& context) {
  if (OnDisconnect) OnDisconnect(context);
}

void TIdCustomTCPServer::DoException(TIdContext& context, std::exception_ptr error) {
  if (OnException) OnException(context, std::move(error));
}

bool TIdCustomTCPServer::DoExecute(TIdContext& context) {
  if (OnExecute) OnExecute(context);
  return context.Connection() != nullptr && context.Connection()->Connected();
}

void TIdCustomTCPServer::DoListenException(TIdListenerThread& thread, std::exception_ptr error) {
  if (OnListenException) OnListenException(thread, std::move(error));
}

void TIdCustomTCPServer::DoMaxConnectionsExceeded(net::TIdIOHandler& /*ioHandler*/) {}

void TIdCustomTCPServer::DoTerminateContext(TIdContext& context) {
  if (context.Connection() != nullptr) context.Connection()->Disconnect(false);
}

}  // namespace tessarine::server
