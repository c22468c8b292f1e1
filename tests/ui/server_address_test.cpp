// [Server] Address: the server keeps to that one address when the settings name it, and to none when the value
// is no address at all; without it the server listens on every address as it always has.

#include "form_fixture.h"

namespace tessarine::ui::testing {
namespace {

TEST_F(FormTest, WithoutAnAddressTheServerListensOnEveryAddress) {
  TForm1& f = create(std::nullopt);
  EXPECT_EQ(f.IdHTTPServer1.Bindings().Count(), 0);  // filled with the any-addresses when switched on
  EXPECT_TRUE(errors.empty());
}

TEST_F(FormTest, AnAddressKeepsTheServerToItOnPort8888) {
  for (const auto& [address, version] : {std::pair{u"127.0.0.1", net::Id_IPv4}, std::pair{u"::1", net::Id_IPv6}}) {
    set(u"Server", u"Address", address);
    TForm1& f = create(std::nullopt);
    ASSERT_EQ(f.IdHTTPServer1.Bindings().Count(), 1);
    EXPECT_EQ(f.IdHTTPServer1.Bindings()[0].IP(), address);
    EXPECT_EQ(f.IdHTTPServer1.Bindings()[0].IPVersion(), version);
    EXPECT_EQ(f.IdHTTPServer1.Bindings()[0].Port(), 8888);
    EXPECT_TRUE(errors.empty());
  }
}

TEST_F(FormTest, AValueThatIsNoAddressIsReportedAndNeverWidensToEveryAddress) {
  set(u"Server", u"Address", u"localhost:8888");
  TForm1& f = create(std::nullopt);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0],
            u"[Server] Address=localhost:8888 is not an IPv4 or IPv6 address; the server cannot be "
            u"switched on.");
  ASSERT_EQ(f.IdHTTPServer1.Bindings().Count(), 1);
  EXPECT_EQ(f.IdHTTPServer1.Bindings()[0].IP(), u"localhost:8888");
}

}  // namespace
}  // namespace tessarine::ui::testing
