#include "translate/translation_cache.h"

#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/owner_only_file.h"
#include "common/text.h"
#include "translate/engine_choice.h"
#include "translate/text_codecs.h"

namespace tessarine::translate {

namespace {

constexpr int64_t kDayMs = 24LL * 60 * 60 * 1000;
// The last byte of a stored result that holds characters; it makes the length odd.
constexpr char kCharactersForm = 'c';

constexpr char kSchema[] =
    "CREATE TABLE IF NOT EXISTS translations("
    "engine TEXT NOT NULL, source TEXT NOT NULL, target TEXT NOT NULL, text TEXT NOT NULL,"
    "result BLOB NOT NULL, stored INTEGER NOT NULL, PRIMARY KEY(engine, source, target, text)) WITHOUT ROWID;"
    "CREATE INDEX IF NOT EXISTS translations_stored ON translations(stored);";
constexpr char kSelect[] =
    "SELECT result, stored FROM translations WHERE engine=?1 AND source=?2 AND target=?3 AND text=?4";
// A new key is inserted, a known one updated: only the first adds a row, and so only it is counted.
constexpr char kInsert[] =
    "INSERT OR IGNORE INTO translations(engine, source, target, text, result, stored) VALUES(?1, ?2, ?3, ?4, ?5, ?6)";
constexpr char kUpdate[] =
    "UPDATE translations SET result=?5, stored=?6 WHERE engine=?1 AND source=?2 AND target=?3 AND text=?4";
// The oldest rows, through the index on stored.
constexpr char kTrim[] =
    "DELETE FROM translations WHERE (engine, source, target, text) IN "
    "(SELECT engine, source, target, text FROM translations ORDER BY stored LIMIT ?1)";
constexpr char kDelete[] = "DELETE FROM translations WHERE engine=?1 AND source=?2 AND target=?3 AND text=?4";

// A prepared statement for one use, reset and finalized on every path.
class TStatement {
 public:
  TStatement(sqlite3* db, const char* sql) : m_code(sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr)) {}
  ~TStatement() { sqlite3_finalize(m_stmt); }
  TStatement(const TStatement&) = delete;
  TStatement& operator=(const TStatement&) = delete;

  int PrepareCode() const { return m_code; }
  sqlite3_stmt* Get() const { return m_stmt; }

  void BindKey(const TCacheKey& key) {
    // Protected translations are filed under the engine's name with the tag, so that rows of earlier versions
    // keep their meaning without a column more.
    const std::u16string_view name = EngineName(key.Engine);
    BindText(1, key.Protection.empty() ? std::u16string(name) : std::u16string(name) + u" " + key.Protection);
    BindText(2, key.Source);
    BindText(3, key.Target);
    BindText(4, key.Text);
  }
  void BindText(int index, std::u16string_view text) {
    const std::string utf8 = ToUtf8(text);
    sqlite3_bind_text(m_stmt, index, utf8.data(), static_cast<int>(utf8.size()), SQLITE_TRANSIENT);
  }

 private:
  sqlite3_stmt* m_stmt = nullptr;
  int m_code;
};

std::string Timestamp(int64_t ms) {
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm parts{};
  ::gmtime_r(&seconds, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &parts);
  return text;
}

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

}  // namespace

int64_t TTranslationCache::SystemMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

TTranslationCache::TTranslationCache(TCacheSettings settings, ILogSink& log, TClock clock)
    : m_settings(std::move(settings)),
      m_log(log),
      m_clock(std::move(clock)),
      m_maxAgeMs(static_cast<int64_t>(m_settings.MaxAgeDays) * kDayMs) {
  if (m_settings.DatabasePath.empty()) return;
  std::lock_guard lock(m_dbMutex);
  openDatabase();
}

TTranslationCache::~TTranslationCache() {
  std::lock_guard lock(m_dbMutex);
  closeDatabase();
}

std::u16string TTranslationCache::memoryKey(const TCacheKey& key) {
  // Lengths first, so that no choice of codes can make two keys run together.
  std::u16string out;
  out.reserve(key.Source.size() + key.Target.size() + key.Protection.size() + key.Text.size() + 7);
  out += static_cast<char16_t>(key.Engine);
  for (const std::u16string* part : {&key.Source, &key.Target, &key.Protection}) {
    out += static_cast<char16_t>(part->size() >> 16);
    out += static_cast<char16_t>(part->size() & 0xFFFF);
    out += *part;
  }
  out += key.Text;
  return out;
}

bool TTranslationCache::fresh(int64_t stored) const { return m_clock() - stored <= m_maxAgeMs; }

