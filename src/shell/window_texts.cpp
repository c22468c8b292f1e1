#include "shell/window_texts.h"

namespace tessarine::shell {

std::vector<std::u16string> AboutNoteLines() {
  return {
      u"Прокси для машинного перевода в программе Tessarine 3.",
      u"Если есть проблемы с прокси пишите мне на почту.",
      u"",
      u"Mail: " + std::u16string(kContactMail) + u" (с пометкой прокси Tessarine)",
      u"",
      u"И как только будит готово вы первый человек",
      u"которому придёт обновлённая версия.",
  };
}

}  // namespace tessarine::shell
