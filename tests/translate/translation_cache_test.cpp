// The translation cache: memory order and bounds, ages on an injected clock, the database across restarts,
// and a database that cannot serve.

#include <gtest/gtest.h>
#include <sqlite3.h>
#ifdef _WIN32
#include <aclapi.h>
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "common/text.h"
#include "service_fakes.h"
#include "support/test_certificates.h"
#include "translate/translation_cache.h"

namespace tessarine::translate {
namespace {

constexpr int64_t kDay = 24LL * 60 * 60 * 1000;

TCacheKey Key(std::u16string text, int engine = kGoogle) { return {engine, u"en", u"de", std::move(text)}; }

class TranslationCache : public ::testing::Test {
 protected:
  std::unique_ptr<TTranslationCache> open(int maxEntries = 100, bool persist = true) {
    TCacheSettings settings;
    settings.MaxEntries = maxEntries;
    settings.MaxAgeDays = 30;
    if (persist) settings.DatabasePath = database();
    return std::make_unique<TTranslationCache>(settings, log, [this] { return now.load(); });
  }
  std::string database() const { return (folder.Path() / "translations.sqlite").string(); }
  // The texts of the database's rows, oldest first, read through a connection of the test's own.
  std::vector<std::string> storedTexts() const {
    std::vector<std::string> texts;
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(database().c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* select = nullptr;
    sqlite3_prepare_v2(db, "SELECT text FROM translations ORDER BY stored", -1, &select, nullptr);
    while (sqlite3_step(select) == SQLITE_ROW)
      texts.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(select, 0)));
    sqlite3_finalize(select);
    sqlite3_close(db);
    return texts;
  }
  std::vector<std::string> folderEntries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder.Path()))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  test_support::TempDir folder;
  fakes::FakeLogSink log;
  std::atomic<int64_t> now{1'700'000'000'000};
};

TEST_F(TranslationCache, HitsMissesAndTheLeastRecentlyUsedGoesFirst) {
  auto cache = open(2, false);
  EXPECT_EQ(cache->Find(Key(u"a")), std::nullopt);
  cache->Store(Key(u"a"), u"A");
  cache->Store(Key(u"b"), u"B");
  EXPECT_EQ(cache->Find(Key(u"a")), u"A");  // a is now the more recent
  cache->Store(Key(u"c"), u"C");            // so b goes
  EXPECT_EQ(cache->Find(Key(u"b")), std::nullopt);
  EXPECT_EQ(cache->Find(Key(u"a")), u"A");
  EXPECT_EQ(cache->Find(Key(u"c")), u"C");
  EXPECT_EQ(cache->MemoryCount(), 2u);
  // Storing a key already held makes it the most recent too: c is the one to go next.
  cache->Store(Key(u"a"), u"A");
  cache->Store(Key(u"d"), u"D");
  EXPECT_EQ(cache->Find(Key(u"c")), std::nullopt);
  EXPECT_EQ(cache->Find(Key(u"a")), u"A");
  // Every part of the key counts, and parts never run together.
  EXPECT_EQ(cache->Find(Key(u"a", kBing)), std::nullopt);
  EXPECT_EQ(cache->Find(TCacheKey{kGoogle, u"en", u"ru", u"a"}), std::nullopt);
  cache->Store(TCacheKey{kGoogle, u"a", u"bc", u"x"}, u"1");
  EXPECT_EQ(cache->Find(TCacheKey{kGoogle, u"ab", u"c", u"x"}), std::nullopt);
  // Empty results are never kept; a new result replaces the old one.
  cache->Store(Key(u"e"), u"");
  EXPECT_EQ(cache->Find(Key(u"e")), std::nullopt);
  cache->Store(Key(u"a"), u"A2");
  EXPECT_EQ(cache->Find(Key(u"a")), u"A2");
  EXPECT_TRUE(log.Lines().empty());
}

TEST_F(TranslationCache, EntriesOlderThanMaxAgeAreNotUsed) {
  auto cache = open(100, false);
  cache->Store(Key(u"a"), u"A");
  now += 30 * kDay;
  EXPECT_EQ(cache->Find(Key(u"a")), u"A");
  now += 1;
  EXPECT_EQ(cache->Find(Key(u"a")), std::nullopt);
  EXPECT_EQ(cache->MemoryCount(), 0u);
}

