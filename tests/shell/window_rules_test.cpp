// What every shell's windows follow: where the log window and the About window go, and how an error's text is
// put in its box.

#include <gtest/gtest.h>

#include <stdexcept>

#include "common/exception.h"
#include "shell/error_box.h"
#include "shell/window_placement.h"

namespace tessarine::shell::testing {
namespace {

TEST(FormShowPlacement, SitsOnABottomPanelAtTheRightEdge) {
  const TSize outer{308, 207};
  const TRect screen{0, 0, 1920, 1080};
  EXPECT_EQ(FormShowPosition(screen, {0, 0, 1920, 1040}, outer), (TPoint{1612, 833}));
  // A panel along the top, left or right edge (or none) gives T = 0: the top is outer height - 5.
  EXPECT_EQ(FormShowPosition(screen, {0, 40, 1920, 1040}, outer), (TPoint{1612, 202}));
  EXPECT_EQ(FormShowPosition(screen, {48, 0, 1872, 1080}, outer), (TPoint{1612, 202}));
  EXPECT_EQ(FormShowPosition(screen, {0, 0, 1872, 1080}, outer), (TPoint{1612, 202}));
  EXPECT_EQ(FormShowPosition(screen, {0, 0, 1920, 1080}, outer), (TPoint{1612, 202}));
}

TEST(AboutPlacement, CentredInTheWorkAreaNeverOffTheDesktop) {
  EXPECT_EQ(CentredPosition({0, 0, 1920, 1040}, {0, 0, 1920, 1080}, {367, 221}),
            (TPoint{776, 409}));  // halves rounded toward zero
  EXPECT_EQ(CentredPosition({0, 30, 300, 150}, {0, 0, 300, 180}, {367, 221}), (TPoint{0, 0}));
}

TEST(ErrorBox, FullStopOnlyAfterCharactersAboveTheFullStop) {
  EXPECT_EQ(WithFullStop(u"Unable to write to /x/setting.ini"), u"Unable to write to /x/setting.ini.");
  EXPECT_EQ(WithFullStop(u"Already in use."), u"Already in use.");
  EXPECT_EQ(WithFullStop(u"Done!"), u"Done!");  // '!' comes before '.'
  EXPECT_EQ(WithFullStop(u"(1)"), u"(1)");
  EXPECT_EQ(WithFullStop(u"a/"), u"a/.");
  EXPECT_EQ(WithFullStop(u"Ошибка"), u"Ошибка.");
  EXPECT_EQ(WithFullStop(u""), u"");
}

TEST(ErrorBox, HandlerExceptionsAreShownOnce) {
  std::vector<std::u16string> shown;
  const TErrorBoxHandler previous = SetErrorBoxHandler([&](const std::u16string& text) { shown.push_back(text); });
  RunHandler([] { throw Exception(u"Broken"); });
  RunHandler([] { throw std::runtime_error("plain"); });
  RunHandler([] { throw 42; });
  RunHandler([] {});
  SetErrorBoxHandler(previous);
  EXPECT_EQ(shown, (std::vector<std::u16string>{u"Broken.", u"plain.", u"Unknown error."}));
}

}  // namespace
}  // namespace tessarine::shell::testing
