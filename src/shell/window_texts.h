#pragma once

#include <string>
#include <vector>

namespace tessarine::shell {

// The texts of the two windows that no language setting changes.

// The log window's caption.
inline constexpr char16_t kMainFormCaption[] = u"Tessarine Proxy";

// The About window (Form2), always Russian.
inline constexpr char16_t kAboutCaption[] = u"О программе";
inline constexpr char16_t kAboutName[] = u"Tessarine Proxy by Quillfen";
inline constexpr char16_t kAboutVersion[] = u"Версия: 0.6";
inline constexpr char16_t kAboutBuildDate[] = u"Этот билд был создан: 16.07.2017";
inline constexpr char16_t kContactMail[] = u"quillfen@example.org";
// The note, line by line (each toolkit joins them with its own line break).
std::vector<std::u16string> AboutNoteLines();

}  // namespace tessarine::shell
