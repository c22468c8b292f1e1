#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "common/stream.h"
#include "net/client/tcp_client.h"
#include "net/header_info.h"
#include "net/uri.h"
#include "translate/service_interfaces.h"

namespace tessarine::client {

class TIdCompressorZLib;
class TIdCookieManager;
class TLimitedStream;

enum TIdHTTPProtocolVersion : uint8_t { pv1_0, pv1_1 };
enum TIdHTTPConnectionType : uint8_t { ctNormal, ctSSL, ctProxy, ctSSLProxy };
// What the request loop does after a reply's header block.
enum TIdHTTPWhatsNext : uint8_t { wnGoToURL, wnJustExit, wnDontKnow, wnReadAndGo, wnAuthRequest };

// HTTPOptions bits.
enum TIdHTTPOption : uint16_t {
  hoInProcessAuth = 0x001,
  hoKeepOrigProtocol = 0x002,
  hoForceEncodeParams = 0x004,
  hoNonSSLProxyUseConnectVerb = 0x008,
  hoNoParseMetaHTTPEquiv = 0x010,
  hoWaitForUnexpectedData = 0x020,
  hoTreat302Like303 = 0x040,
  hoNoProtocolErrorException = 0x080,
  hoNoReadMultipartMIME = 0x100,
  hoNoParseXmlCharset = 0x200,
  hoWantProtocolErrorContent = 0x400,
  hoNoReadChunked = 0x800,
};
using TIdHTTPOptions = uint16_t;

// The request record: its fields, and the header block composed from them.
class TIdHTTPRequest : public net::TIdRequestHeaderInfo {
 public:
  std::u16string URL;
  std::u16string Method;
  TStream* Source = nullptr;  // the caller's body, never owned
  TIdHTTPConnectionType UseProxy = ctNormal;
  std::u16string Destination;
  net::TIdIPVersion IPVersion = net::Id_IPv4;
  std::u16string Username;
  std::u16string Password;
  std::u16string ProxyConnection;
  bool BasicAuthentication = false;

  // RawHeaders := the entity fields, CustomHeaders as they are, then the request fields through SetValue.
  void SetHeaders();
};

// The response record of the last reply read.
class TIdHTTPResponse : public net::TIdResponseHeaderInfo {
 public:
  const std::u16string& ResponseText() const { return m_responseText; }
  void SetResponseText(std::u16string text);
  // The status code of ResponseText, -1 when it has none.
  int ResponseCode() const;
  TIdHTTPProtocolVersion ResponseVersion() const { return m_responseVersion; }

  // Empties every field read from a header block (not ResponseText).
  void Clear();
  // Derives the typed fields from RawHeaders.
  void ProcessHeaders();

  std::u16string Connection;
  std::u16string ProxyConnection;
  TStringList WWWAuthenticate;
  TStringList ProxyAuthenticate;
  TStream* ContentStream = nullptr;  // where the body of the current call goes
  net::TIdHeaderList MetaHTTPEquiv;  // lines gathered from an HTML body's META tags

 private:
  std::u16string m_responseText;
  mutable int m_responseCode = -2;  // -2: not derived yet
  TIdHTTPProtocolVersion m_responseVersion = pv1_0;
};

// The one upstream client through which every engine call goes. One call at a time: callers serialize
// their use. Abort may be called from any thread to end a call that is blocked on the network.
class TIdHTTP : public TIdTCPClientCustom, public translate::IUpstreamClient {
 public:
  // Configured as the program uses it: a TLS-capable connection object (plain TCP for "http"), gzip and
  // deflate, redirects followed, cookies kept, a connect limit of 15 s, a read limit of 30 s, 60 s for a whole
  // call, and the reply limits below.
  TIdHTTP();
  ~TIdHTTP() override;

  void CustomHeadersAddValue(const std::u16string& name, const std::u16string& value) override;
  void CustomHeadersClear() override;
  void SetCarriesCredentials(bool carries) override { m_carriesCredentials = carries; }
  std::u16string Get(const std::u16string& url) override;
  std::u16string Post(const std::u16string& url, TStream& source) override;
  // Retry-After of a refused last call, as delay seconds or an HTTP date.
  std::optional<int64_t> RetryAfterSeconds() const override { return m_retryAfter; }
  // The body of a refused last call, as its exception's ErrorMessage carries it.
  std::optional<std::u16string> RefusedReplyText() const override { return m_refusedReply; }
  int RefusedStatusCode() const override { return m_refusedStatus; }
  // For the calls from now on; a limit above the read time-out (30 s) lets each wait of the call last as long.
  void SetCallTimeLimit(int milliseconds) override { m_callTimeLimit = milliseconds; }
  // The reply's charset, or empty when its body was read one character per byte: no charset, one unknown or
  // without a code page, or Latin-1, which gives every byte the character of its value.
  std::u16string ReplyCharSet() const override;

  TIdHTTPRequest& Request() { return m_request; }
  const TIdHTTPResponse& Response() const { return m_response; }
  int ResponseCode() const { return m_response.ResponseCode(); }
  const std::u16string& ResponseText() const { return m_response.ResponseText(); }
  // The URL of the previous request, against which the next one is resolved.
  const net::TIdURI& URL() const { return m_url; }

