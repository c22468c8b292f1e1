#include "net/client/ssl_schannel.h"

#define SECURITY_WIN32
#include <windows.h>
#include <winsock2.h>
// After windows.h.
#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

#include "common/text.h"
#include "net/socket_stack.h"
#include "net/socket_stack_winsock.h"

namespace tessarine::client {

namespace {

constexpr int kDefaultTimeoutMs = 30000;
constexpr size_t kReceiveChunk = 16 * 1024 + 512;
// SECURITY_FLAG_IGNORE_UNKNOWN_CA and SECURITY_FLAG_IGNORE_CERT_CN_INVALID of wininet.h, which this file needs for
// nothing else.
constexpr DWORD kIgnoreUnknownCa = 0x00000100;
constexpr DWORD kIgnoreNameMismatch = 0x00001000;

std::wstring Wide(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }

std::u16string WithDetail(std::u16string_view message, std::string_view detail) {
  if (message.empty()) return Widen(detail);
  std::u16string text(message);
  text += u"\r\n";
  text += Widen(detail);
  return text;
}

// The system's words for a status, or its number.
std::string StatusText(SECURITY_STATUS status) {
  char* buffer = nullptr;
  const DWORD size =
      FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, static_cast<DWORD>(status), 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
  std::string text = size > 0 ? std::string(buffer, size) : std::string();
  if (buffer != nullptr) LocalFree(buffer);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  char code[32];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(status));
  return text.empty() ? std::string("Schannel error ") + code : text + " (" + code + ")";
}

// Why a chain is not trusted, in the words OpenSSL's verification uses where there are such.
std::string TrustErrorText(DWORD status) {
  if (status & CERT_TRUST_IS_NOT_TIME_VALID) return "certificate has expired";
  if (status & CERT_TRUST_IS_REVOKED) return "certificate revoked";
  if (status & CERT_TRUST_IS_UNTRUSTED_ROOT) return "self-signed certificate or untrusted root";
  if (status & CERT_TRUST_IS_PARTIAL_CHAIN) return "unable to get local issuer certificate";
  if (status & CERT_TRUST_IS_NOT_SIGNATURE_VALID) return "certificate signature failure";
  if (status & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) return "unsuitable certificate purpose";
  char code[32];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(status));
  return std::string("chain error ") + code;
}

std::string PolicyErrorText(DWORD error, bool addressHost) {
  if (error == static_cast<DWORD>(CERT_E_CN_NO_MATCH)) return addressHost ? "IP address mismatch" : "hostname mismatch";
  if (error == static_cast<DWORD>(CERT_E_EXPIRED)) return "certificate has expired";
  if (error == static_cast<DWORD>(CERT_E_UNTRUSTEDROOT)) return "self-signed certificate or untrusted root";
  if (error == static_cast<DWORD>(CERT_E_CHAINING)) return "unable to get local issuer certificate";
  return StatusText(static_cast<SECURITY_STATUS>(error));
}

// The certificates of SSL_CERT_FILE (PEM), trusted besides the system's roots; read once per process. They are
// trusted by the program, not by a chain engine of their own: Wine's chain engines ignore an exclusive root store.
class ExtraRoots {
 public:
  ExtraRoots() {
    const char* file = std::getenv("SSL_CERT_FILE");
    if (file == nullptr || *file == '\0') return;
    std::ifstream in(file, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    static constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
    static constexpr std::string_view kEnd = "-----END CERTIFICATE-----";
    for (size_t at = text.find(kBegin); at != std::string::npos; at = text.find(kBegin, at)) {
      const size_t end = text.find(kEnd, at);
      if (end == std::string::npos) break;
      const std::string block = text.substr(at, end + kEnd.size() - at);
      at = end;
      DWORD size = 0;
      if (!CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                                &size, nullptr, nullptr))
        continue;
      std::vector<BYTE> der(size);
      if (!CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER, der.data(),
                                &size, nullptr, nullptr))
        continue;
      if (m_store == nullptr) m_store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
      if (m_store != nullptr)
        CertAddEncodedCertificateToStore(m_store, X509_ASN_ENCODING, der.data(), size, CERT_STORE_ADD_ALWAYS, nullptr);
    }
  }
  // Null without SSL_CERT_FILE.
  HCERTSTORE Store() const { return m_store; }
  // Whether certificate is one of them, byte for byte.
  bool Holds(PCCERT_CONTEXT certificate) const {
    if (m_store == nullptr) return false;
    PCCERT_CONTEXT found =
        CertFindCertificateInStore(m_store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, certificate, nullptr);
    if (found == nullptr) return false;
    CertFreeCertificateContext(found);
    return true;
  }

 private:
  HCERTSTORE m_store = nullptr;
};

