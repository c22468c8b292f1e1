// Start-up and Exit of the core with the real settings file: defaults, the saved state, a taken
// port, the engine host overrides, the order of the keys written at Exit, an Exit that cannot write and a file
// too large to be settings.

#include "app/ini_file.h"
#include "common/text.h"
#include "shell/core_fixture.h"
#include "support/raw_socket.h"
#include "support/system_calls.h"
#include "temp_folder.h"

namespace tessarine::app::testing {
namespace {

using shell::TProxyCore;

constexpr char kRussianUtf8[] = "\xD0\xA0\xD1\x83\xD1\x81\xD1\x81\xD0\xBA\xD0\xB8\xD0\xB9";

class StartupTest : public shell::testing::CoreTest {
 protected:
  TProxyCore& start(uint16_t port = 0) {
    shell::TProxyCoreOptions withFile = options(port);
    withFile.OpenSettings = [this] { return std::make_unique<TIniFile>(settingsPath); };
    return create(std::move(withFile));
  }

  // One translation request through the local server; the raw answer.
  std::string request(const std::string& query) {
    test_support::RawSocket socket = test_support::RawConnectTo(AF_INET, core->ListeningPort());
    socket.Send("GET /linxp_translate_t?" + query + " HTTP/1.0\r\n\r\n");
    return socket.Receive(SIZE_MAX, test_support::kWaitLimit);
  }

  int terminations() const { return shell.Count("Terminate"); }

