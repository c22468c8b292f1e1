#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "net/ip_version.h"

namespace tessarine::net {

using TIdStackSocketHandle = int;
constexpr TIdStackSocketHandle Id_INVALID_SOCKET = -1;

// Family codes of the Windows socket interface; the stack maps them to the system's own.
constexpr int Id_PF_INET4 = 2;
constexpr int Id_PF_INET6 = 23;

// Socket types, levels and options by their Windows Sockets values; each stack maps them to its system's.
constexpr int Id_SOCK_STREAM = 1;
constexpr int Id_SOL_SOCKET = 0xFFFF;
constexpr int Id_SO_REUSEADDR = 0x0004;
constexpr int Id_SO_TYPE = 0x1008;
constexpr int Id_IPPROTO_TCP = 6;
constexpr int Id_TCP_NODELAY = 0x0001;

// Windows Sockets error codes the connection layers act on.
constexpr int Id_WSAEWOULDBLOCK = 10035;
constexpr int Id_WSAENOTSOCK = 10038;
constexpr int Id_WSAECONNABORTED = 10053;
constexpr int Id_WSAECONNRESET = 10054;
constexpr int Id_WSAESHUTDOWN = 10058;
constexpr int Id_WSAETIMEDOUT = 10060;

// The peer or the system ended the connection (aborted, reset, shut down): a read to the end stops there.
constexpr bool IsConnectionEnd(int errorCode) {
  return errorCode == Id_WSAECONNABORTED || errorCode == Id_WSAECONNRESET || errorCode == Id_WSAESHUTDOWN;
}

// Resolver codes (the Windows Sockets numbering) for name look-ups.
constexpr int Id_WSAHOST_NOT_FOUND = 11001;
constexpr int Id_WSATRY_AGAIN = 11002;
constexpr int Id_WSANO_RECOVERY = 11003;
constexpr int Id_WSANO_DATA = 11004;

// The process-wide socket stack. Exactly one instance exists while at least one network object
// (component, buffer, socket handle) holds a usage; GStack() returns it, or nullptr when none.
// Every failing call raises; see RaiseSocketError for the codes and texts.
class TIdStack {
 public:
  using TIdStackClass = std::unique_ptr<TIdStack> (*)();

  virtual ~TIdStack();
  TIdStack(const TIdStack&) = delete;
  TIdStack& operator=(const TIdStack&) = delete;

  // Usage counting: the 0 -> 1 step creates the instance, the 1 -> 0 step frees it.
  static void IncUsage();
  static void DecUsage();
  // The factory IncUsage uses; nullptr makes IncUsage raise "Stack Class is undefined.".
  static void SetStackClass(TIdStackClass stackClass);
  static TIdStackClass StackClass();

  // "LOCALHOST" (any case) and literals are answered here; anything else goes to HostByName.
  std::u16string ResolveHost(std::u16string_view host, TIdIPVersion ipVersion = Id_IPv4);

