#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/component.h"
#include "net/server/context.h"
#include "net/server/listener_thread.h"
#include "net/server/scheduler.h"
#include "net/server/server_io_handler.h"
#include "net/socket_handle.h"

namespace tessarine::server {

// A TCP server: one listener thread per binding, one worker thread per connection.
//
// Configuration and events are set on the owner's thread while the server is off. Active() may be read from
// any thread; switching is done by one thread at a time.
class TIdCustomTCPServer : public net::TIdComponent {
 public:
  using TIdServerThreadEvent = std::function<void(TIdContext&)>;
  using TIdServerThreadExceptionEvent = std::function<void(TIdContext&, std::exception_ptr)>;
  using TIdListenExceptionEvent = std::function<void(TIdListenerThread&, std::exception_ptr)>;
  using TIdListenerThreadEvent = std::function<void(TIdListenerThread&)>;
  using TIdSocketHandleEvent = std::function<void(net::TIdSocketHandle&)>;
  using TNotifyEvent = std::function<void()>;

  static constexpr uint16_t kDefaultPort = 80;
  static constexpr int kDefaultListenQueue = 15;

  TIdCustomTCPServer();
  ~TIdCustomTCPServer() override;

  bool Active() const { return m_active.load(); }
  // true: binds and starts listening; any failure leaves the server fully off and is raised. false: stops
  // listening, closes every connection and returns once every thread has ended. The current value: nothing.
  void SetActive(bool active);

  // Empty at activation: one IPv4 and (when the system has IPv6) one IPv6 any-address binding on DefaultPort
  // are added, and kept for later activations.
  net::TIdSocketHandles& Bindings() { return m_bindings; }
  uint16_t DefaultPort() const { return m_bindings.DefaultPort(); }
  void SetDefaultPort(uint16_t port) { m_bindings.SetDefaultPort(port); }
  int ListenQueue() const { return m_listenQueue; }
  void SetListenQueue(int backlog) { m_listenQueue = backlog; }
  // 0: no limit.
  int MaxConnections() const { return m_maxConnections; }
  void SetMaxConnections(int maxConnections) { m_maxConnections = maxConnections; }
  net::TIdReuseSocket ReuseSocket() const { return m_reuseSocket; }
  void SetReuseSocket(net::TIdReuseSocket reuse) { m_reuseSocket = reuse; }
  bool UseNagle() const { return m_useNagle; }
  void SetUseNagle(bool useNagle) { m_useNagle = useNagle; }
  // The component name; threads are named after it.
  const std::u16string& Name() const { return m_name; }
  void SetName(std::u16string name) { m_name = std::move(name); }

  // nullptr until activation creates the implicit one. A scheduler set here is not owned; changing it while
  // active raises "Cannot change the scheduler while the server is Active.".
  TIdScheduler* Scheduler() const { return m_scheduler; }
  void SetScheduler(TIdScheduler* scheduler);
  TIdServerIOHandler* IOHandler() const { return m_ioHandler; }
  void SetIOHandler(TIdServerIOHandler* ioHandler);
  TIdContextList& Contexts() { return m_contexts; }

  TIdServerThreadEvent OnConnect;
  TIdServerThreadEvent OnDisconnect;
  TIdServerThreadEvent OnContextCreated;
  TIdServerThreadEvent OnExecute;
  TIdServerThreadExceptionEvent OnException;
  TIdListenExceptionEvent OnListenException;
  TIdSocketHandleEvent OnBeforeBind;
  TNotifyEvent OnAfterBind;
  TIdListenerThreadEvent OnBeforeListenerRun;

 protected:
  virtual void CheckOkToBeActive() {}
  virtual void ContextCreated(TIdContext& context);
  virtual void ContextConnected(TIdContext& context);
  virtual void ContextDisconnected(TIdContext& context);
  virtual void DoBeforeBind(net::TIdSocketHandle& binding);
  virtual void DoAfterBind();
  virtual void DoBeforeListenerRun(TIdListenerThread& thread);
  virtual void DoConnect(TIdContext& context);
  virtual void DoDisconnect(TIdContext& context);
  virtual void DoException(TIdContext& context, std::exception_ptr error);
  // Runs OnExecute; true while the connection is up (the task then runs again).
  virtual bool DoExecute(TIdContext& context);
  virtual void DoListenException(TIdListenerThread& thread, std::exception_ptr error);
  virtual void DoMaxConnectionsExceeded(net::TIdIOHandler& ioHandler);
  // An accept found no descriptor left: closes a connection so that the queued one can be taken, and says
  // whether it did. Runs on a listener thread.
  virtual bool MakeRoomForAccept() { return false; }
  // Disconnects without farewell; may run on another thread than the context's.
  virtual void DoTerminateContext(TIdContext& context);
  virtual std::unique_ptr<TIdServerContext> CreateContext(std::unique_ptr<net::TIdTCPConnection> connection,
                                                          TIdYarn* yarn);
  virtual void Startup();
  virtual void Shutdown();

  // For the destructors of derived servers: shuts down while their overrides are still in place.
  void Deactivate() noexcept;

 private:
  friend class TIdListenerThread;
  void startListening();
  void stopListening();
  void terminateAllThreads();
  // One pass of a listener's loop (runs on that listener's thread).
  void acceptOne(TIdListenerThread& thread);

  std::atomic<bool> m_active{false};
  net::TIdSocketHandles m_bindings{kDefaultPort};
  int m_listenQueue = kDefaultListenQueue;
  int m_maxConnections = 0;
  net::TIdReuseSocket m_reuseSocket = net::rsOSDependent;
  bool m_useNagle = true;
  std::u16string m_name;

  TIdScheduler* m_scheduler = nullptr;
  std::unique_ptr<TIdScheduler> m_implicitScheduler;
  TIdServerIOHandler* m_ioHandler = nullptr;
  std::unique_ptr<TIdServerIOHandler> m_implicitIOHandler;
  TIdContextList m_contexts;
  std::mutex m_listenersLock;
  std::vector<std::unique_ptr<TIdListenerThread>> m_listeners;
};

}  // namespace tessarine::server
