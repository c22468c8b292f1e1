// The translation cache: a memory hit, opening a persistent cache of 100,000 entries (what start-up pays), and
// storing into a persistent cache that is full.

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <filesystem>
#include <string>

#include "common/text.h"
#include "translate/translation_cache.h"

namespace {

using namespace tessarine::translate;

class NullLog : public ILogSink {
 public:
  void AddLogLine(const std::u16string&) override {}
};

TCacheKey Key(int i) {
  return {kGoogle, u"en", u"de", u"Segment number " + tessarine::IntToStr(i) + u" of the project, a typical length"};
}

void BM_CacheMemoryHit(benchmark::State& state) {
  NullLog log;
  TTranslationCache cache(TCacheSettings{}, log);
  for (int i = 0; i < 10000; ++i) cache.Store(Key(i), u"Segment Nummer des Projekts, eine typische Länge");
  int i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(cache.Find(Key(i++ % 10000)));
}
BENCHMARK(BM_CacheMemoryHit);

// A database of 100,000 entries is made once; each iteration opens it as start-up does, then asks one key
// that only the database holds.
void BM_CacheOpen100k(benchmark::State& state) {
  const std::string path = (std::filesystem::temp_directory_path() / "tessarine-bench-cache.sqlite").string();
  NullLog log;
  TCacheSettings settings;
  settings.DatabasePath = path;
  settings.MaxEntries = 100000;
  if (!std::filesystem::exists(path)) {
    TTranslationCache fill(settings, log);
    for (int i = 0; i < 100000; ++i) fill.Store(Key(i), u"Segment Nummer des Projekts, eine typische Länge");
  }
  for (auto _ : state) {
    TTranslationCache cache(settings, log);
    benchmark::DoNotOptimize(cache.Find(Key(77777)));
  }
  state.counters["persistent"] = TTranslationCache(settings, log).Persistent();
}
BENCHMARK(BM_CacheOpen100k)->Unit(benchmark::kMillisecond);

// A new entry stored into a database that already holds MaxEntries (10,000) rows, as after a few days of use;
// "rows" is what the table holds afterwards.
void BM_CacheStoreWhenFull(benchmark::State& state) {
  const std::string path = (std::filesystem::temp_directory_path() / "tessarine-bench-full.sqlite").string();
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
  NullLog log;
  TCacheSettings settings;
  settings.DatabasePath = path;
  int i = 0;
  {
    TTranslationCache cache(settings, log);
    for (; i < settings.MaxEntries; ++i) cache.Store(Key(i), u"Segment Nummer des Projekts, eine typische Länge");
    for (auto _ : state) cache.Store(Key(i++), u"Segment Nummer des Projekts, eine typische Länge");
  }
  sqlite3* db = nullptr;
  sqlite3_stmt* count = nullptr;
  if (sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
      sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM translations", -1, &count, nullptr) == SQLITE_OK &&
      sqlite3_step(count) == SQLITE_ROW)
    state.counters["rows"] = static_cast<double>(sqlite3_column_int64(count, 0));
  sqlite3_finalize(count);
  sqlite3_close(db);
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
}
BENCHMARK(BM_CacheStoreWhenFull)->Iterations(20000);

}  // namespace
