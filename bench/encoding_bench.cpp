// 8-bit and UTF-8 conversions of a typical 1 KiB text: mostly ASCII words with some Cyrillic, as in a
// translation request or answer.

#include <benchmark/benchmark.h>

#include <string>

#include "common/text.h"
#include "net/text_encoding.h"

namespace {

using tessarine::net::TIdTextEncoding;

std::u16string sampleText() {
  const std::u16string sentence = tessarine::FromUtf8(
      "The quick brown fox jumps over the lazy dog. \xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82, "
      "\xD0\xBC\xD0\xB8\xD1\x80! ");
  std::u16string text;
  while (text.size() < 1024) text += sentence;
  text.resize(1024);
  return text;
}

void encode(benchmark::State& state, const TIdTextEncoding& encoding) {
  const std::u16string text = sampleText();
  for (auto _ : state) benchmark::DoNotOptimize(encoding->GetBytes(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}

void decode(benchmark::State& state, const TIdTextEncoding& encoding) {
  const std::vector<uint8_t> bytes = encoding->GetBytes(sampleText());
  for (auto _ : state) benchmark::DoNotOptimize(encoding->GetString(bytes.data(), bytes.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes.size()));
}

void BM_8BitGetBytes(benchmark::State& state) { encode(state, tessarine::net::IndyTextEncoding_8Bit()); }
void BM_8BitGetString(benchmark::State& state) { decode(state, tessarine::net::IndyTextEncoding_8Bit()); }
void BM_UTF8GetBytes(benchmark::State& state) { encode(state, tessarine::net::IndyTextEncoding_UTF8()); }
void BM_UTF8GetString(benchmark::State& state) { decode(state, tessarine::net::IndyTextEncoding_UTF8()); }

BENCHMARK(BM_8BitGetBytes);
BENCHMARK(BM_8BitGetString);
BENCHMARK(BM_UTF8GetBytes);
BENCHMARK(BM_UTF8GetString);

}  // namespace
