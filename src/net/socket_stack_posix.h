#pragma once

#include <sys/socket.h>

#include <memory>
#include <string>

#include "net/socket_platform.h"
#include "net/socket_stack.h"

namespace tessarine::net {

// The stack on POSIX sockets. Errors keep the Windows Sockets codes and texts: errno values are
// translated with WSErrorFromErrno, resolver results with WSErrorFromResolver.
class TIdStackPosix : public TIdStackBSDBase {
 public:
  // Looks up name for one family (AF_INET or AF_INET6) and stores the first address; returns 0 or
  // an EAI_* code. An internationalised name arrives in its ASCII form when libidn2 is installed.
  // Replaceable so that look-ups can be observed without a name service.
  using TResolver = int (*)(const std::string& utf8Name, int family, sockaddr_storage& address);

  TIdStackPosix() = default;

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
  bool ListenerRebindNeedsReuse() const override { return true; }

  // nullptr restores the system resolver (getaddrinfo).
  static void SetResolver(TResolver resolver);

 private:
  void addressFromSockaddr(const sockaddr_storage& address, std::u16string& ip, uint16_t& port,
                           TIdIPVersion* ipVersion);
};

// errno -> Windows Sockets code; a value without a counterpart is passed on unchanged (it lies
// outside the message table, so its text is empty).
int WSErrorFromErrno(int errnoValue);
// getaddrinfo result -> Windows Sockets code (EAI_NONAME -> 11001 "Host not found.").
int WSErrorFromResolver(int resolverCode, int errnoValue);

}  // namespace tessarine::net
