#pragma once

#include <QIcon>
#include <QPixmap>
#include <array>
#include <string_view>

namespace tessarine::ui {

// The image list sAlphaImageList1 shared by the tray icon and the popup menu: the ten drawn pictures of the
// designed menu and one for each optional engine with a picture of its own, compiled into the program, presented in
// 16 x 16 cells.
class TImageList {
 public:
  static constexpr int kCount = 16;
  static constexpr int kCellSize = 16;

  // Picture indexes.
  enum : int {
    kGoogle = 0,
    kBing = 1,
    kYandex = 2,
    kOnline = 3,
    kOffline = 4,
    kShowLog = 5,
    kClearLog = 6,
    kPromt = 7,
    kBabylon = 8,
    kSystran = 9,
    kApertium = 10,
    kDeepL = 11,
    kMicrosoft = 12,
    kGoogleCloud = 13,
    kYandexCloud = 14,
    kLLM = 15,
  };

  TImageList();

  int Count() const { return kCount; }
  // The picture as an icon: the 16 x 16 cell, plus sharper renderings for larger tray slots and dense screens.
  const QIcon& Icon(int index) const;
  // The picture drawn at size x size pixels.
  QPixmap Pixmap(int index, int size = kCellSize) const;

  // The index of the picture of that name ("online", "apertium": its file name without ".svg"); raises
  // tessarine::Exception for a name that is not in the list.
  static int IndexOf(std::string_view name);

  // The About window's emblem: a 64 x 64 picture with alpha channel.
  static QPixmap AboutEmblem();

 private:
  std::array<QIcon, kCount> m_icons;
};

}  // namespace tessarine::ui
