#pragma once

#include <QLabel>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QWidget>

namespace tessarine::ui {

class TFramePlacement;

// The About window Form2: the proxy's name, author, version, build date and a note (the core's texts, always in
// Russian). Created hidden; closing it only hides it.
class TForm2 : public QWidget {
  Q_OBJECT

 public:
  explicit TForm2(QWidget* parent = nullptr);

  // Shows the window in front without waiting for it; the first time centred in its screen's work area (by
  // its frame's size once the window manager has framed it).
  void ShowAbout();

  // Where the first showing places a window of this outer size (shell::CentredPosition).
  static QPoint CentredPosition(const QRect& workArea, const QRect& desktop, const QSize& outerSize);

  QLabel* Image1;
  QLabel* sLabel1;
  QLabel* sLabel2;
  QLabel* sLabel4;
  QLabel* sLabel3;

 private:
  bool m_placed = false;
  TFramePlacement* m_placement;
};

}  // namespace tessarine::ui
