#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "net/io_handler.h"
#include "net/socket_handle.h"

namespace tessarine::net {

// An I/O handler over one socket handle (Binding), created on the first Open and freed with the
// handler; it also carries the local binding wishes of a client connect.
class TIdIOHandlerSocket : public TIdIOHandler {
 public:
  using TNotifyEvent = std::function<void()>;

  TIdIOHandlerSocket() = default;
  ~TIdIOHandlerSocket() override;

  // nullptr before the first Open; once made, the same handle for the handler's life.
  TIdSocketHandle* Binding() const { return m_binding.load(); }
  TIdIPVersion IPVersion() const { return m_ipVersion; }
  void SetIPVersion(TIdIPVersion ipVersion) { m_ipVersion = ipVersion; }
  bool UseNagle() const { return m_useNagle; }
  void SetUseNagle(bool useNagle);
  TIdReuseSocket ReuseSocket() const { return m_reuseSocket; }
  void SetReuseSocket(TIdReuseSocket reuse) { m_reuseSocket = reuse; }
  const std::u16string& BoundIP() const { return m_boundIP; }
  void SetBoundIP(std::u16string ip) { m_boundIP = std::move(ip); }
  uint16_t BoundPort() const { return m_boundPort; }
  void SetBoundPort(uint16_t port) { m_boundPort = port; }
  uint16_t BoundPortMin() const { return m_boundPortMin; }
  void SetBoundPortMin(uint16_t port) { m_boundPortMin = port; }
  uint16_t BoundPortMax() const { return m_boundPortMax; }
  void SetBoundPortMax(uint16_t port) { m_boundPortMax = port; }

  void SetOnBeforeBind(TNotifyEvent handler) { m_onBeforeBind = std::move(handler); }
  void SetOnAfterBind(TNotifyEvent handler) { m_onAfterBind = std::move(handler); }
  void SetOnSocketAllocated(TNotifyEvent handler) { m_onSocketAllocated = std::move(handler); }

  void AfterAccept() override;
  void CheckForDisconnect(bool raiseIfDisconnected = true, bool ignoreBuffer = false) override;
  void Close() override;
  // Resets (or creates) the binding, then connects when Host and Port are set; a failed connect
  // closes the handler before the error travels on.
  void Open() override;

 protected:
  void DoBeforeBind();
  void DoAfterBind();
  void DoSocketAllocated();

 private:
  // Published atomically: a Close from another thread may look for it while the first Open creates it.
  std::atomic<TIdSocketHandle*> m_binding{nullptr};
  TIdIPVersion m_ipVersion = Id_IPv4;
  bool m_useNagle = true;
  TIdReuseSocket m_reuseSocket = rsOSDependent;
  std::u16string m_boundIP;
  uint16_t m_boundPort = 0;
  uint16_t m_boundPortMin = 0;
  uint16_t m_boundPortMax = 0;
  TNotifyEvent m_onBeforeBind;
  TNotifyEvent m_onAfterBind;
  TNotifyEvent m_onSocketAllocated;
};

}  // namespace tessarine::net
