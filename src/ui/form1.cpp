#include "ui/form1.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFont>
#include <QGuiApplication>
#include <QScreen>
#include <QSessionManager>
#include <QShowEvent>

#include "shell/error_box.h"
#include "shell/window_placement.h"
#include "shell/window_texts.h"
#include "ui/application.h"
#include "ui/form2.h"
#include "ui/qt_text.h"

namespace tessarine::ui {

TForm1::TForm1(TForm1Options options)
    : QWidget(nullptr, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                           Qt::WindowStaysOnTopHint),
      // exit, not quit: a quit can be refused by a window that will not close, as this one will not.
      m_terminate(options.Terminate ? std::move(options.Terminate)
                                    : std::function<void()>([] { QCoreApplication::exit(0); })),
      m_core(std::make_unique<shell::TProxyCore>(static_cast<shell::IDesktopShell&>(*this), std::move(options))) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(ToQString(shell::kMainFormCaption));
  setFixedSize(kClientWidth, kClientHeight);
  setFont(QFont(QStringLiteral("Tahoma"), 8));
  setAutoFillBackground(true);
  setBackgroundRole(QPalette::Button);

  sLabel1 = new QLabel(ToQString(m_core->LogCaption()), this);
  sLabel1->setGeometry(0, 0, kClientWidth, 13);
  QPalette labelPalette = sLabel1->palette();
  labelPalette.setColor(QPalette::WindowText, QColor(0xE8, 0xE8, 0xE8));
  sLabel1->setPalette(labelPalette);

  sMemo1 = new TLogMemo(m_core->LogLines(), this);
  sMemo1->setGeometry(0, 13, kClientWidth, kClientHeight - 13);
  sMemo1->setFocus();

  m_menuView = new TMenuView(m_core->PopupMenu1, sAlphaImageList1, this);
  PopupMenu1 = &m_menuView->Menu();
  TrayIcon = new TTrayIcon(
      sAlphaImageList1, *PopupMenu1, m_core->PopupMenu1, *this,
      [this](shell::TIconMessage message) { m_core->HandleIconMessage(message); }, this);
  SetTrayPicture(m_core->TrayPicture());
  m_placement = new TFramePlacement(*this, [](const QSize& outerSize) -> std::optional<QPoint> {
    const QScreen* primary = QGuiApplication::primaryScreen();
    if (!primary) return std::nullopt;
    return FormShowPosition(primary->geometry(), primary->availableGeometry(), outerSize);
  });

  Timer1 = new QTimer(this);
  Timer1->setInterval(shell::TProxyCore::kTimer1Interval);
  connect(Timer1, &QTimer::timeout, this, [this] { shell::RunHandler([this] { m_core->Timer1Timer(); }); });
  Timer1->start();

  m_core->Created();
  connect(qApp, &QGuiApplication::commitDataRequest, this, [this](QSessionManager&) { m_core->SessionEnding(); });
}

TForm1::~TForm1() {
  m_core.reset();
  TrayIcon->SetIconVisible(false);
}

QPoint TForm1::FormShowPosition(const QRect& primaryScreen, const QRect& primaryWorkArea, const QSize& outerSize) {
  return ToQPoint(shell::FormShowPosition(ToRect(primaryScreen), ToRect(primaryWorkArea), ToSize(outerSize)));
}

void TForm1::FormShow() { m_placement->Place(); }

void TForm1::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!event->spontaneous()) shell::RunHandler([this] { FormShow(); });
}

void TForm1::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  // A minimize through the window manager goes to the tray, as a close does, so that Show log brings the
  // window back placed instead of de-iconifying it wherever it was. Queued: the window system is still
  // delivering the state change.
  if (event->type() == QEvent::WindowStateChange && isMinimized()) {
    QMetaObject::invokeMethod(
        this,
        [this] {
          if (isMinimized() && isVisible()) shell::RunHandler([this] { TrayIcon->MinimizeToTray(); });
        },
        Qt::QueuedConnection);
  }
}

void TForm1::closeEvent(QCloseEvent* event) {
  // When the whole application is asked to end (the session ends, the platform quits it) the window closes
  // like any other: a tray program must never keep the user from logging off.
  if (TApplication::Ending()) {
    event->accept();
    return;
  }
  bool canClose = true;
  shell::RunHandler([&] { m_core->FormCloseQuery(canClose); });
  if (canClose) {
    event->accept();
  } else {
    event->ignore();
  }
}

void TForm1::ShowMainForm() { TrayIcon->ShowMainForm(); }

void TForm1::MinimizeToTray() { TrayIcon->MinimizeToTray(); }

void TForm1::PopupAtCursor() { TrayIcon->PopupAtCursor(); }

void TForm1::ShowAbout() {
  if (Form2) Form2->ShowAbout();
}

void TForm1::ClearLog() { sMemo1->ClearLog(); }

void TForm1::SetLogCaption(const std::u16string& caption) { sLabel1->setText(ToQString(caption)); }

void TForm1::SetTrayPicture(std::string_view picture) { TrayIcon->SetIconIndex(TImageList::IndexOf(picture)); }

void TForm1::Terminate() { m_terminate(); }

}  // namespace tessarine::ui
