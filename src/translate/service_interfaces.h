#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/exception.h"
#include "common/stream.h"
#include "common/string_list.h"

// The points where the translation service meets the rest of the program. The local server, the
// upstream client and the main window implement these; tests implement them with fakes.
namespace tessarine::translate {

// The request method, in this order.
enum class THTTPCommandType { hcUnknown = 0, hcHEAD, hcGET, hcPOST, hcDELETE, hcPUT, hcTRACE, hcOPTION };

// What the endpoint handler reads of a request.
class IRequestInfo {
 public:
  virtual ~IRequestInfo() = default;
  virtual THTTPCommandType CommandType() const = 0;
  // The request path without the query, percent-decoded.
  virtual const std::u16string& Document() const = 0;
  // One entry per "&"-separated query piece, each the whole decoded piece; reading past the end
  // raises "List index out of bounds (%d)".
  virtual const TStringList& Params() const = 0;
};

// What the endpoint handler writes of an answer.
class IResponseInfo {
 public:
  virtual ~IResponseInfo() = default;
  virtual void SetContentText(const std::u16string& text) = 0;
  virtual const std::u16string& ContentText() const = 0;
  // Sends the status line, the header block and the content at once.
  virtual void WriteContent() = 0;
};

// The log panel. Callable from any thread; never waits for the main thread.
class ILogSink {
 public:
  virtual ~ILogSink() = default;
  virtual void AddLogLine(const std::u16string& line) = 0;
};

// Engine indexes.
enum EngineIndex : int { kGoogle = 0, kBing = 1, kYandex = 2, kBabylon = 3, kPromt = 4, kSystran = 5 };
inline constexpr int kEngineCount = 6;

struct TEngineItem {
  bool Checked = false;
  std::u16string Caption;
};

// The six engine items G1, B1, Y1, babylon1, P1, S1, in this order (the position is the engine index).
using TEngineItems = std::array<TEngineItem, kEngineCount>;

// The engines that exist only when configured (see optional_engines.h): items after the six, in this order. The
// keyed online services each have their index from the start, so that adding one touches only its table entry.
inline constexpr int kLibreTranslate = 6;
inline constexpr int kApertium = 7;
inline constexpr int kDeepL = 8;
inline constexpr int kMicrosoft = 9;
inline constexpr int kGoogleCloud = 10;
inline constexpr int kYandexCloud = 11;
inline constexpr int kLLM = 12;
inline constexpr int kAllEngineCount = 13;

// The engine choice as a worker thread sees it: always one whole choice, never a half-made one.
class IEngineChoice {
 public:
  virtual ~IEngineChoice() = default;
  virtual TEngineItems Snapshot() const = 0;
  // Every item in menu order, the position being the engine index: the six, then the optional engines up to
  // the last one configured; one not configured before it is an unchecked item without a caption that can
  // never be checked. One whole choice, like Snapshot.
  virtual std::vector<TEngineItem> AllItems() const {
    const TEngineItems items = Snapshot();
    return {items.begin(), items.end()};
  }
};

// The engine's connection failed (host not found, refused, timed out, reset): a socket error of the upstream
// client, carried on with its code and message. It is no socket error of the local connection, so the local
// server answers it with a 500 like any other engine failure instead of closing the connection unanswered.
class EEngineConnectionError : public EIdException {
 public:
  explicit EEngineConnectionError(const EIdSocketError& cause)
      : EIdException(cause.Message()), m_lastError(cause.LastError()) {}
  int LastError() const noexcept { return m_lastError; }

