#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "common/stream.h"
#include "net/header_info.h"
#include "net/server/cookies.h"
#include "net/tcp_connection.h"
#include "translate/service_interfaces.h"

namespace tessarine::server {

class TIdHTTPRequestInfo;
class TIdHTTPSession;

// The reason phrase of a status code; "Unknown Response Code" outside the table.
std::u16string ResponseTextFor(int responseNo);

// One answer, filled by the handler and completed by the server.
class TIdHTTPResponseInfo : public net::TIdResponseHeaderInfo, public translate::IResponseInfo {
 public:
  // The connection and the request must outlive the record.
  TIdHTTPResponseInfo(net::TIdTCPConnection* connection, const TIdHTTPRequestInfo* request);
  ~TIdHTTPResponseInfo() override;

  int ResponseNo() const { return m_responseNo; }
  // Also sets ResponseText from the status table; 404 also closes the connection.
  void SetResponseNo(int responseNo);
  std::u16string ResponseText = u"OK";

  const std::u16string& ContentText() const override { return m_contentText; }
  void SetContentText(const std::u16string& text) override { m_contentText = text; }

  // Sent when ContentText is empty. With FreeContentStream the record deletes it after writing (or with
  // itself); otherwise the caller keeps ownership.
  TStream* ContentStream() const { return m_contentStream; }
  void SetContentStream(TStream* stream);
  bool FreeContentStream = true;

  bool CloseConnection() const { return m_closeConnection; }
  // Also sets Connection to "close" or "keep-alive".
  void SetCloseConnection(bool close);
  std::u16string Connection = u"keep-alive";

  std::u16string ServerSoftware;
  std::u16string AuthRealm;
  TIdCookies Cookies;
  std::shared_ptr<TIdHTTPSession> Session;

  bool HeaderHasBeenWritten() const { return m_headerHasBeenWritten; }

  // The status line and the header block, in one send unless write buffering is already on. A second call
  // raises "Header has already been written.".
  void WriteHeader();
  // The header when not yet written, then the body (none for HEAD, 1xx, 204 and 304); afterwards ContentText
  // is empty and the content stream gone.
  void WriteContent() override;
  void Redirect(std::u16string url);

 private:
  net::TIdIOHandler& ioHandler() const;
  void dropContentStream();

  net::TIdTCPConnection* const m_connection;
  const TIdHTTPRequestInfo* const m_request;
  int m_responseNo = 200;
  std::u16string m_contentText;
  TStream* m_contentStream = nullptr;
  bool m_closeConnection = false;
  bool m_headerHasBeenWritten = false;
};

}  // namespace tessarine::server