  TempFolder folder;
  std::string settingsPath = folder.File("setting.ini");
};

TEST_F(StartupTest, WithoutASettingsFileTheDefaultsHoldAndNothingIsWritten) {
  TProxyCore& f = start();
  EXPECT_FALSE(f.IdHTTPServer1.Active());
  EXPECT_TRUE(f.G1->Checked());
  EXPECT_FALSE(f.B1->Checked() || f.Y1->Checked() || f.babylon1->Checked() || f.P1->Checked());
  EXPECT_TRUE(f.N8->Checked());
  EXPECT_EQ(f.OnCaption, u"Включено");
  EXPECT_FALSE(folder.Exists("setting.ini"));
  EXPECT_TRUE(errors.empty());

  f.N5->Click();
  EXPECT_EQ(terminations(), 1);
  EXPECT_EQ(folder.Read("setting.ini"), std::string("[General]\nProxyActive=0\nGoogle=1\nBing=0\nYandex=0\nBabylon=0\n"
                                                    "Promt=0\n[Setting]\nLanguage=") +
                                            kRussianUtf8 + "\n");
}

TEST_F(StartupTest, SavedServerStateEngineAndHostAreInPlaceForTheFirstRequest) {
  folder.Write("setting.ini",
               "[General]\nProxyActive=1\nGoogle=0\nBing=1\n[Setting]\nLanguage=English\n"
               "[Engines]\nBing=127.0.0.1:5555\n");
  TProxyCore& f = start();
  // Listening as soon as the window exists, before the message loop or the tray icon.
  ASSERT_TRUE(f.IdHTTPServer1.Active());
  EXPECT_EQ(shell.Count("MinimizeToTray"), 0);
  const std::string answer = request("text=Hello&langpair=en|de");
  EXPECT_NE(answer.find("200 OK"), std::string::npos) << answer;
  ASSERT_EQ(upstream.Urls().size(), 1u);
  EXPECT_EQ(upstream.Urls()[0].rfind(u"http://127.0.0.1:5555/v2/ajax.svc/Translate?", 0), 0u);
  EXPECT_TRUE(f.E1->Checked());
  EXPECT_TRUE(errors.empty());
}

TEST_F(StartupTest, TakenPortIsReportedAndTheRestOfStartUpStillRuns) {
  test_support::RawSocket taken = test_support::RawListenOn(AF_INET, 0, {.loopback = true, .likeAServer = true});
  ASSERT_TRUE(taken.Valid());
  folder.Write("setting.ini", "[General]\nProxyActive=1\nGoogle=0\nYandex=1\n[Setting]\nLanguage=English\n");
  TProxyCore& f = start(test_support::LocalPort(taken));
  EXPECT_EQ(errors,
            std::vector<std::u16string>{u"Could not bind socket. Address and port are already in use.\nPort " +
                                        IntToStr(test_support::LocalPort(taken)) +
                                        u" on 127.0.0.1 is in use by another program, or the address is not one of "
                                        u"this computer's."});
  EXPECT_FALSE(f.IdHTTPServer1.Active());
  // The saved choice and language are not lost to the failure.
  EXPECT_TRUE(f.Y1->Checked());
  EXPECT_FALSE(f.G1->Checked());
  EXPECT_TRUE(f.E1->Checked());
  EXPECT_EQ(f.OffCaption, u"Off");

  // Once the port is free the menu switches the server on.
  taken = test_support::RawSocket();
  f.N6->Click();
  EXPECT_TRUE(f.IdHTTPServer1.Active());
  EXPECT_EQ(errors.size(), 1u);
}

TEST_F(StartupTest, InvalidEngineHostIsReportedAndIgnored) {
  folder.Write("setting.ini", "[General]\nProxyActive=1\n[Engines]\nGoogle=http://example.org/\nBing=[::1]:8081\n");
  TProxyCore& f = start();
  EXPECT_EQ(errors, std::vector<std::u16string>{u"Invalid engine host: http://example.org/."});
  EXPECT_TRUE(f.IdHTTPServer1.Active());
  request("text=Hi&langpair=en|de");
  ASSERT_EQ(upstream.Urls().size(), 1u);
  EXPECT_EQ(upstream.Urls()[0].rfind(u"http://clients5.google.com/", 0), 0u);
}

TEST_F(StartupTest, ExitWritesTheSettingsInOrderAndKeepsForeignLines) {
  folder.Write("setting.ini", "[Engines]\nGoogle=127.0.0.1:9\n");
  TProxyCore& f = start();
  f.P1->Click();
  f.N6->Click();
  EXPECT_FALSE(f.ProxyActiveFlag) << "within the first second the saved state is still off";
  f.Timer1Timer();
  f.E1->Click();
  f.N5->Click();
  EXPECT_EQ(terminations(), 1);
  EXPECT_EQ(folder.Read("setting.ini"),
            "[Engines]\nGoogle=127.0.0.1:9\n"
            "[General]\nProxyActive=1\nGoogle=0\nBing=0\nYandex=0\nBabylon=0\nPromt=1\n"
            "[Setting]\nLanguage=English\n");
  EXPECT_TRUE(errors.empty());

  // The next start reads it all back.
  TProxyCore& again = start();
  EXPECT_TRUE(again.IdHTTPServer1.Active());
  EXPECT_TRUE(again.P1->Checked());
  EXPECT_FALSE(again.G1->Checked());
  EXPECT_TRUE(again.E1->Checked());
}

TEST_F(StartupTest, ExitThatCannotWriteKeepsTheProgramRunning) {
  settingsPath = folder.File("gone/setting.ini");
  TProxyCore& f = start();
  f.N5->Click();
  EXPECT_EQ(errors, std::vector<std::u16string>{u"Unable to write to " + FromUtf8(settingsPath) + u"."});
  EXPECT_EQ(terminations(), 0);

  if (test_support::FolderPermissionsBindUs()) {
    settingsPath = folder.File("setting.ini");
    TProxyCore& g = start();
    std::filesystem::permissions(folder.Path(), std::filesystem::perms(0555));
    g.N5->Click();
    EXPECT_EQ(errors.back(), u"Unable to write to " + FromUtf8(settingsPath) + u".");
    EXPECT_EQ(terminations(), 0);
  }
}

TEST_F(StartupTest, AFileTooLargeToBeSettingsIsReportedAndExitLeavesIt) {
  const std::string content = "[General]\nProxyActive=1\nGoogle=0\nBing=1\n[Setting]\nLanguage=English\n" +
                              std::string(TIniFile::kMaxFileSize, '\n');
  folder.Write("setting.ini", content);
  TProxyCore& f = start();
  EXPECT_EQ(errors, std::vector<std::u16string>{
                        FromUtf8(settingsPath) + u" is not read: at " + IntToStr(static_cast<int>(content.size())) +
                        u" bytes it is too large to be a settings file (at most 1048576). The program goes on with "
                        u"the default settings, and Exit leaves the file as it is."});
  EXPECT_FALSE(f.IdHTTPServer1.Active());
  EXPECT_TRUE(f.G1->Checked());
  EXPECT_FALSE(f.B1->Checked());
  EXPECT_TRUE(f.N8->Checked());
  f.E1->Click();
  f.N5->Click();
  EXPECT_EQ(terminations(), 1);
  EXPECT_NE(logged().find(u"Settings not saved: " + errors.at(0).substr(0, errors.at(0).find(u" The program"))),
            std::u16string::npos);
  EXPECT_TRUE(folder.Read("setting.ini") == content);
  EXPECT_EQ(errors.size(), 1u);
}

}  // namespace
}  // namespace tessarine::app::testing
