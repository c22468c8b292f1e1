// Requests for one engine and language pair that wait at the same time go out in one call, within the engine's
// limits and its bound on calls at once; a call's failure is each of its requests'.

#include "translate/engine_batches.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "common/exception.h"
#include "common/text.h"
#include "translate/optional_engines.h"

namespace tessarine::translate {
namespace {

using namespace std::chrono_literals;
using Texts = std::vector<std::u16string>;

template <typename Condition>
bool WaitUntil(Condition cond) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// The engine's side: records each call's texts, answers "T:" + text, holds the calls until Open while held, and
// fails calls while Failing.
class Engine {
 public:
  void Send(int, const std::u16string&, const std::u16string& langs_out, const Texts& texts, TBatchCall& call) {
    std::unique_lock lock(m_mutex);
    m_calls.push_back(texts);
    ++m_running;
    m_most = std::max(m_most, m_running);
    m_changed.notify_all();
    m_changed.wait_for(lock, 5s, [this] { return !m_held; });
    --m_running;
    if (Failing) {
      call.Failure = std::make_exception_ptr(EIdException(u"HTTP/1.1 503 Service Unavailable"));
      call.RetryAfter = 30;
      return;
    }
    for (const std::u16string& text : texts) call.Results.push_back(langs_out + u":" + text);
  }
  void Open() {
    std::lock_guard lock(m_mutex);
    m_held = false;
    m_changed.notify_all();
  }
  // Holds the calls from now on and forgets those made.
  void Hold() {
    std::lock_guard lock(m_mutex);
    m_held = true;
    m_calls.clear();
  }
  std::vector<Texts> Calls() const {
    std::lock_guard lock(m_mutex);
    return m_calls;
  }
  size_t MostAtOnce() const {
    std::lock_guard lock(m_mutex);
    return m_most;
  }
  bool Failing = false;

 private:
  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<Texts> m_calls;
  size_t m_running = 0;
  size_t m_most = 0;
  bool m_held = true;
};

class EngineBatches : public ::testing::Test {
 protected:
  void make(size_t maxTexts, size_t callsAtOnce, std::chrono::milliseconds gathering = 10s, size_t maxCost = 0) {
    descriptor.Index = kDeepL;
    descriptor.CallsAtOnce = callsAtOnce;
    size_t (*length)(std::u16string_view) = [](std::u16string_view text) { return text.size(); };
    descriptor.Batch = {maxTexts, maxCost, maxCost != 0 ? length : nullptr};
    batches = std::make_unique<TEngineBatches>(
        [this](int engine, const std::u16string& in, const std::u16string& out, const Texts& texts, TBatchCall& call) {
          engine_.Send(engine, in, out, texts, call);
        },
        gathering);
  }
  std::future<TBatchAnswer> ask(const std::u16string& text, const std::u16string& langs_out = u"de") {
    return std::async(std::launch::async,
                      [this, text, langs_out] { return batches->Translate(descriptor, u"en", langs_out, text); });
  }
  // Asks, and waits until the request waits for its call.
  std::future<TBatchAnswer> queue(const std::u16string& text, const std::u16string& langs_out = u"de") {
    const size_t before = batches->Waiting();
    auto answer = ask(text, langs_out);
    EXPECT_TRUE(WaitUntil([&] { return batches->Waiting() > before; })) << ToUtf8(text);
    return answer;
  }

