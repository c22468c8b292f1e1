#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "common/exception.h"
#include "common/text.h"
#include "translate/babylon_table.h"
#include "translate/engine_choice.h"
#include "translate/engine_hosts.h"
#include "translate/engine_request.h"
#include "translate/optional_engines.h"

namespace tessarine::translate {
namespace {

TEST(BabylonTable, LastMatchingEntryGivesTheId) {
  const TBabylonTable table;
  ASSERT_EQ(table.Entries().Count(), 27);
  EXPECT_EQ(table.Entries()[0], u"0: \"en\",");
  // clang-format off
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"en", u"0"}, {u"ru", u"7"}, {u"uk", u"24"}, {u"iw", u"14"}, {u"es", u"344"}, {u"zh", u"9"}, {u"zh-CN", u"10"},
      {u"pt", u"5"}, {u"EN", u""}, {u"he", u""}, {u"", u""}, {u"4", u"24"}, {u"\"es-c\",", u"344"}};
  // clang-format on
  for (const auto& [code, id] : cases) EXPECT_EQ(table.BabylonLangId(code), id) << ToUtf8(code);
}

TEST(EngineChoice, DefaultsAndExclusiveCheck) {
  TEngineChoice choice;
  const char16_t* captions[] = {u"Google", u"Bing", u"Yandex", u"Babylon", u"Promt", u"SYSTRAN"};
  for (size_t i = 0; i < kEngineCount; ++i) {
    EXPECT_EQ(choice.Snapshot()[i].Caption, captions[i]);
    EXPECT_EQ(choice.Snapshot()[i].Checked, i == kGoogle);
  }
  choice.SetCheckedFlags({true, true, false, false, true, false});
  choice.SetChecked(kPromt);
  for (size_t i = 0; i < kEngineCount; ++i) EXPECT_EQ(choice.Snapshot()[i].Checked, i == kPromt);
  EXPECT_THROW(choice.SetChecked(6), Exception);
  const auto interrupted = [](TEngineItems& all) {
    all[0].Checked = true;
    throw Exception("interrupted");
  };
  EXPECT_THROW(choice.Update(interrupted), Exception);
  EXPECT_FALSE(choice.Snapshot()[0].Checked);
}

TEST(EngineChoice, ReadersNeverSeeAHalfMadeChange) {
  TEngineChoice choice;
  std::atomic<bool> done{false};
  std::atomic<int> broken{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 4; ++r) {
    readers.emplace_back([&] {
      while (!done) {
        int checked = 0;
        for (const auto& item : choice.Snapshot()) checked += item.Checked;
        if (checked != 1) ++broken;
      }
    });
  }
  for (size_t i = 0; i < 20000; ++i) {
    choice.Update([i](TEngineItems& all) {
      for (auto& item : all) item.Checked = false;
      all[i % kEngineCount].Checked = true;
    });
  }
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(broken, 0);
}

TEST(EngineHosts, DefaultsAndValidatedOverrides) {
  TEngineHosts hosts;
  EXPECT_EQ(hosts.Host(kGoogle), u"clients5.google.com");
  EXPECT_EQ(hosts.Host(kSystran), u"www.systranet.com");
  for (const char16_t* good : {u"localhost", u"127.0.0.1:8080", u"a-b.x_y.org:1", u"[::1]:65535", u"[::1]"}) {
    EXPECT_TRUE(TEngineHosts::IsValidEntry(good)) << ToUtf8(good);
  }
  for (const char16_t* bad : {u"", u" ", u"a b", u"host:", u"host:0", u"host:65536", u"host:80x", u"host:+80",
                              u"http://host", u"host/path", u"-a.com", u"a..com", u"[::1", u"[]:80", u"h\u00E9"}) {
    EXPECT_FALSE(TEngineHosts::IsValidEntry(bad)) << ToUtf8(bad);
  }
  hosts.SetHost(kPromt, u"127.0.0.1:9000");
  EXPECT_THROW(hosts.SetHost(kPromt, u"bad host"), Exception);
  EXPECT_EQ(hosts.Host(kPromt), u"127.0.0.1:9000");
  EXPECT_THROW(hosts.Host(6), Exception);
}

TEST(TokenForms, EachEngineHasItsFormAndIsToldWhetherItsTextCarriesTokens) {
  using F = TTokenForm;
  const std::pair<int, F> forms[] = {{kGoogle, F::Bracketed},  {kBing, F::Bracketed},        {kYandex, F::Bracketed},
                                     {kBabylon, F::Bracketed}, {kPromt, F::Bracketed},       {kSystran, F::XmlTag},
                                     {kApertium, F::XmlTag},   {kLibreTranslate, F::XmlPair}};
  for (const auto& [engine, form] : forms) EXPECT_EQ(TokenFormOf(engine), form) << engine;
  // A plain form still tells the engine that tokens are there: a language model's instructions must say to keep them.
  EXPECT_EQ(TextFormatOf(std::nullopt), TTextFormat::Plain);
  EXPECT_EQ(TextFormatOf(F::Bracketed), TTextFormat::Tokens);
  for (F form : {F::XmlTag, F::XmlPair, F::NotranslateSpan, F::TranslateNoSpan})
    EXPECT_EQ(TextFormatOf(form), TTextFormat::Markup);
}

}  // namespace
}  // namespace tessarine::translate