TEST_F(TranslationCache, TheDatabaseKeepsEntriesAcrossARestartAndDropsOldOnes) {
  const std::u16string awkward = u"\u0416 \U0001F600 \xD800 end";  // an unpaired surrogate survives too
  {
    auto cache = open();
    EXPECT_TRUE(cache->Persistent());
    cache->Store(Key(u"old"), u"OLD");
    now += 20 * kDay;
    cache->Store(Key(u"a"), awkward);
    cache->Store(Key(u"b", kLibreTranslate), u"B");
  }
  now += 15 * kDay;  // "old" is 35 days old now, "a" 15
  auto cache = open(2);
  EXPECT_EQ(cache->MemoryCount(), 0u);  // nothing is loaded at start
  EXPECT_EQ(cache->Find(Key(u"a")), awkward);
  EXPECT_EQ(cache->Find(Key(u"b", kLibreTranslate)), u"B");
  EXPECT_EQ(cache->Find(Key(u"old")), std::nullopt);
  // What was read from the database is held in memory now.
  EXPECT_EQ(cache->MemoryCount(), 2u);
  EXPECT_EQ(cache->Find(Key(u"a")), awkward);
  cache.reset();

  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(database().c_str(), &db), SQLITE_OK);
  sqlite3_stmt* count = nullptr;
  sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM translations", -1, &count, nullptr);
  ASSERT_EQ(sqlite3_step(count), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(count, 0), 2);  // the old entry was removed at start
  sqlite3_finalize(count);
  sqlite3_close(db);
  EXPECT_TRUE(log.Lines().empty());
}

// Network clients could otherwise grow it for as long as entries stay young enough to keep.
TEST_F(TranslationCache, TheDatabaseKeepsAtMostMaxEntriesRowsTheOldestGoingFirst) {
  {
    auto cache = open(3);
    for (const char16_t* text : {u"a", u"b", u"c", u"a", u"d"}) {  // a second a is the same row, newer
      now += 1000;
      cache->Store(Key(text), u"X");
    }
    EXPECT_EQ(storedTexts(), (std::vector<std::string>{"c", "a", "d"}));
    now += 1000;
    cache->Store(Key(u"e"), u"X");
    EXPECT_EQ(storedTexts(), (std::vector<std::string>{"a", "d", "e"}));
  }
  // A lower bound at the next start applies at once; a stale row read and dropped makes room for another.
  {
    auto cache = open(2);
    EXPECT_EQ(storedTexts(), (std::vector<std::string>{"d", "e"}));
    now += 31 * kDay;
    EXPECT_EQ(cache->Find(Key(u"d")), std::nullopt);
    cache->Store(Key(u"f"), u"X");
    EXPECT_EQ(cache->Find(Key(u"e")), std::nullopt);
    cache->Store(Key(u"g"), u"X");
    EXPECT_EQ(storedTexts(), (std::vector<std::string>{"f", "g"}));
  }
  EXPECT_TRUE(log.Lines().empty());
}

#ifdef _WIN32
// Whether the file's access list is its own (nothing inherited) and lets in the current user alone.
bool OwnerOnly(const std::string& path) {
  const std::wstring name(path.begin(), path.end());
  PACL acl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(name.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &acl, nullptr,
                            &descriptor) != ERROR_SUCCESS)
    return false;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorControl(descriptor, &control, &revision);
  bool only = (control & SE_DACL_PROTECTED) != 0 && acl != nullptr && acl->AceCount == 1;
  LocalFree(descriptor);
  return only;
}

