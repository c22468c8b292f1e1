#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/exception.h"

// Software strings through machine translation: the parts an engine must not touch (placeholders, markup,
// escapes, product names) travel as tokens the engine keeps, and come back checked.
namespace tessarine::translate {

// How a protected piece travels to an engine. Each engine takes the form it keeps best; the markup forms need
// the engine told that the text is markup (TTextFormat::Markup), and the plain text around their tokens escaped.
enum class TTokenForm {
  // <x id="1"/>: an empty XML element; kept in place by an engine that carries markup through as it is.
  XmlTag,
  // <x id="1"></x>: the same as an element pair, which HTML parsers write back as they read it (an HTML parser
  // takes "<x/>" for an opening tag that holds the rest of the text) and which an engine told to ignore the
  // element "x" leaves alone.
  XmlPair,
  // <span class="notranslate">%s</span>: the piece itself, escaped, inside a span that HTML engines leave
  // untranslated by class.
  NotranslateSpan,
  // <span translate="no">%s</span>: the same by the HTML attribute.
  TranslateNoSpan,
  // [X1X]: plain ASCII without quotes, angle brackets or ampersands, for engines that take only plain text
  // (and an instruction to keep the tokens, for a language model).
  Bracketed,
};

// The form is markup: the engine must read the text as XML or HTML, and "& < >" of the text are escaped.
bool IsMarkup(TTokenForm form);

// The sentence a language model's instructions carry so that it keeps the tokens of the form.
std::u16string_view KeepTokensInstruction(TTokenForm form);

// [Protect] of the settings: switched on by Enabled=1.
struct TProtectSettings {
  // Names never translated (a product's name), longest first, none empty or twice.
  std::vector<std::u16string> Terms;

  // The terms of a Terms= value: separated by ";", blanks around each dropped.
  static TProtectSettings FromTerms(std::u16string_view list);
  // What a cached translation made under these settings is filed under besides its text: protected translations
  // differ from unprotected ones, and from those made with other terms.
  std::u16string CacheTag() const;
};

// An engine changed the protected pieces of a text: "Placeholders changed by Apertium: %s missing". A failure of
// that engine for that text alone, so nothing damaged is answered or cached, and another engine may be asked.
TESSARINE_EXCEPTION(EPlaceholdersChanged, EIdException);

// One text with its protected pieces taken out, in one engine's form.
//
// Protected: printf conversions (%s, %5.2f, %1$s, %(name)s, %%), Qt's %1 to %99, braces ({0}, {name}, {0:N2},
// {}, {{name}}), XML and HTML tags, comments and entities, the escapes \n \t \r \\ \" \' \uXXXX, "&&" and the
// terms; pieces side by side make one token. A single "&" before a letter is a menu accelerator: taken out, so
// that the engine sees the word, and put back before the same letter of the translation, or as "(&X)" after it
// when the letter is not there. Texts that only look like placeholders ("100%", "{" alone, "a & b") go as they are.
class TProtectedText {
 public:
  TProtectedText(std::u16string_view text, TTokenForm form, const TProtectSettings& settings);

  TTokenForm Form() const { return m_form; }
  // What the engine is sent.
  const std::u16string& Sent() const { return m_sent; }

  // The translation with every piece put back. Each must come back exactly once, wherever the engine placed it;
  // tokens with blanks added, or in another letter case, are recognised. Raises EPlaceholdersChanged naming
  // engineName and what was missing, duplicated or unknown. An empty reply (no translation) stays empty.
  std::u16string Restore(std::u16string_view reply, std::u16string_view engineName) const;

 private:
  void appendToken(size_t index);
  // Puts the accelerator back into the restored text; plain holds where the engine's own text stands in it.
  void placeAccelerator(std::u16string& text, const std::vector<std::pair<size_t, size_t>>& plain) const;

  TTokenForm m_form;
  std::u16string m_sent;
  // Each token's pieces as they stand in the text, by token number less one.
  std::vector<std::u16string> m_pieces;
  // The letter that followed the accelerator's "&".
  std::optional<char16_t> m_accelerator;
  // For each piece, the first piece of the same text.
  std::vector<size_t> m_first;
  // The most a token's content may take in a reply.
  size_t m_longestToken = 0;
};

}  // namespace tessarine::translate
