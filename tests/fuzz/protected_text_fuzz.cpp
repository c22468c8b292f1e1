// Arbitrary text protected in each token form, and arbitrary bytes as the engine's reply to it. Restoring the reply
// ends with a translation or EPlaceholdersChanged, never a crash or a hang; the text's own tokens sent straight
// back always restore, and to the text itself when it holds no "&" (an accelerator may come back before another
// instance of its letter). The first byte splits the input: the text before the first 0x00 byte, the reply after.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "translate/protected_text.h"

namespace {

using namespace tessarine::translate;

const TProtectSettings kTerms = TProtectSettings::FromTerms(u"Tessarine Studio;Tessarine;%");

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::u16string text;
  std::u16string reply;
  bool inReply = false;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0 && !inReply) {
      inReply = true;
      continue;
    }
    (inReply ? reply : text).push_back(static_cast<char16_t>(data[i] >= 0xF0 ? 0x0400 + data[i] : data[i]));
  }
  for (TTokenForm form : {TTokenForm::XmlTag, TTokenForm::XmlPair, TTokenForm::NotranslateSpan,
                          TTokenForm::TranslateNoSpan, TTokenForm::Bracketed}) {
    const TProtectedText protectedText(text, form, kTerms);
    const std::u16string back = protectedText.Restore(protectedText.Sent(), u"engine");
    if (text.find(u'&') == std::u16string::npos && back != text) std::abort();
    try {
      protectedText.Restore(reply, u"engine");
    } catch (const EPlaceholdersChanged&) {
    }
  }
  return 0;
}