const ExtraRoots& Extra() {
  static const ExtraRoots roots;
  return roots;
}

// The chain of the server's certificate for server authentication, built from what the server sent and the extra
// roots; its trust errors, 0 when trusted.
DWORD BuildChain(PCCERT_CONTEXT certificate, PCCERT_CHAIN_CONTEXT& chain) {
  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof(para);
  LPSTR usage = const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH);
  para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  para.RequestedUsage.Usage.cUsageIdentifier = 1;
  para.RequestedUsage.Usage.rgpszUsageIdentifier = &usage;
  chain = nullptr;
  HCERTSTORE stores = certificate->hCertStore;
  HCERTSTORE collection = nullptr;
  if (Extra().Store() != nullptr) {
    collection = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
    if (collection != nullptr) {
      CertAddStoreToCollection(collection, certificate->hCertStore, 0, 0);
      CertAddStoreToCollection(collection, Extra().Store(), 0, 0);
      stores = collection;
    }
  }
  const BOOL built = CertGetCertificateChain(nullptr, certificate, nullptr, stores, &para, 0, nullptr, &chain);
  if (collection != nullptr) CertCloseStore(collection, 0);
  if (!built) return CERT_TRUST_IS_PARTIAL_CHAIN;
  return chain->TrustStatus.dwErrorStatus;
}

// Whether the chain's only fault is a root the system does not know, and that root is one of the extra roots.
bool EndsInExtraRoot(PCCERT_CHAIN_CONTEXT chain, DWORD trust) {
  if (trust != CERT_TRUST_IS_UNTRUSTED_ROOT || chain->cChain != 1 || chain->rgpChain[0]->cElement == 0) return false;
  const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
  return Extra().Holds(simple->rgpElement[simple->cElement - 1]->pCertContext);
}

// Whether the certificate's subject alternative names hold the address host. Done here rather than left to the SSL
// policy, which under Wine compares the host with DNS names only and refuses every address.
bool NamesAddress(PCCERT_CONTEXT certificate, std::u16string_view host) {
  std::wstring text = Wide(host);
  sockaddr_storage address{};
  const BYTE* wanted = nullptr;
  DWORD wantedSize = 0;
  for (const int family : {AF_INET, AF_INET6}) {
    INT size = sizeof(address);
    if (WSAStringToAddressW(text.data(), family, nullptr, reinterpret_cast<sockaddr*>(&address), &size) != 0) continue;
    if (family == AF_INET) {
      wanted = reinterpret_cast<const BYTE*>(&reinterpret_cast<const sockaddr_in*>(&address)->sin_addr);
      wantedSize = 4;
    } else {
      wanted = reinterpret_cast<const BYTE*>(&reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr);
      wantedSize = 16;
    }
    break;
  }
  const CERT_INFO* info = certificate->pCertInfo;
  const CERT_EXTENSION* extension = CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
  if (wanted == nullptr || extension == nullptr) return false;
  CERT_ALT_NAME_INFO* names = nullptr;
  DWORD size = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData, extension->Value.cbData,
                           CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size))
    return false;
  bool found = false;
  for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
    const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
    found = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == wantedSize &&
            std::memcmp(entry.IPAddress.pbData, wanted, wantedSize) == 0;
  }
  LocalFree(names);
  return found;
}

