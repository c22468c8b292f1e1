// The translation cache: a memory hit, and opening a persistent cache of 100,000 entries (what start-up pays).

#include <benchmark/benchmark.h>

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

}  // namespace
