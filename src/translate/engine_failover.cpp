#include "translate/engine_failover.h"

#include <algorithm>
#include <chrono>

namespace tessarine::translate {

int64_t TEngineRest::SteadyMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

TEngineRest::TEngineRest(TClock clock) : m_clock(std::move(clock)) {}

bool TEngineRest::Resting(int engine) const {
  if (engine < 0 || engine >= kAllEngineCount) return false;
  const int64_t now = m_clock();
  std::lock_guard lock(m_mutex);
  return m_states[static_cast<size_t>(engine)].RestUntil > now;
}

int64_t TEngineRest::Failed(int engine, std::optional<int64_t> retryAfterSeconds) {
  if (engine < 0 || engine >= kAllEngineCount) return 0;
  return restFor(engine, 0, retryAfterSeconds);
}

int64_t TEngineRest::RestLongest(int engine, std::optional<int64_t> retryAfterSeconds) {
  if (engine < 0 || engine >= kAllEngineCount) return 0;
  return restFor(engine, kLongestRestMs, retryAfterSeconds);
}

int64_t TEngineRest::restFor(int engine, int64_t rest, std::optional<int64_t> retryAfterSeconds) {
  const int64_t now = m_clock();
  std::lock_guard lock(m_mutex);
  TState& state = m_states[static_cast<size_t>(engine)];
  state.Failures = std::min(state.Failures + 1, 32);
  int64_t doubled = kFirstRestMs;
  for (int i = 1; i < state.Failures && doubled < kLongestRestMs; ++i) doubled *= 2;
  rest = std::max(rest, std::min(doubled, kLongestRestMs));
  if (retryAfterSeconds && *retryAfterSeconds > 0) {
    const int64_t asked = std::min(*retryAfterSeconds, kLongestRetryAfterMs / 1000) * 1000;
    rest = std::max(rest, asked);
  }
  state.RestUntil = now + rest;
  return rest;
}

void TEngineRest::Succeeded(int engine) {
  if (engine < 0 || engine >= kAllEngineCount) return;
  std::lock_guard lock(m_mutex);
  m_states[static_cast<size_t>(engine)] = TState{};
}

}  // namespace tessarine::translate
