#include "shell/window_placement.h"

#include <algorithm>

namespace tessarine::shell {

TPoint FormShowPosition(const TRect& primaryScreen, const TRect& primaryWorkArea, const TSize& outerSize) {
  const int left = primaryScreen.Right() - outerSize.Width;
  const bool bottomPanel = primaryWorkArea.Bottom() < primaryScreen.Bottom();
  const int taskbarTop = bottomPanel ? primaryWorkArea.Bottom() : 0;
  const int top = taskbarTop != 0 ? taskbarTop - outerSize.Height : taskbarTop + outerSize.Height - 5;
  return {left, top};
}

TPoint CentredPosition(const TRect& workArea, const TRect& desktop, const TSize& outerSize) {
  const int left = workArea.Left + (workArea.Width - outerSize.Width) / 2;
  const int top = workArea.Top + (workArea.Height - outerSize.Height) / 2;
  return {std::max(left, desktop.Left), std::max(top, desktop.Top)};
}

}  // namespace tessarine::shell
