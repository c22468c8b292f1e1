#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

#include <memory>
#include <string>

#include "net/socket_platform.h"
#include "net/socket_stack.h"

namespace tessarine::net {

// The stack on Windows Sockets 2 (version 2.2). Its error codes are the message table's own.
class TIdStackWindows : public TIdStackBSDBase {
 public:
  // Looks up name (its ASCII form, after IdnToAscii where the system has it) for one family (AF_INET or
  // AF_INET6) and stores the first address; returns 0 or a Windows Sockets code. Replaceable so that
  // look-ups can be observed without a name service.
  using TResolver = int (*)(const std::string& utf8Name, int family, sockaddr_storage& address);

  // Starts Windows Sockets once per process; raises EIdStackInitializationFailed when it cannot.
  TIdStackWindows();

  std::u16string HostByName(std::u16string_view name, TIdIPVersion ipVersion = Id_IPv4) override;
  TIdStackSocketHandle Accept(TIdStackSocketHandle listening, std::u16string& ip, uint16_t& port,
                              TIdIPVersion& ipVersion) override;
  void Bind(TIdStackSocketHandle socket, std::u16string_view ip, uint16_t port, TIdIPVersion ipVersion) override;
  bool Connect(TIdStackSocketHandle socket, std::u16string_view ip, uint16_t port, TIdIPVersion ipVersion,
               int timeoutMs = -1) override;
  void Disconnect(TIdStackSocketHandle socket) override;
  void GetPeerName(TIdStackSocketHandle socket, std::u16string& ip, uint16_t& port,
                   TIdIPVersion* ipVersion = nullptr) override;
  void GetSocketName(TIdStackSocketHandle socket, std::u16string& ip, uint16_t& port,
                     TIdIPVersion* ipVersion = nullptr) override;
  void Listen(TIdStackSocketHandle socket, int backlog) override;
  int WSGetLastError() override;
  int GetSocketOption(TIdStackSocketHandle socket, int level, int optionName) override;
  void SetSocketOption(TIdStackSocketHandle socket, int level, int optionName, int value) override;
  size_t Receive(TIdStackSocketHandle socket, uint8_t* buffer, size_t size) override;
  size_t Send(TIdStackSocketHandle socket, const uint8_t* buffer, size_t size) override;
  bool SupportsIPv6() override;
  void CloseSocket(TIdStackSocketHandle socket) override;
  ptrdiff_t RecvRaw(TIdStackSocketHandle socket, uint8_t* buffer, size_t size) override;
  ptrdiff_t SendRaw(TIdStackSocketHandle socket, const uint8_t* buffer, size_t size) override;
  bool WaitReadable(TIdStackSocketHandle socket, int timeoutMs) override;
  TIdStackSocketHandle WSSocket(int family, int type, int protocol) override;

  // nullptr restores the system resolver (GetAddrInfoW).
  static void SetResolver(TResolver resolver);
};

// The system's socket of a stack handle and back. Windows keeps socket values within 32 bits.
inline SOCKET SystemSocket(TIdStackSocketHandle socket) { return static_cast<SOCKET>(socket); }
inline TIdStackSocketHandle StackSocket(SOCKET socket) { return static_cast<TIdStackSocketHandle>(socket); }

// select() on one socket for reading (or, with forWrite, for a finished connect); -1 waits without limit.
// Returns 1 when ready, 0 when the time ran out, SOCKET_ERROR on failure.
int SelectOne(SOCKET socket, bool forWrite, int timeoutMs);

}  // namespace tessarine::net