std::optional<std::u16string> TTranslationCache::Find(const TCacheKey& key) {
  std::u16string memory = memoryKey(key);
  {
    std::lock_guard lock(m_mutex);
    const auto found = m_index.find(memory);
    if (found != m_index.end()) {
      if (fresh(found->second->Stored)) {
        m_lru.splice(m_lru.begin(), m_lru, found->second);
        return found->second->Result;
      }
      m_lru.erase(found->second);
      m_index.erase(found);
    }
  }
  std::optional<TEntry> entry;
  {
    std::lock_guard lock(m_dbMutex);
    if (!m_db) return std::nullopt;
    entry = readDatabase(key);
  }
  if (!entry) return std::nullopt;
  remember(std::move(memory), entry->Result, entry->Stored);
  return std::move(entry->Result);
}

void TTranslationCache::Store(const TCacheKey& key, const std::u16string& result) {
  if (result.empty()) return;
  const int64_t now = m_clock();
  remember(memoryKey(key), result, now);
  std::lock_guard lock(m_dbMutex);
  if (m_db) writeDatabase(key, result, now);
}

void TTranslationCache::remember(std::u16string key, std::u16string result, int64_t stored) {
  std::lock_guard lock(m_mutex);
  const auto found = m_index.find(key);
  if (found != m_index.end()) {
    found->second->Result = std::move(result);
    found->second->Stored = stored;
    m_lru.splice(m_lru.begin(), m_lru, found->second);
    return;
  }
  m_lru.push_front(TEntry{key, std::move(result), stored});
  m_index.emplace(std::move(key), m_lru.begin());
  while (m_lru.size() > static_cast<size_t>(m_settings.MaxEntries)) {
    m_index.erase(m_lru.back().Key);
    m_lru.pop_back();
  }
}

size_t TTranslationCache::MemoryCount() const {
  std::lock_guard lock(m_mutex);
  return m_lru.size();
}

bool TTranslationCache::Persistent() const {
  std::lock_guard lock(m_dbMutex);
  return m_db != nullptr;
}

void TTranslationCache::openDatabase() {
  const std::string& path = m_settings.DatabasePath;
  // The file holds every text the user has translated, often a client's confidential material. SQLite would
  // create it readable by everybody, so it is created first, for its owner alone, and SQLite only opens it;
  // SQLite gives the journal files it makes the database's permissions. Files of an earlier run that others may
  // read are narrowed.
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
    const std::string file = path + suffix;
    if (const std::string error = RestrictToOwner(file, *suffix == '\0'); !error.empty()) {
      m_log.AddLogLine(
          FromUtf8("Translation cache: cannot open " + file + " (" + error + "); the cache is kept in memory only"));
      return;
    }
  }
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
  int code = sqlite3_open_v2(path.c_str(), &m_db, flags, nullptr);
  if (code != SQLITE_OK) {
    databaseFailed(code, "open");
    return;
  }
  sqlite3_extended_result_codes(m_db, 0);
  // Another instance of the program may hold the file for a moment.
  sqlite3_busy_timeout(m_db, 2000);
  // Write-ahead logging without a sync per entry: a crash may lose the last entries, never the file.
  code = sqlite3_exec(m_db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr, nullptr, nullptr);
  if (code == SQLITE_OK) code = sqlite3_exec(m_db, kSchema, nullptr, nullptr, nullptr);
  if (code != SQLITE_OK) {
    databaseFailed(code, "open");
    return;
  }
  TStatement purge(m_db, "DELETE FROM translations WHERE stored < ?1");
  code = purge.PrepareCode();
  if (code == SQLITE_OK) {
    sqlite3_bind_int64(purge.Get(), 1, m_clock() - m_maxAgeMs);
    code = sqlite3_step(purge.Get());
  }
  if (code != SQLITE_OK && code != SQLITE_DONE) {
    databaseFailed(code, "open");
    return;
  }
  // Counted once here; from now on the count follows the rows added and removed.
  TStatement count(m_db, "SELECT COUNT(*) FROM translations");
  code = count.PrepareCode();
  if (code == SQLITE_OK) code = sqlite3_step(count.Get());
  if (code != SQLITE_ROW) {
    databaseFailed(code, "open");
    return;
  }
  m_dbRows = sqlite3_column_int64(count.Get(), 0);
  // MaxEntries may have been lowered since the last run.
  trimDatabase();
}

