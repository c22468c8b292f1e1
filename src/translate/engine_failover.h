#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "translate/service_interfaces.h"

namespace tessarine::translate {

struct TFailoverSettings {
  static constexpr int kDefaultMaxTries = 3;

  // The engines tried after the chosen one, in this order.
  std::vector<int> Order;
  // At most this many engines are called for one request, the chosen one included.
  int MaxTries = kDefaultMaxTries;
};

// Which engines rest after failing. A failure rests an engine for 60 s, doubled by each further failure up
// to 15 min, or for as long as its reply asked in Retry-After when that is longer (at most a day); a success
// ends the rest and forgets the failures. Any thread may call.
class TEngineRest {
 public:
  static constexpr int64_t kFirstRestMs = 60'000;
  static constexpr int64_t kLongestRestMs = 15 * 60'000;
  static constexpr int64_t kLongestRetryAfterMs = 24 * 60 * 60'000LL;

  // Monotonic milliseconds.
  using TClock = std::function<int64_t()>;
  static int64_t SteadyMilliseconds();

  explicit TEngineRest(TClock clock = SteadyMilliseconds);

  bool Resting(int engine) const;
  // Returns the length of the rest that begins now.
  int64_t Failed(int engine, std::optional<int64_t> retryAfterSeconds = std::nullopt);
  // A failure that no retry can mend soon (a used-up quota, a refused key): the longest rest at once, or as long as
  // the reply asked when that is longer. Returns its length.
  int64_t RestLongest(int engine, std::optional<int64_t> retryAfterSeconds = std::nullopt);
  void Succeeded(int engine);

 private:
  int64_t restFor(int engine, int64_t rest, std::optional<int64_t> retryAfterSeconds);

  struct TState {
    int Failures = 0;
    int64_t RestUntil = 0;
  };

  const TClock m_clock;
  mutable std::mutex m_mutex;
  std::array<TState, kAllEngineCount> m_states{};
};

}  // namespace tessarine::translate
