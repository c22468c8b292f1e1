// The Win32 shell's menu and tray icon: the menu follows the model (captions, check marks, the bold default item,
// hidden items and the separators they leave), a chosen command performs its item; the icon is added, changed,
// added again when the notification area is new, removed at the end, and its mouse messages reach the core.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "ui/win32/menu_view.h"
#include "ui/win32/tray_icon.h"

namespace tessarine::ui::win32 {
namespace {

// "caption" for an item, "-" for a separator, with "*" for a check mark, "!" for disabled, "=" for the default.
std::vector<std::string> Entries(HMENU menu) {
  std::vector<std::string> entries;
  const UINT defaultId = GetMenuDefaultItem(menu, FALSE, 0);
  for (int i = 0; i < GetMenuItemCount(menu); ++i) {
    const UINT state = GetMenuState(menu, static_cast<UINT>(i), MF_BYPOSITION);
    if (state & MF_SEPARATOR) {
      entries.push_back("-");
      continue;
    }
    wchar_t caption[64] = {};
    GetMenuStringW(menu, static_cast<UINT>(i), caption, 64, MF_BYPOSITION);
    std::string entry(caption, caption + wcslen(caption));
    if (state & MF_CHECKED) entry += "*";
    if (state & MF_GRAYED) entry += "!";
    if (GetMenuItemID(menu, i) == defaultId) entry += "=";
    entries.push_back(entry);
  }
  return entries;
}

TEST(Win32Menu, ShowsThePictureOfEachItemThatHasOne) {
  shell::TPopupMenu model;
  shell::TMenuItem& google = model.Add("G1", u"Google", "googletr");
  model.Add("N5", u"Exit");
  const HBITMAP googlePicture = CreateBitmap(16, 16, 1, 32, nullptr);
  const HBITMAP bingPicture = CreateBitmap(16, 16, 1, 32, nullptr);
  TMenuView view(model, [&](const std::string& name) { return name == "googletr" ? googlePicture : bingPicture; });
  const auto pictureOf = [&](int position) {
    MENUITEMINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = MIIM_BITMAP;
    GetMenuItemInfoW(view.Handle(), static_cast<UINT>(position), TRUE, &info);
    return info.hbmpItem;
  };
  EXPECT_EQ(pictureOf(0), googlePicture);
  EXPECT_EQ(pictureOf(1), nullptr);
  google.SetPicture("bingicon");
  EXPECT_EQ(pictureOf(0), bingPicture);
  DeleteObject(googlePicture);
  DeleteObject(bingPicture);
}

TEST(Win32Menu, FollowsTheModelAndPerformsTheChosenItem) {
  shell::TPopupMenu model;
  shell::TMenuItem& on = model.Add("N6", u"On");
  model.AddLine("N3");
  shell::TMenuItem& google = model.Add("G1", u"Google");
  google.SetCheckable(true);
  google.SetChecked(true);
  shell::TMenuItem& systran = model.Add("S1", u"SYSTRAN");
  systran.SetVisible(false);
  model.AddLine("N9");
  shell::TMenuItem& exit = model.Add("N5", u"Exit");
  on.SetDefault(true);
  int clicks = 0;
  google.OnClick = [&] { ++clicks; };

  TMenuView view(model);
  EXPECT_EQ(Entries(view.Handle()), (std::vector<std::string>{"On=", "-", "Google*", "-", "Exit"}));

  on.SetCaption(u"Off");
  google.SetChecked(false);
  exit.SetEnabled(false);
  systran.SetVisible(true);
  EXPECT_EQ(Entries(view.Handle()), (std::vector<std::string>{"Off=", "-", "Google", "SYSTRAN", "-", "Exit!"}));

  // Nothing visible between two separators: one of them goes as well, and none is left at the end.
  google.SetVisible(false);
  systran.SetVisible(false);
  exit.SetVisible(false);
  EXPECT_EQ(Entries(view.Handle()), (std::vector<std::string>{"Off="}));
  google.SetVisible(true);
  model.Insert(google, "B1", u"Bing");
  EXPECT_EQ(Entries(view.Handle()), (std::vector<std::string>{"Off=", "-", "Bing", "Google"}));

  EXPECT_TRUE(view.Perform(static_cast<UINT>(google.Id())));
  EXPECT_EQ(clicks, 1);
  EXPECT_FALSE(view.Perform(0)) << "the menu closed without a choice";
  EXPECT_FALSE(view.Perform(9999));
}

TEST(Win32Menu, OutlivesItsModel) {
  auto model = std::make_unique<shell::TPopupMenu>();
  model->Add("N5", u"Exit");
  TMenuView view(*model);
  const UINT id = static_cast<UINT>(model->Item(0).Id());
  model.reset();
  EXPECT_EQ(GetMenuItemCount(view.Handle()), 0);
  EXPECT_FALSE(view.Perform(id));
}

struct Call {
  DWORD Message;
  std::wstring Tip;
};

TEST(Win32TrayIcon, ComesBackWithANewNotificationAreaAndReportsTheMouse) {
  std::vector<Call> calls;
  constexpr UINT kCallback = WM_APP + 1;
  {
    TTrayIcon icon(nullptr, kCallback, [&](DWORD message, NOTIFYICONDATAW& data) {
      calls.push_back({message, data.szTip});
      return true;
    });
    icon.SetTip(u"Tessarine");
    icon.Show();
    icon.Show();
    icon.SetTip(u"Tessarine: on");
    std::optional<shell::TIconMessage> mouse;
    EXPECT_TRUE(icon.HandleMessage(RegisterWindowMessageW(L"TaskbarCreated"), 0, 0, mouse));
    EXPECT_FALSE(mouse);
    EXPECT_TRUE(icon.HandleMessage(kCallback, 1, WM_LBUTTONDBLCLK, mouse));
    EXPECT_EQ(mouse, shell::TIconMessage::DoubleClick);
    EXPECT_TRUE(icon.HandleMessage(kCallback, 1, WM_RBUTTONUP, mouse));
    EXPECT_EQ(mouse, shell::TIconMessage::ContextMenu);
    EXPECT_TRUE(icon.HandleMessage(kCallback, 1, WM_MOUSEMOVE, mouse));
    EXPECT_FALSE(mouse);
    EXPECT_FALSE(icon.HandleMessage(WM_TIMER, 0, 0, mouse));
    icon.Hide();
    EXPECT_TRUE(icon.HandleMessage(RegisterWindowMessageW(L"TaskbarCreated"), 0, 0, mouse));  // hidden: not added
  }
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0].Message, static_cast<DWORD>(NIM_ADD));
  EXPECT_EQ(calls[0].Tip, L"Tessarine");
  EXPECT_EQ(calls[1].Message, static_cast<DWORD>(NIM_MODIFY));
  EXPECT_EQ(calls[1].Tip, L"Tessarine: on");
  EXPECT_EQ(calls[2].Message, static_cast<DWORD>(NIM_ADD));
  EXPECT_EQ(calls[3].Message, static_cast<DWORD>(NIM_DELETE));
}

}  // namespace
}  // namespace tessarine::ui::win32