  Engine engine_;
  TOptionalEngine descriptor;
  std::unique_ptr<TEngineBatches> batches;
};

TEST_F(EngineBatches, ARequestAloneGoesAtOnceAndCompanyBehindARunningCallGoesWhenItsCallIsFull) {
  make(3, 4);
  engine_.Open();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(batches->Translate(descriptor, u"en", u"de", u"alone").Result, u"de:alone");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << "not held for the gathering time";

  engine_.Hold();
  auto first = ask(u"a");
  ASSERT_TRUE(WaitUntil([&] { return engine_.Calls().size() == 1; }));
  // Behind the running call of their pair they gather, and go once there are as many as one call takes.
  std::vector<std::future<TBatchAnswer>> company;
  for (const char16_t* text : {u"b", u"c", u"d"}) company.push_back(ask(text));
  ASSERT_TRUE(WaitUntil([&] { return engine_.Calls().size() == 2; }));
  EXPECT_EQ(engine_.Calls()[1].size(), 3u);
  // Another pair is not behind any call: it goes at once, beside them.
  auto other = ask(u"e", u"fr");
  ASSERT_TRUE(WaitUntil([&] { return engine_.Calls().size() == 3; }));
  engine_.Open();
  EXPECT_EQ(first.get().Result, u"de:a");
  EXPECT_EQ(company[0].get().Result, u"de:b");
  EXPECT_EQ(company[1].get().Result, u"de:c");
  EXPECT_EQ(company[2].get().Result, u"de:d");
  EXPECT_EQ(other.get().Result, u"fr:e");
}

TEST_F(EngineBatches, WhileEveryCallIsTakenTheWaitingRequestsSplitAtTheLimitsOldestFirst) {
  make(2, 1, 10s, 10);
  auto running = ask(u"x");
  ASSERT_TRUE(WaitUntil([&] { return engine_.Calls().size() == 1; }));
  std::vector<std::future<TBatchAnswer>> waiting;
  for (const char16_t* text : {u"aaaa", u"bbbb", u"aaaa", u"cccc", u"dddddddddddd"}) waiting.push_back(queue(text));
  EXPECT_EQ(batches->Waiting(), 5u);
  engine_.Open();
  EXPECT_EQ(running.get().Result, u"de:x");
  const Texts expected = {u"de:aaaa", u"de:bbbb", u"de:aaaa", u"de:cccc", u"de:dddddddddddd"};
  for (size_t i = 0; i < waiting.size(); ++i) EXPECT_EQ(waiting[i].get().Result, expected[i]);
  // Two texts a call at most, ten characters together at most, a text over that alone, the repeat sent once; a
  // call that a text could not join goes without waiting for more.
  EXPECT_EQ(engine_.Calls(), (std::vector<Texts>{{u"x"}, {u"aaaa", u"bbbb"}, {u"cccc"}, {u"dddddddddddd"}}));
  EXPECT_EQ(engine_.MostAtOnce(), 1u);
}

// The table's limits, one call at a time so that the requests wait together: Microsoft counts code points (a
// character beyond U+FFFF is one), Google Cloud segments.
TEST_F(EngineBatches, TheKeyedEnginesSplitAtTheirOwnLimits) {
  make(1, 1);
  descriptor = *FindOptionalEngine(kMicrosoft);
  descriptor.CallsAtOnce = 1;
  auto running = ask(u"x");
  ASSERT_TRUE(WaitUntil([&] { return engine_.Calls().size() == 1; }));
  std::u16string faces;
  for (int i = 0; i < 25000; ++i) faces += u"\U0001F600";
  std::vector<std::future<TBatchAnswer>> waiting;
  for (const std::u16string& text : {faces, std::u16string(25000, u'b'), std::u16string(u"c")})
    waiting.push_back(queue(text));
  engine_.Open();
  for (auto& answer : waiting) answer.get();
  std::vector<size_t> sizes;
  for (const Texts& call : engine_.Calls()) sizes.push_back(call.size());
  EXPECT_EQ(sizes, (std::vector<size_t>{1, 2, 1})) << "50,000 characters in the second call";

  descriptor = *FindOptionalEngine(kGoogleCloud);
  descriptor.CallsAtOnce = 1;
  engine_.Hold();
  running = ask(u"x");
  ASSERT_TRUE(WaitUntil([&] { return engine_.Calls().size() == 1; }));
  waiting.clear();
  for (int i = 0; i < 130; ++i) waiting.push_back(queue(Widen(std::to_string(i))));
  engine_.Open();
  for (auto& answer : waiting) answer.get();
  sizes.clear();
  for (const Texts& call : engine_.Calls()) sizes.push_back(call.size());
  EXPECT_EQ(sizes, (std::vector<size_t>{1, 128, 2}));
}

TEST_F(EngineBatches, AFailedCallFailsEachOfItsRequestsAndCountsOnce) {
  make(50, 1, 0ms);
  engine_.Failing = true;
  auto running = ask(u"x");
  ASSERT_TRUE(WaitUntil([&] { return engine_.Calls().size() == 1; }));
  std::vector<std::future<TBatchAnswer>> waiting;
  for (const char16_t* text : {u"a", u"b", u"c"}) waiting.push_back(queue(text));
  engine_.Open();
  running.get();
  int opened = 0;
  for (auto& answer : waiting) {
    const TBatchAnswer given = answer.get();
    ASSERT_TRUE(given.Failure);
    EXPECT_THROW(std::rethrow_exception(given.Failure), EIdException);
    EXPECT_EQ(given.RetryAfter, 30);
    opened += given.Opened ? 1 : 0;
  }
  EXPECT_EQ(opened, 1);
  EXPECT_EQ(engine_.Calls().size(), 2u);
}

TEST_F(EngineBatches, NoMoreCallsRunAtOnceThanTheEngineTakes) {
  make(1, 2, 0ms);
  std::vector<std::future<TBatchAnswer>> answers;
  for (int i = 0; i < 6; ++i) answers.push_back(ask(Widen(std::to_string(i))));
  ASSERT_TRUE(WaitUntil([&] { return engine_.Calls().size() == 2 && batches->Waiting() == 4; }));
  engine_.Open();
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(answers[static_cast<size_t>(i)].get().Result, u"de:" + Widen(std::to_string(i)));
  EXPECT_EQ(engine_.MostAtOnce(), 2u);
  EXPECT_EQ(engine_.Calls().size(), 6u);
  EXPECT_EQ(batches->Running(), 0u);
}

}  // namespace
}  // namespace tessarine::translate
