#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "translate/optional_engines.h"

namespace tessarine::translate {

// What one call of several texts brought back.
struct TBatchCall {
  // One per text, in order, when the call succeeded.
  std::vector<std::u16string> Results;
  // Which of them came from the cache (the same text answered while the call waited for a client).
  std::vector<bool> FromCache;
  // A text's own failure in a call that succeeded (empty, or one per text).
  std::vector<std::exception_ptr> TextFailures;
  // The call's failure, for every text of it, and what its reply asked for in Retry-After.
  std::exception_ptr Failure;
  std::optional<int64_t> RetryAfter;
};

// One request's share of a call.
struct TBatchAnswer {
  std::u16string Result;
  bool FromCache = false;
  std::exception_ptr Failure;
  std::optional<int64_t> RetryAfter;
  // The request that opened the call: it alone counts the call's success or failure, which is one however many
  // requests the call carried.
  bool Opened = false;
};

// The calls of the engines whose calls run side by side: requests waiting for the same engine and language pair go
// out together in one call, within the engine's batch limits, and each engine has at most its CallsAtOnce calls
// running. A request that finds its pair idle goes at once; one that finds a call of its pair running waits up to
// the gathering time for company (in a burst the others are a few milliseconds behind, as the server hands their
// connections to workers), or less when its call is full. When every call of the engine is taken, the requests
// wait, joining the oldest waiting call of their pair with room, and the oldest call that is ready goes first. The
// same text twice in one call is sent once. Any thread may call.
class TEngineBatches {
 public:
  // Sends the texts of one pair to the engine in one call and fills in the outcome; must not raise.
  using TSend = std::function<void(int engine, const std::u16string& langs_in, const std::u16string& langs_out,
                                   const std::vector<std::u16string>& texts, TBatchCall& call)>;

  // 5 ms let a loaded machine's burst of 32 split into up to five calls (bench/README.md); it is also the most a
  // request behind a running call of its pair is held back.
  static constexpr std::chrono::milliseconds kGatheringTime{10};

  explicit TEngineBatches(TSend send, std::chrono::milliseconds gathering = kGatheringTime);
  TEngineBatches(const TEngineBatches&) = delete;
  TEngineBatches& operator=(const TEngineBatches&) = delete;

  // Translates text through its share of a call, waiting until that call has returned.
  TBatchAnswer Translate(const TOptionalEngine& engine, const std::u16string& langs_in, const std::u16string& langs_out,
                         const std::u16string& text);

  // Calls running now, of all engines.
  size_t Running() const;
  // Requests whose call has not gone yet.
  size_t Waiting() const;

 private:
  struct TBatch {
    int Engine = 0;
    std::u16string LangsIn, LangsOut;
    std::vector<std::u16string> Texts;
    size_t Cost = 0;
    // Requests that share the call, the same text twice counted twice.
    size_t Requests = 1;
    // No further text may join.
    bool Full = false;
    bool Done = false;
    std::chrono::steady_clock::time_point Due;
    TBatchCall Call;
  };
  using TPair = std::pair<int, std::pair<std::u16string, std::u16string>>;

  // The share of text in a waiting call of its pair, joining it when there is room; nullptr when there is none.
  std::shared_ptr<TBatch> joinLocked(const TOptionalEngine& engine, const std::u16string& langs_in,
                                     const std::u16string& langs_out, const std::u16string& text, size_t cost,
                                     size_t& position);
  // The oldest waiting call of the engine that may go now.
  bool firstReadyLocked(const TBatch& batch, std::chrono::steady_clock::time_point now) const;
  static TBatchAnswer answerOf(const TBatch& batch, size_t position, bool opened);

  const TSend m_send;
  const std::chrono::milliseconds m_gathering;
  mutable std::mutex m_mutex;
  // Every change here wakes all waiters: a burst is tens of requests, and each checks its own condition.
  std::condition_variable m_changed;
  std::vector<std::shared_ptr<TBatch>> m_waiting;  // not sent yet, oldest first; guarded by m_mutex
  std::map<int, size_t> m_running;                 // calls running by engine; guarded by m_mutex
  std::map<TPair, size_t> m_runningPairs;          // and by engine and pair; guarded by m_mutex
};

}  // namespace tessarine::translate
