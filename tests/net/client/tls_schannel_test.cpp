#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <memory>
#include <string>

#include "common/text.h"
#include "net/client/ssl_schannel.h"
#include "net/text_encoding.h"
#include "support/system_calls.h"

namespace tessarine::client {
namespace {

// The servers run on Linux (tools/tls_test_server.py, started by the test fixture) and write their ports here; the
// test CA is trusted through SSL_CERT_FILE alone, not through the prefix's stores.
const std::string kDir = TESSARINE_TLS_DIR;

std::map<std::string, uint16_t> ReadPorts() {
  std::map<std::string, uint16_t> ports;
  std::ifstream in(kDir + "/ports");
  std::string name;
  int port = 0;
  while (in >> name >> port) ports[name] = static_cast<uint16_t>(port);
  return ports;
}

class SchannelTls : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    test_support::SetEnv("SSL_CERT_FILE", (kDir + "/ca.pem").c_str());
    s_ports = ReadPorts();
  }

  std::unique_ptr<TIdSSLIOHandlerSocketSchannel> connectTo(const std::string& certificate, std::u16string host) {
    auto io = std::make_unique<TIdSSLIOHandlerSocketSchannel>();
    io->SetPassThrough(false);
    io->SetHost(std::move(host));
    io->SetPort(s_ports.at(certificate));
    io->SetReadTimeout(10000);
    return io;
  }

  static std::map<std::string, uint16_t> s_ports;
};

std::map<std::string, uint16_t> SchannelTls::s_ports;

TEST_F(SchannelTls, TrustedChainCarriesBytesBothWays) {
  ASSERT_EQ(s_ports.size(), 5u) << "no servers listed in " << kDir << "/ports";
  for (const std::u16string host : {u"localhost", u"127.0.0.1"}) {
    SCOPED_TRACE(ToUtf8(host));
    auto io = connectTo("server", host);
    ASSERT_NO_THROW(io->Open());
    const std::u16string line = u"\u00e9t\u00e9 " + host;
    io->WriteLn(line, net::IndyTextEncoding_UTF8());
    EXPECT_EQ(io->ReadLn(net::IndyTextEncoding_UTF8()), u"reply " + line);
    // The server's close_notify is the orderly end of the stream.
    EXPECT_THROW(io->ReadLn(), net::EIdConnClosedGracefully);
    io->Close();
  }
}

TEST_F(SchannelTls, ChainsThatDoNotProveTheHostAreRefused) {
  struct Case {
    std::string certificate;
    std::u16string host;
    std::u16string reason;
  };
  const Case cases[] = {{"other", u"localhost", u"hostname mismatch"},
                        {"other", u"127.0.0.1", u"IP address mismatch"},
                        {"expired", u"localhost", u"certificate has expired"},
                        {"untrusted", u"localhost", u"self-signed certificate or untrusted root"},
                        {"stranger", u"localhost", u"unable to get local issuer certificate"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.certificate + " " + ToUtf8(c.host));
    auto io = connectTo(c.certificate, c.host);
    try {
      io->Open();
      ADD_FAILURE() << "no exception";
    } catch (const EIdOSSLUnderlyingCryptoError& e) {
      EXPECT_EQ(e.Message(), u"Error connecting with SSL.\r\nerror: certificate verify failed: " + c.reason);
    }
    EXPECT_FALSE(io->Opened());
    EXPECT_FALSE(io->Binding()->HandleAllocated());
  }
}

}  // namespace
}  // namespace tessarine::client