 private:
  int m_lastError;
};

// A request that carries a key or other credentials was not sent: a reply redirected it away from its origin
// (scheme, host and port), or it would have gone out over plain http to a host other than this machine. The
// message names the host, never the key. An engine failure like any other: a 500 answer, and failover goes on.
class ECredentialsWithheld : public EIdException {
 public:
  using EIdException::EIdException;
};

// Why an engine refused a request, which decides what the failover does with the engine afterwards.
enum class TRefusalKind {
  // This request only (a language pair it lacks, a text too long): the engine works and does not rest.
  ThisRequest,
  // Too many requests for now: it rests as after any failure, at least as long as its Retry-After asks.
  TooManyRequests,
  // The quota or the bill is used up, or the key is refused: no retry can succeed soon, so it rests the longest.
  Quota,
  Authentication,
  // Anything else the engine explained: it rests as after any failure.
  Other,
};

// An engine's refusal as its refusal reader has it: the message in the engine's words, and the kind.
struct TRefusal {
  std::u16string Message;
  TRefusalKind Kind = TRefusalKind::ThisRequest;
};

// The engine refused the request and said why in its reply (Apertium's "That pair is not installed", DeepL's
// "Quota exceeded"): the message is the engine's explanation, which the local client then reads in the 500 answer.
class EEngineRefusal : public EIdException {
 public:
  explicit EEngineRefusal(std::u16string message, TRefusalKind kind = TRefusalKind::ThisRequest)
      : EIdException(std::move(message)), m_kind(kind) {}
  TRefusalKind Kind() const noexcept { return m_kind; }

 private:
  TRefusalKind m_kind;
};

// The one upstream client (or one of the pool's below), as the engine calls use it. It serves one call at a
// time; callers serialize their use of it.
class IUpstreamClient {
 public:
  virtual ~IUpstreamClient() = default;
  // Request.CustomHeaders: AddValue appends "name: value"; the lines go out with every request
  // until the list is emptied.
  virtual void CustomHeadersAddValue(const std::u16string& name, const std::u16string& value) = 0;
  virtual void CustomHeadersClear() = 0;
  // Whether the calls from now on carry a key or credentials of their own in the body. Such a call, like one
  // whose custom headers carry them (Authorization, a header named ...-Key or ...-Token), never leaves its
  // origin, whatever a redirect says, and never goes out over plain http except to this machine; the client
  // raises ECredentialsWithheld instead. Set for every call: a client serves many engines.
  virtual void SetCarriesCredentials(bool carries) = 0;
  // The URL goes on the request line unchanged. Both return the reply body as text.
  virtual std::u16string Get(const std::u16string& url) = 0;
  virtual std::u16string Post(const std::u16string& url, TStream& source) = 0;
  // The delay in seconds that the reply of the last call asked for in Retry-After, when that call failed on a
  // reply carrying one. Read by the caller of that call before the client serves another.
  virtual std::optional<int64_t> RetryAfterSeconds() const { return std::nullopt; }
  // The body of the last call's reply when that call failed on the reply's status (a refusal), as text; read
  // like RetryAfterSeconds.
  virtual std::optional<std::u16string> RefusedReplyText() const { return std::nullopt; }
  // That reply's status code, or 0 when the last call did not fail on a reply's status.
  virtual int RefusedStatusCode() const { return 0; }
  // Milliseconds that each call from now on may take as a whole, for an engine slower than the client's own limit
  // allows (a language model on the user's machine); no single wait of the call ends sooner. 0 gives the calls the
  // client's own limits again. Set for every call: a client serves many engines.
  virtual void SetCallTimeLimit(int milliseconds) { static_cast<void>(milliseconds); }
  // The charset by which the last call's reply body was decoded to text; empty when it was read one character
  // per byte (no charset, an unusable one, or Latin-1), so that the text holds the body's bytes.
  virtual std::u16string ReplyCharSet() const { return {}; }
  // True while calls are being ended because the server is switching off: a failure then says nothing
  // about the engine.
  virtual bool CallsStopped() const { return false; }
};

// Upstream clients for the engines that serve several calls at once (a service on the user's own machine with a
// pipeline of its own): each such call has a client to itself, so those calls run side by side instead of
// queueing for the one client.
class IUpstreamPool {
 public:
  virtual ~IUpstreamPool() = default;
  // A client that serves this caller alone, for one whole call and the reading of its results, until it is given
  // back. Waits while every client is taken; raises as the clients' calls do while calls are stopped.
  virtual IUpstreamClient& Take() = 0;
  virtual void GiveBack(IUpstreamClient& client) = 0;
  // True while calls are being ended because the server is switching off.
  virtual bool CallsStopped() const { return false; }
};

}  // namespace tessarine::translate
