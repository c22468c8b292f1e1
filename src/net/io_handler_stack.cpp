#include "net/io_handler_stack.h"

#include "net/exceptions.h"

namespace tessarine::net {

ptrdiff_t TIdIOHandlerStack::ReceiveRaw(uint8_t* buffer, size_t size) {
  return static_cast<ptrdiff_t>(Binding()->Receive(buffer, size));
}

ptrdiff_t TIdIOHandlerStack::SendRaw(const uint8_t* data, size_t size) {
  return static_cast<ptrdiff_t>(Binding()->Send(data, size));
}

bool TIdIOHandlerStack::RawAvailable() { return Binding() != nullptr && Binding()->HandleAllocated(); }

int TIdIOHandlerStack::CheckRawError(ptrdiff_t /*result*/) {
  const int code = GStack()->WSGetLastError();
  if (IsConnectionEnd(code) || code == Id_WSAETIMEDOUT) return code;
  GStack()->RaiseSocketError(code);
}

void TIdIOHandlerStack::RaiseError(int errorCode) { GStack()->RaiseSocketError(errorCode); }

bool TIdIOHandlerStack::Readable(int msec) {
  if (Binding() == nullptr) throw EIdConnClosedGracefully();
  return Binding()->Readable(msec);
}

bool TIdIOHandlerStack::Connected() {
  FillInputBuffer(false, 0, false);
  return !InputBufferIsEmpty() || (RawAvailable() && Opened() && !ClosedGracefully());
}

void TIdIOHandlerStack::ConnectToPeer() {
  if (Binding() == nullptr) throw EIdNotConnected();
  TIdSocketHandle& binding = *Binding();
  DoBeforeBind();
  binding.SetIPVersion(IPVersion());
  binding.AllocateSocket();
  DoSocketAllocated();
  if (!BoundIP().empty()) binding.SetIP(BoundIP());
  binding.SetPort(BoundPort());
  binding.SetClientPortMin(BoundPortMin());
  binding.SetClientPortMax(BoundPortMax());
  binding.SetReuseSocket(ReuseSocket());
  binding.Bind();
  binding.SetUseNagle(UseNagle());
  DoAfterBind();

  std::u16string ip;
  if (IPVersion() == Id_IPv4) {
    ip = TIdStack::IsIPv4Literal(Host()) ? Host() : GStack()->ResolveHost(Host(), Id_IPv4);
  } else {
    ip = TIdStack::MakeCanonicalIPv6Address(Host());
    if (ip.empty()) ip = GStack()->ResolveHost(Host(), Id_IPv6);
  }
  // A port the socket address cannot hold would silently connect elsewhere.
  if (Port() <= 0 || Port() > 65535) GStack()->RaiseSocketError(10049);
  binding.SetPeer(ip, static_cast<uint16_t>(Port()), IPVersion());

  // A deadline turns even an unlimited connect into one that ends when the time left is up.
  if (ConnectTimeout() == 0 && !Deadline()) {
    binding.Connect();
    return;
  }
  const int limit = CapToDeadline(ConnectTimeout() <= 0 ? -1 : ConnectTimeout());
  bool connected;
  try {
    connected = limit == 0 ? false : binding.Connect(limit);
  } catch (const EIdSocketError& e) {
    // A socket closed under the connect reports as not-a-socket; that is not the peer's answer.
    if (e.LastError() != 10009 && e.LastError() != Id_WSAENOTSOCK) throw;
    throw EIdConnectException(e.Message());
  } catch (const EIdException& e) {
    throw EIdConnectException(e.Message());
  }
  if (!connected) {
    Close();
    throw EIdConnectTimeout();
  }
}

}  // namespace tessarine::net
