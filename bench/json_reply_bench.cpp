// The JSON reader of the optional engines on replies of 16 MiB, the most the upstream client takes: what one reply
// costs in time and in resident memory above what the process held just before the call.

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <fstream>
#include <string>

#include "common/exception.h"
#include "common/text.h"
#include "translate/apertium.h"

namespace {

using namespace tessarine::translate;

constexpr size_t kReplyBytes = size_t{16} << 20;

long StatusKiB(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string name;
  while (status >> name) {
    long value = 0;
    if (name == field && status >> value) return value;
    status.ignore(1 << 20, '\n');
  }
  return 0;
}

// Freed memory goes back to the system first, and the peak count restarts from what is resident now ("5" to
// clear_refs resets VmHWM), so the peak is the call's own.
template <typename Call>
double PeakAboveMiB(Call&& call) {
  ::malloc_trim(0);
  std::ofstream("/proc/self/clear_refs") << "5";
  const long before = StatusKiB("VmRSS:");
  call();
  return static_cast<double>(StatusKiB("VmHWM:") - before) / 1024.0;
}

template <typename Call>
void Measure(benchmark::State& state, Call&& call) {
  double peak = 0;
  for (auto _ : state) peak = std::max(peak, PeakAboveMiB(call));
  state.counters["peak_MiB"] = peak;
}

// The hostile shape: one array of eight million zeros, no member the reader needs.
void BM_JsonReplyArrayOfZeros16MiB(benchmark::State& state) {
  std::u16string reply = u"{\"a\":[0";
  while (reply.size() + 4 < kReplyBytes) reply += u",0";
  reply += u"]}";
  Measure(state, [&] {
    try {
      ExtractApertiumTranslation(reply, TReplyText::Characters);
    } catch (const tessarine::Exception&) {
      // No translatedText, as expected.
    }
  });
}
BENCHMARK(BM_JsonReplyArrayOfZeros16MiB)->Unit(benchmark::kMillisecond)->Iterations(2);

// A translation that is the whole reply: Cyrillic read without a charset, its UTF-8 bytes one character each.
void BM_JsonReplyOneString16MiB(benchmark::State& state) {
  const std::u16string word = tessarine::Widen("\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 ");
  std::u16string reply = u"{\"responseData\": {\"translatedText\": \"";
  while (reply.size() + word.size() + 64 < kReplyBytes) reply += word;
  reply += u"\"}, \"responseDetails\": null, \"responseStatus\": 200}";
  size_t length = 0;
  Measure(state, [&] { length = ExtractApertiumTranslation(reply, TReplyText::Bytes).size(); });
  state.counters["chars"] = static_cast<double>(length);
}
BENCHMARK(BM_JsonReplyOneString16MiB)->Unit(benchmark::kMillisecond)->Iterations(2);

// What --check-engines reads of a service with every pair installed: some 600 pairs.
void BM_JsonReplyPairs600(benchmark::State& state) {
  std::u16string reply = u"{\"responseData\": [";
  for (int i = 0; i < 600; ++i) {
    reply += (i ? u", " : u"");
    reply += u"{\"sourceLanguage\": \"e" + tessarine::IntToStr(i) + u"\", \"targetLanguage\": \"spa\"}";
  }
  reply += u"], \"responseDetails\": null, \"responseStatus\": 200}";
  for (auto _ : state) benchmark::DoNotOptimize(ApertiumPairs(reply, TReplyText::Characters));
}
BENCHMARK(BM_JsonReplyPairs600)->Unit(benchmark::kMicrosecond);

}  // namespace
