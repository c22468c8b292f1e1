// What [Protect] adds to a translation. BM_Translation: the endpoint's whole handling of one request of the suite
// (parameters, log lines, the engine's request, the extraction, the answer) through the fastest stand-in there is,
// one in the same process that answers at once with the request's own text in Google's reply format, so that
// the tokens come back; argument 0 without protection, 1 with it (and a term). BM_ProtectAndRestore: taking the
// pieces out and putting them back alone, in each form. Eight user-interface strings, in turn.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/text.h"
#include "translate/babylon_table.h"
#include "translate/engine_choice.h"
#include "translate/protected_text.h"
#include "translate/text_codecs.h"
#include "translate/translation_service.h"

namespace {

using namespace tessarine;
using namespace tessarine::translate;

const std::vector<std::u16string> kTexts = {u"Open the file %s now",
                                            u"Copied %d of %5.2f MB",
                                            u"E&xit",
                                            u"<b>Bold</b> text",
                                            u"Delete {0} items?",
                                            u"Line one\\nLine two",
                                            u"Open the File menu of Tessarine Studio",
                                            u"Hello world"};

// Google's reply holding the request's q, undone from its percent-encoding.
class EchoUpstream : public IUpstreamClient {
 public:
  void CustomHeadersAddValue(const std::u16string&, const std::u16string&) override {}
  void CustomHeadersClear() override {}
  void SetCarriesCredentials(bool) override {}
  std::u16string Get(const std::u16string& url) override {
    const std::u16string q = TextBetween(u"q=", url, u"&sl=");
    std::string bytes;
    for (size_t i = 0; i < q.size(); ++i) {
      if (q[i] == u'%' && i + 2 < q.size()) {
        bytes += static_cast<char>(HexDigitValue(q[i + 1]) * 16 + HexDigitValue(q[i + 2]));
        i += 2;
      } else {
        bytes += static_cast<char>(q[i]);
      }
    }
    return u"[{\"trans\":\"" + FromUtf8(bytes) + u"\"}]";
  }
  std::u16string Post(const std::u16string&, TStream&) override { return {}; }
};

class NullLog : public ILogSink {
 public:
  void AddLogLine(const std::u16string&) override {}
};

struct Request : IRequestInfo {
  std::u16string Path = u"/linxp_translate_t";
  TStringList Query;
  THTTPCommandType CommandType() const override { return THTTPCommandType::hcGET; }
  const std::u16string& Document() const override { return Path; }
  const TStringList& Params() const override { return Query; }
};

struct Response : IResponseInfo {
  std::u16string Content;
  void SetContentText(const std::u16string& text) override { Content = text; }
  const std::u16string& ContentText() const override { return Content; }
  void WriteContent() override {}
};

void BM_Translation(benchmark::State& state) {
  EchoUpstream upstream;
  NullLog log;
  TEngineChoice choice;
  TBabylonTable babylon;
  TServiceExtras extras;
  if (state.range(0) == 1) extras.Protection = TProtectSettings::FromTerms(u"Tessarine Studio");
  TTranslationService service(upstream, log, choice, babylon, TEngineHosts(), std::move(extras));
  // As the local server hands them over: UTF-8, one character per byte.
  std::vector<Request> requests(kTexts.size());
  for (size_t i = 0; i < kTexts.size(); ++i)
    requests[i].Query = {u"text=" + Widen(ToUtf8(kTexts[i])), u"langpair=en|de"};
  size_t i = 0;
  for (auto _ : state) {
    Response response;
    service.IdHTTPServer1CommandGet(requests[i++ % requests.size()], response);
    benchmark::DoNotOptimize(response.Content);
  }
}
// The least of the repetitions as well: on a busy machine the other statistics measure the neighbours.
double Least(const std::vector<double>& values) { return *std::min_element(values.begin(), values.end()); }

BENCHMARK(BM_Translation)->Arg(0)->Arg(1)->ComputeStatistics("min", Least);

void BM_ProtectAndRestore(benchmark::State& state) {
  const auto form = static_cast<TTokenForm>(state.range(0));
  const TProtectSettings settings = TProtectSettings::FromTerms(u"Tessarine Studio");
  size_t i = 0;
  for (auto _ : state) {
    const TProtectedText text(kTexts[i++ % kTexts.size()], form, settings);
    benchmark::DoNotOptimize(text.Restore(text.Sent(), u"Google"));
  }
}
BENCHMARK(BM_ProtectAndRestore)->DenseRange(0, 4)->ComputeStatistics("min", Least);

}  // namespace