// Empty when the certificate proves host, else why not.
std::string VerifyServer(PCCERT_CONTEXT certificate, std::u16string_view host) {
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  DWORD trust = BuildChain(certificate, chain);
  const bool extraRoot = chain != nullptr && EndsInExtraRoot(chain, trust);
  if (extraRoot) trust = 0;
  std::string reason;
  if (chain == nullptr) {
    reason = TrustErrorText(trust);
  } else if (trust != 0) {
    // Any trust error refuses the chain: the policy check below would let a partial chain through under Wine.
    reason = TrustErrorText(trust);
  } else {
    std::wstring name = Wide(host);
    HTTPSPolicyCallbackData https{};
    https.cbSize = sizeof(https);
    https.dwAuthType = AUTHTYPE_SERVER;
    https.pwszServerName = name.data();
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof(policy);
    policy.pvExtraPolicyPara = &https;
    // The root's trust was settled above; the policy still checks the name.
    if (extraRoot) {
      policy.dwFlags = CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG;
      https.fdwChecks = kIgnoreUnknownCa;
    }
    const bool addressHost = net::TIdStack::IsIPv4Literal(host) || net::TIdStack::IsIPv6Literal(host);
    if (addressHost) https.fdwChecks |= kIgnoreNameMismatch;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof(status);
    if (addressHost && !NamesAddress(certificate, host)) {
      reason = PolicyErrorText(static_cast<DWORD>(CERT_E_CN_NO_MATCH), true);
    } else if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status)) {
      reason = StatusText(static_cast<SECURITY_STATUS>(GetLastError()));
    } else if (status.dwError != 0) {
      reason = PolicyErrorText(status.dwError, addressHost);
    }
  }
  if (chain != nullptr) CertFreeCertificateChain(chain);
  return reason;
}

// SecInvalidateHandle and SecIsValidHandle without their C casts.
void Invalidate(SecHandle& handle) { handle.dwLower = handle.dwUpper = ~ULONG_PTR{0}; }
bool IsValid(const SecHandle& handle) { return handle.dwLower != ~ULONG_PTR{0} || handle.dwUpper != ~ULONG_PTR{0}; }

struct SchannelError {
  TSchannelFailure failure;
};

}  // namespace

// One Schannel context over one socket. It keeps the socket open for as long as it exists.
class TSchannelSession {
 public:
  TSchannelSession(net::TIdSocketUse socket, std::u16string host, net::TIdIOHandler::TDeadline deadline, int timeoutMs)
      : m_socket(std::move(socket)), m_host(std::move(host)), m_deadline(deadline), m_timeoutMs(timeoutMs) {
    Invalidate(m_credentials);
    Invalidate(m_context);
  }
  ~TSchannelSession() {
    if (m_established && !m_failed) sayGoodbye();
    if (IsValid(m_context)) DeleteSecurityContext(&m_context);
    if (IsValid(m_credentials)) FreeCredentialsHandle(&m_credentials);
  }
  TSchannelSession(const TSchannelSession&) = delete;
  TSchannelSession& operator=(const TSchannelSession&) = delete;

  void SetLimits(net::TIdIOHandler::TDeadline deadline, int timeoutMs) {
    m_deadline = deadline;
    m_timeoutMs = timeoutMs;
  }