std::optional<TTranslationCache::TEntry> TTranslationCache::readDatabase(const TCacheKey& key) {
  TStatement select(m_db, kSelect);
  int code = select.PrepareCode();
  if (code != SQLITE_OK) {
    databaseFailed(code, "read");
    return std::nullopt;
  }
  select.BindKey(key);
  code = sqlite3_step(select.Get());
  if (code == SQLITE_DONE) return std::nullopt;
  if (code != SQLITE_ROW) {
    databaseFailed(code, "read");
    return std::nullopt;
  }
  TEntry entry;
  const auto* bytes = static_cast<const char*>(sqlite3_column_blob(select.Get(), 0));
  const int size = sqlite3_column_bytes(select.Get(), 0);
  entry.Result.resize(static_cast<size_t>(size) / sizeof(char16_t));
  if (!entry.Result.empty()) std::memcpy(entry.Result.data(), bytes, entry.Result.size() * sizeof(char16_t));
  // Without the form byte the row was written when translations were held as their UTF-8 bytes, one character
  // each up to U+00FF: those bytes are read as the characters they stand for.
  if (size % 2 == 0) entry.Result = CharactersFromUtf8Bytes(entry.Result);
  entry.Stored = sqlite3_column_int64(select.Get(), 1);
  if (fresh(entry.Stored) && !entry.Result.empty()) return entry;
  TStatement remove(m_db, kDelete);
  if (remove.PrepareCode() == SQLITE_OK) {
    remove.BindKey(key);
    code = sqlite3_step(remove.Get());
    if (code == SQLITE_DONE) {
      m_dbRows -= sqlite3_changes(m_db);
    } else {
      databaseFailed(code, "write");
    }
  }
  return std::nullopt;
}

void TTranslationCache::writeDatabase(const TCacheKey& key, const std::u16string& result, int64_t stored) {
  bool added = false;
  int code = SQLITE_OK;
  for (const char* sql : {kInsert, kUpdate}) {
    TStatement write(m_db, sql);
    code = write.PrepareCode();
    if (code != SQLITE_OK) break;
    write.BindKey(key);
    // The result as UTF-16 bytes: an engine's escapes may leave unpaired surrogates, which text columns would
    // not keep. One byte more marks the form, characters, which rows of earlier versions do not have.
    std::string blob(reinterpret_cast<const char*>(result.data()), result.size() * sizeof(char16_t));
    blob += kCharactersForm;
    sqlite3_bind_blob(write.Get(), 5, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(write.Get(), 6, stored);
    code = sqlite3_step(write.Get());
    if (code != SQLITE_DONE) break;
    added = sql == kInsert && sqlite3_changes(m_db) > 0;
    if (added) break;
  }
  if (code != SQLITE_DONE) {
    databaseFailed(code, "write");
    return;
  }
  m_writeFailureReported = false;
  if (added) {
    ++m_dbRows;
    trimDatabase();
  }
}

void TTranslationCache::trimDatabase() {
  if (m_dbRows <= m_settings.MaxEntries) return;
  TStatement trim(m_db, kTrim);
  int code = trim.PrepareCode();
  if (code == SQLITE_OK) {
    // A hundredth more than the excess: a full table is then trimmed once per that many new entries, not with
    // every one (each trim is a commit of its own).
    sqlite3_bind_int64(trim.Get(), 1, m_dbRows - m_settings.MaxEntries + m_settings.MaxEntries / 100);
    code = sqlite3_step(trim.Get());
  }
  if (code != SQLITE_DONE) {
    databaseFailed(code, "write");
    return;
  }
  m_dbRows -= sqlite3_changes(m_db);
}

bool TTranslationCache::databaseFailed(int code, const char* during) {
  const std::string& path = m_settings.DatabasePath;
  const std::string reason = m_db ? sqlite3_errmsg(m_db) : sqlite3_errstr(code);
  const int primary = code & 0xFF;
  if (primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB) {
    closeDatabase();
    const std::string aside = path + ".damaged-" + Timestamp(m_clock());
    std::string line = "Translation cache: " + path + " is damaged (" + reason + ")";
    if (::rename(path.c_str(), aside.c_str()) == 0) {
      // The journal files belong to the damaged file; a new database must not pick them up.
      for (const char* suffix : {"-wal", "-shm"}) {
        if (Exists(path + suffix)) ::rename((path + suffix).c_str(), (aside + suffix).c_str());
      }
      line += " and was moved to " + aside;
    } else {
      line += " and could not be moved aside (" + std::string(std::strerror(errno)) + ")";
    }
    m_log.AddLogLine(FromUtf8(line + "; the cache is kept in memory only"));
    return false;
  }
  if (std::strcmp(during, "open") == 0) {
    closeDatabase();
    m_log.AddLogLine(
        FromUtf8("Translation cache: cannot open " + path + " (" + reason + "); the cache is kept in memory only"));
    return false;
  }
  // A full disk, a file made read-only, a lock held too long: the entry stays in memory, and the database is
  // tried again with the next one.
  if (!m_writeFailureReported) {
    m_writeFailureReported = true;
    m_log.AddLogLine(FromUtf8("Translation cache: cannot " + std::string(during) + " " + path + " (" + reason + ")"));
  }
  return true;
}

void TTranslationCache::closeDatabase() {
  if (!m_db) return;
  sqlite3_close_v2(m_db);
  m_db = nullptr;
}

}  // namespace tessarine::translate
