#include "net/socket_stack.h"

#include <atomic>
#include <mutex>

#include "common/text.h"
#include "net/exceptions.h"
#include "net/socket_platform.h"

namespace tessarine::net {

namespace {

// Constant-initialised so that usages released during static destruction still find them.
std::mutex g_stackLock;
int g_usageCount = 0;
TIdStack::TIdStackClass g_stackClass = &CreateDefaultStack;
std::atomic<TIdStack*> g_stack{nullptr};

struct ErrorText {
  int code;
  const char* text;
};

constexpr ErrorText kErrorTexts[] = {
    {10004, "Interrupted system call."},
    {10009, "Bad file number."},
    {10013, "Access denied."},
    {10014, "Buffer fault."},
    {10022, "Invalid argument."},
    {10024, "Too many open files."},
    {10035, "Operation would block."},
    {10036, "Operation now in progress."},
    {10037, "Operation already in progress."},
    {10038, "Socket operation on non-socket."},
    {10039, "Destination address required."},
    {10040, "Message too long."},
    {10041, "Protocol wrong type for socket."},
    {10042, "Bad protocol option."},
    {10043, "Protocol not supported."},
    {10044, "Socket type not supported."},
    {10045, "Operation not supported on socket."},
    {10046, "Protocol family not supported."},
    {10047, "Address family not supported by protocol family."},
    {10048, "Address already in use."},
    {10049, "Cannot assign requested address."},
    {10050, "Network is down."},
    {10051, "Network is unreachable."},
    {10052, "Net dropped connection or reset."},
    {10053, "Software caused connection abort."},
    {10054, "Connection reset by peer."},
    {10055, "No buffer space available."},
    {10056, "Socket is already connected."},
    {10057, "Socket is not connected."},
    {10058, "Cannot send or receive after socket is closed."},
    {10059, "Too many references, cannot splice."},
    {10060, "Connection timed out."},
    {10061, "Connection refused."},
    {10062, "Too many levels of symbolic links."},
    {10063, "File name too long."},
    {10064, "Host is down."},
    {10065, "No route to host."},
    {10066, "Directory not empty"},
    {11001, "Host not found."},
    // The resolver's other outcomes: without words of their own, no network at all read "Socket Error # 11002"
    // and nothing else.
    {11002, "Host not found, try again later (no network?)."},
    {11003, "Name server failure; the name cannot be resolved."},
    {11004, "Host name is valid, but has no address."},
};

bool IsAsciiDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

}  // namespace

TIdStack* GStack() { return g_stack.load(std::memory_order_acquire); }

TIdStack::~TIdStack() = default;

void TIdStack::IncUsage() {
  std::lock_guard lock(g_stackLock);
  if (g_usageCount == 0) {
    // The count moves only after the instance exists, so a failed creation leaves no phantom usage.
    if (g_stackClass == nullptr) throw EIdException(std::string_view("Stack Class is undefined."));
    if (g_stack.load(std::memory_order_relaxed) != nullptr)
      throw EIdException(std::string_view("Stack already created."));
    std::unique_ptr<TIdStack> stack = g_stackClass();
    g_stack.store(stack.release(), std::memory_order_release);
  }
  ++g_usageCount;
}

void TIdStack::DecUsage() {
  std::lock_guard lock(g_stackLock);
  if (g_usageCount == 0) return;
  if (--g_usageCount == 0) delete g_stack.exchange(nullptr, std::memory_order_acq_rel);
}

void TIdStack::SetStackClass(TIdStackClass stackClass) {
  std::lock_guard lock(g_stackLock);
  g_stackClass = stackClass;
}

TIdStack::TIdStackClass TIdStack::StackClass() {
  std::lock_guard lock(g_stackLock);
  return g_stackClass;
}

void TIdStack::RaiseLastSocketError() { RaiseSocketError(WSGetLastError()); }

std::u16string TIdStack::ResolveHost(std::u16string_view host, TIdIPVersion ipVersion) {
  switch (ipVersion) {
    case Id_IPv4:
      if (SameTextAscii(host, u"LOCALHOST")) return u"127.0.0.1";
      if (IsIPv4Literal(host)) return std::u16string(host);
      return HostByName(host, ipVersion);
    case Id_IPv6: {
      if (SameTextAscii(host, u"LOCALHOST")) return u"::1";
      std::u16string canonical = MakeCanonicalIPv6Address(host);
      if (!canonical.empty()) return canonical;
      return HostByName(host, ipVersion);
    }
  }
  throw EIdIPVersionUnsupported();
}

bool TIdStack::IsLoopbackHost(std::u16string_view host) {
  if (SameTextAscii(host, u"localhost")) return true;
  if (IsIPv4Literal(host)) return host.starts_with(u"127.");
  return MakeCanonicalIPv6Address(host) == u"0:0:0:0:0:0:0:1";
}

bool TIdStack::IsIPv4Literal(std::u16string_view text) {
  int parts = 0;
  size_t i = 0;
  while (true) {
    const size_t start = i;
    unsigned value = 0;
    while (i < text.size() && IsAsciiDigit(text[i])) {
      value = value * 10 + static_cast<unsigned>(text[i] - u'0');
      if (value > 255) return false;
      ++i;
    }
    if (i == start) return false;
    ++parts;
    if (i == text.size()) return parts == 4;
    if (text[i] != u'.' || parts == 4) return false;
    ++i;
  }
}

bool TIdStack::IsIPv6Literal(std::u16string_view text) { return !MakeCanonicalIPv6Address(text).empty(); }

std::u16string TIdStack::MakeCanonicalIPv6Address(std::u16string_view text) {
  if (text.empty() || text.size() > 64) return {};
  std::string ascii;
  for (char16_t c : text) {
    if (c == 0 || c > 0x7F) return {};
    ascii.push_back(static_cast<char>(c));
  }
  uint8_t address[16] = {};
  if (!ParseIPv6Address(ascii, address)) return {};
  return IPv6ToText(address);
}

std::u16string TIdStack::IPv6ToText(const uint8_t* addressBytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::u16string result;
  for (int group = 0; group < 8; ++group) {
    if (group > 0) result.push_back(u':');
    const unsigned value = (unsigned{addressBytes[group * 2]} << 8) | addressBytes[group * 2 + 1];
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
      const unsigned digit = (value >> shift) & 0xF;
      if (digit != 0 || started || shift == 0) {
        result.push_back(static_cast<char16_t>(kHex[digit]));
        started = true;
      }
    }
  }
  return result;
}

std::u16string TIdStackBSDBase::WSTranslateSocketErrorMsg(int errorCode) {
  std::u16string message = u"Socket Error # " + IntToStr(errorCode) + u"\r\n";
  for (const ErrorText& entry : kErrorTexts) {
    if (entry.code == errorCode) {
      message += Widen(entry.text);
      break;
    }
  }
  return message;
}

void TIdStack::RaiseSocketError(int errorCode) {
  if (errorCode == 10038) throw EIdNotASocket(errorCode, WSTranslateSocketErrorMsg(errorCode));
  throw EIdSocketError(errorCode, WSTranslateSocketErrorMsg(errorCode));
}

}  // namespace tessarine::net