  TIdHTTPProtocolVersion ProtocolVersion() const { return m_protocolVersion; }
  void SetProtocolVersion(TIdHTTPProtocolVersion version) { m_protocolVersion = version; }
  TIdHTTPOptions HTTPOptions() const { return m_options; }
  void SetHTTPOptions(TIdHTTPOptions options) { m_options = options; }
  bool HandleRedirects() const { return m_handleRedirects; }
  void SetHandleRedirects(bool handle) { m_handleRedirects = handle; }
  int RedirectMaximum() const { return m_redirectMaximum; }
  void SetRedirectMaximum(int maximum) { m_redirectMaximum = maximum; }
  int RedirectCount() const { return m_redirectCount; }
  bool AllowCookies() const { return m_allowCookies; }
  void SetAllowCookies(bool allow) { m_allowCookies = allow; }
  // nullptr until the first reply has been processed with cookies allowed.
  TIdCookieManager* CookieManager() const { return m_cookieManager.get(); }
  TIdCompressorZLib* Compressor() const { return m_compressor.get(); }

  // What one reply may bring, in bytes; 0 or less means no limit. A reply over a limit fails the call with
  // EIdHTTPReplyTooLarge and its connection is closed. The body as read from the connection (16 MiB; framing
  // included, and a body announced larger fails before it is read), the body after gzip or deflate decoding
  // (16 MiB), and the status line with the header lines, each counted with its CR LF (1 MiB; trailer lines of
  // a chunked body count on).
  int64_t MaxBodyBytes() const { return m_maxBodyBytes; }
  void SetMaxBodyBytes(int64_t bytes) { m_maxBodyBytes = bytes; }
  int64_t MaxDecodedBytes() const { return m_maxDecodedBytes; }
  void SetMaxDecodedBytes(int64_t bytes) { m_maxDecodedBytes = bytes; }
  int64_t MaxHeaderBlockBytes() const { return m_maxHeaderBlockBytes; }
  void SetMaxHeaderBlockBytes(int64_t bytes) { m_maxHeaderBlockBytes = bytes; }
  // Milliseconds one Get or Post may take from its start, interim replies, redirects and the body included
  // (60 s); 0 or less means no limit. Running out fails the call as a time-out ("Read timed out.", or "Connect
  // timed out." while connecting) and closes the connection.
  int CallTimeout() const { return m_callTimeout; }
  void SetCallTimeout(int timeout) { m_callTimeout = timeout; }

  // Ends the call in progress from another thread (its connection closes and the call raises) and makes every
  // call fail at once until ResumeCalls. The program does this while it switches the server off, so no worker
  // thread waits for an engine.
  void Abort();
  void ResumeCalls();

 protected:
  // The request loop of one Get or Post; the answer's body goes to responseStream.
  void DoRequest(const std::u16string& method, const std::u16string& url, TStream* source, TStream* responseStream);

 private:
  void prepareRequest();
  // The call's credentials (SetCarriesCredentials, or custom headers that carry them) stay at the origin of its
  // first request, and go over plain http to this machine only; raises ECredentialsWithheld before sending.
  void checkCredentialsMayGo();
  void connectToHost();
  void connectOrReuse(TIdHTTPConnectionType type);
  void sendRequest();
  void readStatusAndHeaders();
  void retrieveHeaders();
  // Counts a line of the header block (trailers included) against its limit.
  void chargeHeaderLine(const std::u16string& line);
  // Raises the time-out once the call's deadline has passed; the waits end there by themselves, this catches a
  // peer whose bytes never let a wait begin.
  void checkDeadline() const;
  // Closes the connection after a call that failed, unless its reply was read whole and allows keep-alive.
  void endFailedCall(bool keepConnection);
  void takeCookies();
  TIdHTTPWhatsNext processResponse();
  TIdHTTPWhatsNext processRedirect(int code);
  [[noreturn]] void raiseProtocolError(int code);
  // Reads the body as the reply frames it into target (nullptr drops it) and decodes its content coding.
  void readResult(TStream* target);
  void readChunked(TLimitedStream& target);
  void readMultipart(TLimitedStream& target, std::u16string_view boundary);
  void applyCharsetRules(TStream& target, int64_t bodyStart);
  bool keepAlive();
  std::u16string decodeText(const TMemoryStream& stream) const;
  void checkNotAborted() const;

  TIdHTTPRequest m_request;
  TIdHTTPResponse m_response;
  net::TIdURI m_url;
  TIdHTTPProtocolVersion m_protocolVersion = pv1_1;
  TIdHTTPOptions m_options = hoForceEncodeParams;
  bool m_handleRedirects = true;
  int m_redirectMaximum = 15;
  int m_redirectCount = 0;
  int m_authRetries = 0;
  int m_authProxyRetries = 0;
  bool m_allowCookies = true;
  bool m_carriesCredentials = false;
  // Scheme, host and port of the current call's first request, lower-cased, and its host as given; empty before
  // it is prepared.
  std::u16string m_callOrigin;
  std::u16string m_callHost;
  // Set once the last reply was read to its end: only then may a failed call leave its connection open.
  bool m_replyComplete = false;
  int64_t m_maxBodyBytes = int64_t{16} << 20;
  int64_t m_maxDecodedBytes = int64_t{16} << 20;
  int64_t m_maxHeaderBlockBytes = int64_t{1} << 20;
  int64_t m_headerBlockBytes = 0;
  int m_callTimeout = 60000;
  // SetCallTimeLimit's, in place of m_callTimeout when above 0.
  int m_callTimeLimit = 0;
  net::TIdIOHandler::TDeadline m_deadline;
  std::atomic<bool> m_aborted{false};
  std::optional<int64_t> m_retryAfter;
  std::optional<std::u16string> m_refusedReply;
  int m_refusedStatus = 0;
  std::unique_ptr<TIdCookieManager> m_cookieManager;
  std::unique_ptr<TIdCompressorZLib> m_compressor;
};

}  // namespace tessarine::client
