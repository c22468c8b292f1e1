// Protected pieces of software strings: what is taken out, the tokens each form sends, and what the checks make
// of an engine's reply.

#include "translate/protected_text.h"

#include <gtest/gtest.h>

#include "common/text.h"

namespace tessarine::translate {
namespace {

using F = TTokenForm;

const TProtectSettings kTerms = TProtectSettings::FromTerms(u" Tessarine ; ;Tessarine Studio;Tessarine");

struct SentCase {
  std::u16string Text;
  F Form;
  std::u16string Sent;
};

TEST(ProtectedText, RecognisesPlaceholdersMarkupEscapesAndTermsAndNothingThatOnlyLooksLikeThem) {
  const SentCase cases[] = {
      {u"Open the file %s now", F::Bracketed, u"Open the file [X1X] now"},
      {u"Copied %d of %5.2f MB, %-10s %lld %zu", F::Bracketed, u"Copied [X1X] of [X2X] MB, [X3X] [X4X] [X5X]"},
      {u"%1$s has %2$d: %% and %(name)s", F::Bracketed, u"[X1X] has [X2X]: [X3X] and [X4X]"},
      {u"Save %1 of %2, %L3", F::Bracketed, u"Save [X1X] of [X2X], [X3X]"},
      {u"Done: 100% done, 50% of it, 100%", F::Bracketed, u"Done: 100% done, 50% of it, 100%"},
      {u"Delete {0} items? {name} {0:N2} {1,-8} {} {{user}}", F::Bracketed,
       u"Delete [X1X] items? [X2X] [X3X] [X4X] [X5X] [X6X]"},
      {u"a { b } c {x y} {", F::Bracketed, u"a { b } c {x y} {"},
      {u"Line one\\nLine two\\t!\\u00e9", F::Bracketed, u"Line one[X1X]Line two[X2X]![X3X]"},
      // Side by side, nested markup makes one token; a quoted ">" stays inside its tag.
      {u"<a href=\"x>y\"><b>Nested</b></a> <br/><!-- c -->", F::Bracketed, u"[X1X]Nested[X2X] [X3X]"},
      {u"Fish &amp; chips &#39;n&#x27; &nbsp;", F::Bracketed, u"Fish [X1X] chips [X2X]n[X3X] [X4X]"},
      {u"a & b < c > d; x<1", F::Bracketed, u"a & b < c > d; x<1"},
      {u"a & b < c > d", F::XmlTag, u"a &amp; b &lt; c &gt; d"},
      {u"E&xit", F::XmlTag, u"Exit"},
      {u"Save && E&xit &Now", F::XmlTag, u"Save <x id=\"1\"/> Exit &amp;Now"},
      {u"Open the File menu of Tessarine Studio, not Tessarines", F::Bracketed,
       u"Open the File menu of [X1X], not Tessarines"},
      // Text shaped like a token of the form is a piece of its own.
      {u"[X1X] and [ x 2 x ]", F::Bracketed, u"[X1X] and [X2X]"},
      {u"Press %s & <b>go</b>", F::XmlTag, u"Press <x id=\"1\"/> &amp; <x id=\"2\"/>go<x id=\"3\"/>"},
      {u"Press %s <b>", F::XmlPair, u"Press <x id=\"1\"></x> <x id=\"2\"></x>"},
      {u"Press %s <b>", F::NotranslateSpan,
       u"Press <span class=\"notranslate\">%s</span> <span class=\"notranslate\">&lt;b&gt;</span>"},
      {u"Press %s", F::TranslateNoSpan, u"Press <span translate=\"no\">%s</span>"},
  };
  for (const SentCase& c : cases) {
    SCOPED_TRACE(ToUtf8(c.Text));
    EXPECT_EQ(TProtectedText(c.Text, c.Form, kTerms).Sent(), c.Sent);
  }
}

struct RestoreCase {
  std::u16string Text;
  F Form;
  std::u16string Reply;
  // The restored translation, or the failure's message.
  std::u16string Result;
};

TEST(ProtectedText, RestoresWhatEnginesKeepAndFailsOnWhatTheyDamage) {
  const RestoreCase cases[] = {
      {u"Open the file %s now", F::Bracketed, u"Abrir [X1X] ahora", u"Abrir %s ahora"},
      // Blanks and letter case as engines change them; a language may reorder.
      {u"Copied %d of %5.2f MB", F::Bracketed, u"[ x2 X ] MB: [X 1X]", u"%5.2f MB: %d"},
      {u"Copied %d of %5.2f MB", F::XmlTag, u"<X ID = '2' /> MB: <x id=1></x>", u"%5.2f MB: %d"},
      {u"Copied %d of %5.2f MB", F::XmlPair, u"<x id=\"2\"/> de <x id=\"1\">texto</x>", u"%5.2f de %dtexto"},
      {u"Open %s", F::NotranslateSpan, u"Abrir <SPAN Class = notranslate > %s </span>", u"Abrir %s"},
      {u"Copied %d of %5.2f MB", F::Bracketed, u"Copiado [X1X] de MB",
       u"Placeholders changed by Apertium: %5.2f missing"},
      {u"Copied %d of %5.2f MB", F::Bracketed, u"Copiado [X1X] [X1X] de [X2X] [X9X]",
       u"Placeholders changed by Apertium: %d duplicated, 1 unknown"},
      // A translated token is no token.
      {u"Open %s", F::Bracketed, u"Abrir [X uno X]", u"Placeholders changed by Apertium: %s missing"},
      {u"Open %s", F::NotranslateSpan, u"Abrir <span class=\"notranslate\">%S</span>",
       u"Placeholders changed by Apertium: %s missing, 1 unknown"},
      // Equal pieces may trade places.
      {u"%s or %s", F::Bracketed, u"[X2X] o [X2X]", u"%s o %s"},
      // The plain text's escapes undone, the protected entity kept as written.
      {u"Fish & %s &amp;", F::XmlTag, u"Pez &amp; <x id=\"1\"/> &#233;&lt;&#x1F600;&nbsp;<x id=\"2\"/>",
       u"Pez & %s \u00e9<\U0001F600&nbsp;&amp;"},
      {u"Tessarine Studio", F::XmlTag, u"<x id=\"1\"/>", u"Tessarine Studio"},
      {u"Open %s", F::Bracketed, u"", u""},
      // Accelerators: before the same letter, else in the other case, else "(&X)" after the text and before a
      // shortcut's tab or a closing ellipsis, never inside a piece.
      {u"E&xit", F::Bracketed, u"Exit", u"E&xit"},
      {u"E&xit", F::Bracketed, u"ru: EXIT", u"ru: E&XIT"},
      {u"E&xit", F::XmlTag, u"Salida", u"Salida(&X)"},
      {u"&Save...\\tCtrl+S", F::Bracketed, u"Guardar...[X1X]Ctrl+S", u"Guardar(&S)...\\tCtrl+S"},
      {u"&Xpress {x}", F::Bracketed, u"R\u00e1pido [X1X]", u"R\u00e1pido {x}(&X)"},
      {u"&\u0444\u0430\u0439\u043b", F::Bracketed, u"\u0424\u0430\u0439\u043b", u"&\u0424\u0430\u0439\u043b"},
      {u"Save && &Quit", F::XmlTag, u"Guardar <x id=\"1\"/> salir", u"Guardar && salir(&Q)"},
  };
  for (const RestoreCase& c : cases) {
    SCOPED_TRACE(ToUtf8(c.Text + u" <- " + c.Reply));
    const TProtectedText text(c.Text, c.Form, kTerms);
    try {
      EXPECT_EQ(text.Restore(c.Reply, u"Apertium"), c.Result);
    } catch (const EPlaceholdersChanged& e) {
      EXPECT_EQ(e.Message(), c.Result);
    }
  }
}

TEST(ProtectedText, TermsAndTheirCacheTag) {
  EXPECT_EQ(kTerms.Terms, (std::vector<std::u16string>{u"Tessarine Studio", u"Tessarine"}));
  EXPECT_EQ(TProtectSettings{}.CacheTag(), u"protect");
  EXPECT_NE(kTerms.CacheTag(), TProtectSettings::FromTerms(u"Tessarine").CacheTag());
  EXPECT_EQ(kTerms.CacheTag(), TProtectSettings::FromTerms(u"Tessarine Studio;Tessarine").CacheTag());
  // A term beside letters of a script written without blanks is still a word.
  EXPECT_EQ(TProtectedText(u"Tessarine\u3092\u958b\u304f", F::Bracketed, kTerms).Sent(), u"[X1X]\u3092\u958b\u304f");
}

}  // namespace
}  // namespace tessarine::translate