// It holds every text the user translated: it may not be readable by other users. (SQLite makes its journal
// files on Windows with the access its folder gives, which for the user's own application-data folder is the
// user's alone.)
TEST_F(TranslationCache, TheDatabaseIsReadableByTheOwnerOnly) {
  // Wine keeps no access lists of its own: it makes one up from the Unix permissions.
  if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr)
    GTEST_SKIP() << "Wine keeps no access lists of files";
  auto cache = open();
  cache->Store(Key(u"a"), u"A");
  EXPECT_TRUE(OwnerOnly(database()));
  cache.reset();
  // A file an earlier version left open to everybody (no access list at all) gets its own when it is opened.
  const std::string path = database();
  const std::wstring name(path.begin(), path.end());
  SetNamedSecurityInfoW(const_cast<wchar_t*>(name.c_str()), SE_FILE_OBJECT,
                        DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                        nullptr);
  ASSERT_FALSE(OwnerOnly(database()));
  auto second = open();
  EXPECT_TRUE(second->Persistent());
  EXPECT_TRUE(OwnerOnly(database()));
  EXPECT_EQ(second->Find(Key(u"a")), u"A");
  EXPECT_TRUE(log.Lines().empty());
}
#else
// It holds every text the user translated: neither it nor its journal files may be readable by other users.
TEST_F(TranslationCache, TheDatabaseAndItsJournalsAreReadableByTheOwnerOnly) {
  const mode_t saved = ::umask(022);
  auto mode = [this](const char* suffix) {
    struct stat info {};
    EXPECT_EQ(::stat((database() + suffix).c_str(), &info), 0) << suffix;
    return info.st_mode & 0777;
  };
  auto cache = open();
  cache->Store(Key(u"a"), u"A");
  for (const char* suffix : {"", "-wal", "-shm"}) EXPECT_EQ(mode(suffix), 0600u) << suffix;
  // Files an earlier version left readable by everybody are narrowed when they are opened.
  for (const char* suffix : {"", "-wal", "-shm"}) ::chmod((database() + suffix).c_str(), 0644);
  auto second = open();
  EXPECT_TRUE(second->Persistent());
  for (const char* suffix : {"", "-wal", "-shm"}) EXPECT_EQ(mode(suffix), 0600u) << suffix;
  EXPECT_EQ(second->Find(Key(u"a")), u"A");
  ::umask(saved);
  EXPECT_TRUE(log.Lines().empty());
}
#endif

// Earlier versions kept a translation as its UTF-8 bytes, one character each (characters from escapes above
// U+00FF as they were): such rows still read as the characters they stand for.
TEST_F(TranslationCache, RowsOfTheEarlierFormReadAsCharacters) {
  open().reset();
  const std::u16string earlier = Widen("\xD0\x9F\xD1\x80\xD0\xB8 caf\xE9 ") + u"\u0416";
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(database().c_str(), &db), SQLITE_OK);
  sqlite3_stmt* insert = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "INSERT INTO translations VALUES('Google', 'en', 'de', 'a', ?1, ?2)", -1, &insert,
                               nullptr),
            SQLITE_OK);
  sqlite3_bind_blob(insert, 1, earlier.data(), static_cast<int>(earlier.size() * 2), SQLITE_TRANSIENT);
  sqlite3_bind_int64(insert, 2, now);
  EXPECT_EQ(sqlite3_step(insert), SQLITE_DONE);
  sqlite3_finalize(insert);
  sqlite3_close(db);
  EXPECT_EQ(open()->Find(Key(u"a")), u"\u041F\u0440\u0438 caf\u00E9 \u0416");
}

TEST_F(TranslationCache, ADamagedDatabaseIsMovedAsideAndTheCacheGoesOnInMemory) {
  std::ofstream(database(), std::ios::binary) << std::string(4096, 'x');
  auto cache = open();
  EXPECT_FALSE(cache->Persistent());
  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(u"is damaged"), std::u16string::npos);
  EXPECT_NE(lines[0].find(u"memory only"), std::u16string::npos);
  const auto names = folderEntries();
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(names[0].rfind("translations.sqlite.damaged-", 0), 0u);
  std::ifstream aside(folder.Path() / names[0], std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(aside), {}), std::string(4096, 'x'));
  cache->Store(Key(u"a"), u"A");
  EXPECT_EQ(cache->Find(Key(u"a")), u"A");
  // The next start makes a new database.
  cache = open();
  EXPECT_TRUE(cache->Persistent());
}

TEST_F(TranslationCache, ADatabaseThatCannotBeOpenedLeavesTheFileAlone) {
  std::filesystem::create_directory(database());
  auto cache = open();
  EXPECT_FALSE(cache->Persistent());
  ASSERT_EQ(log.Lines().size(), 1u);
  EXPECT_NE(log.Lines()[0].find(u"cannot open"), std::u16string::npos);
  EXPECT_TRUE(std::filesystem::is_directory(database()));
  cache->Store(Key(u"a"), u"A");
  EXPECT_EQ(cache->Find(Key(u"a")), u"A");
}

TEST_F(TranslationCache, ConcurrentReadersAndWritersShareIt) {
  auto cache = open(64);
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) {
        const std::u16string text = u"t" + std::u16string(1, static_cast<char16_t>(u'a' + (i + t) % 100));
        if (const auto hit = cache->Find(Key(text)); hit && *hit != text + u"!") ++wrong;
        cache->Store(Key(text), text + u"!");
        if (i % 50 == 0) now += 1000;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_LE(cache->MemoryCount(), 64u);
  EXPECT_TRUE(log.Lines().empty());
}

}  // namespace
}  // namespace tessarine::translate
