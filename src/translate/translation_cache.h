#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "translate/service_interfaces.h"

struct sqlite3;

namespace tessarine::translate {

struct TCacheSettings {
  static constexpr int kDefaultMaxEntries = 10000;
  static constexpr int kDefaultMaxAgeDays = 30;

  int MaxEntries = kDefaultMaxEntries;
  int MaxAgeDays = kDefaultMaxAgeDays;
  // The SQLite database that keeps the entries across restarts; empty for a cache in memory only.
  std::string DatabasePath;
};

struct TCacheKey {
  int Engine = 0;
  std::u16string Source;
  std::u16string Target;
  // The text as the local client sent it.
  std::u16string Text;
  // How the text went to the engine besides: empty as it is, else TProtectSettings::CacheTag.
  std::u16string Protection = {};
};

// Translations already given: engine, source code, target code, text and protection to the extracted result. In memory
// the least recently used entries go first once MaxEntries are held; with a database every entry is also
// written there and read back on a memory miss, so the database is never loaded whole and start-up does not
// grow with it. The database keeps at most MaxEntries rows too, the oldest going first, and is readable by its
// owner only. Entries older than MaxAgeDays are neither used nor kept.
//
// A database that cannot be opened, or turns out damaged, is reported in one log line and the cache goes on
// in memory only; a damaged file is renamed aside, never deleted. A failed write (a full disk) is reported
// once until a write succeeds again. Any thread may call; the memory and the database have a lock each.
class TTranslationCache {
 public:
  // Wall-clock milliseconds since 1970; the stored ages survive restarts.
  using TClock = std::function<int64_t()>;
  static int64_t SystemMilliseconds();

  // log must outlive the cache.
  TTranslationCache(TCacheSettings settings, ILogSink& log, TClock clock = SystemMilliseconds);
  ~TTranslationCache();
  TTranslationCache(const TTranslationCache&) = delete;
  TTranslationCache& operator=(const TTranslationCache&) = delete;

  std::optional<std::u16string> Find(const TCacheKey& key);
  // Empty results are not stored.
  void Store(const TCacheKey& key, const std::u16string& result);

  size_t MemoryCount() const;
  // Whether the database is in use.
  bool Persistent() const;

 private:
  struct TEntry {
    std::u16string Key;
    std::u16string Result;
    int64_t Stored = 0;
  };

  static std::u16string memoryKey(const TCacheKey& key);
  bool fresh(int64_t stored) const;
  void remember(std::u16string key, std::u16string result, int64_t stored);

  // Database side; m_dbMutex held.
  void openDatabase();
  std::optional<TEntry> readDatabase(const TCacheKey& key);
  void writeDatabase(const TCacheKey& key, const std::u16string& result, int64_t stored);
  // Removes the oldest rows beyond MaxEntries, and a hundredth of MaxEntries more.
  void trimDatabase();
  // Handles a failed SQLite call: a damaged file is moved aside and the database given up. Returns false
  // when the database is gone.
  bool databaseFailed(int code, const char* during);
  void closeDatabase();

  const TCacheSettings m_settings;
  ILogSink& m_log;
  const TClock m_clock;
  const int64_t m_maxAgeMs;

  mutable std::mutex m_mutex;
  std::list<TEntry> m_lru;  // most recent first
  std::unordered_map<std::u16string, std::list<TEntry>::iterator> m_index;

  mutable std::mutex m_dbMutex;
  sqlite3* m_db = nullptr;
  int64_t m_dbRows = 0;  // rows in the database's table, counted at open and followed since
  bool m_writeFailureReported = false;
};

}  // namespace tessarine::translate
