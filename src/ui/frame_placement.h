#pragma once

#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QRect>
#include <QSize>
#include <QWindow>
#include <functional>
#include <optional>

#include "shell/window_placement.h"

class QWidget;

namespace tessarine::ui {

// Qt's geometry as the core's placement rules take it, and back.
inline shell::TRect ToRect(const QRect& rect) { return {rect.x(), rect.y(), rect.width(), rect.height()}; }
inline shell::TSize ToSize(const QSize& size) { return {size.width(), size.height()}; }
inline QPoint ToQPoint(const shell::TPoint& point) { return {point.X, point.Y}; }

// Places a top-level window by its outer size, frame included. Before a window is first mapped the window
// manager has not yet said how thick its frame is (the extents arrive after mapping), so the first placement
// can only go by the client size; this places the window again as soon as the frame turns out to be of
// another size than the one it was placed with.
class TFramePlacement : public QObject {
  Q_OBJECT

 public:
  // place: where the outer top-left corner goes for an outer size; nothing leaves the window where it is.
  using TPlace = std::function<std::optional<QPoint>(const QSize& outerSize)>;

  TFramePlacement(QWidget& window, TPlace place);

  // Places the window now; until it is hidden, a change of its frame's size places it again. A window the
  // user moves keeps its place, as long as its frame stays the same.
  void Place();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QSize outerSize() const;
  void watchWindowHandle();
  // Places the window again when its outer size is no longer the one it was placed with.
  void checkFrame();

  QWidget& m_window;
  TPlace m_place;
  QPointer<QWindow> m_watchedHandle;
  std::optional<QSize> m_placedSize;
};

}  // namespace tessarine::ui
