#include "ui/form2.h"

#include <QGuiApplication>
#include <QScreen>
#include <algorithm>

#include "shell/window_texts.h"
#include "ui/frame_placement.h"
#include "ui/image_list.h"
#include "ui/qt_text.h"

namespace tessarine::ui {

namespace {

// Texts drawn in a fixed light grey whatever the theme.
QLabel* MakeLabel(QWidget* parent, const QString& text, int left, int top) {
  auto* label = new QLabel(text, parent);
  label->setWordWrap(false);
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, QColor(0xE8, 0xE8, 0xE8));
  label->setPalette(palette);
  label->move(left, top);
  label->adjustSize();
  return label;
}

}  // namespace

TForm2::TForm2(QWidget* parent)
    : QWidget(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::WindowStaysOnTopHint | Qt::MSWindowsFixedSizeDialogHint) {
  setObjectName(QStringLiteral("Form2"));
  setWindowTitle(ToQString(shell::kAboutCaption));
  setFixedSize(360, 195);
  setFont(QFont(QStringLiteral("Tahoma"), 8));
  setAutoFillBackground(true);
  setBackgroundRole(QPalette::Button);

  Image1 = new QLabel(this);
  Image1->setGeometry(8, 8, 89, 73);
  Image1->setScaledContents(true);  // the 64 x 64 emblem fills the box; its aspect ratio is not kept
  Image1->setAttribute(Qt::WA_TranslucentBackground);
  Image1->setPixmap(TImageList::AboutEmblem());

  sLabel1 = MakeLabel(this, ToQString(shell::kAboutName), 112, 16);
  sLabel2 = MakeLabel(this, ToQString(shell::kAboutVersion), 112, 35);
  sLabel4 = MakeLabel(this, ToQString(shell::kAboutBuildDate), 112, 54);
  // Qt's labels break lines at "\n" (a carriage return would be drawn as a character).
  QStringList lines;
  for (const std::u16string& line : shell::AboutNoteLines()) lines << ToQString(line);
  const QString note = lines.join(QLatin1Char('\n'));
  sLabel3 = MakeLabel(this, note, 40, 87);

  // The layout is drawn for Tahoma; where a wider font stands in for it, the window grows to show every line
  // whole instead of cutting the ends off.
  QRect used;
  for (const QLabel* label : {sLabel1, sLabel2, sLabel4, sLabel3}) used |= label->geometry();
  constexpr int kMargin = 8;
  setFixedSize(std::max(width(), used.right() + 1 + kMargin), std::max(height(), used.bottom() + 1 + kMargin));

  m_placement = new TFramePlacement(*this, [this](const QSize& outerSize) -> std::optional<QPoint> {
    const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    if (!screen) return std::nullopt;
    return CentredPosition(screen->availableGeometry(), screen->virtualGeometry(), outerSize);
  });
}

QPoint TForm2::CentredPosition(const QRect& workArea, const QRect& desktop, const QSize& outerSize) {
  return ToQPoint(shell::CentredPosition(ToRect(workArea), ToRect(desktop), ToSize(outerSize)));
}

void TForm2::ShowAbout() {
  if (!m_placed) {
    m_placed = true;
    m_placement->Place();
  }
  show();
  raise();
  activateWindow();
}

}  // namespace tessarine::ui
