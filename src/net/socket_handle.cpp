#include "net/socket_handle.h"

#include <algorithm>

#include "common/string_list.h"
#include "common/text.h"
#include "net/exceptions.h"

namespace tessarine::net {

namespace {

int FamilyCode(TIdIPVersion ipVersion) {
  switch (ipVersion) {
    case Id_IPv4:
      return Id_PF_INET4;
    case Id_IPv6:
      return Id_PF_INET6;
  }
  throw EIdIPVersionUnsupported();
}

std::u16string PortRangeText(const char* prefix, uint16_t min, uint16_t max) {
  return Widen(prefix) + u" (" + IntToStr(min) + u" - " + IntToStr(max) + u")";
}

}  // namespace

TIdSocketDescriptor::~TIdSocketDescriptor() { GStack()->CloseSocket(m_fd); }

TIdSocketHandle::TIdSocketHandle(const TIdSocketHandles* collection) {
  if (collection != nullptr) m_port = collection->DefaultPort();
}

TIdSocketHandle::~TIdSocketHandle() { CloseSocket(); }

TIdStackSocketHandle TIdSocketHandle::Handle() const {
  std::lock_guard lock(m_lock);
  return m_socket ? m_socket->Fd() : Id_INVALID_SOCKET;
}

bool TIdSocketHandle::HandleAllocated() const {
  std::lock_guard lock(m_lock);
  return m_socket != nullptr;
}

TIdSocketUse TIdSocketHandle::Use() const {
  std::lock_guard lock(m_lock);
  return m_socket;
}

TIdSocketUse TIdSocketHandle::requireSocket() const {
  TIdSocketUse socket = Use();
  // What the system reports for a call on a socket that is gone.
  if (!socket) GStack()->RaiseSocketError(Id_WSAENOTSOCK);
  return socket;
}

void TIdSocketHandle::takeSocket(TIdStackSocketHandle fd) {
  auto socket = std::make_shared<const TIdSocketDescriptor>(fd);
  {
    std::lock_guard lock(m_lock);
    m_socket = socket;
  }
  m_socketType = GStack()->GetSocketOption(fd, Id_SOL_SOCKET, Id_SO_TYPE);
  if (m_socketType == Id_SOCK_STREAM) m_useNagle = GStack()->GetSocketOption(fd, Id_IPPROTO_TCP, Id_TCP_NODELAY) == 0;
}

void TIdSocketHandle::SetIPVersion(TIdIPVersion ipVersion) {
  if (ipVersion == m_ipVersion) return;
  if (HandleAllocated()) throw EIdCannotSetIPVersionWhenConnected();
  m_ipVersion = ipVersion;
}

void TIdSocketHandle::SetUseNagle(bool useNagle) {
  if (useNagle == m_useNagle) return;
  m_useNagle = useNagle;
  TIdSocketUse socket = Use();
  if (socket && m_socketType == Id_SOCK_STREAM)
    GStack()->SetSocketOption(socket->Fd(), Id_IPPROTO_TCP, Id_TCP_NODELAY, useNagle ? 0 : 1);
}

void TIdSocketHandle::AllocateSocket(int socketType, int protocol) {
  Reset(false);
  takeSocket(GStack()->WSSocket(FamilyCode(m_ipVersion), socketType, protocol));
}

bool TIdSocketHandle::tryBind(const TIdSocketUse& socket, uint16_t port) {
  try {
    GStack()->Bind(socket->Fd(), m_ip, port, m_ipVersion);
    return true;
  } catch (const EIdException&) {
    return false;
  }
}

void TIdSocketHandle::Bind() {
  const TIdSocketUse socket = requireSocket();
  GStack()->SetSocketOption(socket->Fd(), Id_SOL_SOCKET, Id_SO_REUSEADDR, m_reuseSocket == rsTrue ? 1 : 0);
  if (m_port == 0 && m_clientPortMin != 0 && m_clientPortMax != 0) {
    if (m_clientPortMax < m_clientPortMin)
      throw EIdInvalidPortRange(PortRangeText("Invalid Port Range", m_clientPortMin, m_clientPortMax));
    bool bound = false;
    for (int port = m_clientPortMax; port >= m_clientPortMin && !bound; --port)
      bound = tryBind(socket, static_cast<uint16_t>(port));
    if (!bound)
      throw EIdCanNotBindPortInRange(PortRangeText("Can not bind in port range", m_clientPortMin, m_clientPortMax));
  } else if (!tryBind(socket, m_port)) {
    // The system's reason is deliberately not passed on.
    throw EIdCouldNotBindSocket();
  }
  UpdateBindingLocal();
}

void TIdSocketHandle::Listen(int backlog) { GStack()->Listen(requireSocket()->Fd(), backlog); }

bool TIdSocketHandle::Accept(const TIdSocketHandle& listening) {
  Reset(true);
  const TIdSocketUse listener = listening.Use();
  if (!listener) return false;
  std::u16string peerIP;
  uint16_t peerPort = 0;
  TIdIPVersion ipVersion = Id_IPv4;
  const TIdStackSocketHandle fd = GStack()->Accept(listener->Fd(), peerIP, peerPort, ipVersion);
  if (fd == Id_INVALID_SOCKET) return false;
  m_ipVersion = ipVersion;
  takeSocket(fd);
  m_peerIP = std::move(peerIP);
  m_peerPort = peerPort;
  UpdateBindingLocal();
  return true;
}

void TIdSocketHandle::SetPeer(std::u16string ip, uint16_t port, TIdIPVersion ipVersion) {
  SetIPVersion(ipVersion);
  m_peerIP = std::move(ip);
  m_peerPort = port;
}

bool TIdSocketHandle::Connect(int timeoutMs) {
  const TIdSocketUse socket = requireSocket();
  if (!GStack()->Connect(socket->Fd(), m_peerIP, m_peerPort, m_ipVersion, timeoutMs)) return false;
  std::lock_guard lock(m_lock);
  if (m_socket) {
    GStack()->GetSocketName(m_socket->Fd(), m_ip, m_port);
    GStack()->GetPeerName(m_socket->Fd(), m_peerIP, m_peerPort);
  }
  return true;
}

bool TIdSocketHandle::Readable(int msec) {
  const TIdSocketUse socket = Use();
  if (!socket) throw EIdConnClosedGracefully();
  return GStack()->WaitReadable(socket->Fd(), msec < 0 ? -1 : msec);
}

size_t TIdSocketHandle::Receive(uint8_t* buffer, size_t size) {
  const TIdSocketUse socket = requireSocket();
  return GStack()->Receive(socket->Fd(), buffer, size);
}

size_t TIdSocketHandle::Send(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const TIdSocketUse socket = requireSocket();
  return GStack()->Send(socket->Fd(), data, size);
}

size_t TIdSocketHandle::Send(const std::vector<uint8_t>& bytes, size_t offset, size_t size) {
  if (offset >= bytes.size()) return 0;
  return Send(bytes.data() + offset, std::min(size, bytes.size() - offset));
}

void TIdSocketHandle::CloseSocket() {
  TIdSocketUse socket;
  {
    std::lock_guard lock(m_lock);
    socket = std::move(m_socket);
    m_socket.reset();
    // close() alone would not wake a thread blocked on the descriptor; shutdown does.
    if (socket) GStack()->Disconnect(socket->Fd());
  }
}

void TIdSocketHandle::Reset(bool resetLocal) {
  CloseSocket();
  m_peerIP.clear();
  m_peerPort = 0;
  if (resetLocal) {
    m_ip.clear();
    m_port = 0;
  }
}

void TIdSocketHandle::UpdateBindingLocal() {
  const TIdSocketUse socket = requireSocket();
  GStack()->GetSocketName(socket->Fd(), m_ip, m_port);
}

void TIdSocketHandle::UpdateBindingPeer() {
  const TIdSocketUse socket = requireSocket();
  GStack()->GetPeerName(socket->Fd(), m_peerIP, m_peerPort);
}

TIdSocketHandle& TIdSocketHandles::Add() {
  m_items.push_back(std::make_unique<TIdSocketHandle>(this));
  return *m_items.back();
}

TIdSocketHandle& TIdSocketHandles::Items(int index) const {
  if (index < 0 || index >= Count()) throw EStringListError::IndexOutOfBounds(index);
  return *m_items[static_cast<size_t>(index)];
}

void TIdSocketHandles::Delete(int index) {
  Items(index);
  m_items.erase(m_items.begin() + index);
}

}  // namespace tessarine::net
