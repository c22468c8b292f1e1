#include "ui/frame_placement.h"

#include <QEvent>
#include <QWidget>
#include <QWindow>

namespace tessarine::ui {

TFramePlacement::TFramePlacement(QWidget& window, TPlace place)
    : QObject(&window), m_window(window), m_place(std::move(place)) {
  m_window.installEventFilter(this);
}

void TFramePlacement::Place() {
  watchWindowHandle();
  m_placedSize = outerSize();
  if (const std::optional<QPoint> position = m_place(*m_placedSize)) m_window.move(*position);
}

QSize TFramePlacement::outerSize() const {
  // The native window's margins are read afresh from the window system; the widget's own copy of them is
  // only brought up to date by a move or a resize, and a window framed where it stands gets neither.
  if (const QWindow* handle = m_window.windowHandle()) return m_window.size().grownBy(handle->frameMargins());
  return m_window.frameGeometry().size();
}

void TFramePlacement::watchWindowHandle() {
  QWindow* handle = m_window.windowHandle();
  if (!handle || handle == m_watchedHandle) return;
  m_watchedHandle = handle;
  handle->installEventFilter(this);
}

void TFramePlacement::checkFrame() {
  // Not while it is being shown: the show itself still applies the widget's own geometry afterwards.
  if (!m_window.isVisible()) return;
  const QSize outer = outerSize();
  if (outer == *m_placedSize) return;
  m_placedSize = outer;
  const std::optional<QPoint> position = m_place(outer);
  if (!position) return;
  if (QWindow* handle = m_window.windowHandle()) {
    handle->setFramePosition(*position);
  } else {
    m_window.move(*position);
  }
}

bool TFramePlacement::eventFilter(QObject* watched, QEvent* event) {
  if (watched == &m_window && event->type() == QEvent::Show) watchWindowHandle();
  if (m_placedSize && (watched == &m_window || watched == m_watchedHandle)) {
    switch (event->type()) {
      case QEvent::Hide:
        if (watched == &m_window) m_placedSize.reset();
        break;
      // After mapping: the window manager has framed the window by the time it is exposed, or it moves it.
      case QEvent::Expose:
      case QEvent::Move:
      case QEvent::Resize:
        checkFrame();
        break;
      default:
        break;
    }
  }
  return QObject::eventFilter(watched, event);
}

}  // namespace tessarine::ui
