// The main window's placement, minimize and close behaviour, the About window, the theme and the error box.

#include <QApplication>
#include <QPalette>
#include <QScreen>
#include <QStyle>
#include <QTimer>

#include "common/exception.h"
#include "form_fixture.h"
#include "translate/optional_engines.h"
#include "ui/application.h"
#include "ui/form2.h"
#include "ui/frame_placement.h"
#include "ui/theme.h"

namespace tessarine::ui::testing {
namespace {

// A window placed before it has a frame is placed again by its outer size once the frame is known.
TEST(FramePlacement, PlacesAgainWhenTheFrameTurnsOutOtherThanAssumed) {
  QWidget window(nullptr, Qt::Tool);
  window.setFixedSize(302, 181);
  std::vector<QSize> asked;
  auto* placement = new TFramePlacement(window, [&](const QSize& outer) -> std::optional<QPoint> {
    asked.push_back(outer);
    return QPoint(1000 - outer.width(), 700 - outer.height());
  });
  placement->Place();  // before the window exists: no frame yet
  window.show();
  ASSERT_TRUE(ProcessEventsUntil([&] { return window.frameGeometry().size() != window.size(); }))
      << "the platform gives no frame; nothing to test";
  ASSERT_TRUE(ProcessEventsUntil([&] { return window.frameGeometry().bottomRight() == QPoint(999, 699); }))
      << "outer " << window.frameGeometry().width() << "x" << window.frameGeometry().height() << " at "
      << window.frameGeometry().x() << "," << window.frameGeometry().y();
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_EQ(asked[0], QSize(302, 181));
  EXPECT_EQ(asked[1], window.frameGeometry().size());

  // The user's move is kept; hidden and placed again, the frame is known from the start.
  window.move(5, 6);
  ProcessEventsUntil([] { return false; }, std::chrono::milliseconds(50));
  EXPECT_EQ(window.pos(), QPoint(5, 6));
  EXPECT_EQ(asked.size(), 2u);
  window.hide();
  placement->Place();
  window.show();
  EXPECT_EQ(window.frameGeometry().bottomRight(), QPoint(999, 699));
  EXPECT_EQ(asked.size(), 3u);
}

TEST_F(FormTest, MainWindowIsASmallAlwaysOnTopToolWindow) {
  TForm1& f = create();
  EXPECT_EQ(FromQString(f.windowTitle()), u"Tessarine Proxy");
  EXPECT_EQ(f.size(), QSize(302, 181));
  EXPECT_EQ(f.minimumSize(), f.maximumSize());
  EXPECT_TRUE(f.windowFlags().testFlag(Qt::Tool));
  EXPECT_TRUE(f.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
  EXPECT_FALSE(f.windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
  EXPECT_FALSE(f.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
  EXPECT_EQ(f.sLabel1->geometry(), QRect(0, 0, 302, 13));
  EXPECT_EQ(f.sMemo1->geometry(), QRect(0, 13, 302, 168));
  EXPECT_EQ(f.sLabel1->palette().color(QPalette::WindowText), QColor(0xE8, 0xE8, 0xE8));
  EXPECT_FALSE(f.sMemo1->isReadOnly());
  EXPECT_FALSE(f.isVisible()) << "never shown at start-up";
}

TEST_F(FormTest, CloseRequestsHideTheWindowAndKeepTheLog) {
  TForm1& f = create();
  core().N1->Click();
  ASSERT_TRUE(f.isVisible());
  const QScreen* screen = QGuiApplication::primaryScreen();
  EXPECT_EQ(f.frameGeometry().topLeft(),
            TForm1::FormShowPosition(screen->geometry(), screen->availableGeometry(), f.frameGeometry().size()));
  core().AddLogLine(u"kept");
  ASSERT_TRUE(ProcessEventsUntil([&] { return !f.sMemo1->toPlainText().isEmpty(); }));

  EXPECT_FALSE(f.close());
  EXPECT_FALSE(f.isVisible());
  EXPECT_TRUE(f.TrayIcon->IconVisible());
  EXPECT_FALSE(f.close()) << "a second close finds the icon in place";
  EXPECT_TRUE(f.TrayIcon->IconVisible());

  core().N1->Click();
  EXPECT_TRUE(f.isVisible());
  EXPECT_EQ(f.sMemo1->toPlainText(), QStringLiteral("kept\n"));
  // Showing it again while visible leaves it where the user put it.
  f.move(10, 20);
  core().N1->Click();
  EXPECT_EQ(f.pos(), QPoint(10, 20));
}

TEST_F(FormTest, MinimizeGoesToTheTrayAndShowLogPlacesTheWindowAgain) {
  TForm1& f = create();
  core().N1->Click();
  ASSERT_TRUE(f.isVisible());
  f.move(10, 20);  // where the user left it
  f.setWindowState(f.windowState() | Qt::WindowMinimized);
  ASSERT_TRUE(ProcessEventsUntil([&] { return !f.isVisible(); })) << "left iconified instead of hidden";
  EXPECT_TRUE(f.TrayIcon->IconVisible());

  core().N1->Click();
  EXPECT_TRUE(f.isVisible());
  EXPECT_FALSE(f.isMinimized());
  const QScreen* screen = QGuiApplication::primaryScreen();
  EXPECT_EQ(f.frameGeometry().topLeft(),
            TForm1::FormShowPosition(screen->geometry(), screen->availableGeometry(), f.frameGeometry().size()));
  // Restored, it is an ordinary window again: a close still sends it to the tray, a second minimize too.
  f.setWindowState(f.windowState() | Qt::WindowMinimized);
  ASSERT_TRUE(ProcessEventsUntil([&] { return !f.isVisible(); }));
  core().N1->Click();
  EXPECT_TRUE(f.isVisible());
  EXPECT_FALSE(f.close());
  EXPECT_FALSE(f.isVisible());
}

// The session manager ends the program with a quit of the whole application (so does the platform); the
// close-to-tray rule must not turn it down, also while the log window is shown.
TEST_F(FormTest, AnApplicationQuitIsNotRefusedByTheMainWindow) {
  TForm1& f = create();
  TForm2 about;
  f.SetForm2(&about);
  core().N1->Click();
  core().N7->Click();
  ASSERT_TRUE(f.isVisible() && about.isVisible());
  QTimer::singleShot(0, qApp, [] { QCoreApplication::quit(); });
  QTimer limit;
  limit.setSingleShot(true);
  QObject::connect(&limit, &QTimer::timeout, [] { QCoreApplication::exit(1); });
  limit.start(5000);
  EXPECT_EQ(QCoreApplication::exec(), 0) << "the quit was refused";
  EXPECT_FALSE(f.isVisible());
  EXPECT_FALSE(about.isVisible());
  EXPECT_FALSE(f.TrayIcon->IconVisible()) << "not sent to the tray on the way out";
  EXPECT_FALSE(TApplication::Ending()) << "only while the quit is handled";

  // An ordinary close afterwards goes to the tray again.
  core().N1->Click();
  EXPECT_FALSE(f.close());
  EXPECT_TRUE(f.TrayIcon->IconVisible());
  f.SetForm2(nullptr);
}

TEST_F(FormTest, AboutWindowTextsStayRussian) {
  TForm1& f = create();
  TForm2 about;
  f.SetForm2(&about);
  core().E1->Click();
  EXPECT_FALSE(about.isVisible()) << "created hidden";
  core().N7->Click();
  EXPECT_TRUE(about.isVisible());
  // Centred by its outer size, frame included, even though the frame came only with the first showing.
  const QScreen* screen = about.screen();
  EXPECT_TRUE(ProcessEventsUntil([&] {
    return about.frameGeometry().topLeft() == TForm2::CentredPosition(screen->availableGeometry(),
                                                                      screen->virtualGeometry(),
                                                                      about.frameGeometry().size());
  }));
  EXPECT_EQ(FromQString(about.windowTitle()), u"О программе");
  EXPECT_GE(about.width(), 360);
  EXPECT_GE(about.height(), 195);
  for (const QLabel* label : {about.sLabel1, about.sLabel2, about.sLabel4, about.sLabel3}) {
    EXPECT_TRUE(about.rect().contains(label->geometry())) << "whole in the window: " << label->text().toStdString();
  }
  EXPECT_TRUE(about.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
  EXPECT_EQ(FromQString(about.sLabel1->text()), u"Tessarine Proxy by Quillfen");
  EXPECT_EQ(FromQString(about.sLabel2->text()), u"Версия: 0.6");
  EXPECT_EQ(FromQString(about.sLabel4->text()), u"Этот билд был создан: 16.07.2017");
  EXPECT_EQ(FromQString(about.sLabel3->text()),
            u"Прокси для машинного перевода в программе Tessarine 3.\n"
            u"Если есть проблемы с прокси пишите мне на почту.\n"
            u"\n"
            u"Mail: quillfen@example.org (с пометкой прокси Tessarine)\n"
            u"\n"
            u"И как только будит готово вы первый человек\n"
            u"которому придёт обновлённая версия.");
  EXPECT_EQ(about.Image1->geometry(), QRect(8, 8, 89, 73));
  EXPECT_EQ(about.sLabel1->pos(), QPoint(112, 16));
  EXPECT_EQ(about.sLabel2->pos(), QPoint(112, 35));
  EXPECT_EQ(about.sLabel4->pos(), QPoint(112, 54));
  EXPECT_EQ(about.sLabel3->pos(), QPoint(40, 87));
  ASSERT_FALSE(about.Image1->pixmap().isNull());
  EXPECT_EQ(about.Image1->pixmap().size(), QSize(64, 64));
  EXPECT_TRUE(about.Image1->pixmap().hasAlphaChannel());

  // One window however often it is asked for; a moved window reopens where it was left.
  about.move(40, 50);
  core().N7->Click();
  EXPECT_EQ(about.pos(), QPoint(40, 50));
  about.close();
  EXPECT_FALSE(about.isVisible());
  core().N7->Click();
  EXPECT_TRUE(about.isVisible());
  EXPECT_EQ(about.pos(), QPoint(40, 50));
  f.SetForm2(nullptr);
}

TEST_F(FormTest, PicturesAreDrawnAndDistinct) {
  TForm1& f = create();
  EXPECT_EQ(f.sAlphaImageList1.Count(), 16);
  std::vector<QImage> images;
  for (int i = 0; i < f.sAlphaImageList1.Count(); ++i) {
    const QImage image = f.sAlphaImageList1.Pixmap(i).toImage();
    ASSERT_EQ(image.size(), QSize(16, 16)) << i;
    EXPECT_TRUE(image.hasAlphaChannel()) << i;
    for (const QImage& other : images) EXPECT_NE(image, other) << i;
    images.push_back(image);
  }
  // Each optional engine's picture is in the list: a name without one would fail the menu when it is made.
  for (const translate::TOptionalEngine& engine : translate::OptionalEngines())
    EXPECT_NO_THROW(TImageList::IndexOf(engine.Picture)) << engine.Picture;
}

TEST(Theme, BuiltInThemeIsFoundWhateverTheCaseUnknownOneIsReported) {
  ApplyTheme(*qApp, u"windows10 SLATEGRAY");
  EXPECT_EQ(QApplication::palette().color(QPalette::Window), QColor(0x4b, 0x58, 0x66));
  EXPECT_TRUE(qApp->styleSheet().contains(QStringLiteral("QMenu")));
  try {
    ApplyTheme(*qApp, u"Windows10 Dark");
    ADD_FAILURE() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), u"Style 'Windows10 Dark' not found");
  }
}

TEST(ErrorBox, EchoGetsTheTextFirstAndTheScreenlessBoxDoesNotRepeatIt) {
  std::vector<std::u16string> echoed;
  const shell::TErrorEcho previous = shell::SetErrorEcho([&](const std::u16string& text) { echoed.push_back(text); });
  ::testing::internal::CaptureStderr();
  shell::ShowErrorBox(
      u"Could not bind socket. Address and port are already in use.\nPort 8888 is in use by another program");
  const std::string printedWithEcho = ::testing::internal::GetCapturedStderr();
  shell::SetErrorEcho(previous);
  EXPECT_EQ(echoed, std::vector<std::u16string>{u"Could not bind socket. Address and port are already in use.\n"
                                                u"Port 8888 is in use by another program."});
  EXPECT_EQ(printedWithEcho, "") << "offscreen, the echo is the only copy";

  // Without an echo the offscreen box prints the text itself.
  ::testing::internal::CaptureStderr();
  shell::ShowErrorBox(u"Broken");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Tessarine: Broken.\n");
}

}  // namespace
}  // namespace tessarine::ui::testing