  // Raises the connect failures; a failed socket call raises its socket error.
  void Handshake();
  // -1 with failure filled in; 0 at the peer's close_notify.
  ptrdiff_t Receive(uint8_t* buffer, size_t size, TSchannelFailure& failure);
  ptrdiff_t Send(const uint8_t* data, size_t size, TSchannelFailure& failure);
  bool Pending() const { return m_plainAt < m_plain.size(); }
  // Whether a receive would return without waiting for the socket: decrypted bytes, the peer's close_notify, or a
  // whole record already received, such as the close_notify that came with the last data.
  bool Ready() const {
    if (Pending() || m_closeNotify) return true;
    constexpr size_t kHeader = 5;
    if (m_incoming.size() < kHeader) return false;
    const size_t length =
        static_cast<size_t>(static_cast<uint8_t>(m_incoming[3])) << 8 | static_cast<uint8_t>(m_incoming[4]);
    return m_incoming.size() >= kHeader + length;
  }

 private:
  SOCKET socket() const { return net::SystemSocket(m_socket->Fd()); }
  void acquireCredentials();
  // Appends what the socket has to m_incoming; false on a failure or the end of the stream (m_eof).
  bool receiveMore(TSchannelFailure& failure);
  bool sendAll(const char* data, size_t size, TSchannelFailure& failure);
  void sendToken(SecBuffer& token);
  // Runs the handshake's token exchange from the current m_incoming; used again for renegotiation.
  SECURITY_STATUS exchange(bool first);
  void sayGoodbye();

  net::TIdSocketUse m_socket;
  std::u16string m_host;
  net::TIdIOHandler::TDeadline m_deadline;
  int m_timeoutMs;
  CredHandle m_credentials;
  CtxtHandle m_context;
  SecPkgContext_StreamSizes m_sizes{};
  std::vector<char> m_incoming;  // encrypted bytes not yet decrypted
  std::vector<uint8_t> m_plain;  // decrypted bytes not yet handed out, from m_plainAt on
  size_t m_plainAt = 0;
  bool m_established = false;
  bool m_failed = false;
  bool m_eof = false;
  bool m_closeNotify = false;
};

void TSchannelSession::acquireCredentials() {
  SCHANNEL_CRED credentials{};
  credentials.dwVersion = SCHANNEL_CRED_VERSION;
  // TLS 1.2 and 1.3 only: the older versions are broken. A system without TLS 1.3 is asked for 1.2 alone.
  credentials.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;
  // The certificate is checked here after the handshake, not by Schannel (Wine's checks none).
  credentials.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
  SECURITY_STATUS status = AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND,
                                                     nullptr, &credentials, nullptr, nullptr, &m_credentials, nullptr);
  if (status != SEC_E_OK) {
    credentials.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    status = AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr,
                                       &credentials, nullptr, nullptr, &m_credentials, nullptr);
  }
  if (status != SEC_E_OK) {
    Invalidate(m_credentials);
    throw EIdOSSLCreatingContextError(WithDetail(EIdOSSLCreatingContextError().Message(), StatusText(status)));
  }
}

bool TSchannelSession::receiveMore(TSchannelFailure& failure) {
  const SOCKET s = socket();
  if (m_deadline) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(*m_deadline - std::chrono::steady_clock::now()).count();
    // Ended at the deadline as the socket's own time-out would end it.
    if (left <= 0 || (left < m_timeoutMs && net::SelectOne(s, false, static_cast<int>(left)) == 0)) {
      failure.socketError = net::Id_WSAETIMEDOUT;
      return false;
    }
  }
  char chunk[kReceiveChunk];
  const int n = recv(s, chunk, static_cast<int>(sizeof chunk), 0);
  if (n > 0) {
    m_incoming.insert(m_incoming.end(), chunk, chunk + n);
    return true;
  }
  if (n == 0) {
    m_eof = true;
    failure.truncated = true;
    return false;
  }
  const int code = WSAGetLastError();
  failure.socketError = code == WSA_OPERATION_ABORTED ? net::Id_WSAECONNABORTED : code;
  return false;
}

