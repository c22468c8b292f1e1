#pragma once

namespace tessarine::shell {

// Screen geometry in pixels, as each toolkit reports it.
struct TPoint {
  int X = 0;
  int Y = 0;
  friend bool operator==(const TPoint&, const TPoint&) = default;
};

struct TSize {
  int Width = 0;
  int Height = 0;
};

struct TRect {
  int Left = 0;
  int Top = 0;
  int Width = 0;
  int Height = 0;
  // Just past the last column and row.
  int Right() const { return Left + Width; }
  int Bottom() const { return Top + Height; }
};

// Where FormShow puts the log window's outer top-left corner: the left edge touches the primary screen's right
// edge; a panel along the bottom (the part of the primary screen below its work area) gives T, its top edge, and
// the window sits on it; with no bottom panel T = 0 and the top is outer height - 5.
TPoint FormShowPosition(const TRect& primaryScreen, const TRect& primaryWorkArea, const TSize& outerSize);

// Where the About window's first showing puts a window of this outer size: centred in the work area, halves
// rounded toward zero, never left of or above the desktop's top-left corner.
TPoint CentredPosition(const TRect& workArea, const TRect& desktop, const TSize& outerSize);

}  // namespace tessarine::shell