  virtual std::u16string HostByName(std::u16string_view name, TIdIPVersion ipVersion = Id_IPv4) = 0;
  // Id_INVALID_SOCKET on failure (never raises for a failed accept).
  virtual TIdStackSocketHandle Accept(TIdStackSocketHandle listening, std::u16string& ip, uint16_t& port,
                                      TIdIPVersion& ipVersion) = 0;
  virtual void Bind(TIdStackSocketHandle socket, std::u16string_view ip, uint16_t port, TIdIPVersion ipVersion) = 0;
  // timeoutMs -1 waits until the system gives up; returns false only when the time ran out.
  virtual bool Connect(TIdStackSocketHandle socket, std::u16string_view ip, uint16_t port, TIdIPVersion ipVersion,
                       int timeoutMs = -1) = 0;
  // Shuts down both directions (wakes threads waiting on the socket).
  virtual void Disconnect(TIdStackSocketHandle socket) = 0;
  virtual void GetPeerName(TIdStackSocketHandle socket, std::u16string& ip, uint16_t& port,
                           TIdIPVersion* ipVersion = nullptr) = 0;
  virtual void GetSocketName(TIdStackSocketHandle socket, std::u16string& ip, uint16_t& port,
                             TIdIPVersion* ipVersion = nullptr) = 0;
  virtual void Listen(TIdStackSocketHandle socket, int backlog) = 0;
  // The calling thread's last socket error as a Windows Sockets code.
  virtual int WSGetLastError() = 0;
  virtual std::u16string WSTranslateSocketErrorMsg(int errorCode) = 0;
  // EIdNotASocket for 10038, EIdSocketError otherwise, with WSTranslateSocketErrorMsg's text.
  [[noreturn]] void RaiseSocketError(int errorCode);
  [[noreturn]] void RaiseLastSocketError();
  virtual int GetSocketOption(TIdStackSocketHandle socket, int level, int optionName) = 0;
  virtual void SetSocketOption(TIdStackSocketHandle socket, int level, int optionName, int value) = 0;
  // Both raise on failure; Receive returns 0 at an orderly end of stream.
  virtual size_t Receive(TIdStackSocketHandle socket, uint8_t* buffer, size_t size) = 0;
  virtual size_t Send(TIdStackSocketHandle socket, const uint8_t* buffer, size_t size) = 0;
  virtual bool SupportsIPv6() = 0;
  virtual void CloseSocket(TIdStackSocketHandle socket) = 0;
  // Without raising: -1 with the error left for WSGetLastError.
  virtual ptrdiff_t RecvRaw(TIdStackSocketHandle socket, uint8_t* buffer, size_t size) = 0;
  virtual ptrdiff_t SendRaw(TIdStackSocketHandle socket, const uint8_t* buffer, size_t size) = 0;
  // Waits until the socket is readable (data, end of stream or an error); -1 waits without limit.
  virtual bool WaitReadable(TIdStackSocketHandle socket, int timeoutMs) = 0;
  // A new socket of the given Windows family code; raises on failure.
  virtual TIdStackSocketHandle WSSocket(int family, int type, int protocol) = 0;
  // Whether a listener must ask for address reuse to bind again while old connections of its port wait in
  // TIME_WAIT. Windows binds them without; there the option would let a second listener take the port.
  virtual bool ListenerRebindNeedsReuse() const { return false; }

  // Four decimal parts 0..255.
  static bool IsIPv4Literal(std::u16string_view text);
  static bool IsIPv6Literal(std::u16string_view text);
  // Names that never leave this machine (localhost, 127.0.0.0/8, ::1); a name the resolver would have to look up is
  // not one of them.
  static bool IsLoopbackHost(std::u16string_view host);
  // Eight upper-case hexadecimal groups without leading zeros or compression; empty when not a literal.
  static std::u16string MakeCanonicalIPv6Address(std::u16string_view text);
  // The same form from the 16 address bytes in network order.
  static std::u16string IPv6ToText(const uint8_t* addressBytes);

 protected:
  TIdStack() = default;
};

// The instance, or nullptr while no network object exists.
TIdStack* GStack();

// Holds one usage of the stack for as long as it lives.
class TIdStackUsage {
 public:
  TIdStackUsage() { TIdStack::IncUsage(); }
  TIdStackUsage(const TIdStackUsage&) { TIdStack::IncUsage(); }
  TIdStackUsage& operator=(const TIdStackUsage&) = default;
  ~TIdStackUsage() { TIdStack::DecUsage(); }
};

// Shared part of every BSD-socket stack: the error messages.
class TIdStackBSDBase : public TIdStack {
 public:
  // "Socket Error # %d\r\n%s" with the code's text, empty for a code outside the table.
  std::u16string WSTranslateSocketErrorMsg(int errorCode) override;

 protected:
  TIdStackBSDBase() = default;
};

}  // namespace tessarine::net