bool TSchannelSession::sendAll(const char* data, size_t size, TSchannelFailure& failure) {
  while (size > 0) {
    const int n = send(socket(), data, static_cast<int>(std::min<size_t>(size, INT_MAX)), 0);
    if (n == SOCKET_ERROR) {
      const int code = WSAGetLastError();
      failure.socketError = code == WSA_OPERATION_ABORTED ? net::Id_WSAECONNABORTED : code;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

void TSchannelSession::sendToken(SecBuffer& token) {
  if (token.pvBuffer == nullptr) return;
  TSchannelFailure failure;
  const bool sent = token.cbBuffer == 0 || sendAll(static_cast<const char*>(token.pvBuffer), token.cbBuffer, failure);
  FreeContextBuffer(token.pvBuffer);
  token.pvBuffer = nullptr;
  if (!sent) throw SchannelError{failure};
}

SECURITY_STATUS TSchannelSession::exchange(bool first) {
  constexpr DWORD kFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                           ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR |
                           ISC_REQ_MANUAL_CRED_VALIDATION;
  // The server name goes out as written, also for an address.
  std::wstring target = Wide(m_host);
  SECURITY_STATUS status = SEC_I_CONTINUE_NEEDED;
  bool needInput = !first;
  while (true) {
    if (needInput) {
      TSchannelFailure failure;
      if (!receiveMore(failure)) throw SchannelError{failure};
    }
    SecBuffer input[2] = {{static_cast<ULONG>(m_incoming.size()), SECBUFFER_TOKEN, m_incoming.data()},
                          {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inputDesc{SECBUFFER_VERSION, 2, input};
    SecBuffer output[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc outputDesc{SECBUFFER_VERSION, 1, output};
    DWORD flags = 0;
    status = InitializeSecurityContextW(&m_credentials, first ? nullptr : &m_context, target.data(), kFlags, 0, 0,
                                        first ? nullptr : &inputDesc, 0, first ? &m_context : nullptr, &outputDesc,
                                        &flags, nullptr);
    first = false;
    sendToken(output[0]);
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
      needInput = true;
      continue;
    }
    // What the call did not take belongs to the next step (or, once done, to the first records).
    if (input[1].BufferType == SECBUFFER_EXTRA && input[1].cbBuffer > 0) {
      m_incoming.erase(m_incoming.begin(), m_incoming.end() - input[1].cbBuffer);
    } else if (status != SEC_I_CONTINUE_NEEDED || !m_incoming.empty()) {
      m_incoming.clear();
    }
    if (status == SEC_I_CONTINUE_NEEDED) {
      needInput = m_incoming.empty();
      continue;
    }
    return status;
  }
}

void TSchannelSession::Handshake() {
  acquireCredentials();
  SECURITY_STATUS status;
  try {
    status = exchange(true);
  } catch (const SchannelError& error) {
    m_failed = true;
    if (error.failure.truncated)
      throw EIdOSSLConnectError(
          WithDetail(EIdOSSLConnectError().Message(), "EOF was observed that violates the protocol"));
    net::GStack()->RaiseSocketError(error.failure.socketError);
  }
  if (status != SEC_E_OK) {
    m_failed = true;
    throw EIdOSSLUnderlyingCryptoError(WithDetail(EIdOSSLConnectError().Message(), StatusText(status)));
  }
  m_established = true;
  PCCERT_CONTEXT certificate = nullptr;
  std::string reason;
  if (QueryContextAttributesW(&m_context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) != SEC_E_OK ||
      certificate == nullptr) {
    reason = "no certificate from the server";
  } else {
    reason = VerifyServer(certificate, m_host);
    CertFreeCertificateContext(certificate);
  }
  if (!reason.empty()) {
    m_failed = true;
    throw EIdOSSLUnderlyingCryptoError(
        WithDetail(EIdOSSLConnectError().Message(), "error: certificate verify failed: " + reason));
  }
  if (QueryContextAttributesW(&m_context, SECPKG_ATTR_STREAM_SIZES, &m_sizes) != SEC_E_OK) {
    m_failed = true;
    throw EIdOSSLConnectError(WithDetail(EIdOSSLConnectError().Message(), "no stream sizes"));
  }
}

ptrdiff_t TSchannelSession::Receive(uint8_t* buffer, size_t size, TSchannelFailure& failure) {
  while (!Pending()) {
    if (m_closeNotify) return 0;
    if (m_incoming.empty() && !receiveMore(failure)) return -1;
    SecBuffer buffers[4] = {{static_cast<ULONG>(m_incoming.size()), SECBUFFER_DATA, m_incoming.data()},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
    constexpr char kAlertRecord = 21;
    const bool alert = m_incoming[0] == kAlertRecord;
    const SECURITY_STATUS status = DecryptMessage(&m_context, &desc, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
      if (!receiveMore(failure)) return -1;
      continue;
    }
    if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE && status != SEC_I_CONTEXT_EXPIRED) {
      m_failed = true;
      failure.detail = StatusText(status);
      return -1;
    }
    std::vector<char> extra;
    for (const SecBuffer& b : buffers) {
      if (b.BufferType == SECBUFFER_DATA && b.cbBuffer > 0) {
        const auto* bytes = static_cast<const uint8_t*>(b.pvBuffer);
        m_plain.erase(m_plain.begin(), m_plain.begin() + static_cast<ptrdiff_t>(m_plainAt));
        m_plainAt = 0;
        m_plain.insert(m_plain.end(), bytes, bytes + b.cbBuffer);
      } else if (b.BufferType == SECBUFFER_EXTRA && b.cbBuffer > 0) {
        extra.assign(m_incoming.end() - b.cbBuffer, m_incoming.end());
      }
    }
    const bool decryptedNothing = std::none_of(std::begin(buffers), std::end(buffers), [](const SecBuffer& b) {
      return b.BufferType == SECBUFFER_DATA && b.cbBuffer > 0;
    });
    m_incoming.swap(extra);
    // The peer's close_notify: an orderly end of stream once what came before it is read. Wine's Schannel reports
    // it as an alert record that decrypts to nothing, not as an expired context.
    if (status == SEC_I_CONTEXT_EXPIRED || (status == SEC_E_OK && alert && decryptedNothing)) {
      m_closeNotify = true;
    } else if (status == SEC_I_RENEGOTIATE) {
      // Post-handshake messages (TLS 1.3 tickets, a key update): handed back to the handshake.
      try {
        const SECURITY_STATUS again = exchange(false);
        if (again != SEC_E_OK) {
          m_failed = true;
          failure.detail = StatusText(again);
          return -1;
        }
      } catch (const SchannelError& error) {
        failure = error.failure;
        return -1;
      }
    }
  }
  const size_t n = std::min(size, m_plain.size() - m_plainAt);
  std::memcpy(buffer, m_plain.data() + m_plainAt, n);
  m_plainAt += n;
  return static_cast<ptrdiff_t>(n);
}

ptrdiff_t TSchannelSession::Send(const uint8_t* data, size_t size, TSchannelFailure& failure) {
  std::vector<char> record;
  size_t sent = 0;
  while (sent < size) {
    const size_t chunk = std::min<size_t>(size - sent, m_sizes.cbMaximumMessage);
    record.resize(m_sizes.cbHeader + chunk + m_sizes.cbTrailer);
    std::memcpy(record.data() + m_sizes.cbHeader, data + sent, chunk);
    SecBuffer buffers[4] = {{m_sizes.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
                            {static_cast<ULONG>(chunk), SECBUFFER_DATA, record.data() + m_sizes.cbHeader},
                            {m_sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + m_sizes.cbHeader + chunk},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = EncryptMessage(&m_context, 0, &desc, 0);
    if (status != SEC_E_OK) {
      m_failed = true;
      failure.detail = StatusText(status);
      return -1;
    }
    if (!sendAll(record.data(), buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer, failure)) return -1;
    sent += chunk;
  }
  return static_cast<ptrdiff_t>(sent);
}

void TSchannelSession::sayGoodbye() {
  DWORD type = SCHANNEL_SHUTDOWN;
  SecBuffer control[1] = {{sizeof(type), SECBUFFER_TOKEN, &type}};
  SecBufferDesc controlDesc{SECBUFFER_VERSION, 1, control};
  if (ApplyControlToken(&m_context, &controlDesc) != SEC_E_OK) return;
  SecBuffer output[1] = {{0, SECBUFFER_TOKEN, nullptr}};
  SecBufferDesc outputDesc{SECBUFFER_VERSION, 1, output};
  DWORD flags = 0;
  std::wstring target = Wide(m_host);
  InitializeSecurityContextW(&m_credentials, &m_context, target.data(),
                             ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                 ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM,
                             0, 0, nullptr, 0, nullptr, &outputDesc, &flags, nullptr);
  if (output[0].pvBuffer == nullptr) return;
  // Never waits for a peer that stopped reading: what the socket does not take at once is dropped.
  u_long nonBlocking = 1;
  ioctlsocket(socket(), FIONBIO, &nonBlocking);
  send(socket(), static_cast<const char*>(output[0].pvBuffer), static_cast<int>(output[0].cbBuffer), 0);
  FreeContextBuffer(output[0].pvBuffer);
}

std::unique_ptr<TIdSSLIOHandlerSocketBase> NewTlsIOHandler() {
  return std::make_unique<TIdSSLIOHandlerSocketSchannel>();
}

TIdSSLIOHandlerSocketSchannel::TIdSSLIOHandlerSocketSchannel() = default;

TIdSSLIOHandlerSocketSchannel::~TIdSSLIOHandlerSocketSchannel() = default;

std::shared_ptr<TSchannelSession> TIdSSLIOHandlerSocketSchannel::session() const {
  std::lock_guard lock(m_lock);
  return m_session;
}

void TIdSSLIOHandlerSocketSchannel::releaseTLS() {
  std::shared_ptr<TSchannelSession> session;
  {
    std::lock_guard lock(m_lock);
    session = std::move(m_session);
  }
}

int TIdSSLIOHandlerSocketSchannel::socketTimeout() const {
  return ReadTimeout() > 0 ? ReadTimeout() : kDefaultTimeoutMs;
}

void TIdSSLIOHandlerSocketSchannel::SetPassThrough(bool passThrough) {
  const bool changed = passThrough != PassThrough();
  TIdSSLIOHandlerSocketBase::SetPassThrough(passThrough);
  const net::TIdSocketUse socket = Binding() != nullptr ? Binding()->Use() : nullptr;
  if (!changed || !socket || !Opened()) return;
  if (passThrough) {
    const DWORD none = 0;
    setsockopt(net::SystemSocket(socket->Fd()), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&none),
               sizeof(none));
    setsockopt(net::SystemSocket(socket->Fd()), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&none),
               sizeof(none));
  } else if (!session()) {
    startTLS();
  }
}

void TIdSSLIOHandlerSocketSchannel::Open() {
  releaseTLS();
  TIdSSLIOHandlerSocketBase::Open();
}

void TIdSSLIOHandlerSocketSchannel::Close() {
  releaseTLS();
  TIdSSLIOHandlerSocketBase::Close();
}

void TIdSSLIOHandlerSocketSchannel::ConnectToPeer() {
  TIdSSLIOHandlerSocketBase::ConnectToPeer();
  startTLS();
}

void TIdSSLIOHandlerSocketSchannel::startTLS() {
  if (PassThrough()) return;
  // Without a name only the chain would be checked, and any certificate a trusted authority signed would do.
  if (Host().empty())
    throw EIdOSSLConnectError(WithDetail(EIdOSSLConnectError().Message(), "no host name to check the certificate for"));
  const net::TIdSocketUse socket = Binding() != nullptr ? Binding()->Use() : nullptr;
  if (!socket) net::GStack()->RaiseSocketError(net::Id_WSAENOTSOCK);
  // Every TLS call on the socket, the handshake included, gives up after this long without progress.
  const DWORD limit = static_cast<DWORD>(socketTimeout());
  const SOCKET s = net::SystemSocket(socket->Fd());
  if (setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit), sizeof(limit)) != 0 ||
      setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&limit), sizeof(limit)) != 0)
    net::GStack()->RaiseLastSocketError();
  auto tls = std::make_shared<TSchannelSession>(socket, Host(), Deadline(), socketTimeout());
  {
    std::lock_guard lock(m_lock);
    m_session = tls;
  }
  tls->Handshake();
}

void TIdSSLIOHandlerSocketSchannel::noteFailure(TSchannelFailure failure) {
  failure.aborted = Binding() == nullptr || !Binding()->HandleAllocated();
  m_lastFailure = std::move(failure);
}

ptrdiff_t TIdSSLIOHandlerSocketSchannel::ReceiveRaw(uint8_t* buffer, size_t size) {
  if (PassThrough()) return TIdSSLIOHandlerSocketBase::ReceiveRaw(buffer, size);
  // Held for the whole call: a Close from another thread cannot free the session under it.
  const std::shared_ptr<TSchannelSession> tls = session();
  if (!tls) net::GStack()->RaiseSocketError(net::Id_WSAENOTSOCK);
  tls->SetLimits(Deadline(), socketTimeout());
  TSchannelFailure failure;
  const ptrdiff_t n = tls->Receive(buffer, size, failure);
  if (n < 0) noteFailure(std::move(failure));
  return n;
}

ptrdiff_t TIdSSLIOHandlerSocketSchannel::SendRaw(const uint8_t* data, size_t size) {
  if (PassThrough()) return TIdSSLIOHandlerSocketBase::SendRaw(data, size);
  const std::shared_ptr<TSchannelSession> tls = session();
  if (!tls) net::GStack()->RaiseSocketError(net::Id_WSAENOTSOCK);
  tls->SetLimits(Deadline(), socketTimeout());
  TSchannelFailure failure;
  const ptrdiff_t n = tls->Send(data, size, failure);
  if (n < 0) noteFailure(std::move(failure));
  return n;
}

int TIdSSLIOHandlerSocketSchannel::CheckRawError(ptrdiff_t result) {
  if (PassThrough()) return TIdSSLIOHandlerSocketBase::CheckRawError(result);
  const TSchannelFailure& failure = m_lastFailure;
  if (failure.aborted) return net::Id_WSAECONNABORTED;
  if (failure.truncated) throw EIdOpenSSLAPISSLError(std::string_view("EOF was observed that violates the protocol"));
  if (failure.socketError != 0) {
    // A socket error: the plain rules apply, so the time-out 10060 counts as a time-out.
    WSASetLastError(failure.socketError);
    return TIdSSLIOHandlerSocketBase::CheckRawError(result);
  }
  throw EIdOSSLUnderlyingCryptoError(Widen(failure.detail));
}

void TIdSSLIOHandlerSocketSchannel::RaiseError(int errorCode) {
  if (PassThrough() || net::IsConnectionEnd(errorCode) || errorCode == net::Id_WSAETIMEDOUT)
    TIdSSLIOHandlerSocketBase::RaiseError(errorCode);
  throw EIdOpenSSLAPISSLError(net::GStack()->WSTranslateSocketErrorMsg(errorCode));
}

bool TIdSSLIOHandlerSocketSchannel::Readable(int msec) {
  if (!PassThrough()) {
    const std::shared_ptr<TSchannelSession> tls = session();
    if (tls && tls->Ready()) return true;
  }
  return TIdSSLIOHandlerSocketBase::Readable(msec);
}

}  // namespace tessarine::client
