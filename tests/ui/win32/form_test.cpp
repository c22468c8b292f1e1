// The Win32 main window around its core: closing or minimizing it sends it to the tray, Show log brings it back at
// the right edge with the lines logged meanwhile, the session's end is never refused and saves the settings, and
// the icon's double click performs the default item.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>

#include "shell/core_fixture.h"
#include "shell/window_placement.h"
#include "ui/win32/controls.h"
#include "ui/win32/form1.h"

namespace tessarine::ui::win32 {
namespace {

class Win32FormTest : public shell::testing::CoreFixtureBase {
 protected:
  Win32FormTest() {
    TForm1Options options;
    fill(options);
    options.Terminate = [this] { ++terminations; };
    form = std::make_unique<TForm1>(std::move(options));
  }
  ~Win32FormTest() override { form.reset(); }

  bool shown() const { return IsWindowVisible(form->Handle()) != 0; }

  int terminations = 0;
  std::unique_ptr<TForm1> form;
};

TEST_F(Win32FormTest, CloseAndMinimizeGoToTheTrayAndShowLogBringsTheWindowBackPlaced) {
  form->MinimizeToTray();
  EXPECT_FALSE(shown());
  EXPECT_TRUE(form->TrayIcon().Visible());

  form->Core().AddLogLine(u"logged while hidden");
  form->Core().N1->Click();
  ASSERT_TRUE(shown());
  EXPECT_EQ(form->Memo().Text(), u"logged while hidden\r\n");
  RECT rect{};
  GetWindowRect(form->Handle(), &rect);
  const shell::TPoint expected =
      shell::FormShowPosition(PrimaryScreen(), WorkArea(), {rect.right - rect.left, rect.bottom - rect.top});
  EXPECT_EQ(rect.left, expected.X);
  EXPECT_EQ(rect.top, expected.Y);

  SendMessageW(form->Handle(), WM_CLOSE, 0, 0);
  EXPECT_FALSE(shown());
  EXPECT_TRUE(form->TrayIcon().Visible());
  form->Core().N1->Click();
  ASSERT_TRUE(shown());
  SendMessageW(form->Handle(), WM_SYSCOMMAND, SC_MINIMIZE, 0);
  EXPECT_FALSE(shown());
  EXPECT_FALSE(IsIconic(form->Handle())) << "hidden, not iconified";
  EXPECT_EQ(terminations, 0);
  EXPECT_TRUE(errors.empty());
}

TEST_F(Win32FormTest, TheSessionsEndIsNeverRefusedAndSavesTheSettings) {
  form->Core().B1->Click();
  EXPECT_EQ(SendMessageW(form->Handle(), WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), TRUE);
  EXPECT_TRUE(settings->Writes.empty());
  SendMessageW(form->Handle(), WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
  EXPECT_EQ(settings->Values[std::make_pair(u"General", u"Bing")], u"1");
  EXPECT_EQ(settings->Values[std::make_pair(u"General", u"Google")], u"0");
  EXPECT_EQ(terminations, 0) << "the system ends the program itself";
}

TEST_F(Win32FormTest, TheIconsDoubleClickPerformsTheDefaultItem) {
  form->Core().E1->Click();
  ASSERT_EQ(form->Core().N5->Caption(), u"Exit");
  SendMessageW(form->Handle(), TForm1::kTrayMessage, 1, WM_LBUTTONDBLCLK);
  EXPECT_EQ(form->Core().N5->Caption(), u"Выход");
}

}  // namespace
}  // namespace tessarine::ui::win32
