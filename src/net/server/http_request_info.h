#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "common/stream.h"
#include "common/string_list.h"
#include "net/header_info.h"
#include "net/server/cookies.h"
#include "translate/service_interfaces.h"

namespace tessarine::server {

using translate::THTTPCommandType;

class TIdHTTPSession;

// The method word compared, letter case ignored, with UNKNOWN, HEAD, GET, POST, DELETE, PUT, TRACE, OPTIONS;
// hcUnknown for any other.
THTTPCommandType DecodeHTTPCommand(std::u16string_view command);

// One request as the server read it; filled by the connection's worker thread before the handler runs.
class TIdHTTPRequestInfo : public net::TIdRequestHeaderInfo, public translate::IRequestInfo {
 public:
  TIdHTTPRequestInfo() = default;

  THTTPCommandType CommandType() const override { return m_commandType; }
  void SetCommandType(THTTPCommandType commandType) { m_commandType = commandType; }
  const std::u16string& Document() const override { return m_document; }
  void SetDocument(std::u16string document) { m_document = std::move(document); }
  const TStringList& Params() const override { return m_params; }
  TStringList& Params() { return m_params; }

  // Clears Params and fills it with one entry per "&"-separated piece of text (a trailing "&" adds none),
  // each with "+" made a space and then percent-decoded in the encoding of CharSet (8-bit without one).
  void FillParams(std::u16string_view text);
  // VersionMajor > major, or equal and VersionMinor >= minor.
  bool IsVersionAtLeast(int major, int minor) const;
  // Version, VersionMajor and VersionMinor from the protocol word of the request line.
  void SetVersion(std::u16string version);

  TStream* PostStream() const { return m_postStream.get(); }
  void SetPostStream(std::unique_ptr<TStream> stream) { m_postStream = std::move(stream); }
  std::unique_ptr<TStream> ReleasePostStream() { return std::move(m_postStream); }

  std::u16string RawHTTPCommand;
  std::u16string Command;
  std::u16string Version;
  int VersionMajor = -1;
  int VersionMinor = -1;
  std::u16string URI;
  std::u16string QueryParams;
  std::u16string RemoteIP;
  std::u16string FormParams;
  std::u16string UnparsedParams;
  TIdCookies Cookies;
  bool AuthExists = false;
  std::u16string AuthUsername;
  std::u16string AuthPassword;
  std::shared_ptr<TIdHTTPSession> Session;

 private:
  THTTPCommandType m_commandType = THTTPCommandType::hcUnknown;
  std::u16string m_document;
  TStringList m_params;
  std::unique_ptr<TStream> m_postStream;
};

}  // namespace tessarine::server
