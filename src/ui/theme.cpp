#include "ui/theme.h"

#include <QApplication>
#include <QColor>
#include <QFile>
#include <QPalette>
#include <QStyle>
#include <QStyleFactory>
#include <QTextStream>
#include <array>
#include <optional>
#include <utility>

#include "common/exception.h"
#include "common/text.h"
#include "ui/qt_text.h"

namespace tessarine::ui {

namespace {

struct TThemeResource {
  std::u16string_view Name;
  const char* Palette;
  const char* StyleSheet;
};

constexpr std::array kThemes{
    TThemeResource{kThemeName, ":/themes/windows10_slategray.palette", ":/themes/windows10_slategray.qss"},
};

QString ReadResource(const char* path) {
  QFile file(QString::fromLatin1(path));
  if (!file.open(QIODevice::ReadOnly)) throw Exception(std::string("Missing theme resource ").append(path));
  return QString::fromUtf8(file.readAll());
}

std::optional<QPalette::ColorRole> RoleByName(const QString& name) {
  static const std::array<std::pair<const char*, QPalette::ColorRole>, 20> roles{{
      {"Window", QPalette::Window},
      {"WindowText", QPalette::WindowText},
      {"Base", QPalette::Base},
      {"AlternateBase", QPalette::AlternateBase},
      {"Text", QPalette::Text},
      {"Button", QPalette::Button},
      {"ButtonText", QPalette::ButtonText},
      {"BrightText", QPalette::BrightText},
      {"Light", QPalette::Light},
      {"Midlight", QPalette::Midlight},
      {"Mid", QPalette::Mid},
      {"Dark", QPalette::Dark},
      {"Shadow", QPalette::Shadow},
      {"Highlight", QPalette::Highlight},
      {"HighlightedText", QPalette::HighlightedText},
      {"ToolTipBase", QPalette::ToolTipBase},
      {"ToolTipText", QPalette::ToolTipText},
      {"PlaceholderText", QPalette::PlaceholderText},
      {"Link", QPalette::Link},
      {"LinkVisited", QPalette::LinkVisited},
  }};
  for (const auto& [roleName, role] : roles) {
    if (name == QLatin1String(roleName)) return role;
  }
  return std::nullopt;
}

// Lines "Role=#rrggbb" or "Disabled:Role=#rrggbb"; "#" lines are comments.
QPalette ParsePalette(const QString& text, QPalette palette) {
  const QStringList lines = text.split(QLatin1Char('\n'));
  for (const QString& raw : lines) {
    const QString line = raw.trimmed();
    if (line.isEmpty() || line.startsWith(QLatin1Char('#'))) continue;
    const qsizetype equals = line.indexOf(QLatin1Char('='));
    if (equals < 0) continue;
    QString name = line.left(equals).trimmed();
    const QColor color = QColor::fromString(line.mid(equals + 1).trimmed());
    bool disabledOnly = false;
    if (name.startsWith(QLatin1String("Disabled:"))) {
      disabledOnly = true;
      name = name.mid(9);
    }
    const std::optional<QPalette::ColorRole> role = RoleByName(name);
    if (!role || !color.isValid()) continue;
    if (disabledOnly) {
      palette.setColor(QPalette::Disabled, *role, color);
    } else {
      palette.setColor(*role, color);
    }
  }
  return palette;
}

}  // namespace

void ApplyTheme(QApplication& application, std::u16string_view name) {
  for (const TThemeResource& theme : kThemes) {
    if (!SameTextAscii(theme.Name, name)) continue;
    // Fusion draws every control from the palette, so the theme looks the same on every desktop.
    if (QStyle* style = QStyleFactory::create(QStringLiteral("Fusion"))) QApplication::setStyle(style);
    const QPalette palette = ParsePalette(ReadResource(theme.Palette), QApplication::style()->standardPalette());
    QApplication::setPalette(palette);
    application.setStyleSheet(ReadResource(theme.StyleSheet));
    return;
  }
  throw Exception(u"Style '" + std::u16string(name) + u"' not found");
}

}  // namespace tessarine::ui
