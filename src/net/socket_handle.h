#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/socket_stack.h"

namespace tessarine::net {

enum TIdReuseSocket : uint8_t { rsOSDependent, rsTrue, rsFalse };

// One open descriptor. A handle and every thread blocked on it share it; the last holder closes it,
// so a descriptor number is never reused while a call may still be using it.
class TIdSocketDescriptor {
 public:
  explicit TIdSocketDescriptor(TIdStackSocketHandle fd) : m_fd(fd) {}
  ~TIdSocketDescriptor();
  TIdSocketDescriptor(const TIdSocketDescriptor&) = delete;
  TIdSocketDescriptor& operator=(const TIdSocketDescriptor&) = delete;

  TIdStackSocketHandle Fd() const { return m_fd; }

 private:
  TIdStackUsage m_usage;
  TIdStackSocketHandle m_fd;
};

using TIdSocketUse = std::shared_ptr<const TIdSocketDescriptor>;

class TIdSocketHandles;

// One socket with its local and peer address. The owner thread drives it; any thread may call
// CloseSocket, which wakes the owner blocked in Readable, Receive, Accept or Connect.
class TIdSocketHandle {
 public:
  // A handle created in a collection takes the collection's DefaultPort.
  explicit TIdSocketHandle(const TIdSocketHandles* collection = nullptr);
  ~TIdSocketHandle();
  TIdSocketHandle(const TIdSocketHandle&) = delete;
  TIdSocketHandle& operator=(const TIdSocketHandle&) = delete;

  // -1 when no socket is held.
  TIdStackSocketHandle Handle() const;
  bool HandleAllocated() const;
  // The descriptor kept open for the caller's use; empty when none is held. Transports that call
  // the system on the descriptor themselves (TLS) hold one for the duration of each call.
  TIdSocketUse Use() const;

  const std::u16string& IP() const { return m_ip; }
  void SetIP(std::u16string ip) { m_ip = std::move(ip); }
  uint16_t Port() const { return m_port; }
  void SetPort(uint16_t port) { m_port = port; }
  const std::u16string& PeerIP() const { return m_peerIP; }
  uint16_t PeerPort() const { return m_peerPort; }
  TIdIPVersion IPVersion() const { return m_ipVersion; }
  void SetIPVersion(TIdIPVersion ipVersion);
  uint16_t ClientPortMin() const { return m_clientPortMin; }
  void SetClientPortMin(uint16_t port) { m_clientPortMin = port; }
  uint16_t ClientPortMax() const { return m_clientPortMax; }
  void SetClientPortMax(uint16_t port) { m_clientPortMax = port; }
  TIdReuseSocket ReuseSocket() const { return m_reuseSocket; }
  void SetReuseSocket(TIdReuseSocket reuse) { m_reuseSocket = reuse; }
  bool UseNagle() const { return m_useNagle; }
  void SetUseNagle(bool useNagle);
  int SocketType() const { return m_socketType; }

  void AllocateSocket(int socketType = Id_SOCK_STREAM, int protocol = 0);
  void Bind();
  void Listen(int backlog = 15);
  // Takes one pending connection of listening; false when the accept failed.
  bool Accept(const TIdSocketHandle& listening);
  void SetPeer(std::u16string ip, uint16_t port, TIdIPVersion ipVersion = Id_IPv4);
  // timeoutMs -1 waits until the system gives up; false only when the time ran out.
  bool Connect(int timeoutMs = -1);
  // -1 waits without limit.
  bool Readable(int msec = -1);
  size_t Receive(uint8_t* buffer, size_t size);
  size_t Receive(std::vector<uint8_t>& buffer) { return Receive(buffer.data(), buffer.size()); }
  size_t Send(const uint8_t* data, size_t size);
  size_t Send(const std::vector<uint8_t>& bytes, size_t offset = 0, size_t size = SIZE_MAX);
  void CloseSocket();
  void Reset(bool resetLocal = true);
  void UpdateBindingLocal();
  void UpdateBindingPeer();

 private:
  TIdSocketUse requireSocket() const;
  void takeSocket(TIdStackSocketHandle fd);
  bool tryBind(const TIdSocketUse& socket, uint16_t port);

  TIdStackUsage m_usage;
  // Serialises closing against taking a socket and the address update after a connect.
  mutable std::mutex m_lock;
  TIdSocketUse m_socket;
  std::u16string m_ip;
  uint16_t m_port = 0;
  std::u16string m_peerIP;
  uint16_t m_peerPort = 0;
  TIdIPVersion m_ipVersion = Id_IPv4;
  uint16_t m_clientPortMin = 0;
  uint16_t m_clientPortMax = 0;
  TIdReuseSocket m_reuseSocket = rsOSDependent;
  bool m_useNagle = true;
  int m_socketType = 0;
};

// An owned collection of handles; Add creates one on DefaultPort.
class TIdSocketHandles {
 public:
  explicit TIdSocketHandles(uint16_t defaultPort = 0) : m_defaultPort(defaultPort) {}

  uint16_t DefaultPort() const { return m_defaultPort; }
  void SetDefaultPort(uint16_t port) { m_defaultPort = port; }

  TIdSocketHandle& Add();
  int Count() const { return static_cast<int>(m_items.size()); }
  // Raises "List index out of bounds (%d)" outside the collection.
  TIdSocketHandle& Items(int index) const;
  TIdSocketHandle& operator[](int index) const { return Items(index); }
  void Delete(int index);
  void Clear() { m_items.clear(); }

 private:
  uint16_t m_defaultPort;
  std::vector<std::unique_ptr<TIdSocketHandle>> m_items;
};

}  // namespace tessarine::net
